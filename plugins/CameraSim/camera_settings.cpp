#include "camera_settings.h"

#include "settings_file.h"

namespace trv::camerasim {

CameraSettings readCameraSettings(const std::filesystem::path& path) {
  const examples::SettingsFile file(path);
  const CameraSettings defaults;
  CameraSettings settings;
  settings.fps = file.decimal("fps", defaults.fps, 0.001, 240);
  settings.keyEvery = file.wholeNumber("key_every", defaults.keyEvery, 1, 65535);
  settings.frameBytes = file.wholeNumber("frame_bytes", defaults.frameBytes, 1, 1u << 20);
  settings.audioRate = file.decimal("audio_rate", defaults.audioRate, 0, 1000);
  settings.audioBytes = file.wholeNumber("audio_bytes", defaults.audioBytes, 1, 1u << 16);
  return settings;
}

}  // namespace trv::camerasim
