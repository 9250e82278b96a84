// Recorder: keeps the last N live video frames and alarms it is given (N from
// Recorder.conf, see recorder_settings.h) and serves searches for them. It
// shows the two ways a plugin holds on to what the core hands it:
// - a kept payload: OnEvent returns non-zero, and the plugin later posts one
//   "decref" with the same payload address, when the event is evicted or at
//   Close at the latest (kept_event.h);
// - a search: the core calls OnSearch on a thread of its own, and the plugin
//   posts its results from there, one in flight at a time (stored_search.h).
#include <atomic>
#include <memory>
#include <string>

#include <trv/core/sdk.h>

#include "event_store.h"
#include "plugin_log.h"
#include "recorder_settings.h"
#include "stored_search.h"

using namespace trv::core;
using trv::recorder::EventStore;
using trv::recorder::KeptEvent;

namespace {

// Plugin id 0x42, clear of the ids the core treats specially (0, 6 and 8).
constexpr uint32_t Origin = originOfPlugin(0x42);

struct Recorder {
  PostEventFn post;
  EventStore store;
  std::atomic<bool> closing{false};
};

// From Load to Unload. The core may load the same object again in one
// process, so nothing is left to static initialisation.
std::unique_ptr<Recorder> g_recorder;

bool worthKeeping(const EventParms& event) {
  if (event.data == nullptr || event.dataLen == 0) return false;
  // Live video on its way from a camera, not output-bound video for a display.
  return isView<VideoEvt>(event) || isView<AlarmEvt>(event);
}

}  // namespace

TRV_PLUGIN_EXPORT int Load(const LoadArgs* args, PluginInfo* info) {
  g_recorder = std::make_unique<Recorder>();
  g_recorder->post = args->postEvent;
  info->origin = Origin;
  info->videoCaps = WantsLive | ServesStored;
  info->alarmCaps = WantsLive | ServesStored;
  return 0;
}

TRV_PLUGIN_EXPORT int Open(const OpenArgs*, OpenResult*) {
  const auto settings = trv::recorder::readRecorderSettings("Recorder.conf");
  g_recorder->store.setCapacity(settings.keep);
  trv::examples::postLogLine(g_recorder->post, Origin, trv::examples::NoticeLevel,
                             "Recorder: keeping the last " + std::to_string(settings.keep) +
                                 " video frames and alarms");
  return 0;
}

// Dispatch thread. Non-zero keeps the payload: the core leaves the
// recorder's reference on it until the recorder posts a "decref".
TRV_PLUGIN_EXPORT int OnEvent(EventParms* event) {
  if (!worthKeeping(*event)) return 0;
  g_recorder->store.add(std::make_shared<const KeptEvent>(*event, g_recorder->post, Origin));
  return 1;
}

// A search thread of the core, one per request; may run while other searches
// and OnEvent run. The core waits for it to return before Unload.
TRV_PLUGIN_EXPORT int OnSearch(EventParms* request) {
  trv::recorder::answerSearch(*request,
                              {g_recorder->post, Origin, g_recorder->store, g_recorder->closing});
  return 0;
}

// Every kept payload goes back now; one a search is still serving goes back
// when that search lets go of it, which is before Unload.
TRV_PLUGIN_EXPORT int Close(const CloseArgs*, CloseResult*) {
  g_recorder->closing = true;
  g_recorder->store.clear();
  return 0;
}

TRV_PLUGIN_EXPORT int Unload(const UnloadArgs*, UnloadResult*) {
  g_recorder.reset();
  return 0;
}
