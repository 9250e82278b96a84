#include "ref_block.h"

#include <cstring>
#include <string>

#include <gtest/gtest.h>

namespace trv::core {
namespace {

TEST(RefBlocks, BlockCarriesSizeCountAndPayloadCopy) {
  RefBlocks blocks;
  std::string text = "payload";
  void* payload = blocks.create(text.data(), static_cast<uint32_t>(text.size()));
  ASSERT_NE(payload, nullptr);
  text[0] = 'X';  // the block holds its own copy
  EXPECT_EQ(std::memcmp(payload, "payload", 7), 0);
  uint32_t header[2];
  std::memcpy(header, static_cast<uint8_t*>(payload) - 8, sizeof header);
  EXPECT_EQ(header[0], 15u);
  EXPECT_EQ(header[1], 0u);
  EXPECT_EQ(blocks.blockCount(), 1u);
  EXPECT_EQ(blocks.blockBytes(), 15u);
  blocks.discard(payload);
  EXPECT_EQ(blocks.blockCount(), 0u);
  EXPECT_EQ(blocks.blockBytes(), 0u);
}

TEST(RefBlocks, LastReleaseReportsTheBlockFree) {
  RefBlocks blocks;
  const char bytes[3] = {1, 2, 3};
  void* payload = blocks.create(bytes, 3);
  blocks.addRef(payload, 0);
  blocks.addRef(payload, 0x12);
  blocks.addRef(payload, 0x13);
  EXPECT_EQ(blocks.holders(0x12), 1u);

  EXPECT_FALSE(blocks.release(payload, 0));
  EXPECT_FALSE(blocks.release(payload, 0x12));
  EXPECT_EQ(blocks.holders(0), 0u);
  EXPECT_EQ(blocks.holders(0x12), 0u);
  EXPECT_EQ(blocks.holders(0x13), 1u);
  EXPECT_EQ(blocks.blockCount(), 1u);

  EXPECT_TRUE(blocks.release(payload, 0x13));
  blocks.discard(payload);
  EXPECT_EQ(blocks.blockCount(), 0u);
  EXPECT_EQ(blocks.holders(0x13), 0u);
}

TEST(RefBlocks, NullAddressChangesNothing) {
  RefBlocks blocks;
  blocks.addRef(nullptr, 5);
  EXPECT_FALSE(blocks.release(nullptr, 5));
  EXPECT_EQ(blocks.holders(5), 0u);
  EXPECT_EQ(blocks.blockCount(), 0u);
}

TEST(RefBlocks, LengthTheSizeWordCannotHoldIsRefused) {
  RefBlocks blocks;
  const char byte = 0;
  EXPECT_EQ(blocks.create(&byte, UINT32_MAX - 7), nullptr);
  EXPECT_EQ(blocks.blockCount(), 0u);
}

TEST(PendingBlock, FreesARefusedBlockAndKeepsAHandedOverOne) {
  RefBlocks blocks;
  const char bytes[4] = {};
  { PendingBlock refused(blocks, blocks.create(bytes, 4)); }
  EXPECT_EQ(blocks.blockCount(), 0u);

  void* kept = nullptr;
  {
    PendingBlock queued(blocks, blocks.create(bytes, 4));
    kept = queued.handOver();
  }
  EXPECT_EQ(blocks.blockCount(), 1u);
  blocks.discard(kept);
}

}  // namespace
}  // namespace trv::core
