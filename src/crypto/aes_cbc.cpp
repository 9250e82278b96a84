#include "crypto/aes_cbc.h"

#include <openssl/evp.h>

#include <climits>

namespace trv::core {

namespace {

struct CipherFree {
  void operator()(EVP_CIPHER* cipher) const { EVP_CIPHER_free(cipher); }
};

// Fetched once: looking the cipher up again at every initialisation costs
// about as much as encrypting a few hundred bytes.
const EVP_CIPHER* aes128Cbc() {
  static const std::unique_ptr<EVP_CIPHER, CipherFree> cipher(
      EVP_CIPHER_fetch(nullptr, "AES-128-CBC", nullptr));
  return cipher.get();
}

}  // namespace

// Freeing the context also cleanses its key schedule.
void AesCbc::ContextFree::operator()(EVP_CIPHER_CTX* context) const {
  EVP_CIPHER_CTX_free(context);
}

AesCbc::AesCbc(bool encrypt, const uint8_t* key, const uint8_t* iv) {
  const EVP_CIPHER* cipher = aes128Cbc();
  if (cipher == nullptr) return;
  context_.reset(EVP_CIPHER_CTX_new());
  const bool ready =
      context_ && EVP_CipherInit_ex2(context_.get(), cipher, key, iv, encrypt ? 1 : 0, nullptr) == 1 &&
      EVP_CIPHER_CTX_set_padding(context_.get(), 0) == 1;
  if (!ready) context_.reset();
}

bool AesCbc::run(const uint8_t* in, uint8_t* out, size_t length) {
  if (!context_ || length % AesBlockSize != 0 || length > INT_MAX) return false;
  if (length == 0) return true;
  // Without padding whole blocks come out whole: nothing is held back for a
  // final call.
  int written = 0;
  return EVP_CipherUpdate(context_.get(), out, &written, in, static_cast<int>(length)) == 1 &&
         static_cast<size_t>(written) == length;
}

}  // namespace trv::core
