#include "ipc_framing.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace trv::core {
namespace {

using namespace std::string_view_literals;
using Strings = std::vector<std::string>;

// Records every verdict of the framing as one text, in order.
class Recorder final : public IpcPacketHandler {
 public:
  void parentIdentified(const std::vector<std::string>& strings) override {
    std::string text = "identified";
    for (const std::string& s : strings) text += " [" + s + "]";
    calls.push_back(text);
  }
  void stopOrdered() override { calls.push_back("stop"); }
  void pluginPacket(uint8_t pluginNumber, const uint8_t* packet, uint32_t length) override {
    calls.push_back("plugin " + std::to_string(pluginNumber) + " " +
                    std::string(reinterpret_cast<const char*>(packet), length));
  }
  void badLength() override { calls.push_back("bad length"); }

  Strings calls;
};

void appendWord(std::string& bytes, uint32_t word) {
  char raw[sizeof word];
  std::memcpy(raw, &word, sizeof word);
  bytes.append(raw, sizeof raw);
}

std::string packet(uint32_t length, uint32_t address, uint32_t kind, std::string_view payload) {
  std::string bytes;
  appendWord(bytes, length);
  appendWord(bytes, address);
  appendWord(bytes, kind);
  appendWord(bytes, 0x0badf00d);
  bytes.append(payload);
  return bytes;
}

uint32_t lengthOf(std::string_view payload) { return 16 + static_cast<uint32_t>(payload.size()); }

std::string dataPacket(uint8_t pluginNumber, std::string_view payload) {
  return packet(lengthOf(payload), uint32_t{pluginNumber} << 20, 3, payload);
}

std::string controlPacket(uint32_t kind, std::string_view payload) {
  return packet(lengthOf(payload), 0, kind, payload);
}

// The receive buffer of the core: bytes arrive behind what is left in it.
struct Receiver {
  std::vector<uint8_t> buffer = std::vector<uint8_t>(IpcMaxPacket);
  uint32_t fill = 0;
  Recorder recorder;

  void receive(std::string_view bytes) {
    ASSERT_LE(bytes.size(), buffer.size() - fill);
    std::memcpy(buffer.data() + fill, bytes.data(), bytes.size());
    fill = consumeIpcPackets(buffer.data(), fill + static_cast<uint32_t>(bytes.size()), recorder);
  }
  std::string pending() const {
    return std::string(reinterpret_cast<const char*>(buffer.data()), fill);
  }
};

TEST(IpcFraming, EveryCompletePacketInOneReceiveIsHandled) {
  const std::string first = dataPacket(0x21, "one");
  const std::string second = dataPacket(0x22, "two!");
  Receiver receiver;
  receiver.receive(first + second);
  EXPECT_EQ(receiver.recorder.calls, (Strings{"plugin 33 " + first, "plugin 34 " + second}));
  EXPECT_EQ(receiver.fill, 0u);
}

TEST(IpcFraming, PluginNumberIsBitsTwentyToTwentySevenOfTheAddress) {
  const std::string bytes = packet(16, 0xf2a00000u | 0x000fffffu, 3, "");
  Receiver receiver;
  receiver.receive(bytes);
  EXPECT_EQ(receiver.recorder.calls, (Strings{"plugin 42 " + bytes}));
}

TEST(IpcFraming, PartialPacketMovesToTheFrontAndIsCompletedByTheNextBytes) {
  const std::string whole = dataPacket(0x21, "one");
  const std::string split = dataPacket(0x23, "split across two receives");
  Receiver receiver;
  receiver.receive(whole + split.substr(0, 20));
  EXPECT_EQ(receiver.recorder.calls, (Strings{"plugin 33 " + whole}));
  EXPECT_EQ(receiver.pending(), split.substr(0, 20));

  receiver.receive(split.substr(20));
  EXPECT_EQ(receiver.recorder.calls, (Strings{"plugin 33 " + whole, "plugin 35 " + split}));
  EXPECT_EQ(receiver.fill, 0u);
}

TEST(IpcFraming, PartialHeaderWaitsForTheRest) {
  const std::string bytes = dataPacket(0x21, "x");
  Receiver receiver;
  receiver.receive(bytes.substr(0, 7));
  EXPECT_TRUE(receiver.recorder.calls.empty());
  EXPECT_EQ(receiver.fill, 7u);
  receiver.receive(bytes.substr(7));
  EXPECT_EQ(receiver.recorder.calls, (Strings{"plugin 33 " + bytes}));
}

TEST(IpcFraming, PacketOfExactly64KiBIsAccepted) {
  const std::string largest = dataPacket(0x21, std::string(IpcMaxPacket - 16, 'z'));
  Receiver receiver;
  receiver.receive(largest);
  ASSERT_EQ(receiver.recorder.calls.size(), 1u);
  EXPECT_EQ(receiver.recorder.calls[0], "plugin 33 " + largest);
  EXPECT_EQ(receiver.fill, 0u);
}

TEST(IpcFraming, LengthAbove64KiBDiscardsEverythingBuffered) {
  Receiver receiver;
  receiver.receive(packet(65537, 0x21u << 20, 3, "and more behind it") + dataPacket(0x21, "lost"));
  EXPECT_EQ(receiver.recorder.calls, (Strings{"bad length"}));
  EXPECT_EQ(receiver.fill, 0u);

  // The stream starts afresh with the next receive.
  const std::string next = dataPacket(0x21, "next");
  receiver.receive(next);
  EXPECT_EQ(receiver.recorder.calls, (Strings{"bad length", "plugin 33 " + next}));
}

TEST(IpcFraming, LengthBelowTheHeaderSizeDiscardsEverythingBuffered) {
  for (uint32_t length = 0; length < IpcHeaderSize; ++length) {
    Receiver receiver;
    const std::string good = dataPacket(0x21, "before");
    receiver.receive(good + packet(length, 0x21u << 20, 3, "") + dataPacket(0x21, "lost"));
    EXPECT_EQ(receiver.recorder.calls, (Strings{"plugin 33 " + good, "bad length"}))
        << "length " << length;
    EXPECT_EQ(receiver.fill, 0u) << "length " << length;
  }
}

TEST(IpcFraming, PacketsBehindAStopAreStillHandled) {
  const std::string after = dataPacket(0x21, "after the stop");
  Receiver receiver;
  receiver.receive(controlPacket(IpcKindStop, "") + after +
                   controlPacket(IpcKindIdentify, "a\0b\0"sv));
  EXPECT_EQ(receiver.recorder.calls, (Strings{"stop", "plugin 33 " + after, "identified [a] [b]"}));
}

TEST(IpcFraming, IdentificationCarriesTheStringsOfItsPayload) {
  Receiver receiver;
  receiver.receive(controlPacket(IpcKindIdentify, "a\0b\0Background:true\0"sv));
  EXPECT_EQ(receiver.recorder.calls, (Strings{"identified [a] [b] [Background:true]"}));
}

std::vector<std::string> split(std::string_view payload) {
  return splitIdentification(
      {reinterpret_cast<const uint8_t*>(payload.data()), payload.size()});
}

TEST(IpcIdentification, SplitsAtEachNul) {
  EXPECT_EQ(split("a\0b\0Background:true\0"sv), (Strings{"a", "b", "Background:true"}));
  EXPECT_EQ(split("a"sv), (Strings{"a"}));
  EXPECT_EQ(split("a\0\0x"sv), (Strings{"a", "", "x"}));
  EXPECT_EQ(split(""sv), Strings{});
}

}  // namespace
}  // namespace trv::core
