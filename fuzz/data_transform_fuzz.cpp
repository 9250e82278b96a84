// Arbitrary bytes through the envelope transform, over working buffers of arbitrary sizes around
// their length. The input is: an options byte (bit 0 plain copy, bit 1 count padding, bit 2 the
// built-in key), a 16-bit buffer size taken modulo the input length + 64, then the bytes, which are
// decoded as an envelope, and encoded and decoded back. Buffers are exactly as large as they say,
// so that any access past them is caught; every answer must be one the transform gives.
#include <algorithm>
#include <vector>

#include "crypto/data_transform.h"
#include "fuzz_check.h"

using Bytes = std::vector<uint8_t>;
using trv::fuzz::check;

// Encodes or decodes `input` over a buffer of `size` bytes: the result, empty on an error.
static Bytes run(uint8_t options, bool encoding, const Bytes& input, uint32_t size) {
  Bytes buffer(size);
  // A fixed first block keeps every run reproducible.
  trv::core::DataTransform coder((options & 1) == 0, [](std::span<uint8_t, 16> block) { block[0] = 0x5c; });
  coder.setBuffer(buffer.data(), size);
  coder.setZeroPadding((options & 2) == 0);
  if ((options & 4) == 0) coder.setKey(Bytes(32, 7), true);
  auto length = static_cast<uint32_t>(input.size());
  int32_t error = 1;
  const uint8_t* out = encoding ? coder.encode(input.data(), length, error) : coder.decode(input.data(), length, error);
  check(out ? out == buffer.data() && error == 0 && (encoding || (options & 1) != 0 || out[length] == 0)
            : length == 0 && error < 0, "answer", length, error);
  return out == nullptr ? Bytes{} : Bytes(out, out + length);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3 || size > 65536) return 0;
  const Bytes input(data + 3, data + size);
  const auto n = static_cast<uint32_t>(input.size());
  const uint32_t bufferSize = (uint32_t{data[1]} | uint32_t{data[2]} << 8) % (n + 64);
  run(data[0], false, input, bufferSize);
  // Room for the input, 32 bytes and at most 17 of padding is enough for whole blocks and the first.
  const Bytes envelope = run(data[0], true, input, bufferSize);
  const auto length = static_cast<uint32_t>(envelope.size());
  check(envelope.empty() ? n == 0 || bufferSize < n + 49 : (data[0] & 1) != 0 || (length % 16 == 0 &&
        length >= n + 16 && length <= n + 33 && bufferSize >= length + 16), "envelope", length, bufferSize);
  if (envelope.empty() || (data[0] & 1) != 0) return 0;
  // Count padding brings everything back; zero padding all but text cut at a zero byte.
  const Bytes back = run(data[0], false, envelope, length);
  const bool whole = (data[0] & 2) != 0 || std::find(input.begin(), input.end(), 0) == input.end();
  check(back.size() <= n && std::equal(back.begin(), back.end(), input.begin()) && (!whole || back.size() == n),
        "round trip", back.size(), n);
  return 0;
}
