// Arbitrary bytes through the envelope transform, over working buffers of arbitrary sizes around
// their length. The input is: an options byte (bit 0 plain copy, bit 1 count padding, bit 2 the
// built-in key), a 16-bit buffer size taken modulo the input length + 64, then the bytes, which are
// decoded as an envelope, encoded (also in place) and decoded back. Buffers are exactly as large as
// they say, so that any access past them is caught; every answer must be one the transform gives.
#include <algorithm>
#include <vector>

#include "crypto/data_transform.h"
#include "fuzz_check.h"

using Bytes = std::vector<uint8_t>;
using trv::fuzz::check;

// A fixed first block keeps every run reproducible.
static void fixedBlock(std::span<uint8_t, 16> block) {
  std::fill(block.begin(), block.end(), 0);
  block[0] = 0x5c;
}

// Sets `coder` up as `options` say, over `buffer`.
static void setUp(trv::core::DataTransform& coder, uint8_t options, Bytes& buffer) {
  coder.setBuffer(buffer.data(), static_cast<uint32_t>(buffer.size()));
  coder.setZeroPadding((options & 2) == 0);
  if ((options & 4) == 0) coder.setKey(Bytes(32, 7), true);
}

// Encodes or decodes `input` over a buffer of `size` bytes: the result, empty on an error.
static Bytes run(uint8_t options, bool encoding, const Bytes& input, uint32_t size) {
  Bytes buffer(size);
  trv::core::DataTransform coder((options & 1) == 0, fixedBlock);
  setUp(coder, options, buffer);
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
  // In place, in a buffer of the input and up to 33 bytes more: that envelope where it fits, else a
  // refusal that leaves the buffer as it was.
  Bytes place(input);
  place.resize(n + bufferSize % 34, 0xa5);
  const Bytes before = place;
  trv::core::DataTransform coder(true, fixedBlock);
  setUp(coder, data[0], place);
  uint32_t sealed = n;
  int32_t error = 1;
  const uint8_t* out = coder.encodeInPlace(sealed, error);
  check(place.size() >= length ? out == place.data() && error == 0 && sealed == length &&
        std::equal(envelope.begin(), envelope.end(), out) : !out && error == trv::core::TransformBufferTooSmall &&
        place == before, "in place", sealed, place.size());
  // Count padding brings everything back; zero padding all but text cut at a zero byte.
  const Bytes back = run(data[0], false, envelope, length);
  const bool whole = (data[0] & 2) != 0 || std::find(input.begin(), input.end(), 0) == input.end();
  check(back.size() <= n && std::equal(back.begin(), back.end(), input.begin()) && (!whole || back.size() == n),
        "round trip", back.size(), n);
  return 0;
}
