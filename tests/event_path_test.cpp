#include "dvr_core.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "delivery_rule.h"
#include "eventually.h"
#include "test_plugins/route_controls.h"

namespace trv::core {
namespace {

using namespace std::chrono_literals;
using route::Received;

constexpr uint32_t OriginA = 0x00120000;
constexpr uint32_t OriginB = 0x00130000;
constexpr uint32_t OriginC = 0x00140000;
// Neither the core nor a plugin: where search requests come from.
constexpr uint32_t External = 0x0000000A;

using route::receivedBy;
using route::searchesOf;
using route::wantsAll;
using route::wantsNothing;

const route::Controls& route(char copy) { return route::controls(copy); }

struct Copy {
  char letter;
  PluginInfo caps;
  uint32_t options = 0;
};

using test::eventually;

// Search threads are detached, and each holds its plugin until it has left
// the core's search bookkeeping: a plugin only the core holds has none left.
bool onlyTheCoreHoldsPlugins(const DvrCore& core) {
  return std::ranges::all_of(core.plugins,
                             [](const auto& plugin) { return plugin.use_count() == 1; });
}

bool searchThreadsEnded(DvrCore& core) {
  const bool ended = eventually([&] { return onlyTheCoreHoldsPlugins(core); });
  core.searchHandler.awaitThreads();
  return ended;
}

// A DvrCore installed as g_core with Route copies in delivery order, its
// dispatch loop on a thread of its own. Teardown ends every wait of the
// plugins and gives back what they kept, so a failed test leaves nothing.
class RunningCore {
 public:
  // `steadyNanos`, when given, is the core's steady clock instead of the real one.
  explicit RunningCore(std::initializer_list<Copy> copies = {},
                       std::function<int64_t()> steadyNanos = {}) {
    g_core = &core;
    if (steadyNanos) core.supervisionSources.steadyNanos = std::move(steadyNanos);
    for (const Copy& copy : copies) {
      // Load runs inside Create and reports what setup stored.
      route(copy.letter).setup(&copy.caps, copy.options);
      auto plugin = Plugin::Create(route::pathOf(copy.letter), postEvent, core.deviceId);
      plugin->Open();
      core.plugins.push_back(std::move(plugin));
      letters_.push_back(copy.letter);
    }
    dispatcher_ = std::thread([this] { core.dispatchLoop(); });
  }

  ~RunningCore() {
    for (const char letter : letters_) route(letter).finish();
    stop();
    // A search thread may wait for a result the requester keeps.
    eventually([this] {
      for (const char letter : letters_) route(letter).decrefKept();
      return onlyTheCoreHoldsPlugins(core);
    });
    core.searchHandler.awaitThreads();
    for (const char letter : letters_) route(letter).decrefKept();
    g_core = nullptr;
  }

  RunningCore(const RunningCore&) = delete;
  RunningCore& operator=(const RunningCore&) = delete;

  // Stops the core and waits for its dispatch loop to end.
  void stop() {
    core.requestStop();
    if (dispatcher_.joinable()) dispatcher_.join();
  }

  const std::vector<char>& letters() const { return letters_; }

  DvrCore core{"/opt/trovis/bin/trovis-core"};

