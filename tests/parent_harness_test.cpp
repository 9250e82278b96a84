// trovis-parent: its packets, command line and scripts, and the real tool
// starting the real core, stopping it and reporting how it ended.
#include "packet.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "child_process.h"
#include "options.h"
#include "script.h"

namespace trv::parent {
namespace {

namespace fs = std::filesystem;
using std::chrono::steady_clock;

// ---- Packets ----------------------------------------------------------------

// The expected bytes, built word by word.
Packet bytesOf(std::initializer_list<uint32_t> words, std::string_view payload) {
  Packet packet;
  for (const uint32_t word : words) {
    uint8_t raw[4];
    std::memcpy(raw, &word, sizeof raw);
    packet.insert(packet.end(), raw, raw + sizeof raw);
  }
  packet.insert(packet.end(), payload.begin(), payload.end());
  return packet;
}

TEST(Packets, PluginNumberGoesIntoAddressBitsTwentyToTwentySeven) {
  EXPECT_EQ(pluginPacket(0x12, 3, "hello"), bytesOf({21, 0x01200000, 3, 0}, "hello"));
  EXPECT_EQ(pluginPacket(255, 0xffffffff, ""), bytesOf({16, 0x0ff00000, 0xffffffff, 0}, ""));
}

TEST(Packets, IdentificationNamesTheParentItsVersionAndBackground) {
  std::string payload = "trovis-parent";
  payload += '\0';
  payload += "1.2";
  payload += '\0';
  EXPECT_EQ(identificationPacket("1.2", false), bytesOf({34, 0, 7, 0}, payload));
  payload += "Background:true";
  payload += '\0';
  EXPECT_EQ(identificationPacket("1.2", true), bytesOf({50, 0, 7, 0}, payload));
  EXPECT_EQ(stopPacket(), bytesOf({16, 0, 8, 0}, ""));
}

TEST(PacketLines, ShowTheHeaderWordsAndTextInQuotes) {
  EXPECT_EQ(describePacket(pluginPacket(0x12, 3, "hello")),
            "len=21 addr=0x01200000 kind=3 pass=0 \"hello\"");
  EXPECT_EQ(describePacket(bytesOf({29, 0xabcdef01, 9, 7}, std::string_view("a\"b\\c\r\n\t\0!!!!", 13))),
            "len=29 addr=0xabcdef01 kind=9 pass=7 \"a\\\"b\\\\c\\r\\n\\t\\0!!!!\"");
  EXPECT_EQ(describePacket(stopPacket()), "len=16 addr=0x00000000 kind=8 pass=0 (no payload)");
}

TEST(PacketLines, ShowAnythingButTextInHex) {
  EXPECT_EQ(describePacket(bytesOf({20, 0, 9, 7}, "\x01\x02\x7f\xff")),
            "len=20 addr=0x00000000 kind=9 pass=7 01 02 7f ff");
}

TEST(PacketLines, PreviewAtMostThirtyTwoBytes) {
  EXPECT_EQ(describePacket(pluginPacket(1, 2, std::string(40, 'a'))),
            "len=56 addr=0x00100000 kind=2 pass=0 \"" + std::string(32, 'a') + "\" ... (40 bytes)");
  std::string hexBytes = "80";
  for (int i = 1; i < 32; ++i) hexBytes += " 80";
  EXPECT_EQ(describePacket(pluginPacket(1, 2, std::string(33, '\x80'))),
            "len=49 addr=0x00100000 kind=2 pass=0 " + hexBytes + " ... (33 bytes)");
}

TEST(PacketLines, SayWhenTheMessageDisagreesWithItsHeader) {
  EXPECT_EQ(describePacket(bytesOf({100, 0, 9, 0}, "abcd")),
            "len=100 addr=0x00000000 kind=9 pass=0 \"abcd\" (message of 20 bytes)");
  EXPECT_EQ(describePacket(bytesOf({5}, "\x02")), "short message of 5 bytes: 05 00 00 00 02");
  EXPECT_EQ(describePacket({}), "short message of 0 bytes: ");
}

// ---- Command line and scripts -------------------------------------------------

Options parse(std::vector<const char*> args) { return parseOptions(args); }

Command send(uint8_t plugin, uint32_t kind, std::string text) {
  return {Command::Action::Send, plugin, kind, std::move(text), 0};
}

Command sleepFor(uint32_t millis) { return {Command::Action::Sleep, 0, 0, {}, millis}; }

const Command stop{};

void expectUsageError(std::vector<const char*> args, const std::string& message) {
  try {
    parse(args);
    ADD_FAILURE() << "accepted " << args.front();
  } catch (const UsageError& error) {
    EXPECT_EQ(error.what(), message);
  }
}

TEST(CommandLine, TakesValuesAfterTheOptionOrBehindAnEqualsSign) {
  const Options options = parse({"--send", "18:3:a:b", "--send=0:7:", "--duration", "0.25", "--background",
                                 "--core=/opt/core", "--run-dir", "run"});
  EXPECT_EQ(options.commands, (std::vector<Command>{send(18, 3, "a:b"), send(0, 7, "")}));
  EXPECT_EQ(options.duration, std::chrono::milliseconds(250));
  EXPECT_TRUE(options.background);
  EXPECT_EQ(options.corePath, "/opt/core");
  EXPECT_EQ(options.runDir, "run");
  EXPECT_FALSE(options.help);

  const Options defaults = parse({});
  EXPECT_FALSE(defaults.duration);
  EXPECT_FALSE(defaults.background);
  EXPECT_TRUE(defaults.commands.empty());
  EXPECT_TRUE(parse({"-h"}).help);
}

TEST(CommandLine, RejectsWhatItCannotRun) {
  expectUsageError({"--send", "256:3:x"}, "plugin number must be a number from 0 to 255, found \"256\"");
  expectUsageError({"--send", "18:3"}, "--send expects PLUGIN:KIND:TEXT, found \"18:3\"");
  expectUsageError({"--send", "18:-3:x"},
                   "packet kind must be a number from 0 to 4294967295, found \"-3\"");
  expectUsageError({"--duration", "-1"}, "--duration expects a number of seconds, found \"-1\"");
  expectUsageError({"--duration", "2s"}, "--duration expects a number of seconds, found \"2s\"");
  expectUsageError({"--duration"}, "--duration needs a value");
  expectUsageError({"--background=yes"}, "--background takes no value");
  expectUsageError({"--frobnicate"}, "unknown argument \"--frobnicate\"");
  expectUsageError({"--script", "/nonexistent/session.txt"},
                   "cannot read script /nonexistent/session.txt: No such file or directory");
}

TEST(Scripts, RunInCommandLineOrderWithTheSends) {
  const fs::path file = test::makeTempDir() / "session.txt";
  std::ofstream(file) << "# switch on, wait, switch off\n"
                         "\n"
                         "  send 18 3 switch on  now \n"
                         "sleep 250\n"
                         "send 18 4\n"
                         "stop\n";
  const Options options = parse({"--send", "1:2:first", "--script", file.c_str(), "--send", "1:2:last"});
  EXPECT_EQ(options.commands, (std::vector<Command>{send(1, 2, "first"), send(18, 3, "switch on  now"),
                                                    sleepFor(250), send(18, 4, ""), stop,
                                                    send(1, 2, "last")}));
}

TEST(Scripts, NameTheFileAndLineOfAMistake) {
  const auto expectError = [](std::string_view text, const std::string& message) {
    try {
      parseScript(text, "s.txt");
      ADD_FAILURE() << "accepted " << text;
    } catch (const UsageError& error) {
      EXPECT_EQ(error.what(), message);
    }
  };
  expectError("# wait\n\nsleep soon\n",
              "s.txt:3: milliseconds must be a number from 0 to 4294967295, found \"soon\"");
  expectError("jump 5", "s.txt:1: expected \"send PLUGIN KIND TEXT\", \"sleep MS\" or \"stop\", found \"jump 5\"");
  expectError("stop\nstop now\n",
              "s.txt:2: expected \"send PLUGIN KIND TEXT\", \"sleep MS\" or \"stop\", found \"stop now\"");
  expectError("send 300 1 x", "s.txt:1: plugin number must be a number from 0 to 255, found \"300\"");
}

// ---- A stand-in core -----------------------------------------------------------

// With TRV_FAKE_CORE set, this test program plays the core when trovis-parent
// starts it: it returns every packet it receives and exits with status 3 after
// the stop packet. It runs before main(), on the descriptor whose number
// trovis-parent passes as the last argument.
__attribute__((constructor)) void playCoreIfAsked(int argc, char** argv, char**) {
  if (std::getenv("TRV_FAKE_CORE") == nullptr || argc < 2) return;
  const int fd = std::atoi(argv[argc - 1]);
  std::vector<uint8_t> packet(MaxPacket);
  for (;;) {
    const ssize_t n = ::recv(fd, packet.data(), packet.size(), 0);
    if (n <= 0) _exit(4);
    if (::send(fd, packet.data(), static_cast<size_t>(n), 0) != n) _exit(5);
    uint32_t kind = 0;
    if (n >= 12) std::memcpy(&kind, packet.data() + 8, sizeof kind);
    if (kind == KindStop) _exit(3);
  }
}

// Sets an environment variable for the scope, for the processes it starts.
class ScopedVariable {
 public:
  ScopedVariable(const char* name, const char* value) : name_(name) { setenv(name, value, 1); }
  ~ScopedVariable() { unsetenv(name_); }
  ScopedVariable(const ScopedVariable&) = delete;
  ScopedVariable& operator=(const ScopedVariable&) = delete;

