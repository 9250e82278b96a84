// The simulated camera's output, one record at a time: video frames and audio
// blocks, each stream on a fixed grid of capture times counted from the
// start, merged in time order. A record's time is its place on the grid, not
// the moment it is posted, so a thread that runs late catches up without
// bending the stream's timing.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include <trv/core/sdk.h>

#include "camera_settings.h"

namespace trv::camerasim {

class FrameSchedule {
 public:
  using SteadyTime = std::chrono::steady_clock::time_point;
  using WallTime = std::chrono::system_clock::time_point;

  // Both streams begin with a record at `start`, stamped `wallStart`.
  FrameSchedule(const CameraSettings& settings, uint32_t origin, SteadyTime start,
                WallTime wallStart);

  // When the next record is to be posted.
  SteadyTime nextDue() const;

  // The next record, ready to post; it and its payload stay valid until the
  // next call.
  core::EventParms& next();

  // The core's answer to the record next() returned. Once the core has
  // dropped live media of this source, it takes video again only from a key
  // frame on: the next frame is made one, so that the picture resumes at once
  // instead of at the end of the group of pictures.
  void answered(int result);

 private:
  struct Stream {
    std::chrono::microseconds period;
    uint64_t count = 0;  // records taken so far
    std::string payload;
  };

  bool videoIsNext() const;
  core::EventParms& nextVideoFrame();
  core::EventParms& nextAudioBlock();
  // A record of `stream`'s next slot, with its time and payload; counts it.
  core::EventParms& take(Stream& stream, uint32_t type, const std::string& label);

  uint32_t origin_;
  uint32_t keyEvery_;
  SteadyTime start_;
  std::chrono::milliseconds wallStart_;  // since 1970
  Stream video_;
  Stream audio_;
  bool withAudio_;
  uint32_t sinceKey_;  // frames since the last key frame, the key frame counting 1
  bool keyNeeded_ = true;
  core::EventParms record_{};
};

}  // namespace trv::camerasim
