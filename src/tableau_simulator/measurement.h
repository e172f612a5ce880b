// Measurement and postselection of a Pauli on the simulator's state.
//
// measure_decomposed gets the measured Pauli in label space (a Decomp), computes the probability
// of the +1 outcome from the table, draws the outcome (one uniform per unforced measurement) or
// checks the forced one, projects and renormalises the table, and, when the Pauli flips labels,
// moves the frame so that the surviving terms are again a sum of a_k F|k>. The TableauSimulator
// methods built on it (measure, postselect_*, measure_observable, reset_*) live in
// measurement.cpp.
#pragma once

#include <cstdint>
#include <optional>

#include "tableau_simulator/decomposition.h"
#include "tableau_simulator/label.h"
#include "tableau_simulator/terms.h"

namespace kelvo::tableau_simulator {

struct Core;

struct MeasureResult {
    double probability = 1;  // of the chosen outcome, before the projection
    bool outcome = false;    // true: eigenvalue -1
    bool deterministic = true;

    bool operator==(const MeasureResult&) const = default;
};

// Measures the Pauli `d` on the state held by `terms` and `core`. With `forced` absent the
// outcome is drawn from core.rng; otherwise it is `forced`, and an outcome of probability below
// 1e-9 throws SimError::ImpossiblePostselection. Throws SimError::PrunedAllAmplitudes or
// SimError::RankCapExceeded before changing the table or the frame (a draw has happened then).
template <LabelKey K>
MeasureResult measure_decomposed(Terms<K>& terms, Core& core, const Decomp<K>& d,
                                 std::optional<bool> forced);

}  // namespace kelvo::tableau_simulator
