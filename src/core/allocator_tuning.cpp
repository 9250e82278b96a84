#include "core/allocator_tuning.h"

#include <malloc.h>

namespace trv::core {

void tuneAllocatorForPayloads() {
  mallopt(M_MMAP_THRESHOLD, 256 * 1024);
  mallopt(M_TRIM_THRESHOLD, 8 * 1024 * 1024);
}

}  // namespace trv::core
