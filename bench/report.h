// Text of the benchmark's tables.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "harness.h"

namespace trv::bench {

// `value` with three significant digits and an SI suffix: "1.23M", "456k", "7.89".
std::string siText(double value);

// "median [min..max]" of `values`, each written by `text`.
std::string spreadText(const std::vector<double>& values,
                       const std::function<std::string(double)>& text = siText);

// A number with `decimals` digits after the point.
std::string fixedText(double value, int decimals);

// "r1 r2 ... median m" for per-repetition ratios.
std::string ratioText(const std::vector<double>& values);

// "  (target N OP BOUND: met)", or "NOT met", for the median of `values`; a
// target without figures is not met. `op` is "<", "<=" or ">=".
std::string targetText(int target, std::string_view op, double bound, const std::vector<double>& values,
                       std::string_view unit = "");

// Prints the failures among the runs of `variants`.
void printFailures(const std::vector<Variant>& variants,
                   const std::vector<std::vector<Measurement>>& results);

}  // namespace trv::bench
