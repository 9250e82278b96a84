// How much the recorder keeps, read from Recorder.conf in the core's working
// directory when the plugin is opened:
//   keep=50   the number of events kept, video frames and alarms together
// A missing file, or a value that is not a whole number from 1 to 100000,
// keeps the default.
#pragma once

#include <cstdint>
#include <filesystem>

namespace trv::recorder {

struct RecorderSettings {
  uint32_t keep = 50;
};

RecorderSettings readRecorderSettings(const std::filesystem::path& path);

}  // namespace trv::recorder
