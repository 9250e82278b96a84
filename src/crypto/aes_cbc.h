// AES-128 in CBC mode over whole 16-byte blocks, without padding, through
// OpenSSL's EVP interface.
#pragma once

#include <openssl/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>

namespace trv::core {

inline constexpr size_t AesBlockSize = 16;
inline constexpr size_t Aes128KeySize = 16;

// One encryption or decryption with a 16-byte key and IV, set up whole before
// any data goes through it, so that what can fail (allocation, key setup)
// fails before its caller writes a byte. Used by one thread; its key schedule
// stays with the thread for the next request with the same key, and is
// cleansed when the thread ends.
class AesCbc {
 public:
  AesCbc(bool encrypt, const uint8_t* key, const uint8_t* iv);
  ~AesCbc();
  AesCbc(const AesCbc&) = delete;
  AesCbc& operator=(const AesCbc&) = delete;

  // False when OpenSSL could not set the cipher up.
  explicit operator bool() const { return context_ != nullptr; }

  // Runs `length` bytes (a multiple of 16) from `in` to `out`, chained on from
  // the previous call. `out` may be `in` itself but must not overlap it
  // otherwise. False when OpenSSL fails or `length` is not whole blocks.
  bool run(const uint8_t* in, uint8_t* out, size_t length);

 private:
  struct ContextFree {
    void operator()(EVP_CIPHER_CTX* context) const;
  };
  class KeptContext;

  EVP_CIPHER_CTX* context_ = nullptr;
  KeptContext* kept_ = nullptr;  // the thread's, given back on destruction
  std::unique_ptr<EVP_CIPHER_CTX, ContextFree> owned_;  // when the thread's is in use
};

}  // namespace trv::core
