// The running core as the parent daemon sees it: a private installation of
// the executable with chosen test plugins, started on a sequenced-packet
// socketpair, and the packets that cross it.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string_view>

#include "child_process.h"
#include "system/file_descriptor.h"
#include "trv/core/parent_packet.h"

namespace trv::test {

using core::KindIdentify, core::KindStop, core::LargestPacket, core::PacketHeaderSize, core::packetAddress;
// The kind of the tests' packets for plugins.
inline constexpr uint32_t KindData = 3;

// A packet carrying `payload`; its length word is its size unless given.
inline std::string ipcPacket(uint32_t address, uint32_t kind, std::string_view payload,
                             uint32_t passThrough = 0, std::optional<uint32_t> length = {}) {
  const core::ParentPacketHeader header{length.value_or(PacketHeaderSize + uint32_t(payload.size())), address, kind,
                                        passThrough};
  return std::string(reinterpret_cast<const char*>(&header), sizeof header).append(payload);
}

// The core's log lines in `output` whose texts start with one of `starts`, in
// order, as "<band> <prefix>: <text>", the band a letter for the line's colour:
// D, I, W, E or C for levels from 0, 25, 50, 75 and 100 up.
Texts logged(const std::string& output, std::initializer_list<std::string_view> starts);

// The core executable in <root>/bin, with bin/plugins and bin/protected-plugins
// beside it and an empty working directory <root>/work, `root` a temporary directory.
struct CoreInstall {
  CoreInstall();

  // Copies the test plugin `source` (relative to the test plugin directory)
  // into bin/<directory>, named `fileName` (default: its own name).
  void addPlugin(std::string_view source, std::string_view directory = "plugins",
                 std::string_view fileName = {}) const;

  std::filesystem::path executable() const { return root / "bin" / "trovis-core"; }
  std::filesystem::path workDir() const { return root / "work"; }

  std::filesystem::path root = makeTempDir();
};

// The core started from a CoreInstall in its working directory, with the
// number of its end of the channel as its argument, behind the words of
// `wrapper` (such as a tracer). `coreSendBuffer`, unless 0, is the SO_SNDBUF
// of the core's end.
class CoreProcess : public ChildProcess {
 public:
  explicit CoreProcess(const CoreInstall& install, const Texts& wrapper = {},
                       int coreSendBuffer = 0);

  // Sends one message; false when the channel refuses it.
  bool send(std::string_view message) const;
  // The next message; nullopt when none came in time or the channel has ended.
  std::optional<std::string> receive() const;
  // Receives until `expected` arrives: the messages passed over, or nullopt
  // when it did not arrive.
  std::optional<Texts> awaitMessage(std::string_view expected) const;
  // Closes the parent's end: the core reads the end of the stream.
  void closeChannel() { channel_.close(); }

 private:
  core::FileDescriptor channel_;  // the parent's end
};

}  // namespace trv::test
