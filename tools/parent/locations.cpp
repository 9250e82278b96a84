#include "locations.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace trv::parent {

namespace fs = std::filesystem;

namespace {

// Under qemu-user this still names the emulated program, not the emulator.
fs::path ownDirectory() { return fs::read_symlink("/proc/self/exe").parent_path(); }

void placeIdScript(const fs::path& runDir, const fs::path& coreDir) {
  const fs::path target = runDir / "scripts" / "get_id.sh";
  if (fs::exists(target)) return;
  const fs::path source = coreDir / "scripts" / "get_id.sh";
  if (!fs::exists(source)) {
    std::fprintf(stderr, "trovis-parent: no %s to copy; the core falls back to a fixed device id\n",
                 source.c_str());
    return;
  }
  fs::create_directories(target.parent_path());
  fs::copy_file(source, target);
}

constexpr const char* StandInDir = "stand-in";

// "sudo -n COMMAND..." as the device's rule answers it, minus the privileges.
void placeSudoStandIn(const fs::path& runDir) {
  const fs::path target = runDir / StandInDir / "sudo";
  fs::create_directories(target.parent_path());
  std::ofstream(target) << "#!/bin/sh\n"
                           "# trovis-parent's stand-in for the device's password-less rule:\n"
                           "# runs the command as it is, with the caller's own rights.\n"
                           "[ \"$1\" = -n ] && shift\n"
                           "exec \"$@\"\n";
  fs::permissions(target, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
}

}  // namespace

fs::path corePath(const std::string& requested) {
  // Absolute, since the core starts in another directory.
  const fs::path core = requested.empty() ? ownDirectory() / "trovis-core" : fs::absolute(requested);
  if (access(core.c_str(), X_OK) != 0) {
    throw std::runtime_error("cannot run " + core.string() + ": " + std::strerror(errno));
  }
  return core;
}

fs::path prepareRunDir(const std::string& requested, const fs::path& core) {
  const fs::path runDir = requested.empty() ? ownDirectory().parent_path() / "run" : fs::path(requested);
  fs::create_directories(runDir);
  placeIdScript(runDir, core.parent_path());
  placeSudoStandIn(runDir);
  return fs::absolute(runDir);
}

std::vector<std::string> coreEnvironment(const fs::path& runDir) {
  std::vector<std::string> environment;
  for (char** variable = environ; *variable != nullptr; ++variable) {
    if (!std::string_view(*variable).starts_with("PATH=")) environment.emplace_back(*variable);
  }
  // Without a PATH the shell searches the C library's default one.
  const char* path = std::getenv("PATH");
  environment.push_back("PATH=" + (runDir / StandInDir).string() + ":" +
                        (path != nullptr ? path : "/bin:/usr/bin"));
  return environment;
}

std::vector<std::string> coreCommand(const fs::path& core) {
  std::vector<std::string> command;
  const char* emulator = std::getenv("TRV_EMULATOR");
  std::istringstream words(emulator != nullptr ? emulator : "");
  for (std::string word; words >> word;) command.push_back(word);
  command.push_back(core.string());
  return command;
}

}  // namespace trv::parent
