// Per-shot output rows from the batch's column-major bit planes, 64 shots by 64 columns at a
// time through bit-matrix transposes.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace kelvo {

// Bytes of one output row of `columns` columns: one byte per column, or ceil(columns / 8)
// bytes packed.
inline uint64_t row_bytes(uint64_t columns, bool packed) {
    return packed ? columns / 8 + (columns % 8 != 0) : columns;
}

// Writes one row per shot s < live over the first live * row_bytes(columns, packed) bytes of
// `rows` (whatever they held): column j is bit s of plane j (planes of `words_per_row` words
// each), inverted where inversion[j] is nonzero; one byte per column, or packed little-endian
// into ceil(columns / 8) bytes with the unused high bits 0.
void write_bit_rows(std::span<uint8_t> rows, std::span<const uint64_t> planes,
                    std::span<const uint8_t> inversion, uint64_t columns, uint64_t words_per_row,
                    uint64_t live, bool packed);

// Transposes a 64 x 64 bit matrix in place: bit c of word r trades places with bit r of word c.
void transpose_bits_64x64(std::span<uint64_t, 64> block);

}  // namespace kelvo
