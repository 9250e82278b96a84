// An event's road through the running core, seen by its plugins: payloads kept
// and given back, searches and their flow control, what the entry answers at
// once and what it queues, configuration deltas, stopping, and all of it at
// once. The host plugins (test_plugins/host_plugin.cpp) report what they are
// handed and what the core answers them; the core, its own threshold set to 0
// here, logs at exit the payload references still held.
#include "core_process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace trv::test {
namespace {

using Texts = std::vector<std::string>;

// Record types and flags of the plugin interface.
constexpr uint32_t Video = 1, Audio = 2, Alarm = 4, Log = 64, Config = 256, Decref = 512;
constexpr uint32_t Cancel = 4096, Ipc = 8192, Crypto = 32768, Modifier = 0x4000;
constexpr uint32_t Query = 1, Text = 2, Xml = 0x10, Live = 0x01000000, Stored = 0x04000000;
constexpr uint32_t CoreOrigin = 0x80000000;
constexpr uint32_t External = 5;  // neither the core nor a plugin: where searches come from
const std::string KeyFrame = "0,0,65536";  // detail words: frame kind (byte 10) 1

// Host plugin variants (see test_plugins/CMakeLists.txt).
struct Host { uint8_t id; std::string name; uint32_t origin; };
const Host A{0x21, "A", 0x210000}, B{0x22, "b", 0x220000}, C{0x23, "c", 0x230000};
const Host Searcher{0x26, "Searcher", 0x260000}, Server{0x2E, "Server", 0x2E0000};

std::string number(uint32_t value) { return std::to_string(value); }

// What the core reports of ignored give-backs, and at exit of references still held.
Texts heldAndIgnored(const std::string& output) {
  return logged(output, {"refblks", "Plugin ", "decref ignored", "Stopped waiting"});
}

// The core with host plugins, its own threshold 0 and `thresholds` (Plugin
// elements) in core.xml. Its messages wait in a backlog until a test takes them.
class HostedCore {
 public:
  explicit HostedCore(const Texts& plugins, const std::string& thresholds = "") {
    for (const std::string& plugin : plugins) install_.addPlugin("host/" + plugin + ".so");
    std::ofstream(install_.workDir() / "core.xml")
        << "<?xml?><qDVR><Modules><Module><Plugin ID=\"-2147483648\" LogLevel=\"0\"/>" << thresholds
        << "</Module></Modules></qDVR>";
    core_.emplace(install_);
    for (const std::string& plugin : plugins) EXPECT_NE(take("open " + plugin), "") << plugin;
  }

  // A command for `host` (see host_plugin.cpp).
  void tell(const Host& host, const Texts& words) {
    std::string payload;
    for (const std::string& word : words) payload += word + '\0';
    payload.pop_back();
    EXPECT_TRUE(core_->send(ipcPacket(packetAddress(host.id), KindData, payload)));
  }

  // Has `host` post a record: the answer, or -1000 when none came.
  int post(const Host& host, uint32_t type, uint32_t flags, uint32_t source,
           const std::string& text, uint32_t searchId = 0, const std::string& detail = "") {
    tell(host, {"event", number(type), number(flags), number(source), number(searchId), detail,
                text});
    const std::string prefix = "answer " + host.name + " ";
    const std::string answer = take(prefix);
    EXPECT_TRUE(answer.ends_with(" " + text)) << answer << " for " << text;
    return answer.empty() ? -1000 : std::stoi(answer.substr(prefix.size()));
  }

  void giveBack(const Host& host, const std::string& payload) {
    tell(host, {"decref", payload});
    EXPECT_EQ(take("answer " + host.name + " "), "answer " + host.name + " 0 decref");
  }

  // The first message not yet taken that starts with `prefix`, waiting for one
  // unless `waiting` is false; "" when none comes.
  std::string take(const std::string& prefix, bool waiting = true) {
    auto found = std::ranges::find_if(backlog_, [&](auto& m) { return m.starts_with(prefix); });
    if (found != backlog_.end()) {
      const std::string message = *found;
      backlog_.erase(found);
      return message;
    }
    while (waiting) {
      const auto message = core_->receive();
      if (!message || message->starts_with(prefix)) return message.value_or("");
      backlog_.push_back(*message);
    }
    return "";
  }

  // The address that ends the report "kept <name> <source> <text> <address>".
  std::string keptAt(const std::string& prefix) { return take(prefix).substr(prefix.size()); }

