// LogPI, the log plugin: the core loads it before every other plugin and
// closes it last, and it keeps every live text log line of the core and the
// plugins in trovis.log in the working directory (see LogPI.conf for the
// size limit and the buffer).
#include <string>

#include <trv/core/sdk.h>

#include "log_line.h"
#include "log_service.h"
#include "log_settings.h"

using namespace trv::core;
using trv::logpi::LogService;

namespace {

// Plugin id 8: the core keeps this plugin open until the core itself goes.
constexpr uint32_t Origin = originOfPlugin(trv::logpi::LogPluginId);
constexpr int32_t NoticeLevel = 25;  // shown with the default threshold
constexpr int32_t ComplaintLevel = 75;

PostEventFn g_post = nullptr;
LogService g_service;

void say(int32_t level, const std::string& text) {
  if (g_post == nullptr) return;
  std::string line = "LogPI: " + text;
  EventParms event = makeEvent(TypeLog, FlagLive | FlagText, Origin);
  event.data = line.data();
  event.dataLen = static_cast<uint32_t>(line.size());
  setLogLevel(event, level);
  g_post(&event);
}

// Writer thread: the core prints the complaint even when the file cannot take it.
void complain(const std::string& text) { say(ComplaintLevel, text); }

}  // namespace

TRV_PLUGIN_EXPORT int Load(const LoadArgs* args, PluginInfo* info) {
  g_post = args->postEvent;
  info->origin = Origin;
  info->logCaps = WantsLive;
  return 0;
}

TRV_PLUGIN_EXPORT int Open(const OpenArgs*, OpenResult*) {
  const auto settings = trv::logpi::readLogSettings("LogPI.conf");
  g_service.start(settings, "trovis.log", complain);
  say(NoticeLevel, "keeping log lines in trovis.log, moved aside at " +
                       std::to_string(settings.maxBytes) + " bytes");
  return 0;
}

// Any thread: the dispatcher, and while the core stops whoever logs.
TRV_PLUGIN_EXPORT int OnEvent(EventParms* event) {
  g_service.add(*event);
  return 0;
}

TRV_PLUGIN_EXPORT int Close(const CloseArgs*, CloseResult*) {
  g_service.stop();
  return 0;
}

// Close has stopped the writer; nothing is left to free.
TRV_PLUGIN_EXPORT int Unload(const UnloadArgs*, UnloadResult*) { return 0; }
