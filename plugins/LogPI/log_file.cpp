#include "log_file.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

namespace trv::logpi {

LogFile::LogFile(std::filesystem::path path, uint64_t maxBytes, Complaint complain)
    : path_(std::move(path)), maxBytes_(maxBytes), complain_(std::move(complain)) {}

void LogFile::append(std::string_view line) {
  if (!ensureOpen()) return;
  if (size_ != 0 && size_ + line.size() > maxBytes_ && rotate() && !ensureOpen()) return;
  if (std::fwrite(line.data(), 1, line.size(), file_.get()) != line.size()) {
    complain("cannot write " + path_.string());
    return;
  }
  size_ += line.size();
  complained_ = false;
}

void LogFile::flush() {
  if (file_ && std::fflush(file_.get()) != 0) complain("cannot write " + path_.string());
}

bool LogFile::ensureOpen() {
  if (file_) return true;
  // "e": the core's child processes do not inherit the file.
  file_.reset(std::fopen(path_.c_str(), "ae"));
  struct stat status {};
  if (!file_ || fstat(fileno(file_.get()), &status) != 0) {
    file_.reset();
    complain("cannot open " + path_.string());
    return false;
  }
  // A file left by an earlier run counts towards the limit.
  size_ = static_cast<uint64_t>(status.st_size);
  return true;
}

bool LogFile::rotate() {
  std::filesystem::path older = path_;
  older += ".1";
  // Renamed while open: what is still buffered belongs to the older file.
  if (std::rename(path_.c_str(), older.c_str()) != 0) {
    complain("cannot rename " + path_.string() + " to " + older.string());
    // Not again before another limit's worth of lines: no complaint per line.
    size_ = 0;
    return false;
  }
  file_.reset();
  return true;
}

void LogFile::complain(const std::string& what) {
  const int error = errno;
  if (complained_) return;
  complained_ = true;
  complain_(what + ": " + std::strerror(error));
}

}  // namespace trv::logpi
