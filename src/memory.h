// The memory guard every large allocation goes through.
//
// Large buffers are zero-filled when they are made, and the system grants address space it
// cannot back, so a request beyond the memory the system can hand out does not fail at the
// allocation: the process is killed while the buffer is written. Code that knows its total
// need up front calls require_memory(bytes) before allocating anything; the request is
// compared with the memory available at that moment, keeping a margin free, and refused with
// std::bad_alloc (MemoryError in Python) when it does not fit. Check before mutating, so a
// refused call leaves its object as it was.
#pragma once

#include <cstdint>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

namespace kelvo {

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

// Bytes the system can hand out now without swapping (MemAvailable of /proc/meminfo, read on
// every call); physical memory where the system does not say.
uint64_t available_memory_bytes();

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

// Throws std::bad_alloc unless `bytes` fit in the memory available now.
void require_memory(uint64_t bytes);

// As require_memory(count * element_bytes); a product beyond 64 bits never fits.
void require_memory(uint64_t count, uint64_t element_bytes);

// Throws std::bad_alloc unless growing `v` to `size` elements fits now. Growth within the
// capacity needs nothing new; beyond it a new buffer of `size` elements is made (the old one
// is released after the copy).
template <class T>
void require_memory_to_grow(const std::vector<T>& v, uint64_t size) {
    if (size > v.capacity()) require_memory(size, sizeof(T));
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

}  // namespace kelvo
