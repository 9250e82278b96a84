#include "core_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "child_process.h"

namespace trv::test {

namespace fs = std::filesystem;

namespace {

constexpr uint32_t HeaderSize = 16;
// Larger than any message the core sends (64 KiB).
constexpr size_t ReceiveBufferSize = 256 * 1024;

void appendWord(std::string& packet, uint32_t word) {
  char bytes[sizeof word];
  std::memcpy(bytes, &word, sizeof word);
  packet.append(bytes, sizeof word);
}

int millisUntil(std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// argv for execv, built before fork: the child only calls exec.
struct Argv {
  explicit Argv(const std::vector<std::string>& words) : words_(words) {
    for (std::string& word : words_) pointers_.push_back(word.data());
    pointers_.push_back(nullptr);
  }
  char* const* get() { return pointers_.data(); }

  std::vector<std::string> words_;
  std::vector<char*> pointers_;
};

uint64_t hexField(const std::string& status, const std::string& name) {
  std::istringstream lines(status);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind(name + ":", 0) != 0) continue;
    return std::stoull(line.substr(name.size() + 1), nullptr, 16);
  }
  return 0;
}

}  // namespace

fs::path testPluginPath(std::string_view relative) {
  return fs::path(TRV_TEST_PLUGIN_DIR) / relative;
}

CoreInstall::CoreInstall() : root_(makeTempDir()) {
  fs::create_directories(root_ / "bin" / "plugins");
  fs::create_directories(root_ / "bin" / "protected-plugins");
  fs::create_directories(workDir());
  fs::copy_file(coreBinary(), executable());
}

CoreInstall::~CoreInstall() {
  std::error_code ec;
  fs::remove_all(root_, ec);
}

void CoreInstall::addPlugin(std::string_view source, std::string_view directory,
                            std::string_view fileName) {
  const fs::path from = testPluginPath(source);
  const fs::path name = fileName.empty() ? from.filename() : fs::path(fileName);
  fs::copy_file(from, root_ / "bin" / directory / name, fs::copy_options::overwrite_existing);
}

std::string ipcPacketWithLength(uint32_t length, uint32_t address, uint32_t kind,
                                std::string_view payload) {
  std::string packet;
  appendWord(packet, length);
  appendWord(packet, address);
  appendWord(packet, kind);
  appendWord(packet, 0);
  packet.append(payload);
  return packet;
}

std::string ipcPacket(uint32_t address, uint32_t kind, std::string_view payload,
                      uint32_t passThrough) {
  std::string packet = ipcPacketWithLength(HeaderSize + static_cast<uint32_t>(payload.size()),
                                           address, kind, payload);
  std::memcpy(packet.data() + 12, &passThrough, sizeof passThrough);
  return packet;
}

bool sendMessage(int fd, std::string_view message) {
  for (;;) {
    const ssize_t n = ::send(fd, message.data(), message.size(), MSG_NOSIGNAL);
    if (n >= 0) return static_cast<size_t>(n) == message.size();
    if (errno != EINTR) return false;
  }
}

std::optional<std::string> receiveMessage(int fd, std::chrono::steady_clock::time_point deadline) {
  std::string buffer(ReceiveBufferSize, '\0');
  for (;;) {
    pollfd poller{fd, POLLIN, 0};
    const int ready = poll(&poller, 1, millisUntil(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return std::nullopt;
    const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n < 0) return std::nullopt;
    // A zero-length read is an empty message while the peer is there, and
    // the end of the stream once it has gone.
    if (n == 0 && (poller.revents & POLLHUP) != 0) return std::nullopt;
    buffer.resize(static_cast<size_t>(n));
    return buffer;
  }
}

CoreProcess::CoreProcess(const CoreInstall& install, CoreOptions options) {
  int sockets[2] = {-1, -1};
  if (options.withChannel) {
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sockets) != 0) {
      throw std::runtime_error("socketpair failed");
    }
    if (options.coreSendBuffer != 0 &&
        setsockopt(sockets[1], SOL_SOCKET, SO_SNDBUF, &options.coreSendBuffer,
                   sizeof options.coreSendBuffer) != 0) {
      throw std::runtime_error("SO_SNDBUF failed");
    }
  }
  std::vector<std::string> args;
  if (options.withChannel) args.push_back(std::to_string(sockets[1]));
  std::vector<std::string> command;
  if (options.wrapper.empty()) {
    command = emulatedCommand(install.executable().string(), args);
  } else {
    command = options.wrapper;
    command.push_back(install.executable().string());
    command.insert(command.end(), args.begin(), args.end());
  }
  Argv argv(command);
  const std::string workDir = install.workDir().string();

  int out[2];
  int err[2];
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }
  const int devNull = open("/dev/null", O_RDONLY | O_CLOEXEC);
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    // A group of its own: a wrapper's children are killed with it.
    setpgid(0, 0);
    dup2(out[1], STDOUT_FILENO);
    dup2(err[1], STDERR_FILENO);
    dup2(devNull, STDIN_FILENO);
    // Only the core's end is inherited.
    if (sockets[1] >= 0) fcntl(sockets[1], F_SETFD, 0);
    if (chdir(workDir.c_str()) != 0) _exit(126);
    execvp(argv.get()[0], argv.get());
    _exit(127);
  }
  setpgid(pid_, pid_);
  close(devNull);
  close(out[1]);
  close(err[1]);
  if (sockets[1] >= 0) close(sockets[1]);
  channel_ = sockets[0];
  reader_ = std::thread([this, outFd = out[0], errFd = err[0]] { drainOutput(outFd, errFd); });
}