 private:
  std::vector<char> letters_;
  std::thread dispatcher_;
};

// Posts `event` through the plugins' callback, with `text` as its payload.
int post(EventParms event, std::string text = {}) {
  if (!text.empty()) {
    event.data = text.data();
    event.dataLen = static_cast<uint32_t>(text.size());
  }
  return postEvent(&event);
}

EventParms videoFrame(uint32_t source, bool key, uint8_t frameFlags = 0,
                      uint32_t type = TypeVideo) {
  EventParms frame = makeEvent(type, FlagLive, source);
  frame.detail[detail_offset::frameKind] = key ? KeyFrame : 0;
  frame.detail[detail_offset::frameFlags] = frameFlags;
  return frame;
}

EventParms audioFrame(uint32_t source, uint8_t frameFlags = 0, uint32_t type = TypeAudio) {
  EventParms frame = makeEvent(type, FlagLive, source);
  frame.detail[detail_offset::frameFlags] = frameFlags;
  return frame;
}

EventParms liveLog(uint32_t source, int32_t level, uint32_t type = TypeLog) {
  EventParms line = makeEvent(type, FlagLive | FlagText, source);
  setLogLevel(line, level);
  return line;
}

EventParms withFirstWord(uint32_t type, uint32_t source, uint32_t firstWord) {
  EventParms event = makeEvent(type, FlagXml, source);
  setDetailWord(event, detail_offset::firstWord, firstWord);
  return event;
}

int postSearch(uint32_t searchId, std::string script) {
  EventParms request = makeEvent(TypeAlarm, FlagText, External);
  request.searchId = searchId;
  return post(request, std::move(script));
}

int postCancel(uint32_t searchId, uint32_t flags = 0) {
  EventParms cancel = makeEvent(TypeCancel, flags, External);
  cancel.searchId = searchId;
  return post(cancel);
}

std::vector<Received> receivedWithText(char copy, std::string_view text) {
  std::vector<Received> records = receivedBy(copy);
  std::erase_if(records, [&](const Received& record) { return record.text != text; });
  return records;
}

// True once `copy` has run exactly one search and `check` holds for it.
bool searchReached(char copy, const std::function<bool(const route::Search&)>& check) {
  const auto searches = searchesOf(copy);
  return searches.size() == 1 && check(searches[0]);
}

std::vector<int32_t> answersOf(const route::Search& search) {
  return {search.answers, search.answers + std::min<uint32_t>(search.answered, 16)};
}

// Posts a config record every plugin wants and waits until each has it: the
// queue is FIFO, so everything posted before has been delivered by then.
void flush(RunningCore& running) {
  static int serial = 0;
  const std::string marker = "flush-" + std::to_string(++serial);
  // A first word of 1 brings it back to a plugin whose origin is External's.
  ASSERT_EQ(post(withFirstWord(TypeConfig, External, 1), marker), 0);
  for (const char letter : running.letters()) {
    ASSERT_TRUE(eventually([&] { return !receivedWithText(letter, marker).empty(); }))
        << letter << " never got " << marker;
  }
}

// Waits until the core has dropped its own reference to everything it queued.
bool coreHoldsNothing(DvrCore& core) {
  return eventually([&] { return core.refBlocks.holders(0) == 0; });
}

// Waits until `count` blocks exist while the core holds none: the others are
// kept by plugins or are payload copies of results waiting for flow control.
bool blocksSettleAt(DvrCore& core, uint32_t count) {
  return eventually([&] {
    return core.refBlocks.holders(0) == 0 && core.refBlocks.blockCount() == count;
  });
}

std::string pointerText(const void* pointer) {
  char text[32];
  std::snprintf(text, sizeof text, "%p", pointer);
  return text;
}

// True when `written` holds the line "<colour>HH:MM:SS.mmm<rest>", rest
// including its newline.
bool hasTimedLine(std::string_view written, std::string_view colour, std::string_view rest) {
  constexpr std::string_view shape = "00:00:00.000";
  const auto fits = [](char c, char pattern) {
    return pattern == '0' ? std::isdigit(static_cast<unsigned char>(c)) != 0 : c == pattern;
  };
  while (!written.empty()) {
    std::string_view line = written.substr(0, written.find('\n') + 1);
    if (line.empty()) line = written;
    written.remove_prefix(line.size());
    if (!line.starts_with(colour)) continue;
    line.remove_prefix(colour.size());
    if (line.size() < shape.size()) continue;
    if (std::ranges::equal(line.substr(0, shape.size()), shape, fits) &&
        line.substr(shape.size()) == rest) {
      return true;
    }
  }
  return false;
}

// The milliseconds of a line "<plugin> took <n><rest>", or -1 for other text.
int millisTaken(std::string_view text, std::string_view plugin, std::string_view rest) {
  const std::string head = std::string(plugin) + " took ";
  if (!text.starts_with(head)) return -1;
  text.remove_prefix(head.size());
  int millis = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), millis);
  if (error != std::errc{} || std::string_view(end, text.data() + text.size()) != rest) return -1;
  return millis;
}

// Plugins lettered A, B, C in list order, and the record each case routes.
struct Routed {
  std::string tag;
  EventParms record;
  std::string receivers;
};

// The delivery rule for every case: the letters of the plugins that want its record.
void expectRouting(const std::vector<PluginInfo>& plugins, const std::vector<Routed>& cases) {
  for (const Routed& routed : cases) {
    std::string receivers;
    for (size_t i = 0; i < plugins.size(); ++i) {
      if (wantsEvent(plugins[i], routed.record)) receivers += static_cast<char>('A' + i);
    }
    EXPECT_EQ(receivers, routed.receivers) << routed.tag;
  }
}

TEST(DeliveryRule, LiveMediaReturnsToItsOriginOnlyWhenOutputBound) {
  expectRouting({wantsAll(OriginA), wantsNothing(OriginB), wantsAll(OriginC)}, {
      {"video", videoFrame(OriginC, true), "A"},
      {"video-out", videoFrame(OriginC, true, FrameOutputBound), "AC"},
      {"audio", audioFrame(OriginC), "A"},
      {"audio-out", audioFrame(OriginC, FrameOutputBound), "AC"},
      // Output-bound media returns to its origin whatever that plugin's caps say.
      {"video-out-b", videoFrame(OriginB, true, FrameOutputBound), "ABC"},
      {"video-external", videoFrame(External, true), "AC"},
      // The modifier skips the origin test.
      {"video-mod", videoFrame(OriginC, true, 0, TypeVideo | TypeModifier), "AC"},
      {"audio-mod", audioFrame(OriginC, 0, TypeAudio | TypeModifier), "AC"},
  });
  // Modified media never reaches a plugin whose origin names no plugin: B's
  // origin is 0, C's is the core's.
  expectRouting({wantsAll(OriginA), wantsAll(0), wantsAll(CoreSource)}, {
      {"mod-from-a", videoFrame(OriginA, true, 0, TypeVideo | TypeModifier), "AC"},
      {"plain-from-a", videoFrame(OriginA, true), "BC"},
      {"mod-from-core", audioFrame(CoreSource, 0, TypeAudio | TypeModifier), "AC"},
      {"plain-from-core", videoFrame(CoreSource, true), "AB"},
  });
}

