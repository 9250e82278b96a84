#include "harness.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <system_error>
#include <thread>

#include <fmt/format.h>

#include "system/file_descriptor.h"

namespace trv::bench {

namespace {

// A run that has not reported back by then is taken as hung.
constexpr auto ChildTimeout = std::chrono::seconds(120);

[[noreturn]] void throwErrno(const char* what) {
  throw std::system_error(errno, std::generic_category(), what);
}

// The child of one run: killed and reaped when it is destroyed unless it has
// been reaped already, so that a parent leaving on an error leaves no child.
class Child {
 public:
  explicit Child(pid_t pid) : pid_(pid) {}
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child() {
    if (pid_ > 0) stop();
  }

  // Waits for the child to end and returns its wait status.
  int wait() {
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    return status;
  }

  // Kills the child, if it still runs, and returns its wait status.
  int stop() {
    ::kill(pid_, SIGKILL);
    return wait();
  }

 private:
  pid_t pid_;
};

rusage usageOfProcess() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return usage;
}

uint64_t minorFaults(const rusage& usage) { return static_cast<uint64_t>(usage.ru_minflt); }

double cpuSeconds(const rusage& usage) {
  const auto seconds = [](const timeval& time) {
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6;
  };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Writing 5 to clear_refs sets the peak resident size to the current one.
void resetPeakRss() { std::ofstream("/proc/self/clear_refs") << "5"; }

uint64_t peakRssKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.starts_with("VmHWM:")) return std::stoull(line.substr(6));
  }
  return 0;
}

void writeAll(int fd, const void* bytes, size_t length) {
  const auto* next = static_cast<const char*>(bytes);
  while (length > 0) {
    const ssize_t written = ::write(fd, next, length);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    next += written;
    length -= static_cast<size_t>(written);
  }
}

// Reads up to `length` bytes until end of file or the deadline; the count read.
size_t readAll(int fd, void* bytes, size_t length, Clock::time_point deadline) {
  auto* next = static_cast<char*>(bytes);
  size_t done = 0;
  while (done < length) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return done;
    pollfd ready{fd, POLLIN, 0};
    const int polled = ::poll(&ready, 1, static_cast<int>(left.count()));
    if (polled < 0 && errno == EINTR) continue;
    if (polled <= 0) return done;
    const ssize_t got = ::read(fd, next + done, length - done);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return done;
    done += static_cast<size_t>(got);
  }
  return done;
}

[[noreturn]] void runChild(const std::function<Measurement()>& body, int resultFd) {
  Measurement result;
  try {
    result = body();
  } catch (const std::exception& error) {
    result = failed(error.what());
  }
  writeAll(resultFd, &result, sizeof result);
  // Not exit(): the parent's atexit handlers and static objects are not the child's to run.
  std::fflush(nullptr);
  ::_exit(0);
}

std::string describeStatus(int status) {
  if (WIFSIGNALED(status)) return fmt::format("signal {}", WTERMSIG(status));
  if (WIFEXITED(status)) return fmt::format("exit status {}", WEXITSTATUS(status));
  return fmt::format("wait status {}", status);
}

// Runs `body` in a forked child and returns what it measured.
Measurement runIsolated(const std::function<Measurement()>& body) {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) throwErrno("pipe2");
  core::FileDescriptor readEnd(ends[0]);
  core::FileDescriptor writeEnd(ends[1]);
  // Anything still buffered would otherwise be written by both processes.
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid < 0) throwErrno("fork");
  if (pid == 0) runChild(body, writeEnd.get());

  Child child(pid);
  writeEnd.close();
  Measurement result;
  const size_t got = readAll(readEnd.get(), &result, sizeof result, Clock::now() + ChildTimeout);
  if (got == sizeof result) {
    child.wait();
    return result;
  }
  // The child ended without a result, or hung past the deadline.
  return failed(fmt::format("no result from the run ({})", describeStatus(child.stop())));
}

}  // namespace

Measurement failed(std::string_view text) {
  Measurement result;
  result.ok = false;
  const size_t length = std::min(text.size(), sizeof result.failure - 1);
  std::memcpy(result.failure, text.data(), length);
  return result;
}

Window::Window() {
  resetPeakRss();
  const rusage usage = usageOfProcess();
  faultsAtStart_ = minorFaults(usage);
  cpuAtStart_ = cpuSeconds(usage);
  start_ = Clock::now();
}

void Window::finish(Measurement& result, uint64_t events) const {
  result.seconds = std::chrono::duration<double>(Clock::now() - start_).count();
  const rusage usage = usageOfProcess();
  result.minorFaults = minorFaults(usage) - faultsAtStart_;
  result.cpuSeconds = cpuSeconds(usage) - cpuAtStart_;
  result.peakRssKiB = peakRssKiB();
  result.events = events;
  result.ok = true;
}

Measurement measureWindow(const Options& options, const std::function<uint64_t()>& count) {
  std::this_thread::sleep_for(options.warmUp);
  const uint64_t before = count();
  const Window window;
  std::this_thread::sleep_for(options.window);
  Measurement result;
  window.finish(result, count() - before);
  return result;
}

std::vector<std::vector<Measurement>> runInterleaved(const std::vector<Variant>& variants,
                                                     const Options& options) {
  std::vector<std::vector<Measurement>> results(variants.size());
  for (int repetition = 0; repetition < options.repetitions; ++repetition) {
    for (size_t v = 0; v < variants.size(); ++v) results[v].push_back(runIsolated(variants[v].run));
  }
  return results;
}

Spread spreadOf(std::vector<double> values) {
  if (values.empty()) return {};
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  const double median = n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
  return {median, values.front(), values.back()};
}

std::vector<double> figures(const std::vector<Measurement>& runs,
                            const std::function<double(const Measurement&)>& field) {
  std::vector<double> values;
  for (const Measurement& run : runs) {
    // A window without events has no per-event figures.
    if (run.ok && std::isfinite(field(run))) values.push_back(field(run));
  }
  return values;
}

std::vector<double> ratios(const std::vector<Measurement>& a, const std::vector<Measurement>& b,
                           const std::function<double(const Measurement&)>& field) {
  std::vector<double> values;
  for (size_t i = 0; i < a.size() && i < b.size(); ++i) {
    if (!a[i].ok || !b[i].ok) continue;
    const double ratio = field(a[i]) / field(b[i]);
    if (std::isfinite(ratio)) values.push_back(ratio);
  }
  return values;
}

std::string failures(const std::string& name, const std::vector<Measurement>& runs) {
  std::string text;
  for (size_t i = 0; i < runs.size(); ++i) {
    if (!runs[i].ok) text += fmt::format("  {} repetition {} failed: {}\n", name, i + 1, runs[i].failure);
  }
  return text;
}

}  // namespace trv::bench
