#include "core_rig.h"

#include <stdlib.h>

#include <stdexcept>
#include <string>
#include <system_error>

namespace trv::test {

namespace fs = std::filesystem;

CoreRig::Install::Install(const std::vector<fs::path>& plugins) {
  std::string pattern = (fs::temp_directory_path() / "trovis-rig-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  root = pattern;
  fs::create_directories(root / "bin" / "plugins");
  // Links rather than copies: whoever opens the plugin's own path shares its globals.
  for (const auto& plugin : plugins) {
    fs::create_symlink(fs::absolute(plugin), root / "bin" / "plugins" / plugin.filename());
  }
}

CoreRig::Install::~Install() {
  std::error_code ignored;
  fs::remove_all(root, ignored);
}

CoreRig::CoreRig(CoreRigOptions options)
    : install_(options.plugins),
      core_((install_.root / "bin" / "trovis-core").string(), std::move(options.sources)) {
  core::g_core = &core_;
  core_.setLogThreshold(0, options.coreLogThreshold);
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
