#include "camera_stream.h"

#include <chrono>

namespace trv::camerasim {

CameraStream::CameraStream(core::PostEventFn post, uint32_t origin)
    : post_(post), origin_(origin) {}

void CameraStream::start(const CameraSettings& settings) {
  {
    std::lock_guard lock(mutex_);
    settings_ = settings;
  }
  changed_.notify_all();
}

void CameraStream::stop() {
  {
    std::lock_guard lock(mutex_);
    stopped_ = true;
  }
  changed_.notify_all();
}

void CameraStream::run() {
  // The core starts the worker before it opens the plugin.
  const auto settings = awaitStart();
  if (!settings) return;
  FrameSchedule schedule(*settings, origin_, std::chrono::steady_clock::now(),
                         std::chrono::system_clock::now());
  // Posted without the lock: stop() must never wait for the core.
  while (sleepUntil(schedule.nextDue())) schedule.answered(post_(&schedule.next()));
}

std::optional<CameraSettings> CameraStream::awaitStart() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return stopped_ || settings_.has_value(); });
  if (stopped_) return std::nullopt;
  return settings_;
}

bool CameraStream::sleepUntil(FrameSchedule::SteadyTime due) {
  std::unique_lock lock(mutex_);
  return !changed_.wait_until(lock, due, [this] { return stopped_; });
}

}  // namespace trv::camerasim
