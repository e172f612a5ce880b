// Size of the machine's physical memory.
//
// Large buffers are zero-filled when they are made, and the system grants address space it
// cannot back, so a request beyond physical memory would not fail at the allocation but end
// the process while it is written. Callers that know their total need up front compare it with
// this and refuse with std::bad_alloc instead.
#pragma once

#include <cstdint>

namespace kelvo {

// Bytes of physical memory; 16 GiB when the system does not say.
uint64_t physical_memory_bytes();

}  // namespace kelvo
