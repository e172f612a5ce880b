#include "tableau_simulator/rotation.h"

#include <algorithm>
#include <cmath>
#include <utility>
#include <variant>

#include "errors.h"
#include "memory.h"
#include "tableau_simulator/error.h"
#include "tableau_simulator/simulator.h"

namespace kelvo::tableau_simulator {
namespace {

// Empties the scratch lists when a rewrite ends, by success or by a throw; they keep their
// storage for the next rewrite.
template <LabelKey K>
struct ScratchReset {
    RotationScratch<K>& scratch;
    ~ScratchReset() { scratch.clear(); }
};

// Every term times (c + i t), t = +/- t0 by the term's Z parity. Diagonal rotations keep the rank
// and prune nothing.
template <LabelKey K>
void t_diagonal(Terms<K>& terms, uint64_t rank_cap, const Decomp<K>& d, double c, double s) {
    if (terms.map.size() > rank_cap) throw SimError::rank_cap_exceeded(terms.map.size(), rank_cap);
    const double t0 = s * d.coefficient.re;
    for (auto [key, a] : terms.map) {
        const double t = key.and_parity(d.z) ? -t0 : t0;
        a = Complex{c * a.re - t * a.im, c * a.im + t * a.re};
    }
}

// New amplitude of label j: c a_j + w sigma sg(j) a_(j^flip), with w = i s coefficient and
// sigma sg(j) = sg(j^flip). Lookups read the table as it was; nothing changes until the commit.
template <LabelKey K>
void t_paired(Terms<K>& terms, uint64_t rank_cap, const Decomp<K>& d, double prune_epsilon,
              double c, double s) {
    RotationScratch<K>& scratch = terms.scratch;
    const AmplitudeTable<K>& map = terms.map;
    // At most every label gains its partner.
    require_memory(map.size(), bytes_per_label<K>(d.flip.words().size()),
                   "the rotated amplitude table");
    scratch.staged.clear();
    scratch.new_pairs.clear();
    scratch.staged.reserve(map.size());
    const double eps2 = prune_epsilon * prune_epsilon;
    const Complex w{-s * d.coefficient.im, s * d.coefficient.re};
    const bool sigma_odd = d.flip.and_parity(d.z);
    uint64_t pruned = 0;
    bool renormalise = false;
    double kept_norm = 0;
    K partner = d.flip;
    for (const auto [key, a] : map) {
        partner.assign_xor(key, d.flip);
        const bool key_odd = key.and_parity(d.z);
        Complex v;
        if (const Complex* b = map.find(partner)) {
            const double sign = sigma_odd != key_odd ? -1.0 : 1.0;
            v = c * a + sign * (w * *b);
        } else {
            const Complex n = (key_odd ? -1.0 : 1.0) * (w * a);
            if (norm2(n) > eps2) {
                scratch.new_pairs.emplace_back(partner, n);
                kept_norm += norm2(n);
            } else {
                renormalise = true;
            }
            v = c * a;
        }
        scratch.staged.push_back(v);
        if (norm2(v) <= eps2) {
            ++pruned;
            renormalise = true;
        } else {
            kept_norm += norm2(v);
        }
    }
    commit_pair_rewrite(terms, rank_cap, pruned, renormalise, prune_epsilon, kept_norm);
}

}  // namespace

template <LabelKey K>
void commit_pair_rewrite(Terms<K>& terms, uint64_t rank_cap, uint64_t pruned, bool renormalise,
                         double prune_epsilon, double kept_norm) {
    RotationScratch<K>& scratch = terms.scratch;
    AmplitudeTable<K>& map = terms.map;
    const uint64_t kept = map.size() + scratch.new_pairs.size() - pruned;
    if (kept == 0) throw SimError::pruned_all_amplitudes(prune_epsilon);
    if (kept > rank_cap) throw SimError::rank_cap_exceeded(kept, rank_cap);
    const double scale = renormalise && kept_norm > 0 ? 1 / std::sqrt(kept_norm) : 1.0;
    const double eps2 = prune_epsilon * prune_epsilon;

    size_t i = 0;
    map.update_or_erase([&](const K&, Complex& amp) {
        KELVO_ASSERT(i < scratch.staged.size(),
                     "one staged amplitude per live label, in map order");
        const Complex v = scratch.staged[i++];
        if (pruned > 0 && norm2(v) <= eps2) return false;
        amp = scale * v;
        return true;
    });
    map.reserve(map.size() + scratch.new_pairs.size());
    for (auto& [key, n] : scratch.new_pairs)
        map.insert_new(std::move(key), scale * n);
    scratch.new_pairs.clear();
    if (pruned > 0) shrink_after_pruning(map, kept);
}

template <LabelKey K>
void t_decomposed(Terms<K>& terms, uint64_t rank_cap, const Decomp<K>& d, bool adjoint,
                  double prune_epsilon) {
    const double s = adjoint ? kSinPi8 : -kSinPi8;
    if (d.flip.is_zero()) return t_diagonal(terms, rank_cap, d, kCosPi8, s);
    const ScratchReset<K> reset{terms.scratch};
    t_paired(terms, rank_cap, d, prune_epsilon, kCosPi8, s);
}

#define KELVO_ROTATION_FOR(K)                                                           \
    template void t_decomposed<K>(Terms<K>&, uint64_t, const Decomp<K>&, bool, double); \
    template void commit_pair_rewrite<K>(Terms<K>&, uint64_t, uint64_t, bool, double, double);
KELVO_ROTATION_FOR(Key<1>)
KELVO_ROTATION_FOR(Key<2>)
KELVO_ROTATION_FOR(Key<4>)
KELVO_ROTATION_FOR(Key<8>)
KELVO_ROTATION_FOR(Label)
#undef KELVO_ROTATION_FOR

void TableauSimulator::t(uint64_t q) {
    t_about(q, false);
}

void TableauSimulator::t_dag(uint64_t q) {
    t_about(q, true);
}

void TableauSimulator::t_about(uint64_t q, bool adjoint) {
    ensure_qubit(q);
    std::visit(
        [&]<LabelKey K>(Terms<K>& terms) {
            t_decomposed(terms, core.rank_cap, core.decompose_basis<K>(Axis::Z, q), adjoint,
                         core.prune_epsilon);
        },
        amps);
}

void TableauSimulator::t_pauli(const PauliString& axis, bool adjoint) {
    if (letter_phase(axis) % 2 != 0) throw SimError::non_hermitian_axis();
    if (const auto top = axis.max_support()) ensure_qubit(*top);
    std::visit(
        [&]<LabelKey K>(Terms<K>& terms) {
            t_decomposed(terms, core.rank_cap, core.decompose<K>(axis), adjoint,
                         core.prune_epsilon);
        },
        amps);
}

void TableauSimulator::ccz(uint64_t a, uint64_t b, uint64_t c) {
    if (a == b || a == c) throw SimError::repeated_qubit(a);
    if (b == c) throw SimError::repeated_qubit(b);
    // Each of the seven rotations at most doubles the rank, so below this size the cap cannot
    // be reached and the rotations may run in place.
    if (rank() <= core.rank_cap >> 7 && core.prune_epsilon <= 1e-12) return ccz_rotations(a, b, c);
    // The copy holds a second frame and table until it replaces this state.
    const uint64_t label_bytes = std::visit(
        [&]<LabelKey K>(const Terms<K>&) { return bytes_per_label<K>(core.key_words); }, amps);
    require_memory(sizeof(uint64_t) * Frame::word_count_for(core.num_qubits) + rank() * label_bytes,
                   "a copy of the simulator's state");
    TableauSimulator copy = *this;
    copy.ccz_rotations(a, b, c);
    *this = std::move(copy);
}

// exp(-i pi/8 (Z_a + Z_b + Z_c - Z_a Z_b - Z_a Z_c - Z_b Z_c + Z_a Z_b Z_c)): CCZ up to the
// global phase e^(-i pi/8).
void TableauSimulator::ccz_rotations(uint64_t a, uint64_t b, uint64_t c) {
    ensure_qubit(std::max({a, b, c}));
    PauliString axis(core.num_qubits);
    const auto rotate = [&](std::initializer_list<uint64_t> qubits, bool adjoint) {
        for (const uint64_t q : qubits)
            axis.set_zbit(q, true);
        t_pauli(axis, adjoint);
        for (const uint64_t q : qubits)
            axis.set_zbit(q, false);
    };
    rotate({a}, false);
    rotate({b}, false);
    rotate({c}, false);
    rotate({a, b}, true);
    rotate({a, c}, true);
    rotate({b, c}, true);
    rotate({a, b, c}, false);
}

}  // namespace kelvo::tableau_simulator
