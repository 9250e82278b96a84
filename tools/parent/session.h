// One run of the core under trovis-parent, on the main thread.
#pragma once

#include "core_process.h"
#include "options.h"
#include "signal_pipe.h"

namespace trv::parent {

// Identifies the parent, runs the commands, stops the core on the first
// SIGINT/SIGTERM, at the end of --duration or on a script's "stop", and prints
// every packet sent and received, until the core has ended. Returns the core's
// exit status. Throws std::system_error when poll() fails.
int runSession(const Options& options, CoreProcess& core, SignalPipe& signals);

}  // namespace trv::parent