TEST(DeliveryRule, LogNeverReturnsToItsOriginAndWatchdogOnlyDoes) {
  // B wants nothing, which does not matter to watchdog records.
  expectRouting({wantsAll(OriginA), wantsNothing(OriginB), wantsAll(OriginC)}, {
      {"log-from-c", liveLog(OriginC, 50), "A"},
      {"log-from-a", liveLog(OriginA, 50), "C"},
      {"log-from-b", liveLog(OriginB, 50), "AC"},
      {"log-not-live", makeEvent(TypeLog, FlagText, External), "AC"},
      {"dog-from-c", makeEvent(TypeWatchdog, 0, OriginC), "C"},
      {"dog-from-b", makeEvent(TypeWatchdog, 0, OriginB), "B"},
      {"dog-external", makeEvent(TypeWatchdog, 0, External), ""},
  });
}

TEST(DeliveryRule, ConfigAndAnalyticReturnToTheirOriginOnlyWhenTheFirstWordIsSet) {
  expectRouting({wantsAll(OriginA), wantsNothing(OriginB), wantsAll(OriginC)}, {
      // Config needs no caps.
      {"config", withFirstWord(TypeConfig, OriginC, 0), "AB"},
      {"config-back", withFirstWord(TypeConfig, OriginC, 1), "ABC"},
      // Analytic needs caps, except on its way back to its origin.
      {"analytic", withFirstWord(TypeAnalytic, OriginC, 0), "A"},
      {"analytic-back", withFirstWord(TypeAnalytic, OriginC, 7), "AC"},
      {"analytic-from-b", withFirstWord(TypeAnalytic, OriginB, 0), "AC"},
      {"analytic-back-b", withFirstWord(TypeAnalytic, OriginB, 0x80000000u), "ABC"},
  });
}

TEST(DeliveryRule, AlarmPtzSerialAndPosFollowTheWantsLiveBitOfTheirCaps) {
  PluginInfo alarmAndPtz = wantsNothing(OriginA);
  alarmAndPtz.alarmCaps = WantsLive;
  alarmAndPtz.ptzCaps = WantsLive;
  PluginInfo serialAndPos = wantsNothing(OriginB);
  serialAndPos.serialCaps = WantsLive | ServesStored;
  serialAndPos.posCaps = WantsLive;
  // Serving stored records is no wish for live ones.
  PluginInfo alarmAndStore = wantsNothing(OriginC);
  alarmAndStore.alarmCaps = WantsLive;
  alarmAndStore.posCaps = ServesStored;
  expectRouting({alarmAndPtz, serialAndPos, alarmAndStore}, {
      // These come back to their origin like to anybody else.
      {"alarm", makeEvent(TypeAlarm, FlagLive | FlagXml, OriginC), "AC"},
      {"ptz", makeEvent(TypePtz, FlagLive | FlagXml, OriginC), "A"},
      {"ptz-mod", makeEvent(TypePtz | TypeModifier, FlagLive | FlagXml, OriginC), "A"},
      {"serial", makeEvent(TypeSerial, FlagLive | FlagText, OriginC), "B"},
      {"pos", makeEvent(TypePos, FlagLive | FlagText, OriginC), "B"},
      {"unspecified", makeEvent(TypeUnspecified, FlagLive, OriginC), ""},
      {"type-128", makeEvent(128, FlagLive, OriginC), ""},
  });
}

// A stored result posted by a search thread of the core.
EventParms storedResult(uint32_t searchId) {
  EventParms result = makeEvent(TypeAlarm, FlagStored | FlagText, OriginB);
  result.searchId = searchId;
  return result;
}

TEST(DeliveryRule, StoredResultsGoOnlyToThePluginTheSearchIdNames) {
  expectRouting({wantsAll(OriginA), wantsAll(OriginB), wantsAll(CoreSource)}, {
      {"stored-for-a", storedResult(OriginA | 5), "A"},
      {"stored-for-core", storedResult(CoreSource), "C"},
      {"stored-for-nobody", storedResult(0x00770000), ""},
  });
}

// The gate's own rules are stream_gate_test's; here its answer reaches the poster.
TEST(LiveVideoGate, DroppedVideoIsAnsweredToThePosterAndNeverQueued) {
  RunningCore running({{'A', wantsAll(OriginA)}});
  EXPECT_EQ(post(videoFrame(OriginC, false), "before-key"), 3);
  EXPECT_EQ(post(audioFrame(OriginC), "audio"), 0);
  EXPECT_EQ(post(videoFrame(OriginC, true), "key"), 0);
  EXPECT_EQ(post(videoFrame(OriginC, false), "after-key"), 0);
  // Each source waits for its own.
  EXPECT_EQ(post(videoFrame(OriginB, false), "other-source"), 3);
  flush(running);
  EXPECT_TRUE(receivedWithText('A', "before-key").empty());
  EXPECT_TRUE(receivedWithText('A', "other-source").empty());
  EXPECT_EQ(receivedWithText('A', "after-key").size(), 1u);
}

