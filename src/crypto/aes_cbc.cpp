#include "crypto/aes_cbc.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <algorithm>
#include <array>
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

// Sets `context` up from scratch for `key` and `iv`.
bool setUp(EVP_CIPHER_CTX* context, bool encrypt, const uint8_t* key, const uint8_t* iv) {
  const EVP_CIPHER* cipher = aes128Cbc();
  return cipher != nullptr && EVP_CipherInit_ex2(context, cipher, key, iv, encrypt ? 1 : 0, nullptr) == 1 &&
         EVP_CIPHER_CTX_set_padding(context, 0) == 1;
}

}  // namespace

// Freeing the context also cleanses its key schedule.
void AesCbc::ContextFree::operator()(EVP_CIPHER_CTX* context) const {
  EVP_CIPHER_CTX_free(context);
}

// A thread's context for one direction, kept with its key: a request with the
// same key as the one before sets only its IV, which spares the allocation,
// the provider's parameter lookups and the key expansion. Freed, and so
// cleansed, when the thread ends.
class AesCbc::KeptContext {
 public:
  // Null while an AesCbc of this thread and direction holds it, or when
  // OpenSSL fails.
  EVP_CIPHER_CTX* acquire(bool encrypt, const uint8_t* key, const uint8_t* iv) {
    if (busy_) return nullptr;
    if (!context_) context_.reset(EVP_CIPHER_CTX_new());
    if (!context_) return nullptr;
    if (keyed_ && CRYPTO_memcmp(key_.data(), key, key_.size()) == 0) {
      keyed_ = EVP_CipherInit_ex2(context_.get(), nullptr, nullptr, iv, encrypt ? 1 : 0, nullptr) == 1;
    } else {
      keyed_ = setUp(context_.get(), encrypt, key, iv);
      std::copy_n(key, key_.size(), key_.begin());
    }
    if (!keyed_) return nullptr;
    busy_ = true;
    return context_.get();
  }
  void release() { busy_ = false; }

  ~KeptContext() { OPENSSL_cleanse(key_.data(), key_.size()); }

 private:
  std::unique_ptr<EVP_CIPHER_CTX, ContextFree> context_;
  std::array<uint8_t, Aes128KeySize> key_{};
  bool keyed_ = false;
  bool busy_ = false;
};

AesCbc::AesCbc(bool encrypt, const uint8_t* key, const uint8_t* iv) {
  thread_local KeptContext kept[2];
  kept_ = &kept[encrypt ? 1 : 0];
  context_ = kept_->acquire(encrypt, key, iv);
  if (context_ != nullptr) return;
  // In use already (or failed): a context of this object's own.
  kept_ = nullptr;
  owned_.reset(EVP_CIPHER_CTX_new());
  if (owned_ && setUp(owned_.get(), encrypt, key, iv)) context_ = owned_.get();
}

AesCbc::~AesCbc() {
  if (kept_ != nullptr) kept_->release();
}

bool AesCbc::run(const uint8_t* in, uint8_t* out, size_t length) {
  if (context_ == nullptr || length % AesBlockSize != 0 || length > INT_MAX) return false;
  if (length == 0) return true;
  // Without padding whole blocks come out whole: nothing is held back for a
  // final call.
  int written = 0;
  return EVP_CipherUpdate(context_, out, &written, in, static_cast<int>(length)) == 1 &&
         static_cast<size_t>(written) == length;
}

}  // namespace trv::core
