// Noise conditions that no measurement outcome influences, drawn for a whole chunk of shots
// before the chunk's batches run: one bit row per condition (bit s = its value in shot s).
// Rare noise in large chunks is kept as a sparse list of the shots where it is true.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace kelvo {

struct FactoredInstructionProgram;

// One sparse draw before grouping: condition index (id - 1) and shot.
struct ExogenousEvent {
    uint32_t condition_index;
    uint64_t shot;
};

struct PackedPresampledExogenous {
    // Bit c - 1 set for every exogenous condition id c.
    std::vector<uint64_t> exogenous_mask;
    // Dense rows: row c - 1 is words (c - 1) * W .. c * W - 1.
    std::vector<uint64_t> values;
    // Bit c - 1 set when this chunk holds condition c in the sparse lists, not in `values`.
    std::vector<uint64_t> sparse_rows;
    // Bit c - 1 set for conditions of rare categorical groups and Bernoulli groups.
    std::vector<uint64_t> gap_sampled_mask;
    // Shots of condition c are sparse_shots[sparse_offsets[c - 1] .. sparse_offsets[c]).
    // 64-bit: a chunk may hold more than 2^32 shots.
    std::vector<uint64_t> sparse_offsets;
    std::vector<uint64_t> sparse_shots;
    std::vector<ExogenousEvent> sparse_events;
    std::vector<uint64_t> sparse_cursor;
    // Scratch of the dense group writer: row indices and a block of row words per row.
    std::vector<uint64_t> toggle_rows;
    std::vector<uint64_t> toggle_block;
    uint64_t shots = 0;
    uint64_t num_symbols = 0;
    uint64_t words_per_row = 0;
    uint64_t random_state = 0;

    // Whether condition index i (id - 1) is read from the sparse lists this chunk.
    bool is_sparse(uint64_t i) const { return (sparse_rows[i / 64] >> (i % 64)) & 1; }
    std::span<const uint64_t> dense_row(uint64_t i) const {
        return std::span<const uint64_t>(values).subspan(i * words_per_row, words_per_row);
    }
    std::span<const uint64_t> sparse_row(uint64_t i) const {
        return std::span<const uint64_t>(sparse_shots)
            .subspan(sparse_offsets[i], sparse_offsets[i + 1] - sparse_offsets[i]);
    }
};

// Sizes the storage for `program` and marks its exogenous conditions. Throws KelvoError
// (InvalidInput) for a condition beyond the program's symbol table.
void prepare_presampled_exogenous_packed(PackedPresampledExogenous& storage,
                                         const FactoredInstructionProgram& program);

// Redraws every exogenous condition for a chunk of `shots` shots from `seed`. The rows depend
// only on the program, the shot count and the seed. Throws KelvoError (InvalidInput) for storage
// of another program or an out-of-range probability (the chunk is then unusable), and
// std::bad_alloc when the rows would not fit in the memory available now.
void resample_prepared_exogenous_packed_in_place(PackedPresampledExogenous& storage,
                                                 const FactoredInstructionProgram& program,
                                                 uint64_t shots, uint64_t seed);

// ORs Bernoulli(p) bits into the first `bit_count` bits of `row`, stopping before word
// `word_limit` (at most the row's length); one draw per set bit plus one. p <= 0 draws nothing;
// p >= 1 or NaN throws KelvoError (InvalidInput).
void or_low_probability_bits_packed(std::span<uint64_t> row, uint64_t word_limit,
                                    uint64_t& random_state, uint64_t bit_count, double p);

namespace detail {

// Gap to the next success of Bernoulli(p) trials from uniform u, 0 < p < 1; saturates at the
// largest u64 (never a real gap within a chunk).
uint64_t geometric_gap(double u, double p);

// The resampling with the byte size above which a chunk's rows go large mode (1 MiB in the
// public form); lowered by tests to run large mode on small chunks.
void resample_exogenous(PackedPresampledExogenous& storage,
                        const FactoredInstructionProgram& program, uint64_t shots, uint64_t seed,
                        uint64_t large_mode_bytes);

}  // namespace detail

}  // namespace kelvo
