// The crypto event service: the payload buffer of a "crypto" record encrypted
// or decrypted in place with the device's key, the SHA-256 digest of the
// device's identity text.
#pragma once

#include <cstdint>
#include <string_view>

#include "trv/core/event_parms.h"

namespace trv::core {

// Answers `request`, a "crypto" record, on the calling thread with the key of
// `deviceId`: 0 with the result in the payload, `cryptoLen` and `flags`; or
// a needed capacity, CryptoUnknownCommand, CryptoBadBuffer or CryptoNoResult
// with the record and its payload untouched; CryptoNoResult also when hashing
// or an allocation fails. Never throws. Any thread; no state is kept between
// requests.
int32_t answerCryptoRequest(EventParms& request, std::string_view deviceId);

}  // namespace trv::core
