#include "tableau_simulator/simulator.h"

#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>

#include "errors.h"
#include "memory.h"
#include "testing/dense_oracle.h"

namespace kelvo::tableau_simulator {
namespace {

using oracle::C;
using oracle::kI;
using oracle::kR;
using oracle::Mat;

using Method1 = void (TableauSimulator::*)(uint64_t);
using Method2 = void (TableauSimulator::*)(uint64_t, uint64_t);

struct OneQubitGate {
    const char* name;
    Method1 method;
    C u[2][2];
};

const C kP(0.5, 0.5);   // (1 + i)/2
const C kM(0.5, -0.5);  // (1 - i)/2

const OneQubitGate kOneQubitGates[] = {
    {"h", &TableauSimulator::h, {{kR, kR}, {kR, -kR}}},
    {"s", &TableauSimulator::s, {{1, 0}, {0, kI}}},
    {"s_dag", &TableauSimulator::s_dag, {{1, 0}, {0, -kI}}},
    {"x", &TableauSimulator::x, {{0, 1}, {1, 0}}},
    {"y", &TableauSimulator::y, {{0, -kI}, {kI, 0}}},
    {"z", &TableauSimulator::z, {{1, 0}, {0, -1}}},
    {"sqrt_x", &TableauSimulator::sqrt_x, {{kP, kM}, {kM, kP}}},
    {"sqrt_x_dag", &TableauSimulator::sqrt_x_dag, {{kM, kP}, {kP, kM}}},
    {"sqrt_y", &TableauSimulator::sqrt_y, {{kP, -kP}, {kP, kP}}},
    {"sqrt_y_dag", &TableauSimulator::sqrt_y_dag, {{kM, kM}, {-kM, kM}}},
    {"h_xy", &TableauSimulator::h_xy, {{0, kR*(1.0 - kI)}, {kR * (1.0 + kI), 0}}},
    {"h_yz", &TableauSimulator::h_yz, {{kR, -kI* kR}, {kI * kR, -kR}}},
    {"c_xyz", &TableauSimulator::c_xyz, {{kM, -kP}, {kM, kP}}},
    {"c_zyx", &TableauSimulator::c_zyx, {{kP, kP}, {-kM, kM}}},
};

struct TwoQubitGate {
    const char* name;
    Method2 method;
    int control_axis;  // 0 X, 1 Y, 2 Z; -1 for the swap family
    int target_axis;
};

const TwoQubitGate kTwoQubitGates[] = {
    {"cx", &TableauSimulator::cx, 2, 0},
    {"cy", &TableauSimulator::cy, 2, 1},
    {"cz", &TableauSimulator::cz, 2, 2},
    {"xcx", &TableauSimulator::xcx, 0, 0},
    {"xcy", &TableauSimulator::xcy, 0, 1},
    {"xcz", &TableauSimulator::xcz, 0, 2},
    {"ycx", &TableauSimulator::ycx, 1, 0},
    {"ycy", &TableauSimulator::ycy, 1, 1},
    {"ycz", &TableauSimulator::ycz, 1, 2},
    {"zcx", &TableauSimulator::zcx, 2, 0},
    {"zcy", &TableauSimulator::zcy, 2, 1},
    {"zcz", &TableauSimulator::zcz, 2, 2},
    {"swap", &TableauSimulator::swap, -1, 0},
    {"iswap", &TableauSimulator::iswap, -1, 1},
    {"iswap_dag", &TableauSimulator::iswap_dag, -1, 2},
};

Mat dense_two_qubit(const TwoQubitGate& g, uint64_t n, uint64_t a, uint64_t b) {
    if (g.control_axis >= 0) {
        return oracle::controlled(oracle::axis_pauli(n, g.control_axis, a),
                                  oracle::axis_pauli(n, g.target_axis, b));
    }
    const C phase = g.target_axis == 1 ? kI : g.target_axis == 2 ? -kI : C(1);
    const C u[4][4] = {{1, 0, 0, 0}, {0, 0, phase, 0}, {0, phase, 0, 0}, {0, 0, 0, 1}};
    return oracle::on2(n, a, b, u);
}

// A positive Hermitian Pauli (letters only) over qubits offset..offset+n-1 of a string of
// offset+n qubits, with its dense form on n qubits.
struct RandomPauli {
    PauliString p;
    Mat dense;
};

RandomPauli random_pauli(std::mt19937_64& rng, uint64_t n, uint64_t offset, bool random_sign) {
    PauliString p(offset + n);
    uint64_t x = 0, z = 0;
    for (uint64_t q = 0; q < n; ++q) {
        const unsigned letter = rng() % 4;
        if (letter & 1) x |= uint64_t{1} << q;
        if (letter & 2) z |= uint64_t{1} << q;
        p.set_xbit(offset + q, letter & 1);
        p.set_zbit(offset + q, letter & 2);
    }
    p.phase =
        static_cast<uint8_t>((std::popcount(x & z) + (random_sign ? 2 * (rng() % 2) : 0)) % 4);
    return {p, oracle::pauli(n, x, z, p.phase)};
}

// One random Clifford step, run on the simulator at qubit offset `offset` and mirrored in `u`.
void random_step(std::mt19937_64& rng, TableauSimulator& sim, Mat& u, uint64_t n,
                 uint64_t offset = 0) {
    const uint64_t a = rng() % n;
    const uint64_t b = (a + 1 + rng() % (n - 1)) % n;
    const unsigned kind = rng() % 8;
    if (kind < 4) {
        const OneQubitGate& g = kOneQubitGates[rng() % std::size(kOneQubitGates)];
        (sim.*g.method)(offset + a);
        u = oracle::on1(n, a, g.u) * u;
    } else if (kind < 7) {
        const TwoQubitGate& g = kTwoQubitGates[rng() % std::size(kTwoQubitGates)];
        (sim.*g.method)(offset + a, offset + b);
        u = dense_two_qubit(g, n, a, b) * u;
    } else if (rng() % 2) {
        const RandomPauli p = random_pauli(rng, n, offset, true);
        sim.pauli(p.p);
        u = p.dense * u;
    } else {
        RandomPauli c = random_pauli(rng, n, offset, false);
        RandomPauli t = random_pauli(rng, n, offset, false);
        if (pauli_anticommutes(c.p, t.p)) t = {c.p, c.dense};
        sim.controlled_pauli(c.p, t.p);
        u = oracle::controlled(c.dense, t.dense) * u;
    }
}

// Row 2q must be U^dagger X_q U and row 2q+1 U^dagger Z_q U, signs included.
void expect_frame_is(const TableauSimulator& sim, const Mat& u, const std::string& context) {
    const Frame& f = sim.core.frame;
    const uint64_t n = f.num_qubits();
    for (uint64_t r = 0; r < 2 * n; ++r) {
        const auto row = f.row(r);
        const Mat got = oracle::pauli(n, row[0], row[f.stride()], f.sign(r));
        const Mat want = oracle::adjoint(u) * oracle::axis_pauli(n, r % 2 ? 2 : 0, r / 2) * u;
        EXPECT_TRUE(oracle::near(got, want)) << context << " row " << r;
    }
}

TEST(DenseOracle, GateMatricesAreTheTextbookOnes) {
    const Mat x = oracle::axis_pauli(1, 0, 0), y = oracle::axis_pauli(1, 1, 0),
              z = oracle::axis_pauli(1, 2, 0);
    EXPECT_EQ(y.at(0, 1), -kI);
    EXPECT_EQ(y.at(1, 0), kI);
    const auto conj = [](const OneQubitGate& g, const Mat& p) {
        const Mat u = oracle::on1(1, 0, g.u);
        return u * p * oracle::adjoint(u);
    };
    const auto& gates = kOneQubitGates;
    EXPECT_TRUE(oracle::near(conj(gates[12], x), y));  // c_xyz: X -> Y -> Z
    EXPECT_TRUE(oracle::near(conj(gates[12], y), z));
    EXPECT_TRUE(oracle::near(conj(gates[13], z), y));  // c_zyx: Z -> Y -> X
    EXPECT_TRUE(oracle::near(conj(gates[13], y), x));
    EXPECT_TRUE(oracle::near(conj(gates[10], x), y));  // h_xy
    EXPECT_TRUE(oracle::near(conj(gates[11], y), z));  // h_yz
    for (const int i : {6, 8}) {                       // sqrt_x^2 = X, sqrt_y^2 = Y, each exactly
        const Mat u = oracle::on1(1, 0, gates[i].u);
        EXPECT_TRUE(oracle::near(u * u, i == 6 ? x : y));
    }
}

TEST(TableauSimulator, EveryCliffordMethodConjugatesLikeItsMatrix) {
    std::mt19937_64 rng(17);
    const uint64_t n = 3;
    for (int trial = 0; trial < 6; ++trial) {
        TableauSimulator base = TableauSimulator::with_seed(n, 1);
        Mat u0 = oracle::identity(8);
        for (int i = 0; i < 12; ++i)
            random_step(rng, base, u0, n);
        for (const OneQubitGate& g : kOneQubitGates) {
            for (uint64_t q = 0; q < n; ++q) {
                TableauSimulator sim = base;
                (sim.*g.method)(q);
                expect_frame_is(sim, oracle::on1(n, q, g.u) * u0, g.name);
            }
        }
        for (const TwoQubitGate& g : kTwoQubitGates) {
            for (const auto& [a, b] : {std::pair{0, 1}, {2, 0}, {1, 2}}) {
                TableauSimulator sim = base;
                (sim.*g.method)(a, b);
                expect_frame_is(sim, dense_two_qubit(g, n, a, b) * u0, g.name);
            }
        }
        for (int i = 0; i < 10; ++i) {
            TableauSimulator sim = base;
            Mat u = u0;
            random_step(rng, sim, u, n);  // includes pauli and controlled_pauli
            expect_frame_is(sim, u, "random step");
        }
    }
}

TEST(TableauSimulator, ControlledPauliCases) {
    // Z_c X_t is CX, Z_a Z_b is CZ, Z_0 Z_0 is Z.
    TableauSimulator a = TableauSimulator::with_seed(3, 0), b = a;
    a.h(0);
    b.h(0);
    a.controlled_pauli(pauli_z(3, 0), pauli_x(3, 2));
    b.cx(0, 2);
    a.controlled_pauli(pauli_z(3, 1), pauli_z(3, 2));
    b.cz(1, 2);
    a.controlled_pauli(pauli_z(3, 1), pauli_z(3, 1));
    b.z(1);
    for (uint64_t r = 0; r < 6; ++r) {
        EXPECT_TRUE(std::ranges::equal(a.core.frame.row(r), b.core.frame.row(r)));
        EXPECT_EQ(a.core.frame.sign(r), b.core.frame.sign(r));
    }

    TableauSimulator s = TableauSimulator::with_seed(3, 0);
    PauliString minus_z = pauli_z(3, 0);
    minus_z.phase = 2;
    PauliString i_z = pauli_z(3, 0);
    i_z.phase = 1;
    for (const PauliString& bad : {minus_z, i_z}) {
        try {
            s.controlled_pauli(bad, pauli_z(3, 1));
            FAIL();
        } catch (const SimError& e) {
            EXPECT_EQ(e.kind(), SimErrorKind::ControlledPauliNotPositive);
        }
    }
    for (const PauliString& target : {pauli_z(3, 0), minus_z}) {
        try {
            s.controlled_pauli(pauli_x(3, 0), target);
            FAIL();
        } catch (const SimError& e) {
            EXPECT_EQ(e.kind(), SimErrorKind::ControlledPauliAnticommutes);
        }
    }
    EXPECT_THROW(s.controlled_pauli(pauli_z(3, 0), pauli_z(4, 0)), FatalError);
    EXPECT_EQ(s.num_qubits(), 3u);
    s.controlled_pauli(pauli_z(11, 10), pauli_identity(11));
    EXPECT_EQ(s.num_qubits(), 11u);
    for (uint64_t r = 0; r < 22; ++r)
        EXPECT_EQ(s.core.frame.sign(r), 0);
}

// p moved from qubits 0..n-1 to offset..offset+n-1 of a string of `size` qubits.
PauliString shifted(const PauliString& p, uint64_t n, uint64_t offset, uint64_t size) {
    PauliString out(size);
    for (uint64_t q = 0; q < n; ++q) {
        out.set_xbit(offset + q, p.xbit(q));
        out.set_zbit(offset + q, p.zbit(q));
    }
    out.phase = p.phase;
    return out;
}

// A run on qubits 0..5 and the same run shifted to `offset` (wider labels) give the same
// outcomes, ranks and peeks.
TEST(TableauSimulator, ShiftedRunsAgreeAtEveryWidth) {
    for (const uint64_t offset : {64, 128, 300, 512, 600}) {
        std::mt19937_64 rng_a(offset), rng_b(offset), pick(offset + 1);
        const uint64_t n = 6;
        // The same spread table on both, its labels moved to bits offset..offset+5 in b.
        TableauSimulator a = TableauSimulator::with_seed(n, 0);
        TableauSimulator b = TableauSimulator::with_seed(offset + n, 0);
        EXPECT_EQ(b.amps.index(), offset == 64 ? 1u : offset == 128 ? 2u : offset == 300 ? 3u : 4u);
        Terms<Key<1>> terms;
        const double scale = 1 / std::sqrt(13 + 0.01 * 5 * 5 * (12 * 13 * 25) / 6);
        for (uint64_t k = 0; k < 64; k += 5) {
            terms.map.insert_new(Key<1>{{k}}, {scale, scale * 0.1 * static_cast<double>(k)});
        }
        a.amps = terms;
        std::visit(
            [&]<LabelKey K>(Terms<K>& wide) {
                wide.map.clear();
                for (const auto [key, amp] : terms.map) {
                    std::vector<uint64_t> words(b.core.key_words, 0);
                    for (uint64_t q = 0; q < n; ++q) {
                        if (key.bit(q))
                            words[(offset + q) / 64] |= uint64_t{1} << ((offset + q) % 64);
                    }
                    wide.map.insert_new(K::from_words(words, words.size()), amp);
                }
            },
            b.amps);
        Mat ua = oracle::identity(64), ub = ua;
        for (int i = 0; i < 60; ++i) {
            const uint64_t q = pick() % n;
            switch (pick() % 6) {
                case 0:
                    a.t(q);
                    b.t(offset + q);
                    break;
                case 1: {
                    const MeasureResult ra = a.measure(q), rb = b.measure(offset + q);
                    EXPECT_EQ(ra.outcome, rb.outcome);
                    EXPECT_NEAR(ra.probability, rb.probability, 1e-12);
                    break;
                }
                case 2:
                    a.reset_x(q);
                    b.reset_x(offset + q);
                    break;
                case 3: {
                    const PauliString p = random_pauli(pick, n, 0, true).p;
                    const MeasureResult ra = a.measure_observable(p);
                    const MeasureResult rb =
                        b.measure_observable(shifted(p, n, offset, offset + n));
                    EXPECT_EQ(ra.outcome, rb.outcome);
                    EXPECT_NEAR(ra.probability, rb.probability, 1e-12);
                    break;
                }
                default:
                    random_step(rng_a, a, ua, n);
                    random_step(rng_b, b, ub, n, offset);
            }
            ASSERT_EQ(a.rank(), b.rank());
        }
        std::mt19937_64 rng_p(1);
        for (int i = 0; i < 30; ++i) {
            const PauliString p = random_pauli(rng_p, n, 0, true).p;
            EXPECT_NEAR(a.peek_observable_expectation(p),
                        b.peek_observable_expectation(shifted(p, n, offset, b.num_qubits())),
                        1e-12);
        }
        for (uint64_t q = 0; q < n; ++q) {
            EXPECT_NEAR(a.peek_x(q), b.peek_x(offset + q), 1e-12);
            EXPECT_NEAR(a.peek_y(q), b.peek_y(offset + q), 1e-12);
            EXPECT_NEAR(a.peek_z(q), b.peek_z(offset + q), 1e-12);
            EXPECT_NEAR(b.peek_z(q), 1, 1e-12);
        }
    }
}

TEST(TableauSimulator, ConstructionFormsAndMigration) {
    const std::tuple<uint64_t, size_t, uint64_t> forms[] = {
        {0, 0, 1}, {64, 0, 1}, {65, 1, 2}, {256, 2, 4}, {512, 3, 8}, {513, 4, 9}, {600, 4, 10}};
    for (const auto& [n, tag, words] : forms) {
        const TableauSimulator sim = TableauSimulator::with_seed(n, 99);
        EXPECT_EQ(sim.amps.index(), tag) << n;
        EXPECT_EQ(sim.core.key_words, words);
        EXPECT_EQ(sim.rank(), 1u);
        EXPECT_EQ(sim.core.rng, 99u);
        std::visit([&](const auto& t) { EXPECT_EQ((*t.map.begin()).key.words().size(), words); },
                   sim.amps);
    }
    TableauSimulator sim = TableauSimulator::with_seed(3, 0);
    Terms<Key<1>> terms;
    terms.map.insert_new(Key<1>{{0}}, {0.6, 0.0});
    terms.map.insert_new(Key<1>{{5}}, {0.0, -0.8});
    sim.amps = terms;
    sim.h(9);
    EXPECT_EQ(sim.num_qubits(), 10u);
    EXPECT_EQ(sim.amps.index(), 0u);
    sim.h(70);
    EXPECT_EQ(sim.num_qubits(), 71u);
    ASSERT_EQ(sim.amps.index(), 1u);
    const auto& wide = std::get<Terms<Key<2>>>(sim.amps).map;
    EXPECT_EQ(wide.size(), 2u);
    EXPECT_EQ(*wide.find(Key<2>{{5, 0}}), (Complex{0.0, -0.8}));
    EXPECT_EQ(*wide.find(Key<2>{{0, 0}}), (Complex{0.6, 0.0}));
    sim.ensure_qubits(600);
    sim.ensure_qubits(700);
    const auto& label = std::get<Terms<Label>>(sim.amps).map;
    std::vector<uint64_t> five(11, 0);
    five[0] = 5;
    EXPECT_EQ(*label.find(Label::from_words(five, 11)), (Complex{0.0, -0.8}));
    EXPECT_EQ(sim.core.key_words, 11u);
    EXPECT_NE(TableauSimulator::with_entropy(1).core.rng,
              TableauSimulator::with_entropy(1).core.rng);
}

TEST(TableauSimulator, HugeQubitIndicesFailWithoutChangingAnything) {
    TableauSimulator sim = TableauSimulator::with_seed(3, 0);
    sim.h(1);
    const TableauSimulator before = sim;
    const auto unchanged = [&] {
        EXPECT_EQ(sim.num_qubits(), 3u);
        EXPECT_EQ(sim.amps.index(), 0u);
        for (uint64_t r = 0; r < 6; ++r) {
            EXPECT_TRUE(std::ranges::equal(sim.core.frame.row(r), before.core.frame.row(r)));
        }
    };
    for (const uint64_t q :
         {~uint64_t{0}, ~uint64_t{0} - 1, uint64_t{1} << 40, uint64_t{1} << 32}) {
        EXPECT_THROW(sim.h(q), std::bad_alloc) << q;
        EXPECT_THROW(sim.cx(0, q), std::bad_alloc) << q;
        EXPECT_THROW(sim.swap(q, q), std::bad_alloc) << q;
        unchanged();
    }
    EXPECT_THROW(sim.ensure_qubits(~uint64_t{0}), std::bad_alloc);
    unchanged();
    EXPECT_THROW(TableauSimulator::with_seed(~uint64_t{0}, 0), std::bad_alloc);
}

TEST(TableauSimulator, WideningBeyondAvailableMemoryIsRefusedBeforeAnyLabelIsMade) {
    Terms<Key<1>> narrow;
    for (uint64_t k = 0; k < 2048; ++k)
        narrow.map.insert_new(Key<1>{{k}}, Complex{1, 0});
    const uint64_t width = available_memory_bytes() / (8 * 2048) + 1;
    EXPECT_THROW(Terms<Label>::rekeyed(narrow.map, width), std::bad_alloc);
    EXPECT_EQ(Terms<Label>::rekeyed(narrow.map, 9).map.size(), 2048u);
}

TEST(TableauSimulator, GateEdgeCases) {
    TableauSimulator sim = TableauSimulator::with_seed(3, 0);
    for (const TwoQubitGate& g : kTwoQubitGates) {
        if (g.control_axis < 0 && std::string(g.name) == "swap") continue;
        try {
            (sim.*g.method)(5, 5);
            FAIL() << g.name;
        } catch (const SimError& e) {
            EXPECT_EQ(e.kind(), SimErrorKind::RepeatedQubit);
            EXPECT_STREQ(e.what(), "gate received repeated qubit index 5");
        }
        EXPECT_EQ(sim.num_qubits(), 3u);
    }
    sim.swap(4, 4);
    EXPECT_EQ(sim.num_qubits(), 5u);
    sim.pauli(pauli_identity(40));
    EXPECT_EQ(sim.num_qubits(), 5u);
    sim.pauli(pauli_z(20, 9));
    EXPECT_EQ(sim.num_qubits(), 10u);
}

TEST(TableauSimulator, PeekErrorsAndObservableEdgeCases) {
    TableauSimulator sim = TableauSimulator::with_seed(3, 0);
    for (uint64_t q = 0; q < 3; ++q) {
        EXPECT_EQ(sim.peek_z(q), 1);
        EXPECT_EQ(sim.peek_x(q), 0);
        EXPECT_EQ(sim.peek_y(q), 0);
    }
    try {
        sim.peek_z(5);
        FAIL();
    } catch (const SimError& e) {
        EXPECT_EQ(e.kind(), SimErrorKind::QubitOutOfRange);
        EXPECT_STREQ(e.what(), "observable qubit index 5 is outside a 3-qubit register");
    }
    try {
        PauliString p = pauli_z(6, 5);
        p.phase = 1;  // out of range is reported before non-Hermitian
        sim.peek_observable_expectation(p);
        FAIL();
    } catch (const SimError& e) {
        EXPECT_STREQ(e.what(), "observable qubit index 5 is outside a 3-qubit register");
    }
    PauliString ix = pauli_x(3, 0);
    ix.phase = 1;
    EXPECT_THROW(sim.peek_observable_expectation(ix), SimError);
    EXPECT_EQ(sim.num_qubits(), 3u);
    PauliString minus_z = pauli_z(3, 0);
    minus_z.phase = 2;
    EXPECT_EQ(sim.peek_observable_expectation(minus_z), -1);
    EXPECT_EQ(sim.peek_observable_expectation(pauli_identity(50)), 1);
    EXPECT_EQ(TableauSimulator::with_seed(0, 0).peek_observable_expectation(pauli_identity(0)), 1);
    sim.h(0);
    sim.cx(0, 1);
    EXPECT_EQ(sim.peek_observable_expectation(pauli_string("ZZI")), 1);
    EXPECT_EQ(sim.peek_observable_expectation(pauli_string("XXI")), 1);
    EXPECT_EQ(sim.peek_observable_expectation(pauli_string("YYI")), -1);
}

TEST(TableauSimulator, DecompositionRecords) {
    TableauSimulator sim = TableauSimulator::with_seed(3, 0);
    const Core& core = sim.core;
    const auto z = core.decompose_basis<Key<1>>(Axis::Z, 2);
    EXPECT_EQ(z.flip.w[0], 0u);
    EXPECT_EQ(z.z.w[0], 4u);
    EXPECT_EQ(z.coefficient, (Complex{1, 0}));
    const auto y = core.decompose_basis<Key<1>>(Axis::Y, 1);
    EXPECT_EQ(y.flip.w[0] & y.z.w[0], 2u);
    EXPECT_EQ(y.coefficient, (Complex{0, 1}));
    const auto py = core.decompose<Key<1>>(pauli_y(3, 1));
    EXPECT_EQ(py.flip, y.flip);
    EXPECT_EQ(py.phase, 1);
    PauliString minus_y = pauli_y(3, 1);
    minus_y.phase = 3;
    EXPECT_EQ(core.decompose<Key<1>>(minus_y).coefficient, (Complex{0, -1}));
    PauliString minus_i = pauli_identity(0);
    minus_i.phase = 2;
    EXPECT_EQ(core.decompose<Key<1>>(minus_i).coefficient, (Complex{-1, 0}));
    EXPECT_EQ(core.decompose<Key<1>>(pauli_z(40, 2)).z.w[0], 4u);  // longer string, identity tail
    EXPECT_THROW(core.decompose<Key<2>>(pauli_z(3, 0)), FatalError);
    sim.h(2);
    const auto after_h = sim.core.decompose_basis<Key<1>>(Axis::Z, 2);
    EXPECT_EQ(after_h.flip.w[0], 4u);
    EXPECT_EQ(after_h.z.w[0], 0u);
    const TableauSimulator wide = TableauSimulator::with_seed(600, 0);
    const auto d = wide.core.decompose<Label>(pauli_x(600, 599));
    EXPECT_EQ(d.flip.words().size(), 10u);
    EXPECT_TRUE(d.flip.bit(599));
    EXPECT_TRUE(d.z.is_zero());
}

}  // namespace
}  // namespace kelvo::tableau_simulator
