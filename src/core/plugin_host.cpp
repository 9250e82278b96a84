// Load, open, close and unload the plugins beside the executable, in the
// order the plugins and their names decide.
#include "core/plugin_host.h"

#include <strings.h>

#include <algorithm>
#include <cctype>

#include "log/core_log.h"
#include "plugin/plugin_files.h"

namespace trv::core {

namespace {

constexpr uint8_t FirstPluginId = 6;
constexpr uint8_t LastClosedPluginId = 8;

bool hasId(const Plugin& plugin, uint8_t id) {
  return plugin.info().origin != CoreSource && plugin.id() == id;
}

std::string lowerCase(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

bool closesBefore(const std::shared_ptr<Plugin>& a, const std::shared_ptr<Plugin>& b) {
  if (a->info().closeOrder != b->info().closeOrder) {
    return a->info().closeOrder > b->info().closeOrder;
  }
  return strcasecmp(a->fileName().c_str(), b->fileName().c_str()) < 0;
}

}  // namespace

void PluginHost::openLogPlugin(const std::filesystem::path& path, PostEventFn post,
                               std::string_view deviceId) {
  logPlugin = Plugin::Create(path, post, deviceId);
  logPlugin->Open();
}

void PluginHost::loadPlugins(const std::filesystem::path& base, PostEventFn post,
                             std::string_view deviceId) {
  for (const auto& path : findPluginFiles(base)) {
    auto plugin = Plugin::Create(path, post, deviceId);
    if (!plugin->isLoaded()) {
      logError("Failed to load plugin {}: {}", plugin->fileName(), plugin->errorText());
      failedPlugins.push_back(std::move(plugin));
      continue;
    }
    const auto taken = std::find_if(plugins.begin(), plugins.end(),
                                    [&](const auto& other) { return other->sameId(*plugin); });
    if (taken != plugins.end()) {
      // Dropping the newcomer unloads it again at once.
      logWarning("pluginId {:02x} already loaded from {} trying to load {}", plugin->id(),
                 (*taken)->fileName(), path.filename().string());
      continue;
    }
    logInfo("Loaded plugin {:02x}:{}", plugin->id(), plugin->displayName());
    logWriter_.setPluginName(plugin->id(), lowerCase(path.stem().string()));
    std::lock_guard lock(pluginsMutex);
    if (hasId(*plugin, FirstPluginId)) {
      plugins.insert(plugins.begin(), std::move(plugin));
    } else {
      plugins.push_back(std::move(plugin));
    }
  }
  for (const auto& plugin : plugins) plugin->ProvideWorkerThreadIf();
}

void PluginHost::openPlugins() {
  for (const auto& plugin : plugins) {
    logInfo("Opening {:02x}:{}", plugin->id(), plugin->displayName());
    plugin->Open();
  }
  if (logPlugin) {
    std::lock_guard lock(pluginsMutex);
    plugins.push_back(logPlugin);
  }
}

void PluginHost::closePlugins() {
  std::vector<std::shared_ptr<Plugin>> keptOpen;
  {
    std::lock_guard lock(pluginsMutex);
    const auto last = std::stable_partition(plugins.begin(), plugins.end(), [](const auto& plugin) {
      return !hasId(*plugin, LastClosedPluginId);
    });
    keptOpen.assign(std::make_move_iterator(last), std::make_move_iterator(plugins.end()));
    plugins.erase(last, plugins.end());
    std::stable_sort(plugins.begin(), plugins.end(), closesBefore);
  }
  // Outside the lock, since they may post meanwhile. The log plugin stays
  // open for the lines still to come; any other is closed now, as a search
  // thread may hold it and wait for that, and is unloaded by its last holder.
  for (const auto& plugin : keptOpen) {
    if (plugin != logPlugin) plugin->Close();
  }
  keptOpen.clear();
  for (const auto& plugin : plugins) {
    logInfo("Closing {:02x}:{}", plugin->id(), plugin->displayName());
    plugin->Close();
  }
}

void PluginHost::unloadPlugins() {
  for (const auto& plugin : plugins) {
    logInfo("Unloading {:02x}:{}", plugin->id(), plugin->displayName());
    plugin->Unload();
  }
}

std::shared_ptr<Plugin> PluginHost::pluginForPacket(uint8_t number) {
  std::lock_guard lock(pluginsMutex);
  const auto found = std::find_if(plugins.begin(), plugins.end(),
                                  [&](const auto& plugin) { return hasId(*plugin, number); });
  return found != plugins.end() ? *found : nullptr;
}

void PluginHost::deliverToLogPlugin(EventParms& line) {
  if (logPlugin) logPlugin->DeliverFromAnyThread(line);
}

PluginHost::Plugins PluginHost::snapshot() {
  std::lock_guard lock(pluginsMutex);
  return plugins;
}

std::string PluginHost::originName(uint32_t source) {
  if (pluginIdOf(source) == 0) return "Core";
  std::lock_guard lock(pluginsMutex);
  for (const auto& plugin : plugins) {
    if (hasId(*plugin, pluginIdOf(source))) return plugin->displayName();
  }
  return "unknown";
}

}  // namespace trv::core
