#include "random_block.h"

#include <fcntl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <deque>

namespace trv::core {
namespace {

using Block = std::array<uint8_t, RandomBlockSize>;

// A stand-in for the device: its bytes are 1, 2, 3, ... handed out in
// chunks of the sizes queued in `reads`, where -1 is a failed read with
// `readErrno` and 0 the end of the device.
struct FakeDevice {
  int failingOpens = 0;
  int openErrno = EINTR;
  std::deque<ssize_t> reads;
  int readErrno = EINTR;
  bool closeFails = false;
  uint8_t nextByte = 1;
  int opens = 0;
  int closes = 0;
};

FakeDevice device;
constexpr int FakeFd = 42;

DeviceCalls fakeCalls() {
  return DeviceCalls{
      [](const char* path, int flags) {
        EXPECT_STREQ(path, "/dev/urandom");
        EXPECT_EQ(flags & O_ACCMODE, O_RDONLY);
        ++device.opens;
        if (device.failingOpens > 0) {
          --device.failingOpens;
          errno = device.openErrno;
          return -1;
        }
        return FakeFd;
      },
      [](int fd, void* buffer, size_t count) -> ssize_t {
        EXPECT_EQ(fd, FakeFd);
        if (device.reads.empty()) return 0;
        const ssize_t chunk = device.reads.front();
        device.reads.pop_front();
        if (chunk < 0) {
          errno = device.readErrno;
          return -1;
        }
        const auto n = std::min(static_cast<size_t>(chunk), count);
        for (size_t i = 0; i < n; ++i) static_cast<uint8_t*>(buffer)[i] = device.nextByte++;
        return static_cast<ssize_t>(n);
      },
      [](int fd) {
        EXPECT_EQ(fd, FakeFd);
        ++device.closes;
        if (!device.closeFails) return 0;
        errno = EIO;
        return -1;
      },
  };
}

Block countingBlock() {
  Block block{};
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i + 1);
  return block;
}

TEST(CoCreateGuid, InterruptedCallsAreRetriedAndShortReadsContinued) {
  device = FakeDevice{};
  device.failingOpens = 2;
  device.reads = {3, -1, 5, -1, 1, 7};
  Block block{};
  CoCreateGuid(block, fakeCalls());
  EXPECT_EQ(block, countingBlock());
  EXPECT_EQ(device.opens, 3);
  EXPECT_EQ(device.closes, 1);
  EXPECT_TRUE(device.reads.empty());
}

TEST(CoCreateGuid, FailedCloseOnlyWarns) {
  device = FakeDevice{};
  device.reads = {16};
  device.closeFails = true;
  EXPECT_EXIT(
      {
        Block block{};
        CoCreateGuid(block, fakeCalls());
        std::exit(block == countingBlock() ? 0 : 1);
      },
      testing::ExitedWithCode(0), "CoCreateGuid\\(\\): close: /dev/urandom: Input/output error");
}

TEST(CoCreateGuid, UnusableDeviceEndsTheProcessWithStatus74) {
  Block block{};
  device = FakeDevice{};
  device.failingOpens = 1;
  device.openErrno = ENOENT;
  EXPECT_EXIT(CoCreateGuid(block, fakeCalls()), testing::ExitedWithCode(74),
              "CoCreateGuid\\(\\): open: /dev/urandom: No such file or directory");

  device = FakeDevice{};
  device.reads = {4, -1};
  device.readErrno = EIO;
  EXPECT_EXIT(CoCreateGuid(block, fakeCalls()), testing::ExitedWithCode(74),
              "CoCreateGuid\\(\\): read: /dev/urandom: Input/output error");

  device = FakeDevice{};
  device.reads = {2, 3, 0};
  EXPECT_EXIT(CoCreateGuid(block, fakeCalls()), testing::ExitedWithCode(74),
              "CoCreateGuid\\(\\): read: /dev/urandom: EOF, got 5 of 16 bytes requested\n$");
}

TEST(CoCreateGuid, TheSystemDeviceGivesAFreshBlockEachCall) {
  Block first{};
  Block second{};
  CoCreateGuid(first);
  CoCreateGuid(second);
  EXPECT_NE(first, second);
}

}  // namespace
}  // namespace trv::core
