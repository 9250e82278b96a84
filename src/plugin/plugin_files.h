// Where the core finds its plugins, and in which order it loads them.
#pragma once

#include <filesystem>
#include <vector>

namespace trv::core {

// The plugin files below `base`, in load order: ".so" regular files (through
// symbolic links) of "protected-plugins" and then "plugins", a name in the
// first hiding the same name in the second, "LogPI.so" left to the core, and
// paths containing "mKAXpi" first, the rest by file name ignoring case.
std::vector<std::filesystem::path> findPluginFiles(const std::filesystem::path& base);

}  // namespace trv::core
