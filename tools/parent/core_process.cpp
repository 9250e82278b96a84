#include "core_process.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <system_error>

#include "signal_pipe.h"

namespace trv::parent {

namespace {

void report(const char* text) {
  [[maybe_unused]] const ssize_t n = write(STDERR_FILENO, text, std::strlen(text));
}

// Between fork and exec: only async-signal-safe calls.
[[noreturn]] void becomeCore(char* const* argv, const char* runDir, int coreEnd, const SignalBlock& block) {
  setpgid(0, 0);
  if (chdir(runDir) != 0) {
    report("trovis-parent: cannot enter the run directory\n");
    _exit(127);
  }
  if (fcntl(coreEnd, F_SETFD, 0) != 0) _exit(127);
  block.releaseInChild();
  execvp(argv[0], argv);
  report("trovis-parent: cannot execute ");
  report(argv[0]);
  report("\n");
  _exit(127);
}

}  // namespace

CoreProcess::CoreProcess(const std::vector<std::string>& command, const std::filesystem::path& runDir) {
  int ends[2];
  // Both ends close on exec; the child clears the flag on its own end only.
  if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) {
    throw std::system_error(errno, std::generic_category(), "socketpair");
  }
  socket_ = core::FileDescriptor(ends[0]);
  const core::FileDescriptor coreEnd(ends[1]);

  std::vector<std::string> words = command;
  words.push_back(std::to_string(coreEnd.get()));
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);

  // Buffered output would otherwise be written twice, once by the child.
  std::fflush(nullptr);
  const SignalBlock block;
  pid_ = fork();
  if (pid_ == 0) becomeCore(argv.data(), runDir.c_str(), coreEnd.get(), block);
  if (pid_ < 0) throw std::system_error(errno, std::generic_category(), "fork");
  // Also here, so the group exists whichever side runs first; fails harmlessly
  // once the child has exec'd.
  setpgid(pid_, pid_);
}

CoreProcess::~CoreProcess() {
  if (pid_ <= 0 || status_) return;
  socket_.close();
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
