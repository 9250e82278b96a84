// The encryption envelope of the crypto service: a first block of 16 fresh
// random bytes encrypted with AES-128, then the padded plaintext in CBC mode
// chained from that block. The transform works inside a buffer its caller
// supplies and never allocates; one object serves one request on one thread.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "crypto/random_block.h"

namespace trv::core {

// Error codes of DataTransform::encode and decode.
enum TransformError : int32_t {
  TransformOk = 0,
  TransformNoBuffer = -20,         // no working buffer, or one of size 0
  TransformBufferTooSmall = -21,
  TransformNoInput = -22,          // no input, or 0 bytes of it
  TransformNotAnEnvelope = -23,    // decode: not 16 bytes plus whole blocks
  TransformCipherFailed = -24,     // OpenSSL refused the operation
};

class DataTransform {
 public:
  // Where the random first block of an envelope comes from.
  using RandomSource = void (*)(std::span<uint8_t, RandomBlockSize>);

  // With `encrypt` false, encode and decode only copy their input. The object
  // starts with the built-in key and zero padding. Only tests choose another
  // `random` source than the system's random device.
  explicit DataTransform(bool encrypt, RandomSource random = CoCreateGuid);
  // Cleanses the key.
  ~DataTransform();
  DataTransform(const DataTransform&) = delete;
  DataTransform& operator=(const DataTransform&) = delete;

  // The buffer results are written to, `size` bytes long; not owned.
  void setBuffer(uint8_t* buffer, uint32_t size) {
    buffer_ = buffer;
    bufferSize_ = size;
  }

  // Keeps the first 32 (`wide`) or 16 bytes of `key`, zero-filled to that
  // length. The cipher is AES-128 with the first 16 bytes either way.
  void setKey(std::span<const uint8_t> key, bool wide);

  // Zero padding (the default) ends a decoded plaintext at its first zero
  // byte. Count padding, whose last byte holds its length, brings plaintexts
  // with zero bytes back whole. Decode recognises both.
  void setZeroPadding(bool zero) { zeroPadding_ = zero; }

  // Encodes `length` bytes at `input`, which lies outside the buffer, into a
  // buffer of at least `length` + 32 + padding bytes. Returns the envelope at
  // the start of the buffer with `length` set to its size, or null with
  // `length` 0 and `error` set.
  uint8_t* encode(const uint8_t* input, uint32_t& length, int32_t& error);

  // The size of the envelope of `length` bytes: 16 more and the padding.
  uint64_t envelopeSize(uint32_t length) const;

  // Encodes the `length` bytes at the start of the buffer into their envelope,
  // which takes their place in a buffer of at least its size. Returns and
  // fails as encode does; its checks and the cipher's set-up come before the
  // first write to the buffer.
  uint8_t* encodeInPlace(uint32_t& length, int32_t& error);

  // Decodes an envelope of `length` bytes at `input`, which lies outside the
  // buffer, into a buffer of at least `length` bytes. Returns the plaintext at
  // the start of the buffer, followed by a zero byte, with `length` set to its
  // size; or null with `length` 0 and `error` set. A wrong key goes unnoticed:
  // its garbage is cut at its first zero byte.
  uint8_t* decode(const uint8_t* input, uint32_t& length, int32_t& error);

  // Decodes the envelope of `length` bytes at the start of the buffer into
  // its plaintext, which takes its place, unterminated. Returns and fails as
  // decode does; an envelope whose plaintext is empty is left as it was.
  uint8_t* decodeInPlace(uint32_t& length, int32_t& error);

 private:
  TransformError argumentError(const uint8_t* input, uint32_t length) const;
  uint32_t padLength(uint32_t length) const;
  uint8_t* seal(const uint8_t* plain, uint32_t plainLength, uint32_t& length, int32_t& error);
  uint8_t* copyPlain(const uint8_t* input, uint32_t inputLength, uint32_t& length);

  std::array<uint8_t, 32> key_;
  uint8_t* buffer_ = nullptr;
  uint32_t bufferSize_ = 0;
  RandomSource random_;
  bool encrypt_;
  bool zeroPadding_ = true;
};

}  // namespace trv::core
