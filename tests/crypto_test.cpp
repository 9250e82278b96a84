// The envelope transform, the crypto service over request records and the random device, with
// OpenSSL's frees searched for plaintext and the device's calls scripted.
#include "crypto/crypto_service.h"
#include "crypto/data_transform.h"
#include "crypto/random_block.h"

#include <malloc.h>
#include <openssl/crypto.h>

#include <atomic>
#include <cstring>
#include <numeric>

#include <gtest/gtest.h>

namespace trv::core {
namespace {

using namespace std::literals;
using Bytes = std::vector<uint8_t>;

Bytes bytesOf(std::string_view text) { return Bytes(text.begin(), text.end()); }

// OpenSSL's blocks of watchedSize bytes are counted, and every block it frees is searched for
// Secret. Installed before main: OpenSSL takes allocation functions only before its first one.
constexpr std::string_view Secret = "a plaintext that must not outlive the request it came with";
std::atomic<size_t> watchedSize{SIZE_MAX};
std::atomic<int> watchedAllocations{0}, freedWithSecret{0};
void* allocate(size_t size, const char*, int) {
  watchedAllocations += size == watchedSize;
  return std::malloc(size);
}
void release(void* block, const char*, int) {
  if (block) freedWithSecret += memmem(block, malloc_usable_size(block), Secret.data(), Secret.size()) != nullptr;
  std::free(block);
}
const bool allocationsTracked = CRYPTO_set_mem_functions(
    allocate, [](void* block, size_t size, const char*, int) { return std::realloc(block, size); }, release);

const Bytes TestKey = [] { Bytes key(32); std::iota(key.begin(), key.end(), 0x10); return key; }();

// The random block 0xa0..0xaf.
void countingBlock(std::span<uint8_t, RandomBlockSize> block) { std::iota(block.begin(), block.end(), 0xa0); }

// Encodes or decodes `input` with TestKey and the random block 0xa0..0xaf over a heap buffer of
// exactly `size` bytes: the error code and the result, which a plaintext follows with a zero byte.
std::pair<int32_t, Bytes> transform(bool encoding, const Bytes& input, uint32_t size) {
  Bytes buffer(size);
  DataTransform coder(true, countingBlock);
  coder.setBuffer(size ? buffer.data() : nullptr, size);
  coder.setKey(TestKey, true);
  uint32_t length = uint32_t(input.size());
  int32_t error = 1;
  const uint8_t* out = encoding ? coder.encode(input.data(), length, error) : coder.decode(input.data(), length, error);
  EXPECT_TRUE(out ? out == buffer.data() && error == 0 && (encoding || out[length] == 0) : length == 0);
  return {error, out ? Bytes(out, out + length) : Bytes{}};
}

TEST(DataTransform, KnownEnvelopeBufferSizesAndErrors) {
  // "Trovis device secret" in the envelope of TestKey and the random block, made with a stand-alone
  // AES-128-CBC tool from a zero IV over the random block, the text and 12 zero bytes.
  const Bytes text = bytesOf("Trovis device secret"), envelope = {
      0xc9, 0x11, 0xa3, 0x12, 0xec, 0x74, 0x9c, 0xaf, 0xcb, 0xf2, 0x95, 0x8e, 0xe4, 0x55, 0x12, 0x2b,
      0x50, 0x89, 0x2d, 0xc2, 0xe1, 0x1e, 0xce, 0x18, 0x25, 0x97, 0x74, 0xfb, 0xd2, 0xb1, 0x98, 0xe3,
      0x33, 0xef, 0xb4, 0x5a, 0xcc, 0x07, 0x01, 0x7e, 0x36, 0x20, 0x1d, 0x94, 0x4b, 0x0c, 0x79, 0x5d};
  // {encoding, input, buffer size, answer}: an envelope needs the input, 32 bytes and padding; the
  // first block alone holds nothing; an envelope is 16 bytes and whole blocks.
  const std::vector<std::tuple<bool, Bytes, uint32_t, std::pair<int32_t, Bytes>>> cases = {
      {true, text, 64, {0, envelope}}, {false, envelope, 48, {0, text}}, {false, Bytes(16, 0x5a), 16, {0, {}}},
      {true, text, 63, {TransformBufferTooSmall, {}}}, {false, envelope, 47, {TransformBufferTooSmall, {}}},
      {true, text, 0, {TransformNoBuffer, {}}}, {false, text, 0, {TransformNoBuffer, {}}},
      {true, {}, 9, {TransformNoInput, {}}}, {false, {}, 9, {TransformNoInput, {}}},
      {false, Bytes(15), 64, {TransformNotAnEnvelope, {}}}, {false, Bytes(40), 64, {TransformNotAnEnvelope, {}}}};
  // A thread keeps its keyed cipher contexts between requests: the built-in key goes first both ways.
  Bytes scratch(64);
  DataTransform builtIn(true, countingBlock);
  builtIn.setBuffer(scratch.data(), 64);
  uint32_t length = 20;
  int32_t error = 0;
  ASSERT_NE(builtIn.encode(text.data(), length, error), nullptr);
  const Bytes builtInEnvelope(scratch.begin(), scratch.begin() + length);
  ASSERT_NE(builtIn.decode(builtInEnvelope.data(), length, error), nullptr);
  for (const auto& [encoding, input, size, answer] : cases)
    EXPECT_EQ(transform(encoding, input, size), answer) << encoding << " " << input.size() << " " << size;
}

// In place, the envelope takes the text's place in a buffer of exactly its size: the bytes encode
// makes from the same text; one byte less, or nothing to encode, is refused with the buffer as it was.
// Without encryption the text stays where it is.
TEST(DataTransform, EncodesInPlaceTheSameEnvelopeOrLeavesTheBufferAlone) {
  const Bytes text = bytesOf("Trovis device secret"), envelope = transform(true, text, 64).second;
  for (const auto& [encrypt, length, size, answer] :
       {std::tuple{true, 20u, 48u, std::pair(0, envelope)}, {true, 20u, 47u, {TransformBufferTooSmall, {}}},
        {true, 0u, 48u, {TransformNoInput, {}}}, {false, 20u, 48u, {0, text}}}) {
    Bytes buffer(text);
    buffer.resize(size, 0xee);
    const Bytes before = buffer;
    DataTransform coder(encrypt, countingBlock);
    coder.setBuffer(buffer.data(), size);
    coder.setKey(TestKey, true);
    uint32_t got = length;
    int32_t error = 1;
    const uint8_t* out = coder.encodeInPlace(got, error);
    EXPECT_EQ(std::pair(error, out ? Bytes(out, out + got) : Bytes{}), answer) << encrypt << " " << size;
    EXPECT_TRUE(out ? out == buffer.data() : got == 0 && buffer == before) << size;
  }
}

// The identity as the device identity script prints it, line feed included.
constexpr std::string_view DeviceId = "A1B2C3D4E5F6\n";

// A "crypto" record over a heap buffer of exactly `capacity` bytes: `content`, then 0xee filler,
// whose valid bytes are `length`, or the content when that is negative.
struct Request {
  Request(uint32_t flags, const Bytes& content, uint32_t capacity, int64_t length = -1)
      : buffer(capacity, 0xee), record(makeEvent(TypeCrypto, flags, originOfPlugin(0x21))) {
    std::copy(content.begin(), content.end(), buffer.begin());
    record.data = buffer.data(), record.dataLen = capacity;
    setCryptoLen(record, uint32_t(length < 0 ? content.size() : length));
  }
  // Posts the record: the answer, and the valid bytes after a success, which turns the command
  // around. Any other answer must leave the record and its buffer untouched.
  std::pair<int32_t, Bytes> post() {
    const EventParms before = record;
    const Bytes contents = buffer;
    const int32_t result = answerCryptoRequest(record, DeviceId);
    EXPECT_TRUE(result ? std::memcmp(&before, &record, sizeof before) == 0 && buffer == contents
                       : record.flags == (before.flags & CryptoEncrypt ? CryptoDecrypt : CryptoEncrypt)) << result;
    return {result, result ? Bytes{} : Bytes(buffer.begin(), buffer.begin() + cryptoLenOf(record))};
  }
  Bytes buffer;
  EventParms record;
};

TEST(CryptoService, AnswersInPlaceWithTheIdentitysDigestAsKeyAsksForRoomRefusesUntouchedLeavesNoPlaintext) {
  // Zero padding fills one block up to 16 bytes, else up to the next block, a whole one after a
  // multiple: the envelope is that and the random first block, the room too small asks for it.
  for (const auto& [plain, sealed] : {std::pair{1u, 32u}, {15u, 32u}, {16u, 32u}, {17u, 48u}, {32u, 64u}, {48u, 80u}}) {
    const Bytes text = bytesOf(Secret.substr(0, plain));
    EXPECT_EQ(Request(CryptoEncrypt, text, sealed - 1).post().first, int32_t(sealed)) << plain;
    Request request(0x01000000 | CryptoEncrypt, text, plain + 32);  // the top 8 bits are ignored
    EXPECT_EQ(request.post().second.size(), sealed);
    EXPECT_EQ(request.post(), std::pair(0, text));
    EXPECT_EQ(Bytes(request.buffer.begin() + plain, request.buffer.end()), Bytes(32, 0)) << "no envelope bytes behind";
  }
  // "open sesame" in an envelope of the first 16 bytes of SHA-256 of DeviceId and the random block
  // 0x00..0x0f, made with a stand-alone AES-128-CBC tool.
  EXPECT_EQ(Request(CryptoDecrypt, {0xb2, 0xe7, 0x28, 0x6b, 0xd6, 0xdf, 0x76, 0x7e, 0xeb, 0x43, 0xbc, 0x6f, 0xdf, 0x02,
                                   0xc4, 0x7e, 0x59, 0x5d, 0x82, 0x10, 0x63, 0x4f, 0x0f, 0xec, 0x5f, 0xd8, 0x5a, 0x61,
                                   0xcb, 0x49, 0xab, 0xf0}, 32).post(), std::pair(0, bytesOf("open sesame")));
  // Text ends at its first zero byte; a 16-byte text ending in 0, 5 reads as count padding; one
  // starting with a zero byte decrypts to nothing, which answers no result.
  for (const auto& [plain, back] :
       {std::pair{"ab\0cd"sv, "ab"sv}, {"0123456789abcd\0\5"sv, "0123456789a"sv}, {"\0xy"sv, ""sv}}) {
    Request request(CryptoEncrypt, bytesOf(plain), 64);
    EXPECT_EQ(request.post().first, 0);
    EXPECT_EQ(request.post(), back.empty() ? std::pair(CryptoNoResult, Bytes{}) : std::pair(0, bytesOf(back)));
  }
  EXPECT_EQ(Request(CryptoEncrypt, {}, 16).post(), std::pair(0, Bytes{}));  // nothing to encrypt

  // {flags, valid bytes, capacity, answer}: what is not 16 bytes and whole blocks, or decrypts to
  // nothing, answers no result.
  const struct { uint32_t flags, length, capacity; int32_t answer; } cases[] = {
      {3, 3, 64, CryptoUnknownCommand}, {0, 3, 64, CryptoUnknownCommand}, {CryptoEncrypt, 0, 0, CryptoBadBuffer},
      {CryptoDecrypt, 0, 0, CryptoBadBuffer}, {3, 0, 0, CryptoBadBuffer}, {CryptoDecrypt, 0, 64, CryptoBadBuffer},
      {CryptoEncrypt, 33, 32, CryptoBadBuffer}, {CryptoDecrypt, 33, 32, CryptoBadBuffer},
      {CryptoDecrypt, 20, 64, CryptoNoResult}, {CryptoDecrypt, 15, 64, CryptoNoResult},
      {CryptoDecrypt, 16, 64, CryptoNoResult}};
  for (const auto& c : cases)
    EXPECT_EQ(Request(c.flags, Bytes(std::min(c.length, c.capacity), 'x'), c.capacity, c.length).post().first, c.answer)
        << c.flags << " " << c.length;
  // A plaintext that starts with a zero byte decrypts to nothing: refused with the envelope as it came.
  Request leadingZero(CryptoEncrypt, Bytes{0, 'a'}, 64);
  ASSERT_EQ(leadingZero.post().first, 0);
  EXPECT_EQ(leadingZero.post().first, CryptoNoResult);
  // No buffer, or more than a signed 32-bit answer could ask for: refused before any access.
  Request noBuffer(CryptoEncrypt, bytesOf("abc"), 64), huge(CryptoEncrypt, bytesOf("abc"), 64, 0x7fffffd0);
  noBuffer.record.data = nullptr, huge.record.dataLen = 0xffffffff;
  EXPECT_EQ(std::pair(noBuffer.post().first, huge.post().first), std::pair(CryptoBadBuffer, CryptoBadBuffer));

  Request secret(CryptoEncrypt, bytesOf(Secret), 128);
  EXPECT_EQ(secret.post().first, 0);
  watchedSize = cryptoLenOf(secret.record) + 48;
  EXPECT_EQ(secret.post(), std::pair(0, bytesOf(Secret)));
  // The plaintext took the envelope's place: no block of OpenSSL's held it, nor went back holding it.
  EXPECT_EQ(std::tuple(allocationsTracked, watchedAllocations.load(), freedWithSecret.load()), std::tuple(true, 0, 0));
}

// The random device, scripted: each open or read takes the next of `steps`, -1 failing with
// `error`; a read hands over that many of the bytes 1, 2, 3, ..., 0 being the end.
struct FakeDevice { std::vector<ssize_t> steps; int error = EINTR; size_t taken = 0; } device;
ssize_t nextStep() { errno = device.error; return device.steps.at(device.taken++); }
const SystemCalls fakeDevice{.open = [](const char*, int, mode_t) { return nextStep() < 0 ? -1 : 42; },
    .read = [](int, void* to, size_t count) {
      static uint8_t next = 1;
      const ssize_t chunk = std::min(nextStep(), ssize_t(count));
      for (ssize_t i = 0; i < chunk; ++i) static_cast<uint8_t*>(to)[i] = next++;
      return chunk;
    },
    .close = [](int) { return 0; }};

TEST(CoCreateGuid, RetriesInterruptsGoesOnAfterShortReadsAndEndsTheProcessWithStatus74) {
  std::array<uint8_t, RandomBlockSize> block{};
  device = {{-1, -1, 42, 3, -1, 5, -1, 1, 7}};  // two opens interrupted
  CoCreateGuid(block, fakeDevice);
  EXPECT_EQ(std::pair(block, device.taken),
            std::pair(decltype(block){1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}, size_t{9}));
  for (const auto& [broken, message] :
       {std::pair{FakeDevice{{-1}, ENOENT}, "open: /dev/urandom: No such file or directory"},
        {FakeDevice{{0, 4, -1}, EIO}, "read: /dev/urandom: Input/output error"},
        {FakeDevice{{0, 2, 3, 0}}, "read: /dev/urandom: EOF, got 5 of 16 bytes requested\n$"}}) {
    device = broken;
    EXPECT_EXIT(CoCreateGuid(block, fakeDevice), testing::ExitedWithCode(74), "CoCreateGuid\\(\\): "s + message);
  }
}

}  // namespace
}  // namespace trv::core
