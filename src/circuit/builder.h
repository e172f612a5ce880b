// The accumulator of the second parsing stage: appended instructions, detectors, observable
// includes, record and slot counters, the coordinate shift and the open correlated-error chain.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "circuit/ir.h"

namespace kelvo {

struct KelvoCircuitBuilder {
    std::vector<CircuitInstruction> instructions;
    std::vector<CircuitDetector> detectors;
    std::vector<CircuitObservableInclude> observables;
    size_t num_qubits = 0;  // fixed before appending starts
    size_t num_measurements = 0;
    size_t num_exp_vals = 0;
    std::vector<double> coordinate_shift;
    std::vector<CircuitPauliProduct> pending_products;
    std::vector<double> pending_probabilities;
    double remaining_mass = 1.0;

    void push(CircuitInstruction instruction) { instructions.push_back(std::move(instruction)); }

    // Declared coordinates plus the shift in force, entry by entry.
    std::vector<double> coords_with_shift(std::span<const double> coords) const;

    // Moves the circuit parts out; the builder is spent afterwards.
    Circuit finish();
};

// An instruction of `gate` from `line` with every operand empty.
CircuitInstruction make_instruction(CircuitGate gate, size_t line);

}  // namespace kelvo
