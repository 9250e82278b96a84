#include "sha256.h"

#include <openssl/evp.h>

#include <stdexcept>

#include <fmt/format.h>

namespace trv::core {

Sha256Digest sha256(std::string_view bytes) {
  Sha256Digest digest{};
  unsigned int length = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), digest.data(), &length, EVP_sha256(), nullptr) != 1 ||
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
