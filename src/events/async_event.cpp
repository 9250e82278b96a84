#include "events/async_event.h"

#include <cstring>

namespace trv::core {

AsyncEvent::AsyncEvent(const EventParms& source) : event_(source) {
  if (source.dataLen != 0 && source.data != nullptr) payload_.reset(std::malloc(source.dataLen));
  if (payload_) {
    std::memcpy(payload_.get(), source.data, source.dataLen);
  } else {
    event_.dataLen = 0;
  }
  event_.data = payload_.get();
}

}  // namespace trv::core
