#include "sampler/rows.h"

#include <gtest/gtest.h>

#include <random>

#include "bits.h"
#include "errors.h"

namespace kelvo {
namespace {

TEST(RowsTest, TransposeTradesRowAndColumn) {
    std::mt19937_64 rng(2);
    std::array<uint64_t, 64> block, before;
    for (uint64_t& w : block)
        w = rng();
    before = block;
    transpose_bits_64x64(block);
    for (uint64_t r = 0; r < 64; ++r)
        for (uint64_t c = 0; c < 64; ++c)
            ASSERT_EQ((block[r] >> c) & 1, (before[c] >> r) & 1) << r << " " << c;
}

// Rows against a bit-by-bit reading of the planes, written over junk between untouched bytes.
TEST(RowsTest, RowsHoldEachShotsColumnsInEitherFormat) {
    std::mt19937_64 rng(4);
    for (const uint64_t columns : {1, 7, 8, 9, 64, 65, 130}) {
        for (const uint64_t live : {1, 63, 64, 100, 200}) {
            const uint64_t per_row = word_count(live) + 1;
            std::vector<uint64_t> planes(columns * per_row);
            for (uint64_t& w : planes)
                w = rng() & (rng() % 4 == 0 ? 0 : ~uint64_t{0});  // some all-zero blocks
            std::vector<uint8_t> inversion(columns / 2);
            for (uint8_t& x : inversion)
                x = rng() % 3 == 0 ? static_cast<uint8_t>(1 + rng() % 200) : 0;
            for (const bool packed : {false, true}) {
                const uint64_t bytes = packed ? (columns + 7) / 8 : columns;
                std::vector<uint8_t> buffer(3 + live * bytes, 0xA5);
                buffer[0] = 7, buffer[1] = 9;
                write_bit_rows(std::span(buffer).subspan(2, live * bytes), planes, inversion,
                               columns, per_row, live, packed);
                EXPECT_EQ(buffer[0], 7);
                EXPECT_EQ(buffer[1], 9);
                EXPECT_EQ(buffer.back(), 0xA5);
                for (uint64_t s = 0; s < live; ++s) {
                    std::vector<uint8_t> want(bytes);
                    for (uint64_t j = 0; j < columns; ++j) {
                        const bool bit = get_bit(planes, j * per_row * 64 + s) !=
                                         (j < inversion.size() && inversion[j] != 0);
                        if (packed)
                            want[j / 8] |= static_cast<uint8_t>(bit << (j % 8));
                        else
                            want[j] = bit;
                    }
                    ASSERT_EQ(std::vector<uint8_t>(buffer.begin() + 2 + s * bytes,
                                                   buffer.begin() + 2 + (s + 1) * bytes),
                              want)
                        << columns << " " << live << " " << s;
                }
            }
        }
    }
    // A buffer shorter than the rows is refused, not written past.
    std::vector<uint64_t> planes(1, 1);
    std::vector<uint8_t> short_buffer(1);
    EXPECT_THROW(write_bit_rows(short_buffer, planes, {}, 1, 1, 2, false), FatalError);
}

}  // namespace
}  // namespace kelvo