TEST(KeptPayload, BlockLivesUntilEveryKeeperHasGivenItBack) {
  RunningCore running(
      {{'A', wantsAll(OriginA)}, {'B', wantsAll(OriginB)}, {'C', wantsNothing(OriginC)}});
  DvrCore& core = running.core;
  ASSERT_EQ(post(makeEvent(TypeAlarm, FlagLive | FlagText, External), "keep-shared"), 0);
  flush(running);
  ASSERT_TRUE(coreHoldsNothing(core));
  const auto kept = receivedWithText('A', "keep-shared");
  ASSERT_EQ(kept.size(), 1u);
  ASSERT_EQ(receivedWithText('B', "keep-shared").size(), 1u);
  const void* payload = kept[0].data;
  EXPECT_EQ(receivedWithText('B', "keep-shared")[0].data, payload);
  EXPECT_EQ(core.refBlocks.blockCount(), 1u);
  EXPECT_EQ(core.refBlocks.blockBytes(), 8u + 11u);
  EXPECT_EQ(core.refBlocks.holders(0x12), 1u);
  EXPECT_EQ(core.refBlocks.holders(0x13), 1u);

  EXPECT_EQ(route('A').decref(payload), 0);
  EXPECT_EQ(core.refBlocks.blockCount(), 1u);
  EXPECT_EQ(core.refBlocks.holders(0x12), 0u);
  EXPECT_EQ(core.refBlocks.holders(0x13), 1u);

  EXPECT_EQ(route('B').decref(payload), 0);
  EXPECT_EQ(core.refBlocks.blockCount(), 0u);
  EXPECT_EQ(core.refBlocks.blockBytes(), 0u);
  EXPECT_EQ(core.refBlocks.holders(0x13), 0u);
}

TEST(KeptPayload, StrayAndRepeatedDecrefsAreIgnoredWithAWarning) {
  RunningCore running(
      {{'A', wantsAll(OriginA)}, {'B', wantsAll(OriginB)}, {'C', wantsNothing(OriginC)}});
  DvrCore& core = running.core;
  ASSERT_EQ(post(makeEvent(TypeAlarm, FlagLive | FlagText, External), "keep-stray"), 0);
  flush(running);
  ASSERT_TRUE(coreHoldsNothing(core));
  const auto kept = receivedWithText('A', "keep-stray");
  ASSERT_EQ(kept.size(), 1u);
  const void* payload = kept[0].data;
  ASSERT_EQ(route('A').decref(payload), 0);
  const int unknown = 0;

  EXPECT_EQ(route('A').decref(payload), 0);   // a second time
  EXPECT_EQ(route('C').decref(payload), 0);   // never had it
  EXPECT_EQ(route('B').decref(&unknown), 0);  // no payload at all
  EXPECT_EQ(post(makeEvent(TypeDecref, 0, OriginB)), 0);
  // The warnings are queued too.
  flush(running);
  ASSERT_TRUE(coreHoldsNothing(core));
  EXPECT_EQ(core.refBlocks.blockCount(), 1u);
  EXPECT_EQ(core.refBlocks.blockBytes(), 8u + 10u);
  EXPECT_EQ(core.refBlocks.holders(0x12), 0u);
  EXPECT_EQ(core.refBlocks.holders(0x13), 1u);
  EXPECT_EQ(core.refBlocks.holders(0x14), 0u);

  const auto warnings = [](std::string_view sender, const void* address) {
    const std::string text = "decref ignored: " + std::string(sender) +
                             " holds no kept reference to payload " + pointerText(address);
    return receivedWithText('A', text).size();
  };
  EXPECT_EQ(warnings("12:RouteA", payload), 1u);
  EXPECT_EQ(warnings("14:RouteC", payload), 1u);
  EXPECT_EQ(warnings("13:RouteB", &unknown), 1u);

  EXPECT_EQ(route('B').decref(payload), 0);
  EXPECT_EQ(core.refBlocks.blockCount(), 0u);
  EXPECT_EQ(core.refBlocks.holders(0x13), 0u);
}

TEST(KeptPayload, DecrefFromAnotherThreadDuringOnEventTakesEffectWhenItReturns) {
  RunningCore running({{'A', wantsAll(OriginA)}});
  DvrCore& core = running.core;
  ASSERT_EQ(post(makeEvent(TypeAlarm, FlagLive | FlagText, External), "hold-1"), 0);
  const void* held = route('A').held(20000);
  ASSERT_NE(held, nullptr);
  EXPECT_EQ(route('A').decref(held), 0);
  // Only one give-back per delivery counts; a second would leave the
  // plugin's count below zero.
  EXPECT_EQ(route('A').decref(held), 0);
  route('A').proceed();
  EXPECT_TRUE(eventually([&] { return core.refBlocks.blockCount() == 0; }));
  // OnEvent read the payload again after the give-back: it was not freed under it.
  const auto seen = receivedWithText('A', "hold-1");
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].data, held);
  EXPECT_EQ(seen[0].kept, 1);
  EXPECT_EQ(core.refBlocks.holders(0x12), 0u);
  EXPECT_EQ(core.refBlocks.holders(0), 0u);
}

