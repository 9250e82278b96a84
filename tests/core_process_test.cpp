// The running core as a whole: trovis-core started on a real socketpair with
// real plugins beside it, seen through its command line, its log lines, its
// packets to the parent, its files and its exit status.
#include "core_process.h"

#include <signal.h>

#include <fstream>
#include <regex>

#include <gtest/gtest.h>

namespace trv::test {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;
using namespace std::string_view_literals;
using Hosts = std::initializer_list<std::string_view>;

// The host plugins' ids: HOST_ORIGIN >> 16 in tests/test_plugins/CMakeLists.txt.
constexpr uint8_t IdA = 0x21, IdLingering = 0x27, IdHolding = 0x28, IdWatcher = 0x2A;

std::string report(const ChildProcess& core) { return core.output() + "stderr:\n" + core.errors(); }

// A command for a host plugin (see host_plugin.cpp) as a data packet.
std::string command(uint8_t pluginId, std::string_view words) {
  return ipcPacket(packetAddress(pluginId), KindData, words);
}

CoreInstall installWith(Hosts hosts) {
  CoreInstall install;
  for (const auto name : hosts) install.addPlugin("host/" + std::string(name) + ".so");
  return install;
}

// The core with these host plugins, in an installation of its own.
CoreProcess coreWith(Hosts hosts, const Texts& wrapper = {}, int coreSendBuffer = 0) {
  return CoreProcess(installWith(hosts), wrapper, coreSendBuffer);
}

// Stops the core with the stop packet: its output once it has exited 0.
std::string stopped(CoreProcess& core) {
  EXPECT_TRUE(core.send(ipcPacket(0, KindStop, "")));
  EXPECT_EQ(core.waitForExit(), 0) << report(core);
  return core.output();
}

// A field of /proc/<pid>/status.
std::string statusField(pid_t pid, const std::string& field) {
  const auto text = readFile("/proc/" + std::to_string(pid) + "/status").value_or("");
  std::smatch match;
  return std::regex_search(text, match, std::regex("\n" + field + ":\t(.*)")) ? match.str(1) : "";
}

TEST(CommandLine, HelpComesFirstTheDescriptorEndsTheScanAndWithoutOneTheCoreStartsAndStops) {
  const CoreInstall install = installWith({"A"});
  const std::string help =
      "core version 26.2.3.0\nUsage: " + install.executable().string() + " <pipe>\n";
  const struct { Texts args; int status; std::string errorsEnd; Texts lines; } cases[] = {
      {{"-h", "5"}, 0, help, {}}, {{"-x", "-hello"}, 0, help, {}},
      // Descriptors 5 and 77 are not open in the child; the -h behind 5 is not looked at.
      {{"5", "-h"}, 2, "failed to initialize core\n", {"C core: failed to open ipc pipe"}},
      {{"--help", "77"}, 2, "failed to initialize core\n", {"C core: failed to open ipc pipe"}},
      // The plugins are opened and closed at once; the missing log plugin is
      // listed all the same, with no id.
      {{}, 0, "", {"I core: Opening 21:A", "I a: Open A", "I core: Closing 21:A", "I a: Close A",
                   "I core: Closing 00:LogPI", "I core: Unloading 21:A", "I a: Unload A",
                   "I core: Unloading 00:LogPI"}}};
  for (const auto& [args, status, errorsEnd, lines] : cases) {
    ChildProcess core(emulatedCommand(install.executable(), args), install.workDir());
    EXPECT_EQ(core.waitForExit(), status) << report(core);
    // The shell may first complain of a missing device identity script.
    EXPECT_TRUE(core.errors().ends_with(errorsEnd)) << core.errors();
    EXPECT_EQ(logged(core.output(), {"failed", "Open", "Clos", "Unload"}), lines);
    // Without a descriptor the I/O thread finds the channel gone, at any point.
    EXPECT_EQ(logged(core.output(), {"trovisd ipc pipe"}).size(), args.empty() ? 1u : 0u);
  }
}

// Close orders: A 5, b 5, c 10, the rest 0. The log plugin is opened at
// start-up and joins the list last; the one with id 6 comes first. Id 8 goes
// first, by its destructor, without lines of the host; then the larger close
// order, ties by file name ignoring case. Lines carry the file stem in lower
// case once the plugin is loaded.
TEST(CoreHost, PluginsLoadOpenCloseAndUnloadInTheirOrders) {
  CoreProcess core = coreWith({"A", "b", "c", "kilo", "zz_last", "Host8", "LogPI"});
  EXPECT_EQ(core.awaitMessage("open kilo"),
            (Texts{"open LogPI", "open zz_last", "open A", "open b", "open c", "open Host8"}));
  EXPECT_EQ(logged(stopped(core), {"Loaded", "Clos", "Unload"}),
            (Texts{"I core: Loaded plugin 21:A", "I core: Loaded plugin 22:b",
                   "I core: Loaded plugin 23:c", "I core: Loaded plugin 08:Host8",
                   "I core: Loaded plugin 29:kilo", "I core: Loaded plugin 06:zz_last",
                   "I host8: Close Host8", "I host8: Unload Host8", "I core: Closing 23:c",
                   "I c: Close c", "I core: Closing 21:A", "I a: Close A", "I core: Closing 22:b",
                   "I b: Close b", "I core: Closing 29:kilo", "I kilo: Close kilo",
                   "I core: Closing 25:LogPI", "I PI25: Close LogPI", "I core: Closing 06:zz_last",
                   "I zz_last: Close zz_last", "I core: Unloading 23:c", "I c: Unload c",
                   "I core: Unloading 21:A", "I a: Unload A", "I core: Unloading 22:b",
                   "I b: Unload b", "I core: Unloading 29:kilo", "I kilo: Unload kilo",
                   "I core: Unloading 25:LogPI", "I PI25: Unload LogPI",
                   "I core: Unloading 06:zz_last", "I zz_last: Unload zz_last"}));
}

// Twin has id 21 as A has, CoreB no id as CoreA has none; the protected b.so
// hides the plain one (a copy of c.so); only plugins/LogPI.so is the log
// plugin, and discovery skips the name anywhere. The display name ends at the
// first dot; a plugin without an id takes over the core's name for its lines.
TEST(CoreHost, FailedCollidingAndHiddenPluginsAreReportedAndLeftOut) {
  const CoreInstall install = installWith({"A", "Twin", "CoreA", "CoreB", "Host.Dotted"});
  for (const char* plugin : {"ProbeRefused.so", "not_elf.so"}) install.addPlugin(plugin);
  install.addPlugin("host/c.so", "plugins", "b.so");
  install.addPlugin("host/b.so", "protected-plugins");
  install.addPlugin("host/LogPI.so", "protected-plugins");
  CoreProcess core(install);
  EXPECT_EQ(core.awaitMessage("open Host.Dotted"), (Texts{"open A", "open b", "open CoreA"}));
  // Without a log plugin the core runs and stops all the same.
  const std::regex root(install.root.string());
  EXPECT_EQ(logged(std::regex_replace(stopped(core), root, "<root>"),
                   {"Load", "Failed to load", "pluginId", "Opening", "Open H"}),
            (Texts{"I PI21: Load A", "I core: Loaded plugin 21:A", "I PI22: Load b",
                   "I core: Loaded plugin 22:b", "I core: Load CoreA",
                   "I core: Loaded plugin 00:CoreA", "I corea: Load CoreB",
                   "W corea: pluginId 00 already loaded from CoreA.so trying to load CoreB.so",
                   "I PI24: Load Host.Dotted", "I corea: Loaded plugin 24:Host",
                   "E corea: Failed to load plugin not_elf.so: "
                   "<root>/bin/plugins/not_elf.so: invalid ELF header",
                   "E corea: Failed to load plugin ProbeRefused.so: load code 7", "I a: Load Twin",
                   "W corea: pluginId 21 already loaded from A.so trying to load Twin.so",
                   "I corea: Opening 21:A", "I corea: Opening 22:b", "I corea: Opening 00:CoreA",
                   "I corea: Opening 24:Host", "I host.dotted: Open Host.Dotted"}));
}

// Stray decrefs from three plugins' own threads, from their Open to their
// Close while the core starts and stops around them: each plugin's first is
// reported in full, then its running total at every power of ten.
TEST(CoreHost, StrayDecrefsFromPluginThreadsAreReportedWithoutFloodingTheLog) {
  for (int round = 0; round < 4; ++round) {
    CoreProcess core = coreWith({"A", "b", "c", "StrayD", "StrayE", "StrayF"});
    // Stopped during start-up in even rounds, once running in odd ones.
    ASSERT_TRUE(round % 2 == 0 || core.awaitMessage("open StrayF")) << report(core);
    std::this_thread::sleep_for(std::chrono::milliseconds(300 * (round % 2)));
    // Without the commas of digit groups.
    const std::string output = std::regex_replace(stopped(core), std::regex(","), "");
    // "I strayd: stray decrefs <count> StrayD" and so on, as they are closed.
    const Texts posted = logged(output, {"stray decrefs "});
    ASSERT_EQ(posted.size(), 3u) << report(core);
    for (const auto& [line, id] : {std::pair{posted[0], "2b:StrayD"s}, {posted[1], "2c:StrayE"s},
                                   {posted[2], "2d:StrayF"s}}) {
      // Stopped during start-up, a plugin may be closed before it posted any.
      const unsigned long count = std::stoul(line.substr(line.find("decrefs ") + 8));
      Texts expected, reported;
      for (unsigned long total = 1; total <= count; total *= 10)
        expected.push_back(total == 1 ? "W core: decref ignored: " + id + " holds no kept reference"
                           : "W core: decref ignored " + std::to_string(total) + " times: " + id);
      for (const std::string& text : logged(output, {"decref ignored"}))
        if (text.find(id) != text.npos) reported.push_back(text.substr(0, text.find(" to ")));
      EXPECT_EQ(reported, expected) << count;
    }
  }
}

TEST(IpcChannel, PacketsReachTheAddressedPluginWholeAndPluginIpcEventsLeaveInOrder) {
  CoreProcess core = coreWith({"A", "c"});
  ASSERT_TRUE(core.awaitMessage("open c")) << report(core);
  // Bits 20..27 of the address word choose the plugin; the others do not count.
  const std::string toC =
      ipcPacket((1u << 28) | packetAddress(0x23) | 0x5a5a5, KindData, "echo\0xyz"sv, 0xdeadbeef);
  // A packet for a plugin that is not there goes nowhere; then two packets in
  // one message, one packet in two messages, and after each bad length (had
  // the core taken it as the start of a longer packet, or spun on it, the echo
  // behind it would not come back).
  const std::string one = command(IdA, "echo\0one"sv), two = command(IdA, "echo\0two"sv);
  const auto bad = [](uint32_t length) { return ipcPacket(0, KindData, "echo", 0, length); };
  for (const std::string& message : {toC, command(0x7f, "echo"), one, one + two, two.substr(0, 10),
                                     two.substr(10), bad(LargestPacket + 1), one, bad(0), two,
                                     bad(5), one})
    ASSERT_TRUE(core.send(message));
  for (const auto& echoed : {"c:" + toC, "A:" + one, "A:" + one, "A:" + two, "A:" + two,
                             "A:" + one, "A:" + two, "A:" + one})
    EXPECT_EQ(core.receive(), echoed) << report(core);
  // The largest packet there is; its echo, an ipc event above 64 KiB, leaves
  // as a 64 KiB message and the rest.
  const std::string largest =
      command(IdA, "echo\0"s + std::string(LargestPacket - PacketHeaderSize - 5, 'x'));
  ASSERT_TRUE(core.send(largest));
  const std::string head = core.receive().value_or("");
  EXPECT_EQ(head.size(), LargestPacket);
  EXPECT_TRUE(head + core.receive().value_or("") == "A:" + largest);
  // Plugin ipc events leave in order, an empty payload as an empty message.
  ASSERT_TRUE(core.send(command(IdA, "post\0first\0\0third"sv)));
  for (const char* expected : {"first", "", "third"}) EXPECT_EQ(core.receive(), expected);
  // A null record from a plugin is refused, and the core carries on.
  ASSERT_TRUE(core.send(command(IdA, "null")));
  EXPECT_EQ(logged(stopped(core), {"null", "bad"}),
            (Texts{"W core: bad ipc packet length", "W core: bad ipc packet length",
                   "W core: bad ipc packet length", "I a: null record answered 1 A"}));
}

// A write that fails does not stop the next: with a send buffer this small the
// core's socket refuses a 60000-byte message (EMSGSIZE) instead of sending it.
// The parent closes its end, or a receive fails: strace makes the third
// receive of the I/O thread fail (the first is armed before any plugin is
// open, the second takes the log packet) while the parent's end stays open.
TEST(IpcChannel, FailedWriteDoesNotStopTheNextAndEndOfStreamOrReceiveErrorStopTheCore) {
  const auto failingReceive =
      straceWrapper({"-f", "-o", "/dev/null", "-e", "inject=recvmsg:error=ECONNRESET:when=3+"});
  for (const bool closing : {true, false}) {
    if (!closing && !failingReceive) GTEST_SKIP() << "strace cannot trace the core here";
    CoreProcess core = coreWith({"A"}, closing ? Texts{} : *failingReceive, 4096);
    ASSERT_TRUE(core.awaitMessage("open A")) << report(core);
    ASSERT_TRUE(core.send((closing ? command(IdA, "post\0*60000\0after it"sv) : "") +
                          command(IdA, "log\0" "25\0packet received"sv)));
    if (closing) {
      EXPECT_EQ(core.awaitMessage("after it"), Texts{}) << report(core);
      core.closeChannel();
    }
    ASSERT_EQ(core.waitForExit(), 0) << report(core);
    EXPECT_EQ(logged(core.output(), {"packet", "trovisd", "Clos", "Unload"}),
              (Texts{"I a: packet received", "C core: trovisd ipc pipe disconnected",
                     "I core: Closing 21:A", "I a: Close A", "I core: Closing 00:LogPI",
                     "I core: Unloading 21:A", "I a: Unload A", "I core: Unloading 00:LogPI"}));
  }
}

// SIGTERMs while the plugins are being closed (Lingering's Close waits for a
// release) do not cut the orderly sequence short; nor does a stop packet, and
// the packets behind it in the same message are still handed over.
TEST(Shutdown, SigtermsAndStopPacketsWhileClosingLeaveTheOrderlySequenceWhole) {
  CoreProcess core = coreWith({"A", "Lingering"});
  ASSERT_TRUE(core.awaitMessage("open Lingering")) << report(core);
  kill(core.pid(), SIGTERM);
  ASSERT_TRUE(core.awaitMessage("closing Lingering")) << report(core);
  // A handler took each once it is no longer pending for the process.
  for (int again = 0; again < 2; ++again)
    ASSERT_TRUE(kill(core.pid(), SIGTERM) == 0 && eventually([&] {
      return statusField(core.pid(), "ShdPnd") == "0000000000000000";
    }));
  ASSERT_TRUE(core.send(ipcPacket(0, KindStop, "") +
                        command(IdLingering, "log\0" "25\0behind the stop"sv)));
  ASSERT_TRUE(core.send(command(IdLingering, "release")));
  ASSERT_EQ(core.waitForExit(), 0) << report(core);
  EXPECT_EQ(logged(core.output(), {"Clos", "Unload", "behind"}),
            (Texts{"I core: Closing 21:A", "I a: Close A", "I core: Closing 27:Lingering",
                   "I lingering: Close Lingering", "I lingering: behind the stop",
                   "I core: Closing 00:LogPI", "I core: Unloading 21:A", "I a: Unload A",
                   "I core: Unloading 27:Lingering", "I lingering: Unload Lingering",
                   "I core: Unloading 00:LogPI"}));
}

// Has plugin `requester` ask for a search that `searcher` serves in an OnSearch
// that waits for its Close, then stops the core once it runs, which must take
// less than two seconds.
void stopDuringSearch(CoreProcess& core, const std::string& searcher, uint8_t requester) {
  EXPECT_TRUE(core.send(command(requester, "search\0" "77\0find me"sv)));
  EXPECT_TRUE(core.awaitMessage("search-start " + searcher + " 77 find me")) << report(core);
  const auto stopping = std::chrono::steady_clock::now();
  stopped(core);
  EXPECT_LT(std::chrono::steady_clock::now() - stopping, std::chrono::seconds(2)) << report(core);
}

// A search still running is waited for before its plugin is unloaded; a
// plugin reporting id 8 stays open while the others close, and unless it is
// the log plugin it is closed at once, so that its search can return.
TEST(Shutdown, SearchStillRunningIsWaitedForAndAnIdEightSearcherIsClosedAtOnce) {
  for (const auto& [searcher, lines] :
       {std::pair{"Searcher"s, Texts{"I a: Close A", "I searcher: Close Searcher",
                                     "I searcher: search-returned Searcher",
                                     "I searcher: Unload Searcher"}},
        {"Search8"s, Texts{"I search8: Close Search8", "I a: Close A",
                           "I search8: search-returned Search8", "I search8: Unload Search8"}}}) {
    CoreProcess core = coreWith({"A", searcher});
    ASSERT_TRUE(core.awaitMessage("open " + searcher)) << report(core);
    stopDuringSearch(core, searcher, IdA);
    EXPECT_EQ(logged(core.output(), {"Close", "search", "Unload " + searcher, "Stopped"}), lines);
  }
}

// Configuration: the Watcher plugin passes every configuration document of
// the core on to the parent as "config <document>".

// The next configuration document the Watcher passed on, with the load and
// open times, which differ from run to run, blanked as "#".
std::string nextConfig(const CoreProcess& core) {
  static const std::regex times("((?:Total)?(?:Load|Open)TimeMs)=\"[0-9]+\"");
  std::string message;
  while (!message.starts_with("config ")) message = core.receive().value_or("config (none)");
  return std::regex_replace(message.substr(7), times, "$1=\"#\"");
}

// Has the Watcher post an XML "config" record of `type`, a delta setting the
// core's threshold and its own, cut to `length` bytes when given.
std::string levelDelta(int core, int watcher, uint32_t type = 256,
                       size_t length = std::string::npos) {
  const std::string xml =
      "<?xml?><qDVR><Modules Delta=\"1\"><Module><Plugin ID=\"-2147483648\" LogLevel=\"" +
      std::to_string(core) + "\"/><Plugin ID=\"2752512\" LogLevel=\"" + std::to_string(watcher) +
      "\"/></Module></Modules></qDVR>";
  return command(IdWatcher, "config\0"s + std::to_string(type) + '\0' + xml.substr(0, length));
}

std::string plugin(const char* id, const char* file, const std::string& level, char code = '0') {
  return R"(<Plugin ID=")" + (id + R"(" Filename=")"s) + file + R"(" Opened="1" LoadTimeMs="#" )" +
         R"(OpenTimeMs="#" OpenCode=")" + code + R"(" LogLevel=")" + level +
         R"(" LogLevelDefault="-1"/>)";
}

