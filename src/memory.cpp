#include "memory.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <new>
#include <optional>
#include <string_view>

namespace kelvo {

namespace {

constexpr uint64_t kMinMarginBytes = uint64_t{256} << 20;

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

// The "MemAvailable:  N kB" line of /proc/meminfo, in bytes. Read with plain system calls
// into a stack buffer: the check must not allocate, and it runs on any thread.
std::optional<uint64_t> read_mem_available() {
    const int fd = ::open("/proc/meminfo", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    char buffer[4096];
    size_t size = 0;
    while (size < sizeof buffer) {
        const ssize_t n = ::read(fd, buffer + size, sizeof buffer - size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        size += static_cast<size_t>(n);
    }
    ::close(fd);
    const std::string_view text(buffer, size);
    constexpr std::string_view kKey = "\nMemAvailable:";
    const size_t at = text.find(kKey);
    if (at == std::string_view::npos) return std::nullopt;
    size_t i = at + kKey.size();
    while (i < text.size() && text[i] == ' ')
        ++i;
    uint64_t kib = 0;
    const size_t digits = i;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        if (__builtin_mul_overflow(kib, 10, &kib) ||
            __builtin_add_overflow(kib, static_cast<uint64_t>(text[i] - '0'), &kib)) {
            return std::nullopt;
        }
    }
    if (i == digits || text.substr(i, 3) != " kB") return std::nullopt;
    uint64_t bytes = 0;
    if (__builtin_mul_overflow(kib, 1024, &bytes)) return std::nullopt;
    return bytes;
}

}  // namespace

uint64_t memory_margin(uint64_t available) {
    return std::max(kMinMarginBytes, available / 8);
}

bool fits_in_memory(uint64_t bytes, uint64_t available) {
    const uint64_t margin = memory_margin(available);
    return available >= margin && bytes <= available - margin;
}

uint64_t available_memory_bytes() {
    if (const std::optional<uint64_t> bytes = read_mem_available()) return *bytes;
    return physical_memory_bytes();
}

uint64_t usable_memory_bytes() {
    const uint64_t available = available_memory_bytes();
    const uint64_t margin = memory_margin(available);
    return available > margin ? available - margin : 0;
}

void require_memory(uint64_t bytes) {
    if (bytes <= kUncheckedRequestBytes) return;
    if (!fits_in_memory(bytes, available_memory_bytes())) throw std::bad_alloc();
}

void require_memory(uint64_t count, uint64_t element_bytes) {
    require_memory(checked_product(count, element_bytes));
}

uint64_t physical_memory_bytes() {
    // Fixed for the life of the process; asked once because the query is a system call.
    static const uint64_t bytes = query_physical_memory_bytes();
    return bytes;
}

}  // namespace kelvo
