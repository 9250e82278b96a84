#include "plugin/plugin_files.h"

#include <strings.h>

#include <algorithm>
#include <string>
#include <system_error>

namespace trv::core {

namespace fs = std::filesystem;

namespace {

constexpr const char* PluginDirectories[] = {"protected-plugins", "plugins"};
constexpr const char* LogPluginFile = "LogPI.so";
constexpr const char* FirstMarker = "mKAXpi";

bool isPluginFile(const fs::directory_entry& entry, const std::vector<fs::path>& found) {
  const fs::path& path = entry.path();
  if (path.extension() != ".so") return false;
  std::error_code ec;
  if (!fs::is_regular_file(path, ec)) return false;
  const fs::path name = path.filename();
  if (name == LogPluginFile) return false;
  return std::none_of(found.begin(), found.end(),
                      [&](const fs::path& other) { return other.filename() == name; });
}

bool loadsBefore(const fs::path& a, const fs::path& b) {
  const bool aFirst = a.string().find(FirstMarker) != std::string::npos;
  const bool bFirst = b.string().find(FirstMarker) != std::string::npos;
  if (aFirst != bFirst) return aFirst;
  return strcasecmp(a.filename().c_str(), b.filename().c_str()) < 0;
}

}  // namespace

std::vector<fs::path> findPluginFiles(const fs::path& base) {
  std::vector<fs::path> found;
  for (const char* directory : PluginDirectories) {
    std::error_code ec;
    fs::directory_iterator entries(base / directory, ec);
    for (; !ec && entries != fs::directory_iterator(); entries.increment(ec)) {
      if (isPluginFile(*entries, found)) found.push_back(entries->path());
    }
  }
  std::stable_sort(found.begin(), found.end(), loadsBefore);
  return found;
}

}  // namespace trv::core
