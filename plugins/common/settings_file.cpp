#include "settings_file.h"

#include <charconv>
#include <fstream>

namespace trv::examples {

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// The whole of `text` as a number, or false.
template <typename Number>
bool parseExactly(std::string_view text, Number& value) {
  const char* end = text.data() + text.size();
  const auto result = std::from_chars(text.data(), end, value);
  return !text.empty() && result.ec == std::errc{} && result.ptr == end;
}

}  // namespace

SettingsFile::SettingsFile(const std::filesystem::path& path) {
  std::ifstream file(path);
  for (std::string line; std::getline(file, line);) {
    // No key or value holds a blank, so blanks anywhere can go.
    std::erase_if(line, isBlank);
    const size_t equals = line.find('=');
    if (line.starts_with('#') || equals == std::string::npos) continue;
    values_.insert_or_assign(line.substr(0, equals), line.substr(equals + 1));
  }
}

uint32_t SettingsFile::wholeNumber(std::string_view key, uint32_t fallback, uint32_t min,
                                   uint32_t max) const {
  return valueIn(key, fallback, min, max);
}

double SettingsFile::decimal(std::string_view key, double fallback, double min, double max) const {
  return valueIn(key, fallback, min, max);
}

template <typename Number>
Number SettingsFile::valueIn(std::string_view key, Number fallback, Number min, Number max) const {
  const auto found = values_.find(key);
  Number value{};
  if (found == values_.end() || !parseExactly(found->second, value)) return fallback;
  return value >= min && value <= max ? value : fallback;
}

}  // namespace trv::examples
