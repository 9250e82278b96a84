#include "core_rig.h"

#include <string>

#include "child_process.h"

namespace trv::test {

namespace fs = std::filesystem;

namespace {

// The plugins linked into bin/plugins of a fresh directory; the path of the
// executable there. Links rather than copies: whoever opens a plugin's own
// path shares its globals.
std::string installed(const std::vector<fs::path>& plugins) {
  const fs::path bin = makeTempDir() / "bin";
  fs::create_directories(bin / "plugins");
  for (const auto& plugin : plugins) {
    fs::create_symlink(fs::absolute(plugin), bin / "plugins" / plugin.filename());
  }
  return (bin / "trovis-core").string();
}

}  // namespace

CoreRig::CoreRig(CoreRigOptions options)
    : core_(installed(options.plugins), std::move(options.sources)) {
  core::g_core = &core_;
  core_.setLogThreshold(0, options.coreLogThreshold);
  core_.allowDispatcherSpin(options.dispatcherSpin);
  if (options.logOutput != nullptr) core_.setLogOutput(options.logOutput, false);
  core_.loadPlugins();
  core_.openPlugins();
  if (options.dispatching) startDispatcher();
}

CoreRig::~CoreRig() {
  stop();
  core::g_core = nullptr;
}

void CoreRig::startDispatcher() {
  dispatcher_ = std::thread([this] { core_.dispatchLoop(); });
}

void CoreRig::stop() {
  if (stopped_) return;
  stopped_ = true;
  core_.requestStop();
  // A dispatcher started now still delivers what was queued.
  if (!dispatcher_.joinable()) startDispatcher();
  dispatcher_.join();
  core_.endPlugins();
}

}  // namespace trv::test
