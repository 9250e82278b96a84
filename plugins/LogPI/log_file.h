// The log file and its one older generation ("<name>.1"). Writer thread only.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace trv::logpi {

class LogFile {
 public:
  // Told about each new failure to open, move aside or write the file.
  using Complaint = std::function<void(const std::string&)>;

  LogFile(std::filesystem::path path, uint64_t maxBytes, Complaint complain);

  // Appends `line`, first moving the file aside when the line would take it
  // past the limit. A file is never longer than the limit unless its first
  // line is. A line that cannot be written is lost.
  void append(std::string_view line);

  // Hands what is buffered to the system.
  void flush();

 private:
  struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
  };

  bool ensureOpen();
  // Moves the file aside; false when it stays in use.
  bool rotate();
  void complain(const std::string& what);

  std::filesystem::path path_;
  uint64_t maxBytes_;
  Complaint complain_;
  std::unique_ptr<std::FILE, FileCloser> file_;
  uint64_t size_ = 0;
  bool complained_ = false;  // quiet until the file works again
};

}  // namespace trv::logpi
