#include "log/core_log.h"

namespace trv::core {

namespace detail {
CoreLogTarget coreLogTarget;

std::string& threadLogBuffer() {
  thread_local std::string buffer = [] {
    std::string fresh;
    fresh.reserve(2048);
    return fresh;
  }();
  buffer.clear();
  return buffer;
}
}  // namespace detail

void setCoreLogTarget(CoreLogTarget target) { detail::coreLogTarget = target; }

}  // namespace trv::core
