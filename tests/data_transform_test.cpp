#include "data_transform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace trv::core {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes bytesOf(std::string_view text) { return Bytes(text.begin(), text.end()); }

// A wide key, 0x10 to 0x2f; the cipher takes 0x10 to 0x1f.
std::array<uint8_t, 32> testKey() {
  std::array<uint8_t, 32> key{};
  for (size_t i = 0; i < key.size(); ++i) key[i] = static_cast<uint8_t>(0x10 + i);
  return key;
}

// The random block the fixed envelope below was made with: 0xa0 to 0xaf.
void knownRandomBlock(std::span<uint8_t, RandomBlockSize> block) {
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(0xa0 + i);
}

// "Trovis device secret" in an envelope of testKey() and knownRandomBlock,
// made with a stand-alone AES-128-CBC tool from a zero IV over the random
// block, the text and 12 zero bytes.
constexpr std::array<uint8_t, 48> FixedEnvelope = {
    0xc9, 0x11, 0xa3, 0x12, 0xec, 0x74, 0x9c, 0xaf, 0xcb, 0xf2, 0x95, 0x8e, 0xe4, 0x55, 0x12, 0x2b,
    0x50, 0x89, 0x2d, 0xc2, 0xe1, 0x1e, 0xce, 0x18, 0x25, 0x97, 0x74, 0xfb, 0xd2, 0xb1, 0x98, 0xe3,
    0x33, 0xef, 0xb4, 0x5a, 0xcc, 0x07, 0x01, 0x7e, 0x36, 0x20, 0x1d, 0x94, 0x4b, 0x0c, 0x79, 0x5d};

// A transform keyed with testKey() over a heap buffer of exactly `size`
// bytes, filled with 0xee, so that a write past its end is caught.
struct Transform {
  explicit Transform(uint32_t size, bool encrypt = true,
                     DataTransform::RandomSource random = CoCreateGuid)
      : buffer(std::make_unique<uint8_t[]>(size)), transform(encrypt, random) {
    std::memset(buffer.get(), 0xee, size);
    transform.setBuffer(buffer.get(), size);
    transform.setKey(testKey(), true);
  }

  std::unique_ptr<uint8_t[]> buffer;
  DataTransform transform;
};

// What encode or decode returned.
struct Outcome {
  const uint8_t* result;
  uint32_t length;
  int32_t error;

  Bytes bytes() const { return result == nullptr ? Bytes{} : Bytes(result, result + length); }
};

Outcome encode(DataTransform& transform, const Bytes& input) {
  uint32_t length = static_cast<uint32_t>(input.size());
  int32_t error = 1;
  const uint8_t* result = transform.encode(input.data(), length, error);
  return {result, length, error};
}

Outcome decode(DataTransform& transform, const Bytes& input) {
  uint32_t length = static_cast<uint32_t>(input.size());
  int32_t error = 1;
  const uint8_t* result = transform.decode(input.data(), length, error);
  return {result, length, error};
}

// Encodes with one transform and decodes with another of the same key.
Bytes roundTrip(const Bytes& plain, bool zeroPadding = true) {
  Transform encoder(static_cast<uint32_t>(plain.size()) + 64);
  encoder.transform.setZeroPadding(zeroPadding);
  const Outcome envelope = encode(encoder.transform, plain);
  EXPECT_EQ(envelope.error, TransformOk);
  Transform decoder(envelope.length);
  return decode(decoder.transform, envelope.bytes()).bytes();
}

// Bytes without a zero among them: text that comes back whole.
Bytes textOfLength(size_t length) {
  Bytes text(length);
  for (size_t i = 0; i < length; ++i) text[i] = static_cast<uint8_t>('a' + i % 26);
  return text;
}

TEST(DataTransform, PaddingFillsTheLastBlockAndAddsAWholeBlockToLongerWholeBlocks) {
  const struct {
    size_t plain;
    uint32_t envelope;
  } cases[] = {{1, 32}, {15, 32}, {16, 32}, {17, 48}, {31, 48}, {32, 64}, {33, 64}, {48, 80}};
  for (const auto& c : cases) {
    const Bytes plain = textOfLength(c.plain);
    Transform encoder(200);
    const Outcome envelope = encode(encoder.transform, plain);
    EXPECT_EQ(envelope.error, TransformOk) << c.plain;
    EXPECT_EQ(envelope.length, c.envelope) << c.plain;
    EXPECT_EQ(envelope.result, encoder.buffer.get()) << c.plain;
    EXPECT_EQ(roundTrip(plain), plain) << c.plain;
  }
}

