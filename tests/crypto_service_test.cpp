#include "crypto_service.h"

#include <openssl/crypto.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "dvr_core.h"

namespace trv::core {
namespace {

using Bytes = std::vector<uint8_t>;

// The identity text as the device identity script prints it, line feed included.
constexpr std::string_view DeviceId = "A1B2C3D4E5F6\n";

// "open sesame" in an envelope keyed with the first 16 bytes of SHA-256 of
// DeviceId (2cd15b257627007bf57350686d192a26), random block 0x00 to 0x0f,
// made with a stand-alone AES-128-CBC tool.
constexpr std::array<uint8_t, 32> DeviceEnvelope = {
    0xb2, 0xe7, 0x28, 0x6b, 0xd6, 0xdf, 0x76, 0x7e, 0xeb, 0x43, 0xbc, 0x6f, 0xdf, 0x02, 0xc4, 0x7e,
    0x59, 0x5d, 0x82, 0x10, 0x63, 0x4f, 0x0f, 0xec, 0x5f, 0xd8, 0x5a, 0x61, 0xcb, 0x49, 0xab, 0xf0};

// Every block OpenSSL frees in this process is searched for Secret first.
// OpenSSL takes allocation functions only before its first allocation, so
// they are installed before main.
constexpr std::string_view Secret = "plaintext that must not outlive its request";

struct FreedBlocks {
  std::atomic<size_t> watchedSize{0};
  std::atomic<int> watchedFreed{0};
  std::atomic<int> withSecret{0};
};
FreedBlocks freedBlocks;

// While `refusing`, OpenSSL's allocations fail, except those of `spared` bytes.
struct RefusedAllocations {
  std::atomic<bool> refusing{false};
  std::atomic<size_t> spared{0};
};
RefusedAllocations refusedAllocations;

bool refused(size_t size) { return refusedAllocations.refusing && size != refusedAllocations.spared; }

// Each block carries its size in front of it, since OpenSSL's free does not say.
constexpr size_t SizeRoom = alignof(std::max_align_t);

void* sizedBlock(void* base, size_t size) {
  if (base == nullptr) return nullptr;
  std::memcpy(base, &size, sizeof size);
  return static_cast<char*>(base) + SizeRoom;
}

char* baseOf(void* block) { return static_cast<char*>(block) - SizeRoom; }

void* trackedMalloc(size_t size, const char*, int) {
  if (refused(size)) return nullptr;
  return sizedBlock(std::malloc(size + SizeRoom), size);
}

void* trackedRealloc(void* block, size_t size, const char*, int) {
  if (refused(size)) return nullptr;
  if (block == nullptr) return trackedMalloc(size, nullptr, 0);
  return sizedBlock(std::realloc(baseOf(block), size + SizeRoom), size);
}

void trackedFree(void* block, const char*, int) {
  if (block == nullptr) return;
  size_t size = 0;
  std::memcpy(&size, baseOf(block), sizeof size);
  if (size == freedBlocks.watchedSize) ++freedBlocks.watchedFreed;
  if (memmem(block, size, Secret.data(), Secret.size()) != nullptr) ++freedBlocks.withSecret;
  std::free(baseOf(block));
}

const bool allocationTracked = CRYPTO_set_mem_functions(trackedMalloc, trackedRealloc, trackedFree) == 1;

// A "crypto" record over a heap buffer of exactly `capacity` bytes: `content`
// first, then 0xee filler, so that leftovers show and any access past the
// buffer is caught.
struct Request {
  Request(uint32_t flags, const Bytes& content, uint32_t capacity)
      : buffer(std::make_unique<uint8_t[]>(capacity)),
        record(makeEvent(TypeCrypto, flags, originOfPlugin(0x21))) {
    std::memset(buffer.get(), 0xee, capacity);
    std::copy(content.begin(), content.end(), buffer.get());
    record.data = buffer.get();
    record.dataLen = capacity;
    setCryptoLen(record, static_cast<uint32_t>(content.size()));
  }

  int32_t post(std::string_view deviceId = DeviceId) { return answerCryptoRequest(record, deviceId); }
  Bytes bytes(uint32_t from, uint32_t to) const { return Bytes(buffer.get() + from, buffer.get() + to); }
  Bytes valid() const { return bytes(0, cryptoLenOf(record)); }