TEST(KeptPayload, DecrefFromWithinOnEventOfItsOwnPayloadIsSettledOnReturn) {
  RunningCore running({{'A', wantsAll(OriginA)}, {'B', wantsAll(OriginB)}});
  DvrCore& core = running.core;
  ASSERT_EQ(post(makeEvent(TypeAlarm, FlagLive | FlagText, External), "self-1"), 0);
  flush(running);
  EXPECT_TRUE(eventually([&] { return core.refBlocks.blockCount() == 0; }));
  EXPECT_EQ(core.refBlocks.holders(0x12), 0u);
  EXPECT_EQ(core.refBlocks.holders(0x13), 0u);
  const auto seen = receivedWithText('A', "self-1");
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].innerPost, 0);
  EXPECT_EQ(seen[0].kept, 1);
}

TEST(Search, EachServingPluginAnswersOnItsOwnThreadOneLiveResultAtATime) {
  RunningCore running({{'A', wantsAll(OriginA)},
                       {'B', wantsNothing(OriginB), route::ServesSearches},
                       {'C', wantsNothing(OriginC), route::ServesSearches}});
  constexpr uint32_t searchId = OriginA | 0x21;
  EXPECT_EQ(postSearch(searchId, "post:keep-first post:keep-second"), 0);
  // The requester keeps each first result, so each second one has to wait:
  // two kept blocks and two copies not yet queued. Without flow control the
  // count is reached only once the second results have been delivered.
  ASSERT_TRUE(eventually([] { return receivedWithText('A', "keep-first").size() == 2; }));
  ASSERT_TRUE(blocksSettleAt(running.core, 4));
  const route::Search servedByB = searchesOf('B')[0];
  const route::Search servedByC = searchesOf('C')[0];
  EXPECT_EQ(servedByB.answered, 1u);
  EXPECT_EQ(servedByC.answered, 1u);
  EXPECT_NE(servedByB.thread, servedByC.thread);
  EXPECT_EQ(servedByB.searchId, searchId);
  EXPECT_TRUE(receivedWithText('A', "keep-second").empty());

  const auto firsts = receivedWithText('A', "keep-first");
  const auto fromB = std::ranges::find(firsts, OriginB, &Received::source);
  const auto fromC = std::ranges::find(firsts, OriginC, &Received::source);
  ASSERT_NE(fromB, firsts.end());
  ASSERT_NE(fromC, firsts.end());
  EXPECT_EQ(fromB->type, uint32_t{TypeAlarm});
  EXPECT_EQ(fromB->flags & FlagStored, uint32_t{FlagStored});
  EXPECT_EQ(fromB->searchId, searchId);

  EXPECT_EQ(route('A').decref(fromB->data), 0);
  EXPECT_TRUE(eventually([] { return searchReached('B', [](const auto& s) { return s.done; }); }));
  EXPECT_EQ(answersOf(searchesOf('B')[0]), (std::vector<int32_t>{0, 0}));
  EXPECT_EQ(searchesOf('C')[0].answered, 1u);

  EXPECT_EQ(route('A').decref(fromC->data), 0);
  EXPECT_TRUE(eventually([] { return searchReached('C', [](const auto& s) { return s.done; }); }));
  EXPECT_EQ(answersOf(searchesOf('C')[0]), (std::vector<int32_t>{0, 0}));
  EXPECT_TRUE(eventually([] { return receivedWithText('A', "keep-second").size() == 2; }));

  EXPECT_EQ(route('A').decrefKept(), 2u);
  ASSERT_TRUE(searchThreadsEnded(running.core));
  EXPECT_TRUE(eventually([&] { return running.core.refBlocks.blockCount() == 0; }));
  EXPECT_EQ(running.core.refBlocks.holders(0x12), 0u);
}

TEST(Search, AwaitingThreadsReturnsOnceEverySearchThreadHasLetGoOfItsPlugin) {
  RunningCore running({{'B', wantsNothing(OriginB), route::ServesSearches}});
  EXPECT_EQ(postSearch(OriginA | 0x24, "wait"), 0);
  ASSERT_TRUE(eventually([] { return searchesOf('B').size() == 1; }));

  std::atomic<bool> awaited{false};
  std::thread awaiting([&] {
    running.core.searchHandler.awaitThreads();
    awaited = true;
  });
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(awaited) << "returned while a search thread was still inside its plugin";
  route('B').proceed();
  awaiting.join();
  // The core stops and unloads right after: nothing but the core may hold
  // the plugin any more.
  EXPECT_TRUE(onlyTheCoreHoldsPlugins(running.core));
  EXPECT_TRUE(searchesOf('B')[0].done);
}

