// Process-wide allocator settings for the payload traffic of the core.
#pragma once

namespace trv::core {

// Payload blocks are allocated on the posting threads and freed on the
// dispatch thread. With glibc's adaptive thresholds the heap is trimmed and
// faulted in again continuously at media rates (up to one page fault per
// event for 64 KiB frames), so the core fixes them at start-up: blocks up to
// 256 KiB come from the heap, and up to 8 MiB of free heap is kept for reuse.
void tuneAllocatorForPayloads();

}  // namespace trv::core