TEST(DataTransform, FixedEnvelopeIsWhatEncodeMakesAndDecodeReads) {
  const Bytes envelope(FixedEnvelope.begin(), FixedEnvelope.end());
  Transform decoder(48);
  EXPECT_EQ(decode(decoder.transform, envelope).bytes(), bytesOf("Trovis device secret"));

  Transform encoder(64, true, knownRandomBlock);
  EXPECT_EQ(encode(encoder.transform, bytesOf("Trovis device secret")).bytes(), envelope);
}

TEST(DataTransform, EveryEncodingStartsFromFreshRandomBytes) {
  const Bytes plain = bytesOf("same plaintext, same key");
  Transform first(64);
  Transform second(64);
  const Bytes a = encode(first.transform, plain).bytes();
  const Bytes b = encode(second.transform, plain).bytes();
  ASSERT_EQ(a.size(), 48u);
  ASSERT_EQ(b.size(), 48u);
  EXPECT_NE(Bytes(a.begin(), a.begin() + 16), Bytes(b.begin(), b.begin() + 16));
  // Chained from different first blocks, no later block is alike either.
  EXPECT_NE(Bytes(a.begin() + 16, a.begin() + 32), Bytes(b.begin() + 16, b.begin() + 32));
  Transform decoder(48);
  EXPECT_EQ(decode(decoder.transform, a).bytes(), plain);
  EXPECT_EQ(decode(decoder.transform, b).bytes(), plain);
}

TEST(DataTransform, DecodedTextEndsAtItsFirstZeroByteAndIsTerminated) {
  Transform encoder(64);
  const Bytes abc = encode(encoder.transform, bytesOf("abc")).bytes();
  Transform decoder(32);
  const Outcome plain = decode(decoder.transform, abc);
  EXPECT_EQ(plain.bytes(), bytesOf("abc"));
  EXPECT_EQ(decoder.buffer[3], 0);
  // Sixteen bytes have no padding to end them: the terminator is written.
  const Bytes sixteen = encode(encoder.transform, textOfLength(16)).bytes();
  EXPECT_EQ(decode(decoder.transform, sixteen).bytes(), textOfLength(16));
  EXPECT_EQ(decoder.buffer[16], 0);

  EXPECT_EQ(roundTrip({'a', 'b', 0, 'c', 'd'}), bytesOf("ab"));
}

TEST(DataTransform, CountPaddingIsReadBack) {
  // A 16-byte plaintext gets no padding; its end reads as 5 bytes of count padding.
  Bytes plain = textOfLength(16);
  plain[14] = 0;
  plain[15] = 5;
  EXPECT_EQ(roundTrip(plain), textOfLength(11));

  // Count padding brings binary data back whole, zero bytes included; it
  // needs two bytes at least, so 15 bytes get 17 and 16 get a whole block.
  const struct {
    size_t plain;
    uint32_t envelope;
  } cases[] = {{1, 32}, {14, 32}, {15, 48}, {16, 48}, {17, 48}, {31, 64}, {32, 64}};
  for (const auto& c : cases) {
    Bytes binary(c.plain);
    for (size_t i = 0; i < c.plain; ++i) binary[i] = static_cast<uint8_t>(i % 3 == 0 ? 0 : i);
    Transform encoder(100);
    encoder.transform.setZeroPadding(false);
    EXPECT_EQ(encode(encoder.transform, binary).length, c.envelope) << c.plain;
    EXPECT_EQ(roundTrip(binary, false), binary) << c.plain;
  }
}

// What `envelope` decodes to under `key`.
Bytes decodedWith(std::span<const uint8_t> key, bool wide, const Bytes& envelope) {
  Transform decoder(static_cast<uint32_t>(envelope.size()));
  decoder.transform.setKey(key, wide);
  return decode(decoder.transform, envelope).bytes();
}

TEST(DataTransform, TheCipherTakesTheFirstSixteenKeyBytesFilledWithZeros) {
  const Bytes plain = bytesOf("key rule");
  Transform encoder(64);
  const Bytes envelope = encode(encoder.transform, plain).bytes();
  std::array<uint8_t, 32> key = testKey();
  key[16] ^= 0xff;
  key[31] ^= 0xff;
  EXPECT_EQ(decodedWith(key, true, envelope), plain);
  EXPECT_EQ(decodedWith(key, false, envelope), plain);
  key[15] ^= 0x01;
  EXPECT_NE(decodedWith(key, true, envelope), plain);

  const std::array<uint8_t, 10> shortKey = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  std::array<uint8_t, 16> filled{};
  std::copy(shortKey.begin(), shortKey.end(), filled.begin());
  encoder.transform.setKey(shortKey, true);
  EXPECT_EQ(decodedWith(filled, false, encode(encoder.transform, plain).bytes()), plain);

  // Fresh objects share the built-in key, which is none of the above.
  DataTransform builtIn(true);
  builtIn.setBuffer(encoder.buffer.get(), 64);
  const Bytes builtInEnvelope = encode(builtIn, plain).bytes();
  uint8_t out[32];
  DataTransform another(true);
  another.setBuffer(out, sizeof out);
  EXPECT_EQ(decode(another, builtInEnvelope).bytes(), plain);
  EXPECT_NE(decodedWith(testKey(), true, builtInEnvelope), plain);
}

