#include "active_pauli_frame.h"

#include <algorithm>
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

}  // namespace

void ActivePauliFrame::check_pauli(const PauliString& p) const {
    constexpr const char* kMismatch = "Pauli string dimension does not match active Pauli frame";
    KELVO_ASSERT_EQ(p.num_qubits, n_, kMismatch);
    KELVO_ASSERT(p.words_are_consistent(), kMismatch);
}

ActivePauliFrame::ActivePauliFrame(uint64_t num_qubits)
    // About 32K words per table and chunk: long contiguous columns for few qubits, one block
    // per chunk for very many.
    : chunk_blocks_(std::clamp<uint64_t>(num_qubits == 0 ? 64 : 32768 / num_qubits, 1, 64)),
      n_(num_qubits) {}

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
    const uint64_t block = e / 64;
    if (block % chunk_blocks_ == 0 && e % 64 == 0) {
        if (n_ > std::numeric_limits<uint64_t>::max() / chunk_blocks_) throw std::bad_alloc();
        reserve_for(chunks_, chunks_.size() + 1);
        // Both zero-filled tables of the chunk must fit together.
        require_memory(n_ * chunk_blocks_, 2 * sizeof(uint64_t));
        Chunk chunk{std::vector<uint64_t>(n_ * chunk_blocks_, 0),
                    std::vector<uint64_t>(n_ * chunk_blocks_, 0)};
        chunks_.push_back(std::move(chunk));
    }
    Chunk& chunk = chunks_.back();
    const uint64_t offset = block % chunk_blocks_;
    const uint64_t bit = uint64_t{1} << (e % 64);
    for (uint64_t w = 0; w < p.x.size(); ++w) {
        for (uint64_t bits = p.x[w]; bits != 0; bits &= bits - 1) {
            const uint64_t q = 64 * w + static_cast<uint64_t>(std::countr_zero(bits));
            chunk.x[q * chunk_blocks_ + offset] |= bit;
        }
        for (uint64_t bits = p.z[w]; bits != 0; bits &= bits - 1) {
            const uint64_t q = 64 * w + static_cast<uint64_t>(std::countr_zero(bits));
            chunk.z[q * chunk_blocks_ + offset] |= bit;
        }
    }

    conditions_.push_back(condition);
    phases_.push_back(p.phase);
    context.raise_next_condition_id_past(condition);
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
            const Chunk& chunk = chunks_[e / 64 / chunk_blocks_];
            const uint64_t offset = e / 64 % chunk_blocks_;
            for (uint64_t q = 0; q < n_; ++q) {
                const uint64_t word = q * chunk_blocks_ + offset;
                body.x[q / 64] |= ((chunk.x[word] >> (e % 64)) & 1) << (q % 64);
                body.z[q / 64] |= ((chunk.z[word] >> (e % 64)) & 1) << (q % 64);
            }
        }
        out.push_back({std::move(body), conditions_[e]});
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
    const uint64_t blocks = word_count(conditions_.size());
    const uint64_t first_block = first_record / 64;
    // Bit j of acc[i]: the symplectic product of p with record 64 i + j of the chunk.
    uint64_t acc[64];
    for (uint64_t c = first_block / chunk_blocks_; c < chunks_.size(); ++c) {
        const uint64_t first = c * chunk_blocks_;
        const uint64_t begin = std::max(first, first_block) - first;
        const uint64_t size = std::min(chunk_blocks_, blocks - first);
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
        if (first + begin == first_block) acc[begin] &= ~uint64_t{0} << (first_record % 64);
        uint64_t found = 0;
        for (uint64_t i = begin; i < size; ++i)
            found += static_cast<uint64_t>(std::popcount(acc[i]));
        conditions.reserve(conditions.size() + found);
        for (uint64_t i = begin; i < size; ++i) {
            for (uint64_t bits = acc[i]; bits != 0; bits &= bits - 1) {
                const uint64_t e = 64 * (first + i) + static_cast<uint64_t>(std::countr_zero(bits));
                conditions.push_back(conditions_[e]);
            }
        }
    }
    return SymbolicBool{normalize_xor_conditions(std::move(conditions)), false};
}

}  // namespace kelvo
