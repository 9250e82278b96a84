#include "child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

namespace trv::test {

namespace fs = std::filesystem;

namespace {

fs::path madeFrom(std::string pattern) {
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed: " + pattern);
  // Others may pass through: a core that has taken on another user reads its plugins.
  fs::permissions(pattern, fs::perms::others_exec, fs::perm_options::add);
  return pattern;
}

}  // namespace

fs::path makeTempDir() {
  // One directory per test process holds all the others and goes when the
  // process ends (a forked child leaves with _exit and removes nothing).
  static const struct Root {
    ~Root() { std::error_code ignored; fs::remove_all(path, ignored); }
    fs::path path = madeFrom(fs::temp_directory_path() / "trovis-test-XXXXXX");
  } root;
  return madeFrom(root.path / "XXXXXX");
}

std::optional<std::string> readFile(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return file ? std::optional((std::ostringstream() << file.rdbuf()).str()) : std::nullopt;
}

Texts emulatedCommand(const std::string& binary, const Texts& args, const Texts& wrapper) {
  std::istringstream emulator(std::getenv("TRV_EMULATOR") ? std::getenv("TRV_EMULATOR") : "");
  Texts command = wrapper;
  command.insert(command.end(), std::istream_iterator<std::string>(emulator), {});
  command.push_back(binary);
  command.insert(command.end(), args.begin(), args.end());
  return command;
}

void ChildProcess::start(const Texts& command, const fs::path& workDir, int inheritedFd) {
  std::vector<char*> argv;
  for (const std::string& word : command) argv.push_back(const_cast<char*>(word.c_str()));
  argv.push_back(nullptr);
  const std::string out = outputDir_ / "out", err = outputDir_ / "err";
  if ((pid_ = fork()) < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    // Only async-signal-safe calls here: the test may have other threads.
    setpgid(0, 0);
    dup2(open("/dev/null", O_RDONLY | O_CLOEXEC), STDIN_FILENO);
    dup2(open(out.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600), STDOUT_FILENO);
    dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600), STDERR_FILENO);
    if (inheritedFd >= 0) fcntl(inheritedFd, F_SETFD, 0);
    if (chdir(workDir.c_str()) == 0) execvp(argv[0], argv.data());
    _exit(127);
  }
  setpgid(pid_, pid_);
}

int ChildProcess::waitForExit() {
  int status = 0;
  if (!exitStatus_ && eventually([&] { return waitpid(pid_, &status, WNOHANG) == pid_; })) {
    exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  if (!exitStatus_) endGroup();  // hung: it goes with everything it started
  return *exitStatus_;
}

void ChildProcess::endGroup() {
  kill(-pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  exitStatus_ = -2;
}

std::optional<Texts> straceWrapper(const Texts& options) {
  // Under an emulator strace would trace the emulator.
  static const bool traceable =
      emulatedCommand("true", {}).size() == 1 &&
      ChildProcess({"strace", "-f", "-o", "/dev/null", "true"}, "/").waitForExit() == 0;
  if (!traceable) return std::nullopt;
  return emulatedCommand("strace", options, {"env", "ASAN_OPTIONS=detect_leaks=0"});
}

}  // namespace trv::test
