// Waiting in tests for what other threads or processes bring about.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace trv::test {

// Polls `condition` until it holds; false once a minute has passed, a deadline
// generous because the cross-built tests run under an emulator.
inline bool eventually(const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace trv::test
