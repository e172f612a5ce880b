// Lowering: one walk over a circuit's instructions that absorbs Clifford gates into the frame,
// turns noise into conditional Paulis, and appends everything else as pending operations.
#pragma once

#include <vector>

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

// Applies one instruction. On a KelvoError the accumulator may hold part of the instruction's
// effect; lowering then drops it whole.
void apply_instruction(Accumulator& acc, const CircuitInstruction& instruction);

}  // namespace kelvo
