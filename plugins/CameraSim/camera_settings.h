// What the simulated camera streams, read from CameraSim.conf in the core's
// working directory when the plugin is opened:
//   fps=25            video frames per second; fractions down to 0.001 allowed
//   key_every=25      a key frame every this many frames (1: every frame)
//   frame_bytes=4096  payload size of a video frame
//   audio_rate=10     audio blocks per second; 0 streams no audio
//   audio_bytes=1600  payload size of an audio block
// Every setting that is missing or out of range keeps the default above.
#pragma once

#include <cstdint>
#include <filesystem>

namespace trv::camerasim {

struct CameraSettings {
  double fps = 25;
  uint32_t keyEvery = 25;
  uint32_t frameBytes = 4096;
  double audioRate = 10;
  uint32_t audioBytes = 1600;
};

CameraSettings readCameraSettings(const std::filesystem::path& path);

}  // namespace trv::camerasim
