// Instructions per event: route_records runs under callgrind with N and with
// 2N records, and the difference of the two totals over N is what one more
// record costs, the start-up and shutdown of the core cancelling out. A
// count of instructions is what a busy machine cannot disturb.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>

#include <fmt/format.h>

#include "child_process.h"
#include "report.h"
#include "sections.h"

namespace trv::bench {

namespace {

namespace fs = std::filesystem;

// Enough records for the swings of thread interleaving under valgrind to
// move the figure by a few instructions only; the four runs take seconds.
constexpr uint64_t Records = 100000;

std::optional<fs::path> onPath(std::string_view program) {
  std::istringstream dirs(std::getenv("PATH") != nullptr ? std::getenv("PATH") : "");
  for (std::string dir; std::getline(dirs, dir, ':');) {
    const fs::path candidate = fs::path(dir) / program;
    if (!dir.empty() && ::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return std::nullopt;
}

// The instructions callgrind counted in all threads of route_records posting
// `count` records of `payload` bytes; throws when the run fails.
uint64_t instructionsOfRun(const fs::path& valgrind, uint64_t count, uint32_t payload) {
  const fs::path dir = test::makeTempDir();
  const fs::path out = dir / "callgrind.out";
  const fs::path program = fs::read_symlink("/proc/self/exe").parent_path() / "route_records";
  test::ChildProcess run({valgrind.string(), "--tool=callgrind", "--callgrind-out-file=" + out.string(), program.string(),
                          std::to_string(count), std::to_string(payload)},
                         dir);
  if (const int status = run.waitForExit(); status != 0) {
    throw std::runtime_error(fmt::format("route_records {} {} ended with {}: {}", count, payload, status,
                                         run.errors()));
  }
  std::istringstream lines(test::readFile(out).value_or(""));
  for (std::string line; std::getline(lines, line);) {
    if (line.starts_with("totals:")) return std::stoull(line.substr(7));
  }
  throw std::runtime_error("no totals line in " + out.string());
}

}  // namespace

void reportInstructions(const Options&) {
  fmt::print(
      "6. Instructions per event under callgrind: live alarm records posted from one thread to the\n"
      "   3 plugins, dispatcher spin off, all threads counted; (Ir(2N) - Ir(N)) / N with N = {}.\n\n",
      Records);
  const std::optional<fs::path> valgrind = onPath("valgrind");
  if (!valgrind) {
    fmt::print("    skipped: this section needs valgrind on PATH (Debian's `valgrind`).\n\n");
    return;
  }
  fmt::print("    {:<9} {:<14} {:<14} {}\n", "payload", "Ir(N)", "Ir(2N)", "instructions per event");
  for (const uint32_t payload : {0u, 1024u}) {
    try {
      const uint64_t once = instructionsOfRun(*valgrind, Records, payload);
      const uint64_t twice = instructionsOfRun(*valgrind, 2 * Records, payload);
      const double perEvent = (static_cast<double>(twice) - static_cast<double>(once)) / Records;
      fmt::print("    {:<9} {:<14} {:<14} {:.0f}{}\n", fmt::format("{} B", payload), once, twice, perEvent,
                 payload == 0 ? targetText(5, "<=", 1500, {perEvent}) : "");
    } catch (const std::exception& error) {
      fmt::print("    {} B failed: {}\n", payload, error.what());
    }
  }
  fmt::print("\n");
}

}  // namespace trv::bench
