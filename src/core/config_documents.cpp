// The documents the core publishes about itself.
#include <fmt/format.h>

#include "dvr_core.h"

namespace trv::core {

void DvrCore::publishMemoryStatus() {
  const int64_t now = supervisionSources.steadyNanos();
  const std::string text = fmt::format(
      "<?xml?><qDVR><Memory ID=\"-2147483648\" Throttling=\"{}\" Time=\"{}\" mseTime=\"{}\"/></qDVR>",
      throttlingActive.load(std::memory_order_acquire) ? 1 : 0, now / 1000000000, now / 1000000);
  EventParms event = makeEvent(TypeAlarm, FlagLive | FlagXml, CoreSource);
  event.data = const_cast<char*>(text.data());
  event.dataLen = static_cast<uint32_t>(text.size());
  entryCommon(event);
}

}  // namespace trv::core
