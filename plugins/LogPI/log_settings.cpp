#include "log_settings.h"

#include <charconv>
#include <fstream>
#include <limits>
#include <string>
#include <string_view>

namespace trv::logpi {

namespace {

std::string_view trimmed(std::string_view text) {
  constexpr std::string_view blanks = " \t\r";
  const size_t first = text.find_first_not_of(blanks);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

// Overwrites `target` only with a whole, positive number that fits it.
template <typename Number>
void readPositive(std::string_view text, Number& target) {
  Number value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc{} || end != text.data() + text.size() || value == 0) return;
  target = value;
}

}  // namespace

LogSettings readLogSettings(const std::filesystem::path& path) {
  LogSettings settings;
  std::ifstream file(path);
  for (std::string line; std::getline(file, line);) {
    const std::string_view entry = trimmed(line);
    const size_t equals = entry.find('=');
    if (entry.empty() || entry.front() == '#' || equals == std::string_view::npos) continue;
    const std::string_view key = trimmed(entry.substr(0, equals));
    const std::string_view value = trimmed(entry.substr(equals + 1));
    if (key == "max_bytes") readPositive(value, settings.maxBytes);
    if (key == "buffer_bytes") readPositive(value, settings.bufferBytes);
  }
  return settings;
}

}  // namespace trv::logpi
