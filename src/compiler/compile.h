// The compiler's single entry: a parsed Circuit and a postselection mask in, the compiled
// FactoredInstructionProgram out.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "cancellation.h"
#include "circuit/ir.h"
#include "compiler/pending.h"
#include "compiler/program.h"

namespace kelvo {

// Lowers the circuit, places every detector at a pending-operation position, optimizes with
// those positions as barriers, plans, and interleaves one detector checkpoint per detector
// right after the instruction that completes its records. `postselection_mask` holds one byte
// per detector (nonzero: discard failing shots); it may be shorter than the detector list, and
// detectors past its end are postselected only when they come from DISCARD. Throws KelvoError;
// Cancelled when `cancel`, polled between the steps and between planner operations, asks the
// compilation to stop.
FactoredInstructionProgram plan_circuit(const Circuit& circuit,
                                        std::span<const uint8_t> postselection_mask,
                                        const CancellationCheck& cancel = {});

// plan_circuit from the circuit's lowering: the one with relative signs (what plan_circuit
// uses) or the full one of lower_circuit_to_factored, which gives the signs of the reduction
// walked over every full sign (the tests' reference). `cancel` as for plan_circuit.
FactoredInstructionProgram plan_lowered_circuit(const Circuit& circuit,
                                                CircuitLoweringResult lowering,
                                                std::span<const uint8_t> postselection_mask,
                                                const CancellationCheck& cancel = {});

// One detector, placed at the pending-operation position where it is evaluated.
struct LoweredDetector {
    std::vector<uint64_t> records;  // 1-based record numbers
    uint64_t position = 0;
    bool discard = false;

    bool operator==(const LoweredDetector&) const = default;
};

// The circuit's detectors, in order, at the pending positions that lowering gives their
// source positions. Throws KelvoError (InvalidInput) "detector source position is out of
// range" for the first detector past the lowered instructions.
std::vector<LoweredDetector> detectors_with_lowered_positions(
    const std::vector<CircuitDetector>& detectors, const CircuitLoweringResult& lowering);

}  // namespace kelvo
