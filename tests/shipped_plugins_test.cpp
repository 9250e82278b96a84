// The shipped plugins (LogPI, CameraSim, Recorder, IpcBridge) in a running
// trovis-core, and trovis-parent starting, driving and stopping the core.
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <regex>

#include "core_process.h"

namespace trv::test {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

constexpr uint8_t BridgeId = 0x43, HostId = 0x21 /* test_plugins/host/A.so */, RecorderKeeps = 100;
const std::string Stamp = R"(\n\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} )";

// `lines` end lines of `text` in this order, each after the one before and
// each behind `prefix`.
bool appearInOrder(const std::string& text, const Texts& lines, const std::string& prefix = "") {
  size_t from = 0, around = prefix.size() + 1;  // past the end once a line is missing
  for (const std::string& line : lines)
    from = std::min(text.find(prefix + line + "\n", from), text.size()) + around + line.size();
  return from <= text.size();
}

// Every shipped plugin, from this build's bin/plugins.
void installShipped(const CoreInstall& install) {
  for (const char* name : {"LogPI", "CameraSim", "Recorder", "IpcBridge"})
    install.addPlugin(std::string(TRV_BIN_DIR) + "/plugins/" + name + ".so");
}

bool sendTo(CoreProcess& core, uint8_t plugin, std::string_view text, uint32_t kind = 1) {
  return core.send(ipcPacket(packetAddress(plugin), kind, text));
}

// The bridge's next reply, whose header must be exactly the bridge's (kind 1,
// pass-through 0); packets of other plugins are passed over.
std::string bridgeReply(CoreProcess& core) {
  while (const auto message = core.receive()) {
    const std::string text = message->substr(std::min<size_t>(message->size(), PacketHeaderSize));
    const std::string expected = ipcPacket(packetAddress(BridgeId), 1, text);
    // Anything but the exact packet shows in place of the reply.
    if (message->size() >= PacketHeaderSize && message->compare(4, 4, expected, 4, 4) == 0)
      return *message == expected ? text : "(garbled) " + *message;
  }
  return "(none)";
}

// The replies to "search video", from "searching N" to "done N".
Texts searchVideo(CoreProcess& core) {
  Texts replies{sendTo(core, BridgeId, "search video") ? bridgeReply(core) : "(not sent)"};
  while (!replies.back().starts_with("done ") && replies.back() != "(none)")
    replies.push_back(bridgeReply(core));
  return replies;
}

// CameraSim's payloads as CameraSim.conf below has them: a label, then dots.
std::string padded(std::string text, size_t size) { return text.append(size - text.size(), '.'); }
std::string videoFrame(size_t n) {
  return padded("video " + std::to_string(n) + (n % 5 == 0 ? " key\n" : " delta\n"), 20);
}
std::string audioBlock(size_t n) { return padded("audio " + std::to_string(n) + "\n", 12); }

TEST(ShippedPlugins, CameraStreamsRecorderKeepsBridgeAnswersAndLogPluginWrites) {
  CoreInstall install;
  installShipped(install);
  install.addPlugin("host/A.so");
  std::ofstream(install.workDir() / "CameraSim.conf")
      << "fps=50\nkey_every=5\nframe_bytes=20\naudio_rate=25\naudio_bytes=12\n";
  std::ofstream(install.workDir() / "Recorder.conf") << "keep=" + std::to_string(RecorderKeeps);
  std::ofstream(install.workDir() / "LogPI.conf") << "max_bytes = 1000\nbuffer_bytes=2000\n";
  CoreProcess core(install);
  ASSERT_EQ(bridgeReply(core), "ready") << core.output();

  // What the host is handed of the video (type 1) and audio (type 2): two
  // frames to an audio block, in the order of their capture times (a frame
  // first when both fall due), from an even frame on.
  ASSERT_TRUE(sendTo(core, HostId, "watch\0"s "3"s));
  Texts media, expected, replies;
  for (std::optional<std::string> m; media.size() < 9 && (m = core.receive());)
    if ((m->starts_with("video A ") && std::stoul(m->substr(14)) % 2 == 0) ||
        (!media.empty() && m->find(" A ") == 5))
      media.push_back(m->substr(8));
  for (size_t f = media.empty() ? 0 : std::stoul(media[0].substr(6)); expected.size() < 9; f += 2)
    expected.insert(expected.end(), {videoFrame(f), audioBlock(f / 2), videoFrame(f + 1)});
  EXPECT_EQ(media, expected);
  ASSERT_TRUE(sendTo(core, HostId, "watch\0"s "0"s));

  // Any kind but the core's own two (7, 8) carries a command.
  const struct { std::string command, reply; uint32_t kind = 1; } exchanges[] = {{"ping", "pong"},
      {"ping hello there", "pong hello there", 5}, {"jump", "error jump unknown command"},
      {"decrypt ", "error decrypt -2"}, {"search sideways", "error search unknown type sideways"},
      {"encrypt a\0b"s, "error encrypt NUL byte in plaintext"}};
  for (const auto& [command, reply, kind] : exchanges)
    EXPECT_EQ(sendTo(core, BridgeId, command, kind) ? bridgeReply(core) : "", reply) << command;

  // Asked again until the recorder has let go of the first frame: it holds the
  // last ones it keeps, oldest first, then the end.
  ASSERT_TRUE(eventually([&] { return (replies = searchVideo(core)).size() > 2 &&
                                      replies[1].find("\nvideo 0 key\n") == std::string::npos; }));
  const std::string number = replies.front().substr(std::strlen("searching "));
  const std::string found = "found " + number + " video 20\n";
  const size_t first = std::stoul(replies[1].substr(found.size() + std::strlen("video ")));
  expected = {"searching " + number};
  for (size_t i = 0; i < RecorderKeeps; ++i) expected.push_back(found + videoFrame(first + i));
  expected.push_back("done " + number);
  EXPECT_EQ(replies, expected);

  // Searches are numbered on. A cancelled one forwards no more and never
  // ends, while the two asked for after it run to their end.
  const std::string next = std::to_string(std::stoul(number) + 1);
  ASSERT_TRUE(sendTo(core, BridgeId, "search video") && sendTo(core, BridgeId, "cancel " + next));
  replies = searchVideo(core);
  for (const std::string& reply : searchVideo(core)) replies.push_back(reply);
  EXPECT_EQ(std::ranges::count(replies, "cancelled " + next), 1);
  EXPECT_EQ(std::ranges::count(replies, "done " + next), 0);
  EXPECT_EQ(replies.back(), "done " + std::to_string(std::stoul(number) + 3));

  // Enough to fill a file first, then the lines to find and one longer than the buffer.
  Texts lines(5, "25\0"s + std::string(180, 'f'));
  lines.insert(lines.end(), {"75\0disk full\r\n"s, "50\0then more"s, "25\0"s.append(3000, 'y')});
  for (const std::string& line : lines) ASSERT_TRUE(sendTo(core, HostId, "log\0"s + line));
  ASSERT_TRUE(core.send(ipcPacket(0, KindStop, "")));
  ASSERT_EQ(core.waitForExit(), 0) << core.output() << core.errors();

  // LogPI keeps each live line with its origin and level and without the line
  // end, moves a full file aside and tells how many lines did not fit its buffer.
  const fs::path log = install.workDir() / "trovis.log", older = install.workDir() / "trovis.log.1";
  for (const fs::path& file : {log, older}) EXPECT_LE(fs::file_size(file), 1000u) << file;
  const std::string kept = readFile(older).value_or("") + readFile(log).value_or("");
  for (const char* line : {"id=21 level=75 disk full\n", "id=21 level=50 then more\n",
                           "id=08 level=50 [0-9]+ lines dropped\n"})
    EXPECT_TRUE(std::regex_search(kept, std::regex(Stamp + line))) << line << kept;
  EXPECT_EQ(kept.find("yyy"), std::string::npos);
}

// ---- trovis-parent ----------------------------------------------------------

std::unique_ptr<ChildProcess> runParent(const Texts& args, const fs::path& dir = makeTempDir()) {
  return std::make_unique<ChildProcess>(emulatedCommand(TRV_BIN_DIR "/trovis-parent", args), dir);
}

// Started as trovis-parent starts a core (a descriptor number as its only
// argument), this program plays the core: it returns every packet, exits with
// status 3 after the stop packet and kills itself after a packet of kind 9.
__attribute__((constructor)) void playCoreIfStartedAsOne(int argc, char** argv, char**) {
  if (argc != 2 || std::strspn(argv[1], "0123456789") != std::strlen(argv[1])) return;
  const int fd = std::stoi(argv[1]);
  static uint32_t packet[LargestPacket / sizeof(uint32_t)];  // packet[2] is the kind
  for (ssize_t n; (n = read(fd, packet, sizeof packet)) >= 12 && write(fd, packet, n) == n;) {
    if (packet[2] == KindStop) _exit(3);
    if (packet[2] == 9) raise(SIGKILL);
  }
  _exit(4);
}

TEST(ParentTool, SendsScriptsByteForByteAndExitsWithTheCoresStatusOr125ForItsOwnFailures) {
  const fs::path script = makeTempDir() / "session.txt";
  std::ofstream(script) << "send 200 3 anyone there?\nsleep 300\nstop\nsend 200 3 never\n";
  const std::string fakeCore = TRV_TEST_BINARY_DIR "/shipped_plugins_test";
  const auto echoed = runParent({"--core", fakeCore, "--send", "18:3:hello", "--send",
                                 "255:4:\x01\x02", "--script", script.string(), "--background"});
  EXPECT_EQ(echoed->waitForExit(), 3) << echoed->errors();
  const std::string out = echoed->output();
  const Texts sent = {
      R"(len=55 addr=0x00000000 kind=7 pass=0 "trovis-parent\026.2.3.0\0Backgroun" ... (39 bytes))",
      R"(len=21 addr=0x01200000 kind=3 pass=0 "hello")",
      "len=18 addr=0x0ff00000 kind=4 pass=0 01 02",
      R"(len=29 addr=0x0c800000 kind=3 pass=0 "anyone there?")",
      "len=16 addr=0x00000000 kind=8 pass=0 (no payload)"};
  const std::string stopping = "parent: the script says stop, stopping the core\nparent -> ";
  EXPECT_TRUE(appearInOrder(out, sent, "parent -> ") && appearInOrder(out, sent, "parent <- ") &&
              appearInOrder(out, {sent.back()}, stopping)) << out;
  EXPECT_EQ(out.find("never"), std::string::npos) << out;
  EXPECT_TRUE(out.ends_with("\nparent: trovis-core exited with status 3\n")) << out;

  // Killed by a signal, and the tool's own failures: a bad argument, no core.
  const auto killed = runParent({"--core", fakeCore, "--send", "0:9:"}),
             unknown = runParent({"--frobnicate"}), noCore = runParent({"--core", "/no/core"});
  EXPECT_EQ(std::tuple(killed->waitForExit(), unknown->waitForExit(), noCore->waitForExit()),
            std::tuple(128 + SIGKILL, 125, 125)) << killed->errors();
  EXPECT_TRUE(killed->output().ends_with(
      "\nparent: trovis-core was ended by signal 9 (Killed), status 137\n")) << killed->output();
  EXPECT_EQ(unknown->errors(), "trovis-parent: unknown argument \"--frobnicate\"\n"
                               "Try 'trovis-parent --help' for more information.\n");
  EXPECT_EQ(noCore->errors(), "trovis-parent: cannot run /no/core: No such file or directory\n");

  // With --verbose the demo's lines come with every packet (the bridge's "ready", here echoed).
  const auto verbose = runParent({"--core", fakeCore, "--demo", "--verbose", "--send", "67:1:ready",
                                  "--send", "0:8:"});
  EXPECT_EQ(verbose->waitForExit(), 3) << verbose->errors();
  const std::string ready = R"(len=21 addr=0x04300000 kind=1 pass=0 "ready")";
  EXPECT_TRUE(appearInOrder(verbose->output(), {"parent -> " + ready, "parent <- " + ready,
      "demo: every plugin is open; the camera records for 2 s",
      "demo: the core did not stop in order", "parent: trovis-core exited with status 3"}))
      << verbose->output();
}

// The README's demo: trovis-parent --demo with the core and every shipped
// plugin, until SIGTERM. The core's threshold is lowered to 0, so that a
// report of payloads still held at the stop would show.
TEST(ParentTool, DemoSearchesRecordedFramesEncryptsAndSigtermStopsTheCoreInOrder) {
  CoreInstall install;
  installShipped(install);
  const fs::path dir = install.workDir();
  std::ofstream(dir / "core.xml") << "<?xml version=\"1.0\"?>\n<qDVR><Modules><Module><Plugin ID="
                                     "\"-2147483648\" LogLevel=\"0\"/></Module></Modules></qDVR>\n";
  const auto parent = runParent({"--demo", "--core", install.executable(), "--run-dir", dir}, dir);
  for (const char* shown :
       {R"(demo: search 1 found [1-9]\d* stored frame\(s\), \d+ to \d+, in order\n)",
        R"(demo: summary: [1-9]\d* stored frame\(s\) in order, the plaintext came back; Ctrl-C)"})
    ASSERT_TRUE(eventually([&] { return std::regex_search(parent->output(), std::regex(shown)); }))
        << shown;
  kill(parent->pid(), SIGTERM);
  ASSERT_EQ(parent->waitForExit(), 0) << parent->output() << parent->errors();
  const std::string out = parent->output();
  EXPECT_TRUE(appearInOrder(out, {"demo: every plugin is open; the camera records for 2 s",
      "demo: search 1 of the stored video started", "demo: decrypted: the plaintext came back",
      "parent: SIGTERM received, stopping the core",
      "demo: stopping: the core closes and unloads every plugin", "Closing 41:CameraSim",
      "Closing 42:Recorder", "Unloading 41:CameraSim", "Unloading 42:Recorder",
      "demo: every plugin unloaded; the core stopped in order"})) << out;
  EXPECT_TRUE(out.ends_with("\nparent: trovis-core exited with status 0\n")) << out;
  // The story alone: no packet lines, and no complaint from the identity step.
  EXPECT_EQ(out.find(" len="), std::string::npos) << out;
  EXPECT_EQ(parent->errors().find("sudo: not found"), std::string::npos) << parent->errors();
  // The shutdown report, not the statistics line ("refblks:N(...)").
  EXPECT_FALSE(std::regex_search(out, std::regex("refblks: |unloaded holding"))) << out;
  // The report would have shown: the core kept the lowered threshold.
  EXPECT_TRUE(std::regex_search(readFile(dir / "core.xml").value_or(""),
                                std::regex(R"(<Plugin ID="-2147483648"[^>]* LogLevel="0")")));
}

}  // namespace
}  // namespace trv::test
