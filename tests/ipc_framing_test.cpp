#include "core/ipc_framing.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "core_process.h"

namespace trv::core {
namespace {

using namespace std::string_view_literals;
using Strings = std::vector<std::string>;

// Writes down every verdict of the framing, in order.
class Recorder final : public IpcPacketHandler {
 public:
  void parentIdentified(const Strings& strings) override {
    calls.push_back("identified");
    for (const std::string& string : strings) calls.back() += " [" + string + "]";
  }
  void stopOrdered() override { calls.push_back("stop"); }
  void pluginPacket(uint8_t number, const uint8_t* packet, uint32_t length) override {
    calls.push_back("plugin " + std::to_string(number) + " " +
                    std::string(reinterpret_cast<const char*>(packet), length));
  }
  void badLength() override { calls.push_back("bad length"); }

  Strings calls;
};

// A packet of `kind` for plugin number `number`, with a pass-through word set.
std::string sized(uint32_t kind, std::string_view payload, uint8_t number = 0) {
  return test::ipcPacket(uint32_t{number} << 20, kind, payload, 0x0badf00d);
}

TEST(IpcFraming, CompletePacketsAreHandledAndAPartialOneWaitsAtTheFront) {
  const std::string one = sized(3, "one", 0x21), two = sized(3, "two!", 0x22);
  const std::string split = sized(3, "split across two receives", 0x23);
  const std::string largest = sized(3, std::string(LargestPacket - 16, 'z'), 0x21);
  const std::string bare = test::ipcPacket(0xf2afffffu, 3, "");  // plugin number in bits 20..27 only
  const struct { Strings receives; Strings calls; std::string pending; } cases[] = {
      {{one + two}, {"plugin 33 " + one, "plugin 34 " + two}, ""},
      {{bare}, {"plugin 42 " + bare}, ""},
      {{one + split.substr(0, 20)}, {"plugin 33 " + one}, split.substr(0, 20)},
      {{one + split.substr(0, 20), split.substr(20)}, {"plugin 33 " + one, "plugin 35 " + split}, ""},
      {{one.substr(0, 7), one.substr(7)}, {"plugin 33 " + one}, ""},
      {{largest}, {"plugin 33 " + largest}, ""},
      // A bad length discards everything buffered; the stream starts afresh with the next receive.
      {{test::ipcPacket(0x21u << 20, 3, "and more", 0, 65537) + one, two}, {"bad length", "plugin 34 " + two}, ""},
      {{one + test::ipcPacket(0x21u << 20, 3, "", 0, 15) + two}, {"plugin 33 " + one, "bad length"}, ""},
      {{test::ipcPacket(0x21u << 20, 3, "", 0, 0) + one}, {"bad length"}, ""},
      {{sized(KindStop, "") + one + sized(KindIdentify, "")},
       {"stop", "plugin 33 " + one, "identified"}, ""},
      // Identification strings end at a NUL or at the end of the payload.
      {{sized(KindIdentify, "a\0b\0Background:true\0"sv)}, {"identified [a] [b] [Background:true]"}, ""},
      {{sized(KindIdentify, "a") + sized(KindIdentify, "a\0\0x"sv)},
       {"identified [a]", "identified [a] [] [x]"}, ""}};
  for (size_t i = 0; i < std::size(cases); ++i) {
    const auto& c = cases[i];
    std::vector<uint8_t> buffer(LargestPacket);
    uint32_t fill = 0;
    Recorder recorder;
    for (const std::string& bytes : c.receives) {
      ASSERT_LE(bytes.size(), buffer.size() - fill);
      std::memcpy(buffer.data() + fill, bytes.data(), bytes.size());
      fill = consumeIpcPackets(buffer.data(), fill + static_cast<uint32_t>(bytes.size()), recorder);
    }
    EXPECT_EQ(recorder.calls, c.calls) << "case " << i;
    EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + fill), c.pending) << "case " << i;
  }
}

}  // namespace
}  // namespace trv::core