TEST(Search, CancelRefusesFurtherResultsUntilTheSearchIsRequestedAgain) {
  RunningCore running(
      {{'A', wantsAll(OriginA)}, {'B', wantsNothing(OriginB), route::ServesSearches}});
  constexpr uint32_t searchId = OriginA | 0x22;
  EXPECT_EQ(postCancel(searchId, FlagQuery), 0);
  EXPECT_EQ(postSearch(searchId, "post:drop-first wait post:drop-second query"), 0);
  ASSERT_TRUE(eventually([] {
    return searchReached('B', [](const auto& search) { return search.answered == 1; });
  }));
  EXPECT_EQ(postCancel(searchId), 0);
  EXPECT_EQ(postCancel(searchId, FlagQuery), 1);
  EXPECT_EQ(postCancel(OriginA | 0x23, FlagQuery), 0);
  route('B').proceed();
  ASSERT_TRUE(eventually([] { return searchReached('B', [](const auto& s) { return s.done; }); }));
  EXPECT_EQ(answersOf(searchesOf('B')[0]), (std::vector<int32_t>{0, 1, 1}));

  // Asking again starts the search afresh.
  EXPECT_EQ(postSearch(searchId, "query post:drop-third"), 0);
  EXPECT_EQ(postCancel(searchId, FlagQuery), 0);
  ASSERT_TRUE(eventually([] {
    const auto searches = searchesOf('B');
    return searches.size() == 2 && searches[1].done;
  }));
  EXPECT_EQ(answersOf(searchesOf('B')[1]), (std::vector<int32_t>{0, 0}));

  flush(running);
  EXPECT_EQ(receivedWithText('A', "drop-first").size(), 1u);
  EXPECT_EQ(receivedWithText('A', "drop-second").size(), 0u);
  EXPECT_EQ(receivedWithText('A', "drop-third").size(), 1u);
  ASSERT_TRUE(searchThreadsEnded(running.core));
  EXPECT_TRUE(eventually([&] { return running.core.refBlocks.blockCount() == 0; }));
}

TEST(Search, RequestWithoutPayloadIsConsumedButStartsNothing) {
  RunningCore running({{'A', wantsAll(OriginA)}, {'B', wantsAll(OriginB), route::ServesSearches}});
  EXPECT_EQ(postSearch(OriginA | 0x31, ""), 0);
  EXPECT_EQ(postSearch(OriginA | 0x32, "post:drop-found"), 0);
  ASSERT_TRUE(searchThreadsEnded(running.core));
  flush(running);
  const auto searches = searchesOf('B');
  ASSERT_EQ(searches.size(), 1u);
  EXPECT_EQ(searches[0].searchId, OriginA | 0x32);
  EXPECT_EQ(receivedWithText('A', "drop-found").size(), 1u);
  // Neither request was delivered as an event.
  for (const char letter : {'A', 'B'}) {
    for (const Received& record : receivedBy(letter)) {
      EXPECT_FALSE(record.source == External && record.searchId != 0)
          << letter << " got " << record.text;
    }
  }
}

TEST(Search, ResultsPostedOutsideASearchThreadAreRefused) {
  RunningCore running({{'A', wantsAll(OriginA)}});
  // From OnEvent, on the dispatch thread.
  ASSERT_EQ(post(makeEvent(TypeAlarm, FlagLive | FlagText, External), "answer-now"), 0);
  // From the test's own thread.
  EventParms result = makeEvent(TypeAlarm, FlagStored | FlagText, OriginA);
  result.searchId = OriginA | 0x99;
  EXPECT_EQ(post(result, "answer-result"), 1);
  flush(running);
  const auto asked = receivedWithText('A', "answer-now");
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_EQ(asked[0].innerPost, 1);
  EXPECT_TRUE(receivedWithText('A', "answer-result").empty());
  EXPECT_TRUE(eventually([&] { return running.core.refBlocks.blockCount() == 0; }));
}

TEST(Search, StoppingRefusesAResultThatWaitedForFlowControl) {
  RunningCore running(
      {{'A', wantsAll(OriginA)}, {'B', wantsNothing(OriginB), route::ServesSearches}});
  EXPECT_EQ(postSearch(OriginA | 0x41, "post:keep-first post:keep-second"), 0);
  ASSERT_TRUE(eventually([] { return receivedWithText('A', "keep-first").size() == 1; }));
  // The first result kept, the copy of the second waiting for it.
  ASSERT_TRUE(blocksSettleAt(running.core, 2));
  // The dispatch loop ends with nothing queued.
  running.stop();
  EXPECT_EQ(route('A').decref(receivedWithText('A', "keep-first")[0].data), 0);
  ASSERT_TRUE(eventually([] { return searchReached('B', [](const auto& s) { return s.done; }); }));
  EXPECT_EQ(answersOf(searchesOf('B')[0]), (std::vector<int32_t>{0, 1}));
  ASSERT_TRUE(searchThreadsEnded(running.core));
  EXPECT_EQ(running.core.refBlocks.blockCount(), 0u);
  EXPECT_EQ(running.core.refBlocks.holders(0), 0u);
}

TEST(LogEntry, QueryAnswersTheThresholdOfTheQueryingOrigin) {
  RunningCore running;
  const auto query = [](uint32_t source) { return post(makeEvent(TypeLog, FlagQuery, source)); };
  EXPECT_EQ(query(OriginA), 25);
  EXPECT_EQ(query(CoreSource), 25);
  running.core.logLevels.set(0x12, 60);
  running.core.logLevels.set(0, 10);
  EXPECT_EQ(query(OriginA), 60);
  EXPECT_EQ(query(OriginA | 0x77), 60);
  EXPECT_EQ(query(OriginB), 25);
  EXPECT_EQ(query(CoreSource), 10);
}