// A published document with default memory settings: the core module holding
// the Plugin elements of the core, the Watcher and the log plugin with these
// thresholds. On the next start (`parent` given, the parent's element or none)
// the product is 7.1 of no family and the refused plugin follows the parent.
std::string document(const std::string& core, const std::string& watcher,
                     const std::optional<std::string>& parent = {}) {
  const std::string version = parent ? "7.1" : "26.2.3.0";
  return R"(<?xml?><qDVR><Memory ID="-2147483648" Throttling="1" MaxGopLen="1050"/><Modules )"
         R"(TotalLoadTimeMs="#" TotalOpenTimeMs="#"><Module ID="-2147483648" Name="Core" )"
         R"(Version=")" + version + "\">" + plugin("-2147483648", "trovis-core", core) +
         plugin("2752512", "Watcher.so", watcher) + plugin("2424832", "LogPI.so", "-1") +
         (parent ? *parent + plugin("1", "ProbeRefused.so", "-1", '7') + "</Module>" +
                       R"(<Module ID="1" Name="ProbeRefused" Version="load code 7"/>)"
                 : "</Module>") +
         R"(</Modules><Product Family=")" + (parent ? "" : "Trovis") + R"(" Version=")" + version +
         R"("/></qDVR>)";
}

// The log plugin stays open to the end, so a search of its own that waits for
// its Close is given up on; and what it posts after the I/O has stopped is refused.
TEST(Shutdown, LogPluginWithIdEightIsGivenUpOnWhileSearchingAndRefusedIpcOnceIoHasStopped) {
  const CoreInstall install = installWith({"Watcher"});
  install.addPlugin("host/LogEight.so", "plugins", "LogPI.so");
  for (const bool searching : {true, false}) {
    CoreProcess core(install);
    // The log plugin joins the list once the others are open, before the
    // configuration document is published.
    nextConfig(core);
    if (searching) stopDuringSearch(core, "LogEight", IdWatcher);
    EXPECT_EQ(logged(searching ? core.output() : stopped(core),
                     {"Stopped", "Close LogEight", "close ipc", "Unload LogEight"}),
              (searching ? Texts{"W core: Stopped waiting for the search of 08:LogPI"}
                         : Texts{"I PI08: Close LogEight", "I PI08: close ipc answered 1 LogEight",
                                 "I PI08: Unload LogEight"}));
  }
}

