#include "config/file_store.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <optional>
#include <stdexcept>

#include <rapidxml/rapidxml.hpp>

#include "config/xml_parse.h"
#include "system/file_descriptor.h"
#include "system/system_calls.h"

namespace trv::core {
namespace {

constexpr std::string_view xmlPrefix = "<?xml";

// `what` + " - " + the text of the errno in force now.
[[noreturn]] void throwWithErrno(const std::string& what) {
  throw std::runtime_error(what + " - " + std::strerror(errno));
}

[[noreturn]] void throwNotXml() { throw std::runtime_error("Failed - not xml content"); }

std::string pendingPath(const std::string& path) { return path + ".pending"; }

std::string directoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

bool hasXmlPrefix(std::string_view text) { return text.starts_with(xmlPrefix); }

// Throws rapidxml::parse_error when `text` is not well-formed, and
// std::runtime_error when it has more tags than the parser is given.
void parseXml(std::string text) {
  rapidxml::xml_document<> document;
  parseXmlText(document, text);
}

// A signal that arrives before any byte was read is no fault of the file.
ssize_t readRetryingInterrupts(int fd, void* buffer, size_t count) {
  ssize_t got;
  do {
    got = systemCalls().read(fd, buffer, count);
  } while (got < 0 && errno == EINTR);
  return got;
}

// Writes all of `bytes`; false when the device took none of a write, or failed.
bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = systemCalls().write(fd, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(written));
  }
  return true;
}

// Makes the rename durable: without syncing the directory a power loss can
// bring back the old entry. Best effort; the data itself is already synced.
void syncDirectoryOf(const std::string& path) {
  FileDescriptor directory(
      systemCalls().open(directoryOf(path).c_str(), O_RDONLY | O_DIRECTORY, 0));
  if (!directory.isOpen()) return;
  systemCalls().fsync(directory.get());
}

// The text of a complete, well-formed XML file at `path`; nothing on any failure.
std::optional<std::string> readValidXml(const std::string& path) {
  try {
    std::string text = readWholeFile(path);
    if (!hasXmlPrefix(text)) return std::nullopt;
    parseXml(text);
    return text;
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

}  // namespace

std::string readWholeFile(const std::string& path) {
  FileDescriptor file(systemCalls().open(path.c_str(), O_RDONLY, 0));
  if (!file.isOpen()) throwWithErrno("Failed to open " + path);
  struct stat status {};
  if (systemCalls().fstat(file.get(), &status) != 0) {
    throwWithErrno("Failed to get size of " + path);
  }
  std::string text(static_cast<size_t>(status.st_size), '\0');
  if (text.empty()) return text;
  // One read of the size fstat reported: a file that changes meanwhile is an error.
  const ssize_t got = readRetryingInterrupts(file.get(), text.data(), text.size());
  if (got < 0 || static_cast<size_t>(got) != text.size()) throwWithErrno("Failed to read " + path);
  return text;
}

void writeFileAtomically(const std::string& path, std::string_view bytes) {
  const std::string pending = pendingPath(path);
  // O_SYNC: the data is on the device before the rename can expose it.
  FileDescriptor file(
      systemCalls().open(pending.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_SYNC, 0644));
  if (!file.isOpen()) throwWithErrno("Failed to open " + pending);
  if (!writeAll(file.get(), bytes)) {
    const int writeError = errno;
    file.close();
    errno = writeError;
    throwWithErrno("Failed to write " + pending);
  }
  file.close();
  systemCalls().rename(pending.c_str(), path.c_str());
  syncDirectoryOf(path);
}

void writeXmlFile(const std::string& path, std::string_view text) {
  if (!hasXmlPrefix(text)) throwNotXml();
  writeFileAtomically(path, text);
}

std::string readXmlFile(const std::string& path) {
  const std::string pending = pendingPath(path);
  // A complete pending file is a newer state whose rename did not happen.
  if (std::optional<std::string> text = readValidXml(pending)) {
    systemCalls().rename(pending.c_str(), path.c_str());
    return *text;
  }
  std::string text = readWholeFile(path);
  if (!hasXmlPrefix(text)) throwNotXml();
  try {
    parseXml(text);
  } catch (const rapidxml::parse_error& error) {
    throw std::runtime_error(error.what());
  }
  systemCalls().unlink(pending.c_str());
  return text;
}

}  // namespace trv::core
