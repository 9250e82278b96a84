#include "events/delivery_rule.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <regex>
#include <set>
#include <vector>

#include "events/record_queue.h"
#include "events/spare_blocks.h"
#include "events/statistics.h"
#include "events/stream_gate.h"
#include "log/number_locale.h"
#include "trv/core/event_views.h"

namespace trv::core {
namespace {

constexpr uint32_t OriginA = 0x00120000, OriginB = 0x00130000, OriginC = 0x00140000;
// Neither the core nor a plugin, like the origin of a search request.
constexpr uint32_t External = 0x0000000A;
constexpr uint32_t Live = FlagLive, Stored = FlagStored, Out = FrameOutputBound;

// A record with the fields that classification, routing and the gate read.
EventParms record(uint32_t type, uint32_t source, uint32_t flags = Live, uint8_t frameFlags = 0,
                  uint32_t firstWord = 0, uint32_t searchId = 0, uint8_t frameKind = 0) {
  EventParms event = makeEvent(type, flags, source);
  event.detail[detail_offset::frameFlags] = frameFlags;
  event.detail[detail_offset::frameKind] = frameKind;
  setDetailWord(event, detail_offset::firstWord, firstWord);
  event.searchId = searchId;
  return event;
}

template <typename View> const std::type_info& held = typeid(const View*);

// The one run-time look at the layout: it also runs on the 32-bit target.
TEST(EventRecord, FieldOffsetsClassificationByTypeDirectionAndOutputBitOriginsAndTypeNames) {
  // The first detail word is the level of a log record.
  EventParms event = record(TypeAlarm, OriginA, Live | FlagXml, Out, -7u, 0x55667788, KeyFrame);
  event.dataLen = 0x11223344;
  setDetailWord(event, detail_offset::seconds, 1700000000);
  event.detail[detail_offset::millis] = 0xE7;
  // Offsets of the 32-bit layout; every field behind `data` moves with wide pointers.
  constexpr size_t wide = sizeof(void*) == 8 ? 8 : 0;
  const std::pair<size_t, uint32_t> words[] = {
      {0, 184 + wide}, {4, 1},   {8, 0x11223344}, {16, OriginA}, {20, 0x55667788},  {24, TypeAlarm},
      {28, 0x01000010}, {32, 152}, {36, 1},        {40, -7u},     {44, 1700000000}, {48, 0x200100E7}};
  for (uint32_t word = 0; const auto& [offset, value] : words) {
    std::memcpy(&word, reinterpret_cast<const uint8_t*>(&event) + offset + (offset < 12 ? 0 : wide), 4);
    EXPECT_EQ(word, value) << "offset " << offset;
  }
  const struct { uint32_t type, flags; uint8_t frameFlags; const std::type_info& view; } cases[] = {
      // Only bit 5 marks output, and a modified record is never output-bound.
      {TypeVideo, Live, 0, held<VideoEvt>}, {TypeVideo, Live, Out, held<VideoOutEvt>}, {TypePos, 0, 0, held<POSEvt>},
      {TypeVideo, Live, 0xDF, held<VideoEvt>}, {TypeVideo | TypeModifier, Live, Out, held<VideoEvt>},
      {TypeVideo, Stored, Out, held<StoredVideoEvt>}, {TypeAudio, 0, 0, held<AudioEvt>},
      {TypeAudio, Live, Out, held<AudioOutEvt>}, {TypeAudio | TypeModifier, Live, Out, held<AudioEvt>},
      {TypeAudio, Stored | Live, 0, held<StoredAudioEvt>}, {TypeAlarm, Live, 0, held<AlarmEvt>},
      {TypeAlarm, Stored, 0, held<StoredAlarmEvt>}, {TypeLog, Live | FlagText, 0, held<LogEvt>},
      {TypeLog | TypeModifier, Stored, 0, held<StoredLogEvt>}, {TypePos, Stored, 0, held<StoredPOSEvt>},
      {TypeAnalytic, Live, 0, held<AnalyticEvt>}, {TypeAnalytic, Stored, 0, held<StoredAnalyticEvt>},
      {TypeSerial, Live, 0, held<SerialEvt>}, {TypeWatchdog, Live, 0, held<WatchdogEvt>},
      {TypePtz, Stored, 0, held<PTZEvt>}, {TypeConfig, Stored, 0, held<ConfigEvt>}};
  for (const auto& c : cases)
    EXPECT_EQ(classify(record(c.type, CoreSource, c.flags, c.frameFlags)).type(), c.view)
        << "type " << c.type << " flags " << c.flags << " frame flags " << +c.frameFlags;
  for (uint32_t type : {0u, 3u, 128u, 0x4000u, uint32_t{TypeDecref}, uint32_t{TypeCrypto}})
    EXPECT_FALSE(classify(record(type, CoreSource)).has_value()) << type;
  const EventParms serial = record(TypeSerial, CoreSource);
  EXPECT_EQ(std::any_cast<const SerialEvt*>(classify(serial)), &serial);
  const struct { uint32_t origin; uint8_t id; bool external; } origins[] = {
      {CoreSource, 0, false}, {OriginA, 0x12, false}, {External, 0, true}, {0x80120000, 0x12, false}};
  for (const auto& [origin, id, external] : origins)
    EXPECT_EQ(std::pair(pluginIdOf(origin), isExternalOrigin(origin)), std::pair(id, external)) << origin;
  const struct { uint32_t a, b; bool same; } pairs[] = {
      {CoreSource, CoreSource, true}, {CoreSource, 0, false}, {External, CoreSource, false},
      {0x00120001, 0x00120099, true}, {OriginA, OriginB, false}, {External, 0x00000007, true}};
  for (const auto& p : pairs) EXPECT_EQ(sameOrigin(p.a, p.b), p.same) << std::hex << p.a << " " << p.b;
  const std::pair<uint32_t, std::string> names[] = {
      {TypeVideo, "video"}, {TypeAnalytic, "analytic"}, {TypeVideo | TypeModifier, "video"},
      {128, "unknown"},     {16384, "unspecified"},      {TypeLog | TypeAlarm, "unknown"}};
  for (const auto& [type, name] : names) EXPECT_EQ(typeName(type), name) << type;
}

// Every caps word set: video, audio, alarm, ptz, serial, (close order), log, (reserved), pos, analytic.
PluginInfo plugin(uint32_t origin, uint32_t caps) {
  return {0, 0, origin, caps, caps, caps, caps, caps, 0, caps, 0, caps, caps, 0, 0, 0, 0, {}};
}

TEST(DeliveryRule, PicksThePluginsThatWantEachRecord) {
  // B wants only live alarm and serial records (serving stored ones is no wish for live ones);
  // D's origin names no plugin.
  PluginInfo b = plugin(OriginB, 0);
  b.alarmCaps = b.serialCaps = WantsLive, b.posCaps = ServesStored;
  const PluginInfo plugins[] = {plugin(OriginA, WantsLive), b, plugin(OriginC, WantsLive),
                                plugin(0, WantsLive), plugin(CoreSource, WantsLive)};
  const struct { EventParms event; std::string receivers; } cases[] = {
      // Own live media returns only when output-bound, whatever the caps; a modified record skips the
      // origin test but never reaches D. Log never returns to its origin; watchdog only does. Config and
      // analytic return to their origin when the first word is set; config needs no caps. The rest go
      // by their own caps word, with no origin test. Stored results go only to the requester the
      // search id names.
      {record(TypeVideo, OriginC), "ADE"}, {record(TypeVideo, OriginC, Live, Out), "ACDE"}, {record(128, OriginC), ""},
      {record(TypeVideo, OriginB, Live, Out), "ABCDE"}, {record(TypeVideo, External), "ACE"},
      {record(TypeVideo, CoreSource), "ACD"}, {record(TypeVideo | TypeModifier, OriginC), "ACE"},
      {record(TypeAudio, OriginC), "ADE"}, {record(TypeAudio | TypeModifier, CoreSource), "ACE"},
      {record(TypeLog, OriginC, Live | FlagText), "ADE"}, {record(TypeLog, External, FlagText), "ACE"},
      {record(TypeWatchdog, OriginB), "B"}, {record(TypeWatchdog, CoreSource), "E"}, {record(TypePos, OriginC), "ACDE"},
      {record(TypeWatchdog, External), "D"}, {record(TypeConfig, OriginC, FlagXml, 0, 1), "ABCDE"},
      {record(TypeConfig, OriginC, FlagXml), "ABDE"}, {record(TypeAnalytic, OriginC, FlagXml), "ADE"},
      {record(TypeConfig, External, FlagXml), "ABCE"}, {record(TypeAnalytic, OriginB, FlagXml, 0, 1u << 31), "ABCDE"},
      {record(TypeAlarm, OriginC), "ABCDE"}, {record(TypePtz | TypeModifier, OriginC), "ACDE"},
      {record(TypeSerial, OriginC), "ABCDE"}, {record(TypeUnspecified, OriginC), ""}, {record(TypeDecref, OriginC), ""},
      {record(TypeAlarm, OriginB, Stored, 0, 0, OriginA | 5), "A"},
      {record(TypeAlarm, OriginB, Stored, 0, 0, CoreSource), "E"},
      {record(TypeAlarm, OriginB, Stored, 0, 0, 0x00770000), ""}};
  for (const auto& c : cases) {
    std::string receivers;
    for (size_t i = 0; i < std::size(plugins); ++i)
      if (wantsEvent(plugins[i], c.event)) receivers += static_cast<char>('A' + i);
    EXPECT_EQ(receivers, c.receivers) << c.event.type << " " << c.event.flags << " " << c.event.source;
  }
}

TEST(StreamGate, WaitsForKeyFramesAndDropsLongGopsAndThrottledMedia) {
  constexpr uint32_t S1 = 0x10000, S2 = 0x10001;
  const EventParms frame1 = record(TypeVideo, S1), key1 = record(TypeVideo, S1, Live, 0, 0, 0, KeyFrame);
  const EventParms frame2 = record(TypeVideo, S2), key2 = record(TypeVideo, S2, Live, 0, 0, 0, KeyFrame);
  const struct { EventParms event; bool throttling; GateResult result; } steps[] = {
      {frame1, false, GateNoKeyFrame}, {record(TypeAudio, S1), false, GatePass},
      {record(TypeVideo, S1, Live, Out), false, GatePass}, {record(TypeVideo, S1, Stored), true, GatePass},
      {record(TypeVideo | TypeModifier, S1), true, GatePass}, {key1, false, GatePass},
      {record(TypeVideo, S1, Stored | Live), false, GatePass}, {frame1, false, GatePass}, {frame1, false, GatePass},
      {frame1, false, GateGopTooLong}, {frame2, false, GateNoKeyFrame}, {key2, false, GatePass},
      {frame2, false, GatePass}, {record(TypeAudio, S2), true, GateThrottled}, {key2, true, GateThrottled},
      // Throttled audio forgot the key frame of its source.
      {record(TypeVideo, S2, Live, Out), true, GateThrottled}, {frame2, false, GateNoKeyFrame},
      {frame1, false, GateGopTooLong}, {key1, false, GatePass}, {frame1, false, GatePass}};
  StreamGate gate;
  for (size_t i = 0; i < std::size(steps); ++i)
    EXPECT_EQ(gate.check(steps[i].event, steps[i].throttling, 3), steps[i].result) << "step " << i;
  // Far more frames than a 16-bit count holds: the stream stays cut.
  for (int i = 0; i < 70000; ++i) ASSERT_EQ(gate.check(frame1, false, 1), GateGopTooLong) << i;
}

TEST(RecordQueue, KeepsOrderAcrossChunksSwapsAndReuse) {
  RecordQueue queue, taken;
  uint32_t pushed = 0, popped = 0;
  const auto push = [&](RecordQueue& into) { into.push(record(TypeAlarm, OriginA, Live, 0, pushed++)); };
  const auto takeFront = [&](RecordQueue& from) {
    ASSERT_EQ(detailWord(from.front(), 0), popped++);
    from.dropFront();
  };
  // Three in, two out: chunks fill and drain while later ones fill.
  while (pushed < 1000) {
    for (int i = 0; i < 3; ++i) push(queue);
    for (int i = 0; i < 2; ++i) takeFront(queue);
  }
  queue.swap(taken);
  EXPECT_EQ(std::pair(queue.size(), taken.size()), std::pair(size_t{0}, size_t{pushed - popped}));
  while (!taken.empty()) takeFront(taken);
  // The drained storage, handed back, takes a backlog again.
  taken.swap(queue);
  for (int i = 0; i < 300; ++i) push(queue);
  while (!queue.empty()) takeFront(queue);
  EXPECT_EQ(popped, pushed);
}

// Blocks the dispatcher lets go of come back for copies of their own size,
// within the limit, and go back to the allocator once unused; ASan sees a
// block lost or freed twice.
TEST(SpareBlocks, ServeCopiesOfTheirOwnSizeWithinTheLimitAndGoBackWhenUnused) {
  SpareBlocks spares;
  std::vector<void*> taken;
  const auto take = [&](uint32_t size) {
    void* const block = spares.take(size);
    if (block != nullptr) taken.push_back(block);
    return block;
  };
  const auto give = [&](uint32_t size, int count = 1) {
    for (int i = 0; i < count; ++i) spares.collect(std::malloc(size), size);
  };

  give(1032, 2);
  EXPECT_EQ(take(1032), nullptr) << "not handed over yet";
  spares.handOver();
  EXPECT_EQ(take(1040), nullptr) << "another size";
  EXPECT_NE(take(1032), nullptr);
  EXPECT_NE(take(1032), nullptr);
  EXPECT_EQ(take(1032), nullptr);
  EXPECT_EQ(std::set(taken.begin(), taken.end()).size(), 2u);

  // What is over the byte limit, too large or of a ninth size at once goes back.
  constexpr uint32_t Largest = SpareBlocks::LargestKept;
  give(Largest, SpareBlocks::Limit / Largest + 1);
  give(Largest + 1);
  spares.handOver();
  for (size_t i = 0; i < SpareBlocks::Limit / Largest; ++i) ASSERT_NE(take(Largest), nullptr) << i;
  EXPECT_EQ(take(Largest), nullptr);
  EXPECT_EQ(take(Largest + 1), nullptr);
  for (uint32_t size = 100; size < 109; ++size) give(size);
  spares.handOver();
  int served = 0;
  for (uint32_t size = 100; size < 109; ++size) served += take(size) != nullptr;
  EXPECT_EQ(served, 8);

  // Kept while copies take them; freed after a tick without one, or at once
  // when memory is short.
  give(64, 3);
  spares.handOver();
  ASSERT_NE(take(64), nullptr);
  spares.release(false);
  ASSERT_NE(take(64), nullptr) << "released while in use";
  spares.release(true);
  EXPECT_EQ(take(64), nullptr) << "kept while memory is short";
  give(64);
  spares.handOver();
  spares.release(false);
  EXPECT_EQ(take(64), nullptr) << "kept while unused";
  for (void* block : taken) std::free(block);
}

// `text` as this run prints it: without the grouping locale, digit groups lose their commas.
std::string inLocale(const std::string& text) {
  return numberLocale().name() == "C" ? std::regex_replace(text, std::regex(",(?=[0-9])"), "") : text;
}

// Run twice: with the system's locales and with them hidden. Each run names the
// locale it expects, so a machine without en_US.UTF-8 cannot pass on the fallback.
TEST(Statistics, HumanSizesAndAReportDueEveryMinuteInThreeLinesInTheNumberLocaleThisRunExpects) {
  if (const char* expected = std::getenv("TRV_EXPECT_NUMBER_LOCALE")) { EXPECT_EQ(numberLocale().name(), expected); }
  const std::pair<int64_t, std::string> sizes[] = {
      {0, "0"}, {102399, "102,399"}, {-5, "-5"}, {-102399, "-102,399"}, {102400, "100KiB"}, {1048576, "1MiB"},
      {1536000, "1.47MiB"}, {-204800, "-200KiB"}, {int64_t{3} << 40, "3TiB"}, {INT64_MIN, "-8EiB"}};
  for (const auto& [bytes, text] : sizes) EXPECT_EQ(humanSize(bytes), inLocale(text)) << bytes;

  const auto nameOf = [](uint8_t id) { return "p" + std::to_string(id); };
  const auto start = StatisticsReport::Clock::now();
  StatisticsReport report(start);
  for (const auto& [after, due] : {std::pair{0, true}, {59, false}, {60, true}, {61, false}})
    EXPECT_EQ(report.due(start + std::chrono::seconds(after)), due) << after;
  ReportFigures figures{.dispatch = {3, 1234, 59, 20000}, .videoThrottled = 4, .ipcRequests = 2,
                        .ipcPackets = 1, .ipcBytes = 120, .searchRequests = 1, .resultsPosted = 2,
                        .resultBytes = 2048, .memoryInUse = 3 * 1048576, .memoryBaseline = 1048576,
                        .payloadBlocks = 1, .payloadBytes = 108};
  const auto hold = [&](uint8_t id, uint32_t count) { figures.holders[id] = count; };
  hold(0x05, 7), hold(0x03, 7), hold(0x09, 9);
  EXPECT_EQ(report.format(figures, nameOf),
            inLocale("InQ:3 events:1,234 idle:59s throttled[v:4 a:0]\n"
                     "ltm:20,000us ipc[r:2 p:1 d:120] srch[r:1 c:0 p:2 d:2,048] cDev:0\n"
                     "memory[inuse:3MiB +2MiB] refblks:1(108) top: p9 9, p3 7, p5 7"));

  // Six holders: the top list keeps five.
  hold(0x01, 1), hold(0x02, 2), hold(0x04, 4);
  const std::string quiet = "InQ:0 events:0 idle:0s throttled[v:0 a:0]\n"
                            "ltm:0us ipc[r:0 p:0 d:0] srch[r:0 c:0 p:0 d:0] cDev:0\n";
  EXPECT_EQ(report.format({.dispatch = {}, .memoryInUse = 1048576, .memoryBaseline = 1253376, .payloadBlocks = 1,
                           .payloadBytes = 108, .holders = figures.holders}, nameOf),
            quiet + "memory[inuse:1MiB -200KiB] refblks:1(108) top: p9 9, p3 7, p5 7, p4 4, p2 2");
  EXPECT_EQ(report.format({.dispatch = {}, .memoryInUse = 1048576, .memoryBaseline = 1048576}, nameOf),
            quiet + "memory[inuse:1MiB] refblks:0(0) top: ");
}

}  // namespace
}  // namespace trv::core
