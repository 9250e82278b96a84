// trovis-parent: starts trovis-core as its parent daemon would, and lets a
// plugin author talk to it from the command line. Only wires the parts.
#include <csignal>
#include <cstdio>
#include <exception>

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>

#include "core_process.h"
#include "locations.h"
#include "options.h"
#include "session.h"

namespace {

// trovis-parent's own failures; the core's statuses stay recognisable.
constexpr int OwnFailure = 125;

}  // namespace

int main(int argc, char** argv) {
  using namespace trv::parent;
  // Lines, not blocks: ours interleave with the core's on the same output.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);

  Options options;
  try {
    options = parseOptions({argv + 1, static_cast<size_t>(argc - 1)});
  } catch (const UsageError& error) {
    std::fprintf(stderr, "trovis-parent: %s\nTry 'trovis-parent --help' for more information.\n",
                 error.what());
    return OwnFailure;
  }
  if (options.help) {
    std::fputs(usageText().c_str(), stdout);
    return 0;
  }

  try {
    boost::asio::io_context io;
    // First, so that no signal and no end of the core can slip past the loop.
    boost::asio::signal_set signals(io, SIGINT, SIGTERM, SIGCHLD);
    const auto executable = corePath(options.corePath);
    const auto command = coreCommand(executable);
    const auto runDir = prepareRunDir(options.runDir, executable);
    CoreProcess core(command, coreEnvironment(runDir), runDir, io.get_executor());
    std::printf("parent: started %s (pid %d) in %s\n", command.back().c_str(), core.pid(),
                runDir.c_str());
    return runSession(options, io, signals, core);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "trovis-parent: %s\n", error.what());
    return OwnFailure;
  }
}
