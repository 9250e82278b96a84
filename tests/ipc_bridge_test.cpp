// The shipped IPC bridge, IpcBridge.so, driven as the parent daemon drives it:
// a copy of trovis-core with the shipped plugins, on a real socketpair, gets
// the bridge's text commands and answers them through the real channel.
#include "core_process.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace trv::test {
namespace {

using namespace std::string_literals;
using Texts = std::vector<std::string>;

constexpr uint8_t BridgeId = 0x43;

// The shipped plugins, camera and recorder with the settings given.
struct ShippedCore {
  ShippedCore(std::string_view cameraSettings, std::string_view recorderSettings) {
    for (const char* plugin : {"LogPI.so", "CameraSim.so", "Recorder.so", "IpcBridge.so"}) {
      // An absolute path: these come from the build's plugins/, not the test plugins.
      install.addPlugin((std::filesystem::path(TRV_BIN_DIR) / "plugins" / plugin).string());
    }
    write("CameraSim.conf", cameraSettings);
    write("Recorder.conf", recorderSettings);
  }

  void write(const std::string& name, std::string_view text) const {
    std::ofstream(install.workDir() / name) << text;
  }

  CoreInstall install;
};

// A camera that does not stream.
constexpr std::string_view Still = "fps=0.001\naudio_rate=0\n";

uint32_t wordAt(std::string_view message, size_t index) {
  uint32_t word = 0;
  std::memcpy(&word, message.data() + index * sizeof word, sizeof word);
  return word;
}

// The text of a reply from the bridge, after checking its header; nothing
// for another message, or none within the deadline.
std::optional<std::string> nextReply(CoreProcess& core) {
  const auto message = core.receive();
  if (!message || message->size() < 16) return std::nullopt;
  EXPECT_EQ(wordAt(*message, 0), message->size());
  EXPECT_EQ(wordAt(*message, 1), uint32_t{BridgeId} << 20);
  EXPECT_EQ(wordAt(*message, 2), 1u) << "kind";
  EXPECT_EQ(wordAt(*message, 3), 0u) << "pass-through";
  return message->substr(16);
}

bool send(CoreProcess& core, std::string_view text, uint32_t kind = 1) {
  return core.send(ipcPacket(addressOf(BridgeId), kind, text));
}

// The bridge announces the core's start-up done; replies to commands sent
// meanwhile could come before it.
bool awaitReady(CoreProcess& core) {
  while (auto reply = nextReply(core)) {
    if (*reply == "ready") return true;
  }
  return false;
}

// A core of `shipped` whose plugins are all open.
struct ReadyCore {
  explicit ReadyCore(const ShippedCore& shipped) : process(shipped.install) {
    ready = awaitReady(process);
  }
  CoreProcess process;
  bool ready = false;
};

// Sends `command` and returns the bridge's one reply.
std::string ask(CoreProcess& core, std::string_view command) {
  if (!send(core, command)) return "(not sent)";
  return nextReply(core).value_or("(no reply)");
}

// The replies to `search TYPE`, from "searching N" to "done N" (or as far as
// they came).
Texts searchReplies(CoreProcess& core, std::string_view type) {
  Texts replies;
  if (!send(core, "search "s + std::string(type))) return replies;
  while (auto reply = nextReply(core)) {
    replies.push_back(*reply);
    if (reply->starts_with("done ") || reply->starts_with("error ")) break;
  }
  return replies;
}

std::string hex(std::string_view bytes) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string text;
  for (const char c : bytes) {
    text += digits[static_cast<uint8_t>(c) >> 4];
    text += digits[static_cast<uint8_t>(c) & 0x0f];
  }
  return text;
}

// The core stopped in order and gave back every payload: no shutdown report.
void expectOrderlyStop(CoreProcess& core) {
  ASSERT_TRUE(core.send(ipcPacket(0, 8, "")));
  ASSERT_EQ(core.waitForExit(), 0) << core.output() << core.errors();
  EXPECT_EQ(core.output().find("unloaded holding"), std::string::npos) << core.output();
  EXPECT_EQ(core.output().find("refblks: "), std::string::npos) << core.output();
}

