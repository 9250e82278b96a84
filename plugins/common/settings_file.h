// The settings file of an example plugin: "key=value" lines in a file of the
// core's working directory, read when the plugin is opened. Keys and values
// hold no blanks, so blanks do not count; '#' starts a comment line; a later
// line wins. A missing file, an unknown key or a value out of range leaves
// the default: a plugin must start whatever its file says.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <string_view>

namespace trv::examples {

class SettingsFile {
 public:
  explicit SettingsFile(const std::filesystem::path& path);

  // The value of `key` as a whole number from `min` to `max`, else `fallback`.
  uint32_t wholeNumber(std::string_view key, uint32_t fallback, uint32_t min, uint32_t max) const;

  // The value of `key` as a decimal number ("12", "0.5") from `min` to `max`,
  // else `fallback`.
  double decimal(std::string_view key, double fallback, double min, double max) const;

 private:
  template <typename Number>
  Number valueIn(std::string_view key, Number fallback, Number min, Number max) const;

  std::map<std::string, std::string, std::less<>> values_;
};

}  // namespace trv::examples
