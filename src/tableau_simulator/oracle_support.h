// Test helpers shared by the rotation and measurement tests: random Hermitian Paulis with their
// dense matrices, and the simulator's state vector in the dense oracle's form.
#pragma once

#include <bit>
#include <random>
#include <vector>

#include "pauli.h"
#include "tableau_simulator/dense_oracle.h"
#include "tableau_simulator/simulator.h"

namespace kelvo::tableau_simulator::oracle {

struct HermitianPauli {
    PauliString p;
    Mat dense;
};

// Random letters on qubits 0..n-1 with a random sign +1 or -1.
inline HermitianPauli random_hermitian_pauli(std::mt19937_64& rng, uint64_t n) {
    PauliString p(n);
    uint64_t x = 0, z = 0;
    for (uint64_t q = 0; q < n; ++q) {
        const unsigned letter = rng() % 4;
        if (letter & 1) x |= uint64_t{1} << q;
        if (letter & 2) z |= uint64_t{1} << q;
        p.set_xbit(q, letter & 1);
        p.set_zbit(q, letter & 2);
    }
    p.phase = static_cast<uint8_t>((std::popcount(x & z) + 2 * (rng() % 2)) % 4);
    return {p, pauli(n, x, z, p.phase)};
}

inline std::vector<C> dense_state(const TableauSimulator& sim) {
    std::vector<C> out;
    for (const Complex& c : sim.state_vector())
        out.emplace_back(c.re, c.im);
    return out;
}

}  // namespace kelvo::tableau_simulator::oracle
