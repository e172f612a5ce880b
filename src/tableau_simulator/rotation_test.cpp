#include "tableau_simulator/rotation.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>

#include "tableau_simulator/oracle_support.h"
#include "tableau_simulator/simulator.h"

namespace kelvo::tableau_simulator {
namespace {

using oracle::C;
using oracle::kI;
using oracle::kR;
using oracle::Mat;

const C kH[2][2] = {{kR, kR}, {kR, -kR}};
const C kS[2][2] = {{1, 0}, {0, kI}};
const C kCx[4][4] = {{1, 0, 0, 0}, {0, 0, 0, 1}, {0, 0, 1, 0}, {0, 1, 0, 0}};

// exp(-i pi/8 P) for T, exp(+i pi/8 P) for T dagger.
Mat rotation(const Mat& p, bool adjoint) {
    const double s = std::sin(M_PI / 8);
    return C(std::cos(M_PI / 8)) * oracle::identity(p.dim) + C(0, adjoint ? s : -s) * p;
}

Mat ccz_matrix(uint64_t n, uint64_t a, uint64_t b, uint64_t c) {
    Mat m = oracle::identity(uint64_t{1} << n);
    const uint64_t mask = (uint64_t{1} << a) | (uint64_t{1} << b) | (uint64_t{1} << c);
    for (uint64_t i = 0; i < m.dim; ++i) {
        if ((i & mask) == mask) m.at(i, i) = -1;
    }
    return m;
}

// One random gate among H, S, CX, T, T dagger, a Pauli-axis T and CCZ, on the simulator and on
// the dense unitary.
void random_gate(std::mt19937_64& rng, TableauSimulator& sim, Mat& u, uint64_t n) {
    const uint64_t a = rng() % n, b = (a + 1) % n, c = (a + 2) % n;
    switch (rng() % 7) {
        case 0:
            sim.h(a);
            u = oracle::on1(n, a, kH) * u;
            break;
        case 1:
            sim.s(a);
            u = oracle::on1(n, a, kS) * u;
            break;
        case 2:
            sim.cx(a, b);
            u = oracle::on2(n, a, b, kCx) * u;
            break;
        case 3:
        case 4: {
            const bool adjoint = rng() % 2;
            adjoint ? sim.t_dag(a) : sim.t(a);
            u = rotation(oracle::axis_pauli(n, 2, a), adjoint) * u;
            break;
        }
        case 5: {
            const auto [p, dense] = oracle::random_hermitian_pauli(rng, n);
            const bool adjoint = rng() % 2;
            sim.t_pauli(p, adjoint);
            u = rotation(dense, adjoint) * u;
            break;
        }
        default:
            sim.ccz(a, b, c);
            u = ccz_matrix(n, a, b, c) * u;
    }
}

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

TEST(Rotation, TOnBasisAndPlusStates) {
    TableauSimulator sim = TableauSimulator::with_seed(1, 0);
    sim.t(0);
    EXPECT_EQ(amp_of(sim, 0), (Complex{kCosPi8, -kSinPi8}));
    sim = TableauSimulator::with_seed(1, 0);
    sim.t_dag(0);
    EXPECT_EQ(amp_of(sim, 0), (Complex{kCosPi8, kSinPi8}));

    sim = TableauSimulator::with_seed(1, 0);
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
}

TEST(Rotation, PauliAxisSignsAndHermitianCheck) {
    TableauSimulator a = TableauSimulator::with_seed(2, 0), b = a;
    a.h(1);
    b.h(1);
    PauliString minus_z = pauli_z(2, 1);
    minus_z.phase = 2;
    a.t_pauli(minus_z, false);
    b.t_dag(1);
    EXPECT_EQ(entries<Key<1>>(a), entries<Key<1>>(b));

    TableauSimulator sim = TableauSimulator::with_seed(3, 0);
    PauliString ix = pauli_x(10, 9);
    ix.phase = 1;
    try {
        sim.t_pauli(ix, false);
        FAIL();
    } catch (const SimError& e) {
        EXPECT_EQ(e.kind(), SimErrorKind::NonHermitianAxis);
    }
    EXPECT_EQ(sim.num_qubits(), 3u);
    ix.phase = 0;
    sim.t_pauli(ix, false);
    EXPECT_EQ(sim.num_qubits(), 10u);

    sim = TableauSimulator::with_seed(1, 0);
    PauliString minus_identity(1);
    minus_identity.phase = 2;
    sim.t_pauli(minus_identity, false);
    EXPECT_EQ(amp_of(sim, 0), (Complex{kCosPi8, kSinPi8}));
}

TEST(Rotation, RandomCircuitsMatchTheDenseUnitary) {
    std::mt19937_64 rng(5);
    for (int trial = 0; trial < 40; ++trial) {
        const uint64_t n = 3 + trial % 3;
        TableauSimulator sim = TableauSimulator::with_seed(n, 1);
        Mat u = oracle::identity(uint64_t{1} << n);
        for (int i = 0; i < 30; ++i)
            random_gate(rng, sim, u, n);
        std::vector<C> zero(u.dim);
        zero[0] = 1;
        oracle::expect_same_state(oracle::dense_state(sim), oracle::apply(u, zero));
        EXPECT_LE(sim.rank(), u.dim);
    }
}

TEST(Rotation, CczOnPlusStatesAndRepeatedQubits) {
    TableauSimulator sim = TableauSimulator::with_seed(3, 0);
    for (uint64_t q = 0; q < 3; ++q)
        sim.h(q);
    sim.ccz(0, 1, 2);
    ASSERT_EQ(sim.rank(), 8u);
    for (const auto& [key, amp] : entries<Key<1>>(sim))
        EXPECT_NEAR(std::sqrt(norm2(amp)), key.w[0] == 0 ? 0.75 : 0.25, 1e-12) << key.w[0];

    sim = TableauSimulator::with_seed(1, 0);
    sim.ccz(0, 1, 2);
    EXPECT_EQ(sim.num_qubits(), 3u);
    EXPECT_EQ(sim.rank(), 1u);
    EXPECT_NEAR(amp_of(sim, 0).re, kCosPi8, 1e-12);
    EXPECT_NEAR(amp_of(sim, 0).im, -kSinPi8, 1e-12);

    for (const auto& [a, b, c, repeated] : {std::tuple{1, 1, 2, 1}, {2, 0, 2, 2}, {0, 2, 2, 2}}) {
        try {
            sim.ccz(a, b, c);
            FAIL();
        } catch (const SimError& e) {
            EXPECT_EQ(e.kind(), SimErrorKind::RepeatedQubit);
            EXPECT_EQ(std::string(e.what()),
                      "gate received repeated qubit index " + std::to_string(repeated));
        }
    }
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

TEST(Rotation, ShrinksAfterPruning) {
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
}

}  // namespace
}  // namespace kelvo::tableau_simulator
