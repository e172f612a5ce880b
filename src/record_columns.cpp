#include "record_columns.h"

#include <algorithm>
#include <array>
#include <bit>
#include <limits>
#include <new>

#include "bits.h"
#include "memory.h"

namespace kelvo {
namespace {

// Calls f(qubit) for every set bit of `words`, in order.
template <typename F>
void for_each_bit(std::span<const uint64_t> words, F&& f) {
    for (uint64_t w = 0; w < words.size(); ++w)
        for (uint64_t bits = words[w]; bits != 0; bits &= bits - 1)
            f(64 * w + static_cast<uint64_t>(std::countr_zero(bits)));
}

// Appends conditions[base + i] for every set bit i of `word`.
void append_bits(uint64_t word, const int32_t* base, std::vector<int32_t>& out) {
    for (; word != 0; word &= word - 1)
        out.push_back(base[std::countr_zero(word)]);
}

// ORs the bits of `word` (records 64 block ..) into qubit q's X or Z bit of their bodies.
void scatter_word(uint64_t word, uint64_t block, uint64_t q, bool x,
                  std::span<PauliString> bodies) {
    for (; word != 0; word &= word - 1) {
        PauliString& body = bodies[64 * block + static_cast<uint64_t>(std::countr_zero(word))];
        (x ? body.x : body.z)[q / 64] |= uint64_t{1} << (q % 64);
    }
}

// The first of the blocks (ascending by index) whose index is at least `first`, or their end.
// Queries mostly start at a recent record, so the search gallops back from the end.
const SparseRecordColumns::Block* first_block_at(
    const std::vector<SparseRecordColumns::Block>& blocks, uint64_t first) {
    const SparseRecordColumns::Block* const begin = blocks.data();
    // Every block from `high` on has an index of at least `first`.
    uint64_t high = blocks.size();
    uint64_t step = 1;
    while (step <= high && begin[high - step].index >= first) {
        high -= step;
        step *= 2;
    }
    const uint64_t low = step <= high ? high - step + 1 : 0;
    return std::partition_point(
        begin + low, begin + high,
        [&](const SparseRecordColumns::Block& b) { return b.index < first; });
}

}  // namespace

// About 32K words per table and chunk: long contiguous columns for few qubits, one block per
// chunk for very many.
DenseRecordColumns::DenseRecordColumns(uint64_t num_qubits)
    : chunk_blocks_(std::clamp<uint64_t>(num_qubits == 0 ? 64 : 32768 / num_qubits, 1, 64)),
      n_(num_qubits) {}

void DenseRecordColumns::prepare(uint64_t e) {
    if (e / 64 % chunk_blocks_ != 0 || e % 64 != 0) return;
    if (n_ > std::numeric_limits<uint64_t>::max() / chunk_blocks_) throw std::bad_alloc();
    reserve_for(chunks_, chunks_.size() + 1);
    // Both zero-filled tables of the chunk must fit together.
    require_memory(n_ * chunk_blocks_, 2 * sizeof(uint64_t), "the error frame's record columns");
    chunks_.push_back({std::vector<uint64_t>(n_ * chunk_blocks_, 0),
                       std::vector<uint64_t>(n_ * chunk_blocks_, 0)});
}

void DenseRecordColumns::add(const PauliString& p, uint64_t e) {
    Chunk& chunk = chunks_.back();
    const uint64_t offset = e / 64 % chunk_blocks_;
    const uint64_t bit = uint64_t{1} << (e % 64);
    for_each_bit(p.x, [&](uint64_t q) { chunk.x[q * chunk_blocks_ + offset] |= bit; });
    for_each_bit(p.z, [&](uint64_t q) { chunk.z[q * chunk_blocks_ + offset] |= bit; });
}

void DenseRecordColumns::append_anticommuting(const PauliString& p, uint64_t first,
                                              std::span<const int32_t> conditions,
                                              std::vector<int32_t>& out) const {
    const uint64_t blocks = word_count(conditions.size());
    const uint64_t first_block = first / 64;
    // Bit j of acc[i]: the symplectic product of p with record 64 i + j of the chunk.
    uint64_t acc[64];
    for (uint64_t c = first_block / chunk_blocks_; c < chunks_.size(); ++c) {
        const uint64_t start = c * chunk_blocks_;
        const uint64_t begin = std::max(start, first_block) - start;
        const uint64_t size = std::min(chunk_blocks_, blocks - start);
        if (begin >= size) break;
        std::fill(acc + begin, acc + size, 0);
        // p's X qubits read the Z tables and its Z qubits the X tables; the qubits are found
        // again for each chunk, which costs less than listing them on the heap.
        const auto stream = [&](const std::vector<uint64_t>& pauli_bits,
                                const std::vector<uint64_t>& table) {
            for (uint64_t w = 0; w < pauli_bits.size(); ++w) {
                for (uint64_t bits = pauli_bits[w]; bits != 0; bits &= bits - 1) {
                    const uint64_t q = 64 * w + static_cast<uint64_t>(std::countr_zero(bits));
                    const uint64_t* const in = table.data() + q * chunk_blocks_;
                    for (uint64_t i = begin; i < size; ++i)
                        acc[i] ^= in[i];
                }
            }
        };
        stream(p.x, chunks_[c].z);
        stream(p.z, chunks_[c].x);
        if (start + begin == first_block) acc[begin] &= ~uint64_t{0} << (first % 64);
        uint64_t found = 0;
        for (uint64_t i = begin; i < size; ++i)
            found += static_cast<uint64_t>(std::popcount(acc[i]));
        out.reserve(out.size() + found);
        for (uint64_t i = begin; i < size; ++i)
            append_bits(acc[i], conditions.data() + 64 * (start + i), out);
    }
}

void DenseRecordColumns::scatter(std::span<PauliString> bodies) const {
    for (uint64_t c = 0; c < chunks_.size(); ++c) {
        for (uint64_t q = 0; q < n_; ++q) {
            for (uint64_t i = 0; i < chunk_blocks_; ++i) {
                const uint64_t word = q * chunk_blocks_ + i;
                scatter_word(chunks_[c].x[word], c * chunk_blocks_ + i, q, true, bodies);
                scatter_word(chunks_[c].z[word], c * chunk_blocks_ + i, q, false, bodies);
            }
        }
    }
}

// The columns are made with the first record: a frame that records nothing costs nothing.
SparseRecordColumns::SparseRecordColumns(uint64_t num_qubits) : n_(num_qubits) {}

void SparseRecordColumns::prepare(uint64_t e) {
    if (e == 0) {
        require_memory(n_, sizeof(std::vector<Block>) + 2 * sizeof(uint64_t),
                       "the error frame's record columns");
        columns_.resize(n_);
        open_x_.assign(n_, 0);
        open_z_.assign(n_, 0);
        open_qubits_.assign(word_count(n_), 0);
    } else if (e % 64 == 0) {
        close_open_block(e / 64 - 1);
    }
}

void SparseRecordColumns::close_open_block(uint64_t index) {
    for_each_bit(open_qubits_,
                 [&](uint64_t q) { reserve_for(columns_[q], columns_[q].size() + 1); });
    for_each_bit(open_qubits_, [&](uint64_t q) {
        columns_[q].push_back({index, open_x_[q], open_z_[q]});
        open_x_[q] = 0;
        open_z_[q] = 0;
    });
    std::ranges::fill(open_qubits_, 0);
}

void SparseRecordColumns::add(const PauliString& p, uint64_t e) {
    const uint64_t shift = e % 64;
    for (uint64_t w = 0; w < p.x.size(); ++w) {
        const uint64_t support = p.x[w] | p.z[w];
        open_qubits_[w] |= support;
        for (uint64_t bits = support; bits != 0; bits &= bits - 1) {
            const auto b = static_cast<uint64_t>(std::countr_zero(bits));
            open_x_[64 * w + b] |= ((p.x[w] >> b) & 1) << shift;
            open_z_[64 * w + b] |= ((p.z[w] >> b) & 1) << shift;
        }
    }
}

void SparseRecordColumns::append_anticommuting(const PauliString& p, uint64_t first,
                                               std::span<const int32_t> conditions,
                                               std::vector<int32_t>& out) const {
    const uint64_t first_block = first / 64;
    // The open block is merged here, the closed ones by the cursors.
    const uint64_t open = (conditions.size() - 1) / 64;
    uint64_t open_word = 0;
    std::array<Cursor, kMergeWidth> group;
    uint64_t size = 0;
    for (uint64_t w = 0; w < p.x.size(); ++w) {
        for (uint64_t bits = p.x[w] | p.z[w]; bits != 0; bits &= bits - 1) {
            const auto b = static_cast<uint64_t>(std::countr_zero(bits));
            const uint64_t q = 64 * w + b;
            const uint64_t x_mask = 0 - ((p.x[w] >> b) & 1);
            const uint64_t z_mask = 0 - ((p.z[w] >> b) & 1);
            open_word ^= (x_mask & open_z_[q]) ^ (z_mask & open_x_[q]);
            const std::vector<Block>& column = columns_[q];
            const Block* const end = column.data() + column.size();
            const Block* const next = first_block_at(column, first_block);
            if (next == end) continue;
            group[size++] = {next, end, x_mask, z_mask};
            if (size == kMergeWidth) {
                merge_cursors({group.data(), size}, first, conditions, out);
                size = 0;
            }
        }
    }
    merge_cursors({group.data(), size}, first, conditions, out);
    if (open == first_block) open_word &= ~uint64_t{0} << (first % 64);
    append_bits(open_word, conditions.data() + 64 * open, out);
}

void SparseRecordColumns::merge_cursors(std::span<Cursor> cursors, uint64_t first,
                                        std::span<const int32_t> conditions,
                                        std::vector<int32_t>& out) {
    // The blocks are merged in windows of 64 from the smallest block any cursor has left, so
    // that a record met on several of the query's qubits is counted once, and a stretch
    // without records on them costs nothing. acc[i] holds block start + i of the window once
    // `touched` marks it; unmarked words are never read.
    std::array<uint64_t, 64> acc;
    const uint64_t first_block = first / 64;
    for (;;) {
        uint64_t start = std::numeric_limits<uint64_t>::max();
        for (const Cursor& c : cursors)
            if (c.next != c.end) start = std::min(start, c.next->index);
        if (start == std::numeric_limits<uint64_t>::max()) return;
        uint64_t touched = 0;
        for (Cursor& c : cursors) {
            for (; c.next != c.end && c.next->index - start < 64; ++c.next) {
                const uint64_t i = c.next->index - start;
                const uint64_t word = (c.z_mask & c.next->z) ^ (c.x_mask & c.next->x);
                acc[i] = (touched >> i & 1) != 0 ? acc[i] ^ word : word;
                touched |= uint64_t{1} << i;
            }
        }
        if (start == first_block) acc[0] &= ~uint64_t{0} << (first % 64);
        uint64_t found = 0;
        for (uint64_t t = touched; t != 0; t &= t - 1)
            found += static_cast<uint64_t>(std::popcount(acc[std::countr_zero(t)]));
        const uint64_t at = out.size();
        if (at + found > out.capacity()) out.reserve(std::max(at + found, 2 * out.capacity()));
        out.resize(at + found);
        int32_t* next = out.data() + at;
        for (; touched != 0; touched &= touched - 1) {
            const auto i = static_cast<uint64_t>(std::countr_zero(touched));
            const int32_t* const block = conditions.data() + 64 * (start + i);
            for (uint64_t bits = acc[i]; bits != 0; bits &= bits - 1)
                *next++ = block[std::countr_zero(bits)];
        }
    }
}

void SparseRecordColumns::scatter(std::span<PauliString> bodies) const {
    if (bodies.empty()) return;
    const uint64_t open = (bodies.size() - 1) / 64;
    for (uint64_t q = 0; q < columns_.size(); ++q) {
        for (const Block& b : columns_[q]) {
            scatter_word(b.x, b.index, q, true, bodies);
            scatter_word(b.z, b.index, q, false, bodies);
        }
        scatter_word(open_x_[q], open, q, true, bodies);
        scatter_word(open_z_[q], open, q, false, bodies);
    }
}

}  // namespace kelvo