TEST(LogEntry, LiveLinesBelowTheThresholdAreNeitherWrittenNorQueued) {
  RunningCore running({{'A', wantsAll(OriginA)}, {'C', wantsNothing(OriginC)}});
  running.core.logLevels.set(0x14, 40);
  testing::internal::CaptureStdout();
  EXPECT_EQ(post(liveLog(OriginC, 39), "line-39"), 0);
  EXPECT_EQ(post(liveLog(OriginC, 40), "line-40"), 0);
  EXPECT_EQ(post(liveLog(OriginC, 90), "line-90\n"), 0);
  // A modifier-marked line counts as level 0.
  EXPECT_EQ(post(liveLog(OriginC, 90, TypeLog | TypeModifier), "line-mod"), 0);
  EXPECT_EQ(post(liveLog(OriginC, 90)), 0);
  flush(running);
  const std::string written = testing::internal::GetCapturedStdout();

  EXPECT_EQ(receivedWithText('A', "line-39").size(), 0u);
  EXPECT_EQ(receivedWithText('A', "line-40").size(), 1u);
  EXPECT_EQ(receivedWithText('A', "line-90\n").size(), 1u);
  EXPECT_EQ(receivedWithText('A', "line-mod").size(), 0u);
  for (const Received& record : receivedBy('A')) {
    EXPECT_FALSE(record.source == OriginC && record.dataLen == 0) << "empty line was queued";
  }
  EXPECT_TRUE(hasTimedLine(written, "\x1b[32m", "\x1b[36m PI14\x1b[0m line-40\n")) << written;
  EXPECT_TRUE(hasTimedLine(written, "\x1b[38;5;196m", "\x1b[36m PI14\x1b[0m line-90\n")) << written;
  EXPECT_THAT(written, testing::Not(testing::HasSubstr("line-39")));
  EXPECT_THAT(written, testing::Not(testing::HasSubstr("line-mod")));
}

TEST(SynchronousAnswers, IpcCryptoCancelAndDecrefAreAnsweredAndNeverQueued) {
  RunningCore running({{'A', wantsAll(OriginA)}});
  // This core has no channel to a parent.
  EXPECT_EQ(post(makeEvent(TypeIpc, 0, OriginA), "ipc"), 1);
  EXPECT_EQ(post(makeEvent(TypeCrypto, 0, OriginA), "crypto"), -1);
  EXPECT_EQ(postCancel(OriginA | 1), 0);
  EXPECT_EQ(postCancel(OriginA | 1, FlagQuery), 1);
  EXPECT_EQ(post(makeEvent(TypeDecref, 0, OriginA)), 0);
  flush(running);
  for (const Received& record : receivedBy('A')) {
    EXPECT_THAT(record.type, testing::AnyOf(uint32_t{TypeLog}, uint32_t{TypeConfig}))
        << record.text;
  }
}

TEST(Stopping, NewRecordsAreRefusedButKeptPayloadsCanBeGivenBack) {
  RunningCore running(
      {{'A', wantsAll(OriginA)}, {'B', wantsNothing(OriginB), route::ServesSearches}});
  DvrCore& core = running.core;
  ASSERT_EQ(post(makeEvent(TypeAlarm, FlagLive | FlagText, External), "keep-over-stop"), 0);
  ASSERT_TRUE(eventually([] { return !receivedWithText('A', "keep-over-stop").empty(); }));
  running.stop();
  EXPECT_EQ(post(videoFrame(OriginC, true), "video"), 1);
  EXPECT_EQ(post(makeEvent(TypeAlarm, FlagLive | FlagText, External), "alarm"), 1);
  EXPECT_EQ(post(liveLog(OriginC, 50), "line"), 1);
  EXPECT_EQ(postSearch(OriginA | 0x51, "post:too-late"), 1);
  EXPECT_EQ(post(makeEvent(TypeLog, FlagQuery, OriginC)), 25);
  EXPECT_EQ(core.refBlocks.blockCount(), 1u);
  EXPECT_TRUE(searchesOf('B').empty());

  EXPECT_EQ(route('A').decref(receivedWithText('A', "keep-over-stop")[0].data), 0);
  EXPECT_EQ(core.refBlocks.blockCount(), 0u);
  EXPECT_EQ(core.refBlocks.holders(0x12), 0u);
}

