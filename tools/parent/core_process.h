// The core as a child process on one end of a socketpair.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/generic/seq_packet_protocol.hpp>

namespace trv::parent {

class CoreProcess {
 public:
  using Socket = boost::asio::generic::seq_packet_protocol::socket;

  // Starts `command`, with the number of the core's end of a new socketpair
  // appended, in `runDir`, with `environment`, and in a process group of its
  // own (a Ctrl-C at the terminal is for trovis-parent to turn into a stop
  // packet). Only the core's end is inherited; ours is served by `executor`.
  // Throws std::system_error.
  CoreProcess(const std::vector<std::string>& command, const std::vector<std::string>& environment,
              const std::filesystem::path& runDir, const Socket::executor_type& executor);
  // If the core still runs: closes the socket, which the core takes as the
  // order to stop, and waits for it.
  ~CoreProcess();
  CoreProcess(const CoreProcess&) = delete;
  CoreProcess& operator=(const CoreProcess&) = delete;

  // Our end of the socketpair; closed once the core has closed its end.
  Socket& socket() { return socket_; }

  pid_t pid() const { return pid_; }

  // The exit status once the core has ended (its exit code, or 128+N for
  // signal N); nothing while it runs. Never blocks.
  std::optional<int> exitStatus();

  // The signal that ended the core, or 0.
  int endingSignal() const { return signal_; }

 private:
  Socket socket_;
  pid_t pid_ = -1;
  std::optional<int> status_;
  int signal_ = 0;
};

}  // namespace trv::parent
