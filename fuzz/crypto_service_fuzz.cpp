// Arbitrary "crypto" request records over a real payload buffer. The input is: the record's bytes
// (zero-filled when the input is shorter), whose `dataLen` taken modulo 65537 sizes a heap buffer
// of exactly that many bytes, filled with the rest of the input and then 0xa5; every other field,
// `flags` and `cryptoLen` included, is used as it comes. The service may touch only that buffer,
// answers with one of its codes, changes nothing unless it succeeds, and decrypts what it encrypted.
#include <algorithm>
#include <cstring>
#include <vector>

#include "crypto/crypto_service.h"
#include "fuzz_check.h"

using namespace trv::core;
using trv::fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  EventParms record{};
  const size_t recordBytes = std::min(size, sizeof record);
  std::memcpy(&record, data, recordBytes);
  record.dataLen %= 65537;
  std::vector<uint8_t> buffer(record.dataLen, 0xa5);
  std::copy_n(data + recordBytes, std::min<size_t>(size - recordBytes, buffer.size()), buffer.begin());
  record.data = buffer.data();
  const EventParms before = record;
  const std::vector<uint8_t> contents = buffer;
  const uint32_t command = record.flags & CryptoCommandMask, cryptoLen = cryptoLenOf(record);
  const int32_t result = answerCryptoRequest(record, "fuzz device 0001\n");
  // Only an encryption asks for room, more than the buffer has.
  const bool known = result == CryptoUnknownCommand || result == CryptoBadBuffer || result == CryptoNoResult ||
                     (result > 0 && command == CryptoEncrypt && uint32_t(result) > record.dataLen);
  check(result == 0 || (known && std::memcmp(&before, &record, sizeof record) == 0 && buffer == contents),
        "refusal unknown or with a change", result, record.dataLen);
  if (result != 0 || command != CryptoEncrypt) return 0;
  // Decrypting that gives the plaintext back, cut at its first zero byte or where its end reads as
  // count padding; only a plaintext cut at its very first byte comes back as nothing.
  const int32_t back = answerCryptoRequest(record, "fuzz device 0001\n");
  const uint32_t got = cryptoLenOf(record);
  const auto plain = contents.begin(), end = plain + cryptoLen;
  check(cryptoLen == 0 ? back == CryptoBadBuffer : (back == CryptoNoResult && *plain == 0) ||
        (back == 0 && got <= cryptoLen && std::equal(plain, plain + got, buffer.begin()) &&
         (got == cryptoLen || std::find(plain, end, 0) != end)), "not the plaintext back", back, got);
  return 0;
}
