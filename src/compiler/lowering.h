// Lowering: one walk over a circuit's instructions that absorbs Clifford gates into the frame,
// turns noise into conditional Paulis, and appends everything else as pending operations.
#pragma once

#include <vector>

#include "cancellation.h"
#include "circuit/ir.h"
#include "compiler/pending.h"
#include "symbolic.h"

namespace kelvo {

// The state lowering works on, plus the value of every record so far (record r at r - 1).
struct Accumulator {
    FrameFactoredState state;
    std::vector<SymbolicBool> records;
};

// Throws KelvoError (InvalidInput) on the first instruction it refuses, or when the records
// produced differ from the circuit's measurement count.
CircuitLoweringResult lower_circuit_to_factored(const Circuit& circuit);

// The same walk with the signs of operations on an already measured body taken relative to
// the last such measurement (sign_anchors.h): what the planner is given, since the full signs
// of a repeated measurement grow with the circuit. The same errors; Cancelled when `cancel`,
// polled between instructions, asks the walk to stop.
CircuitLoweringResult lower_circuit_with_anchors(const Circuit& circuit,
                                                 const CancellationCheck& cancel = {});

// Rewrites every relative sign of `ops` (each anchor before the operations that name it) into
// the full sign and drops the anchors. Quadratic in the length of a circuit that measures one
// body again and again.
void expand_anchored_signs(std::vector<PendingOperation>& ops);

// Applies one instruction. On a KelvoError the accumulator may hold part of the instruction's
// effect; lowering then drops it whole.
void apply_instruction(Accumulator& acc, const CircuitInstruction& instruction);

}  // namespace kelvo
