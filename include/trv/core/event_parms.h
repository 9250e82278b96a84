// The event record shared by the core and every plugin, with its type codes,
// flag bits and origin words. This layout is a binary interface: plugins built
// against one copy of this header must run against a core built from it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace trv::core {

// Event type codes; a type word may also carry the modifier bit `TypeModifier`.
enum EventType : uint32_t {
  TypeUnspecified = 0,
  TypeVideo = 1,
  TypeAudio = 2,
  TypeAlarm = 4,
  TypePtz = 8,
  TypeSerial = 16,
  TypeWatchdog = 32,
  TypeLog = 64,
  TypeConfig = 256,
  TypeDecref = 512,
  TypePos = 1024,
  TypeCancel = 4096,
  TypeIpc = 8192,
  TypeCrypto = 32768,
  TypeAnalytic = 65536,
};

// Set on a live video or audio record: not gated, never output-bound, and
// delivered without the origin test.
inline constexpr uint32_t TypeModifier = 0x4000;

// Bits of `EventParms::flags`.
enum EventFlag : uint32_t {
  FlagQuery = 0x00000001,   // answered synchronously by postEvent
  FlagText = 0x00000002,    // payload is text
  FlagXml = 0x00000010,     // payload is an XML document
  FlagLive = 0x01000000,    // happening now
  FlagStored = 0x04000000,  // read back from storage for a search
};

// Origin word of records made by the core itself.
inline constexpr uint32_t CoreSource = 0x80000000u;

inline constexpr uint32_t EventParmsVersion = 1;
inline constexpr uint32_t EventDetailSize = 152;
inline constexpr uint32_t EventDetailVersion = 1;
inline constexpr size_t EventDetailBytes = 144;

// The fixed event record. On 32-bit targets it is exactly 184 bytes; with
// 64-bit pointers `data` moves to offset 16 (natural alignment) and every
// later field moves by 8, so `size` holds 192 there.
struct EventParms {
  uint32_t size;
  uint32_t version;
  uint32_t dataLen;
  void* data;
  uint32_t source;
  uint32_t searchId;
  uint32_t type;
  uint32_t flags;
  uint32_t detailSize;
  uint32_t detailVersion;
  uint8_t detail[EventDetailBytes];
};

// Offsets of the type-specific fields within `EventParms::detail`.
namespace detail_offset {
inline constexpr size_t level = 0;       // log: i32 level
inline constexpr size_t firstWord = 0;   // config, analytic: deliver back to origin when non-zero
inline constexpr size_t cryptoLen = 0;   // crypto: u32 valid bytes
inline constexpr size_t seconds = 4;     // video: u32 seconds since 1970
inline constexpr size_t millis = 8;      // video: u16 milliseconds
inline constexpr size_t frameKind = 10;  // video: bits 0..1, 1 = key frame
inline constexpr size_t frameFlags = 11; // video, audio: bit 5 = output-bound
}  // namespace detail_offset

inline constexpr uint8_t KeyFrame = 1;
inline constexpr uint8_t FrameOutputBound = 0x20;

// What postEvent answers for a record it queues or drops on entry. A log or
// cancel query and a "crypto" record answer values of their own.
enum PostResult : int32_t {
  PostQueued = 0,      // queued, or handled at once
  PostRefused = 1,     // the core is stopping, no parent link, or a refused search result
  PostNoKeyFrame = 3,  // live video before its source's first key frame: dropped
  PostGopTooLong = 4,  // live video too many frames past its last key frame: dropped
  PostThrottled = 5,   // live media while memory is short: dropped
};

// A "crypto" record asks the core to encrypt or decrypt its payload buffer in
// place with the device's key: `dataLen` is the buffer's capacity, the detail
// word `cryptoLen` the count of valid bytes, and the low 24 bits of `flags`
// the sub-command. On success `flags` holds exactly the opposite sub-command,
// so that posting the record again undoes the request.
enum CryptoCommand : uint32_t {
  CryptoEncrypt = 2,
  CryptoDecrypt = 1024,
};
inline constexpr uint32_t CryptoCommandMask = 0x00FFFFFF;