// First start: defaults; only a plain config record that changes a threshold
// republishes (had one of the first three records, a broken one among them,
// done so, its document would come first). Next start: what was saved is read
// back, with the product, the parent and a failed plugin reported.
TEST(CoreConfiguration, DefaultsThresholdChangesAndWhatIsSavedAndReadBackNextTime) {
  CoreInstall install = installWith({"Watcher", "LogPI"});
  CoreProcess first(install);
  ASSERT_EQ(nextConfig(first), document("-1", "-1")) << report(first);
  // The broken one breaks off after the core's Plugin element.
  ASSERT_TRUE(first.send(levelDelta(70, 70, 0x4100) + levelDelta(-1, -1) +
                         levelDelta(8, 8, 256, 79) + levelDelta(-5, 40)));
  EXPECT_EQ(nextConfig(first), document("-1", "40")) << report(first);
  ASSERT_TRUE(first.send(levelDelta(0, 60)));
  EXPECT_EQ(nextConfig(first), document("0", "60")) << report(first);
  // Only the third string of the parent's identification says background,
  // which silences every later line.
  ASSERT_TRUE(first.send(ipcPacket(0, KindIdentify, "a\0b\0Background:true\0"sv)));
  EXPECT_EQ(logged(stopped(first), {"config delta", "Failed to open", "Clos"}),
            (Texts{"E core: Failed to open core.xml - No such file or directory",
                   "W core: config delta from Watcher ignored: unexpected end of data"}));
  // The reason, then "Config defaulted" on a line of its own.
  EXPECT_NE(first.output().find("directory\nConfig defaulted\n"), std::string::npos);
  // In the working directory, not beside the executable; for the owner only.
  EXPECT_FALSE(fs::exists(install.executable().parent_path() / "core.xml"));
  EXPECT_EQ(fs::status(install.workDir() / "core.xml").permissions(),
            fs::perms::owner_read | fs::perms::owner_write);

  install.addPlugin("ProbeRefused.so");
  std::ofstream(install.workDir() / "product.xml") << "<?xml?><Product Version=\"7.1\"/>";
  const std::string parent = R"(<Library Name="trovisd" Filename="trovisd-bin" Version="9.8.7"/>)";
  CoreProcess next(install);
  EXPECT_EQ(nextConfig(next), document("0", "60", "")) << report(next);
  // The parent's identity arrives after the first publication: a delta republishes.
  ASSERT_TRUE(next.send(ipcPacket(0, KindIdentify, "trovisd-bin\0" "9.8.7\0Background:truex"sv)));
  ASSERT_TRUE(next.send(levelDelta(0, 10)));
  EXPECT_EQ(nextConfig(next), document("0", "10", parent));
  EXPECT_EQ(logged(stopped(next), {"Closing 2a"}), Texts{"I core: Closing 2a:Watcher"});
  EXPECT_EQ(next.output().find("Config defaulted"), std::string::npos) << report(next);
  // Saved with the parent's module, without the product.
  const std::string file = readFile(install.workDir() / "core.xml").value_or("");
  EXPECT_NE(file.find("\n\t\t\t" + parent + "\n"), std::string::npos) << file;
  EXPECT_EQ(file.find("Product"), std::string::npos) << file;
}

