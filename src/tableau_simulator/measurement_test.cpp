#include "tableau_simulator/measurement.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>

#include "splitmix64.h"
#include "tableau_simulator/oracle_support.h"
#include "tableau_simulator/simulator.h"

namespace kelvo::tableau_simulator {
namespace {

using oracle::C;
using oracle::Mat;

// A random Clifford+T state on n qubits (H, S, CX, T).
TableauSimulator random_state(std::mt19937_64& rng, uint64_t n, uint64_t seed, int gates) {
    TableauSimulator sim = TableauSimulator::with_seed(n, seed);
    for (int i = 0; i < gates; ++i) {
        const uint64_t a = rng() % n;
        switch (rng() % 4) {
            case 0:
                sim.h(a);
                break;
            case 1:
                sim.s(a);
                break;
            case 2:
                if (n > 1) sim.cx(a, (a + 1) % n);
                break;
            default:
                sim.t(a);
        }
    }
    return sim;
}

// (I + (-1)^outcome P)/2 psi, and its squared norm.
std::pair<std::vector<C>, double> project(const Mat& p, const std::vector<C>& psi, bool outcome) {
    const std::vector<C> pv = oracle::apply(p, psi);
    std::vector<C> out(psi.size());
    double norm = 0;
    for (size_t i = 0; i < psi.size(); ++i) {
        out[i] = 0.5 * (psi[i] + (outcome ? -1.0 : 1.0) * pv[i]);
        norm += std::norm(out[i]);
    }
    for (C& v : out)
        v /= std::sqrt(norm);
    return {out, norm};
}

void set_table(TableauSimulator& sim, std::initializer_list<std::pair<uint64_t, Complex>> terms) {
    Terms<Key<1>> t;
    for (const auto& [label, amp] : terms)
        t.map.insert_new(Key<1>{{label}}, amp);
    sim.amps = std::move(t);
}

TEST(Measurement, RandomStatesFollowTheBornRuleAndProject) {
    std::mt19937_64 rng(41);
    int random_branches = 0;
    for (int trial = 0; trial < 120; ++trial) {
        const uint64_t n = 1 + trial % 4;
        TableauSimulator sim = random_state(rng, n, rng(), 20);
        const std::vector<C> psi = oracle::dense_state(sim);
        const bool observable = trial % 2;
        const oracle::HermitianPauli o =
            observable ? oracle::random_hermitian_pauli(rng, n)
                       : oracle::HermitianPauli{pauli_z(n, trial % n),
                                                oracle::axis_pauli(n, 2, trial % n)};
        const double p0 = project(o.dense, psi, false).second;
        uint64_t rng_copy = sim.core.rng;
        const double u = splitmix64_uniform(rng_copy);
        const uint64_t rank = sim.rank();
        const MeasureResult r = observable ? sim.measure_observable(o.p) : sim.measure(trial % n);
        EXPECT_EQ(sim.core.rng, rng_copy) << "exactly one draw";
        if (std::abs(u - p0) > 1e-9) {
            EXPECT_EQ(r.outcome, u >= p0);
        }
        EXPECT_NEAR(r.probability, r.outcome ? 1 - p0 : p0, 1e-9);
        EXPECT_EQ(r.deterministic, p0 < 1e-9 || p0 > 0.999999999);
        oracle::expect_same_state(oracle::dense_state(sim), project(o.dense, psi, r.outcome).first);
        random_branches += sim.rank() != rank || !r.deterministic;
        const auto& scratch = std::get<Terms<Key<1>>>(sim.amps).scratch;
        EXPECT_TRUE(scratch.staged.empty() && scratch.new_pairs.empty() &&
                    scratch.partners.empty());
    }
    EXPECT_GT(random_branches, 20);
}

TEST(Measurement, PostselectionsAcceptExactlyTheLikelyOutcomes) {
    std::mt19937_64 rng(43);
    for (int trial = 0; trial < 120; ++trial) {
        const uint64_t n = 1 + trial % 4;
        TableauSimulator sim = random_state(rng, n, 5, 15);
        const std::vector<C> psi = oracle::dense_state(sim);
        const bool desired = rng() % 2;
        const unsigned axis = rng() % 4;
        const uint64_t q = rng() % n;
        const oracle::HermitianPauli o =
            axis == 3 ? oracle::random_hermitian_pauli(rng, n)
                      : oracle::HermitianPauli{PauliString(n), oracle::axis_pauli(n, axis, q)};
        const double probability = project(o.dense, psi, desired).second;
        const TableauSimulator before = sim;
        const auto call = [&] {
            return axis == 3 ? sim.postselect_observable(o.p, desired)
                             : sim.measure_axis(static_cast<Axis>(axis), q, desired);
        };
        if (probability < 1e-9 - 1e-12) {
            try {
                call();
                FAIL();
            } catch (const SimError& e) {
                EXPECT_EQ(e.kind(), SimErrorKind::ImpossiblePostselection);
            }
            EXPECT_EQ(sim.rank(), before.rank());
            EXPECT_EQ(sim.state_vector(), before.state_vector());
        } else if (probability > 1e-9 + 1e-12) {
            const MeasureResult r = call();
            EXPECT_EQ(r.outcome, desired);
            EXPECT_NEAR(r.probability, probability, 1e-9);
            oracle::expect_same_state(oracle::dense_state(sim),
                                      project(o.dense, psi, desired).first);
        }
        EXPECT_EQ(sim.core.rng, before.core.rng) << "postselections never draw";
    }
}

TEST(Measurement, ThresholdOfPostselection) {
    // p1 = |a1|^2 on a diagonal table; just above 1e-9 is accepted, just below refused.
    for (const double p1 : {1.0000001e-9, 0.9999999e-9}) {
        TableauSimulator sim = TableauSimulator::with_seed(1, 0);
        set_table(sim, {{0, {std::sqrt(1 - p1), 0}}, {1, {std::sqrt(p1), 0}}});
        if (p1 > 1e-9) {
            const MeasureResult r = sim.postselect_z(0, true);
            EXPECT_FALSE(r.deterministic);  // p0 = 1 - p1 is just inside the uncertain range
            EXPECT_NEAR(r.probability, p1, 1e-15);
            EXPECT_EQ(sim.rank(), 1u);
        } else {
            EXPECT_THROW(sim.postselect_z(0, true), SimError);
            EXPECT_EQ(sim.rank(), 2u);
        }
    }
    TableauSimulator sim = TableauSimulator::with_seed(1, 0);
    try {
        sim.postselect_z(0, true);
        FAIL();
    } catch (const SimError& e) {
        EXPECT_STREQ(e.what(), "cannot post-select outcome true with probability 0e0");
    }
    EXPECT_EQ(sim.postselect_z(0, false), (MeasureResult{1, false, true}));
    const MeasureResult r = sim.postselect_x(0, true);
    EXPECT_NEAR(r.probability, 0.5, 1e-15);
    EXPECT_TRUE(r.outcome);
    EXPECT_FALSE(r.deterministic);
    EXPECT_NEAR(sim.peek_x(0), -1, 1e-12);
}

TEST(Measurement, DeterministicBranchFailuresChangeNothing) {
    TableauSimulator sim = TableauSimulator::with_seed(1, 0);
    sim.core.prune_epsilon = 0.5;
    set_table(sim, {{0, {std::sqrt(0.8), 0}}, {1, {std::sqrt(0.2), 0}}});
    try {
        sim.postselect_z(0, true);
        FAIL();
    } catch (const SimError& e) {
        EXPECT_STREQ(e.what(), "prune epsilon 0.5 removed every amplitude");
    }
    EXPECT_EQ(sim.rank(), 2u);

    TableauSimulator wide = TableauSimulator::with_seed(3, 0);
    set_table(wide, {{0, {0.5, 0}}, {2, {0.5, 0}}, {4, {0.5, 0}}, {6, {0.5, 0}}});
    wide.core.rank_cap = 3;
    const uint64_t rng_before = wide.core.rng;
    try {
        wide.measure(0);
        FAIL();
    } catch (const SimError& e) {
        EXPECT_STREQ(e.what(), "stabilizer rank 4 exceeds cap 3");
    }
    EXPECT_EQ(wide.rank(), 4u);
    EXPECT_NE(wide.core.rng, rng_before) << "the draw comes before the failure";
}

TEST(Measurement, RandomBranchFailuresLeaveTableAndFrame) {
    std::mt19937_64 rng(47);
    int failures = 0;
    for (int trial = 0; trial < 60; ++trial) {
        TableauSimulator sim = random_state(rng, 4, trial, 25);
        if (sim.rank() < 2) continue;
        sim.core.rank_cap = 1;
        const TableauSimulator before = sim;
        try {
            sim.measure_axis(static_cast<Axis>(rng() % 3), rng() % 4, std::nullopt);
        } catch (const SimError& e) {
            ++failures;
            EXPECT_EQ(e.kind(), SimErrorKind::RankCapExceeded);
            EXPECT_EQ(sim.state_vector(), before.state_vector());
            EXPECT_EQ(sim.rank(), before.rank());
        }
    }
    EXPECT_GT(failures, 5);
}

TEST(Measurement, WorkedExamplesAndResets) {
    // |+> measured in X: outcome +1 with certainty, the table collapses onto label 0.
    TableauSimulator sim = TableauSimulator::with_seed(1, 0);
    const double r = 0.7071067811865476;
    set_table(sim, {{0, {r, 0}}, {1, {r, 0}}});
    const MeasureResult m = sim.measure_observable(pauli_x(1, 0));
    EXPECT_FALSE(m.outcome);
    EXPECT_TRUE(m.deterministic);
    EXPECT_EQ(sim.rank(), 1u);

    sim = TableauSimulator::with_seed(1, 0);
    sim.x(0);
    sim.reset(0);
    EXPECT_EQ(sim.core.frame.sign(1), 0);
    EXPECT_EQ(sim.peek_z(0), 1);
    for (uint64_t seed = 0; seed < 8; ++seed) {
        TableauSimulator s = TableauSimulator::with_seed(2, seed);
        s.h(1);
        s.t(1);
        s.cx(1, 0);
        s.reset_x(0);
        EXPECT_NEAR(s.peek_x(0), 1, 1e-12);
        s.reset_y(1);
        EXPECT_NEAR(s.peek_y(1), 1, 1e-12);
        s.reset_z(0);
        EXPECT_NEAR(s.peek_z(0), 1, 1e-12);
    }

    sim = TableauSimulator::with_seed(2, 3);
    const uint64_t rng_before = sim.core.rng;
    EXPECT_EQ(sim.measure_observable(PauliString(5)), (MeasureResult{1, false, true}));
    PauliString minus_identity(5);
    minus_identity.phase = 2;
    EXPECT_EQ(sim.measure_observable(minus_identity), (MeasureResult{1, true, true}));
    EXPECT_EQ(sim.num_qubits(), 2u);
    uint64_t expected = rng_before;
    splitmix64_next(expected);
    splitmix64_next(expected);
    EXPECT_EQ(sim.core.rng, expected);

    PauliString ix = pauli_x(9, 8);
    ix.phase = 1;
    EXPECT_THROW(sim.measure_observable(ix), SimError);
    EXPECT_THROW(sim.postselect_observable(ix, false), SimError);
    EXPECT_EQ(sim.num_qubits(), 2u);
    EXPECT_EQ(sim.core.rng, expected);
    sim.measure(7);
    EXPECT_EQ(sim.num_qubits(), 8u);
}

TEST(Measurement, EveryLabelWidthAgrees) {
    for (const uint64_t offset : {64, 128, 300, 600}) {
        TableauSimulator a = TableauSimulator::with_seed(4, 11);
        TableauSimulator b = a;
        b.z(offset + 3);  // widens the labels, leaves the state alone
        std::mt19937_64 rng(offset);
        for (int step = 0; step < 30; ++step) {
            const uint64_t q = rng() % 4;
            switch (rng() % 5) {
                case 0:
                    a.h(q);
                    b.h(offset + q);
                    break;
                case 1:
                    a.t(q);
                    b.t(offset + q);
                    break;
                case 2:
                    a.cx(q, (q + 1) % 4);
                    b.cx(offset + q, offset + (q + 1) % 4);
                    break;
                case 3: {
                    const MeasureResult ra = a.measure(q), rb = b.measure(offset + q);
                    EXPECT_EQ(ra.outcome, rb.outcome);
                    EXPECT_NEAR(ra.probability, rb.probability, 1e-12);
                    break;
                }
                default:
                    a.reset_x(q);
                    b.reset_x(offset + q);
            }
            ASSERT_EQ(a.rank(), b.rank());
        }
        for (uint64_t q = 0; q < 4; ++q) {
            EXPECT_NEAR(a.peek_x(q), b.peek_x(offset + q), 1e-12);
            EXPECT_NEAR(a.peek_y(q), b.peek_y(offset + q), 1e-12);
            EXPECT_NEAR(a.peek_z(q), b.peek_z(offset + q), 1e-12);
        }
    }
}

}  // namespace
}  // namespace kelvo::tableau_simulator
