// Word kernels shared by the tableau's row arithmetic. A width template argument W of 1, 2, 4 or
// 8 fixes the loop length at compile time; W = 0 takes it at run time.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <type_traits>

namespace kelvo::tableau_simulator::detail {

template <size_t W>
constexpr size_t width_of(size_t runtime) {
    if constexpr (W == 0) {
        return runtime;
    } else {
        return W;
    }
}

// Parity of popcount(a AND b) over w words: the ANDs are XOR-folded and counted once.
template <size_t W>
inline bool and_parity(const uint64_t* a, const uint64_t* b, size_t w) {
    const size_t n = width_of<W>(w);
    uint64_t acc = 0;
    for (size_t i = 0; i < n; ++i)
        acc ^= a[i] & b[i];
    return std::popcount(acc) & 1;
}

template <size_t W>
inline void xor_words(uint64_t* a, const uint64_t* b, size_t w) {
    const size_t n = width_of<W>(w);
    for (size_t i = 0; i < n; ++i)
        a[i] ^= b[i];
}

// Rows are w X-words followed by w Z-words. a <- b*a: moving each Z of b past an X of a on the
// same qubit costs a sign.
template <size_t W>
inline void left_product(uint64_t* a, uint8_t& sign_a, const uint64_t* b, uint8_t extra, size_t w) {
    const size_t n = width_of<W>(w);
    const bool p = and_parity<W>(a, b + n, n);
    xor_words<W>(a, b, n);
    xor_words<W>(a + n, b + n, n);
    sign_a = static_cast<uint8_t>((sign_a + extra + 2 * p) & 3);
}

// a <- a*b: each Z of a moved past an X of b costs a sign.
template <size_t W>
inline void right_product(uint64_t* a, uint8_t& sign_a, const uint64_t* b, uint8_t extra,
                          size_t w) {
    const size_t n = width_of<W>(w);
    const bool p = and_parity<W>(a + n, b, n);
    xor_words<W>(a, b, n);
    xor_words<W>(a + n, b + n, n);
    sign_a = static_cast<uint8_t>((sign_a + extra + 2 * p) & 3);
}

// Calls f with std::integral_constant<size_t, W> for the stride's fixed width, 0 for any other.
template <class F>
decltype(auto) with_stride(uint64_t stride, F&& f) {
    switch (stride) {
        case 1:
            return f(std::integral_constant<size_t, 1>{});
        case 2:
            return f(std::integral_constant<size_t, 2>{});
        case 4:
            return f(std::integral_constant<size_t, 4>{});
        case 8:
            return f(std::integral_constant<size_t, 8>{});
        default:
            return f(std::integral_constant<size_t, 0>{});
    }
}

// Calls f(i) for every set bit i of the packed words, ascending; zero words are skipped.
template <class F>
inline void for_each_set_bit(std::span<const uint64_t> words, F&& f) {
    for (size_t i = 0; i < words.size(); ++i) {
        for (uint64_t w = words[i]; w != 0; w &= w - 1) {
            f(64 * static_cast<uint64_t>(i) + static_cast<uint64_t>(std::countr_zero(w)));
        }
    }
}

}  // namespace kelvo::tableau_simulator::detail