TEST(CoreConfiguration, SaveThatCannotWriteIsLoggedAndLeavesTheOldFile) {
  const std::string old = "<?xml?>\n<qDVR>\n\t<Memory ID=\"-2147483648\" Throttling=\"1\" "
                          "MaxGopLen=\"900\"/>\n</qDVR>\n\n";
  for (const auto& [error, text] :
       {std::pair{"ENOSPC", "No space left on device"}, {"EIO", "Input/output error"}}) {
    const CoreInstall install = installWith({"Watcher"});
    std::ofstream(install.workDir() / "core.xml") << old;
    // Only writes to the pending file fail.
    const auto failingWrite =
        straceWrapper({"-f", "-o", "/dev/null", "-P", install.workDir() / "core.xml.pending", "-e",
                       "trace=write", "-e", "inject=write:error="s + error});
    if (!failingWrite) GTEST_SKIP() << "strace cannot trace the core here";
    CoreProcess core(install, *failingWrite);
    EXPECT_NE(nextConfig(core).find("MaxGopLen=\"900\""), std::string::npos);
    EXPECT_EQ(logged(stopped(core), {"Failed to write"}),
              Texts{"E core: Failed to write core.xml.pending - "s + text});
    EXPECT_EQ(readFile(install.workDir() / "core.xml"), old) << error;
  }
}

