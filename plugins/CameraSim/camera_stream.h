// The simulated camera at work: it posts the records of a FrameSchedule, each
// when it is due, on the worker thread the core lends the plugin, from Open
// until Close.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>

#include <trv/core/sdk.h>

#include "camera_settings.h"
#include "frame_schedule.h"

namespace trv::camerasim {

class CameraStream {
 public:
  CameraStream(core::PostEventFn post, uint32_t origin);

  // Open, main thread: streaming begins with these settings.
  void start(const CameraSettings& settings);

  // Worker thread: waits for start(), then streams until stop(). Returns at
  // once after stop(), also when start() never came.
  void run();

  // Close, main thread: ends run() at once, even in the middle of a wait for
  // the next frame; the core joins the worker thread before Unload.
  void stop();

 private:
  std::optional<CameraSettings> awaitStart();
  // Sleeps until `due`; false when stopped first.
  bool sleepUntil(FrameSchedule::SteadyTime due);

  core::PostEventFn post_;
  uint32_t origin_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::optional<CameraSettings> settings_;
  bool stopped_ = false;
};

}  // namespace trv::camerasim
