// The one locale used for digit-grouped ("{:L}") numbers in log lines.
#pragma once

#include <locale>

namespace trv::core {

// "en_US.UTF-8" when the system has it, the classic locale otherwise; made on
// first use and kept for the life of the process.
const std::locale& numberLocale();

}  // namespace trv::core
