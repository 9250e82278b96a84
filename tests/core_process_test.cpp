// The running core as a whole: a copy of trovis-core started on a real
// socketpair with real plugins beside it, seen through its output lines, its
// packets to the parent and its exit status.
#include "core_process.h"

#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <optional>
#include <sstream>
#include <regex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "child_process.h"

namespace trv::test {
namespace {

using namespace std::string_literals;
using namespace std::string_view_literals;
using Texts = std::vector<std::string>;

constexpr uint32_t KindData = 3;
constexpr uint32_t KindIdentify = 7;
constexpr uint32_t KindStop = 8;

// Colour sequences that open a line of each level band.
constexpr std::string_view InfoColour = "\x1b[32m";
constexpr std::string_view WarningColour = "\x1b[38;5;227m";
constexpr std::string_view ErrorColour = "\x1b[38;5;196m";
constexpr std::string_view CriticalColour = "\x1b[38;5;37m\x1b[38;5;1m";

// One output line: colour, "HH:MM:SS.mmm", ESC[36m, " ", prefix, ESC[0m, " ", text.
struct LogLine {
  std::string colour;
  std::string prefix;
  std::string text;
};

constexpr std::string_view PrefixStart = "\x1b[36m ";
constexpr std::string_view PrefixEnd = "\x1b[0m ";
constexpr size_t TimeLength = 12;

bool isTime(std::string_view text) {
  static const std::regex time("[0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3}");
  return std::regex_match(text.begin(), text.end(), time);
}

// The lines of `output` that start a log line; continuation lines of
// multi-line texts are left out.
std::vector<LogLine> logLines(const std::string& output) {
  std::vector<LogLine> lines;
  size_t start = 0;
  while (start < output.size()) {
    size_t end = output.find('\n', start);
    if (end == std::string::npos) end = output.size();
    const std::string_view line(output.data() + start, end - start);
    start = end + 1;
    const size_t prefixAt = line.find(PrefixStart);
    if (prefixAt == std::string_view::npos || prefixAt < TimeLength) continue;
    if (!isTime(line.substr(prefixAt - TimeLength, TimeLength))) continue;
    const size_t textAt = line.find(PrefixEnd, prefixAt);
    if (textAt == std::string_view::npos) continue;
    lines.push_back({std::string(line.substr(0, prefixAt - TimeLength)),
                     std::string(line.substr(prefixAt + PrefixStart.size(),
                                             textAt - prefixAt - PrefixStart.size())),
                     std::string(line.substr(textAt + PrefixEnd.size()))});
  }
  return lines;
}

// The texts of the lines that start with one of `starts`, in output order.
Texts textsStartingWith(const std::vector<LogLine>& lines,
                        std::initializer_list<std::string_view> starts) {
  Texts texts;
  for (const LogLine& line : lines) {
    const bool wanted = std::any_of(starts.begin(), starts.end(), [&](std::string_view start) {
      return line.text.starts_with(start);
    });
    if (wanted) texts.push_back(line.text);
  }
  return texts;
}

// The first line with exactly this text; a line with an empty text if none.
LogLine lineWithText(const std::vector<LogLine>& lines, std::string_view text) {
  const auto found = std::find_if(lines.begin(), lines.end(),
                                  [&](const LogLine& line) { return line.text == text; });
  return found != lines.end() ? *found : LogLine{};
}

size_t countText(const std::vector<LogLine>& lines, std::string_view text) {
  return static_cast<size_t>(std::count_if(
      lines.begin(), lines.end(), [&](const LogLine& line) { return line.text == text; }));
}

std::string alphabet(size_t length) {
  std::string text(length, 'a');
  for (size_t i = 0; i < length; ++i) text[i] = static_cast<char>('a' + i % 26);
  return text;
}

uint32_t fnv1a(std::string_view bytes) {
  uint32_t hash = 2166136261u;
  for (const char byte : bytes) hash = (hash ^ static_cast<uint8_t>(byte)) * 16777619u;
  return hash;
}

// A command for a host plugin (see host_plugin.cpp) as a data packet.
std::string command(uint8_t pluginId, std::string_view words) {
  return ipcPacket(addressOf(pluginId), KindData, words);
}

std::string stopPacket() { return ipcPacket(0, KindStop, ""); }

// The next `count` messages from the core, fewer when one does not come.
Texts receiveMessages(CoreProcess& core, size_t count) {
  Texts messages;
  while (messages.size() < count) {
    auto message = core.receive();
    if (!message) break;
    messages.push_back(std::move(*message));
  }
  return messages;
}

// At most the last `limit` bytes of `text`.
std::string tail(const std::string& text, size_t limit = 20000) {
  return text.size() <= limit ? text : "(...)" + text.substr(text.size() - limit);
}

// What a failed process test needs to be understood.
std::string diagnostics(const CoreProcess& core) {
  std::string text = "--- stdout ---\n" + tail(core.output()) + "--- stderr ---\n" +
                     tail(core.errors()) + "--- messages passed over ---\n";
  const auto& skipped = core.skipped();
  for (size_t i = skipped.size() > 50 ? skipped.size() - 50 : 0; i < skipped.size(); ++i) {
    text += skipped[i].substr(0, 80) + "\n";
  }
  return text;
}

// The host plugins' ids (HOST_ORIGIN >> 16, see tests/test_plugins/CMakeLists.txt).
constexpr uint8_t IdA = 0x21;
constexpr uint8_t IdLingering = 0x27;
constexpr uint8_t IdWatcher = 0x2A;

TEST(CoreHost, PluginsLoadOpenCloseAndUnloadInTheirOrders) {
  CoreInstall install;
  // Close orders: A 5, b 5, c 10, the rest 0; kilo comes before LogPI only
  // when case is ignored.
  for (const char* plugin :
       {"A.so", "b.so", "c.so", "kilo.so", "zz_last.so", "Host8.so", "LogPI.so"}) {
    install.addPlugin(std::string("host/") + plugin);
  }
  CoreProcess core(install);
  // The log plugin is opened at start-up, the one with id 6 before the rest.
  ASSERT_TRUE(core.awaitMessage("open kilo")) << diagnostics(core);
  EXPECT_EQ(core.skipped(),
            (Texts{"open LogPI", "open zz_last", "open A", "open b", "open c", "open Host8"}));

  // Events reach the plugins in the order of the list, the log plugin last.
  ASSERT_TRUE(core.send(command(IdA, "alarm\0ring"sv)));
  EXPECT_EQ(receiveMessages(core, 7),
            (Texts{"alarm zz_last ring", "alarm A ring", "alarm b ring", "alarm c ring",
                   "alarm Host8 ring", "alarm kilo ring", "alarm LogPI ring"}));

  ASSERT_TRUE(core.send(stopPacket()));
  ASSERT_EQ(core.waitForExit(), 0) << diagnostics(core);
  const auto lines = logLines(core.output());
  EXPECT_EQ(textsStartingWith(lines, {"Load", "Open", "Clos", "Unload"}),
            (Texts{
                "Load LogPI", "Open LogPI",
                "Load A", "Loaded plugin 21:A",
                "Load b", "Loaded plugin 22:b",
                "Load c", "Loaded plugin 23:c",
                "Load Host8", "Loaded plugin 08:Host8",
                "Load kilo", "Loaded plugin 29:kilo",
                "Load zz_last", "Loaded plugin 06:zz_last",
                "Opening 06:zz_last", "Open zz_last",
                "Opening 21:A", "Open A",
                "Opening 22:b", "Open b",
                "Opening 23:c", "Open c",
                "Opening 08:Host8", "Open Host8",
                "Opening 29:kilo", "Open kilo",
                // Id 8 goes first, by its destructor, without lines of the host.
                "Close Host8", "Unload Host8",
                // Larger close order first, ties by file name ignoring case.
                "Closing 23:c", "Close c",
                "Closing 21:A", "Close A",
                "Closing 22:b", "Close b",
                "Closing 29:kilo", "Close kilo",
                "Closing 25:LogPI", "Close LogPI",
                "Closing 06:zz_last", "Close zz_last",
                "Unloading 23:c", "Unload c",
                "Unloading 21:A", "Unload A",
                "Unloading 22:b", "Unload b",
                "Unloading 29:kilo", "Unload kilo",
                "Unloading 25:LogPI", "Unload LogPI",
                "Unloading 06:zz_last", "Unload zz_last",
            }))
      << diagnostics(core);

  for (const char* text : {"Loaded plugin 06:zz_last", "Opening 23:c", "Closing 21:A",
                           "Unloading 25:LogPI"}) {
    const LogLine line = lineWithText(lines, text);
    EXPECT_EQ(line.prefix, "core") << text;
    EXPECT_EQ(line.colour, InfoColour) << text;
  }
  // A plugin's lines carry its file stem in lower case.
  EXPECT_EQ(lineWithText(lines, "Open A").prefix, "a");
  EXPECT_EQ(lineWithText(lines, "Open zz_last").prefix, "zz_last");
  EXPECT_EQ(lineWithText(lines, "Unload Host8").prefix, "host8");
}

TEST(CoreHost, FailedCollidingAndHiddenPluginsAreReportedAndLeftOut) {
  CoreInstall install;
  install.addPlugin("host/A.so");
  install.addPlugin("host/Twin.so");  // id 21 as well
  install.addPlugin("host/CoreA.so");
  install.addPlugin("host/CoreB.so");  // no id either
  install.addPlugin("host/Host.Dotted.so");
  install.addPlugin("ProbeRefused.so");
  install.addPlugin("not_elf.so");
  // The protected b.so hides this one, which would say "c".
  install.addPlugin("host/c.so", "plugins", "b.so");
  install.addPlugin("host/b.so", "protected-plugins");
  // Only plugins/LogPI.so is the log plugin, and discovery skips it anywhere.
  install.addPlugin("host/LogPI.so", "protected-plugins");

  CoreProcess core(install);
  ASSERT_TRUE(core.awaitMessage("open Host.Dotted")) << diagnostics(core);
  EXPECT_EQ(core.skipped(), (Texts{"open A", "open b", "open CoreA"}));
  ASSERT_TRUE(core.send(stopPacket()));
  // Without a log plugin the core runs and stops all the same.
  ASSERT_EQ(core.waitForExit(), 0) << diagnostics(core);

  const auto lines = logLines(core.output());
  Texts texts = textsStartingWith(lines, {"Load", "Failed to load", "pluginId", "Open"});
  static const std::regex loaderRefusal(
      "Failed to load plugin not_elf\\.so: .*/bin/plugins/not_elf\\.so: invalid ELF header");
  for (std::string& text : texts) {
    if (std::regex_match(text, loaderRefusal)) text = "(loader refused not_elf.so)";
  }
  EXPECT_EQ(texts, (Texts{
                       "Load A", "Loaded plugin 21:A",
                       "Load b", "Loaded plugin 22:b",
                       "Load CoreA", "Loaded plugin 00:CoreA",
                       "Load CoreB",
                       "pluginId 00 already loaded from CoreA.so trying to load CoreB.so",
                       "Load Host.Dotted", "Loaded plugin 24:Host",
                       "(loader refused not_elf.so)",
                       "Failed to load plugin ProbeRefused.so: load code 7",
                       "Load Twin", "pluginId 21 already loaded from A.so trying to load Twin.so",
                       "Opening 21:A", "Open A",
                       "Opening 22:b", "Open b",
                       "Opening 00:CoreA", "Open CoreA",
                       "Opening 24:Host", "Open Host.Dotted",
                   }))
      << diagnostics(core);

  EXPECT_EQ(lineWithText(lines, "Failed to load plugin ProbeRefused.so: load code 7").colour,
            ErrorColour);
  const std::string collision = "pluginId 21 already loaded from A.so trying to load Twin.so";
  EXPECT_EQ(lineWithText(lines, collision).colour, WarningColour);
  // The display name ends at the first dot, the prefix is the whole stem.
  EXPECT_EQ(lineWithText(lines, "Open Host.Dotted").prefix, "host.dotted");
  // A plugin without an id takes over the core's name: from then on the
  // core's own lines carry its prefix.
  EXPECT_EQ(lineWithText(lines, "Loaded plugin 00:CoreA").prefix, "core");
  EXPECT_EQ(lineWithText(lines, "Opening 24:Host").prefix, "corea");
}

// The number in a line such as "stray decrefs 1234 StrayD" or "decref
// ignored 1,000 times: 2b:StrayD"; digit groups may be separated by commas.
uint32_t numberIn(std::string_view text) {
  uint32_t value = 0;
  for (const char c : text.substr(0, text.find_first_not_of("0123456789,"))) {
    if (c != ',') value = value * 10 + static_cast<uint32_t>(c - '0');
  }
  return value;
}

// Stray decrefs from three plugins' own threads, posted from their Open to
// their Close while the core starts and stops around them: each plugin's
// first is reported in full, then its running total at every power of ten.
TEST(CoreHost, StrayDecrefsFromPluginThreadsAreReportedWithoutFloodingTheLog) {
  const std::vector<std::pair<std::string, std::string>> strays = {
      {"StrayD", "2b"}, {"StrayE", "2c"}, {"StrayF", "2d"}};
  for (int round = 0; round < 4; ++round) {
    CoreInstall install;
    for (const char* plugin : {"host/A.so", "host/b.so", "host/c.so"}) install.addPlugin(plugin);
    for (const auto& [name, id] : strays) install.addPlugin("host/" + name + ".so");
    CoreProcess core(install);
    // Stopped during start-up in even rounds, once running in odd ones.
    if (round % 2 == 1) {
      ASSERT_TRUE(core.awaitMessage("open StrayF")) << diagnostics(core);
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    ASSERT_TRUE(core.send(stopPacket()));
    ASSERT_EQ(core.waitForExit(), 0) << "round " << round << "\n" << diagnostics(core);

    const auto lines = logLines(core.output());
    for (const auto& [name, id] : strays) {
      const Texts posted = textsStartingWith(lines, {"stray decrefs "});
      const auto own = std::find_if(posted.begin(), posted.end(), [&](const std::string& text) {
        return text.ends_with(" " + name);
      });
      ASSERT_NE(own, posted.end()) << diagnostics(core);
      // Stopped during start-up, a plugin may be closed before it posted any.
      const uint32_t count = numberIn(std::string_view(*own).substr(14));
      const std::string first = "decref ignored: " + id + ":" + name +
                                " holds no kept reference to payload 0x";
      const std::string totalEnd = " times: " + id + ":" + name;
      std::vector<uint32_t> totals;
      size_t firsts = 0;
      for (const LogLine& line : lines) {
        if (line.text.starts_with(first)) ++firsts;
        if (line.text.starts_with("decref ignored ") && line.text.ends_with(totalEnd)) {
          totals.push_back(numberIn(std::string_view(line.text).substr(15)));
        }
      }
      std::vector<uint32_t> powers;
      for (uint32_t power = 10; power <= count; power *= 10) powers.push_back(power);
      EXPECT_EQ(firsts, count == 0 ? 0u : 1u) << name << "\n" << diagnostics(core);
      EXPECT_EQ(totals, powers) << name << " posted " << count;
    }
  }
}

TEST(CoreHost, WithoutDescriptorPluginsAreOpenedAndClosedAtOnce) {
  CoreInstall install;
  install.addPlugin("host/A.so");
  CoreOptions options;
  options.withChannel = false;
  CoreProcess core(install, options);
  ASSERT_EQ(core.waitForExit(), 0) << diagnostics(core);
  const auto lines = logLines(core.output());
  EXPECT_EQ(countText(lines, "trovisd ipc pipe disconnected"), 1u) << diagnostics(core);
  EXPECT_EQ(textsStartingWith(lines, {"Open", "Clos", "Unload"}),
            // A missing log plugin is listed all the same, with no id.
            (Texts{"Opening 21:A", "Open A", "Closing 21:A", "Close A", "Closing 00:LogPI",
                   "Unloading 21:A", "Unload A", "Unloading 00:LogPI"}))
      << diagnostics(core);
}

TEST(IpcChannel, PacketsReachTheAddressedPluginWhole) {
  CoreInstall install;
  install.addPlugin("host/A.so");
  install.addPlugin("host/c.so");
  CoreProcess core(install);
  ASSERT_TRUE(core.awaitMessage("open c")) << diagnostics(core);

  // Bits 20..27 of the address word choose the plugin; the others do not count.
  const std::string toC =
      ipcPacket((1u << 28) | addressOf(0x23) | 0x5a5a5, KindData, "echo\0xyz"sv, 0xdeadbeef);
  ASSERT_TRUE(core.send(toC));
  ASSERT_EQ(core.receive(), "c:" + toC) << diagnostics(core);

  // A packet for a plugin that is not there goes nowhere.
  ASSERT_TRUE(core.send(command(0x7f, "echo")));
  const std::string toA = command(IdA, "echo\0one"sv);
  ASSERT_TRUE(core.send(toA));
  ASSERT_EQ(core.receive(), "A:" + toA) << diagnostics(core);

  // Two packets in one message, and one packet in two messages.
  const std::string second = command(IdA, "echo\0two"sv);
  ASSERT_TRUE(core.send(toA + second));
  ASSERT_EQ(core.receive(), "A:" + toA) << diagnostics(core);
  ASSERT_EQ(core.receive(), "A:" + second) << diagnostics(core);
  ASSERT_TRUE(core.send(second.substr(0, 10)));
  ASSERT_TRUE(core.send(second.substr(10)));
  ASSERT_EQ(core.receive(), "A:" + second) << diagnostics(core);

  // The largest packet there is.
  std::string words = "digest\0"s;
  words += alphabet(65536 - 16 - words.size());
  const std::string largest = command(IdA, words);
  ASSERT_EQ(largest.size(), 65536u);
  ASSERT_TRUE(core.send(largest));
  ASSERT_EQ(core.receive(), "digest A 65536 " + std::to_string(fnv1a(largest)))
      << diagnostics(core);

  // A null record from a plugin is refused, and the core carries on.
  ASSERT_TRUE(core.send(command(IdA, "null")));
  ASSERT_TRUE(core.send(toA));
  ASSERT_EQ(core.receive(), "A:" + toA) << diagnostics(core);

  ASSERT_TRUE(core.send(stopPacket()));
  EXPECT_EQ(core.waitForExit(), 0) << diagnostics(core);
  EXPECT_EQ(countText(logLines(core.output()), "null record answered 1 A"), 1u)
      << diagnostics(core);
}

TEST(IpcChannel, BadLengthsAreDiscardedAndTheChannelRecovers) {
  CoreInstall install;
  install.addPlugin("host/A.so");
  CoreProcess core(install);
  ASSERT_TRUE(core.awaitMessage("open A")) << diagnostics(core);

  // Had the core taken one of these as the start of a longer packet, or spun
  // on it, the echo behind it would not come back.
  for (const uint32_t length : {65537u, 0u, 5u}) {
    ASSERT_TRUE(core.send(ipcPacketWithLength(length, addressOf(IdA), KindData, "echo")));
    const std::string echo = command(IdA, "echo\0after "s + std::to_string(length));
    ASSERT_TRUE(core.send(echo));
    ASSERT_EQ(core.receive(), "A:" + echo) << "after length " << length << diagnostics(core);
  }

  ASSERT_TRUE(core.send(stopPacket()));
  ASSERT_EQ(core.waitForExit(), 0) << diagnostics(core);
  const auto lines = logLines(core.output());
  EXPECT_EQ(countText(lines, "bad ipc packet length"), 3u) << diagnostics(core);
  EXPECT_EQ(lineWithText(lines, "bad ipc packet length").colour, WarningColour);
}

TEST(IpcChannel, BackgroundIdentificationSilencesAllLaterLines) {
  CoreInstall install;
  install.addPlugin("host/A.so");
  CoreProcess core(install);
  ASSERT_TRUE(core.awaitMessage("open A")) << diagnostics(core);

  // Only the third string says background.
  ASSERT_TRUE(core.send(ipcPacket(0, KindIdentify, "trovisd\0Background:true\0x\0"sv)));
  ASSERT_TRUE(core.send(command(IdA, "log\0" "25\0still shown"sv)));
  ASSERT_TRUE(core.send(command(IdA, "post\0first done"sv)));
  ASSERT_TRUE(core.awaitMessage("first done")) << diagnostics(core);

  ASSERT_TRUE(core.send(ipcPacket(0, KindIdentify, "a\0b\0Background:true\0"sv)));
  ASSERT_TRUE(core.send(command(IdA, "log\0" "50\0not shown"sv)));
  ASSERT_TRUE(core.send(command(IdA, "post\0second done"sv)));
  ASSERT_TRUE(core.awaitMessage("second done")) << diagnostics(core);

  ASSERT_TRUE(core.send(stopPacket()));
  ASSERT_EQ(core.waitForExit(), 0) << diagnostics(core);
  const auto lines = logLines(core.output());
  EXPECT_EQ(textsStartingWith(lines, {"Open", "still", "not", "Clos", "Unload"}),
            (Texts{"Opening 21:A", "Open A", "still shown"}))
      << diagnostics(core);
}

TEST(IpcChannel, PluginIpcEventsLeaveInOrderAsSeparateMessages) {
  CoreInstall install;
  install.addPlugin("host/A.so");
  CoreProcess core(install);
  ASSERT_TRUE(core.awaitMessage("open A")) << diagnostics(core);

  ASSERT_TRUE(core.send(command(IdA, "post\0first\0\0third\0*100000\0last"sv)));
  const Texts received = receiveMessages(core, 6);
  ASSERT_EQ(received.size(), 6u) << diagnostics(core);
  // The empty payload is an empty message of its own (the core is still
  // there, so the zero-length read is not the end of the stream); a payload
  // above 64 KiB leaves as 64 KiB messages and the rest.
  const std::string large = alphabet(100000);
  const Texts expected{"first", "", "third", large.substr(0, 65536), large.substr(65536), "last"};
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(received[i].size(), expected[i].size()) << "message " << i;
    EXPECT_TRUE(received[i] == expected[i]) << "message " << i << " starts "
                                            << received[i].substr(0, 40);
  }

  ASSERT_TRUE(core.send(stopPacket()));
  EXPECT_EQ(core.waitForExit(), 0) << diagnostics(core);
}

TEST(IpcChannel, FailedWriteDoesNotStopTheNext) {
  CoreInstall install;
  install.addPlugin("host/A.so");
  // With a send buffer this small the core's socket refuses a 60000-byte
  // message (EMSGSIZE) instead of sending it.
  CoreOptions options;
  options.coreSendBuffer = 4096;
  CoreProcess core(install, options);
  ASSERT_TRUE(core.awaitMessage("open A")) << diagnostics(core);

  ASSERT_TRUE(core.send(command(IdA, "post\0*60000\0after the failed one"sv)));
  ASSERT_EQ(core.receive(), "after the failed one") << diagnostics(core);
  ASSERT_TRUE(core.send(command(IdA, "post\0and one more"sv)));
  ASSERT_EQ(core.receive(), "and one more") << diagnostics(core);

  ASSERT_TRUE(core.send(stopPacket()));
  EXPECT_EQ(core.waitForExit(), 0) << diagnostics(core);
}

TEST(IpcChannel, EndOfStreamStopsTheCoreInOrder) {
  CoreInstall install;
  install.addPlugin("host/A.so");
  CoreProcess core(install);
  ASSERT_TRUE(core.awaitMessage("open A")) << diagnostics(core);

  core.closeChannel();
  ASSERT_EQ(core.waitForExit(), 0) << diagnostics(core);
  const auto lines = logLines(core.output());
  EXPECT_EQ(textsStartingWith(lines, {"trovisd", "Clos", "Unload"}),
            (Texts{"trovisd ipc pipe disconnected", "Closing 21:A", "Close A", "Closing 00:LogPI",
                   "Unloading 21:A", "Unload A", "Unloading 00:LogPI"}))
      << diagnostics(core);
  EXPECT_EQ(lineWithText(lines, "trovisd ipc pipe disconnected").colour, CriticalColour);
}

TEST(IpcChannel, ReceiveErrorTakesTheDisconnectPath) {
  if (const std::string reason = straceUnavailable(); !reason.empty()) GTEST_SKIP() << reason;
  CoreInstall install;
  install.addPlugin("host/A.so");
  // Receives are recvmsg calls on the I/O thread: the first finds nothing yet
  // (it is armed before any plugin is open), the second takes the packet
  // below, and the third fails.
  CoreOptions options;
  options.wrapper =
      straceWrapper({"-f", "-o", "/dev/null", "-e", "inject=recvmsg:error=ECONNRESET:when=3+"});
  CoreProcess core(install, options);
  ASSERT_TRUE(core.awaitMessage("open A")) << diagnostics(core);
  ASSERT_TRUE(core.send(command(IdA, "log\0" "25\0packet received"sv)));

  // The parent's end stays open: only the failed receive can stop the core.
  ASSERT_EQ(core.waitForExit(), 0) << diagnostics(core);
  const auto lines = logLines(core.output());
  EXPECT_EQ(textsStartingWith(lines, {"packet", "trovisd", "Clos", "Unload"}),
            (Texts{"packet received", "trovisd ipc pipe disconnected", "Closing 21:A", "Close A",
                   "Closing 00:LogPI", "Unloading 21:A", "Unload A", "Unloading 00:LogPI"}))
      << diagnostics(core);
}

// Sends `number` and waits until a handler of the process has taken it.
bool deliverSignal(CoreProcess& core, int number) {
  core.signal(number);
  const uint64_t bit = uint64_t{1} << (number - 1);
  const auto deadline = std::chrono::steady_clock::now() + ProcessDeadline;
  while (!signalsTaken(core.pid(), bit)) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

TEST(Shutdown, RepeatedSigtermDoesNotInterruptTheOrderlySequence) {
  CoreInstall install;
  install.addPlugin("host/A.so");
  install.addPlugin("host/Lingering.so");  // its Close waits for a release packet
  CoreProcess core(install);
  ASSERT_TRUE(core.awaitMessage("open Lingering")) << diagnostics(core);

  core.signal(SIGTERM);
  ASSERT_TRUE(core.awaitMessage("closing Lingering")) << diagnostics(core);
  ASSERT_TRUE(deliverSignal(core, SIGTERM));
  ASSERT_TRUE(deliverSignal(core, SIGTERM));
  ASSERT_TRUE(core.send(command(IdLingering, "release")));

  ASSERT_EQ(core.waitForExit(), 0) << diagnostics(core);
  const auto lines = logLines(core.output());
  EXPECT_EQ(textsStartingWith(lines, {"Clos", "Unload"}),
            (Texts{"Closing 21:A", "Close A", "Closing 27:Lingering", "Close Lingering",
                   "Closing 00:LogPI", "Unloading 21:A", "Unload A", "Unloading 27:Lingering",
                   "Unload Lingering", "Unloading 00:LogPI"}))
      << diagnostics(core);
}

// Asks plugin `requester` for a search that `searcher` serves in an OnSearch
// that waits for its Close, stops the core once it runs, and returns how long
// the core took to end after that.
std::chrono::milliseconds stopDuringSearch(CoreProcess& core, const std::string& searcher,
                                           uint8_t requester = IdA) {
  EXPECT_TRUE(core.send(command(requester, "search\0" "77\0find me"sv)));
  EXPECT_TRUE(core.awaitMessage("search-start " + searcher + " 77 find me")) << diagnostics(core);
  const auto stopped = std::chrono::steady_clock::now();
  EXPECT_TRUE(core.send(stopPacket()));
  EXPECT_EQ(core.waitForExit(), 0) << diagnostics(core);
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               stopped);
}

TEST(Shutdown, SearchStillRunningIsWaitedForBeforeItsPluginIsUnloaded) {
  CoreInstall install;
  install.addPlugin("host/A.so");
  install.addPlugin("host/Searcher.so");  // its OnSearch runs until it is closed
  CoreProcess core(install);
  ASSERT_TRUE(core.awaitMessage("open Searcher")) << diagnostics(core);
  stopDuringSearch(core, "Searcher");
  const auto lines = logLines(core.output());
  EXPECT_EQ(textsStartingWith(lines,
                              {"Close Searcher", "search", "Unload Searcher", "Unload while"}),
            (Texts{"Close Searcher", "search-returned Searcher", "Unload Searcher"}))
      << diagnostics(core);
  EXPECT_EQ(lineWithText(lines, "search-returned Searcher").prefix, "searcher");
}

// A plugin reporting id 8 stays open while the others close; unless it is the
// log plugin it is closed at once, so that its search can return.
TEST(Shutdown, IdEightPluginStillSearchingIsClosedAtOnceAndUnloadedWhenItReturns) {
  CoreInstall install;
  install.addPlugin("host/A.so");
  install.addPlugin("host/Search8.so");
  CoreProcess core(install);
  ASSERT_TRUE(core.awaitMessage("open Search8")) << diagnostics(core);
  EXPECT_LT(stopDuringSearch(core, "Search8"), std::chrono::seconds(2)) << diagnostics(core);
  const auto lines = logLines(core.output());
  EXPECT_EQ(textsStartingWith(lines, {"Close", "search", "Unload Search8", "Stopped"}),
            (Texts{"Close Search8", "Close A", "search-returned Search8", "Unload Search8"}))
      << diagnostics(core);
}

// The log plugin stays open to the end, so a search of its own that waits for
// its Close is given up on; and what it posts after the I/O loop has stopped
// is refused.
TEST(Shutdown, LogPluginWithIdEightIsGivenUpOnWhileSearchingAndRefusedIpcOnceIoHasStopped) {
  CoreInstall install;
  install.addPlugin("host/Watcher.so");
  install.addPlugin("host/LogEight.so", "plugins", "LogPI.so");
  {
    CoreProcess core(install);
    // The log plugin joins the list once the others are open, before the
    // configuration document is published.
    std::optional<std::string> message;
    while ((message = core.receive()) && !message->starts_with("config ")) {}
    ASSERT_TRUE(message) << diagnostics(core);
    EXPECT_LT(stopDuringSearch(core, "LogEight", IdWatcher), std::chrono::seconds(2))
        << diagnostics(core);
    const auto lines = logLines(core.output());
    const LogLine gaveUp = lineWithText(lines, "Stopped waiting for the search of 08:LogPI");
    EXPECT_EQ(gaveUp.colour, WarningColour) << diagnostics(core);
  }
  CoreProcess core(install);
  ASSERT_TRUE(core.awaitMessage("open Watcher")) << diagnostics(core);
  ASSERT_TRUE(core.send(stopPacket()));
  ASSERT_EQ(core.waitForExit(), 0) << diagnostics(core);
  const auto lines = logLines(core.output());
  EXPECT_EQ(textsStartingWith(lines, {"Close LogEight", "close ipc", "Unload LogEight"}),
            (Texts{"Close LogEight", "close ipc answered 1 LogEight", "Unload LogEight"}))
      << diagnostics(core);
}

// Configuration: the Watcher plugin passes every configuration document of
// the core on to the parent as "config <document>".

// Load and open times differ from run to run: blanked as "#".
std::string blankTimes(const std::string& text) {
  static const std::regex times("((?:Total)?(?:Load|Open)TimeMs)=\"[0-9]+\"");
  return std::regex_replace(text, times, "$1=\"#\"");
}

// The next configuration document the Watcher passed on, times blanked.
std::optional<std::string> nextConfig(CoreProcess& core) {
  while (auto message = core.receive()) {
    if (message->starts_with("config ")) return blankTimes(message->substr(7));
  }
  return std::nullopt;
}

// Has the Watcher post an XML "config" record of `type`.
std::string configCommand(uint32_t type, const std::string& xml) {
  return command(IdWatcher, "config\0"s + std::to_string(type) + '\0' + xml);
}

// A delta setting the core's threshold and the Watcher's.
std::string logLevelDelta(int coreLevel, int watcherLevel) {
  return "<?xml?><qDVR><Modules Delta=\"1\"><Module>"
         "<Plugin ID=\"-2147483648\" LogLevel=\"" + std::to_string(coreLevel) + "\"/>"
         "<Plugin ID=\"2752512\" LogLevel=\"" + std::to_string(watcherLevel) + "\"/>"
         "</Module></Modules></qDVR>";
}

std::optional<std::string> fileText(const std::filesystem::path& path) {
  if (!std::filesystem::exists(path)) return std::nullopt;
  std::stringstream bytes;
  bytes << std::ifstream(path, std::ios::binary).rdbuf();
  return bytes.str();
}

// The core's Plugin element, then the Watcher's and the log plugin's.
std::vector<std::string> watcherPlugins(const std::string& coreLevel,
                                        const std::string& watcherLevel) {
  return {"<Plugin ID=\"-2147483648\" Filename=\"trovis-core\" Opened=\"1\" LoadTimeMs=\"#\" "
          "OpenTimeMs=\"#\" OpenCode=\"0\" LogLevel=\"" + coreLevel + "\" LogLevelDefault=\"-1\"/>",
          "<Plugin ID=\"2752512\" Filename=\"Watcher.so\" Opened=\"1\" LoadTimeMs=\"#\" "
          "OpenTimeMs=\"#\" OpenCode=\"0\" LogLevel=\"" + watcherLevel + "\" LogLevelDefault=\"-1\"/>",
          "<Plugin ID=\"2424832\" Filename=\"LogPI.so\" Opened=\"1\" LoadTimeMs=\"#\" "
          "OpenTimeMs=\"#\" OpenCode=\"0\" LogLevel=\"-1\" LogLevelDefault=\"-1\"/>"};
}

// The published and the saved text of a document with default memory
// settings, the given core Plugin elements and nothing else.
std::pair<std::string, std::string> documentTexts(const std::vector<std::string>& plugins) {
  std::string event =
      "<?xml?><qDVR><Memory ID=\"-2147483648\" Throttling=\"1\" MaxGopLen=\"1050\"/>"
      "<Modules TotalLoadTimeMs=\"#\" TotalOpenTimeMs=\"#\">"
      "<Module ID=\"-2147483648\" Name=\"Core\" Version=\"26.2.3.0\">";
  std::string file =
      "<?xml?>\n<qDVR>\n\t<Memory ID=\"-2147483648\" Throttling=\"1\" MaxGopLen=\"1050\"/>\n"
      "\t<Modules TotalLoadTimeMs=\"#\" TotalOpenTimeMs=\"#\">\n"
      "\t\t<Module ID=\"-2147483648\" Name=\"Core\" Version=\"26.2.3.0\">\n";
  for (const std::string& plugin : plugins) {
    event += plugin;
    file += "\t\t\t" + plugin + "\n";
  }
  event += "</Module></Modules><Product Family=\"Trovis\" Version=\"26.2.3.0\"/></qDVR>";
  file += "\t\t</Module>\n\t</Modules>\n</qDVR>\n\n";
  return {event, file};
}

size_t countOf(const std::string& text, std::string_view part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

TEST(CoreConfiguration, FirstStartDefaultsAndTheNextStartReadsBackWhatWasSaved) {
  CoreInstall install;
  install.addPlugin("host/Watcher.so");
  install.addPlugin("host/LogPI.so");
  const auto defaults = documentTexts(watcherPlugins("-1", "-1"));
  const auto changed = documentTexts(watcherPlugins("0", "60"));
  const std::filesystem::path saved = install.workDir() / "core.xml";
  {
    CoreProcess core(install);
    ASSERT_EQ(nextConfig(core), defaults.first) << diagnostics(core);
    ASSERT_TRUE(core.send(configCommand(256, logLevelDelta(0, 60))));
    ASSERT_EQ(nextConfig(core), changed.first) << diagnostics(core);
    ASSERT_TRUE(core.send(stopPacket()));
    ASSERT_EQ(core.waitForExit(), 0) << diagnostics(core);
    // The reason, then "Config defaulted" on a line of its own.
    EXPECT_EQ(countOf(core.output(), "Config defaulted"), 1u) << diagnostics(core);
    const LogLine reason = lineWithText(logLines(core.output()),
                                        "Failed to open core.xml - No such file or directory");
    EXPECT_EQ(reason.colour, ErrorColour) << diagnostics(core);
    EXPECT_NE(core.output().find(reason.text + "\nConfig defaulted\n"), std::string::npos);
  }
  // In the working directory, not beside the executable; for the owner only.
  ASSERT_EQ(blankTimes(fileText(saved).value_or("(absent)")), changed.second);
  EXPECT_FALSE(std::filesystem::exists(install.root() / "bin" / "core.xml"));
  EXPECT_FALSE(std::filesystem::exists(install.workDir() / "core.xml.pending"));
  struct stat status {};
  ASSERT_EQ(stat(saved.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600u);

  CoreProcess again(install);
  EXPECT_EQ(nextConfig(again), changed.first) << diagnostics(again);
  ASSERT_TRUE(again.send(stopPacket()));
  ASSERT_EQ(again.waitForExit(), 0) << diagnostics(again);
  EXPECT_EQ(countOf(again.output(), "Config defaulted"), 0u) << diagnostics(again);
  EXPECT_EQ(blankTimes(fileText(saved).value_or("(absent)")), changed.second);
}

TEST(CoreConfiguration, OnlyAPlainConfigRecordThatChangesAThresholdRepublishes) {
  CoreInstall install;
  install.addPlugin("host/Watcher.so");
  install.addPlugin("host/LogPI.so");
  CoreProcess core(install);
  ASSERT_EQ(nextConfig(core), documentTexts(watcherPlugins("-1", "-1")).first)
      << diagnostics(core);

  // Had any of the first three republished, its document would come first.
  ASSERT_TRUE(core.send(configCommand(0x4100, logLevelDelta(70, 70))));
  ASSERT_TRUE(core.send(configCommand(256, logLevelDelta(-1, -1))));
  ASSERT_TRUE(core.send(configCommand(256, "<?xml?><qDVR><Modules Delta=\"1\"><Module>"
                                           "<Plugin ID=\"2752512\" LogLevel=\"80\"/>")));
  ASSERT_TRUE(core.send(configCommand(256, logLevelDelta(-5, 40))));
  EXPECT_EQ(nextConfig(core), documentTexts(watcherPlugins("-1", "40")).first)
      << diagnostics(core);

  ASSERT_TRUE(core.send(stopPacket()));
  ASSERT_EQ(core.waitForExit(), 0) << diagnostics(core);
  const LogLine broken = lineWithText(
      logLines(core.output()), "config delta from Watcher ignored: unexpected end of data");
  EXPECT_EQ(broken.colour, WarningColour) << diagnostics(core);
}

TEST(CoreConfiguration, ProductParentAndFailedPluginsAreReported) {
  CoreInstall install;
  for (const char* plugin : {"host/A.so", "host/b.so", "host/Watcher.so", "ProbeRefused.so",
                             "host/LogPI.so"}) {
    install.addPlugin(plugin);
  }
  std::ofstream(install.workDir() / "product.xml") << "<?xml?><Product Version=\"7.1\"/>";
  CoreProcess core(install);
  const std::optional<std::string> first = nextConfig(core);
  ASSERT_TRUE(first) << diagnostics(core);
  EXPECT_EQ(first->find("<Library"), std::string::npos);

  // The identity arrives after the first publication: a delta republishes.
  ASSERT_TRUE(core.send(ipcPacket(0, KindIdentify, "trovisd-bin\0" "9.8.7\0"sv)));
  ASSERT_TRUE(core.send(configCommand(256, logLevelDelta(-1, 10))));
  const std::string plugins =
      "<Plugin ID=\"-2147483648\" Filename=\"trovis-core\" Opened=\"1\" LoadTimeMs=\"#\" "
      "OpenTimeMs=\"#\" OpenCode=\"0\" LogLevel=\"-1\" LogLevelDefault=\"-1\"/>"
      "<Plugin ID=\"2162688\" Filename=\"A.so\" Opened=\"1\" LoadTimeMs=\"#\" OpenTimeMs=\"#\" "
      "OpenCode=\"0\" LogLevel=\"-1\" LogLevelDefault=\"-1\"/>"
      "<Plugin ID=\"2228224\" Filename=\"b.so\" Opened=\"1\" LoadTimeMs=\"#\" OpenTimeMs=\"#\" "
      "OpenCode=\"0\" LogLevel=\"-1\" LogLevelDefault=\"-1\"/>"
      "<Plugin ID=\"2752512\" Filename=\"Watcher.so\" Opened=\"1\" LoadTimeMs=\"#\" "
      "OpenTimeMs=\"#\" OpenCode=\"0\" LogLevel=\"10\" LogLevelDefault=\"-1\"/>"
      "<Plugin ID=\"2424832\" Filename=\"LogPI.so\" Opened=\"1\" LoadTimeMs=\"#\" "
      "OpenTimeMs=\"#\" OpenCode=\"0\" LogLevel=\"-1\" LogLevelDefault=\"-1\"/>"
      "<Library Name=\"trovisd\" Filename=\"trovisd-bin\" Version=\"9.8.7\"/>"
      "<Plugin ID=\"1\" Filename=\"ProbeRefused.so\" Opened=\"1\" LoadTimeMs=\"#\" "
      "OpenTimeMs=\"#\" OpenCode=\"7\" LogLevel=\"-1\" LogLevelDefault=\"-1\"/>";
  EXPECT_EQ(nextConfig(core),
            "<?xml?><qDVR><Memory ID=\"-2147483648\" Throttling=\"1\" MaxGopLen=\"1050\"/>"
            "<Modules TotalLoadTimeMs=\"#\" TotalOpenTimeMs=\"#\">"
            "<Module ID=\"-2147483648\" Name=\"Core\" Version=\"7.1\">" +
                plugins +
                "</Module><Module ID=\"1\" Name=\"ProbeRefused\" Version=\"load code 7\"/>"
                "</Modules><Product Family=\"\" Version=\"7.1\"/></qDVR>")
      << diagnostics(core);

  ASSERT_TRUE(core.send(stopPacket()));
  ASSERT_EQ(core.waitForExit(), 0) << diagnostics(core);
  const std::optional<std::string> saved = fileText(install.workDir() / "core.xml");
  ASSERT_TRUE(saved);
  EXPECT_EQ(saved->find("Product"), std::string::npos);
  EXPECT_NE(saved->find("\t\t\t<Library Name=\"trovisd\" Filename=\"trovisd-bin\" "
                        "Version=\"9.8.7\"/>\n"),
            std::string::npos);
}

TEST(CoreConfiguration, SaveThatCannotWriteIsLoggedAndLeavesTheOldFile) {
  if (const std::string reason = straceUnavailable(); !reason.empty()) GTEST_SKIP() << reason;
  const std::string old =
      "<?xml?>\n<qDVR>\n\t<Memory ID=\"-2147483648\" Throttling=\"1\" MaxGopLen=\"900\"/>\n"
      "</qDVR>\n\n";
  for (const auto& [error, text] : {std::pair{"ENOSPC", "No space left on device"},
                                    std::pair{"EIO", "Input/output error"}}) {
    CoreInstall install;
    install.addPlugin("host/Watcher.so");
    std::ofstream(install.workDir() / "core.xml") << old;
    CoreOptions options;
    // Only writes to the pending file fail.
    options.wrapper = straceWrapper({"-f", "-o", "/dev/null", "-P",
                                     (install.workDir() / "core.xml.pending").string(), "-e",
                                     "trace=write", "-e", "inject=write:error="s + error});
    CoreProcess core(install, options);
    const std::optional<std::string> published = nextConfig(core);
    ASSERT_TRUE(published) << diagnostics(core);
    EXPECT_NE(published->find("MaxGopLen=\"900\""), std::string::npos) << *published;
    ASSERT_TRUE(core.send(stopPacket()));
    ASSERT_EQ(core.waitForExit(), 0) << diagnostics(core);
    const LogLine failure = lineWithText(logLines(core.output()),
                                         "Failed to write core.xml.pending - "s + text);
    EXPECT_EQ(failure.colour, ErrorColour) << error << diagnostics(core);
    EXPECT_EQ(fileText(install.workDir() / "core.xml"), old) << error;
  }
}

}  // namespace
}  // namespace trv::test
