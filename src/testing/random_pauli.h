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

// Every X and Z bit set with probability 1 / density, and a random phase.
inline PauliString random_pauli(std::mt19937_64& rng, uint64_t n, uint64_t density = 2) {
    PauliString p(n);
    for (uint64_t q = 0; q < n; ++q) {
        p.set_xbit(q, rng() % density == 0);
        p.set_zbit(q, rng() % density == 0);
    }
    p.phase = static_cast<uint8_t>(rng() % 4);
    return p;
}

// The Pauli with X bits x and Z bits z (qubit q = bit q) on n <= 64 qubits.
inline PauliString pauli_from_bits(uint64_t n, uint64_t x, uint64_t z, uint8_t phase = 0) {
    PauliString p(n);
    for (uint64_t q = 0; q < n; ++q) {
        p.set_xbit(q, (x >> q) & 1);
        p.set_zbit(q, (z >> q) & 1);
    }
    p.phase = phase;
    return p;
}

}  // namespace kelvo::test_support
