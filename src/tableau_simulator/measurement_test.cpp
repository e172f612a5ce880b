#include "tableau_simulator/measurement.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <random>

#include "splitmix64.h"
#include "tableau_simulator/simulator.h"
#include "testing/scramble.h"

namespace kelvo::tableau_simulator {
namespace {

TableauSimulator with_table(uint64_t n, std::initializer_list<std::pair<uint64_t, Complex>> terms) {
    TableauSimulator sim = TableauSimulator::with_seed(n, 0);
    Terms<Key<1>> t;
    for (const auto& [label, amp] : terms)
        t.map.insert_new(Key<1>{{label}}, amp);
    sim.amps = std::move(t);
    return sim;
}

TEST(Measurement, ThresholdOfPostselection) {
    // p1 = |a1|^2 on a diagonal table; just above 1e-9 is accepted, just below refused.
    for (const double p1 : {1.0000001e-9, 0.9999999e-9}) {
        TableauSimulator sim =
            with_table(1, {{0, {std::sqrt(1 - p1), 0}}, {1, {std::sqrt(p1), 0}}});
        if (p1 < 1e-9) {
            EXPECT_THROW(sim.postselect_z(0, true), SimError);
            EXPECT_EQ(sim.rank(), 2u);
            continue;
        }
        const MeasureResult r = sim.postselect_z(0, true);
        EXPECT_FALSE(r.deterministic);  // p0 = 1 - p1 is just inside the uncertain range
        EXPECT_NEAR(r.probability, p1, 1e-15);
        EXPECT_EQ(sim.rank(), 1u);
    }
}

std::string failure(const std::function<void()>& call) {
    try {
        call();
    } catch (const SimError& e) {
        return e.what();
    }
    return "no SimError";
}

TEST(Measurement, FailuresChangeNeitherTableNorFrame) {
    TableauSimulator sim = with_table(1, {{0, {std::sqrt(0.8), 0}}, {1, {std::sqrt(0.2), 0}}});
    sim.core.prune_epsilon = 0.5;
    EXPECT_EQ(failure([&] { sim.postselect_z(0, true); }),
              "prune epsilon 0.5 removed every amplitude");
    EXPECT_EQ(sim.rank(), 2u);
    sim = with_table(3, {{0, {0.5, 0}}, {2, {0.5, 0}}, {4, {0.5, 0}}, {6, {0.5, 0}}});
    sim.core.rank_cap = 3;
    const uint64_t rng_before = sim.core.rng;
    EXPECT_EQ(failure([&] { sim.measure(0); }), "stabilizer rank 4 exceeds cap 3");
    EXPECT_EQ(sim.rank(), 4u);
    EXPECT_NE(sim.core.rng, rng_before) << "the draw comes before the failure";

    // Random outcomes (the Pauli flips labels): the frame and table stay as they were.
    std::mt19937_64 rng(47);
    int failures = 0;
    for (int trial = 0; trial < 60; ++trial) {
        TableauSimulator s = TableauSimulator::with_seed(4, trial);
        test_support::scramble(s, rng, 25, /*with_t=*/true);
        if (s.rank() < 2) continue;
        s.core.rank_cap = 1;
        const TableauSimulator before = s;
        try {
            s.measure_axis(static_cast<Axis>(rng() % 3), rng() % 4, std::nullopt);
        } catch (const SimError& e) {
            ++failures;
            EXPECT_EQ(e.kind(), SimErrorKind::RankCapExceeded);
            EXPECT_EQ(s.state_vector(), before.state_vector());
            EXPECT_EQ(s.rank(), before.rank());
        }
    }
    EXPECT_GT(failures, 5);
}

TEST(Measurement, IdentityObservablesAreCertainAndStillDraw) {
    TableauSimulator sim = TableauSimulator::with_seed(2, 3);
    EXPECT_EQ(sim.measure_observable(PauliString(5)), (MeasureResult{1, false, true}));
    PauliString minus_identity(5);
    minus_identity.phase = 2;
    EXPECT_EQ(sim.measure_observable(minus_identity), (MeasureResult{1, true, true}));
    EXPECT_EQ(sim.num_qubits(), 2u);
    uint64_t expected = 3;
    splitmix64_next(expected);
    splitmix64_next(expected);
    EXPECT_EQ(sim.core.rng, expected);
    const auto& scratch = std::get<Terms<Key<1>>>(sim.amps).scratch;
    EXPECT_TRUE(scratch.staged.empty() && scratch.new_pairs.empty() && scratch.partners.empty());
}

}  // namespace
}  // namespace kelvo::tableau_simulator
