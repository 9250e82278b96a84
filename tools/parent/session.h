// One run of the core under trovis-parent, on one io_context.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>

#include "core_process.h"
#include "options.h"

namespace trv::parent {

// Identifies the parent, runs the commands, stops the core on the first
// SIGINT/SIGTERM, at the end of --duration or on a script's "stop", and prints
// every packet sent and received (with --demo: what the demo saw, and the
// packets only if --verbose), until the core has ended. `signals` holds SIGINT,
// SIGTERM and SIGCHLD and, like the core's socket, is served by `io`. Returns
// the core's exit status.
int runSession(const Options& options, boost::asio::io_context& io,
               boost::asio::signal_set& signals, CoreProcess& core);

}  // namespace trv::parent
