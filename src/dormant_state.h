// Signs of the fixed Z stabilizers of the dormant qubits.
#pragma once

#include <cstdint>
#include <vector>

#include "symbolic.h"

namespace kelvo {

// Entry q is the symbolic sign of the stabilizer Z_q (in frame coordinates) while qubit q is
// dormant; false stands for +Z_q, the state of a fresh qubit. `count` is the number of
// entries when the state was created.
struct DormantState {
    std::vector<SymbolicBool> signs;
    uint64_t count = 0;

    DormantState() = default;
    // `count` fresh qubits: every sign the constant false.
    explicit DormantState(uint64_t count) : signs(count), count(count) {}

    bool operator==(const DormantState&) const = default;
};

}  // namespace kelvo
