// trovis-parent's command line and its help text.
#pragma once

#include <chrono>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "script.h"

namespace trv::parent {

struct Options {
  std::string corePath;  // empty: trovis-core beside this executable
  std::string runDir;    // empty: the run directory of the build tree
  bool background = false;
  bool demo = false;     // drive the IpcBridge plugin (see demo.h)
  bool verbose = false;  // the packet lines in --demo too
  std::optional<std::chrono::milliseconds> duration;
  std::vector<Command> commands;  // --send and --script, in command-line order
  bool help = false;
};

// Parses the arguments after the program name; throws UsageError. Script
// files are read here, so that a bad one is reported before the core starts.
Options parseOptions(std::span<const char* const> args);

// The text --help prints.
std::string usageText();

}  // namespace trv::parent
