#include "compiler/pending_columns.h"

#include "compiler/anchor_schedule.h"
#include "compiler/pending.h"
#include "errors.h"

namespace kelvo {
namespace {

template <class Visit>
void for_each_set_bit(const std::vector<uint64_t>& words, Visit visit) {
    for (size_t w = 0; w < words.size(); ++w) {
        for (uint64_t bits = words[w]; bits != 0; bits &= bits - 1)
            visit(64 * w + static_cast<uint64_t>(std::countr_zero(bits)));
    }
}

}  // namespace

void PendingColumns::add(uint64_t j, const PauliString& p) {
    KELVO_ASSERT_EQ(p.num_qubits, n_, "Pauli strings act on different numbers of qubits");
    const uint64_t base = (j / 64) * n_;
    const uint64_t bit = uint64_t{1} << (j % 64);
    for_each_set_bit(p.x, [&](uint64_t q) { x_[base + q] |= bit; });
    for_each_set_bit(p.z, [&](uint64_t q) { z_[base + q] |= bit; });
    set_bit(live_, j / 64, true);
}

void PendingColumns::update(uint64_t j, const PauliString& before, const PauliString& after) {
    uint64_t* const xc = x_.data() + (j / 64) * n_;
    uint64_t* const zc = z_.data() + (j / 64) * n_;
    const uint64_t bit = uint64_t{1} << (j % 64);
    for (size_t w = 0; w < before.x.size(); ++w) {
        for (uint64_t d = before.x[w] ^ after.x[w]; d != 0; d &= d - 1)
            xc[64 * w + static_cast<uint64_t>(std::countr_zero(d))] ^= bit;
        for (uint64_t d = before.z[w] ^ after.z[w]; d != 0; d &= d - 1)
            zc[64 * w + static_cast<uint64_t>(std::countr_zero(d))] ^= bit;
    }
}

void build_pending_columns(PendingFactoredState& state) {
    PendingColumns& c = state.columns;
    if (c.built_) return;
    build_anchor_schedule(state);
    c.n_ = state.num_qubits;
    const uint64_t blocks = word_count(state.pending.size());
    c.x_.assign(blocks * c.n_, 0);
    c.z_.assign(blocks * c.n_, 0);
    c.live_.assign(word_count(blocks), 0);
    for (uint64_t j = 0; j < state.pending.size(); ++j) {
        const PauliString* p = pauli_of(state.pending[j]);
        if (p != nullptr && !state.anchor_schedule.waiting(j)) c.add(j, *p);
    }
    c.built_ = true;
}

}  // namespace kelvo
