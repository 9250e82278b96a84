#include "crypto/aes_cbc.h"

#include <openssl/evp.h>

#include <climits>
#include <memory>

namespace trv::core {

namespace {

struct CipherFree {
  void operator()(EVP_CIPHER* cipher) const { EVP_CIPHER_free(cipher); }
};

struct ContextFree {
  void operator()(EVP_CIPHER_CTX* context) const { EVP_CIPHER_CTX_free(context); }
};

// Fetched once: looking the cipher up again at every initialisation costs
// about as much as encrypting a few hundred bytes.
const EVP_CIPHER* aes128Cbc() {
  static const std::unique_ptr<EVP_CIPHER, CipherFree> cipher(
      EVP_CIPHER_fetch(nullptr, "AES-128-CBC", nullptr));
  return cipher.get();
}

bool runCipher(int encrypt, const uint8_t* key, const uint8_t* iv, const uint8_t* in, uint8_t* out,
               size_t length) {
  if (length % AesBlockSize != 0 || length > INT_MAX) return false;
  if (length == 0) return true;
  const EVP_CIPHER* cipher = aes128Cbc();
  if (cipher == nullptr) return false;
  // Freeing the context also cleanses its key schedule.
  const std::unique_ptr<EVP_CIPHER_CTX, ContextFree> context(EVP_CIPHER_CTX_new());
  if (!context) return false;
  int written = 0;
  int last = 0;
  return EVP_CipherInit_ex2(context.get(), cipher, key, iv, encrypt, nullptr) == 1 &&
         EVP_CIPHER_CTX_set_padding(context.get(), 0) == 1 &&
         EVP_CipherUpdate(context.get(), out, &written, in, static_cast<int>(length)) == 1 &&
         EVP_CipherFinal_ex(context.get(), out + written, &last) == 1 &&
         static_cast<size_t>(written) + static_cast<size_t>(last) == length;
}

}  // namespace

bool aes128CbcEncrypt(const uint8_t* key, const uint8_t* iv, const uint8_t* in, uint8_t* out,
                      size_t length) {
  return runCipher(1, key, iv, in, out, length);
}

bool aes128CbcDecrypt(const uint8_t* key, const uint8_t* iv, const uint8_t* in, uint8_t* out,
                      size_t length) {
  return runCipher(0, key, iv, in, out, length);
}

}  // namespace trv::core
