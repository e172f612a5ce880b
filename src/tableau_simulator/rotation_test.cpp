#include "tableau_simulator/rotation.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "tableau_simulator/simulator.h"

namespace kelvo::tableau_simulator {
namespace {

template <class K>
std::vector<std::pair<K, Complex>> entries(const TableauSimulator& sim) {
    std::vector<std::pair<K, Complex>> out;
    for (const auto [key, amp] : std::get<Terms<K>>(sim.amps).map)
        out.emplace_back(key, amp);
    return out;
}

// Everything a failed call must leave alone: register, frame, generator and table.
void expect_same_simulator(const TableauSimulator& a, const TableauSimulator& b) {
    ASSERT_EQ(a.num_qubits(), b.num_qubits());
    EXPECT_EQ(a.core.rng, b.core.rng);
    for (uint64_t r = 0; r < 2 * a.num_qubits(); ++r) {
        EXPECT_TRUE(std::ranges::equal(a.core.frame.row(r), b.core.frame.row(r)));
        EXPECT_EQ(a.core.frame.sign(r), b.core.frame.sign(r));
    }
    EXPECT_EQ(entries<Key<1>>(a), entries<Key<1>>(b));
}

const Complex& amp_of(const TableauSimulator& sim, uint64_t label) {
    const Complex* a = std::get<Terms<Key<1>>>(sim.amps).map.find(Key<1>{{label}});
    EXPECT_NE(a, nullptr);
    return *a;
}

TEST(Rotation, TOnPlusStatesAndPauliAxisSigns) {
    TableauSimulator sim = TableauSimulator::with_seed(1, 0);
    sim.h(0);
    sim.t(0);
    EXPECT_EQ(sim.rank(), 2u);
    EXPECT_EQ(amp_of(sim, 0), (Complex{kCosPi8, 0}));
    EXPECT_EQ(amp_of(sim, 1), (Complex{0, -kSinPi8}));
    sim.t_dag(0);  // label 1 stages exactly 0 and is pruned
    EXPECT_EQ(sim.rank(), 1u);
    EXPECT_NEAR(norm2(amp_of(sim, 0)), 1, 1e-15);
    const auto& scratch = std::get<Terms<Key<1>>>(sim.amps).scratch;
    EXPECT_TRUE(scratch.staged.empty() && scratch.new_pairs.empty() && scratch.partners.empty());
    EXPECT_GT(scratch.staged.capacity(), 0u);

    sim = TableauSimulator::with_seed(3, 0);
    sim.t(5);
    EXPECT_EQ(sim.num_qubits(), 6u);
    EXPECT_EQ(sim.rank(), 1u);

    // The axis -Z is the rotation T dagger.
    TableauSimulator a = TableauSimulator::with_seed(2, 0), b = a;
    a.h(1);
    b.h(1);
    PauliString minus_z = pauli_z(2, 1);
    minus_z.phase = 2;
    a.t_pauli(minus_z, false);
    b.t_dag(1);
    EXPECT_EQ(entries<Key<1>>(a), entries<Key<1>>(b));
}

TEST(Rotation, RankCapFailuresLeaveTheTable) {
    TableauSimulator sim = TableauSimulator::with_seed(0, 0);
    sim.core.rank_cap = 8;
    for (uint64_t q = 0; q < 3; ++q) {
        sim.h(q);
        sim.t(q);
    }
    ASSERT_EQ(sim.rank(), 8u);
    sim.h(3);
    TableauSimulator before = sim;
    try {
        sim.t(3);
        FAIL();
    } catch (const SimError& e) {
        EXPECT_EQ(e.kind(), SimErrorKind::RankCapExceeded);
        EXPECT_STREQ(e.what(), "stabilizer rank 16 exceeds cap 8");
    }
    expect_same_simulator(sim, before);
    const auto& scratch = std::get<Terms<Key<1>>>(sim.amps).scratch;
    EXPECT_TRUE(scratch.staged.empty() && scratch.new_pairs.empty());

    // The diagonal path refuses a table that is already over the cap.
    sim.core.rank_cap = 4;
    try {
        sim.t(7);
        FAIL();
    } catch (const SimError& e) {
        EXPECT_STREQ(e.what(), "stabilizer rank 8 exceeds cap 4");
    }
    EXPECT_EQ(sim.num_qubits(), 8u);  // growth happened before the rotation and stays
    EXPECT_EQ(sim.rank(), 8u);
}

TEST(Rotation, PruningEverythingFailsWithoutChange) {
    TableauSimulator sim = TableauSimulator::with_seed(1, 0);
    sim.core.prune_epsilon = 0.95;
    sim.h(0);
    const TableauSimulator before = sim;
    try {
        sim.t(0);  // c*1 = 0.92 and the new partner 0.38 both fall under the cut
        FAIL();
    } catch (const SimError& e) {
        EXPECT_EQ(e.kind(), SimErrorKind::PrunedAllAmplitudes);
        EXPECT_STREQ(e.what(), "prune epsilon 0.95 removed every amplitude");
    }
    expect_same_simulator(sim, before);
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
    try {
        sim.ccz(1, 2, 40);
        FAIL();
    } catch (const SimError& e) {
        EXPECT_EQ(e.kind(), SimErrorKind::RankCapExceeded);
    }
    expect_same_simulator(sim, capped);
    EXPECT_EQ(sim.num_qubits(), 3u);

    // A coarser epsilon also takes the copying path; the first rotation prunes everything.
    sim = before;
    sim.core.prune_epsilon = 0.95;
    const TableauSimulator coarse = sim;
    EXPECT_THROW(sim.ccz(1, 2, 40), SimError);
    expect_same_simulator(sim, coarse);

    // With room to spare the same call succeeds in place and grows the register.
    sim = before;
    sim.ccz(1, 2, 40);
    EXPECT_EQ(sim.num_qubits(), 41u);
}

TEST(Rotation, ShrinksAfterPruningAndCollapse) {
    TableauSimulator sim = TableauSimulator::with_seed(0, 0);
    for (uint64_t q = 0; q < 10; ++q) {
        sim.h(q);
        sim.t(q);
    }
    ASSERT_EQ(sim.rank(), 1024u);
    for (uint64_t q = 0; q < 10; ++q)
        sim.t_dag(q);  // each undoes one doubling
    EXPECT_EQ(sim.rank(), 1u);
    EXPECT_LE(std::get<Terms<Key<1>>>(sim.amps).map.room(), 4u * 16);

    // The same for measurements that keep the frame and filter the table in place.
    sim = TableauSimulator::with_seed(10, 0);
    Terms<Key<1>> uniform;
    for (uint64_t k = 0; k < 1024; ++k)
        uniform.map.insert_new(Key<1>{{k}}, {1.0 / 32, 0});
    sim.amps = std::move(uniform);
    for (uint64_t q = 0; q < 10; ++q)
        sim.measure(q);
    EXPECT_EQ(sim.rank(), 1u);
    EXPECT_LE(std::get<Terms<Key<1>>>(sim.amps).map.room(), 4u * 16);
}

}  // namespace
}  // namespace kelvo::tableau_simulator
