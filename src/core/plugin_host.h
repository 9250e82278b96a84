// The plugins of the process: owns the list in delivery order, pluginsMutex,
// the log plugin and the plugins that failed to load. The main thread loads,
// opens, closes and unloads them and reads the list without the lock; other
// threads (IPC delivery, search requests, origin names) go through the lock.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "log/log_writer.h"
#include "plugin/plugin.h"

namespace trv::core {

class PluginHost {
 public:
  using Plugins = std::vector<std::shared_ptr<Plugin>>;

  // The writer learns each plugin's name for its log lines.
  explicit PluginHost(LogWriter& logWriter) : logWriter_(logWriter) {}

  // Main thread, at start-up: loads and opens the log plugin at `path`.
  void openLogPlugin(const std::filesystem::path& path, PostEventFn post, std::string_view deviceId);

  // Main thread: find, create and order the plugins in `base`/plugins; open
  // them and add the log plugin; close them in close order, leaving id 8
  // open; unload them.
  void loadPlugins(const std::filesystem::path& base, PostEventFn post, std::string_view deviceId);
  void openPlugins();
  void closePlugins();
  void unloadPlugins();

  // Main thread: the plugins in delivery order, and those that failed to load.
  const Plugins& loaded() const { return plugins; }
  const Plugins& failed() const { return failedPlugins; }

  // Any thread, once nothing is queued any more: the log plugin takes a line
  // directly.
  void deliverToLogPlugin(EventParms& line);

  // Any thread: the plugin a parent packet for `number` goes to, or null;
  // the list as it is now; the display name of the plugin a record comes
  // from ("Core", or "unknown" when none has its id).
  std::shared_ptr<Plugin> pluginForPacket(uint8_t number);
  Plugins snapshot();
  std::string originName(uint32_t source);

 private:
  LogWriter& logWriter_;
  std::shared_ptr<Plugin> logPlugin;
  // Changed only by the main thread, which holds pluginsMutex meanwhile.
  Plugins plugins;
  std::mutex pluginsMutex;
  Plugins failedPlugins;
};

}  // namespace trv::core
