// The running core as the parent daemon sees it: a private installation of the
// executable with chosen test plugins, started on a sequenced-packet
// socketpair, with its output collected and its packets exchanged.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace trv::test {

// How long any one step of a process test may take before it counts as hung:
// generous, because the cross-built tests run under an emulator.
inline constexpr std::chrono::seconds ProcessDeadline{60};

// A shared object built by the test tree (tests/test_plugins/<relative>).
std::filesystem::path testPluginPath(std::string_view relative);

// A copy of the core executable in <root>/bin, with bin/plugins and
// bin/protected-plugins beside it and an empty working directory. The whole
// tree is removed when this is destroyed.
class CoreInstall {
 public:
  CoreInstall();
  ~CoreInstall();
  CoreInstall(const CoreInstall&) = delete;
  CoreInstall& operator=(const CoreInstall&) = delete;

  // Copies the test plugin at `source` (relative to the test plugin
  // directory) into bin/<directory>, named `fileName` (default: its own name).
  void addPlugin(std::string_view source, std::string_view directory = "plugins",
                 std::string_view fileName = {});

  const std::filesystem::path& root() const { return root_; }
  std::filesystem::path executable() const { return root_ / "bin" / "trovis-core"; }
  std::filesystem::path workDir() const { return root_ / "work"; }

 private:
  std::filesystem::path root_;
};

// One packet for the core: the four host-order header words (`length` is the
// whole packet's size unless given) followed by `payload`.
std::string ipcPacket(uint32_t address, uint32_t kind, std::string_view payload,
                      uint32_t passThrough = 0);
std::string ipcPacketWithLength(uint32_t length, uint32_t address, uint32_t kind,
                                std::string_view payload);

// The address word that delivers a packet to plugin `pluginId`.
inline constexpr uint32_t addressOf(uint8_t pluginId) { return uint32_t{pluginId} << 20; }

// Sends `message` as one sequenced packet; false when the socket refuses it.
bool sendMessage(int fd, std::string_view message);

// The next message on `fd`, waiting until `deadline`; nullopt when none came
// or the peer has gone. An empty message reads as "".
std::optional<std::string> receiveMessage(int fd, std::chrono::steady_clock::time_point deadline);

struct CoreOptions {
  // Start without a descriptor argument (and without a socketpair).
  bool withChannel = true;
  // SO_SNDBUF for the core's end of the socketpair; 0 leaves the default.
  int coreSendBuffer = 0;
  // Words put before the core's command line instead of $TRV_EMULATOR (for
  // example a tracer); the core must then run natively.
  std::vector<std::string> wrapper;
};

// The core process, started from a CoreInstall in its working directory with
// standard input closed, as the leader of a process group of its own. The
// group is killed when this is destroyed while the process still runs.
class CoreProcess {
 public:
  explicit CoreProcess(const CoreInstall& install, CoreOptions options = {});
  ~CoreProcess();
  CoreProcess(const CoreProcess&) = delete;
  CoreProcess& operator=(const CoreProcess&) = delete;

  pid_t pid() const { return pid_; }

  // The parent's end of the channel.
  bool send(std::string_view message) { return sendMessage(channel_, message); }
  std::optional<std::string> receive();
  // Receives until `expected` arrives; false when the deadline passes or the
  // channel ends first. Messages passed over are kept in skipped().
  bool awaitMessage(std::string_view expected);
  const std::vector<std::string>& skipped() const { return skipped_; }
  // Closes the parent's end: the core reads end-of-stream.
  void closeChannel();

  void signal(int number);

  // Waits for the process to end: its exit status, -1 when a signal ended
  // it, -2 when it was still running at the deadline (it is killed then).
  int waitForExit();

  // Everything the process wrote so far; complete once it has exited.
  std::string output() const;
  std::string errors() const;

 private:
  void drainOutput(int outFd, int errFd);

  pid_t pid_ = -1;
  int channel_ = -1;
  bool exited_ = false;
  int exitStatus_ = -2;
  std::vector<std::string> skipped_;
  mutable std::mutex outputMutex_;
  std::condition_variable outputClosed_;
  bool outputDone_ = false;
  std::string out_;
  std::string err_;
  std::thread reader_;
};

// None of `signals` (bit n-1 for signal n) is pending for `pid` any more: a
// handler has taken them, or the process has ended.
bool signalsTaken(pid_t pid, uint64_t signals);

}  // namespace trv::test
