#include "log_service.h"

#include <chrono>
#include <string>

#include "log_line.h"

namespace trv::logpi {

namespace {

constexpr int32_t DropNoticeLevel = 50;

void writeBatch(LogFile& file, const LineBuffer::Batch& batch) {
  for (const auto& entry : batch.entries) {
    if (entry.dropped == 0) {
      file.append(entry.line);
      continue;
    }
    file.append(formatLine(std::chrono::system_clock::now(), LogPluginId, DropNoticeLevel,
                           std::to_string(entry.dropped) + " lines dropped"));
  }
  file.flush();
}

void writeUntilClosed(LineBuffer& buffer, LogFile file) {
  for (;;) {
    const LineBuffer::Batch batch = buffer.take();
    writeBatch(file, batch);
    if (batch.last) return;
  }
}

}  // namespace

void LogService::start(const LogSettings& settings, std::filesystem::path file,
                       LogFile::Complaint complain) {
  stop();
  buffer_.open(settings.bufferBytes);
  writer_ = std::thread(writeUntilClosed, std::ref(buffer_),
                        LogFile(std::move(file), settings.maxBytes, std::move(complain)));
}

void LogService::add(const core::EventParms& event) {
  // Timed on arrival, not when the writer gets to it.
  auto line = lineForRecord(event, std::chrono::system_clock::now());
  if (line) buffer_.push(std::move(*line));
}

void LogService::stop() {
  buffer_.close();
  if (writer_.joinable()) writer_.join();
}

}  // namespace trv::logpi