TEST(DataTransform, BufferMustHoldInputAnd32BytesBeyondItsPadding) {
  const struct {
    size_t plain;
    uint32_t needed;
  } cases[] = {{10, 48}, {16, 48}, {32, 80}, {33, 80}};
  for (const auto& c : cases) {
    Transform exact(c.needed);
    EXPECT_EQ(encode(exact.transform, textOfLength(c.plain)).error, TransformOk) << c.plain;
    Transform short1(c.needed - 1);
    const Outcome refused = encode(short1.transform, textOfLength(c.plain));
    EXPECT_EQ(refused.error, TransformBufferTooSmall) << c.plain;
    EXPECT_EQ(refused.result, nullptr) << c.plain;
    EXPECT_EQ(refused.length, 0u) << c.plain;
  }

  Transform encoder(64);
  const Bytes envelope = encode(encoder.transform, textOfLength(20)).bytes();
  Transform exact(48);
  EXPECT_EQ(decode(exact.transform, envelope).bytes(), textOfLength(20));
  Transform short1(47);
  const Outcome refused = decode(short1.transform, envelope);
  EXPECT_EQ(refused.error, TransformBufferTooSmall);
  EXPECT_EQ(refused.result, nullptr);
  EXPECT_EQ(refused.length, 0u);
}

TEST(DataTransform, MissingBufferOrInputIsAnError) {
  const Bytes input(32, 'x');
  for (const bool encoding : {true, false}) {
    const auto run = [&](DataTransform& transform, const uint8_t* data, uint32_t length) {
      int32_t error = 0;
      const uint8_t* result = encoding ? transform.encode(data, length, error)
                                       : transform.decode(data, length, error);
      EXPECT_EQ(result, nullptr);
      EXPECT_EQ(length, 0u);
      return error;
    };
    DataTransform unbuffered(true);
    EXPECT_EQ(run(unbuffered, input.data(), 32), TransformNoBuffer) << encoding;
    uint8_t buffer[100];
    unbuffered.setBuffer(buffer, 0);
    EXPECT_EQ(run(unbuffered, input.data(), 32), TransformNoBuffer) << encoding;
    Transform buffered(100);
    EXPECT_EQ(run(buffered.transform, nullptr, 32), TransformNoInput) << encoding;
    EXPECT_EQ(run(buffered.transform, input.data(), 0), TransformNoInput) << encoding;
  }
}

TEST(DataTransform, DecodeRefusesWhatIsNotSixteenBytesAndWholeBlocks) {
  for (const uint32_t length : {1u, 15u, 17u, 31u, 40u, 47u}) {
    // Exactly `length` bytes on the heap: a read past them is caught.
    const auto input = std::make_unique<uint8_t[]>(length);
    std::memset(input.get(), 0x5a, length);
    Transform decoder(64);
    uint32_t inOut = length;
    int32_t error = 0;
    EXPECT_EQ(decoder.transform.decode(input.get(), inOut, error), nullptr) << length;
    EXPECT_EQ(error, TransformNotAnEnvelope) << length;
    EXPECT_EQ(inOut, 0u) << length;
  }

  // The first block alone is an envelope of nothing.
  Transform decoder(16);
  const Outcome empty = decode(decoder.transform, Bytes(16, 0x5a));
  EXPECT_EQ(empty.error, TransformOk);
  EXPECT_EQ(empty.length, 0u);
  EXPECT_EQ(decoder.buffer[0], 0);
}

TEST(DataTransform, WithoutEncryptionBothDirectionsCopy) {
  Transform plain(64, false);
  EXPECT_EQ(encode(plain.transform, bytesOf("as it is")).bytes(), bytesOf("as it is"));
  // Any length: nothing is read as an envelope.
  EXPECT_EQ(decode(plain.transform, bytesOf("seventeen bytes!!")).bytes(), bytesOf("seventeen bytes!!"));
  Transform tooSmall(8 + 32 + 7, false);
  EXPECT_EQ(encode(tooSmall.transform, bytesOf("as it is")).error, TransformBufferTooSmall);
}

}  // namespace
}  // namespace trv::core
