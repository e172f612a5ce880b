#include "circuit/digits.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace kelvo {
namespace {

// Random runs of every length after a prefix, ended by any byte that is not a digit (the bytes
// next to '0' and '9' included), against checked decimal arithmetic.
TEST(Digits, RunsOfEveryLengthAndTerminator) {
    std::mt19937_64 rng(7);
    for (int trial = 0; trial < 20000; ++trial) {
        const size_t prefix = rng() % 3, length = rng() % 24, suffix = rng() % 12;
        std::string text(prefix, 'x');
        size_t expected = 0;
        bool fits = true;
        for (size_t k = 0; k < length; ++k) {
            const char d = static_cast<char>('0' + rng() % 10);
            text += d;
            fits = fits && !__builtin_mul_overflow(expected, size_t{10}, &expected) &&
                   !__builtin_add_overflow(expected, static_cast<size_t>(d - '0'), &expected);
        }
        for (size_t k = 0; k < suffix; ++k)
            text += static_cast<char>(rng() % 256);
        if (suffix && is_decimal_digit(text[prefix + length])) text[prefix + length] = ' ';
        size_t value = 0;
        bool got_fits = false;
        ASSERT_EQ(read_digit_run(text, prefix, value, got_fits), prefix + length) << text;
        ASSERT_EQ(got_fits, fits) << text;
        if (!fits) continue;
        ASSERT_EQ(value, expected) << text;
    }
    size_t value;
    bool fits;
    EXPECT_EQ(read_digit_run("18446744073709551615 ", 0, value, fits), 20u);
    EXPECT_TRUE(fits && value == SIZE_MAX);
    read_digit_run("18446744073709551616", 0, value, fits);
    EXPECT_FALSE(fits);
}

}  // namespace
}  // namespace kelvo
