// Test helper: drives a simulator through random gates, for states that are not special.
#pragma once

#include <cstdint>
#include <random>

namespace kelvo::test_support {

// `gates` random H, S, X, SQRT_Y, CX and ISWAP gates (and T when `with_t`) on the simulator's
// register of at least two qubits.
template <class Simulator>
void scramble(Simulator& sim, std::mt19937_64& rng, int gates, bool with_t = false) {
    const uint64_t n = sim.num_qubits();
    for (int i = 0; i < gates; ++i) {
        const uint64_t a = rng() % n;
        const uint64_t b = (a + 1 + rng() % (n - 1)) % n;
        switch (rng() % (with_t ? 7 : 6)) {
            case 0:
                sim.h(a);
                break;
            case 1:
                sim.s(a);
                break;
            case 2:
                sim.x(a);
                break;
            case 3:
                sim.sqrt_y(a);
                break;
            case 4:
                sim.cx(a, b);
                break;
            case 5:
                sim.iswap(a, b);
                break;
            default:
                sim.t(a);
                break;
        }
    }
}

}  // namespace kelvo::test_support
