// The one door to the file system calls of the configuration layer, so that
// tests can make a call fail or come up short (EINTR, ENOSPC, EIO) on demand.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>

namespace trv::core {

// The system calls the file store makes, as replaceable function pointers.
struct PosixIo {
  int (*open)(const char* path, int flags, mode_t mode);
  int (*fstat)(int fd, struct stat* status);
  ssize_t (*read)(int fd, void* buffer, size_t count);
  ssize_t (*write)(int fd, const void* buffer, size_t count);
  int (*close)(int fd);
  int (*rename)(const char* from, const char* to);
  int (*fsync)(int fd);
  int (*unlink)(const char* path);
};

// The calls of the operating system itself.
PosixIo systemPosixIo();

// The calls in force for the whole process. Only tests replace entries, and
// only while no other thread uses the file store.
PosixIo& posixIo();

}  // namespace trv::core
