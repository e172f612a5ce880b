#include "memory.h"

#include <unistd.h>

namespace kelvo {

namespace {

uint64_t query_physical_memory_bytes() {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_size = sysconf(_SC_PAGE_SIZE);
    uint64_t bytes = 0;
    if (pages <= 0 || page_size <= 0 ||
        __builtin_mul_overflow(static_cast<uint64_t>(pages), static_cast<uint64_t>(page_size),
                               &bytes)) {
        return uint64_t{16} << 30;
    }
    return bytes;
}

}  // namespace

uint64_t physical_memory_bytes() {
    // Fixed for the life of the process; asked once because the query is a system call.
    static const uint64_t bytes = query_physical_memory_bytes();
    return bytes;
}

}  // namespace kelvo
