// Where the core and its working directory are, and the command that starts it.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace trv::parent {

// The core to start: `requested`, or trovis-core beside this executable.
// Throws std::runtime_error when it is not an executable file.
std::filesystem::path corePath(const std::string& requested);

// The core's working directory: `requested`, or run/ beside the bin/ directory
// holding this executable. Created when missing, given a copy of the
// scripts/get_id.sh that lies beside `core` unless it has one, and the sudo
// stand-in (see coreEnvironment). Throws std::filesystem::filesystem_error.
std::filesystem::path prepareRunDir(const std::string& requested, const std::filesystem::path& core);

// Our environment, with the run directory's stand-in for the device's
// password-less sudo rule first on PATH: the core runs its identity script
// through sudo, and the stand-in runs it as it is, never with more rights.
std::vector<std::string> coreEnvironment(const std::filesystem::path& runDir);

// $TRV_EMULATOR's words, then the core.
std::vector<std::string> coreCommand(const std::filesystem::path& core);

}  // namespace trv::parent
