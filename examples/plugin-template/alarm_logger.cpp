// A plugin to start from: it takes every live alarm and reports it in the
// core's log. Rename it, give it a plugin id of its own, and grow it from here;
// docs/plugin-guide.md explains each entry point and the threads that call it.
#include <trv/core/sdk.h>

#include <cstdio>
#include <string>

using namespace trv::core;

namespace {

// Unique among the plugins of a device: the core refuses a second plugin with
// the same id. Ids 0 and 8 belong to the core and its log plugin.
constexpr uint8_t PluginId = 0x40;
constexpr int32_t InfoLevel = 25;  // shown with the default threshold

PostEventFn post = nullptr;

void log(int32_t level, std::string text) {
  EventParms line = makeEvent(TypeLog, FlagLive | FlagText, originOfPlugin(PluginId));
  line.data = text.data();  // the core copies the text before post returns
  line.dataLen = static_cast<uint32_t>(text.size());
  setLogLevel(line, level);
  post(&line);
}

}  // namespace

// Main thread, once: say who we are and what we want delivered.
TRV_PLUGIN_EXPORT int Load(const LoadArgs* args, PluginInfo* info) {
  post = args->postEvent;
  info->origin = originOfPlugin(PluginId);
  info->alarmCaps = WantsLive;
  return 0;
}

TRV_PLUGIN_EXPORT int Open(const OpenArgs*, OpenResult*) { return 0; }

// Dispatcher thread: return quickly, every other plugin waits meanwhile.
// Returning 0 lets the payload go; a plugin that keeps event->data returns
// non-zero and later posts a "decref" record for it.
TRV_PLUGIN_EXPORT int OnEvent(EventParms* event) {
  // Configuration documents reach every plugin, whatever it asked for.
  if (!isView<AlarmEvt>(*event)) return 0;
  char origin[16];
  std::snprintf(origin, sizeof origin, "%02x", pluginIdOf(event->source));
  log(InfoLevel, "alarm from " + std::string(origin) + " with " + std::to_string(event->dataLen) +
                     " bytes");
  return 0;
}

TRV_PLUGIN_EXPORT int Close(const CloseArgs*, CloseResult*) { return 0; }

TRV_PLUGIN_EXPORT int Unload(const UnloadArgs*, UnloadResult*) { return 0; }
