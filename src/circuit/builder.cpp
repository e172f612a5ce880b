#include "circuit/builder.h"

#include <algorithm>

namespace kelvo {

std::vector<double> KelvoCircuitBuilder::coords_with_shift(std::span<const double> coords) const {
    const size_t n = std::max(coords.size(), coordinate_shift.size());
    std::vector<double> out(n);
    for (size_t i = 0; i < n; ++i) {
        out[i] = (i < coords.size() ? coords[i] : 0.0) +
                 (i < coordinate_shift.size() ? coordinate_shift[i] : 0.0);
    }
    return out;
}

Circuit KelvoCircuitBuilder::finish() {
    Circuit c;
    c.instructions = std::move(instructions);
    c.detectors = std::move(detectors);
    c.observables = std::move(observables);
    c.num_qubits = num_qubits;
    c.num_measurements = num_measurements;
    c.num_exp_vals = num_exp_vals;
    return c;
}

CircuitInstruction make_instruction(CircuitGate gate, size_t line) {
    CircuitInstruction instruction;
    instruction.gate = gate;
    instruction.line = line;
    return instruction;
}

}  // namespace kelvo