TEST(IpcBridge, PingsAndBadCommandsAreAnsweredOneForOne) {
  ShippedCore shipped(Still, "keep=4\n");
  ReadyCore started(shipped);
  ASSERT_TRUE(started.ready) << started.process.output();
  CoreProcess& core = started.process;
  EXPECT_EQ(ask(core, "ping"), "pong");
  EXPECT_EQ(ask(core, "ping hello there"), "pong hello there");
  // Any kind but the core's own two is a command.
  ASSERT_TRUE(send(core, "ping kind 5", 5));
  EXPECT_EQ(nextReply(core), "pong kind 5");
  EXPECT_EQ(ask(core, "jump"), "error jump unknown command");
  EXPECT_EQ(ask(core, "search sideways"), "error search unknown type sideways");
  EXPECT_EQ(ask(core, "cancel 7"), "cancelled 7");
  EXPECT_EQ(ask(core, "cancel 0"), "error cancel bad search number 0");
  EXPECT_EQ(ask(core, "cancel 7x"), "error cancel bad search number 7x");
  EXPECT_EQ(ask(core, "decrypt 0g"), "error decrypt bad hex");
  EXPECT_EQ(ask(core, "decrypt abc"), "error decrypt bad hex");
  // Nothing to decrypt: the core's crypto service answers -2.
  EXPECT_EQ(ask(core, "decrypt "), "error decrypt -2");
  expectOrderlyStop(core);
}

TEST(IpcBridge, SearchForwardsTheRecordedFramesInOrderThenDone) {
  ShippedCore shipped("fps=50\nkey_every=5\nframe_bytes=200\naudio_rate=0\n", "keep=8\n");
  ReadyCore started(shipped);
  ASSERT_TRUE(started.ready) << started.process.output();
  CoreProcess& core = started.process;
  // Asked again until the recorder holds its eight frames; each search ends
  // with "done", since the recorder is open.
  const auto deadline = std::chrono::steady_clock::now() + ProcessDeadline;
  Texts replies = searchReplies(core, "video");
  while (replies.size() < 10 && std::chrono::steady_clock::now() < deadline) {
    replies = searchReplies(core, "video");
  }
  ASSERT_EQ(replies.size(), 10u) << (replies.empty() ? "" : replies.back());
  const std::string number = replies.front().substr(std::strlen("searching "));
  EXPECT_EQ(replies.front(), "searching " + number);
  EXPECT_EQ(replies.back(), "done " + number);

  const std::string head = "found " + number + " video 200\n";
  size_t first = 0;
  for (size_t i = 1; i <= 8; ++i) {
    const std::string& found = replies[i];
    SCOPED_TRACE(found.substr(0, 40));
    ASSERT_TRUE(found.starts_with(head));
    const std::string payload = found.substr(head.size());
    ASSERT_EQ(payload.size(), 200u);
    // The camera's label: "video <frame> key" or "video <frame> delta".
    const size_t frame = std::stoul(payload.substr(6));
    if (i == 1) first = frame;
    EXPECT_EQ(frame, first + i - 1) << "consecutive frames, oldest first";
    const bool key = frame % 5 == 0;
    EXPECT_TRUE(payload.starts_with("video " + std::to_string(frame) + (key ? " key\n" : " delta\n")));
  }
  // Searches are numbered on: the next one is the one after.
  const Texts next = searchReplies(core, "video");
  ASSERT_FALSE(next.empty());
  EXPECT_EQ(next.front(), "searching " + std::to_string(std::stoul(number) + 1));
  expectOrderlyStop(core);
}

TEST(IpcBridge, EncryptedBytesComeBackAsHexAndDecryptToThePlaintext) {
  ShippedCore shipped(Still, "keep=4\n");
  ReadyCore started(shipped);
  ASSERT_TRUE(started.ready) << started.process.output();
  CoreProcess& core = started.process;
  // Any bytes but NUL; 16 bytes need no padding.
  for (const std::string& plain : {"hello, device"s, "line\nbreak\xff"s, std::string(16, 'x'),
                                   std::string(300, 'y')}) {
    SCOPED_TRACE(hex(plain));
    const std::string encrypted = ask(core, "encrypt " + plain);
    ASSERT_TRUE(encrypted.starts_with("encrypted ")) << encrypted;
    const std::string envelope = encrypted.substr(std::strlen("encrypted "));
    // A random first block, then the plaintext padded to whole 16-byte blocks.
    EXPECT_EQ(envelope.size() % 32, 0u);
    EXPECT_GE(envelope.size(), 2 * (16 + plain.size()));
    EXPECT_LE(envelope.size(), 2 * (32 + plain.size()));
    EXPECT_EQ(envelope.find(hex(plain)), std::string::npos);
    EXPECT_EQ(ask(core, "decrypt " + envelope), "decrypted " + plain);
  }
  // Decryption would end the plaintext at the NUL.
  EXPECT_EQ(ask(core, "encrypt a\0b"s), "error encrypt NUL byte in plaintext");
  expectOrderlyStop(core);
}

}  // namespace
}  // namespace trv::test
