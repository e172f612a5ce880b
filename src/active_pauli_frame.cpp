#include "active_pauli_frame.h"

#include <algorithm>
#include <bit>
#include <limits>
#include <new>
#include <utility>

#include "bits.h"
#include "errors.h"

namespace kelvo {
namespace {

// Grows capacity geometrically so that appends stay amortised, and before anything changes.
template <typename T>
void reserve_for(std::vector<T>& v, uint64_t size) {
    if (size > v.max_size()) throw std::bad_alloc();
    if (size > v.capacity()) v.reserve(std::max<uint64_t>(size, 2 * v.capacity()));
}

}  // namespace

void ActivePauliFrame::check_pauli(const PauliString& p) const {
    constexpr const char* kMismatch = "Pauli string dimension does not match active Pauli frame";
    KELVO_ASSERT_EQ(p.num_qubits, n_, kMismatch);
    KELVO_ASSERT(p.words_are_consistent(), kMismatch);
}

ConditionalPauliString ActivePauliFrame::add_pauli(const PauliString& p, int32_t condition,
                                                   SymbolicContext& context) {
    // Every check and every allocation comes first, so a failure leaves the frame as it was.
    check_pauli(p);
    KELVO_ASSERT(condition >= 1, "condition id must be positive");
    const uint64_t e = entries_.size();
    PauliString body = e < kBodyLimit ? p : PauliString();
    reserve_for(entries_, e + 1);
    const uint64_t block = e / 64;
    if (e % 64 == 0) {
        if (n_ != 0 && block + 1 > std::numeric_limits<uint64_t>::max() / n_)
            throw std::bad_alloc();
        reserve_for(x_columns_, (block + 1) * n_);
        reserve_for(z_columns_, (block + 1) * n_);
        x_columns_.resize((block + 1) * n_, 0);
        z_columns_.resize((block + 1) * n_, 0);
    }

    const uint64_t bit = uint64_t{1} << (e % 64);
    uint64_t* const xs = x_columns_.data() + block * n_;
    uint64_t* const zs = z_columns_.data() + block * n_;
    for (uint64_t w = 0; w < p.x.size(); ++w) {
        for (uint64_t bits = p.x[w]; bits != 0; bits &= bits - 1) {
            xs[64 * w + static_cast<uint64_t>(std::countr_zero(bits))] |= bit;
        }
        for (uint64_t bits = p.z[w]; bits != 0; bits &= bits - 1) {
            zs[64 * w + static_cast<uint64_t>(std::countr_zero(bits))] |= bit;
        }
    }

    if (e == kBodyLimit) {
        for (ConditionalPauliString& entry : entries_)
            entry.pauli = PauliString();
    }
    entries_.push_back({std::move(body), condition});
    context.raise_next_condition_id_past(condition);
    return {p, condition};
}

SymbolicPauliString ActivePauliFrame::conjugate_by(const PauliString& p) const {
    check_pauli(p);
    std::vector<uint64_t> x_qubits, z_qubits;
    for (uint64_t w = 0; w < p.x.size(); ++w) {
        for (uint64_t bits = p.x[w]; bits != 0; bits &= bits - 1) {
            x_qubits.push_back(64 * w + static_cast<uint64_t>(std::countr_zero(bits)));
        }
        for (uint64_t bits = p.z[w]; bits != 0; bits &= bits - 1) {
            z_qubits.push_back(64 * w + static_cast<uint64_t>(std::countr_zero(bits)));
        }
    }
    std::vector<int32_t> conditions;
    const uint64_t blocks = word_count(entries_.size());
    for (uint64_t b = 0; b < blocks; ++b) {
        // Bit j: the symplectic product of record 64b + j with p.
        const uint64_t* const xs = x_columns_.data() + b * n_;
        const uint64_t* const zs = z_columns_.data() + b * n_;
        uint64_t acc = 0;
        for (const uint64_t q : x_qubits)
            acc ^= zs[q];
        for (const uint64_t q : z_qubits)
            acc ^= xs[q];
        for (; acc != 0; acc &= acc - 1) {
            const uint64_t e = 64 * b + static_cast<uint64_t>(std::countr_zero(acc));
            if (e < entries_.size()) conditions.push_back(entries_[e].condition);
        }
    }
    return {p, SymbolicBool{normalize_xor_conditions(std::move(conditions)), false}};
}

}  // namespace kelvo
