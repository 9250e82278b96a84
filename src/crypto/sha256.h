// SHA-256 digests through OpenSSL's EVP interface.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace trv::core {

using Sha256Digest = std::array<uint8_t, 32>;

Sha256Digest sha256(std::string_view bytes);

// The digest as 64 lower-case hexadecimal digits.
std::string sha256Hex(std::string_view bytes);

}  // namespace trv::core
