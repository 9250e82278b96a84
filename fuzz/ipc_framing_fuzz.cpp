// Arbitrary bytes through the receive framing of the channel to the parent, as a sequence of
// receives into the core's 64 KiB buffer. The input is: a 16-bit chunk size (taken modulo the room
// left in the buffer), then that many bytes (0xa5 once the input runs out), again and again. The
// packets handed over must be whole ones, one after another from the start of the buffer; what is
// left must hold no whole packet, and a length word out of 16..65536 discards it all, reported once.
#include <cstring>
#include <memory>

#include "core/ipc_framing.h"
#include "fuzz_check.h"

using namespace trv::core;

static uint32_t wordAt(const uint8_t* bytes) { uint32_t word; std::memcpy(&word, bytes, sizeof word); return word; }
static bool validLength(uint32_t length) { return length >= PacketHeaderSize && length <= LargestPacket; }

// Exactly the core's buffer size, so that any access past it is caught; made once.
static const auto buffer = std::make_unique<uint8_t[]>(LargestPacket);

// Follows the packets through the buffer as the framing hands them over.
struct Follower final : IpcPacketHandler {
  void parentIdentified(const std::vector<std::string>&) override { nextInPlace(); }
  void stopOrdered() override { nextInPlace(); }
  void pluginPacket(uint8_t, const uint8_t* packet, uint32_t length) override { next(packet, length); }
  void badLength() override { ++badLengths; }
  void nextInPlace() { next(buffer.get() + at, wordAt(buffer.get() + at)); }
  void next(const uint8_t* packet, uint32_t length) {
    trv::fuzz::check(packet == buffer.get() + at && validLength(length) && length == wordAt(packet),
                     "not the next packet", at, length);
    at += length;
  }
  uint32_t at = 0, badLengths = 0;
};

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  uint32_t fill = 0;
  for (size_t at = 0; at + 2 <= size;) {
    const uint32_t chunk = (uint32_t{data[at]} | uint32_t{data[at + 1]} << 8) % (LargestPacket - fill + 1);
    const size_t taken = std::min<size_t>(chunk, size - at - 2);
    std::memcpy(buffer.get() + fill, data + at + 2, taken);
    // Not zeros: a padded identification would split into some 65000 empty strings every run.
    std::memset(buffer.get() + fill + taken, 0xa5, chunk - taken);
    at += 2 + taken;
    if (chunk == 0) continue;  // the core takes an empty receive as the end of the stream
    Follower follower;
    const uint32_t received = fill + chunk;
    fill = consumeIpcPackets(buffer.get(), received, follower);
    // A bad length word stays where it was; else what is left, no whole packet, has moved to the front.
    const uint32_t rest = received - follower.at;
    const uint32_t word = rest < PacketHeaderSize ? 0 : wordAt(buffer.get() + (fill != 0 ? 0 : follower.at));
    const bool bad = rest >= PacketHeaderSize && !validLength(word);
    trv::fuzz::check(follower.at <= received && follower.badLengths == bad && fill == (bad ? 0 : rest) &&
                     (bad || rest < PacketHeaderSize || word > rest), "what is left", fill, rest);
  }
  return 0;
}