CoreProcess::~CoreProcess() {
  if (!exited_ && pid_ > 0) {
    kill(-pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (reader_.joinable()) reader_.join();
  if (channel_ >= 0) close(channel_);
}

void CoreProcess::drainOutput(int outFd, int errFd) {
  std::array<pollfd, 2> fds{{{outFd, POLLIN, 0}, {errFd, POLLIN, 0}}};
  std::array<std::string*, 2> sinks{&out_, &err_};
  int open = 2;
  while (open > 0) {
    if (poll(fds.data(), fds.size(), -1) < 0) continue;
    for (size_t i = 0; i < fds.size(); ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char chunk[4096];
      const ssize_t n = read(fds[i].fd, chunk, sizeof chunk);
      if (n > 0) {
        std::lock_guard lock(outputMutex_);
        sinks[i]->append(chunk, static_cast<size_t>(n));
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      close(fds[i].fd);
      fds[i].fd = -1;
      --open;
    }
  }
  {
    std::lock_guard lock(outputMutex_);
    outputDone_ = true;
  }
  outputClosed_.notify_all();
}

std::optional<std::string> CoreProcess::receive() {
  return receiveMessage(channel_, std::chrono::steady_clock::now() + ProcessDeadline);
}

bool CoreProcess::awaitMessage(std::string_view expected) {
  const auto deadline = std::chrono::steady_clock::now() + ProcessDeadline;
  for (;;) {
    const auto message = receiveMessage(channel_, deadline);
    if (!message) return false;
    if (*message == expected) return true;
    skipped_.push_back(*message);
  }
}

void CoreProcess::closeChannel() {
  close(channel_);
  channel_ = -1;
}

void CoreProcess::signal(int number) { kill(pid_, number); }

int CoreProcess::waitForExit() {
  if (exited_) return exitStatus_;
  bool ended;
  {
    std::unique_lock lock(outputMutex_);
    ended = outputClosed_.wait_for(lock, ProcessDeadline, [this] { return outputDone_; });
  }
  // The output closes when the process ends; a process still holding it
  // after the deadline is taken as hung, with everything it started.
  if (!ended && pid_ > 0) kill(-pid_, SIGKILL);
  int status = 0;
  waitpid(pid_, &status, 0);
  exited_ = true;
  if (!ended) {
    exitStatus_ = -2;
  } else {
    exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  reader_.join();
  return exitStatus_;
}

std::string CoreProcess::output() const {
  std::lock_guard lock(outputMutex_);
  return out_;
}

std::string CoreProcess::errors() const {
  std::lock_guard lock(outputMutex_);
  return err_;
}

bool signalsTaken(pid_t pid, uint64_t signals) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/status");
  std::stringstream status;
  status << file.rdbuf();
  const std::string text = status.str();
  // A process that has ended takes no more signals.
  if (text.empty() || text.find("\nState:\tZ") != std::string::npos) return true;
  return ((hexField(text, "SigPnd") | hexField(text, "ShdPnd")) & signals) == 0;
}

}  // namespace trv::test
