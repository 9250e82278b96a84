#include "crypto/crypto_service.h"

#include <openssl/crypto.h>

#include <cstdint>
#include <cstring>
#include <exception>
#include <string>

#include "crypto/data_transform.h"
#include "crypto/sha256.h"

namespace trv::core {

namespace {

// What an envelope adds to its plaintext, the first block and up to a block
// of padding, and a block to spare.
constexpr uint32_t EnvelopeRoom = 48;

// Larger requests could not be answered with a signed 32-bit needed length,
// and their envelope's size would wrap on the 32-bit target.
constexpr uint32_t MaxCryptoLen = INT32_MAX - EnvelopeRoom;

// The payload lies within the capacity the caller gave, so that the service
// reads and writes only the caller's buffer.
bool withinCapacity(const EventParms& request, uint32_t cryptoLen) {
  return request.dataLen != 0 && request.data != nullptr && cryptoLen <= request.dataLen &&
         cryptoLen <= MaxCryptoLen;
}

// The key of the identity this thread used last. The identity is fixed at
// start-up, and hashing it for every request would cost about as much as
// decrypting a kilobyte. Cleansed when the thread ends.
class DeviceKeyCache {
 public:
  DeviceKeyCache() = default;
  DeviceKeyCache(const DeviceKeyCache&) = delete;
  DeviceKeyCache& operator=(const DeviceKeyCache&) = delete;
  ~DeviceKeyCache() { OPENSSL_cleanse(key_.data(), key_.size()); }

  const Sha256Digest& keyOf(std::string_view deviceId) {
    if (known_ && deviceId == deviceId_) return key_;
    key_ = sha256(deviceId);
    deviceId_ = deviceId;
    known_ = true;
    return key_;
  }

 private:
  std::string deviceId_;
  Sha256Digest key_{};
  bool known_ = false;
};

void setDeviceKey(DataTransform& transform, std::string_view deviceId) {
  thread_local DeviceKeyCache cache;
  transform.setKey(cache.keyOf(deviceId), true);
}

void answer(EventParms& request, uint32_t length, CryptoCommand next) {
  setCryptoLen(request, length);
  request.flags = next;
}

// The envelope takes the plaintext's place in the caller's buffer, so nothing
// holds the plaintext but that buffer, and nothing is written before the
// envelope is known to fit.
int32_t encrypt(EventParms& request, DataTransform& transform, uint32_t cryptoLen) {
  const uint64_t needed = transform.envelopeSize(cryptoLen);
  if (needed > request.dataLen) return static_cast<int32_t>(needed);
  transform.setBuffer(static_cast<uint8_t*>(request.data), request.dataLen);
  uint32_t length = cryptoLen;
  int32_t error = TransformOk;
  if (transform.encodeInPlace(length, error) == nullptr) return CryptoNoResult;
  answer(request, length, CryptoDecrypt);
  return CryptoDone;
}

// The plaintext takes the envelope's place, so nothing holds it but the
// caller's buffer. No envelope bytes may show behind it.
int32_t decrypt(EventParms& request, DataTransform& transform, uint32_t cryptoLen) {
  auto* data = static_cast<uint8_t*>(request.data);
  transform.setBuffer(data, cryptoLen);
  uint32_t length = cryptoLen;
  int32_t error = TransformOk;
  if (transform.decodeInPlace(length, error) == nullptr || length == 0) return CryptoNoResult;
  std::memset(data + length, 0, request.dataLen - length);
  answer(request, length, CryptoEncrypt);
  return CryptoDone;
}

// Hashing the identity or allocating may throw; both come before the first
// write to the record or its payload.
int32_t transformPayload(EventParms& request, std::string_view deviceId, uint32_t command,
                         uint32_t cryptoLen) {
  DataTransform transform(true);
  setDeviceKey(transform, deviceId);
  if (command == CryptoEncrypt) return encrypt(request, transform, cryptoLen);
  return decrypt(request, transform, cryptoLen);
}

}  // namespace

int32_t answerCryptoRequest(EventParms& request, std::string_view deviceId) {
  const uint32_t cryptoLen = cryptoLenOf(request);
  if (!withinCapacity(request, cryptoLen)) return CryptoBadBuffer;
  const uint32_t command = request.flags & CryptoCommandMask;
  if (command != CryptoEncrypt && command != CryptoDecrypt) return CryptoUnknownCommand;
  if (cryptoLen == 0) {
    if (command == CryptoDecrypt) return CryptoBadBuffer;
    // Nothing to encrypt, so nothing can fail.
    answer(request, 0, CryptoDecrypt);
    return CryptoDone;
  }

  try {
    return transformPayload(request, deviceId, command, cryptoLen);
  } catch (const std::exception&) {
    // A failed digest or allocation is answered here: whatever the caller
    // made of the exception, a positive answer reads as a needed capacity.
    return CryptoNoResult;
  }
}

}  // namespace trv::core
