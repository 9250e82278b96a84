// CameraSim: a simulated camera for trying the core without one. On the worker
// thread the core lends it, it posts live video frames at a steady rate with a
// key frame every N frames, and live audio blocks, as the settings in
// CameraSim.conf say (see camera_settings.h); it stops at once on Close.
// Every plugin that wants live video or audio receives them; the payloads are
// dummies that start with a readable label ("video 17 key").
#include <cstdio>
#include <memory>

#include <trv/core/sdk.h>

#include "camera_settings.h"
#include "camera_stream.h"
#include "plugin_log.h"

using namespace trv::core;
using trv::camerasim::CameraStream;

namespace {

// Plugin id 0x41, clear of the ids the core treats specially (0, 6 and 8).
constexpr uint32_t Origin = originOfPlugin(0x41);

PostEventFn g_post = nullptr;
// From Load to Unload. The core may load the same object again in one
// process, so nothing is left to static initialisation.
std::unique_ptr<CameraStream> g_stream;

void reportSettings(const trv::camerasim::CameraSettings& settings) {
  char text[160];
  std::snprintf(text, sizeof text,
                "CameraSim: %g fps, a key frame every %u frames, %u-byte frames; "
                "%g audio blocks/s of %u bytes",
                settings.fps, settings.keyEvery, settings.frameBytes, settings.audioRate,
                settings.audioBytes);
  trv::examples::postLogLine(g_post, Origin, trv::examples::NoticeLevel, text);
}

}  // namespace

TRV_PLUGIN_EXPORT int Load(const LoadArgs* args, PluginInfo* info) {
  g_post = args->postEvent;
  g_stream = std::make_unique<CameraStream>(g_post, Origin);
  info->origin = Origin;
  // It takes no events, it only makes them; its work runs on the core's worker thread.
  info->provideWorker = 1;
  return 0;
}

TRV_PLUGIN_EXPORT int Open(const OpenArgs*, OpenResult*) {
  const auto settings = trv::camerasim::readCameraSettings("CameraSim.conf");
  reportSettings(settings);
  g_stream->start(settings);
  return 0;
}

// The worker thread's one call (code 1) is the plugin's whole working life.
// Without an OnEvent, configuration events arrive here as code 2; their
// payload is not kept (the output block's `result` stays 0).
TRV_PLUGIN_EXPORT int IOCTL(const IoctlArgs* in, IoctlArgs*) {
  if (in->code == IoctlWorkerThread) g_stream->run();
  return 0;
}

TRV_PLUGIN_EXPORT int Close(const CloseArgs*, CloseResult*) {
  g_stream->stop();
  return 0;
}

// The core has joined the worker thread by now.
TRV_PLUGIN_EXPORT int Unload(const UnloadArgs*, UnloadResult*) {
  g_stream.reset();
  return 0;
}
