#include "sampler/rows.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#include "bits.h"
#include "errors.h"
#include "memory.h"
#include "sampler/batch/executor.h"

namespace kelvo {
namespace {

// Eight bytes, 0 or 1, one per bit of the index, least significant bit first.
constexpr std::array<std::array<uint8_t, 8>, 256> kBitBytes = [] {
    std::array<std::array<uint8_t, 8>, 256> table{};
    for (uint64_t v = 0; v < 256; ++v)
        for (uint64_t b = 0; b < 8; ++b)
            table[v][b] = static_cast<uint8_t>((v >> b) & 1);
    return table;
}();

// Below this many ones a 64 x 64 block costs less bit by bit than transposed.
constexpr uint64_t kSparseBlock = 128;

}  // namespace

void transpose_bits_64x64(std::span<uint64_t, 64> block) {
    // Swap the off-diagonal halves of every 2j x 2j sub-block, for j = 32, 16, ..., 1.
    uint64_t mask = 0x00000000FFFFFFFFull;
    for (uint64_t j = 32; j != 0; j >>= 1, mask ^= mask << j) {
        for (uint64_t k = 0; k < 64; k = (k + j + 1) & ~j) {
            const uint64_t t = ((block[k] >> j) ^ block[k + j]) & mask;
            block[k] ^= t << j;
            block[k + j] ^= t;
        }
    }
}

void write_bit_rows(std::span<uint8_t> out, std::span<const uint64_t> planes,
                    std::span<const uint8_t> inversion, uint64_t columns, uint64_t words_per_row,
                    uint64_t live, bool packed) {
    const uint64_t bytes = row_bytes(columns, packed);
    if (bytes == 0 || live == 0) return;
    const uint64_t words = word_count(live);
    KELVO_ASSERT(words <= words_per_row && saturating_mul(columns, words_per_row) <= planes.size(),
                 "bit plane index out of range");
    KELVO_ASSERT(saturating_mul(live, bytes) <= out.size(), "row buffer size out of range");
    uint8_t* const rows = out.data();
    std::memset(rows, 0, live * bytes);  // only ones are written
    std::array<uint64_t, 64> block;
    for (uint64_t first = 0; first < columns; first += 64) {
        const uint64_t width = std::min<uint64_t>(64, columns - first);
        for (uint64_t w = 0; w < words; ++w) {
            const uint64_t live_mask = live_word_mask(w, live);
            uint64_t ones = 0;
            for (uint64_t c = 0; c < 64; ++c) {
                uint64_t value = 0;
                if (c < width) {
                    const uint64_t j = first + c;
                    value = planes[j * words_per_row + w];
                    if (j < inversion.size() && inversion[j] != 0) value = ~value;
                    value &= live_mask;
                }
                block[c] = value;
                ones += static_cast<uint64_t>(std::popcount(value));
            }
            uint8_t* const shot_rows = rows + 64 * w * bytes;
            if (ones <= kSparseBlock) {
                // Few ones (detection events): set them one by one.
                for (uint64_t c = 0; c < width; ++c) {
                    const uint64_t j = first + c;
                    const uint64_t byte = packed ? j / 8 : j;
                    const uint8_t bit = packed ? static_cast<uint8_t>(1u << (j % 8)) : 1;
                    for (uint64_t v = block[c]; v != 0; v &= v - 1)
                        shot_rows[static_cast<uint64_t>(std::countr_zero(v)) * bytes + byte] |= bit;
                }
                continue;
            }
            transpose_bits_64x64(block);
            const uint64_t shots = std::min<uint64_t>(64, live - 64 * w);
            for (uint64_t s = 0; s < shots; ++s) {
                const uint64_t row = block[s];
                if (row == 0) continue;
                uint8_t* out = shot_rows + s * bytes;
                if (packed) {
                    for (uint64_t b = 0; 8 * b < width; ++b)
                        out[first / 8 + b] = static_cast<uint8_t>(row >> (8 * b));
                } else {
                    uint64_t c = 0;
                    for (; c + 8 <= width; c += 8)
                        std::memcpy(out + first + c, kBitBytes[(row >> c) & 0xFF].data(), 8);
                    for (; c < width; ++c)
                        out[first + c] = static_cast<uint8_t>((row >> c) & 1);
                }
            }
        }
    }
}

}  // namespace kelvo
