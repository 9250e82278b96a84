// Reading and crash-safe writing of the configuration files. Every failure is
// a std::runtime_error whose what() is the message shown to the user.
#pragma once

#include <string>
#include <string_view>

namespace trv::core {

// The whole content of the file at `path`; "" for an empty file.
std::string readWholeFile(const std::string& path);

// Replaces the content of `path` by `bytes` through path + ".pending", so that a
// crash or power loss leaves either the old or the new content under `path`.
void writeFileAtomically(const std::string& path, std::string_view bytes);

// writeFileAtomically for a text that starts with "<?xml"; anything else is
// refused and nothing is written.
void writeXmlFile(const std::string& path, std::string_view text);

// The well-formed XML text of path + ".pending" if there is one (it then
// replaces `path`), otherwise that of `path` (a leftover pending file is
// removed).
std::string readXmlFile(const std::string& path);

}  // namespace trv::core
