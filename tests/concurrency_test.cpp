#include "dvr_core.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "eventually.h"
#include "test_plugins/route_controls.h"

namespace trv::core {
namespace {

constexpr uint32_t OriginA = 0x00120000;
constexpr uint32_t OriginB = 0x00130000;
constexpr uint32_t OriginC = 0x00140000;
constexpr uint32_t External = 0x0000000A;

constexpr int Posters = 6;
constexpr int RecordsPerPoster = 3000;
constexpr int Searches = 150;

using test::eventually;

// One random live record of a random type and origin with a payload of
// 0..4096 bytes, of which about a third the plugins keep.
EventParms randomRecord(std::mt19937& random, std::string& payload) {
  static constexpr uint32_t types[] = {
      TypeVideo, TypeVideo, TypeVideo,  TypeAudio,    TypeAudio,    TypeAlarm,
      TypeAlarm, TypePos,   TypeLog,    TypeConfig,   TypeAnalytic, TypeWatchdog,
  };
  static constexpr uint32_t sources[] = {OriginA, OriginB, OriginC, External};
  const uint32_t type = types[random() % std::size(types)];
  EventParms event = makeEvent(type, FlagLive | FlagText, sources[random() % std::size(sources)]);
  event.detail[detail_offset::frameKind] = random() % 8 == 0 ? KeyFrame : 0;
  if (type == TypeLog) setLogLevel(event, 30);
  payload.assign(random() % 4097, '.');
  payload.replace(0, std::min<size_t>(4, payload.size()), random() % 3 == 0 ? "keep" : "drop");
  event.data = payload.empty() ? nullptr : payload.data();
  event.dataLen = static_cast<uint32_t>(payload.size());
  return event;
}

bool allowedAnswer(uint32_t type, int answer) {
  if (answer == 0 || answer == 1) return true;
  return type == TypeVideo && (answer == 3 || answer == 4);
}

// Six threads post, two give back what the plugins kept, one starts and
// cancels searches whose results the requester partly keeps, and the core is
// stopped while all of that is still going on. Nothing may be left over.
TEST(Concurrency, PostingKeepingSearchingAndStoppingLeaveNoReferenceBehind) {
  DvrCore core("/opt/trovis/bin/trovis-core");
  g_core = &core;
  // Thousands of live log lines have no reader here.
  core.logWriter.setBackground();
  const std::vector<std::pair<char, uint32_t>> copies = {
      {'A', OriginA}, {'B', OriginB}, {'C', OriginC}};
  for (const auto& [letter, origin] : copies) {
    const PluginInfo caps = route::wantsAll(origin);
    route::controls(letter).setup(&caps, letter == 'A' ? 0 : route::ServesSearches);
    auto plugin = Plugin::Create(route::pathOf(letter), postEvent, core.deviceId);
    plugin->Open();
    core.plugins.push_back(std::move(plugin));
  }
  std::thread dispatcher([&] { core.dispatchLoop(); });

  std::atomic<int> posted{0};
  std::atomic<int> unexpected{0};
  std::vector<std::thread> posters;
  for (int poster = 0; poster < Posters; ++poster) {
    posters.emplace_back([&, poster] {
      std::mt19937 random(static_cast<uint32_t>(poster));
      std::string payload;
      for (int n = 0; n < RecordsPerPoster; ++n) {
        EventParms event = randomRecord(random, payload);
        if (!allowedAnswer(event.type, postEvent(&event))) ++unexpected;
        ++posted;
      }
    });
  }

  std::atomic<bool> quit{false};
  std::vector<std::thread> givers;
  for (int giver = 0; giver < 2; ++giver) {
    givers.emplace_back([&] {
      while (!quit.load()) {
        for (const auto& [letter, origin] : copies) route::controls(letter).decrefKept();
      }
    });
  }

  std::thread searcher([&] {
    for (uint32_t n = 1; n <= Searches; ++n) {
      EventParms request = makeEvent(TypeAlarm, FlagText, External);
      request.searchId = OriginA | n;
      std::string script = "post:keep-1 post:drop-2 post:keep-3 query post:drop-4";
      request.data = script.data();
      request.dataLen = static_cast<uint32_t>(script.size());
      if (!allowedAnswer(TypeAlarm, postEvent(&request))) ++unexpected;
      if (n % 3 != 0) continue;
      EventParms cancel = makeEvent(TypeCancel, 0, External);
      cancel.searchId = request.searchId;
      if (postEvent(&cancel) != 0) ++unexpected;
    }
  });

  // Stopped in the middle of it all, once searches have begun too.
  EXPECT_TRUE(eventually([&] {
    return posted.load() >= Posters * RecordsPerPoster * 3 / 4 && !route::searchesOf('B').empty();
  }));
  core.requestStop();
  for (auto& thread : posters) thread.join();
  searcher.join();
  dispatcher.join();
  // Search threads hold their plugin until they are done; one may still wait
  // for a result the givers have yet to release.
  EXPECT_TRUE(eventually([&] {
    return std::ranges::all_of(core.plugins,
                               [](const auto& plugin) { return plugin.use_count() == 1; });
  }));
  core.searchHandler.isCancelled(0);
  quit = true;
  for (auto& thread : givers) thread.join();
  for (const auto& [letter, origin] : copies) route::controls(letter).decrefKept();

  EXPECT_EQ(unexpected.load(), 0);
  EXPECT_FALSE(route::receivedBy('A').empty());
  EXPECT_FALSE(route::searchesOf('B').empty());
  EXPECT_EQ(core.refBlocks.blockCount(), 0u);
  EXPECT_EQ(core.refBlocks.blockBytes(), 0u);
  for (unsigned id = 0; id < 256; ++id) {
    EXPECT_EQ(core.refBlocks.holders(static_cast<uint8_t>(id)), 0u) << "plugin id " << id;
  }
  g_core = nullptr;
}

}  // namespace
}  // namespace trv::core
