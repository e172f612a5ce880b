// Decimal digit runs read into 64-bit indices with overflow detection, for the hot target loops.
#pragma once

#include <cstddef>
#include <string_view>

namespace kelvo {

inline bool is_decimal_digit(char c) {
    return static_cast<unsigned char>(c - '0') < 10;
}

// Reads the run of ASCII digits starting at text[i] into `value` and returns the index just
// past it. `fits` is false when the run does not fit in 64 bits (`value` is then junk).
inline size_t read_digit_run(std::string_view text, size_t i, size_t& value, bool& fits) {
    const size_t start = i;
    size_t v = 0;
    while (i < text.size() && is_decimal_digit(text[i])) {
        v = v * 10 + static_cast<size_t>(text[i] - '0');
        ++i;
    }
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
