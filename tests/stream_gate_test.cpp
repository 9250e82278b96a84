#include "stream_gate.h"

#include <gtest/gtest.h>

namespace trv::core {
namespace {

EventParms frame(uint32_t source, bool key, uint32_t type = TypeVideo, uint8_t frameFlags = 0) {
  EventParms event = makeEvent(type, FlagLive, source);
  event.detail[detail_offset::frameKind] = key ? KeyFrame : 2;
  event.detail[detail_offset::frameFlags] = frameFlags;
  return event;
}

TEST(StreamGate, VideoWaitsForTheFirstKeyFrameOfEachSource) {
  StreamGate gate;
  EXPECT_EQ(gate.check(frame(0x10000, false), false, 1050), GateNoKeyFrame);
  EXPECT_EQ(gate.check(frame(0x10000, true), false, 1050), GatePass);
  EXPECT_EQ(gate.check(frame(0x10000, false), false, 1050), GatePass);
  // Another source keeps its own count.
  EXPECT_EQ(gate.check(frame(0x10001, false), false, 1050), GateNoKeyFrame);
}

TEST(StreamGate, FramesBeyondTheGopLengthAreDroppedUntilTheNextKeyFrame) {
  StreamGate gate;
  const uint32_t source = 0x20000;
  ASSERT_EQ(gate.check(frame(source, true), false, 765), GatePass);
  for (int i = 1; i < 765; ++i) ASSERT_EQ(gate.check(frame(source, false), false, 765), GatePass) << i;
  EXPECT_EQ(gate.check(frame(source, false), false, 765), GateGopTooLong);
  // Far more frames than a 16-bit count holds: still dropped.
  for (int i = 0; i < 70000; ++i) ASSERT_EQ(gate.check(frame(source, false), false, 765), GateGopTooLong) << i;
  EXPECT_EQ(gate.check(frame(source, true), false, 765), GatePass);
  EXPECT_EQ(gate.check(frame(source, false), false, 765), GatePass);
}

TEST(StreamGate, ThrottlingDropsMediaAndForgetsTheKeyFrame) {
  StreamGate gate;
  const uint32_t source = 0x30000;
  ASSERT_EQ(gate.check(frame(source, true), false, 1050), GatePass);
  EXPECT_EQ(gate.check(frame(source, false, TypeAudio), true, 1050), GateThrottled);
  EXPECT_EQ(gate.check(frame(source, true), true, 1050), GateThrottled);
  EXPECT_EQ(gate.check(frame(source, false, TypeVideo, FrameOutputBound), true, 1050),
            GateThrottled);
  EXPECT_EQ(gate.check(frame(source, false, TypeAudio | TypeModifier), true, 1050), GatePass);
  // Audio dropped while throttling reset the video count of the same source.
  EXPECT_EQ(gate.check(frame(source, false), false, 1050), GateNoKeyFrame);
}

TEST(StreamGate, OnlyPlainLiveVideoIsKeyFrameGated) {
  StreamGate gate;
  EXPECT_EQ(gate.check(frame(0x40000, false, TypeAudio), false, 1050), GatePass);
  EXPECT_EQ(gate.check(frame(0x40000, false, TypeVideo, FrameOutputBound), false, 1050), GatePass);
  EXPECT_EQ(gate.check(frame(0x40000, false, TypeVideo | TypeModifier), true, 1050), GatePass);
  EventParms stored = frame(0x40000, false);
  stored.flags = FlagStored;
  EXPECT_EQ(gate.check(stored, true, 1050), GatePass);
  EventParms both = frame(0x40000, false);
  both.flags = FlagLive | FlagStored;
  EXPECT_EQ(gate.check(both, false, 1050), GatePass);
}

}  // namespace
}  // namespace trv::core
