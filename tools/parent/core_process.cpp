#include "core_process.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <system_error>

#include "system/file_descriptor.h"

namespace trv::parent {

namespace {

// The signals trovis-parent catches; the core starts with their defaults.
constexpr int Caught[] = {SIGINT, SIGTERM, SIGCHLD};

void report(const char* text) {
  [[maybe_unused]] const ssize_t n = write(STDERR_FILENO, text, std::strlen(text));
}

std::vector<char*> pointersTo(std::vector<std::string>& words) {
  std::vector<char*> pointers;
  for (std::string& word : words) pointers.push_back(word.data());
  pointers.push_back(nullptr);
  return pointers;
}

// Between fork and exec: only async-signal-safe calls.
[[noreturn]] void becomeCore(char* const* argv, char* const* envp, const char* runDir, int coreEnd,
                             const sigset_t& mask) {
  setpgid(0, 0);
  if (chdir(runDir) != 0) {
    report("trovis-parent: cannot enter the run directory\n");
    _exit(127);
  }
  if (fcntl(coreEnd, F_SETFD, 0) != 0) _exit(127);
  for (const int signal : Caught) std::signal(signal, SIG_DFL);
  sigprocmask(SIG_SETMASK, &mask, nullptr);
  execvpe(argv[0], argv, envp);
  report("trovis-parent: cannot execute ");
  report(argv[0]);
  report("\n");
  _exit(127);
}

std::system_error lastError(const char* what) { return {errno, std::generic_category(), what}; }

}  // namespace

CoreProcess::CoreProcess(const std::vector<std::string>& command,
                         const std::vector<std::string>& environment,
                         const std::filesystem::path& runDir, const Socket::executor_type& executor)
    : socket_(executor) {
  int ends[2];
  // Both ends close on exec; the child clears the flag on its own end only.
  if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) {
    throw lastError("socketpair");
  }
  const core::FileDescriptor coreEnd(ends[1]);
  boost::system::error_code ec;
  socket_.assign(boost::asio::generic::seq_packet_protocol(AF_UNIX, 0), ends[0], ec);
  if (ec) {
    close(ends[0]);
    throw std::system_error(ec, "assign");
  }

  std::vector<std::string> words = command;
  words.push_back(std::to_string(coreEnd.get()));
  std::vector<std::string> variables = environment;
  const auto argv = pointersTo(words);
  const auto envp = pointersTo(variables);

  // Buffered output would otherwise be written twice, once by the child.
  std::fflush(nullptr);
  // Held back until the child has its default handlers, so that none of
  // ours runs in it.
  sigset_t caught, previous;
  sigemptyset(&caught);
  for (const int signal : Caught) sigaddset(&caught, signal);
  sigprocmask(SIG_BLOCK, &caught, &previous);
  pid_ = fork();
  if (pid_ == 0) becomeCore(argv.data(), envp.data(), runDir.c_str(), coreEnd.get(), previous);
  const int forkError = errno;
  sigprocmask(SIG_SETMASK, &previous, nullptr);
  if (pid_ < 0) throw std::system_error(forkError, std::generic_category(), "fork");
  // Also here, so the group exists whichever side runs first; fails harmlessly
  // once the child has exec'd.
  setpgid(pid_, pid_);
}

CoreProcess::~CoreProcess() {
  if (pid_ <= 0 || status_) return;
  boost::system::error_code ignored;
  socket_.close(ignored);
  int waitStatus = 0;
  while (waitpid(pid_, &waitStatus, 0) < 0 && errno == EINTR) {
  }
}

std::optional<int> CoreProcess::exitStatus() {
  if (status_) return status_;
  int waitStatus = 0;
  if (waitpid(pid_, &waitStatus, WNOHANG) != pid_) return std::nullopt;
  if (WIFSIGNALED(waitStatus)) {
    signal_ = WTERMSIG(waitStatus);
    status_ = 128 + signal_;
  } else {
    status_ = WEXITSTATUS(waitStatus);
  }
  return status_;
}

}  // namespace trv::parent
