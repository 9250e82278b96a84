// What the fuzz targets share: the check that ends a run with what failed and two numbers that
// place it, so that libFuzzer keeps the input; and what an operation that may throw returns.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>

namespace trv::fuzz {

inline void check(bool holds, const char* what, int64_t a = 0, int64_t b = 0) {
  if (holds) return;
  std::fprintf(stderr, "%s (%lld, %lld)\n", what, static_cast<long long>(a), static_cast<long long>(b));
  std::abort();
}

// What `operation` returns, or `otherwise` when it throws.
template <typename Operation, typename Result>
Result unlessThrown(const Operation& operation, Result otherwise) try {
  return operation();
} catch (const std::exception&) {
  return otherwise;
}

}  // namespace trv::fuzz
