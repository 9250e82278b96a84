#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>
#include <sstream>
#include <stdexcept>

namespace trv::test {

namespace {

void readAll(int outFd, int errFd, std::string& out, std::string& err) {
  pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
  std::string* sinks[2] = {&out, &err};
  int open = 2;
  while (open > 0) {
    if (poll(fds, 2, -1) < 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char chunk[4096];
      const ssize_t n = read(fds[i].fd, chunk, sizeof chunk);
      if (n > 0) {
        sinks[i]->append(chunk, static_cast<size_t>(n));
        continue;
      }
      close(fds[i].fd);
      fds[i].fd = -1;
      --open;
    }
  }
}

}  // namespace

std::vector<std::string> emulatedCommand(const std::string& binary,
                                         const std::vector<std::string>& args) {
  std::vector<std::string> command;
  const char* emulator = std::getenv("TRV_EMULATOR");
  std::istringstream words(emulator != nullptr ? emulator : "");
  for (std::string word; words >> word;) command.push_back(word);
  command.push_back(binary);
  command.insert(command.end(), args.begin(), args.end());
  return command;
}

std::string coreBinary() { return std::string(TRV_BIN_DIR) + "/trovis-core"; }

void execCommand(const std::vector<std::string>& command) {
  std::vector<char*> argv;
  for (const std::string& word : command) argv.push_back(const_cast<char*>(word.c_str()));
  argv.push_back(nullptr);
  execvp(argv[0], argv.data());
  _exit(127);
}

ProcessResult runProcess(const std::vector<std::string>& command,
                         const std::filesystem::path& workDir) {
  int out[2];
  int err[2];
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    dup2(out[1], STDOUT_FILENO);
    dup2(err[1], STDERR_FILENO);
    const int devNull = open("/dev/null", O_RDONLY);
    dup2(devNull, STDIN_FILENO);
    if (chdir(workDir.c_str()) != 0) _exit(126);
    execCommand(command);
  }
  close(out[1]);
  close(err[1]);
  ProcessResult result;
  readAll(out[0], err[0], result.out, result.err);
  int status = 0;
  waitpid(pid, &status, 0);
  if (WIFEXITED(status)) result.exitStatus = WEXITSTATUS(status);
  return result;
}

namespace {

// The directories made for this test process, removed with everything in
// them when it ends (a child forked from it leaves with _exit).
class TempDirs {
 public:
  ~TempDirs() {
    for (const auto& dir : dirs_) {
      std::error_code ignored;
      std::filesystem::remove_all(dir, ignored);
    }
  }

  void add(std::filesystem::path dir) {
    std::lock_guard lock(mutex_);
    dirs_.push_back(std::move(dir));
  }

 private:
  std::mutex mutex_;
  std::vector<std::filesystem::path> dirs_;
};

}  // namespace

std::filesystem::path makeTempDir() {
  static TempDirs made;
  std::string pattern = (std::filesystem::temp_directory_path() / "trovis-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  made.add(pattern);
  return pattern;
}

std::string straceUnavailable() {
  const char* emulator = std::getenv("TRV_EMULATOR");
  if (emulator != nullptr && *emulator != '\0') {
    return std::string("the child runs under ") + emulator + ": strace would trace the emulator";
  }
  const ProcessResult probe = runProcess({"strace", "-f", "-o", "/dev/null", "true"},
                                         std::filesystem::temp_directory_path());
  if (probe.exitStatus != 0) return "strace is not installed or may not trace here";
  return "";
}

std::vector<std::string> straceWrapper(const std::vector<std::string>& options) {
  const char* inherited = std::getenv("ASAN_OPTIONS");
  std::string asanOptions = "ASAN_OPTIONS=";
  if (inherited != nullptr && *inherited != '\0') asanOptions += std::string(inherited) + ":";
  asanOptions += "detect_leaks=0";
  std::vector<std::string> words = {"env", asanOptions, "strace"};
  words.insert(words.end(), options.begin(), options.end());
  return words;
}

}  // namespace trv::test
