// Feeds arbitrary "crypto" request records to the crypto service over a real
// payload buffer. The input is read as: the record's bytes (zero-filled when
// the input is shorter), whose `dataLen` is taken modulo 65537 and gets a
// heap buffer of exactly that size, filled with the rest of the input and
// then 0xa5. Every other field, `flags` and `cryptoLen` included, is used as
// it comes. The service must only touch that buffer, answer with one of its
// codes, leave everything alone unless it succeeds, and decrypt what it
// encrypted.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include "crypto_service.h"

namespace {

using namespace trv::core;

constexpr std::string_view DeviceId = "fuzz device 0001\n";

[[noreturn]] void fail(const char* what, uint64_t a, uint64_t b) {
  std::fprintf(stderr, "%s (%llu, %llu)\n", what, static_cast<unsigned long long>(a),
               static_cast<unsigned long long>(b));
  std::abort();
}

bool isAnswer(int32_t result) {
  return result >= 0 || result == CryptoUnknownCommand || result == CryptoBadBuffer ||
         result == CryptoNoResult;
}

void checkUntouched(const EventParms& record, const EventParms& before, const uint8_t* buffer,
                    const std::vector<uint8_t>& contents) {
  if (std::memcmp(&record, &before, sizeof record) != 0) fail("record changed", record.flags, cryptoLenOf(record));
  if (!std::equal(contents.begin(), contents.end(), buffer)) fail("buffer changed", contents.size(), 0);
}

void checkSuccess(const EventParms& record, uint32_t command, const uint8_t* buffer) {
  const uint32_t length = cryptoLenOf(record);
  if (length > record.dataLen) fail("result beyond the capacity", length, record.dataLen);
  const uint32_t expected = command == CryptoEncrypt ? CryptoDecrypt : CryptoEncrypt;
  if (record.flags != expected) fail("flags after success", record.flags, expected);
  if (command == CryptoEncrypt) return;
  for (uint32_t i = length; i < record.dataLen; ++i) {
    if (buffer[i] != 0) fail("envelope bytes left behind the plaintext", i, buffer[i]);
  }
}

// Decrypting what was just encrypted gives the plaintext back, cut at its
// first zero byte or where its end reads as count padding.
void checkRoundTrip(EventParms& record, const std::vector<uint8_t>& plain) {
  const int32_t result = answerCryptoRequest(record, DeviceId);
  if (plain.empty()) {
    if (result != CryptoBadBuffer) fail("decrypting nothing", static_cast<uint64_t>(result), 0);
    return;
  }
  // Only text cut at its very first byte comes back empty.
  if (result == CryptoNoResult && plain[0] == 0) return;
  if (result != 0) fail("own envelope refused", static_cast<uint64_t>(result), plain.size());
  const uint32_t length = cryptoLenOf(record);
  if (length > plain.size() || std::memcmp(record.data, plain.data(), length) != 0) {
    fail("not a prefix of the plaintext", length, plain.size());
  }
  if (std::find(plain.begin(), plain.end(), 0) == plain.end() && length != plain.size()) {
    fail("plaintext without zero bytes cut", length, plain.size());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  EventParms record;
  std::memset(&record, 0, sizeof record);
  const size_t recordBytes = std::min(size, sizeof record);
  std::copy_n(data, recordBytes, reinterpret_cast<uint8_t*>(&record));
  record.dataLen %= 65537;
  const auto buffer = std::make_unique<uint8_t[]>(record.dataLen);
  std::memset(buffer.get(), 0xa5, record.dataLen);
  std::copy_n(data + recordBytes, std::min<size_t>(size - recordBytes, record.dataLen), buffer.get());
  record.data = buffer.get();

  EventParms before;
  std::memcpy(&before, &record, sizeof before);
  const std::vector<uint8_t> contents(buffer.get(), buffer.get() + record.dataLen);
  const uint32_t command = record.flags & CryptoCommandMask;
  const uint32_t cryptoLen = cryptoLenOf(record);

  const int32_t result = answerCryptoRequest(record, DeviceId);
  if (!isAnswer(result)) fail("unknown answer", static_cast<uint64_t>(result), 0);
  if (result != 0) {
    checkUntouched(record, before, buffer.get(), contents);
    if (result > 0 && (command != CryptoEncrypt || uint64_t(result) <= record.dataLen ||
                       uint64_t(result) > uint64_t{cryptoLen} + 32)) {
      fail("needed length", static_cast<uint64_t>(result), record.dataLen);
    }
    return 0;
  }
  checkSuccess(record, command, buffer.get());
  if (command == CryptoEncrypt) {
    checkRoundTrip(record, std::vector<uint8_t>(contents.begin(), contents.begin() + cryptoLen));
  }
  return 0;
}
