#include "report.h"

#include <cmath>
#include <cstdio>

#include <fmt/format.h>

namespace trv::bench {

std::string siText(double value) {
  constexpr const char* suffixes[] = {"", "k", "M", "G"};
  int index = 0;
  while (std::fabs(value) >= 999.5 && index < 3) {
    value /= 1000;
    ++index;
  }
  const int decimals = std::fabs(value) >= 99.95 ? 0 : std::fabs(value) >= 9.995 ? 1 : 2;
  return fmt::format("{:.{}f}{}", value, decimals, suffixes[index]);
}

std::string spreadText(const std::vector<double>& values,
                       const std::function<std::string(double)>& text) {
  if (values.empty()) return "n/a";
  const Spread spread = spreadOf(values);
  return fmt::format("{} [{}..{}]", text(spread.median), text(spread.min), text(spread.max));
}

std::string fixedText(double value, int decimals) { return fmt::format("{:.{}f}", value, decimals); }

std::string ratioText(const std::vector<double>& values) {
  if (values.empty()) return "n/a";
  std::string text;
  for (double value : values) text += fmt::format("{:.2f} ", value);
  return text + fmt::format("median {:.2f}", spreadOf(values).median);
}

std::string targetText(int target, std::string_view op, double bound, const std::vector<double>& values,
                       std::string_view unit) {
  const double median = spreadOf(values).median;
  const bool holds = op == "<" ? median < bound : op == "<=" ? median <= bound : median >= bound;
  return fmt::format("  (target {} {} {:.{}f}{}: {})", target, op, bound, bound < 10 ? 2 : 0, unit,
                     !values.empty() && holds ? "met" : "NOT met");
}

void printFailures(const std::vector<Variant>& variants,
                   const std::vector<std::vector<Measurement>>& results) {
  for (size_t v = 0; v < variants.size(); ++v) fmt::print("{}", failures(variants[v].name, results[v]));
}

}  // namespace trv::bench
