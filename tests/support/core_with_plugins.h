// A real DvrCore in the test process, installed as g_core, hosting real plugin
// objects as its host does: created, given their worker threads and opened in
// list order, with the dispatch loop on a thread of its own. It ends as the
// core's run ends: the loop drains, the plugins are closed in close order and
// unloaded, and the search threads are awaited. Header-only, for the tests
// that link the core.
#pragma once

#include <filesystem>
#include <thread>
#include <vector>

#include "dvr_core.h"
#include "eventually.h"

namespace trv::test {

class CoreWithPlugins {
 public:
  explicit CoreWithPlugins(const std::vector<std::filesystem::path>& plugins) {
    core::g_core = &core;
    for (const auto& path : plugins) {
      core.plugins.push_back(core::Plugin::Create(path, core::postEvent, core.deviceId));
    }
    for (const auto& plugin : core.plugins) plugin->ProvideWorkerThreadIf();
    for (const auto& plugin : core.plugins) plugin->Open();
    dispatcher_ = std::thread([this] { core.dispatchLoop(); });
  }

  ~CoreWithPlugins() {
    stop();
    core::g_core = nullptr;
  }

  CoreWithPlugins(const CoreWithPlugins&) = delete;
  CoreWithPlugins& operator=(const CoreWithPlugins&) = delete;

  // Returns once every plugin is unloaded and every search thread has left;
  // what the plugins still hold shows in core.refBlocks afterwards.
  void stop() {
    if (!dispatcher_.joinable()) return;
    core.requestStop();
    dispatcher_.join();
    core.closePlugins();
    core.unloadPlugins();
    core.searchHandler.awaitThreads();
  }

  core::DvrCore core{"/opt/trovis/bin/trovis-core"};

 private:
  std::thread dispatcher_;
};

}  // namespace trv::test
