#include "system/system_calls.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

namespace trv::core {

SystemCalls realSystemCalls() {
  // Lambdas rather than the bare names: open is variadic, and the fortified
  // libc wrappers are not meant to have their address taken.
  return SystemCalls{
      [](const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); },
      [](int fd, struct stat* status) { return ::fstat(fd, status); },
      [](int fd, void* buffer, size_t count) { return ::read(fd, buffer, count); },
      [](int fd, const void* buffer, size_t count) { return ::write(fd, buffer, count); },
      [](int fd) { return ::close(fd); },
      [](const char* from, const char* to) { return std::rename(from, to); },
      [](int fd) { return ::fsync(fd); },
      [](const char* path) { return ::unlink(path); },
  };
}

SystemCalls& systemCalls() {
  static SystemCalls calls = realSystemCalls();
  return calls;
}

}  // namespace trv::core
