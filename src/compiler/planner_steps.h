// How the planner carries out each decision: the steps that rebuild the frame (promoting a
// dormant qubit for a rotation, replacing a dormant stabilizer by a measurement, returning an
// actively measured qubit to the dormant set) and the steps that only emit an instruction.
//
// Coordinates: qubits 0..k-1 are active, k..n-1 dormant, each stabilized by +Z. Every step
// takes an operation already rewritten into the current coordinates (by the loop in
// planner.h) and leaves every later operation in the coordinates it produces.
#pragma once

#include <cstdint>
#include <optional>

#include "compiler/pending.h"
#include "compiler/program.h"
#include "pauli.h"

namespace kelvo {

// The first k qubits of `pauli` as a Hermitian Pauli with coefficient +1 (phase = Y count),
// whatever pauli's own phase. k beyond the Pauli is fatal ("qubit index out of range").
PauliString project_active_body(const PauliString& pauli, uint64_t k);

// Sets the active count (and raises the largest one); the dormant qubits become n - k fresh
// +Z qubits. Throws KelvoError (InvalidInput) "active qubit count exceeds total qubit count"
// for k > n, changing nothing.
void set_planning_active_count(PendingFactoredState& state, uint64_t k);

// Appends the instruction, with the evaluation plan of its sign (left empty when the state
// leaves plans to the assembly), after raising the context's next id above every id it
// names. The reference stays valid until the next append.
const FactoredInstruction& push_instruction(PendingFactoredState& state,
                                            FactoredInstruction instruction);

// The highest dormant qubit (>= k) on which `pauli` has an X part, if any: the stabilizer Z_q
// that the operation anticommutes with.
std::optional<uint64_t> highest_dormant_x(const PauliString& pauli, uint64_t k);

// The steps. Each throws KelvoError (InvalidInput) on a broken precondition; failures of the
// frame transforms and kernels pass through.

// A rotation that anticommutes with dormant Z_q: q moves to position k and becomes active.
void plan_dormant_rotation_promotion(PendingFactoredState& state,
                                     const PendingPauliRotation& rotation, uint64_t q);
// A rotation that commutes with every dormant stabilizer; nothing when its active part is
// the identity (a global phase).
void plan_active_rotation(PendingFactoredState& state, const PendingPauliRotation& rotation);
// A measurement that anticommutes with dormant Z_q: a fair coin, and Z_q stays the stabilizer.
void plan_dormant_measurement_replacement(PendingFactoredState& state,
                                          const PendingPauliMeasurement& measurement, uint64_t q);
// A measurement with a nontrivial active part: its pivot qubit returns to the dormant set.
void plan_active_measurement(PendingFactoredState& state,
                             const PendingPauliMeasurement& measurement);
// An expectation request with a nontrivial active part; nothing else changes.
void plan_active_expectation(PendingFactoredState& state, const PendingPauliMeasurement& request);
// An expectation request that anticommutes with a dormant stabilizer: the value is 0.
void plan_zero_expectation(PendingFactoredState& state, const PendingPauliMeasurement& request);
// A measurement or request fixed by the dormant stabilizers: its sign is the outcome.
void plan_deterministic_outcome(PendingFactoredState& state,
                                const PendingPauliMeasurement& measurement);
void plan_classical_record(PendingFactoredState& state, const PendingClassicalRecord& record);

}  // namespace kelvo
