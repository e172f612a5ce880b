#include "tableau_simulator/rotation.h"

#include <gtest/gtest.h>

#include <functional>

#include "tableau_simulator/simulator.h"

namespace kelvo::tableau_simulator {
namespace {

using TS = TableauSimulator;

const AmplitudeTable<Key<1>>& table(const TS& sim) {
    return std::get<Terms<Key<1>>>(sim.amps).map;
}

// Everything a failed call must leave alone: register, frame, generator, table and scratch.
void expect_same(const TS& a, const TS& b) {
    ASSERT_EQ(a.num_qubits(), b.num_qubits());
    EXPECT_EQ(a.core.rng, b.core.rng);
    for (uint64_t r = 0; r < 2 * a.num_qubits(); ++r) {
        EXPECT_TRUE(std::ranges::equal(a.core.frame.row(r), b.core.frame.row(r)));
        EXPECT_EQ(a.core.frame.sign(r), b.core.frame.sign(r));
    }
    EXPECT_EQ(a.state_vector(), b.state_vector());
    const auto& scratch = std::get<Terms<Key<1>>>(a.amps).scratch;
    EXPECT_TRUE(scratch.staged.empty() && scratch.new_pairs.empty() && scratch.partners.empty());
}

std::string failure(const std::function<void()>& call, SimErrorKind kind) {
    try {
        call();
    } catch (const SimError& e) {
        EXPECT_EQ(e.kind(), kind);
        return e.what();
    }
    ADD_FAILURE() << "no SimError";
    return "";
}

// |+> on qubits [0, n) with T on the first `t` of them: rank 2^t.
TS plus_states(uint64_t n, uint64_t t, uint64_t seed = 0) {
    TS sim = TS::with_seed(0, seed);
    for (uint64_t q = 0; q < n; ++q) {
        sim.h(q);
        if (q < t) sim.t(q);
    }
    return sim;
}

TEST(Rotation, TKeepsTheAmplitudesPhaseAndPrunesCancelledLabels) {
    TS sim = plus_states(1, 1);
    EXPECT_EQ(*table(sim).find(Key<1>{{0}}), (Complex{kCosPi8, 0}));
    EXPECT_EQ(*table(sim).find(Key<1>{{1}}), (Complex{0, -kSinPi8}));
    sim.t_dag(0);  // label 1 stages exactly 0 and is pruned
    EXPECT_EQ(sim.rank(), 1u);
    EXPECT_NEAR(norm2(*table(sim).find(Key<1>{{0}})), 1, 1e-15);
    expect_same(sim, sim);
    EXPECT_GT(std::get<Terms<Key<1>>>(sim.amps).scratch.staged.capacity(), 0u);
}

TEST(Rotation, FailuresLeaveTheTable) {
    using K = SimErrorKind;
    TS sim = plus_states(4, 3);
    sim.core.rank_cap = 8;
    TS before = sim;
    EXPECT_EQ(failure([&] { sim.t(3); }, K::RankCapExceeded), "stabilizer rank 16 exceeds cap 8");
    expect_same(sim, before);
    // The diagonal path refuses a table that is already over the cap; the growth stays.
    sim.core.rank_cap = 4;
    EXPECT_EQ(failure([&] { sim.t(7); }, K::RankCapExceeded), "stabilizer rank 8 exceeds cap 4");
    EXPECT_EQ(sim.num_qubits(), 8u);
    EXPECT_EQ(sim.rank(), 8u);
    // c*1 = 0.92 and the new partner 0.38 both fall under the cut.
    sim = plus_states(1, 0);
    sim.core.prune_epsilon = 0.95;
    before = sim;
    EXPECT_EQ(failure([&] { sim.t(0); }, K::PrunedAllAmplitudes),
              "prune epsilon 0.95 removed every amplitude");
    expect_same(sim, before);
    sim = plus_states(21, 20);
    EXPECT_EQ(failure([&] { sim.t(20); }, K::RankCapExceeded),
              "stabilizer rank 2097152 exceeds cap 1048576");
    EXPECT_EQ(sim.rank(), 1u << 20);
    EXPECT_EQ(sim.num_qubits(), 21u);
}

TEST(Rotation, FailedCczRestoresEverything) {
    const TS before = plus_states(3, 1, 9);
    // Rank 2 is above 3 >> 7, so ccz works on a copy; its Z_1 rotation already needs rank 4.
    // A coarser epsilon also takes the copying path; the first rotation prunes everything.
    for (const auto& [cap, epsilon, kind] :
         {std::tuple(uint64_t{3}, 1e-12, SimErrorKind::RankCapExceeded),
          std::tuple(uint64_t{1} << 20, 0.95, SimErrorKind::PrunedAllAmplitudes)}) {
        TS sim = before;
        sim.core.rank_cap = cap;
        sim.core.prune_epsilon = epsilon;
        const TS limited = sim;
        failure([&] { sim.ccz(1, 2, 40); }, kind);
        expect_same(sim, limited);
    }
    // With room to spare the same call succeeds in place and grows the register.
    TS sim = before;
    sim.ccz(1, 2, 40);
    EXPECT_EQ(sim.num_qubits(), 41u);
}

TEST(Rotation, TablesShrinkAfterPruningAndCollapse) {
    TS sim = plus_states(10, 10);
    ASSERT_EQ(sim.rank(), 1024u);
    for (uint64_t q = 0; q < 10; ++q)
        sim.t_dag(q);  // each undoes one doubling
    EXPECT_EQ(sim.rank(), 1u);
    EXPECT_LE(table(sim).room(), 4u * 16);
    // The same for measurements that keep the frame and filter the table in place.
    sim = TS::with_seed(10, 0);
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
