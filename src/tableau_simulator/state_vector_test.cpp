#include "tableau_simulator/state_vector.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numeric>
#include <random>

#include "errors.h"
#include "memory.h"
#include "tableau_simulator/simulator.h"
#include "testing/error_text.h"
#include "testing/scramble.h"

namespace kelvo::tableau_simulator {
namespace {

std::vector<Complex> apply_row(const RowPauli& p, const std::vector<Complex>& v) {
    std::vector<Complex> out(v.size());
    for (uint64_t j = 0; j < v.size(); ++j) {
        const double sign = std::popcount(j & p.z[0]) % 2 ? -1 : 1;
        out[j ^ p.x[0]] = i_pow(p.phase) * (sign * v[j]);
    }
    return out;
}

// The reconstruction as first designed: the reference index is found by projecting every basis
// vector in turn until one keeps weight above 1e-9.
std::vector<Complex> searched_state_vector(const TableauSimulator& sim) {
    const uint64_t n = sim.num_qubits();
    const uint64_t size = uint64_t{1} << n;
    std::vector<Complex> ref(size);
    for (uint64_t s = 0; s < size; ++s) {
        std::vector<Complex> v(size);
        v[s] = {1, 0};
        for (uint64_t q = 0; q < n; ++q) {
            const std::vector<Complex> w = apply_row(sim.core.frame.image_z(q), v);
            for (uint64_t j = 0; j < size; ++j)
                v[j] = 0.5 * (v[j] + w[j]);
        }
        const double m = std::accumulate(v.begin(), v.end(), 0.0,
                                         [](double t, const Complex& c) { return t + norm2(c); });
        if (m > 1e-9) {
            for (uint64_t j = 0; j < size; ++j)
                ref[j] = (1 / std::sqrt(m)) * v[j];
            break;
        }
    }
    std::vector<Complex> psi(size);
    for (const auto [key, amp] : std::get<Terms<Key<1>>>(sim.amps).map) {
        std::vector<Complex> u = ref;
        for (uint64_t q = 0; q < n; ++q) {
            if (key.bit(q)) u = apply_row(sim.core.frame.image_x(q), u);
        }
        for (uint64_t j = 0; j < size; ++j)
            psi[j] = psi[j] + amp * u[j];
    }
    return psi;
}

TEST(StateVector, SameOutputAsTheIndexSearch) {
    std::mt19937_64 rng(41);
    for (int trial = 0; trial < 40; ++trial) {
        const uint64_t n = 2 + trial % 6;
        TableauSimulator sim = TableauSimulator::with_seed(n, 0);
        test_support::scramble(sim, rng, 6 * static_cast<int>(n));
        if (trial % 3 == 0) {
            Terms<Key<1>> terms;
            for (uint64_t k = 0; k < (uint64_t{1} << n); ++k) {
                if (rng() % 2)
                    terms.map.insert_new(Key<1>{{k}}, {0.3, -0.1 * static_cast<double>(k)});
            }
            if (terms.map.size() > 0) sim.amps = std::move(terms);
        }
        EXPECT_EQ(sim.state_vector(), searched_state_vector(sim)) << trial;
    }
}

TEST(StateVector, RegistersTooLargeFailClearly) {
    const TableauSimulator big = TableauSimulator::with_seed(64, 0);
    EXPECT_EQ(testing::fatal_text([&] { big.state_vector(); }),
              "state-vector reconstruction needs a 2^64 length that fits a usize");
    EXPECT_EQ(big.num_qubits(), 64u);
    // Four vectors of 2^n amplitudes beyond the available memory are refused before they are
    // zeroed, which would otherwise end the process.
    uint64_t beyond = 0;
    while ((uint64_t{64} << beyond) <= available_memory_bytes())
        ++beyond;
    for (const uint64_t n : {beyond, uint64_t{45}, uint64_t{60}, uint64_t{63}})
        EXPECT_THROW(TableauSimulator::with_seed(n, 0).state_vector(), std::bad_alloc) << n;
    // |+>^30 spreads over 2^30 basis states, each of weight below 1e-9: no reference phase.
    TableauSimulator spread = TableauSimulator::with_seed(30, 0);
    for (uint64_t q = 0; q < 30; ++q)
        spread.h(q);
    EXPECT_NE(
        testing::fatal_text([&] { spread.state_vector(); }).find("spread over 2^30 basis states"),
        std::string::npos);
}

}  // namespace
}  // namespace kelvo::tableau_simulator
