// Starting real processes from tests: the core binary (under the emulator when
// the tests run cross-built) and its output.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

namespace trv::test {

// The command that runs `binary` with `args` here: prefixed with $TRV_EMULATOR
// when set, since cross-built binaries cannot be executed directly.
std::vector<std::string> emulatedCommand(const std::string& binary,
                                         const std::vector<std::string>& args);

// The core executable of this build.
std::string coreBinary();

// Replaces the calling (child) process with `command`; exits 127 on failure.
[[noreturn]] void execCommand(const std::vector<std::string>& command);

struct ProcessResult {
  int exitStatus = -1;  // -1 when the process did not exit normally
  std::string out;
  std::string err;
};

// Runs `command` in `workDir` with standard input closed and waits for it.
ProcessResult runProcess(const std::vector<std::string>& command,
                         const std::filesystem::path& workDir);

// A fresh, empty directory below the system's temporary directory, removed
// with its contents when the test process ends, if nothing removed it before.
std::filesystem::path makeTempDir();

// Why strace cannot trace a child of this test here (the child would run
// under an emulator, or strace is missing or may not trace); "" when it can.
std::string straceUnavailable();

// The words that run a command under strace with `options`. LeakSanitizer,
// which cannot work in a traced process, is switched off (sanitizer builds).
std::vector<std::string> straceWrapper(const std::vector<std::string>& options);

}  // namespace trv::test
