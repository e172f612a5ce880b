// T rotations on the amplitude table, and the commit step of every pair rewrite.
//
// A rotation about the label-space Pauli Q = coefficient X^flip Z^z is exp(-i theta Q) with
// theta = pi/8 for T and -pi/8 for T dagger. When flip is zero Q is diagonal and every term only
// gains a phase; otherwise each label mixes with its partner label XOR flip, and a label whose
// partner is absent creates it. The TableauSimulator methods built on these (t, t_dag, t_pauli,
// ccz) live in rotation.cpp.
#pragma once

#include <cstdint>

#include "tableau_simulator/decomposition.h"
#include "tableau_simulator/label.h"
#include "tableau_simulator/terms.h"

namespace kelvo::tableau_simulator {

inline constexpr double kCosPi8 = 0.9238795325112867;
inline constexpr double kSinPi8 = 0.3826834323650898;

// Applies exp(-/+ i pi/8 Q) to `terms`, Q being `d`. Terms whose squared magnitude falls to
// prune_epsilon^2 or below are dropped and the rest renormalised. Throws
// SimError::RankCapExceeded or SimError::PrunedAllAmplitudes, leaving the table unchanged.
// The scratch lists are empty afterwards on every path.
template <LabelKey K>
void t_decomposed(Terms<K>& terms, uint64_t rank_cap, const Decomp<K>& d, bool adjoint,
                  double prune_epsilon);

// Writes a staged pair rewrite into the map. Contract: `scratch.staged` holds one amplitude per
// live label in map order; `scratch.new_pairs` only labels absent from the map, each above the
// cut; `pruned` counts staged entries at or below the cut (squared magnitude <= epsilon^2);
// `kept_norm` sums the squared magnitudes of every other staged entry and of the new pairs.
// Scales everything by 1/sqrt(kept_norm) when `renormalise`; shrinks the map after pruning.
// Throws SimError::PrunedAllAmplitudes when nothing would survive and
// SimError::RankCapExceeded when more than rank_cap terms would, changing nothing then.
template <LabelKey K>
void commit_pair_rewrite(Terms<K>& terms, uint64_t rank_cap, uint64_t pruned, bool renormalise,
                         double prune_epsilon, double kept_norm);

// After terms were removed, a map with room for more than 4*max(kept, 16) entries is rebuilt
// with room for about 2*max(kept, 16).
template <LabelKey K>
void shrink_after_pruning(AmplitudeTable<K>& map, uint64_t kept) {
    const uint64_t m = kept < 16 ? 16 : kept;
    if (map.room() > 4 * m) map.shrink_to(2 * m);
}

}  // namespace kelvo::tableau_simulator
