#include "core_process.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <map>
#include <regex>
#include <stdexcept>

namespace trv::test {

namespace fs = std::filesystem;

Texts logged(const std::string& output, std::initializer_list<std::string_view> starts) {
  static const std::regex line("((?:\x1b\\[[0-9;]*m)*)[0-9:.]{12}\x1b\\[36m (\\S*)\x1b\\[0m (.*)");
  static const std::map<std::string, std::string> bands = {
      {"\x1b[38;5;248m", "D"}, {"\x1b[32m", "I"}, {"\x1b[38;5;227m", "W"},
      {"\x1b[38;5;196m", "E"}, {"\x1b[38;5;37m\x1b[38;5;1m", "C"}};
  Texts found;
  for (std::sregex_iterator match(output.begin(), output.end(), line), end; match != end; ++match) {
    if (std::ranges::any_of(starts, [&](auto start) { return match->str(3).starts_with(start); })) {
      found.push_back(bands.at(match->str(1)) + " " + match->str(2) + ": " + match->str(3));
    }
  }
  return found;
}

CoreInstall::CoreInstall() {
  for (auto dir : {"bin/plugins", "bin/protected-plugins", "work"}) create_directories(root / dir);
  // Links to one copy: the core looks for its plugins beside the path it was
  // started by, and all installs are in one temporary directory.
  static const fs::path copy = makeTempDir() / "trovis-core";
  if (!fs::exists(copy)) fs::copy_file(TRV_BIN_DIR "/trovis-core", copy);
  fs::create_hard_link(copy, executable());
}

void CoreInstall::addPlugin(std::string_view source, std::string_view directory,
                            std::string_view fileName) const {
  const fs::path from = fs::path(TRV_TEST_PLUGIN_DIR) / source;
  fs::copy_file(from, root / "bin" / directory / (fileName.empty() ? from.filename() : fileName));
}

CoreProcess::CoreProcess(const CoreInstall& install, const Texts& wrapper, int coreSendBuffer) {
  int ends[2];  // the parent's and the core's
  if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) {
    throw std::runtime_error("socketpair failed");
  }
  channel_ = core::FileDescriptor(ends[0]);
  const core::FileDescriptor coreEnd(ends[1]);
  if (coreSendBuffer != 0) setsockopt(ends[1], SOL_SOCKET, SO_SNDBUF, &coreSendBuffer, sizeof(int));
  start(emulatedCommand(install.executable(), {std::to_string(ends[1])}, wrapper),
        install.workDir(), ends[1]);
}

bool CoreProcess::send(std::string_view message) const {
  return ::send(channel_.get(), message.data(), message.size(), MSG_NOSIGNAL) == ssize_t(message.size());
}

std::optional<std::string> CoreProcess::receive() const {
  std::string buffer(4 * LargestPacket, '\0');  // larger than any message of the core
  pollfd ready{channel_.get(), POLLIN, 0};
  if (!eventually([&] { return poll(&ready, 1, 0) != 0; })) return std::nullopt;
  const ssize_t n = recv(channel_.get(), buffer.data(), buffer.size(), MSG_DONTWAIT);
  // A zero-length read is an empty message while the core is there, and the
  // end of the stream once it has gone.
  if (n < 0 || (n == 0 && (ready.revents & POLLHUP) != 0)) return std::nullopt;
  return buffer.substr(0, size_t(n));
}

std::optional<Texts> CoreProcess::awaitMessage(std::string_view expected) const {
  Texts passedOver;
  auto message = receive();
  for (; message && *message != expected; message = receive()) passedOver.push_back(*message);
  return message ? std::optional(passedOver) : std::nullopt;
}

}  // namespace trv::test
