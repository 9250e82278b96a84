// The log plugin's work: records in from any thread, lines out to the file
// on a thread of its own.
#pragma once

#include <filesystem>
#include <thread>

#include <trv/core/sdk.h>

#include "line_buffer.h"
#include "log_file.h"
#include "log_settings.h"

namespace trv::logpi {

class LogService {
 public:
  LogService() = default;
  // Stops the writer, should Close never have come.
  ~LogService() { stop(); }
  LogService(const LogService&) = delete;
  LogService& operator=(const LogService&) = delete;

  // Open, main thread: starts the writer on `file`.
  void start(const LogSettings& settings, std::filesystem::path file, LogFile::Complaint complain);

  // OnEvent, any thread: queues the line of a live text log record; never
  // waits for the disk.
  void add(const core::EventParms& event);

  // Close, main thread: writes every line queued so far, then ends the
  // writer. Later records are ignored.
  void stop();

 private:
  LineBuffer buffer_;
  std::thread writer_;
};

}  // namespace trv::logpi
