#include "active_pauli_frame.h"

#include <algorithm>
#include <array>
#include <bit>
#include <limits>
#include <new>
#include <utility>

#include "bits.h"
#include "errors.h"
#include "memory.h"

namespace kelvo {
namespace {

// Grows capacity geometrically so that appends stay amortised, and before anything changes.
template <typename T>
void reserve_for(std::vector<T>& v, uint64_t size) {
    if (size > v.max_size()) throw std::bad_alloc();
    if (size <= v.capacity()) return;
    const uint64_t capacity = std::max<uint64_t>(size, 2 * v.capacity());
    require_memory(capacity, sizeof(T));
    v.reserve(capacity);
}

// Calls f(qubit, x bit, z bit) for every qubit on which p is not the identity, in order, over
// p's words `first_word` .. `end_word` - 1.
template <typename F>
void for_each_support_qubit(const PauliString& p, uint64_t first_word, uint64_t end_word, F&& f) {
    for (uint64_t w = first_word; w < end_word; ++w) {
        for (uint64_t bits = p.x[w] | p.z[w]; bits != 0; bits &= bits - 1) {
            const auto b = static_cast<uint64_t>(std::countr_zero(bits));
            f(64 * w + b, (p.x[w] >> b) & 1, (p.z[w] >> b) & 1);
        }
    }
}

// The first of the blocks (ascending by index) whose index is at least `first`, or their end.
// Queries mostly start at a recent record, so the search gallops back from the end.
template <typename Block>
const Block* first_block_at(const std::vector<Block>& blocks, uint64_t first) {
    const Block* const begin = blocks.data();
    // Every block from `high` on has an index of at least `first`.
    uint64_t high = blocks.size();
    uint64_t step = 1;
    while (step <= high && begin[high - step].index >= first) {
        high -= step;
        step *= 2;
    }
    const uint64_t low = step <= high ? high - step + 1 : 0;
    return std::partition_point(begin + low, begin + high,
                                [&](const Block& b) { return b.index < first; });
}

}  // namespace

void ActivePauliFrame::check_pauli(const PauliString& p) const {
    constexpr const char* kMismatch = "Pauli string dimension does not match active Pauli frame";
    KELVO_ASSERT_EQ(p.num_qubits, n_, kMismatch);
    KELVO_ASSERT(p.words_are_consistent(), kMismatch);
}

// The columns are made with the first record: a frame that records nothing costs nothing.
ActivePauliFrame::ActivePauliFrame(uint64_t num_qubits) : n_(num_qubits) {}

ConditionalPauliString ActivePauliFrame::add_pauli(const PauliString& p, int32_t condition,
                                                   SymbolicContext& context) {
    record_pauli(p, condition, context);
    return {p, condition};
}

void ActivePauliFrame::record_pauli(const PauliString& p, int32_t condition,
                                    SymbolicContext& context) {
    // Every check and every allocation comes first, so a failure leaves the frame as it was.
    check_pauli(p);
    KELVO_ASSERT(condition >= 1, "condition id must be positive");
    const uint64_t e = conditions_.size();
    reserve_for(conditions_, e + 1);
    reserve_for(phases_, e + 1);
    if (columns_.size() != n_) {
        require_memory(n_, sizeof(std::vector<Block>) + 2 * sizeof(uint64_t));
        columns_.resize(n_);
        open_x_.assign(n_, 0);
        open_z_.assign(n_, 0);
        open_qubits_.assign(word_count(n_), 0);
    }
    if (e % 64 == 0 && e > 0) close_open_block();

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
    conditions_.push_back(condition);
    phases_.push_back(p.phase);
    context.raise_next_condition_id_past(condition);
}

void ActivePauliFrame::close_open_block() {
    const uint64_t index = (conditions_.size() - 1) / 64;
    const auto for_each_open_qubit = [&](auto&& f) {
        for (uint64_t w = 0; w < open_qubits_.size(); ++w)
            for (uint64_t bits = open_qubits_[w]; bits != 0; bits &= bits - 1)
                f(64 * w + static_cast<uint64_t>(std::countr_zero(bits)));
    };
    for_each_open_qubit([&](uint64_t q) { reserve_for(columns_[q], columns_[q].size() + 1); });
    for_each_open_qubit([&](uint64_t q) {
        columns_[q].push_back({index, open_x_[q], open_z_[q]});
        open_x_[q] = 0;
        open_z_[q] = 0;
    });
    std::ranges::fill(open_qubits_, 0);
}

std::vector<ConditionalPauliString> ActivePauliFrame::entries() const {
    const uint64_t count = conditions_.size();
    const bool bodies = count <= kBodyLimit;
    std::vector<ConditionalPauliString> out;
    out.reserve(count);
    for (uint64_t e = 0; e < count; ++e) {
        PauliString body;
        if (bodies) {
            body = PauliString(n_);
            body.phase = phases_[e];
        }
        out.push_back({std::move(body), conditions_[e]});
    }
    if (!bodies || count == 0) return out;
    const auto scatter = [&](uint64_t q, const Block& b) {
        const uint64_t bit = uint64_t{1} << (q % 64);
        for (uint64_t bits = b.x; bits != 0; bits &= bits - 1)
            out[64 * b.index + static_cast<uint64_t>(std::countr_zero(bits))].pauli.x[q / 64] |=
                bit;
        for (uint64_t bits = b.z; bits != 0; bits &= bits - 1)
            out[64 * b.index + static_cast<uint64_t>(std::countr_zero(bits))].pauli.z[q / 64] |=
                bit;
    };
    for (uint64_t q = 0; q < n_; ++q) {
        for (const Block& b : columns_[q])
            scatter(q, b);
        scatter(q, {(count - 1) / 64, open_x_[q], open_z_[q]});
    }
    return out;
}

SymbolicPauliString ActivePauliFrame::conjugate_by(const PauliString& p) const {
    return {p, anticommutation_sign(p)};
}

SymbolicBool ActivePauliFrame::anticommutation_sign(const PauliString& p,
                                                    uint64_t first_record) const {
    check_pauli(p);
    std::vector<int32_t> conditions;
    if (first_record >= conditions_.size()) return SymbolicBool{};
    const uint64_t first_block = first_record / 64;
    std::array<Cursor, kMergeWidth> group;
    uint64_t size = 0;
    // The open block is merged here, the closed ones by the cursors.
    const uint64_t open = (conditions_.size() - 1) / 64;
    uint64_t open_word = 0;
    for_each_support_qubit(p, 0, p.x.size(), [&](uint64_t q, uint64_t x, uint64_t z) {
        open_word ^= ((0 - x) & open_z_[q]) ^ ((0 - z) & open_x_[q]);
        const std::vector<Block>& column = columns_[q];
        const Block* const end = column.data() + column.size();
        const Block* const next = first_block_at(column, first_block);
        if (next == end) return;
        group[size++] = {next, end, 0 - x, 0 - z};
        if (size == kMergeWidth) {
            merge_cursors({group.data(), size}, first_record, conditions);
            size = 0;
        }
    });
    merge_cursors({group.data(), size}, first_record, conditions);
    if (open == first_block) open_word &= ~uint64_t{0} << (first_record % 64);
    for (; open_word != 0; open_word &= open_word - 1)
        conditions.push_back(
            conditions_[64 * open + static_cast<uint64_t>(std::countr_zero(open_word))]);
    return SymbolicBool{normalize_xor_conditions(std::move(conditions)), false};
}

void ActivePauliFrame::merge_cursors(std::span<Cursor> cursors, uint64_t first_record,
                                     std::vector<int32_t>& out) const {
    // The blocks are merged in windows of 64 from the smallest block any cursor has left, so
    // that a record met on several of the query's qubits is counted once, and a stretch
    // without records on them costs nothing. acc[i] holds block start + i of the window once
    // `touched` marks it; unmarked words are never read.
    std::array<uint64_t, 64> acc;
    const uint64_t first_block = first_record / 64;
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
        if (start == first_block) acc[0] &= ~uint64_t{0} << (first_record % 64);
        uint64_t found = 0;
        for (uint64_t t = touched; t != 0; t &= t - 1)
            found += static_cast<uint64_t>(std::popcount(acc[std::countr_zero(t)]));
        const uint64_t at = out.size();
        if (at + found > out.capacity()) out.reserve(std::max(at + found, 2 * out.capacity()));
        out.resize(at + found);
        int32_t* next = out.data() + at;
        for (; touched != 0; touched &= touched - 1) {
            const auto i = static_cast<uint64_t>(std::countr_zero(touched));
            const int32_t* const block = conditions_.data() + 64 * (start + i);
            for (uint64_t bits = acc[i]; bits != 0; bits &= bits - 1)
                *next++ = block[std::countr_zero(bits)];
        }
    }
}

}  // namespace kelvo