// The parent runs as nobody but starts the core as root (its real user id is
// nobody's, its effective one root's). The core takes on the parent's user and
// groups, and holds its start-up capabilities until every plugin is open.
TEST(Privileges, CoreTakesOnItsParentsUserAndNarrowsItsCapabilitiesOnceThePluginsAreOpen) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root: the core changes identity only as root";
  // The ids and groups of a process that is nobody in every way.
  ChildProcess nobody({"runuser", "-u", "nobody", "--", "grep", "-E", "^(Uid|Gid|Groups):",
                       "/proc/self/status"}, "/");
  ASSERT_EQ(nobody.waitForExit(), 0) << nobody.errors();
  CoreProcess core(installWith({"Holding"}),  // its Open waits for a release packet
                   {"setpriv", "--ruid=nobody", "timeout", "120", "setpriv", "--ruid=0"});
  EXPECT_EQ(core.awaitMessage("opening Holding"), Texts{"open Holding"}) << report(core);
  // The core is the one child of the timeout process.
  const std::string timeout = std::to_string(core.pid());
  const auto children = readFile("/proc/" + timeout + "/task/" + timeout + "/children");
  const pid_t pid = std::atoi(children.value_or("").c_str());
  const auto status = [pid](const char* field) { return statusField(pid, field); };
  // Real, effective, saved and file system ids alike.
  EXPECT_EQ("Uid:\t" + status("Uid") + "\nGid:\t" + status("Gid") + "\nGroups:\t" +
            status("Groups") + "\n", nobody.output());
  EXPECT_EQ(status("CapEff") + " " + status("CapPrm"), "0000000000023000 0000000000023000");
  // The alarm is dispatched only after every plugin is open.
  ASSERT_TRUE(core.send(command(IdHolding, "release") + command(IdHolding, "alarm\0open"sv)));
  EXPECT_EQ(core.receive(), "alarm Holding open");
  EXPECT_EQ(status("CapEff") + " " + status("CapPrm"), "0000000000003000 0000000000003000");
  stopped(core);
}

}  // namespace
}  // namespace trv::test
