// The memory guard every large allocation goes through.
//
// Large buffers are zero-filled when they are made, and the system grants address space it
// cannot back, so a request beyond the memory the system can hand out does not fail at the
// allocation: the process is killed while the buffer is written. Code that knows its total
// need up front calls require_memory(bytes, what) before allocating anything; the request is
// compared with the memory available at that moment, keeping a margin free, and refused with
// MemoryShortage, a std::bad_alloc that says what was being allocated, how much it needs and
// how much is available (MemoryError in Python). Check before mutating, so a refused call
// leaves its object as it was.
#pragma once

#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace kelvo {

// A refused request: what() reads "not enough memory for {what}: {need} needed, {usable}
// available ({available} free less {margin} kept free)", sizes in binary units.
class MemoryShortage : public std::bad_alloc {
  public:
    MemoryShortage(std::string_view what, uint64_t bytes, uint64_t available);
    // A request beyond a budget already net of the margin: "not enough memory for {what}:
    // {need} needed, {usable} available".
    static MemoryShortage beyond(std::string_view what, uint64_t bytes, uint64_t usable);

    const char* what() const noexcept override { return message_.c_str(); }

  private:
    explicit MemoryShortage(std::string message) : message_(std::move(message)) {}

    std::string message_;
};

// A size in bytes as people read it, to three significant digits: "512 bytes", "1.50 KiB",
// "14.6 GiB", "1023 MiB"; "16.0 EiB" at the top of the range.
std::string format_bytes(uint64_t bytes);

// Requests up to this size are granted without a look at the system: they fail like any
// ordinary allocation, and the look reads a file.
inline constexpr uint64_t kUncheckedRequestBytes = uint64_t{16} << 20;

// The part of `available` bytes that a request must leave free: an eighth of it, and at least
// 256 MiB. The available figure is an estimate that counts reclaimable caches, other threads
// and processes allocate while the buffer is filled, and the call needs some memory besides
// the checked buffer.
uint64_t memory_margin(uint64_t available);

// Whether a request of `bytes` fits in `available` bytes with the margin left free.
bool fits_in_memory(uint64_t bytes, uint64_t available);

// Bytes the system can hand out now without swapping, read on every call: the smaller of
// MemAvailable of /proc/meminfo (physical memory where the system does not say) and what the
// process's memory cgroups leave (cgroup_memory_headroom_bytes).
uint64_t available_memory_bytes();

// What the memory cgroups of this process leave before their limit kills it (containers, CI
// runners, batch schedulers): over every level from the process's cgroup up to the root of
// its hierarchy that has a limit, the smallest limit minus usage, usage not counting the
// inactive file cache that the kernel reclaims before it fails (cgroup v2: memory.max,
// memory.current and memory.stat; v1: memory.limit_in_bytes, memory.usage_in_bytes and
// memory.stat). nullopt when no level has a limit. The levels are found anew on every call:
// a scheduler may move the process into another cgroup while it runs.
std::optional<uint64_t> cgroup_memory_headroom_bytes();

// The largest request that fits now (a budget for estimates built step by step).
uint64_t usable_memory_bytes();

// a * b for a size; a product beyond 64 bits can never be allocated, so it throws
// std::bad_alloc.
inline uint64_t checked_product(uint64_t a, uint64_t b) {
    uint64_t r = 0;
    if (__builtin_mul_overflow(a, b, &r)) throw std::bad_alloc();
    return r;
}

// a + b and a * b for size estimates, or the largest value when the result does not fit (so
// that a later size check fails).
inline uint64_t saturating_add(uint64_t a, uint64_t b) {
    uint64_t r = 0;
    return __builtin_add_overflow(a, b, &r) ? UINT64_MAX : r;
}
inline uint64_t saturating_mul(uint64_t a, uint64_t b) {
    uint64_t r = 0;
    return __builtin_mul_overflow(a, b, &r) ? UINT64_MAX : r;
}

// Throws MemoryShortage unless `bytes` fit in the memory available now. `what` names the
// allocation in the message ("the sample records").
void require_memory(uint64_t bytes, std::string_view what);

// As require_memory(count * element_bytes, what); a product beyond 64 bits never fits.
void require_memory(uint64_t count, uint64_t element_bytes, std::string_view what);

// Throws MemoryShortage unless growing `v` to `size` elements fits now. Growth within the
// capacity needs nothing new; beyond it a new buffer of `size` elements is made (the old one
// is released after the copy).
template <class T>
void require_memory_to_grow(const std::vector<T>& v, uint64_t size, std::string_view what) {
    if (size > v.capacity()) require_memory(size, sizeof(T), what);
}

// An allocator that leaves elements made without a value uninitialised, so that a vector of
// it grows without a pass that zero-fills: for large outputs that several threads then write
// in full, each its own part (their pages are first touched by the thread that fills them).
template <class T>
struct UninitializedAllocator : std::allocator<T> {
    template <class U>
    struct rebind {
        using other = UninitializedAllocator<U>;
    };

    UninitializedAllocator() noexcept = default;
    template <class U>
    UninitializedAllocator(const UninitializedAllocator<U>&) noexcept {}

    template <class U>
    void construct(U* p) noexcept(std::is_nothrow_default_constructible_v<U>) {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};

template <class T>
using UninitializedVector = std::vector<T, UninitializedAllocator<T>>;

// Bytes of physical memory; 16 GiB when the system does not say. Not a guard: most of it
// may be in use.
uint64_t physical_memory_bytes();

namespace detail {

// One level of a memory cgroup hierarchy: the directory holding its control files.
struct CgroupLevel {
    std::string directory;
    bool v2 = false;  // memory.max and memory.current, else memory.limit_in_bytes and
                      // memory.usage_in_bytes

    bool operator==(const CgroupLevel&) const = default;
};

// The levels charged for this process's memory, from its own cgroup up to the root of each
// hierarchy, given the texts of /proc/self/cgroup and /proc/self/mountinfo: the cgroup2 path
// ("0::/path") under the cgroup2 mount, and the path of the v1 hierarchy with the memory
// controller under its mount. A path is taken relative to the mount's root (a container sees
// its own cgroup as the mount's root); one outside it falls back to the mount point.
std::vector<CgroupLevel> cgroup_memory_levels(std::string_view proc_cgroup,
                                              std::string_view mountinfo);

// cgroup_memory_headroom_bytes with the process's cgroup and mount table read from the given
// files (/proc/self/cgroup and /proc/self/mountinfo).
std::optional<uint64_t> cgroup_memory_headroom_bytes(const char* proc_cgroup_path,
                                                     const char* mountinfo_path);

// What one level leaves, from the texts of its limit, usage and memory.stat files: limit -
// (usage - inactive file cache), 0 when usage is over the limit. nullopt when the level has no
// limit ("max", or a file that does not parse). v1's hierarchical "total_inactive_file" counts
// before its "inactive_file".
std::optional<uint64_t> cgroup_level_headroom(std::string_view limit, std::string_view usage,
                                              std::string_view stat, bool v2);

}  // namespace detail

}  // namespace kelvo
