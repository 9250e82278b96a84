// AES-128 in CBC mode over whole 16-byte blocks, without padding, through
// OpenSSL's EVP interface.
#pragma once

#include <cstddef>
#include <cstdint>

namespace trv::core {

inline constexpr size_t AesBlockSize = 16;
inline constexpr size_t Aes128KeySize = 16;

// Encrypts or decrypts `length` bytes (a multiple of 16) from `in` to `out`
// with a 16-byte `key` and `iv`. `out` may be `in` itself but must not overlap
// it otherwise. False when OpenSSL fails or `length` is not whole blocks.
bool aes128CbcEncrypt(const uint8_t* key, const uint8_t* iv, const uint8_t* in, uint8_t* out,
                      size_t length);
bool aes128CbcDecrypt(const uint8_t* key, const uint8_t* iv, const uint8_t* in, uint8_t* out,
                      size_t length);

}  // namespace trv::core
