// One live event the recorder keeps: a copy of its record, whose payload is
// the core's reference block. The recorder took a reference on that block
// when its OnEvent returned non-zero; the reference is given back, with a
// "decref", when the last share of this object goes: when the event leaves
// the store, or later if a search is still serving it then.
#pragma once

#include <cstdint>

#include <trv/core/sdk.h>

namespace trv::recorder {

class KeptEvent {
 public:
  // `live` is the record OnEvent was handed; its payload is not copied.
  KeptEvent(const core::EventParms& live, core::PostEventFn post, uint32_t origin);
  // Any thread: gives the payload back to the core.
  ~KeptEvent();
  KeptEvent(const KeptEvent&) = delete;
  KeptEvent& operator=(const KeptEvent&) = delete;

  const core::EventParms& record() const { return record_; }

 private:
  core::EventParms record_;
  core::PostEventFn post_;
  uint32_t origin_;
};

}  // namespace trv::recorder
