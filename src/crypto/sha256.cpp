#include "crypto/sha256.h"

#include <openssl/evp.h>

#include <memory>
#include <stdexcept>

#include <fmt/format.h>

namespace trv::core {

namespace {

struct DigestFree {
  void operator()(EVP_MD* digest) const { EVP_MD_free(digest); }
};

// Fetched once: looking the digest up again at every call costs more than
// hashing a device identity.
const EVP_MD* sha256Digest() {
  static const std::unique_ptr<EVP_MD, DigestFree> digest(EVP_MD_fetch(nullptr, "SHA256", nullptr));
  return digest.get();
}

}  // namespace

Sha256Digest sha256(std::string_view bytes) {
  Sha256Digest digest{};
  unsigned int length = 0;
  const EVP_MD* md = sha256Digest();
  if (md == nullptr ||
      EVP_Digest(bytes.data(), bytes.size(), digest.data(), &length, md, nullptr) != 1 ||
      length != digest.size()) {
    throw std::runtime_error("SHA-256 digest failed");
  }
  return digest;
}

std::string sha256Hex(std::string_view bytes) {
  const Sha256Digest digest = sha256(bytes);
  return fmt::format("{:02x}", fmt::join(digest, ""));
}

}  // namespace trv::core