// A stop requested while the dispatcher goes to sleep must still wake it:
// an idle wait lasts a second, far longer than any of these rounds.
TEST(Stopping, AnIdleDispatcherEndsAtOnce) {
  for (int round = 0; round < 80; ++round) {
    DvrCore core("/opt/trovis/bin/trovis-core");
    std::atomic<bool> ended{false};
    std::thread dispatcher([&] {
      core.dispatchLoop();
      ended = true;
    });
    // Around the time the loop first looks at the queue.
    std::this_thread::sleep_for(std::chrono::microseconds(round % 40));
    core.requestStop();
    const auto deadline = std::chrono::steady_clock::now() + 500ms;
    while (!ended && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    EXPECT_TRUE(ended) << "round " << round;
    dispatcher.join();
  }
}

TEST(Dispatch, SlowPluginIsReportedAtLevelZeroExceptForLiveLogLines) {
  PluginInfo logOnly = wantsNothing(OriginA);
  logOnly.logCaps = WantsLive;
  RunningCore running({{'A', logOnly}, {'B', wantsAll(OriginB)}, {'C', wantsNothing(OriginC)}});
  running.core.logLevels.set(0, 0);
  const std::string slow = "slow" + std::string(596, '.');
  ASSERT_EQ(post(makeEvent(TypeAlarm, FlagLive | FlagText, OriginC), slow), 0);
  ASSERT_EQ(post(liveLog(OriginC, 50), "slow-line"), 0);
  // Reports are posted while the dispatch loop delivers, so they may come
  // after a marker posted meanwhile.
  const auto reports = [](std::string_view rest) {
    int count = 0;
    for (const Received& record : receivedBy('A')) {
      const int millis = millisTaken(record.text, "RouteB", rest);
      if (millis < 0) continue;
      ++count;
      EXPECT_GE(millis, 20) << record.text;
    }
    return count;
  };
  EXPECT_TRUE(eventually([&] { return reports("ms for alarm event from RouteC [600]") == 1; }));
  // A configuration delta the core takes long to read, and which changes
  // nothing: the reading is the core's time, not the first plugin's.
  const std::string delta = "<?xml?><qDVR><Modules Delta=\"1\"><Module>"
                            "<Plugin ID=\"1310720\" LogLevel=\"-1\"/>" +
                            std::string(24 << 20, ' ') + "</Module></Modules></qDVR>";
  ASSERT_EQ(post(makeEvent(TypeConfig, FlagXml, OriginC), delta), 0);
  flush(running);
  EXPECT_EQ(reports("ms for alarm event from RouteC [600]"), 1);
  EXPECT_EQ(reports("ms for log event from RouteC [9]"), 0);
  const auto configReports = std::ranges::count_if(receivedBy('A'), [](const Received& record) {
    return std::string_view(record.text).find("ms for config event") != std::string_view::npos;
  });
  EXPECT_EQ(configReports, 0);
}

// The start of each statistics report among the core's lines `copy`
// received: "InQ:<n> events:<n>".
std::vector<std::string> reportedQueueAndEvents(char copy) {
  std::vector<std::string> heads;
  for (const Received& record : receivedBy(copy)) {
    const std::string_view text = record.text;
    if (record.source != CoreSource || !text.starts_with("InQ:")) continue;
    heads.emplace_back(text.substr(0, text.find(" idle:")));
  }
  return heads;
}

TEST(Dispatch, QueueLengthCountsWhatWaitsBehindTheBatchAndInTheQueue) {
  std::atomic<int64_t> steadyNanos{0};
  RunningCore running({{'A', wantsAll(OriginA)}}, [&] { return steadyNanos.load(); });
  // The first record taken brings the first report; the next is due a
  // minute of the core's clock later.
  ASSERT_EQ(post(makeEvent(TypeAlarm, FlagLive | FlagText, OriginC), "hold-first"), 0);
  const void* first = route('A').held(20000);
  ASSERT_NE(first, nullptr);
  // Taken together once the first is delivered: a batch of the first report,
  // the second hold and the marker.
  ASSERT_EQ(post(makeEvent(TypeAlarm, FlagLive | FlagText, OriginC), "hold-second"), 0);
  ASSERT_EQ(post(makeEvent(TypeAlarm, FlagLive | FlagText, OriginC), "marker"), 0);
  route('A').proceed();
  ASSERT_TRUE(eventually([] { return !receivedWithText('A', "hold-first").empty(); }));
  const void* second = route('A').held(20000);
  ASSERT_NE(second, nullptr);
  // Queued behind the batch, which still holds the marker.
  for (const char* late : {"late-1", "late-2", "late-3"}) {
    ASSERT_EQ(post(makeEvent(TypeAlarm, FlagLive | FlagText, OriginC), late), 0);
  }
  steadyNanos += std::chrono::nanoseconds(61s).count();
  route('A').proceed();
  ASSERT_TRUE(eventually([] { return !receivedWithText('A', "marker").empty(); }));
  flush(running);
  // The second report counts the first report's line, the second hold and the marker.
  EXPECT_THAT(reportedQueueAndEvents('A'),
              ::testing::ElementsAre("InQ:0 events:1", "InQ:3 events:3"));
  // A keeps what it held.
  EXPECT_EQ(route('A').decref(first), 0);
  EXPECT_EQ(route('A').decref(second), 0);
}

TEST(Dispatch, APluginRewritingItsRecordDoesNotChangeWhatLaterPluginsGet) {
  RunningCore running({{'A', wantsAll(OriginA)}, {'B', wantsAll(OriginB)}});
  ASSERT_EQ(post(makeEvent(TypeAlarm, FlagLive | FlagText, OriginC), "scribble-1"), 0);
  flush(running);
  const auto seen = receivedWithText('B', "scribble-1");
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].type, uint32_t{TypeAlarm});
  EXPECT_EQ(seen[0].source, OriginC);
  EXPECT_EQ(seen[0].flags, FlagLive | FlagText);
  EXPECT_EQ(seen[0].dataLen, 10u);
  EXPECT_TRUE(eventually([&] { return running.core.refBlocks.blockCount() == 0; }));
}

}  // namespace
}  // namespace trv::core