  void requestStop() { EXPECT_TRUE(core_->send(ipcPacket(0, KindStop, ""))); }

  // Stops the core (unless that was requested before): its output once it has ended.
  std::string stop(bool requested = false) {
    if (!requested) requestStop();
    EXPECT_EQ(core_->waitForExit(), 0) << core_->output() << core_->errors();
    while (const auto message = core_->receive()) backlog_.push_back(*message);
    return core_->output();
  }

 private:
  CoreInstall install_;
  std::optional<CoreProcess> core_;
  Texts backlog_;
};

TEST(KeptPayload, LivesUntilEveryKeeperGaveItBackAndStrayGiveBacksOnlyWarn) {
  HostedCore core({"A", "b", "c", "CoreA"});  // CoreA has the core's origin: id 0
  EXPECT_EQ(core.post(A, Alarm, Live | Text, A.origin, "hoard A b CoreA"), 0);
  const std::string payload = core.keptAt("kept A 210000 hoard A b CoreA ");
  EXPECT_EQ(core.keptAt("kept b 210000 hoard A b CoreA "), payload);
  EXPECT_EQ(core.keptAt("kept CoreA 210000 hoard A b CoreA "), payload);
  // b gives back nothing (without a word), then twice; c never had it.
  for (const auto& [giver, given] :
       {std::pair{A, payload}, {B, std::string("0")}, {B, payload}, {B, payload}, {C, payload}}) {
    core.giveBack(giver, given);
  }
  // Given back while A's OnEvent still runs, once from another thread and
  // once from within: each settles when it returns; a second is stray.
  EXPECT_EQ(core.post(A, Alarm, Live | Text, A.origin, "hold A"), 0);
  const std::string held = core.take("holding A ").substr(10);
  core.giveBack(A, held);
  core.giveBack(A, held);
  core.tell(A, {"release"});
  EXPECT_EQ(core.take("held A "), "held A hold A");
  EXPECT_EQ(core.post(A, Alarm, Live | Text, A.origin, "self c"), 0);
  EXPECT_EQ(core.take("answer c "), "answer c 0 self");
  // CoreA never gives its payload back.
  EXPECT_EQ(heldAndIgnored(core.stop()),
            (Texts{"W corea: decref ignored: 22:b holds no kept reference to payload " + payload,
                   "W corea: decref ignored: 23:c holds no kept reference to payload " + payload,
                   "W corea: decref ignored: 21:A holds no kept reference to payload " + held,
                   "D corea: refblks: 1(23)", "D corea: Plugin 00:corea unloaded holding 1 event reference(s)."}));
}

TEST(Search, EachServingPluginAnswersOnItsOwnThreadOneLiveResultAtATime) {
  HostedCore core({"A", "Searcher", "Server"});
  const std::string script = "post keep A first;post keep A second";
  EXPECT_EQ(core.post(A, Alarm, Text, External, script, A.origin | 0x21), 0);
  // Both first results come while neither has been given back.
  const std::pair<std::string, std::string> servers[] = {{"Searcher", "26"}, {"Server", "2e"}};
  Texts first;
  for (const auto& [name, id] : servers) {
    EXPECT_EQ(core.take("search-start " + name), "search-start " + name + " 2162721 " + script);
    first.push_back(core.keptAt("kept A " + id + "0000 keep A first "));
    EXPECT_EQ(core.take("answer " + name), "answer " + name + " 0 keep A first");
  }
  for (const auto& [name, id] : servers) {
    EXPECT_EQ(core.take("answer " + name, false), "") << "before its first result was given back";
    core.giveBack(A, first[name == "Server"]);
    core.giveBack(A, core.keptAt("kept A " + id + "0000 keep A second "));
  }
  EXPECT_EQ(heldAndIgnored(core.stop()), Texts{});
}

TEST(Search, CancelRequestWithoutPayloadAndResultsOutsideASearch) {
  HostedCore core({"A", "Searcher"});
  const uint32_t search = A.origin | 0x22;
  const std::string script = "post one;hold;post two;post three";
  EXPECT_EQ(core.post(A, Cancel, Query, External, "", search), 0);
  EXPECT_EQ(core.post(A, Alarm, Text, External, script, search), 0);
  // Cancelled while the search holds after its first result.
  EXPECT_EQ(core.take("holding Searcher"), "holding Searcher");
  EXPECT_EQ(core.post(A, Cancel, 0, External, "", search), 0);
  EXPECT_EQ(core.post(A, Cancel, Query, External, "", search), 1);
  core.tell(Searcher, {"release"});
  for (const char* answer : {"0 one", "1 two", "1 three"}) {
    EXPECT_EQ(core.take("answer Searcher "), "answer Searcher " + std::string(answer));
  }
  // Asked again, the search starts afresh.
  EXPECT_EQ(core.post(A, Alarm, Text, External, "post four", search), 0);
  EXPECT_EQ(core.take("answer Searcher "), "answer Searcher 0 four");
  EXPECT_EQ(core.post(A, Cancel, Query, External, "", search), 0);
  // A request without payload starts nothing; a result from outside a search is refused.
  EXPECT_EQ(core.post(A, Alarm, Text, External, "", search + 1), 0);
  EXPECT_EQ(core.post(A, Alarm, Stored | Text, A.origin, "outside", A.origin | 0x99), 1);
  EXPECT_EQ(core.post(A, Alarm, Live | Text, A.origin, "mark"), 0);
  // In order of delivery: all A got before the mark.
  for (const char* alarm : {"alarm A one", "alarm A four", "alarm A mark"}) {
    EXPECT_EQ(core.take("alarm A "), alarm);
  }
  EXPECT_EQ(core.take("search-start "), "search-start Searcher 2162722 " + script);
  EXPECT_EQ(core.take("search-start "), "search-start Searcher 2162722 post four");
  EXPECT_EQ(core.take("search-start ", false), "");
  core.stop();
}

std::string delta(int bLevel) {
  return "<?xml?><qDVR><Modules Delta=\"1\"><Module><Plugin ID=\"2228224\" LogLevel=\"" +
         std::to_string(bLevel) + "\"/></Module></Modules></qDVR>";
}

TEST(Entry, AnswersAtOnceAndQueuesOnlyWhatPasses) {
  HostedCore core({"A", "b", "c"}, "<Plugin ID=\"2162688\" LogLevel=\"40\"/>");
  core.tell(B, {"watch", number(Video | Audio | Alarm | Log)});
  const struct { uint32_t type, flags, source; std::string text; int answer;
                 std::string detail = ""; uint32_t searchId = 0; } records[] = {
      // Thresholds by the plugin id of the asking origin.
      {Log, Query, A.origin, "", 40}, {Log, Query, A.origin | 0x77, "", 40},
      {Log, Query, B.origin, "", 25}, {Log, Query, CoreOrigin, "", 0},
      {Log, Query, External, "", 0}, {Ipc, 0, A.origin, "to the parent", 0},
      {Crypto, 0, A.origin, "no such command", -1}, {Decref, 0, A.origin, "", 0},
      {Cancel, 0, A.origin, "", 0, "", A.origin | 1},
      {Cancel, Query, A.origin, "", 1, "", A.origin | 1},
      // Live video waits for a key frame, each source for its own.
      {Video, Live, A.origin, "before-key", 3}, {Audio, Live, A.origin, "audio", 0},
      {Video, Live, A.origin, "key", 0, KeyFrame}, {Video, Live, A.origin, "after-key", 0},
      {Video, Live, C.origin, "other-source", 3},
      // Below A's threshold a line is dropped; a modifier-marked one counts as level 0.
      {Log, Live | Text, A.origin, "line-39", 0, "39"},
      {Log, Live | Text, A.origin, "line-40", 0, "40"},
      {Log, Live | Text, A.origin, "line-90", 0, "90"},
      {Log | Modifier, Live | Text, A.origin, "line-mod", 0, "90"},
      {Log, Live | Text, A.origin, "", 0, "90"},
      // Only a plain XML config record of another origin is applied: b's threshold 45.
      {Config, Xml, A.origin, delta(45), 0}, {Config, Xml, CoreOrigin, delta(60), 0},
      {Config | Modifier, Xml, A.origin, delta(70), 0}, {Config, Text, A.origin, delta(80), 0},
      {Alarm, Xml, A.origin, delta(90), 0},
      // A overwrites the record it is handed before b gets its own.
      {Alarm, Live | Text, A.origin, "scribble A", 0},
  };
  for (const auto& r : records) {
    EXPECT_EQ(core.post(A, r.type, r.flags, r.source, r.text, r.searchId, r.detail), r.answer)
        << r.text;
  }
  EXPECT_EQ(core.take("to the parent"), "to the parent");
  // Delivered in order: by the last, every record before it has reached b.
  EXPECT_EQ(core.take("alarm b s"), "alarm b scribble A");
  EXPECT_EQ(core.post(A, Log, Query, B.origin, ""), 45);
  for (const char* report : {"audio b audio", "video b key", "video b after-key", "log b line-40",
                             "log b line-90"}) {
    EXPECT_EQ(core.take(report), report);
  }
  for (const char* more : {"video", "audio", "log b line"}) EXPECT_EQ(core.take(more, false), "");
  EXPECT_EQ(logged(core.stop(), {"line-"}), (Texts{"I a: line-40", "E a: line-90"}));
}

TEST(Stopping, NewRecordsAreRefusedButKeptPayloadsAndWaitingResultsAreSettled) {
  HostedCore core({"A", "Searcher"});
  EXPECT_EQ(core.post(A, Alarm, Live | Text, A.origin, "keep A"), 0);
  const std::string kept = core.keptAt("kept A 210000 keep A ");
  EXPECT_EQ(core.post(A, Alarm, Text, External, "post keep A 1;post keep A 2", A.origin | 1), 0);
  const std::string first = core.keptAt("kept A 260000 keep A 1 ");
  // The dispatcher idles for a second while the search waits for `first`.
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_EQ(core.post(A, Alarm, Live | Text, A.origin, "hold A"), 0);
  const std::string held = core.take("holding A ").substr(10);
  // Stopped while A holds the dispatcher: what follows meets a stopping core.
  core.requestStop();
  EXPECT_EQ(core.take("answer Searcher "), "answer Searcher 0 keep A 1");
  EXPECT_EQ(core.take("answer Searcher "), "answer Searcher 1 keep A 2");
  EXPECT_EQ(core.post(A, Alarm, Live | Text, A.origin, "too late"), 1);
  EXPECT_EQ(core.post(A, Video, Live, A.origin, "video", 0, KeyFrame), 1);
  EXPECT_EQ(core.post(A, Log, Live | Text, A.origin, "written all the same", 0, "50"), 1);
  EXPECT_EQ(core.post(A, Alarm, Text, External, "post never", A.origin | 2), 1);
  for (const std::string& payload : {kept, first, held}) core.giveBack(A, payload);
  core.tell(A, {"release"});
  const std::string output = core.stop(true);
  EXPECT_EQ(logged(output, {"written all"}), Texts{"W a: written all the same"});
  EXPECT_EQ(core.take("search-start Searcher 2162690", false), "");
  EXPECT_EQ(heldAndIgnored(output), Texts{});
}

// Posting from several plugin threads, keeping, giving back from others,
// searching and cancelling, and the core stopped in the middle of it all.
TEST(Concurrency, PostingKeepingSearchingAndStoppingAtOnceLeaveNoReferenceBehind) {
  HostedCore core({"A", "b", "Searcher", "Server"});
  for (const Host& host : {A, B, Searcher, Server}) {
    core.tell(host, {"watch", "0"});
    core.tell(host, {"repeat", "100000", "giveback"});
  }
  const auto repeat = [&](const Host& host, const char* times, uint32_t type, uint32_t flags,
                          uint32_t source, const std::string& text, const std::string& detail) {
    core.tell(host, {"repeat", times, "event", number(type), number(flags), number(source),
                     number(source == External ? A.origin | 1 : 0), detail, text});
  };
  repeat(A, "3000", Alarm, Live | Text, A.origin, "keep * " + std::string(2000, '.'), "");
  repeat(A, "200", Alarm, Text, External, "post keep A r1;post r2;post keep A r3", "");
  repeat(A, "100", Cancel, 0, External, "", "");
  repeat(B, "3000", Video, Live, B.origin, "keep * video", KeyFrame);
  repeat(B, "3000", Log, Live | Text, B.origin, "keep * line", "30");
  repeat(Server, "3000", Audio, Live, Server.origin, "audio", "");
  EXPECT_NE(core.take("answer Server "), "");  // searches have begun
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(heldAndIgnored(core.stop()), Texts{});
  // The threads that repeat report only answers other than 0 to 5.
  for (const char* unexpected : {"answer A ", "answer b "}) EXPECT_EQ(core.take(unexpected), "");
}

}  // namespace
}  // namespace trv::test
