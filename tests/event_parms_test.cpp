#include "trv/core/sdk.h"

#include <cstring>
#include <iostream>

#include <gtest/gtest.h>

namespace trv::core {
namespace {

// Where each field must sit in memory on this target: the 32-bit layout, or
// the widened one where pointers take 8 bytes.
constexpr size_t wide = sizeof(void*) == 8 ? 4 : 0;

template <typename T>
T readAt(const void* base, size_t offset) {
  T value;
  std::memcpy(&value, static_cast<const uint8_t*>(base) + offset, sizeof value);
  return value;
}

TEST(EventRecordLayout, FieldsSitAtTheirOffsetsInMemory) {
  std::cout << "EventParms: " << sizeof(EventParms) << " bytes, pointer " << sizeof(void*)
            << " bytes\n";
  EXPECT_EQ(sizeof(EventParms), 184 + 2 * wide);

  EventParms event = makeEvent(TypeAlarm, FlagLive | FlagXml, 0x00120000);
  int payload = 0;
  event.dataLen = 0x11223344;
  event.data = &payload;
  event.searchId = 0x55667788;
  setLogLevel(event, -7);
  event.detail[EventDetailBytes - 1] = 0xAB;

  EXPECT_EQ(readAt<uint32_t>(&event, 0), sizeof(EventParms));
  EXPECT_EQ(readAt<uint32_t>(&event, 4), 1u);
  EXPECT_EQ(readAt<uint32_t>(&event, 8), 0x11223344u);
  EXPECT_EQ(readAt<void*>(&event, 12 + wide), &payload);
  EXPECT_EQ(readAt<uint32_t>(&event, 16 + 2 * wide), 0x00120000u);
  EXPECT_EQ(readAt<uint32_t>(&event, 20 + 2 * wide), 0x55667788u);
  EXPECT_EQ(readAt<uint32_t>(&event, 24 + 2 * wide), uint32_t{TypeAlarm});
  EXPECT_EQ(readAt<uint32_t>(&event, 28 + 2 * wide), 0x01000010u);
  EXPECT_EQ(readAt<uint32_t>(&event, 32 + 2 * wide), 152u);
  EXPECT_EQ(readAt<uint32_t>(&event, 36 + 2 * wide), 1u);
  EXPECT_EQ(readAt<int32_t>(&event, 40 + 2 * wide), -7);
  EXPECT_EQ(readAt<uint8_t>(&event, 183 + 2 * wide), 0xAB);
}

TEST(EventRecordLayout, VideoDetailFieldsSitAtTheirOffsets) {
  EventParms event = makeEvent(TypeVideo, FlagLive, 0x00010000);
  setDetailWord(event, detail_offset::seconds, 1700000000);
  const uint16_t millis = 999;
  std::memcpy(event.detail + detail_offset::millis, &millis, sizeof millis);
  event.detail[detail_offset::frameKind] = KeyFrame;
  event.detail[detail_offset::frameFlags] = FrameOutputBound;

  EXPECT_EQ(readAt<uint32_t>(&event, 44 + 2 * wide), 1700000000u);
  EXPECT_EQ(readAt<uint16_t>(&event, 48 + 2 * wide), 999);
  EXPECT_EQ(readAt<uint8_t>(&event, 50 + 2 * wide), 1);
  EXPECT_EQ(readAt<uint8_t>(&event, 51 + 2 * wide), 0x20);
}

EventParms videoFrame(uint32_t type, uint32_t flags, uint8_t frameFlags) {
  EventParms event = makeEvent(type, flags, 0x00120000);
  event.detail[detail_offset::frameFlags] = frameFlags;
  return event;
}

TEST(Classification, VideoAndAudioByDirectionAndOutputBit) {
  EXPECT_TRUE(isView<VideoEvt>(videoFrame(TypeVideo, FlagLive, 0)));
  EXPECT_TRUE(isView<VideoOutEvt>(videoFrame(TypeVideo, FlagLive, FrameOutputBound)));
  EXPECT_TRUE(isView<VideoEvt>(videoFrame(TypeVideo | TypeModifier, FlagLive, FrameOutputBound)));
  EXPECT_TRUE(isView<StoredVideoEvt>(videoFrame(TypeVideo, FlagStored, FrameOutputBound)));
  EXPECT_TRUE(isView<StoredVideoEvt>(videoFrame(TypeVideo | TypeModifier, FlagStored, 0)));
  // Only bit 5 marks output; other frame flag bits do not.
  EXPECT_TRUE(isView<VideoEvt>(videoFrame(TypeVideo, FlagLive, 0xDF)));

  EXPECT_TRUE(isView<AudioEvt>(videoFrame(TypeAudio, 0, 0)));
  EXPECT_TRUE(isView<AudioOutEvt>(videoFrame(TypeAudio, FlagLive, FrameOutputBound)));
  EXPECT_TRUE(isView<AudioEvt>(videoFrame(TypeAudio | TypeModifier, FlagLive, FrameOutputBound)));
  EXPECT_TRUE(isView<StoredAudioEvt>(videoFrame(TypeAudio, FlagStored | FlagLive, 0)));
}

TEST(Classification, OtherTypesByDirection) {
  struct Case {
    uint32_t type;
    uint32_t flags;
    const std::type_info& view;
  };
  const Case cases[] = {
      {TypeAlarm, FlagLive, typeid(const AlarmEvt*)},
      {TypeAlarm, FlagStored, typeid(const StoredAlarmEvt*)},
      {TypeLog, FlagLive | FlagText, typeid(const LogEvt*)},
      {TypeLog | TypeModifier, FlagStored, typeid(const StoredLogEvt*)},
      {TypePos, 0, typeid(const POSEvt*)},
      {TypePos, FlagStored, typeid(const StoredPOSEvt*)},
      {TypeAnalytic, FlagLive, typeid(const AnalyticEvt*)},
      {TypeAnalytic, FlagStored, typeid(const StoredAnalyticEvt*)},
      {TypePtz, FlagStored, typeid(const PTZEvt*)},
      {TypeSerial, FlagLive, typeid(const SerialEvt*)},
      {TypeWatchdog, FlagLive, typeid(const WatchdogEvt*)},
      {TypeConfig, FlagStored, typeid(const ConfigEvt*)},
  };
  for (const Case& c : cases) {
    const EventParms event = makeEvent(c.type, c.flags, CoreSource);
    const std::any view = classify(event);
    EXPECT_EQ(view.type(), c.view) << "type " << c.type << " flags " << c.flags;
  }
}

TEST(Classification, TypesWithoutViewGiveAnEmptyHolder) {
  for (uint32_t type : {0u, 128u, 512u, 4096u, 8192u, 32768u, 0x4000u, 3u}) {
    EXPECT_FALSE(classify(makeEvent(type, FlagLive, CoreSource)).has_value()) << type;
  }
}

TEST(Classification, ViewPointsAtTheRecordAndWrongCastThrows) {
  const EventParms event = makeEvent(TypeSerial, FlagLive, CoreSource);
  const std::any view = classify(event);
  EXPECT_EQ(static_cast<const EventParms*>(std::any_cast<const SerialEvt*>(view)), &event);
  EXPECT_THROW(std::any_cast<const POSEvt*>(view), std::bad_any_cast);
}

TEST(Origins, PluginIdsAndSameOrigin) {
  EXPECT_EQ(pluginIdOf(CoreSource), 0);
  EXPECT_EQ(pluginIdOf(0x00120000), 0x12);
  EXPECT_EQ(pluginIdOf(0x00000005), 0);
  EXPECT_EQ(pluginIdOf(0x80120000), 0x12);

  EXPECT_TRUE(sameOrigin(CoreSource, CoreSource));
  EXPECT_FALSE(sameOrigin(CoreSource, 0x00000000));
  EXPECT_FALSE(sameOrigin(0x00000005, CoreSource));
  EXPECT_TRUE(sameOrigin(0x00120001, 0x00120099));
  EXPECT_FALSE(sameOrigin(0x00120000, 0x00130000));
  // External origins share id 0 with each other but never with the core.
  EXPECT_TRUE(sameOrigin(0x00000005, 0x00000007));

  EXPECT_TRUE(isExternalOrigin(0x00000005));
  EXPECT_FALSE(isExternalOrigin(CoreSource));
  EXPECT_FALSE(isExternalOrigin(0x00010000));
}

TEST(Origins, TypeNames) {
  EXPECT_STREQ(typeName(TypeVideo), "video");
  EXPECT_STREQ(typeName(TypeAnalytic), "analytic");
  EXPECT_STREQ(typeName(TypeVideo | TypeModifier), "video");
  EXPECT_STREQ(typeName(128), "unknown");
  EXPECT_STREQ(typeName(16384), "unspecified");
  EXPECT_STREQ(typeName(TypeLog | TypeAlarm), "unknown");
}

}  // namespace
}  // namespace trv::core
