// trovis-parent --demo: how it follows the IpcBridge's replies, and the whole
// demo (the core with its shipped plugins) run for a few seconds.
#include "demo.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>

#include "child_process.h"

namespace trv::parent {
namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

Packet reply(std::string_view text, uint8_t plugin = BridgePlugin) {
  return pluginPacket(plugin, BridgeKind, text);
}

std::string payloadOf(const Packet& packet) {
  return {packet.begin() + HeaderSize, packet.end()};
}

uint32_t addressOf(const Packet& packet) {
  uint32_t address = 0;
  std::memcpy(&address, packet.data() + 4, sizeof address);
  return address;
}

std::string found(int search, int frame, const char* kind = "key") {
  return "found " + std::to_string(search) + " video 4096\nvideo " + std::to_string(frame) + " " +
         kind + "\n....";
}

TEST(Demo, AsksForTheSearchAndTheEncryptionOnceTheCameraHadTimeToRecord) {
  const auto start = Demo::Clock::now();
  Demo demo;
  // Nothing before the bridge says every plugin is open, however long it takes.
  EXPECT_FALSE(demo.due());
  EXPECT_TRUE(demo.tick(start + std::chrono::hours(1)).packets.empty());
  demo.received(reply("ready"), start);
  EXPECT_EQ(demo.due(), start + Demo::RecordingTime);
  EXPECT_TRUE(demo.tick(start + Demo::RecordingTime / 2).packets.empty());

  const auto step = demo.tick(start + Demo::RecordingTime);
  ASSERT_EQ(step.packets.size(), 2u);
  EXPECT_EQ(payloadOf(step.packets[0]), "search video");
  EXPECT_EQ(payloadOf(step.packets[1]), "encrypt " + std::string(Demo::Plaintext));
  EXPECT_EQ(addressOf(step.packets[0]), uint32_t{BridgePlugin} << PluginShift);
  // Once only, even when the bridge says ready again.
  demo.received(reply("ready"), start + 2 * Demo::RecordingTime);
  EXPECT_FALSE(demo.due());
  EXPECT_TRUE(demo.tick(start + 10 * Demo::RecordingTime).packets.empty());
}

TEST(Demo, SendsTheEnvelopeBackAndComparesWhatIsDecrypted) {
  const auto now = Demo::Clock::now();
  Demo demo;
  const auto asked = demo.received(reply("encrypted 00112233445566778899aabbccddeeff"), now);
  ASSERT_EQ(asked.packets.size(), 1u);
  EXPECT_EQ(payloadOf(asked.packets[0]), "decrypt 00112233445566778899aabbccddeeff");
  EXPECT_EQ(asked.lines, (Lines{"demo: 39 bytes encrypted into a 16-byte envelope; asking for it "
                                "to be decrypted"}));

  EXPECT_EQ(demo.received(reply("decrypted " + std::string(Demo::Plaintext)), now).lines,
            (Lines{"demo: crypto round trip: the plaintext came back"}));
  EXPECT_EQ(demo.received(reply("decrypted a secret only this device can read bacK"), now).lines,
            (Lines{"demo: crypto round trip FAILED: got "
                   "\"a secret only this device can read bacK\""}));
}

TEST(Demo, SummarisesEachSearchAndNoticesResultsOutOfOrder) {
  const auto now = Demo::Clock::now();
  Demo demo;
  EXPECT_EQ(demo.received(reply("searching 1"), now).lines, (Lines{"demo: search 1 started"}));
  demo.received(reply("searching 2"), now);
  Lines shown;
  for (const int frame : {10, 11, 12, 13}) {
    const auto step = demo.received(reply(found(1, frame, frame == 10 ? "key" : "delta")), now);
    shown.insert(shown.end(), step.lines.begin(), step.lines.end());
  }
  // The first few results are shown one by one, the rest only counted.
  EXPECT_EQ(shown, (Lines{"demo: search 1 result 1: 4096 bytes of video, frame 10",
                          "demo: search 1 result 2: 4096 bytes of video, frame 11",
                          "demo: search 1 result 3: 4096 bytes of video, frame 12"}));
  demo.received(reply(found(2, 5)), now);
  demo.received(reply(found(2, 4)), now);
  // Replies of other plugins are not the bridge's.
  EXPECT_TRUE(demo.received(reply(found(1, 3), 12), now).lines.empty());
  EXPECT_TRUE(demo.received(Packet(HeaderSize - 1, 0), now).lines.empty());

  EXPECT_EQ(demo.received(reply("done 1"), now).lines,
            (Lines{"demo: search 1 done: 4 stored frame(s), 10 to 13, in order"}));
  EXPECT_EQ(demo.received(reply("done 2"), now).lines,
            (Lines{"demo: search 2 done: 2 stored frame(s), 5 to 5, OUT OF ORDER"}));
  EXPECT_EQ(demo.received(reply("done 3"), now).lines,
            (Lines{"demo: search 3 done: 0 stored frame(s)"}));
  EXPECT_EQ(demo.received(reply("error search unknown type foo"), now).lines,
            (Lines{"demo: the bridge answered \"error search unknown type foo\""}));
}

// The README's main job, bounded: the core with every shipped plugin under
// trovis-parent --demo. The core's own threshold is lowered to 0 so that the
// shutdown report of payloads still held would show.
TEST(DemoRun, VideoIsRecordedSearchedAndEncryptedAndTheStopLeavesNothingHeld) {
  const fs::path runDir = test::makeTempDir();
  std::ofstream(runDir / "core.xml")
      << "<?xml version=\"1.0\"?>\n<qDVR><Modules><Module>"
         "<Plugin ID=\"-2147483648\" LogLevel=\"0\"/></Module></Modules></qDVR>\n";
  const auto result = test::runProcess(
      test::emulatedCommand(std::string(TRV_BIN_DIR) + "/trovis-parent",
                            {"--demo", "--duration", "8", "--run-dir", runDir.string()}),
      runDir);
  const std::string& out = result.out;
  ASSERT_EQ(result.exitStatus, 0) << out << result.err;

  std::smatch search;
  const std::regex searchDone(
      R"(demo: search 1 done: (\d+) stored frame\(s\), \d+ to \d+, in order)");
  ASSERT_TRUE(std::regex_search(out, search, searchDone)) << out;
  EXPECT_GT(std::stoi(search[1]), 0);
  EXPECT_NE(out.find("demo: crypto round trip: the plaintext came back"), std::string::npos) << out;
  for (const char* plugin : {"CameraSim", "IpcBridge", "Recorder"}) {
    EXPECT_TRUE(std::regex_search(out, std::regex(std::string("Unloading [0-9a-f]{2}:") + plugin)))
        << plugin << "\n" << out;
  }
  // The shutdown report, not the statistics line ("refblks:N(...)").
  EXPECT_EQ(out.find("refblks: "), std::string::npos) << out;
  EXPECT_EQ(out.find("unloaded holding"), std::string::npos) << out;
  EXPECT_NE(out.find("parent: trovis-core exited with status 0"), std::string::npos) << out;
  // The report would have been shown: the core kept the lowered threshold.
  std::ifstream saved(runDir / "core.xml");
  const std::string config((std::istreambuf_iterator<char>(saved)),
                           std::istreambuf_iterator<char>());
  const std::regex coreAtLevelZero(R"(<Plugin ID="-2147483648"[^>]* LogLevel="0")");
  EXPECT_TRUE(std::regex_search(config, coreAtLevelZero)) << config;
}

}  // namespace
}  // namespace trv::parent
