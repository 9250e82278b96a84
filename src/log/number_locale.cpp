#include "log/number_locale.h"

#include <stdexcept>

namespace trv::core {

namespace {
std::locale makeNumberLocale() {
  try {
    return std::locale("en_US.UTF-8");
  } catch (const std::runtime_error&) {
    return std::locale::classic();
  }
}
}  // namespace

const std::locale& numberLocale() {
  static const std::locale locale = makeNumberLocale();
  return locale;
}

}  // namespace trv::core
