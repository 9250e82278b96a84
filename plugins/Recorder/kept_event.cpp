#include "kept_event.h"

namespace trv::recorder {

using namespace trv::core;

KeptEvent::KeptEvent(const EventParms& live, PostEventFn post, uint32_t origin)
    : record_(live), post_(post), origin_(origin) {}

KeptEvent::~KeptEvent() {
  // The payload address names the block; the origin names the holder.
  EventParms decref = makeEvent(TypeDecref, 0, origin_);
  decref.data = record_.data;
  post_(&decref);
}

}  // namespace trv::recorder
