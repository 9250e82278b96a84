// crypto_bench: the crypto service that answers plugins' "crypto" records,
// against bare EVP AES-128-CBC on the same payloads.
// Usage: crypto_bench [--repetitions N] [--seconds S]. See bench/README.md.
#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <fmt/format.h>

#include "crypto/crypto_service.h"
#include "crypto/random_block.h"
#include "harness.h"
#include "report.h"

namespace trv::bench {

namespace {

using namespace std::chrono_literals;

constexpr uint32_t PayloadSizes[] = {64, 1024, 16384};
// The payload size the ratio has to reach the target at, in both directions.
constexpr uint32_t TargetSize = 16384;
constexpr double TargetRatio = 0.8;
// Calls between two looks at the clock.
constexpr uint64_t Batch = 64;
// An identity of the length the fallback identity has: 64 digits and a line feed.
constexpr std::string_view DeviceId =
    "5c6d1b0e9a7f42d38e21c4b7a9f0d3e6b8c1a2f4e7d09b3c6a5f8e1d2c4b7a90\n";

// Text without zero bytes, which the service brings back whole.
std::vector<uint8_t> payload(uint32_t size) {
  std::vector<uint8_t> bytes(size);
  for (uint32_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>('A' + i % 58);
  return bytes;
}

// The crypto service of the core, and one record over a buffer with room
// for the envelope.
class ServiceRig {
 public:
  explicit ServiceRig(uint32_t size)
      : plain_(payload(size)), buffer_(size + 32) {
    record_ = core::makeEvent(core::TypeCrypto, core::CryptoEncrypt, core::originOfPlugin(0x31));
    record_.data = buffer_.data();
    record_.dataLen = static_cast<uint32_t>(buffer_.size());
  }

  // Posts the plaintext for encryption, as a plugin hands it over.
  void encrypt() {
    std::memcpy(buffer_.data(), plain_.data(), plain_.size());
    post(core::CryptoEncrypt, static_cast<uint32_t>(plain_.size()));
  }

  // Posts `envelope` for decryption.
  void decrypt(const std::vector<uint8_t>& envelope) {
    std::memcpy(buffer_.data(), envelope.data(), envelope.size());
    post(core::CryptoDecrypt, static_cast<uint32_t>(envelope.size()));
  }

  std::vector<uint8_t> valid() const {
    return {buffer_.begin(), buffer_.begin() + core::cryptoLenOf(record_)};
  }
  const std::vector<uint8_t>& plain() const { return plain_; }

 private:
  void post(uint32_t command, uint32_t length) {
    record_.flags = command;
    core::setCryptoLen(record_, length);
    const int32_t result = core::answerCryptoRequest(record_, DeviceId);
    if (result != 0) throw std::runtime_error(fmt::format("the service answered {}", result));
  }

  std::vector<uint8_t> plain_;
  std::vector<uint8_t> buffer_;
  core::EventParms record_;
};

// An envelope of the rig's plaintext, checked to decrypt back to it.
std::vector<uint8_t> checkedEnvelope(ServiceRig& rig) {
  rig.encrypt();
  const std::vector<uint8_t> envelope = rig.valid();
  rig.decrypt(envelope);
  if (rig.valid() != rig.plain()) throw std::runtime_error("the service's round trip changed the payload");
  return envelope;
}

Measurement serviceEncrypt(const Options& options, uint32_t size) {
  ServiceRig rig(size);
  checkedEnvelope(rig);
  return timeCalls(options, Batch, [&](uint64_t) { rig.encrypt(); });
}

Measurement serviceDecrypt(const Options& options, uint32_t size) {
  ServiceRig rig(size);
  const std::vector<uint8_t> envelope = checkedEnvelope(rig);
  return timeCalls(options, Batch, [&](uint64_t) { rig.decrypt(envelope); });
}

struct CipherFree {
  void operator()(EVP_CIPHER* cipher) const { EVP_CIPHER_free(cipher); }
};
struct ContextFree {
  void operator()(EVP_CIPHER_CTX* context) const { EVP_CIPHER_CTX_free(context); }
};

// The yardstick: AES-128-CBC straight through EVP, the cipher fetched and the
// context made once, key and IV set for each payload, EVP's own padding.
class BareCbc {
 public:
  BareCbc()
      : cipher_(EVP_CIPHER_fetch(nullptr, "AES-128-CBC", nullptr)), context_(EVP_CIPHER_CTX_new()) {
    if (!cipher_ || !context_) throw std::runtime_error("no AES-128-CBC from OpenSSL");
  }

  // The bytes `in` turns into, written to `out` (room for one block more).
  size_t run(int encrypt, const std::vector<uint8_t>& in, uint8_t* out) {
    static constexpr std::array<uint8_t, 16> Key = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    static constexpr std::array<uint8_t, 16> Iv = {16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1};
    int written = 0;
    int last = 0;
    if (EVP_CipherInit_ex2(context_.get(), cipher_.get(), Key.data(), Iv.data(), encrypt, nullptr) != 1 ||
        EVP_CipherUpdate(context_.get(), out, &written, in.data(), static_cast<int>(in.size())) != 1 ||
        EVP_CipherFinal_ex(context_.get(), out + written, &last) != 1) {
      throw std::runtime_error("EVP AES-128-CBC failed");
    }
    return static_cast<size_t>(written + last);
  }

 private:
  std::unique_ptr<EVP_CIPHER, CipherFree> cipher_;
  std::unique_ptr<EVP_CIPHER_CTX, ContextFree> context_;
};

Measurement bareEncrypt(const Options& options, uint32_t size) {
  BareCbc cbc;
  const std::vector<uint8_t> plain = payload(size);
  std::vector<uint8_t> out(size + 16);
  return timeCalls(options, Batch, [&](uint64_t) { cbc.run(1, plain, out.data()); });
}

Measurement bareDecrypt(const Options& options, uint32_t size) {
  BareCbc cbc;
  const std::vector<uint8_t> plain = payload(size);
  std::vector<uint8_t> ciphertext(size + 16);
  ciphertext.resize(cbc.run(1, plain, ciphertext.data()));
  std::vector<uint8_t> out(ciphertext.size() + 16);
  if (cbc.run(0, ciphertext, out.data()) != size || std::memcmp(out.data(), plain.data(), size) != 0) {
    throw std::runtime_error("EVP's round trip changed the payload");
  }
  return timeCalls(options, Batch, [&](uint64_t) { cbc.run(0, ciphertext, out.data()); });
}

Measurement randomBlock(const Options& options) {
  std::array<uint8_t, core::RandomBlockSize> block{};
  return timeCalls(options, Batch, [&](uint64_t) { core::CoCreateGuid(block); });
}

[[noreturn]] void usage(std::string_view problem) {
  fmt::print(stderr,
             "crypto_bench: {}\n"
             "usage: crypto_bench [--repetitions N] [--seconds S]\n",
             problem);
  std::exit(2);
}

Options parse(int argc, char** argv) {
  Options options;
  options.window = 500ms;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string_view name = argv[i];
    char* end = nullptr;
    if (name == "--repetitions") {
      options.repetitions = static_cast<int>(std::strtol(argv[i + 1], &end, 10));
      if (*end != '\0' || options.repetitions < 1) usage("--repetitions takes a count of at least 1");
    } else if (name == "--seconds") {
      const double seconds = std::strtod(argv[i + 1], &end);
      if (*end != '\0' || !(seconds > 0)) usage("--seconds takes a positive number");
      options.window = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    } else {
      usage(fmt::format("unknown option {}", name));
    }
  }
  if (argc % 2 == 0) usage(fmt::format("{} needs a value", argv[argc - 1]));
  return options;
}

std::string nanosText(double value) { return fixedText(value, 0); }

std::string sizeText(uint32_t size) {
  return size < 1024 ? fmt::format("{} B", size) : fmt::format("{} KiB", size / 1024);
}

}  // namespace

}  // namespace trv::bench

