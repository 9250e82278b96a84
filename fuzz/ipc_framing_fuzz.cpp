// Feeds arbitrary bytes to the receive framing of the channel to the parent
// as a sequence of receives into the core's 64 KiB buffer. The input is read
// as: a 16-bit chunk size (taken modulo the room left in the buffer), then
// that many bytes (filler once the input runs out), and again until the input
// is used up. Every delivered packet must lie inside the bytes received, have
// a length from 16 to 65536 and be the next packet of the stream; what is left
// must be the stream's unread tail, as a plain walk over a copy of the stream
// finds it.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "ipc_framing.h"

namespace {

using trv::core::consumeIpcPackets;
using trv::core::IpcHeaderSize;
using trv::core::IpcKindIdentify;
using trv::core::IpcKindStop;
using trv::core::IpcMaxPacket;

[[noreturn]] void fail(const char* what, uint64_t a, uint64_t b) {
  std::fprintf(stderr, "%s (%llu, %llu)\n", what, static_cast<unsigned long long>(a),
               static_cast<unsigned long long>(b));
  std::abort();
}

uint32_t wordAt(const uint8_t* bytes) {
  uint32_t word;
  std::memcpy(&word, bytes, sizeof word);
  return word;
}

bool isBadLength(uint32_t length) { return length < IpcHeaderSize || length > IpcMaxPacket; }

// What the framing should do with stream[0, fill): the offsets of the
// complete packets, and whether a bad length discards everything.
struct Walk {
  std::vector<uint32_t> packets;
  uint32_t consumed = 0;
  bool discarded = false;
};

Walk walk(const uint8_t* stream, uint32_t fill) {
  Walk result;
  while (fill - result.consumed >= IpcHeaderSize) {
    const uint32_t length = wordAt(stream + result.consumed);
    if (isBadLength(length)) {
      result.discarded = true;
      return result;
    }
    if (length > fill - result.consumed) break;
    result.packets.push_back(result.consumed);
    result.consumed += length;
  }
  return result;
}

class CheckingHandler final : public trv::core::IpcPacketHandler {
 public:
  // The bytes of this receive, the framing's buffer and the walk's copy.
  void expect(const uint8_t* buffer, const uint8_t* stream, uint32_t fill, const Walk& walk) {
    buffer_ = buffer;
    stream_ = stream;
    fill_ = fill;
    walk_ = &walk;
    next_ = 0;
    badLengths_ = 0;
  }

  void parentIdentified(const std::vector<std::string>& strings) override {
    const uint8_t* packet = nextPacket(IpcKindIdentify);
    size_t bytes = 0;
    for (const std::string& s : strings) bytes += s.size() + 1;
    // Each string but a last one without NUL was followed by its NUL.
    const uint32_t payload = wordAt(packet) - IpcHeaderSize;
    if (bytes < payload || bytes > payload + 1) fail("identification strings", bytes, payload);
  }

  void stopOrdered() override { nextPacket(IpcKindStop); }

  void pluginPacket(uint8_t pluginNumber, const uint8_t* packet, uint32_t length) override {
    if (packet < buffer_ || packet + length > buffer_ + fill_) {
      fail("packet outside the received bytes", static_cast<uint64_t>(packet - buffer_), length);
    }
    if (isBadLength(length)) fail("bad packet length", length, 0);
    const uint32_t kind = wordAt(packet + 8);
    if (kind == IpcKindIdentify || kind == IpcKindStop) fail("control packet as data", kind, 0);
    const uint8_t* expected = nextPacket(kind);
    if (packet - buffer_ != expected - stream_) {
      fail("not the next packet", static_cast<uint64_t>(packet - buffer_),
           static_cast<uint64_t>(expected - stream_));
    }
    if (std::memcmp(packet, expected, length) != 0) fail("packet bytes changed", length, 0);
    if (pluginNumber != static_cast<uint8_t>(wordAt(packet + 4) >> 20)) {
      fail("wrong plugin number", pluginNumber, wordAt(packet + 4));
    }
  }

  void badLength() override { ++badLengths_; }

  // Every packet of the walk was handled, and a discard reported once.
  void checkComplete() const {
    if (next_ != walk_->packets.size()) fail("packets handled", next_, walk_->packets.size());
    if (badLengths_ != (walk_->discarded ? 1u : 0u)) fail("bad length reports", badLengths_, 0);
  }

 private:
  const uint8_t* nextPacket(uint32_t kind) {
    if (next_ >= walk_->packets.size()) fail("more packets than the stream holds", next_, 0);
    const uint8_t* packet = stream_ + walk_->packets[next_++];
    if (wordAt(packet + 8) != kind) fail("wrong kind", kind, wordAt(packet + 8));
    return packet;
  }

  const uint8_t* buffer_ = nullptr;
  const uint8_t* stream_ = nullptr;
  uint32_t fill_ = 0;
  const Walk* walk_ = nullptr;
  size_t next_ = 0;
  uint32_t badLengths_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Exactly the core's buffer size on the heap, so that any access past it
  // is caught; made once, since only the received bytes are ever read.
  static const auto buffer = std::make_unique<uint8_t[]>(IpcMaxPacket);
  static const auto stream = std::make_unique<uint8_t[]>(IpcMaxPacket);
  CheckingHandler handler;
  uint32_t fill = 0;
  size_t at = 0;
  while (at + 2 <= size) {
    const uint32_t room = IpcMaxPacket - fill;
    const uint32_t chunk = (uint32_t{data[at]} | uint32_t{data[at + 1]} << 8) % (room + 1);
    at += 2;
    // The core takes an empty read as the end of the stream.
    if (chunk == 0) continue;
    const size_t taken = std::min<size_t>(chunk, size - at);
    std::memcpy(buffer.get() + fill, data + at, taken);
    // Not zeros: a padded identification would split into some 65000 empty
    // strings on every run, which makes the fuzzer crawl.
    std::memset(buffer.get() + fill + taken, 0xa5, chunk - taken);
    std::memcpy(stream.get() + fill, buffer.get() + fill, chunk);
    at += taken;

    const uint32_t total = fill + chunk;
    const Walk expected = walk(stream.get(), total);
    handler.expect(buffer.get(), stream.get(), total, expected);
    const uint32_t left = consumeIpcPackets(buffer.get(), total, handler);
    handler.checkComplete();
    const uint32_t expectedLeft = expected.discarded ? 0 : total - expected.consumed;
    if (left != expectedLeft) fail("bytes left", left, expectedLeft);
    fill = left;
    // Nothing consumed, nothing moved: bytes damaged in place are found when
    // their packet is delivered. Comparing every time would make a long
    // partial packet cost 64 KiB per receive.
    if (expected.consumed == 0) continue;
    if (std::memcmp(buffer.get(), stream.get() + expected.consumed, left) != 0) {
      fail("what is left is not the tail of the stream", left, total);
    }
    std::memmove(stream.get(), stream.get() + expected.consumed, left);
  }
  return 0;
}