// What postEvent answers to a "crypto" record: done (the buffer holds the
// result, `cryptoLen` its length), a positive length (the capacity is too
// small and that many bytes are needed; nothing changed), or a failure.
inline constexpr int32_t CryptoDone = 0;
inline constexpr int32_t CryptoUnknownCommand = -1;
// Capacity 0, a decryption of 0 bytes, or `cryptoLen` beyond the capacity.
inline constexpr int32_t CryptoBadBuffer = -2;
// Nothing came out: a wrong key, a damaged envelope or an empty plaintext.
inline constexpr int32_t CryptoNoResult = -13;

// A zero-filled record with the header every record carries.
inline EventParms makeEvent(uint32_t type, uint32_t flags, uint32_t source) {
  EventParms event;
  std::memset(&event, 0, sizeof event);
  event.size = sizeof(EventParms);
  event.version = EventParmsVersion;
  event.source = source;
  event.type = type;
  event.flags = flags;
  event.detailSize = EventDetailSize;
  event.detailVersion = EventDetailVersion;
  return event;
}

// Reads and writes of the detail words; the detail area is only byte-aligned.
inline uint32_t detailWord(const EventParms& event, size_t offset) {
  uint32_t value;
  std::memcpy(&value, event.detail + offset, sizeof value);
  return value;
}

inline void setDetailWord(EventParms& event, size_t offset, uint32_t value) {
  std::memcpy(event.detail + offset, &value, sizeof value);
}

inline int32_t logLevelOf(const EventParms& event) {
  return static_cast<int32_t>(detailWord(event, detail_offset::level));
}

inline void setLogLevel(EventParms& event, int32_t level) {
  setDetailWord(event, detail_offset::level, static_cast<uint32_t>(level));
}

inline uint32_t cryptoLenOf(const EventParms& event) {
  return detailWord(event, detail_offset::cryptoLen);
}

inline void setCryptoLen(EventParms& event, uint32_t length) {
  setDetailWord(event, detail_offset::cryptoLen, length);
}

// The type code without the modifier bit.
inline constexpr uint32_t baseType(uint32_t type) { return type & ~TypeModifier; }

// Plugin id named by an origin word (or a search id): 0 for the core.
inline constexpr uint8_t pluginIdOf(uint32_t origin) {
  return origin == CoreSource ? 0 : static_cast<uint8_t>(origin >> 16);
}

// Both are the core, or neither is and they name the same plugin id.
inline constexpr bool sameOrigin(uint32_t a, uint32_t b) {
  if (a == CoreSource || b == CoreSource) return a == b;
  return ((a ^ b) & 0x00FF0000u) == 0;
}

// Neither the core nor a plugin: the origin of search requests.
inline constexpr bool isExternalOrigin(uint32_t origin) {
  return origin != CoreSource && pluginIdOf(origin) == 0;
}

// Origin word of the plugin with the given one-byte id.
inline constexpr uint32_t originOfPlugin(uint8_t id) { return uint32_t{id} << 16; }

// Name printed for a type code ("unknown" for codes outside the table).
inline constexpr const char* typeName(uint32_t type) {
  switch (baseType(type)) {
    case TypeUnspecified: return "unspecified";
    case TypeVideo: return "video";
    case TypeAudio: return "audio";
    case TypeAlarm: return "alarm";
    case TypePtz: return "ptz";
    case TypeSerial: return "serial";
    case TypeWatchdog: return "watchdog";
    case TypeLog: return "log";
    case TypeConfig: return "config";
    case TypeDecref: return "decref";
    case TypePos: return "pos";
    case TypeCancel: return "cancel";
    case TypeIpc: return "ipc";
    case TypeCrypto: return "crypto";
    case TypeAnalytic: return "analytic";
    default: return "unknown";
  }
}

}  // namespace trv::core
