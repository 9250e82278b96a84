// Feeds arbitrary bytes to the envelope transform, with arbitrary working
// buffer sizes around the input's length. The input is read as: an options
// byte (bit 0 plain copy, bit 1 count padding, bit 2 the built-in key), a
// 16-bit buffer size taken modulo the input length + 64, then the bytes
// themselves, which are decoded as an envelope and encoded and decoded back.
// The buffer and the input are exactly as large as they say, so any access
// past either is caught; every answer must be one the transform documents.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>

#include "data_transform.h"

namespace {

using trv::core::DataTransform;

[[noreturn]] void fail(const char* what, uint64_t a, uint64_t b) {
  std::fprintf(stderr, "%s (%llu, %llu)\n", what, static_cast<unsigned long long>(a),
               static_cast<unsigned long long>(b));
  std::abort();
}

// A fixed first block keeps every run reproducible.
void fixedRandomBlock(std::span<uint8_t, trv::core::RandomBlockSize> block) {
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(0x5c + i);
}

struct Options {
  bool encrypt;
  bool zeroPadding;
  bool builtInKey;
};

// A transform over a heap buffer of exactly `size` bytes.
struct Transform {
  Transform(const Options& options, uint32_t size)
      : buffer(std::make_unique<uint8_t[]>(size)), transform(options.encrypt, fixedRandomBlock) {
    transform.setBuffer(buffer.get(), size);
    transform.setZeroPadding(options.zeroPadding);
    if (options.builtInKey) return;
    static constexpr uint8_t Key[32] = {7, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15,
                                        16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31};
    transform.setKey(Key, true);
  }

  std::unique_ptr<uint8_t[]> buffer;
  DataTransform transform;
};

// The answer to a bad call: null, length 0 and the expected error.
void expectRefused(const uint8_t* result, uint32_t length, int32_t error, int32_t expected) {
  if (result != nullptr || length != 0) fail("refused with a result", length, 0);
  if (error != expected) fail("wrong error", static_cast<uint64_t>(-error), static_cast<uint64_t>(-expected));
}

// What one encode or decode call answered.
struct Answer {
  const uint8_t* result;
  uint32_t length;
  int32_t error;
};

Answer call(DataTransform& transform, bool encode, const uint8_t* input, uint32_t n) {
  Answer answer{nullptr, n, 1};
  answer.result = encode ? transform.encode(input, answer.length, answer.error)
                         : transform.decode(input, answer.length, answer.error);
  return answer;
}

// The refusals encode and decode share: true when the call was one of them.
bool refusedArguments(const Answer& answer, uint32_t n, uint32_t size) {
  if (size == 0) {
    expectRefused(answer.result, answer.length, answer.error, trv::core::TransformNoBuffer);
    return true;
  }
  if (n > 0) return false;
  expectRefused(answer.result, answer.length, answer.error, trv::core::TransformNoInput);
  return true;
}

void decodeArbitrary(const Options& options, const uint8_t* input, uint32_t n, uint32_t size) {
  Transform t(options, size);
  const Answer answer = call(t.transform, false, input, n);
  if (refusedArguments(answer, n, size)) return;
  const auto [plain, length, error] = answer;
  if (size < n) return expectRefused(plain, length, error, trv::core::TransformBufferTooSmall);
  if (!options.encrypt) {
    if (plain != t.buffer.get() || length != n || std::memcmp(plain, input, n) != 0) fail("copy", length, n);
    return;
  }
  if (n % 16 != 0) return expectRefused(plain, length, error, trv::core::TransformNotAnEnvelope);
  if (plain != t.buffer.get() || error != 0) fail("envelope refused", n, static_cast<uint64_t>(-error));
  if (length > n - 16) fail("plaintext longer than its envelope", length, n);
  if (plain[length] != 0) fail("plaintext not terminated", length, plain[length]);
}

void roundTrip(const Options& options, const uint8_t* input, uint32_t n, uint32_t size) {
  Transform encoder(options, size);
  const Answer answer = call(encoder.transform, true, input, n);
  if (refusedArguments(answer, n, size)) return;
  const auto [envelope, length, error] = answer;
  if (envelope == nullptr) {
    // Room for the input, 32 bytes and at most 17 of padding.
    if (size >= n + 32 + 17) fail("refused a large enough buffer", size, n);
    return expectRefused(envelope, length, error, trv::core::TransformBufferTooSmall);
  }
  if (!options.encrypt) {
    if (length != n || std::memcmp(envelope, input, n) != 0) fail("copy", length, n);
    return;
  }
  if (length % 16 != 0 || length < n + 16 || length > n + 16 + 17) fail("envelope length", length, n);
  if (size < length + 16) fail("envelope made in too small a buffer", size, length);

  Transform decoder(options, length);
  const Answer plain = call(decoder.transform, false, envelope, length);
  if (plain.result == nullptr) fail("own envelope refused", length, static_cast<uint64_t>(-plain.error));
  if (plain.length > n || std::memcmp(plain.result, input, plain.length) != 0) {
    fail("not a prefix", plain.length, n);
  }
  // Count padding brings everything back; zero padding all but zero bytes.
  const bool whole = !options.zeroPadding || std::memchr(input, 0, n) == nullptr;
  if (whole && plain.length != n) fail("plaintext cut", plain.length, n);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3 || size > 65536) return 0;
  const Options options{(data[0] & 1) == 0, (data[0] & 2) == 0, (data[0] & 4) != 0};
  const auto n = static_cast<uint32_t>(size - 3);
  const uint32_t bufferSize = (uint32_t{data[1]} | uint32_t{data[2]} << 8) % (n + 64);
  // A copy of exactly n bytes, so that a read past the input is caught.
  const auto input = std::make_unique<uint8_t[]>(n);
  std::memcpy(input.get(), data + 3, n);
  decodeArbitrary(options, input.get(), n, bufferSize);
  roundTrip(options, input.get(), n, bufferSize);
  return 0;
}
