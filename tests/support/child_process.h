// Child processes of the tests: commands run under $TRV_EMULATOR when the
// build is cross-compiled, with their output collected, and the scratch
// directories and files they work in.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "eventually.h"

namespace trv::test {

using Texts = std::vector<std::string>;

// A fresh, empty directory below the system's temporary directory, removed
// with its contents when the test process ends, if nothing removed it before.
std::filesystem::path makeTempDir();

// The bytes of a file; nullopt when it cannot be read.
std::optional<std::string> readFile(const std::filesystem::path& path);

// `binary` with `args`, behind $TRV_EMULATOR when that is set (cross-built
// binaries cannot be executed directly), and behind that the words of `wrapper`.
Texts emulatedCommand(const std::string& binary, const Texts& args, const Texts& wrapper = {});

// A command running in directory `dir` with standard input closed, as the
// leader of a process group of its own; the group is killed if it still runs
// when this goes.
class ChildProcess {
 public:
  ChildProcess(const Texts& command, const std::filesystem::path& dir) { start(command, dir); }
  ~ChildProcess() { if (pid_ > 0 && !exitStatus_) endGroup(); }
  ChildProcess(ChildProcess&&) = delete;  // neither moved, copied nor assigned

  pid_t pid() const { return pid_; }
  // Its exit status; -1 when a signal ended it, -2 when it still ran at the
  // deadline (its group is killed then).
  int waitForExit();
  // What it wrote to standard output and standard error so far.
  std::string output() const { return readFile(outputDir_ / "out").value_or(""); }
  std::string errors() const { return readFile(outputDir_ / "err").value_or(""); }

 protected:
  ChildProcess() = default;  // for a subclass that starts the command itself
  // Starts `command` in `workDir`; `inheritedFd`, unless -1, stays open in the child.
  void start(const Texts& command, const std::filesystem::path& workDir, int inheritedFd = -1);

 private:
  // Kills the group and reaps the leader.
  void endGroup();

  std::filesystem::path outputDir_ = makeTempDir();
  pid_t pid_ = -1;
  std::optional<int> exitStatus_;
};

// The words that run a command under strace with `options`, with
// LeakSanitizer off (it cannot work in a traced process); nullopt when strace
// cannot trace a child of this test here.
std::optional<Texts> straceWrapper(const Texts& options);

}  // namespace trv::test
