// Shortens the pending list before planning: merges rotations about one Pauli axis when
// everything between them commutes with it, and moves measurements earlier past commuting
// rotations. Preserved positions are barriers nothing crosses.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "cancellation.h"
#include "compiler/pending.h"
#include "pauli.h"
#include "symbolic.h"

namespace kelvo {

// The merge key of a rotation: its Pauli with coefficient +1 and its sign flipped when the
// Pauli carried -1. The angle is not part of it.
struct CanonicalRotation {
    PauliString body;
    SymbolicBool sign;

    bool operator==(const CanonicalRotation&) const = default;
};

// Throws KelvoError (InvalidInput) "pending Pauli rotation must have a Hermitian generator"
// when the Pauli's coefficient is imaginary.
CanonicalRotation canonical_rotation(const PendingPauliRotation& rotation);

struct OptimizationResult {
    // Entry p: the new position of old position p, -1 when p was not preserved; entry 0 is 0.
    std::vector<int32_t> position_map;
    uint64_t count_before = 0;
    uint64_t count_after = 0;
    uint64_t merged_rotations = 0;     // rotations folded into a later one
    uint64_t cancelled_rotations = 0;  // merges whose angles summed to exactly 0
    uint64_t moved_positions = 0;      // places measurements moved earlier, summed

    bool operator==(const OptimizationResult&) const = default;
};

// Optimizes the state's pending list in place between the barriers `preserved` (positions 0
// to n in any order) and sets the optimized flag. A list holding an expectation request is
// left alone and puts the state in the in-order mode. Throws KelvoError (InvalidInput) when
// planning has started, a position exceeds n, or a rotation is not Hermitian, and Cancelled
// when `cancel`, polled as the segments are worked through, asks it to stop (the list is then
// incomplete).
OptimizationResult optimize_pending_operations(PendingFactoredState& state,
                                               std::span<const uint64_t> preserved,
                                               const CancellationCheck& cancel = {});

}  // namespace kelvo
