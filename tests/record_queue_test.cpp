#include "record_queue.h"

#include <gtest/gtest.h>

namespace trv::core {
namespace {

EventParms numbered(uint32_t n) {
  EventParms record = makeEvent(TypeAlarm, FlagLive, originOfPlugin(1));
  record.dataLen = n;
  return record;
}

TEST(RecordQueue, KeepsOrderAcrossWrapAroundAndGrowth) {
  RecordQueue queue;
  uint32_t pushed = 0;
  uint32_t popped = 0;
  // Pushing three and popping two at a time makes the ring wrap before
  // every growth, so growth has to unroll a wrapped ring.
  while (pushed < 1000) {
    for (int i = 0; i < 3; ++i) queue.push(numbered(pushed++));
    for (int i = 0; i < 2; ++i) ASSERT_EQ(queue.pop().dataLen, popped++);
  }
  EXPECT_EQ(queue.size(), pushed - popped);
  while (!queue.empty()) ASSERT_EQ(queue.pop().dataLen, popped++);
  EXPECT_EQ(popped, pushed);
}

TEST(RecordQueue, SwapHandsOverTheRecordsAndBringsBackTheEmptiedRing) {
  RecordQueue shared;
  RecordQueue taken;
  for (uint32_t i = 0; i < 100; ++i) shared.push(numbered(i));
  const EventParms* storage = &shared.front();

  shared.swap(taken);
  EXPECT_TRUE(shared.empty());
  ASSERT_EQ(taken.size(), 100u);
  for (uint32_t i = 0; i < 100; ++i) {
    ASSERT_EQ(taken.front().dataLen, i);
    taken.dropFront();
  }

  // The drained ring goes back and takes as many records again in place.
  shared.swap(taken);
  for (uint32_t i = 0; i < 100; ++i) shared.push(numbered(i));
  const auto at = reinterpret_cast<uintptr_t>(&shared.front());
  const auto base = reinterpret_cast<uintptr_t>(storage);
  EXPECT_GE(at, base);
  EXPECT_LT(at, base + 128 * sizeof(EventParms));
}

}  // namespace
}  // namespace trv::core
