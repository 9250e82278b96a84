// The shipped recorder, Recorder.so, in a real DvrCore beside a Route test
// plugin that asks it for stored events: what it keeps, what it gives back
// and when, and how it answers searches under the core's flow control.
#include "core_with_plugins.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "scratch_work_dir.h"
#include "test_plugins/route_controls.h"

namespace trv::test {
namespace {

using namespace trv::core;
using route::Received;

constexpr uint8_t RecorderId = 0x42;
constexpr uint32_t RecorderOrigin = originOfPlugin(RecorderId);
constexpr uint32_t RequesterOrigin = originOfPlugin(0x12);  // Route copy A
// Alarms and video come from a camera that is not loaded; search requests
// from outside the plugins.
constexpr uint32_t CameraOrigin = originOfPlugin(0x14);
constexpr uint32_t External = 0x0000000A;

std::filesystem::path recorderPath() {
  return std::filesystem::path(TRV_BIN_DIR) / "plugins" / "Recorder.so";
}

// Recorder.conf in a working directory of its own, and the requester A,
// which keeps the stored results whose text starts with "keep" and sees the
// core's log lines; made before the core loads and opens them.
struct Setup {
  explicit Setup(uint32_t keep) {
    dir.write("Recorder.conf", "keep=" + std::to_string(keep) + "\n");
    PluginInfo requester = route::wantsNothing(RequesterOrigin);
    requester.logCaps = WantsLive;
    route::controls('A').setup(&requester, 0);
  }
  ScratchWorkDir dir;
};

// The recorder keeping `keep` events, then A.
struct Recording {
  explicit Recording(uint32_t keep) : setup(keep) {}
  Setup setup;
  CoreWithPlugins running{{recorderPath(), route::pathOf('A')}};
  DvrCore& core = running.core;
};

int post(EventParms event, std::string text) {
  event.data = text.data();
  event.dataLen = static_cast<uint32_t>(text.size());
  return postEvent(&event);
}

int postAlarm(const std::string& text) {
  return post(makeEvent(TypeAlarm, FlagLive | FlagText, CameraOrigin), text);
}

int postVideo(const std::string& text, bool key) {
  EventParms frame = makeEvent(TypeVideo, FlagLive, CameraOrigin);
  frame.detail[detail_offset::frameKind] = key ? KeyFrame : 0;
  return post(frame, text);
}

int postSearch(uint32_t type, uint32_t searchId) {
  EventParms request = makeEvent(type, FlagText, External);
  request.searchId = searchId;
  return post(request, "everything");
}

int postCancel(uint32_t searchId) {
  EventParms cancel = makeEvent(TypeCancel, 0, External);
  cancel.searchId = searchId;
  return postEvent(&cancel);
}

// Everything posted so far has passed the recorder once A has a marker
// posted now: the queue is FIFO and the recorder comes first.
void flush() {
  static int serial = 0;
  const std::string marker = "flush-" + std::to_string(++serial);
  ASSERT_EQ(post(makeEvent(TypeConfig, FlagXml, External), marker), 0);
  ASSERT_TRUE(eventually([&] {
    const auto received = route::receivedBy('A');
    return std::ranges::any_of(received, [&](const Received& r) { return r.text == marker; });
  }));
}

// The stored records A received for `searchId`, in order: their texts, the
// end marker (no payload) shown as "(end)".
std::vector<std::string> resultsOf(uint32_t searchId) {
  std::vector<std::string> texts;
  for (const Received& record : route::receivedBy('A')) {
    if ((record.flags & FlagStored) == 0 || record.searchId != searchId) continue;
    texts.push_back(record.dataLen == 0 ? "(end)" : record.text);
  }
  return texts;
}

const void* payloadOf(uint32_t searchId, std::string_view text) {
  for (const Received& record : route::receivedBy('A')) {
    if (record.searchId == searchId && record.text == text) return record.data;
  }
  return nullptr;
}

bool warnedOfStrayDecrefs() {
  return std::ranges::any_of(route::receivedBy('A'), [](const Received& record) {
    return std::string_view(record.text).starts_with("decref ignored");
  });
}

// Waits until `count` blocks exist and the core holds none of them itself.
bool blocksSettleAt(DvrCore& core, uint32_t count) {
  return eventually([&] {
    return core.refBlocks.holders(0) == 0 && core.refBlocks.blockCount() == count;
  });
}

using Texts = std::vector<std::string>;

struct Search {
  uint32_t type;
  uint32_t searchId;
};

// Posts the searches and waits until every result has been delivered: none
// is held back, since A keeps only results named "keep...".
void runSearches(DvrCore& core, std::initializer_list<Search> searches) {
  for (const Search& search : searches) ASSERT_EQ(postSearch(search.type, search.searchId), 0);
  core.searchHandler.awaitThreads();
  flush();
}

// Stores keep-1..keep-3 and searches for them: A keeps the first result, and
// the second one's copy waits for it in the core's flow control.
void searchWithFirstResultHeld(Recording& recording, uint32_t searchId) {
  for (const char* text : {"keep-1", "keep-2", "keep-3"}) ASSERT_EQ(postAlarm(text), 0);
  flush();
  ASSERT_EQ(postSearch(TypeAlarm, searchId), 0);
  ASSERT_TRUE(eventually([&] { return payloadOf(searchId, "keep-1") != nullptr; }));
  // Three stored, the result A keeps, and the next result's copy.
  ASSERT_TRUE(blocksSettleAt(recording.core, 5));
}

TEST(RecorderKeeping, HoldsTheLastNAndGivesBackEachEvictedPayloadAtOnce) {
  Recording recording(3);
  for (int i = 1; i <= 5; ++i) ASSERT_EQ(postAlarm("alarm-" + std::to_string(i)), 0);
  flush();
  ASSERT_TRUE(blocksSettleAt(recording.core, 3));
  EXPECT_EQ(recording.core.refBlocks.holders(RecorderId), 3u);

  // Video shares the same room: two frames push out two alarms.
  ASSERT_EQ(postVideo("video-1", true), 0);
  ASSERT_EQ(postVideo("video-2", false), 0);
  // Neither output-bound video nor a record without payload is kept.
  EventParms display = makeEvent(TypeVideo, FlagLive, CameraOrigin);
  display.detail[detail_offset::frameFlags] = FrameOutputBound;
  ASSERT_EQ(post(display, "to-display"), 0);
  EventParms empty = makeEvent(TypeAlarm, FlagLive | FlagXml, CameraOrigin);
  ASSERT_EQ(postEvent(&empty), 0);
  flush();
  ASSERT_TRUE(blocksSettleAt(recording.core, 3));
  EXPECT_EQ(recording.core.refBlocks.holders(RecorderId), 3u);

  constexpr uint32_t alarms = RequesterOrigin | 1;
  constexpr uint32_t video = RequesterOrigin | 2;
  runSearches(recording.core, {{TypeAlarm, alarms}, {TypeVideo, video}});
  EXPECT_EQ(resultsOf(alarms), (Texts{"alarm-5", "(end)"}));
  EXPECT_EQ(resultsOf(video), (Texts{"video-1", "video-2", "(end)"}));

  recording.running.stop();
  EXPECT_EQ(recording.core.refBlocks.blockCount(), 0u);
  EXPECT_EQ(recording.core.refBlocks.holders(RecorderId), 0u);
  EXPECT_EQ(recording.core.refBlocks.holders(0), 0u);
  EXPECT_FALSE(warnedOfStrayDecrefs());
}

TEST(RecorderSearch, ResultsAreStoredCopiesOfTheRequestedTypeOldestFirstThenAnEndMarker) {
  Recording recording(5);
  ASSERT_EQ(postAlarm("alarm-1"), 0);
  ASSERT_EQ(postVideo("video-1", true), 0);
  ASSERT_EQ(postAlarm("alarm-2"), 0);
  ASSERT_EQ(postVideo("video-2", false), 0);
  ASSERT_EQ(postAlarm("alarm-3"), 0);
  ASSERT_EQ(postAlarm("alarm-4"), 0);  // alarm-1 goes
  // A search sees what the recorder has been given, not what is still queued.
  flush();

  constexpr uint32_t alarms = RequesterOrigin | 0x31;
  constexpr uint32_t nothingKept = RequesterOrigin | 0x32;
  runSearches(recording.core, {{TypeAlarm, alarms}, {TypePos, nothingKept}});
  EXPECT_EQ(resultsOf(alarms), (Texts{"alarm-2", "alarm-3", "alarm-4", "(end)"}));
  // A type it does not keep is left to other plugins: not even an end marker.
  EXPECT_TRUE(resultsOf(nothingKept).empty());
  for (const Received& record : route::receivedBy('A')) {
    if (record.searchId != alarms) continue;
    EXPECT_EQ(record.type, uint32_t{TypeAlarm});
    EXPECT_EQ(record.flags, record.dataLen == 0 ? uint32_t{FlagStored} : FlagStored | FlagText);
    EXPECT_EQ(record.source, RecorderOrigin);
  }
  recording.running.stop();
  EXPECT_EQ(recording.core.refBlocks.blockCount(), 0u);
}

TEST(RecorderSearch, EachResultWaitsUntilTheRequesterHasLetGoOfThePreviousOne) {
  Recording recording(3);
  constexpr uint32_t searchId = RequesterOrigin | 0x41;
  searchWithFirstResultHeld(recording, searchId);

  const Texts kept{"keep-1", "keep-2", "keep-3"};
  for (size_t i = 0; i < kept.size(); ++i) {
    SCOPED_TRACE(kept[i]);
    ASSERT_TRUE(eventually([&] { return payloadOf(searchId, kept[i]) != nullptr; }));
    // No copy waits behind the last one: the end marker has no payload.
    ASSERT_TRUE(blocksSettleAt(recording.core, i + 1 < kept.size() ? 5 : 4));
    Texts found = resultsOf(searchId);
    std::erase(found, "(end)");
    EXPECT_EQ(found, Texts(kept.begin(), kept.begin() + static_cast<ptrdiff_t>(i) + 1));
    EXPECT_EQ(route::controls('A').decref(payloadOf(searchId, kept[i])), 0);
  }
  recording.core.searchHandler.awaitThreads();
  flush();
  EXPECT_EQ(resultsOf(searchId), (Texts{"keep-1", "keep-2", "keep-3", "(end)"}));
  EXPECT_TRUE(blocksSettleAt(recording.core, 3));
}

TEST(RecorderSearch, CancelledSearchPostsNothingMoreAndNoEndMarker) {
  Recording recording(3);
  constexpr uint32_t searchId = RequesterOrigin | 0x51;
  searchWithFirstResultHeld(recording, searchId);
  // keep-2 is past the core's cancel check, waiting for keep-1 to be let go.
  ASSERT_EQ(postCancel(searchId), 0);
  EXPECT_EQ(route::controls('A').decref(payloadOf(searchId, "keep-1")), 0);

  recording.core.searchHandler.awaitThreads();
  flush();
  EXPECT_EQ(resultsOf(searchId), (Texts{"keep-1", "keep-2"}));
  EXPECT_EQ(route::controls('A').decrefKept(), 1u);
  EXPECT_TRUE(blocksSettleAt(recording.core, 3));
}

TEST(RecorderSearch, EventsEvictedWhileASearchServesThemAreGivenBackOnceServed) {
  Recording recording(3);
  constexpr uint32_t searchId = RequesterOrigin | 0x61;
  searchWithFirstResultHeld(recording, searchId);
  DvrCore& core = recording.core;

  // Three new alarms push out all three the search is serving: keep-1 is
  // served and goes back now, keep-2 and keep-3 are still to be served.
  for (const char* text : {"new-4", "new-5", "new-6"}) ASSERT_EQ(postAlarm(text), 0);
  flush();
  // Stored 3, still to be served 2, A's keep-1 and keep-2's waiting copy.
  ASSERT_TRUE(blocksSettleAt(core, 7));
  EXPECT_EQ(core.refBlocks.holders(RecorderId), 5u);

  EXPECT_EQ(route::controls('A').decref(payloadOf(searchId, "keep-1")), 0);
  ASSERT_TRUE(eventually([&] { return payloadOf(searchId, "keep-2") != nullptr; }));
  // keep-2 served: its stored payload goes back without waiting for the search
  // to end, and keep-3's copy is made, in either order.
  EXPECT_TRUE(eventually([&] {
    return core.refBlocks.holders(0) == 0 && core.refBlocks.blockCount() == 6u &&
           core.refBlocks.holders(RecorderId) == 4u;
  }));

  EXPECT_EQ(route::controls('A').decref(payloadOf(searchId, "keep-2")), 0);
  core.searchHandler.awaitThreads();
  flush();
  // What was stored when the search began, and nothing since.
  EXPECT_EQ(resultsOf(searchId), (Texts{"keep-1", "keep-2", "keep-3", "(end)"}));
  ASSERT_TRUE(blocksSettleAt(core, 4));
  EXPECT_EQ(core.refBlocks.holders(RecorderId), 3u);
  EXPECT_EQ(route::controls('A').decrefKept(), 1u);
  recording.running.stop();
  EXPECT_EQ(core.refBlocks.blockCount(), 0u);
  EXPECT_FALSE(warnedOfStrayDecrefs());
}

TEST(RecorderSearch, StoppingWhileAResultWaitsEndsTheSearchAndCloseGivesEverythingBack) {
  Recording recording(3);
  constexpr uint32_t searchId = RequesterOrigin | 0x71;
  searchWithFirstResultHeld(recording, searchId);

  // The core refuses the waiting result; the search returns before the
  // recorder is unloaded, and Close gives back all three stored alarms.
  recording.running.stop();
  EXPECT_EQ(resultsOf(searchId), (Texts{"keep-1"}));
  EXPECT_EQ(recording.core.refBlocks.blockCount(), 1u);
  EXPECT_EQ(recording.core.refBlocks.holders(RecorderId), 0u);
  EXPECT_EQ(route::controls('A').decrefKept(), 1u);
  EXPECT_EQ(recording.core.refBlocks.blockCount(), 0u);
  EXPECT_FALSE(warnedOfStrayDecrefs());
}

}  // namespace
}  // namespace trv::test