  std::unique_ptr<uint8_t[]> buffer;
  EventParms record;
};

Bytes bytesOf(std::string_view text) { return Bytes(text.begin(), text.end()); }

// The record, but for its buffer's address, and the whole buffer are as they were.
void expectUntouched(const Request& request, const Request& before) {
  EventParms expected;
  std::memcpy(&expected, &before.record, sizeof expected);
  expected.data = request.record.data;
  EXPECT_EQ(std::memcmp(&request.record, &expected, sizeof expected), 0);
  EXPECT_EQ(request.bytes(0, request.record.dataLen), before.bytes(0, before.record.dataLen));
}

// The same request over a buffer of its own.
Request copyOf(const Request& request) {
  Request copy(request.record.flags, {}, request.record.dataLen);
  std::memcpy(copy.buffer.get(), request.buffer.get(), request.record.dataLen);
  std::memcpy(&copy.record, &request.record, sizeof copy.record);
  copy.record.data = copy.buffer.get();
  return copy;
}

TEST(CryptoService, TenBytesGoThereAndBackInOneRecordAndLeaveOnlyZerosBehind) {
  const Bytes plain = bytesOf("0123456789");
  Request request(CryptoEncrypt, plain, 64);
  ASSERT_EQ(request.post(), 0);
  EXPECT_EQ(cryptoLenOf(request.record), 32u);
  EXPECT_EQ(request.record.flags, uint32_t{CryptoDecrypt});
  EXPECT_NE(request.bytes(0, 10), plain);

  ASSERT_EQ(request.post(), 0);
  EXPECT_EQ(cryptoLenOf(request.record), 10u);
  EXPECT_EQ(request.record.flags, uint32_t{CryptoEncrypt});
  EXPECT_EQ(request.valid(), plain);
  EXPECT_EQ(request.bytes(10, 64), Bytes(54, 0));
}

TEST(CryptoService, TooSmallCapacityAnswersTheNeededLengthAndChangesNothing) {
  Request request(CryptoEncrypt, bytesOf("0123456789"), 20);
  const Request before = copyOf(request);
  EXPECT_EQ(request.post(), 32);
  expectUntouched(request, before);

  // The first block and at most one block of padding: 32 bytes more always do.
  for (uint32_t length = 1; length <= 48; ++length) {
    Request roomy(CryptoEncrypt, Bytes(length, 'x'), length + 32);
    EXPECT_EQ(roomy.post(), 0) << length;
  }
}

TEST(CryptoService, BitsAboveTheSubCommandAreIgnoredAndSuccessReplacesTheWholeWord) {
  Request request(0x01000000 | CryptoEncrypt, bytesOf("flagged"), 64);
  ASSERT_EQ(request.post(), 0);
  EXPECT_EQ(request.record.flags, uint32_t{CryptoDecrypt});
  request.record.flags |= 0xff000000;
  ASSERT_EQ(request.post(), 0);
  EXPECT_EQ(request.record.flags, uint32_t{CryptoEncrypt});
  EXPECT_EQ(request.valid(), bytesOf("flagged"));
}

TEST(CryptoService, MalformedRequestsAreRefusedUntouched) {
  const auto refused = [](Request request, int32_t expected) {
    const Request before = copyOf(request);
    EXPECT_EQ(request.post(), expected) << request.record.flags;
    expectUntouched(request, before);
  };
  refused(Request(3, bytesOf("abc"), 64), CryptoUnknownCommand);
  refused(Request(0, bytesOf("abc"), 64), CryptoUnknownCommand);
  for (const uint32_t command : {2u, 1024u, 3u}) {
    Request empty(command, {}, 16);
    empty.record.dataLen = 0;
    refused(std::move(empty), CryptoBadBuffer);
  }
  refused(Request(CryptoDecrypt, {}, 64), CryptoBadBuffer);

  // More valid bytes than the capacity: reading them would leave the buffer.
  for (const uint32_t command : {2u, 1024u}) {
    Request beyond(command, Bytes(32, 'x'), 32);
    setCryptoLen(beyond.record, 33);
    refused(std::move(beyond), CryptoBadBuffer);
  }
  Request noBuffer(CryptoEncrypt, bytesOf("abc"), 64);
  noBuffer.record.data = nullptr;
  EXPECT_EQ(noBuffer.post(), CryptoBadBuffer);
}

TEST(CryptoService, RequestsTooLargeForASigned32BitAnswerAreRefusedBeforeAnyAccess) {
  Request huge(CryptoEncrypt, bytesOf("abc"), 64);
  huge.record.dataLen = 0xffffffff;
  setCryptoLen(huge.record, 0x7fffffd0);
  EXPECT_EQ(huge.post(), CryptoBadBuffer);
  EXPECT_EQ(huge.bytes(0, 3), bytesOf("abc"));
}

TEST(CryptoService, EncryptingNothingSucceedsWithNothing) {
  Request request(CryptoEncrypt, {}, 16);
  EXPECT_EQ(request.post(), 0);
  EXPECT_EQ(cryptoLenOf(request.record), 0u);
  EXPECT_EQ(request.record.flags, uint32_t{CryptoDecrypt});
  EXPECT_EQ(request.bytes(0, 16), Bytes(16, 0xee));
}

TEST(CryptoService, KeyIsTheDigestOfTheWholeDeviceIdentity) {
  const Bytes envelope(DeviceEnvelope.begin(), DeviceEnvelope.end());
  Request request(CryptoDecrypt, envelope, 32);
  ASSERT_EQ(request.post(), 0);
  EXPECT_EQ(request.valid(), bytesOf("open sesame"));
  EXPECT_EQ(request.bytes(11, 32), Bytes(21, 0));

  // Without its line feed the identity is another device's.
  Request other(CryptoDecrypt, envelope, 32);
  const int32_t result = other.post("A1B2C3D4E5F6");
  EXPECT_TRUE(result == CryptoNoResult || other.valid() != bytesOf("open sesame")) << result;
}

TEST(CryptoService, WhatDecryptsToNothingIsReportedAndLeftAlone) {
  const auto nothing = [](Request request) {
    const Request before = copyOf(request);
    EXPECT_EQ(request.post(), CryptoNoResult) << cryptoLenOf(request.record);
    expectUntouched(request, before);
  };
  // Not 16 bytes plus whole blocks.
  nothing(Request(CryptoDecrypt, Bytes(20, 'x'), 64));
  nothing(Request(CryptoDecrypt, Bytes(15, 'x'), 64));
  // A first block alone holds no plaintext.
  nothing(Request(CryptoDecrypt, Bytes(16, 'x'), 64));
  // A plaintext that starts with a zero byte is empty.
  Request zeroFirst(CryptoEncrypt, Bytes{0, 'x', 'y'}, 64);
  ASSERT_EQ(zeroFirst.post(), 0);
  nothing(copyOf(zeroFirst));
}

TEST(CryptoService, NoPlaintextIsLeftInFreedWorkingBuffers) {
  ASSERT_TRUE(allocationTracked);
  const Bytes plain = bytesOf(Secret);
  Request request(CryptoEncrypt, plain, 128);
  ASSERT_EQ(request.post(), 0);
  const uint32_t envelopeLength = cryptoLenOf(request.record);
  freedBlocks.watchedSize = envelopeLength + 48;
  ASSERT_EQ(request.post(), 0);
  ASSERT_EQ(request.valid(), plain);
  // The decryption's working buffer held the plaintext and went back to OpenSSL.
  EXPECT_EQ(freedBlocks.watchedFreed, 1);
  EXPECT_EQ(freedBlocks.withSecret, 0);
}

// OpenSSL's allocations fail while it lives, except those of `spared` bytes.
class AllocationsRefused {
 public:
  explicit AllocationsRefused(size_t spared) {
    refusedAllocations.spared = spared;
    refusedAllocations.refusing = true;
  }
  ~AllocationsRefused() { refusedAllocations.refusing = false; }
  AllocationsRefused(const AllocationsRefused&) = delete;
  AllocationsRefused& operator=(const AllocationsRefused&) = delete;
};

TEST(CryptoService, FailedAllocationOrDigestAnswersNoResultAndChangesNothing) {
  ASSERT_TRUE(allocationTracked);
  // Fetches the digest and the cipher, which are kept, and keys this thread for DeviceId.
  Request first(CryptoEncrypt, bytesOf("first"), 64);
  ASSERT_EQ(first.post(), 0);

  // 1008 bytes (an envelope's length, too) take a working buffer of 1056,
  // a size OpenSSL asks for nowhere on the way.
  constexpr uint32_t Length = 1008;
  constexpr size_t Working = Length + 48;
  const auto noResult = [](uint32_t command, size_t spared, std::string_view deviceId) {
    Request request(command, Bytes(Length, 'x'), Length + 32);
    const Request before = copyOf(request);
    {
      const AllocationsRefused refused(spared);
      EXPECT_EQ(request.post(deviceId), CryptoNoResult) << command << " sparing " << spared;
    }
    expectUntouched(request, before);
  };
  for (const uint32_t command : {CryptoEncrypt, CryptoDecrypt}) {
    // No working buffer.
    noResult(command, SIZE_MAX, DeviceId);
    // The working buffer, but no digest of an identity this thread has not hashed yet.
    noResult(command, Working, "F0E1D2C3B4A5\n");
    // The working buffer and the key, but no cipher.
    noResult(command, Working, DeviceId);
  }
}

TEST(CryptoService, QueueEventAnswersCryptoRecordsAtOnceAlsoWhileStopping) {
  DvrCore core{"/opt/trovis/bin/trovis-core"};
  core.deviceId = DeviceId;
  Request request(CryptoDecrypt, Bytes(DeviceEnvelope.begin(), DeviceEnvelope.end()), 32);
  ASSERT_EQ(core.queueEvent(request.record), 0);
  EXPECT_EQ(request.valid(), bytesOf("open sesame"));

  core.requestStop();
  ASSERT_EQ(core.queueEvent(request.record), 0);
  EXPECT_EQ(cryptoLenOf(request.record), 32u);
  EXPECT_EQ(core.queueEvent(request.record), 0);
  EXPECT_EQ(request.valid(), bytesOf("open sesame"));
  EXPECT_EQ(core.eventQueue.size(), 0u);
}

}  // namespace
}  // namespace trv::core
