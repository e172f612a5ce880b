// Test and benchmark helper: random Pauli operators.
#pragma once

#include <cstdint>
#include <random>

#include "pauli.h"

namespace kelvo::test_support {

// `weight` random X, Y or Z letters on random qubits (a qubit drawn twice keeps its last
// letter), with coefficient +1.
inline PauliString random_pauli_letters(std::mt19937_64& rng, uint64_t n, uint64_t weight) {
    PauliString p(n);
    for (uint64_t k = 0; k < weight; ++k) {
        const uint64_t q = rng() % n;
        const uint64_t letter = 1 + rng() % 3;
        p.set_xbit(q, letter & 1);
        p.set_zbit(q, letter & 2);
    }
    p.phase = static_cast<uint8_t>(p.y_count() % 4);
    return p;
}

}  // namespace kelvo::test_support
