// Polling for a condition that other threads or processes bring about.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace trv::test {

// Polls `condition` until it holds, or until a deadline meant only to end a
// test that would otherwise hang (generous for the emulator) has passed.
inline bool eventually(const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace trv::test
