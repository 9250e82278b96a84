// The one door to the system calls on files and devices, so that tests can
// make a call fail, come up short or be interrupted (EINTR, ENOSPC, EIO) on
// demand.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>

namespace trv::core {

// The calls, as replaceable function pointers. One left out is null: a
// table for a device alone needs no rename.
struct SystemCalls {
  int (*open)(const char* path, int flags, mode_t mode) = nullptr;
  int (*fstat)(int fd, struct stat* status) = nullptr;
  ssize_t (*read)(int fd, void* buffer, size_t count) = nullptr;
  ssize_t (*write)(int fd, const void* buffer, size_t count) = nullptr;
  int (*close)(int fd) = nullptr;
  int (*rename)(const char* from, const char* to) = nullptr;
  int (*fsync)(int fd) = nullptr;
  int (*unlink)(const char* path) = nullptr;
};

// The calls of the operating system itself.
SystemCalls realSystemCalls();

// The calls in force for the whole process. Only tests replace entries, and
// only while no other thread makes these calls.
SystemCalls& systemCalls();

}  // namespace trv::core
