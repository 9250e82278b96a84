#include "kept_references.h"

#include <gtest/gtest.h>

namespace trv::core {
namespace {

using GiveBack = KeptReferences::GiveBack;

TEST(KeptReferences, OnlyAKeptReferenceCanBeGivenBackAndOnlyOnce) {
  KeptReferences kept;
  int payload = 0;
  kept.beginDelivery(&payload, 0x12);
  EXPECT_FALSE(kept.endDelivery(true));

  EXPECT_EQ(kept.giveBack(&payload, 0x13), GiveBack::NotHeld);
  EXPECT_EQ(kept.giveBack(&payload, 0x12), GiveBack::Release);
  EXPECT_EQ(kept.giveBack(&payload, 0x12), GiveBack::NotHeld);
}

TEST(KeptReferences, NotKeptMeansReleasedByTheCore) {
  KeptReferences kept;
  int payload = 0;
  kept.beginDelivery(&payload, 0x12);
  EXPECT_TRUE(kept.endDelivery(false));
  EXPECT_EQ(kept.giveBack(&payload, 0x12), GiveBack::NotHeld);
}

TEST(KeptReferences, GivenBackDuringItsOwnDeliverySettlesWhenTheCallReturns) {
  KeptReferences kept;
  int payload = 0;
  kept.beginDelivery(&payload, 0x12);
  EXPECT_EQ(kept.giveBack(&payload, 0x12), GiveBack::Deferred);
  // A second early decref is a stray one.
  EXPECT_EQ(kept.giveBack(&payload, 0x12), GiveBack::NotHeld);
  EXPECT_TRUE(kept.endDelivery(true));
  EXPECT_EQ(kept.giveBack(&payload, 0x12), GiveBack::NotHeld);

  // Returning 0 after an early decref still releases exactly once.
  kept.beginDelivery(&payload, 0x12);
  EXPECT_EQ(kept.giveBack(&payload, 0x12), GiveBack::Deferred);
  EXPECT_TRUE(kept.endDelivery(false));
  int other = 0;
  kept.beginDelivery(&other, 0x12);
  EXPECT_FALSE(kept.endDelivery(true));
  EXPECT_EQ(kept.giveBack(&payload, 0x12), GiveBack::NotHeld);
  EXPECT_EQ(kept.giveBack(&other, 0x12), GiveBack::Release);
}

TEST(KeptReferences, SamePayloadKeptByTwoPlugins) {
  KeptReferences kept;
  int payload = 0;
  kept.beginDelivery(&payload, 0x12);
  EXPECT_FALSE(kept.endDelivery(true));
  kept.beginDelivery(&payload, 0x13);
  EXPECT_FALSE(kept.endDelivery(true));
  EXPECT_EQ(kept.giveBack(&payload, 0x13), GiveBack::Release);
  EXPECT_EQ(kept.giveBack(&payload, 0x12), GiveBack::Release);
}

}  // namespace
}  // namespace trv::core
