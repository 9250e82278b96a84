// A plugin built apart from the core against the public headers alone. It
// echoes the payload of every event it is given back to the core.
#include <trv/core/sdk.h>

#include <string>

using namespace trv::core;

namespace {

constexpr uint8_t pluginId = 7;
PostEventFn post = nullptr;

}  // namespace

TRV_PLUGIN_EXPORT int Load(const LoadArgs* args, PluginInfo* info) {
  post = args->postEvent;
  info->origin = originOfPlugin(pluginId);
  info->logCaps = WantsLive;
  return 0;
}

TRV_PLUGIN_EXPORT int Unload(const UnloadArgs*, UnloadResult*) { return 0; }

TRV_PLUGIN_EXPORT int Open(const OpenArgs*, OpenResult*) { return 0; }

TRV_PLUGIN_EXPORT int Close(const CloseArgs*, CloseResult*) { return 0; }

TRV_PLUGIN_EXPORT int OnEvent(EventParms* event) {
  std::string echo = "echo " + std::string(static_cast<const char*>(event->data), event->dataLen);
  EventParms record = makeEvent(TypeLog, FlagText, originOfPlugin(pluginId));
  record.data = echo.data();
  record.dataLen = static_cast<uint32_t>(echo.size());
  post(&record);
  return 0;
}
