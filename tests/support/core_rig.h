// The core hosted in this process, as the tests and the benchmark drive it:
// the chosen plugins installed beside a nominal executable in a temporary
// directory (removed when the process ends), loaded and opened by the core's
// own host, and the dispatch loop on a thread of its own. It is g_core while it lives: one at a time per
// process; construct and destroy it on one thread.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <thread>
#include <vector>

#include "core/dvr_core.h"
#include "core/supervision.h"
#include "log/log_levels.h"

namespace trv::test {

struct CoreRigOptions {
  std::vector<std::filesystem::path> plugins;
  core::SupervisionSources sources = core::SupervisionSources::system();
  // Applies before the dispatcher starts, so the first statistics report obeys it.
  int32_t coreLogThreshold = core::DefaultLogLevel;
  // Plain log lines go here; null leaves them coloured on standard output.
  std::FILE* logOutput = nullptr;
  // False leaves the dispatcher to startDispatcher(): records posted before
  // then wait in the queue, as at start-up.
  bool dispatching = true;
  // Whether the dispatcher may spin for records before it sleeps.
  bool dispatcherSpin = true;
};

class CoreRig {
 public:
  // A plugin that fails to load is logged and left out, as at start-up.
  explicit CoreRig(CoreRigOptions options);
  ~CoreRig();
  CoreRig(const CoreRig&) = delete;
  CoreRig& operator=(const CoreRig&) = delete;

  // For the core's public operations.
  core::DvrCore& core() { return core_; }
  void startDispatcher();
  // Stops the core once the dispatcher has delivered every queued record,
  // then closes and unloads the plugins; later records are refused.
  void stop();

 private:
  core::DvrCore core_;
  std::thread dispatcher_;
  bool stopped_ = false;
};

}  // namespace trv::test
