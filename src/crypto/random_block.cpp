#include "crypto/random_block.h"

#include <err.h>
#include <fcntl.h>
#include <sysexits.h>

#include <cerrno>

namespace trv::core {

namespace {

constexpr const char* RandomDevice = "/dev/urandom";

// The open device, closed when this goes out of scope; a failed close costs
// nothing but a warning, since the bytes were read.
class OpenDevice {
 public:
  explicit OpenDevice(const SystemCalls& calls) : calls_(calls) {
    // Not inherited by the children other threads of the process may start.
    do {
      fd_ = calls_.open(RandomDevice, O_RDONLY | O_CLOEXEC, 0);
    } while (fd_ < 0 && errno == EINTR);
    if (fd_ < 0) err(EX_IOERR, "CoCreateGuid(): open: %s", RandomDevice);
  }
  OpenDevice(const OpenDevice&) = delete;
  OpenDevice& operator=(const OpenDevice&) = delete;
  ~OpenDevice() {
    if (calls_.close(fd_) != 0) warn("CoCreateGuid(): close: %s", RandomDevice);
  }

  int fd() const { return fd_; }

 private:
  const SystemCalls& calls_;
  int fd_ = -1;
};

}  // namespace

void CoCreateGuid(std::span<uint8_t, RandomBlockSize> block) {
  CoCreateGuid(block, systemCalls());
}

void CoCreateGuid(std::span<uint8_t, RandomBlockSize> block, const SystemCalls& calls) {
  const OpenDevice device(calls);
  size_t got = 0;
  while (got < block.size()) {
    const ssize_t n = calls.read(device.fd(), block.data() + got, block.size() - got);
    if (n > 0) {
      got += static_cast<size_t>(n);
      continue;
    }
    if (n == 0) {
      errx(EX_IOERR, "CoCreateGuid(): read: %s: EOF, got %zd of %zd bytes requested", RandomDevice,
           static_cast<ssize_t>(got), static_cast<ssize_t>(block.size()));
    }
    if (errno != EINTR) err(EX_IOERR, "CoCreateGuid(): read: %s", RandomDevice);
  }
}

}  // namespace trv::core
