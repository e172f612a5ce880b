// Packed-bit conventions: bit i of a vector is bit i % 64 of word i / 64.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace kelvo {

// Words needed for n bits. Written so that n near 2^64 cannot wrap.
constexpr uint64_t word_count(uint64_t n) {
    return n / 64 + (n % 64 != 0);
}

inline bool get_bit(std::span<const uint64_t> words, uint64_t i) {
    return (words[i / 64] >> (i % 64)) & 1;
}

inline void set_bit(std::span<uint64_t> words, uint64_t i, bool value) {
    const uint64_t mask = uint64_t{1} << (i % 64);
    words[i / 64] = value ? (words[i / 64] | mask) : (words[i / 64] & ~mask);
}

// Packs n booleans into word_count(n) words.
std::vector<uint64_t> packed_bits(std::span<const bool> bools);

// Canonical XOR of condition ids: sorted, strictly increasing, pairs cancelled.
// Every id must be positive (fatal assertion otherwise).
std::vector<int32_t> normalize_xor_conditions(std::vector<int32_t> ids);

}  // namespace kelvo
