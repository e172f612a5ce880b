// A Pauli written in label space: F^dagger P F = coefficient * X^flip Z^z, Z^z acting first.
// On a label k it gives coefficient * (-1)^popcount(k AND z) * |k XOR flip>; k XOR flip is the
// partner of k. Core::decompose and Core::decompose_basis (simulator.h) build it.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>

#include "pauli.h"
#include "tableau_simulator/complex.h"
#include "tableau_simulator/label.h"

namespace kelvo::tableau_simulator {

template <LabelKey K>
struct Decomp {
    Complex coefficient;  // i^phase, exact
    K flip;
    K z;
    uint8_t phase = 0;
};

// (phase - number of Y positions) mod 4 over the words both bit lists have: the exponent of the
// coefficient in front of P's Hermitian letters. Even exactly when P is Hermitian.
inline uint8_t letter_phase(const PauliString& p) {
    const size_t common = std::min(p.x.size(), p.z.size());
    uint64_t y = 0;
    for (size_t i = 0; i < common; ++i)
        y += std::popcount(p.x[i] & p.z[i]);
    return static_cast<uint8_t>((p.phase + 4 - y % 4) & 3);
}

}  // namespace kelvo::tableau_simulator
