#include "tableau_simulator/measurement.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "splitmix64.h"
#include "tableau_simulator/simulator.h"
#include "testing/scramble.h"

namespace kelvo::tableau_simulator {
namespace {

TEST(Measurement, FailuresChangeNeitherTableNorFrame) {
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

TEST(SimError, Messages) {
    const std::pair<SimError, const char*> cases[] = {
        {SimError::pruned_all_amplitudes(1e-12),
         "prune epsilon 0.000000000001 removed every amplitude"},
        {SimError::impossible_postselection(true, 0.0),
         "cannot post-select outcome true with probability 0e0"},
        {SimError::impossible_postselection(false, 3e-10),
         "cannot post-select outcome false with probability 3e-10"},
        {SimError::invalid_probability(1.5), "probability 1.5 must be between 0 and 1"},
        {SimError::rank_cap_exceeded(2000000, 1048576),
         "stabilizer rank 2000000 exceeds cap 1048576"},
        {SimError::unproduced_batch_record(2),
         "conditional Pauli reads batch record 2, which the batch has not produced"},
    };
    for (const auto& [error, message] : cases)
        EXPECT_STREQ(error.what(), message);
}

}  // namespace
}  // namespace kelvo::tableau_simulator
