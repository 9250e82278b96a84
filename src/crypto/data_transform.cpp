#include "crypto/data_transform.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include "crypto/aes_cbc.h"

namespace trv::core {

namespace {

constexpr uint32_t BlockSize = AesBlockSize;

// The built-in key: one 8-byte constant twice, made from two 32-bit words
// taken least significant byte first, so that it is the same on every target.
constexpr uint32_t DefaultKeyWords[2] = {0x6b1d52e9, 0x3fa4c870};

std::array<uint8_t, 32> defaultKey() {
  std::array<uint8_t, 32> key{};
  for (size_t i = 0; i < 8; ++i) {
    const auto byte = static_cast<uint8_t>(DefaultKeyWords[i / 4] >> (8 * (i % 4)));
    key[i] = byte;
    key[i + 8] = byte;
  }
  return key;
}

// Up to 16 bytes fill one block; longer plaintexts grow to the next multiple
// of 16, and one that is a multiple already gets a whole block more.
uint32_t zeroPadLength(uint32_t length) {
  return length < 17 ? BlockSize - length : BlockSize - length % BlockSize;
}

// A zero byte followed by a non-zero last byte is count padding of that many
// bytes; anything else is text, ending at its first zero byte.
uint32_t unpaddedLength(const uint8_t* plain, uint32_t length) {
  if (length < 2) return length;
  const uint8_t last = plain[length - 1];
  if (plain[length - 2] == 0 && last != 0 && length > last) return length - last;
  const void* zero = std::memchr(plain, 0, length);
  if (zero == nullptr) return length;
  return static_cast<uint32_t>(static_cast<const uint8_t*>(zero) - plain);
}

uint8_t* failed(int32_t& error, TransformError code) {
  error = code;
  return nullptr;
}

}  // namespace

DataTransform::DataTransform(bool encrypt, RandomSource random)
    : key_(defaultKey()), random_(random), encrypt_(encrypt) {}

DataTransform::~DataTransform() { OPENSSL_cleanse(key_.data(), key_.size()); }

void DataTransform::setKey(std::span<const uint8_t> key, bool wide) {
  OPENSSL_cleanse(key_.data(), key_.size());
  const size_t kept = std::min(key.size(), wide ? key_.size() : Aes128KeySize);
  std::copy_n(key.begin(), kept, key_.begin());
}

TransformError DataTransform::argumentError(const uint8_t* input, uint32_t length) const {
  if (buffer_ == nullptr || bufferSize_ == 0) return TransformNoBuffer;
  if (input == nullptr || length == 0) return TransformNoInput;
  return TransformOk;
}

uint32_t DataTransform::padLength(uint32_t length) const {
  const uint32_t pad = zeroPadLength(length);
  if (zeroPadding_) return pad;
  // Count padding needs room for a zero byte and the count.
  return pad < 2 ? pad + BlockSize : pad;
}

uint8_t* DataTransform::copyPlain(const uint8_t* input, uint32_t inputLength, uint32_t& length) {
  std::memcpy(buffer_, input, inputLength);
  length = inputLength;
  return buffer_;
}

uint64_t DataTransform::envelopeSize(uint32_t length) const {
  return uint64_t{BlockSize} + length + padLength(length);
}

uint8_t* DataTransform::encode(const uint8_t* input, uint32_t& length, int32_t& error) {
  const uint32_t plainLength = std::exchange(length, 0);
  error = argumentError(input, plainLength);
  if (error != TransformOk) return nullptr;
  // A block more than the envelope, as the transform has always asked for.
  if (bufferSize_ < envelopeSize(plainLength) + BlockSize) {
    return failed(error, TransformBufferTooSmall);
  }
  if (!encrypt_) return copyPlain(input, plainLength, length);
  return seal(input, plainLength, length, error);
}

uint8_t* DataTransform::encodeInPlace(uint32_t& length, int32_t& error) {
  const uint32_t plainLength = std::exchange(length, 0);
  error = argumentError(buffer_, plainLength);
  if (error != TransformOk) return nullptr;
  if (bufferSize_ < envelopeSize(plainLength)) return failed(error, TransformBufferTooSmall);
  if (!encrypt_) {
    length = plainLength;
    return buffer_;
  }
  return seal(buffer_, plainLength, length, error);
}

// The plaintext moves up a block, behind the random block, and is encrypted
// where it lands: its bytes are read once and written once.
uint8_t* DataTransform::seal(const uint8_t* plain, uint32_t plainLength, uint32_t& length,
                             int32_t& error) {
  // From a zero IV, CBC encrypts the random block to its first block and
  // chains the plaintext from that.
  static constexpr std::array<uint8_t, BlockSize> ZeroIv{};
  AesCbc cipher(true, key_.data(), ZeroIv.data());
  if (!cipher) return failed(error, TransformCipherFailed);
  const uint32_t pad = padLength(plainLength);
  uint8_t* const padded = buffer_ + BlockSize;
  std::memmove(padded, plain, plainLength);
  std::memset(padded + plainLength, 0, pad);
  if (!zeroPadding_) padded[plainLength + pad - 1] = static_cast<uint8_t>(pad);
  random_(std::span<uint8_t, RandomBlockSize>(buffer_, RandomBlockSize));
  const uint32_t envelopeLength = BlockSize + plainLength + pad;
  if (!cipher.run(buffer_, buffer_, envelopeLength)) return failed(error, TransformCipherFailed);
  length = envelopeLength;
  return buffer_;
}

uint8_t* DataTransform::decode(const uint8_t* input, uint32_t& length, int32_t& error) {
  TransformError refused = argumentError(input, length);
  if (refused == TransformOk && bufferSize_ < length) refused = TransformBufferTooSmall;
  if (refused != TransformOk) {
    length = 0;
    return failed(error, refused);
  }
  std::memcpy(buffer_, input, length);
  uint8_t* const plain = decodeInPlace(length, error);
  if (plain != nullptr && encrypt_) plain[length] = 0;
  return plain;
}

// The envelope is decrypted where it lies and moves down over its first
// block: no copy of the plaintext is made anywhere else. One whose plaintext
// is empty is encrypted again, which gives back the same bytes.
uint8_t* DataTransform::decodeInPlace(uint32_t& length, int32_t& error) {
  const uint32_t envelopeLength = std::exchange(length, 0);
  error = argumentError(buffer_, envelopeLength);
  if (error != TransformOk) return nullptr;
  if (bufferSize_ < envelopeLength) return failed(error, TransformBufferTooSmall);
  if (!encrypt_) {
    length = envelopeLength;
    return buffer_;
  }
  if (envelopeLength < BlockSize || envelopeLength % BlockSize != 0) {
    return failed(error, TransformNotAnEnvelope);
  }

  // The first block only chains: the plaintext starts with the second.
  uint8_t* const padded = buffer_ + BlockSize;
  const uint32_t paddedLength = envelopeLength - BlockSize;
  AesCbc cipher(false, key_.data(), buffer_);
  if (!cipher || !cipher.run(padded, padded, paddedLength)) return failed(error, TransformCipherFailed);
  const uint32_t plainLength = unpaddedLength(padded, paddedLength);
  if (plainLength == 0) {
    AesCbc again(true, key_.data(), buffer_);
    if (!again || !again.run(padded, padded, paddedLength)) return failed(error, TransformCipherFailed);
    return buffer_;
  }
  std::memmove(buffer_, padded, plainLength);
  length = plainLength;
  return buffer_;
}

}  // namespace trv::core
