#include "signal_pipe.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace trv::parent {

namespace {

constexpr int Handled[] = {SIGINT, SIGTERM, SIGCHLD};

// Read by the handler; a plain int is all a handler may safely look at.
volatile sig_atomic_t g_writeFd = -1;

void onSignal(int signal) {
  const int savedErrno = errno;
  const auto byte = static_cast<unsigned char>(signal);
  // A full pipe already holds enough wake-ups; losing this byte is harmless.
  [[maybe_unused]] const ssize_t n = write(g_writeFd, &byte, 1);
  errno = savedErrno;
}

std::system_error lastError(const char* what) { return {errno, std::generic_category(), what}; }

}  // namespace

SignalPipe::SignalPipe() {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) throw lastError("pipe2");
  readEnd_ = core::FileDescriptor(ends[0]);
  writeEnd_ = core::FileDescriptor(ends[1]);
  g_writeFd = writeEnd_.get();

  struct sigaction action {};
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  // SA_NOCLDSTOP: only the core's end matters, not its pauses.
  action.sa_flags = SA_RESTART | SA_NOCLDSTOP;
  for (size_t i = 0; i < std::size(Handled); ++i) {
    if (sigaction(Handled[i], &action, &previous_[i]) != 0) throw lastError("sigaction");
  }
}

SignalPipe::~SignalPipe() {
  for (size_t i = 0; i < std::size(Handled); ++i) sigaction(Handled[i], &previous_[i], nullptr);
  g_writeFd = -1;
}

std::vector<int> SignalPipe::take() {
  std::vector<int> signals;
  unsigned char bytes[64];
  for (;;) {
    const ssize_t n = read(readEnd_.get(), bytes, sizeof bytes);
    if (n <= 0) return signals;
    signals.insert(signals.end(), bytes, bytes + n);
  }
}

sigset_t SignalPipe::handled() {
  sigset_t set;
  sigemptyset(&set);
  for (const int signal : Handled) sigaddset(&set, signal);
  return set;
}

SignalBlock::SignalBlock() {
  const sigset_t set = SignalPipe::handled();
  sigprocmask(SIG_BLOCK, &set, &previous_);
}

SignalBlock::~SignalBlock() { sigprocmask(SIG_SETMASK, &previous_, nullptr); }

void SignalBlock::releaseInChild() const {
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  for (const int signal : Handled) sigaction(signal, &action, nullptr);
  sigprocmask(SIG_SETMASK, &previous_, nullptr);
}

}  // namespace trv::parent