int main(int argc, char** argv) {
  using namespace trv::bench;
  const Options options = parse(argc, argv);
  fmt::print(
      "crypto_bench: {} repetitions of {:.2f} s (after {:.2f} s of warm-up) per variant, variants\n"
      "interleaved, every run in a child process of its own; {} hardware threads, {}.\n"
      "Figures are median [min..max] over the repetitions; the ratio is bare EVP ns / service ns\n"
      "within each repetition (1.00: the service is as fast as bare EVP).\n\n",
      options.repetitions, std::chrono::duration<double>(options.window).count(),
      std::chrono::duration<double>(options.warmUp).count(), std::thread::hardware_concurrency(),
      OpenSSL_version(OPENSSL_VERSION));

  struct Row {
    uint32_t size;
    const char* direction;
    size_t service;
    size_t bare;
  };
  std::vector<Variant> variants;
  std::vector<Row> rows;
  for (const uint32_t size : PayloadSizes) {
    for (const bool encrypt : {true, false}) {
      const char* direction = encrypt ? "encrypt" : "decrypt";
      rows.push_back({size, direction, variants.size(), variants.size() + 1});
      variants.push_back({fmt::format("service {} {}", direction, sizeText(size)), [=] {
                            return encrypt ? serviceEncrypt(options, size) : serviceDecrypt(options, size);
                          }});
      variants.push_back({fmt::format("bare EVP {} {}", direction, sizeText(size)), [=] {
                            return encrypt ? bareEncrypt(options, size) : bareDecrypt(options, size);
                          }});
    }
  }
  const size_t random = variants.size();
  variants.push_back({"CoCreateGuid", [=] { return randomBlock(options); }});
  const auto results = runInterleaved(variants, options);

  const auto nanos = [](const Measurement& run) { return run.nanosPerEvent(); };
  fmt::print("    {:<8} {:<8} {:<26} {:<26} {}\n", "payload", "", "service ns per request",
             "bare EVP ns per payload", "ratio per repetition");
  for (const Row& row : rows) {
    const std::vector<double> ratio = ratios(results[row.bare], results[row.service], nanos);
    std::string verdict;
    if (row.size == TargetSize) {
      const bool met = !ratio.empty() && spreadOf(ratio).median >= TargetRatio;
      verdict = fmt::format("  (target >= {:.2f}: {})", TargetRatio, met ? "met" : "NOT met");
    }
    fmt::print("    {:<8} {:<8} {:<26} {:<26} {}{}\n", sizeText(row.size), row.direction,
               spreadText(figures(results[row.service], nanos), nanosText),
               spreadText(figures(results[row.bare], nanos), nanosText), ratioText(ratio), verdict);
  }
  fmt::print("\n    Of each encryption: the random first block, /dev/urandom opened, read and closed:\n"
             "    {} ns\n",
             spreadText(figures(results[random], nanos), nanosText));
  printFailures(variants, results);
  return 0;
}
