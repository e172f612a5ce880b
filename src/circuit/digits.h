// Decimal digit runs read into 64-bit indices with overflow detection, for the hot target loops.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace kelvo {

inline bool is_decimal_digit(char c) {
    return static_cast<unsigned char>(c - '0') < 10;
}

namespace detail {

// Number of leading decimal digits among the 8 bytes of `chunk` (first byte lowest).
inline int swar_digit_count(uint64_t chunk) {
    // A byte is a digit when its high nibble is 3 and adding 6 does not carry out of the low one.
    const uint64_t not_digit =
        ((chunk & 0xF0F0F0F0F0F0F0F0) ^ 0x3030303030303030) |
        (((chunk + 0x0606060606060606) & 0xF0F0F0F0F0F0F0F0) ^ 0x3030303030303030);
    return not_digit == 0 ? 8 : __builtin_ctzll(not_digit) / 8;
}

// Value of the first `count` (1 to 8) digit bytes of `chunk`.
inline uint64_t swar_digit_value(uint64_t chunk, int count) {
    // Moving the digits to the high bytes leaves zero bytes in front, which read as zeros.
    uint64_t v = (chunk << (8 * (8 - count))) & 0x0F0F0F0F0F0F0F0F;
    v = (v * 2561) >> 8;
    v = ((v & 0x00FF00FF00FF00FF) * 6553601) >> 16;
    return ((v & 0x0000FFFF0000FFFF) * 42949672960001) >> 32;
}

}  // namespace detail

// Reads the run of ASCII digits starting at text[i] into `value` and returns the index just
// past it. `fits` is false when the run does not fit in 64 bits (`value` is then junk).
inline size_t read_digit_run(std::string_view text, size_t i, size_t& value, bool& fits) {
    static constexpr size_t kPow10[9] = {1,      10,      100,      1000,     10000,
                                         100000, 1000000, 10000000, 100000000};
    const size_t start = i;
    size_t v = 0;
    // Eight bytes at a time while they are available: no branch per digit.
    while (i + 8 <= text.size()) {
        uint64_t chunk;
        std::memcpy(&chunk, text.data() + i, 8);
        const int count = detail::swar_digit_count(chunk);
        if (count == 0) break;
        v = v * kPow10[count] + detail::swar_digit_value(chunk, count);
        i += static_cast<size_t>(count);
        if (count < 8) goto done;
    }
    while (i < text.size() && is_decimal_digit(text[i])) {
        v = v * 10 + static_cast<size_t>(text[i] - '0');
        ++i;
    }
done:
    fits = true;
    if (i - start > 19) {  // 19 digits always fit; longer runs need checking
        v = 0;
        for (size_t k = start; k < i && fits; ++k) {
            fits = !__builtin_mul_overflow(v, size_t{10}, &v) &&
                   !__builtin_add_overflow(v, static_cast<size_t>(text[k] - '0'), &v);
        }
    }
    value = v;
    return i;
}

}  // namespace kelvo