 private:
  const char* name_;
};

// ---- The real tool ------------------------------------------------------------

std::string parentBinary() { return std::string(TRV_BIN_DIR) + "/trovis-parent"; }

test::ProcessResult runParent(const std::vector<std::string>& args) {
  return test::runProcess(test::emulatedCommand(parentBinary(), args), test::makeTempDir());
}

bool endsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// `texts` occur in `output` in this order, each after the one before.
bool appearInOrder(const std::string& output, const std::vector<std::string>& texts) {
  size_t from = 0;
  for (const std::string& text : texts) {
    from = output.find(text, from);
    if (from == std::string::npos) return false;
    from += text.size();
  }
  return true;
}

// A copy of the build's bin/ with ProbeWrite.so beside LogPI.so, since the
// core loads the plugins beside its own executable. Returns the core.
fs::path makeCoreTree(const fs::path& root) {
  const fs::path plugins = root / "bin" / "plugins";
  fs::create_directories(plugins);
  fs::copy_file(test::coreBinary(), root / "bin" / "trovis-core");
  fs::copy_file(fs::path(TRV_BIN_DIR) / "plugins" / "LogPI.so", plugins / "LogPI.so");
  fs::copy_file(fs::path(TRV_TEST_BINARY_DIR) / "test_plugins" / "ProbeWrite.so", plugins / "ProbeWrite.so");
  return root / "bin" / "trovis-core";
}

std::string readFile(const fs::path& path) {
  std::ifstream file(path);
  std::ostringstream contents;
  contents << file.rdbuf();
  return contents.str();
}

constexpr auto Patience = std::chrono::seconds(60);

bool waitForFileText(const fs::path& path, const std::string& text) {
  const auto deadline = steady_clock::now() + Patience;
  while (readFile(path).find(text) == std::string::npos) {
    if (steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// A process running while the test acts on it; standard output and error
// share one pipe. Killed and reaped if the test ends early.
class RunningProcess {
 public:
  explicit RunningProcess(const std::vector<std::string>& command) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], STDOUT_FILENO);
      dup2(out[1], STDERR_FILENO);
      test::execCommand(command);
    }
    close(out[1]);
    out_ = out[0];
  }
  ~RunningProcess() {
    if (out_ >= 0) close(out_);
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  RunningProcess(const RunningProcess&) = delete;
  RunningProcess& operator=(const RunningProcess&) = delete;

  pid_t pid() const { return pid_; }

  // Reads until `marker` is in the output, the output ends or patience runs out.
  const std::string& readUntil(const std::string& marker) {
    const auto deadline = steady_clock::now() + Patience;
    while (output_.find(marker) == std::string::npos && steady_clock::now() < deadline) {
      pollfd readable{out_, POLLIN, 0};
      if (poll(&readable, 1, 100) <= 0) continue;
      char chunk[4096];
      const ssize_t n = read(out_, chunk, sizeof chunk);
      if (n <= 0) break;
      output_.append(chunk, static_cast<size_t>(n));
    }
    return output_;
  }

  // Reads to the end of the output and reaps the process.
  test::ProcessResult finish() {
    for (char chunk[4096];;) {
      const ssize_t n = read(out_, chunk, sizeof chunk);
      if (n <= 0) break;
      output_.append(chunk, static_cast<size_t>(n));
    }
    int status = 0;
    waitpid(std::exchange(pid_, -1), &status, 0);
    test::ProcessResult result;
    result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.out = output_;
    return result;
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  std::string output_;
};

TEST(Tool, HelpExplainsOptionsPacketsAndExamples) {
  const auto result = runParent({"--help"});
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_TRUE(result.out.starts_with("Usage: trovis-parent [OPTION]...\n")) << result.out;
  for (const char* text : {"--core PATH", "--run-dir DIR", "--background", "--send P:K:TEXT",
                           "--script FILE", "--duration SECONDS", "TRV_EMULATOR", "bits 20..27",
                           "Exit status:", "Examples:"}) {
    EXPECT_NE(result.out.find(text), std::string::npos) << text;
  }
  EXPECT_EQ(result.err, "");
}

TEST(Tool, ReportsItsOwnFailuresWithStatus125) {
  const auto unknown = runParent({"--frobnicate"});
  EXPECT_EQ(unknown.exitStatus, 125);
  EXPECT_EQ(unknown.err,
            "trovis-parent: unknown argument \"--frobnicate\"\n"
            "Try 'trovis-parent --help' for more information.\n");
  const auto noCore = runParent({"--core", "/nonexistent/trovis-core", "--duration", "1"});
  EXPECT_EQ(noCore.exitStatus, 125);
  EXPECT_EQ(noCore.err, "trovis-parent: cannot run /nonexistent/trovis-core: No such file or directory\n");
  EXPECT_EQ(noCore.out, "");
}

TEST(Tool, RunsTheCoreBesideItForTheDurationAndExitsWithItsStatus) {
  const fs::path runDir = test::makeTempDir() / "run";
  const auto result = runParent({"--duration", "2", "--run-dir", runDir.string()});
  EXPECT_EQ(result.exitStatus, 0) << result.out << result.err;
  EXPECT_TRUE(appearInOrder(result.out, {
                  "parent: started " + test::coreBinary() + " (pid ",
                  ") in " + runDir.string() + "\n",
                  "parent -> len=39 addr=0x00000000 kind=7 pass=0 \"trovis-parent\\026.2.3.0\\0\"\n",
                  "parent: --duration has elapsed, stopping the core\n"
                  "parent -> len=16 addr=0x00000000 kind=8 pass=0 (no payload)\n",
                  "memory limits, throttling:",
              })) << result.out;
  EXPECT_TRUE(endsWith(result.out, "\nparent: trovis-core exited with status 0\n")) << result.out;
  // The core reads its device id from the copy the run directory received.
  const fs::path source = fs::path(TRV_TEST_SOURCE_DIR) / ".." / "scripts" / "get_id.sh";
  EXPECT_EQ(readFile(runDir / "scripts" / "get_id.sh"), readFile(source));
  EXPECT_NE(readFile(runDir / "trovis.log").find(" id=00 level=25 memory limits, throttling:"), std::string::npos);
}

TEST(Tool, CoreOpensAndClosesItsPluginsAndLogPIKeepsTheLines) {
  const fs::path root = test::makeTempDir();
  const fs::path core = makeCoreTree(root);
  const auto result = runParent({"--core", core.string(), "--run-dir", (root / "run").string(), "--duration", "2"});
  EXPECT_EQ(result.exitStatus, 0) << result.out << result.err;
  EXPECT_TRUE(appearInOrder(result.out, {"Loaded plugin 06:ProbeWrite\n", "Opening 06:ProbeWrite\n",
                                         "Closing 06:ProbeWrite\n", "Unloading 06:ProbeWrite\n",
                                         "parent: trovis-core exited with status 0\n"}))
      << result.out;
  EXPECT_TRUE(appearInOrder(readFile(root / "run" / "trovis.log"),
                            {" id=00 level=25 Loaded plugin 06:ProbeWrite\n",
                             " id=00 level=25 Opening 06:ProbeWrite\n",
                             " id=00 level=25 Closing 06:ProbeWrite\n",
                             " id=00 level=25 Unloading 06:ProbeWrite\n"}));
}

TEST(Tool, BackgroundSilencesTheCoreButNotTheParent) {
  const fs::path root = test::makeTempDir();
  const fs::path core = makeCoreTree(root);
  const auto result = runParent({"--core", core.string(), "--run-dir", (root / "run").string(),
                                 "--duration", "2", "--background"});
  EXPECT_EQ(result.exitStatus, 0) << result.out << result.err;
  EXPECT_NE(result.out.find("\"trovis-parent\\026.2.3.0\\0Backgroun\" ... (39 bytes)\n"), std::string::npos)
      << result.out;
  // Lines of the start may still slip out before the core has read the
  // identification; the lines of the stop come long after.
  EXPECT_EQ(result.out.find("Closing 06:ProbeWrite"), std::string::npos) << result.out;
  EXPECT_EQ(result.out.find("Unloading 06:ProbeWrite"), std::string::npos) << result.out;
  EXPECT_TRUE(endsWith(result.out, "\nparent: trovis-core exited with status 0\n")) << result.out;
  EXPECT_NE(readFile(root / "run" / "trovis.log").find(" id=00 level=25 Closing 06:ProbeWrite\n"),
            std::string::npos);
}

TEST(Tool, PacketsForAbsentPluginsAreDroppedAndTheScriptCanStopTheCore) {
  const fs::path dir = test::makeTempDir();
  std::ofstream(dir / "session.txt") << "send 200 3 anyone there?\nsleep 300\nstop\nsend 200 3 never\n";
  const auto result = runParent({"--send", "6:9:hello", "--script", (dir / "session.txt").string(),
                                 "--run-dir", (dir / "run").string()});
  EXPECT_EQ(result.exitStatus, 0) << result.out << result.err;
  EXPECT_TRUE(appearInOrder(result.out, {
                  "parent -> len=21 addr=0x00600000 kind=9 pass=0 \"hello\"\n"
                  "parent -> len=29 addr=0x0c800000 kind=3 pass=0 \"anyone there?\"\n",
                  "parent: the script says stop, stopping the core\n"
                  "parent -> len=16 addr=0x00000000 kind=8 pass=0 (no payload)\n",
              })) << result.out;
  EXPECT_EQ(result.out.find("never"), std::string::npos) << result.out;
  EXPECT_TRUE(endsWith(result.out, "\nparent: trovis-core exited with status 0\n")) << result.out;
}

TEST(Tool, PacketsCrossTheSocketByteForByteBothWays) {
  const ScopedVariable fakeCore("TRV_FAKE_CORE", "echo");
  const fs::path dir = test::makeTempDir();
  const auto result = runParent({"--core", std::string(TRV_TEST_BINARY_DIR) + "/parent_harness_test",
                                 "--run-dir", dir.string(), "--send", "18:3:hello", "--send",
                                 "255:4:\x01\x02", "--duration", "0.5"});
  EXPECT_EQ(result.exitStatus, 3) << result.out << result.err;
  EXPECT_TRUE(appearInOrder(result.out, {
                  "parent <- len=39 addr=0x00000000 kind=7 pass=0 \"trovis-parent\\026.2.3.0\\0\"\n",
                  "parent <- len=21 addr=0x01200000 kind=3 pass=0 \"hello\"\n",
                  "parent <- len=18 addr=0x0ff00000 kind=4 pass=0 01 02\n",
                  "parent <- len=16 addr=0x00000000 kind=8 pass=0 (no payload)\n",
              })) << result.out;
  EXPECT_TRUE(endsWith(result.out, "\nparent: trovis-core exited with status 3\n")) << result.out;
}

TEST(Tool, SigtermStopsTheCoreInOrder) {
  const fs::path root = test::makeTempDir();
  const fs::path core = makeCoreTree(root);
  RunningProcess parent(test::emulatedCommand(parentBinary(), {"--core", core.string(), "--run-dir",
                                                               (root / "run").string()}));
  ASSERT_TRUE(waitForFileText(root / "run" / "trovis.log", "Opening 06:ProbeWrite"));
  kill(parent.pid(), SIGTERM);
  const auto result = parent.finish();

  EXPECT_EQ(result.exitStatus, 0) << result.out;
  EXPECT_TRUE(appearInOrder(result.out, {"parent: SIGTERM received, stopping the core\n"
                                         "parent -> len=16 addr=0x00000000 kind=8 pass=0 (no payload)\n",
                                         "Opening 06:ProbeWrite\n", "Closing 06:ProbeWrite\n",
                                         "Unloading 06:ProbeWrite\n"}))
      << result.out;
  EXPECT_TRUE(endsWith(result.out, "\nparent: trovis-core exited with status 0\n")) << result.out;
}

TEST(Tool, CoreEndedBySignalGives128PlusItsNumber) {
  const fs::path dir = test::makeTempDir();
  RunningProcess parent(test::emulatedCommand(parentBinary(), {"--run-dir", dir.string()}));
  const std::string started = parent.readUntil(") in ");
  const size_t pidAt = started.find("(pid ");
  ASSERT_NE(pidAt, std::string::npos) << started;
  kill(std::stoi(started.substr(pidAt + 5)), SIGKILL);
  const auto result = parent.finish();

  EXPECT_EQ(result.exitStatus, 137) << result.out;
  EXPECT_TRUE(endsWith(result.out, "\nparent: trovis-core was ended by signal 9 (Killed), status 137\n"))
      << result.out;
}

}  // namespace
}  // namespace trv::parent
