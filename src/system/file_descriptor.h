// Owner of one open file descriptor, closed through the system-call door when
// the owner goes out of scope, so no error path can leak it.
#pragma once

#include <utility>

#include "system/system_calls.h"

namespace trv::core {

class FileDescriptor {
 public:
  FileDescriptor() = default;
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept {
    if (this == &other) return *this;
    close();
    fd_ = std::exchange(other.fd_, -1);
    return *this;
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() { close(); }

  // The descriptor, or -1 when none is open.
  int get() const { return fd_; }
  bool isOpen() const { return fd_ >= 0; }

  // Closes the descriptor now; returns close()'s result, 0 when none was open.
  int close() {
    if (fd_ < 0) return 0;
    return systemCalls().close(std::exchange(fd_, -1));
  }

 private:
  int fd_ = -1;
};

}  // namespace trv::core
