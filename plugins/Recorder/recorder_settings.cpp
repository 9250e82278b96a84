#include "recorder_settings.h"

#include "settings_file.h"

namespace trv::recorder {

RecorderSettings readRecorderSettings(const std::filesystem::path& path) {
  const examples::SettingsFile file(path);
  RecorderSettings settings;
  settings.keep = file.wholeNumber("keep", settings.keep, 1, 100000);
  return settings;
}

}  // namespace trv::recorder
