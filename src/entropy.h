// Seeds for unseeded runs, drawn from operating-system entropy.
#pragma once

#include <cstdint>
#include <span>

namespace kelvo {

// A fresh seed per call: SipHash-1-3 of the empty message under per-thread keys (k0, k1) read
// once from the operating system, k0 counting up by one per call so that successive seeds on one
// thread differ.
uint64_t entropy_seed();

namespace detail {
uint64_t siphash13(uint64_t k0, uint64_t k1, std::span<const uint8_t> message);
}  // namespace detail

}  // namespace kelvo
