#include "tableau_simulator/rotation.h"

#include <gtest/gtest.h>

#include <functional>

#include "tableau_simulator/simulator.h"

namespace kelvo::tableau_simulator {
namespace {

const AmplitudeTable<Key<1>>& table(const TableauSimulator& sim) {
    return std::get<Terms<Key<1>>>(sim.amps).map;
}

// Everything a failed call must leave alone: register, frame, generator and table.
void expect_same(const TableauSimulator& a, const TableauSimulator& b) {
    ASSERT_EQ(a.num_qubits(), b.num_qubits());
    EXPECT_EQ(a.core.rng, b.core.rng);
    for (uint64_t r = 0; r < 2 * a.num_qubits(); ++r) {
        EXPECT_TRUE(std::ranges::equal(a.core.frame.row(r), b.core.frame.row(r)));
        EXPECT_EQ(a.core.frame.sign(r), b.core.frame.sign(r));
    }
    ASSERT_EQ(table(a).size(), table(b).size());
    for (const auto [key, amp] : table(a))
        EXPECT_EQ(*table(b).find(key), amp);
    const auto& scratch = std::get<Terms<Key<1>>>(a.amps).scratch;
    EXPECT_TRUE(scratch.staged.empty() && scratch.new_pairs.empty() && scratch.partners.empty());
}

SimError failure(const std::function<void()>& call) {
    try {
        call();
    } catch (const SimError& e) {
        return e;
    }
    ADD_FAILURE() << "no SimError";
    return SimError::repeated_qubit(0);
}

TEST(Rotation, TKeepsTheAmplitudesPhaseAndPrunesCancelledLabels) {
    TableauSimulator sim = TableauSimulator::with_seed(1, 0);
    sim.h(0);
    sim.t(0);
    EXPECT_EQ(*table(sim).find(Key<1>{{0}}), (Complex{kCosPi8, 0}));
    EXPECT_EQ(*table(sim).find(Key<1>{{1}}), (Complex{0, -kSinPi8}));
    sim.t_dag(0);  // label 1 stages exactly 0 and is pruned
    EXPECT_EQ(sim.rank(), 1u);
    EXPECT_NEAR(norm2(*table(sim).find(Key<1>{{0}})), 1, 1e-15);
    expect_same(sim, sim);
    EXPECT_GT(std::get<Terms<Key<1>>>(sim.amps).scratch.staged.capacity(), 0u);
}

TEST(Rotation, FailuresLeaveTheTable) {
    TableauSimulator sim = TableauSimulator::with_seed(0, 0);
    sim.core.rank_cap = 8;
    for (uint64_t q = 0; q < 3; ++q) {
        sim.h(q);
        sim.t(q);
    }
    sim.h(3);
    TableauSimulator before = sim;
    const SimError e = failure([&] { sim.t(3); });
    EXPECT_EQ(e.kind(), SimErrorKind::RankCapExceeded);
    EXPECT_STREQ(e.what(), "stabilizer rank 16 exceeds cap 8");
    expect_same(sim, before);
    // The diagonal path refuses a table that is already over the cap; the growth stays.
    sim.core.rank_cap = 4;
    EXPECT_STREQ(failure([&] { sim.t(7); }).what(), "stabilizer rank 8 exceeds cap 4");
    EXPECT_EQ(sim.num_qubits(), 8u);
    EXPECT_EQ(sim.rank(), 8u);

    sim = TableauSimulator::with_seed(1, 0);
    sim.core.prune_epsilon = 0.95;
    sim.h(0);
    before = sim;
    // c*1 = 0.92 and the new partner 0.38 both fall under the cut.
    EXPECT_STREQ(failure([&] { sim.t(0); }).what(), "prune epsilon 0.95 removed every amplitude");
    expect_same(sim, before);
}

TEST(Rotation, TheDefaultCapRefusesThe21stDoubling) {
    TableauSimulator sim = TableauSimulator::with_seed(0, 0);
    for (uint64_t q = 0; q < 20; ++q) {
        sim.h(q);
        sim.t(q);
    }
    sim.h(20);
    EXPECT_STREQ(failure([&] { sim.t(20); }).what(), "stabilizer rank 2097152 exceeds cap 1048576");
    EXPECT_EQ(sim.rank(), 1u << 20);
    EXPECT_EQ(sim.num_qubits(), 21u);
}

TEST(Rotation, FailedCczRestoresEverything) {
    TableauSimulator sim = TableauSimulator::with_seed(0, 9);
    sim.h(0);
    sim.t(0);
    sim.h(1);
    sim.h(2);
    const TableauSimulator before = sim;
    // Rank 2 is above 3 >> 7, so ccz works on a copy; its Z_1 rotation already needs rank 4.
    sim.core.rank_cap = 3;
    const TableauSimulator capped = sim;
    EXPECT_EQ(failure([&] { sim.ccz(1, 2, 40); }).kind(), SimErrorKind::RankCapExceeded);
    expect_same(sim, capped);
    // A coarser epsilon also takes the copying path; the first rotation prunes everything.
    sim = before;
    sim.core.prune_epsilon = 0.95;
    const TableauSimulator coarse = sim;
    EXPECT_EQ(failure([&] { sim.ccz(1, 2, 40); }).kind(), SimErrorKind::PrunedAllAmplitudes);
    expect_same(sim, coarse);
    // With room to spare the same call succeeds in place and grows the register.
    sim = before;
    sim.ccz(1, 2, 40);
    EXPECT_EQ(sim.num_qubits(), 41u);
}

TEST(Rotation, TablesShrinkAfterPruningAndCollapse) {
    TableauSimulator sim = TableauSimulator::with_seed(0, 0);
    for (uint64_t q = 0; q < 10; ++q) {
        sim.h(q);
        sim.t(q);
    }
    ASSERT_EQ(sim.rank(), 1024u);
    for (uint64_t q = 0; q < 10; ++q)
        sim.t_dag(q);  // each undoes one doubling
    EXPECT_EQ(sim.rank(), 1u);
    EXPECT_LE(table(sim).room(), 4u * 16);
    // The same for measurements that keep the frame and filter the table in place.
    sim = TableauSimulator::with_seed(10, 0);
    Terms<Key<1>> uniform;
    for (uint64_t k = 0; k < 1024; ++k)
        uniform.map.insert_new(Key<1>{{k}}, {1.0 / 32, 0});
    sim.amps = std::move(uniform);
    for (uint64_t q = 0; q < 10; ++q)
        sim.measure(q);
    EXPECT_EQ(sim.rank(), 1u);
    EXPECT_LE(table(sim).room(), 4u * 16);
}

}  // namespace
}  // namespace kelvo::tableau_simulator
