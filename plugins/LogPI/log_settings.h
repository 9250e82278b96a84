// LogPI's own configuration, read from LogPI.conf in the working directory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>

namespace trv::logpi {

struct LogSettings {
  // The file is moved aside before a line would take it past this size.
  uint64_t maxBytes = uint64_t{1} << 20;
  // Room for lines the writer has not taken yet; what does not fit is dropped.
  size_t bufferBytes = size_t{256} << 10;
};

// Reads "max_bytes=N" and "buffer_bytes=N" lines ('#' starts a comment line).
// A missing file, an unknown key, or a value that is not a positive whole
// number leaves the default.
LogSettings readLogSettings(const std::filesystem::path& path);

}  // namespace trv::logpi
