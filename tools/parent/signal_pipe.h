// SIGINT, SIGTERM and SIGCHLD as bytes on a pipe, so that the main loop sees
// them in poll() like any other input. The handlers write one byte and do
// nothing else. At most one instance at a time.
#pragma once

#include <signal.h>

#include <vector>

#include "system/file_descriptor.h"

namespace trv::parent {

class SignalPipe {
 public:
  // Installs the handlers; throws std::system_error.
  SignalPipe();
  // Restores the handlers found at construction.
  ~SignalPipe();
  SignalPipe(const SignalPipe&) = delete;
  SignalPipe& operator=(const SignalPipe&) = delete;

  // Readable when a signal has arrived.
  int fd() const { return readEnd_.get(); }

  // The signals that arrived since the last call, oldest first.
  std::vector<int> take();

  // The signals this pipe handles.
  static sigset_t handled();

 private:
  core::FileDescriptor readEnd_;
  core::FileDescriptor writeEnd_;
  struct sigaction previous_[3] {};
};

// Holds the handled signals back for its lifetime, so that a child forked
// meanwhile can reset their handlers before it can receive one.
class SignalBlock {
 public:
  SignalBlock();
  ~SignalBlock();
  SignalBlock(const SignalBlock&) = delete;
  SignalBlock& operator=(const SignalBlock&) = delete;

  // In a forked child, before exec: default handlers for the handled
  // signals, then the signal mask from before the block.
  void releaseInChild() const;

 private:
  sigset_t previous_{};
};

}  // namespace trv::parent
