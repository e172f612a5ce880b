#include "tableau_simulator/simulator.h"

#include <gtest/gtest.h>

#include <functional>
#include <numbers>
#include <random>
#include <string>

#include "errors.h"
#include "memory.h"
#include "splitmix64.h"
#include "tableau_simulator/rotation.h"
#include "testing/dense_gates.h"
#include "testing/scramble.h"

namespace kelvo::tableau_simulator {
namespace {

using oracle::C;
using oracle::Mat;
using oracle::projected;
using oracle::weight;
using G = CircuitGate;
using TS = TableauSimulator;
using oracle::Vec;

// Every Clifford gate method with the circuit gate whose dense matrix it must apply.
struct Gate {
    Gate(void (TS::*f)(uint64_t), CircuitGate c) : one(f), code(c) {}
    Gate(void (TS::*f)(uint64_t, uint64_t), CircuitGate c) : two(f), code(c) {}
    void (TS::*one)(uint64_t) = nullptr;
    void (TS::*two)(uint64_t, uint64_t) = nullptr;
    CircuitGate code;
};

// clang-format off
const Gate kGates[] = {
    {&TS::h, G::H}, {&TS::s, G::S}, {&TS::s_dag, G::S_DAG}, {&TS::x, G::X}, {&TS::y, G::Y},
    {&TS::z, G::Z}, {&TS::sqrt_x, G::SQRT_X}, {&TS::sqrt_x_dag, G::SQRT_X_DAG},
    {&TS::sqrt_y, G::SQRT_Y}, {&TS::sqrt_y_dag, G::SQRT_Y_DAG}, {&TS::h_xy, G::H_XY},
    {&TS::h_yz, G::H_YZ}, {&TS::c_xyz, G::C_XYZ}, {&TS::c_zyx, G::C_ZYX}, {&TS::cx, G::CX},
    {&TS::cy, G::CY}, {&TS::cz, G::CZ}, {&TS::xcx, G::XCX}, {&TS::xcy, G::XCY}, {&TS::xcz, G::XCZ},
    {&TS::ycx, G::YCX}, {&TS::ycy, G::YCY}, {&TS::ycz, G::YCZ}, {&TS::zcx, G::CX},
    {&TS::zcy, G::CY}, {&TS::zcz, G::CZ}, {&TS::swap, G::SWAP}, {&TS::iswap, G::ISWAP},
    {&TS::iswap_dag, G::ISWAP_DAG},
};
// clang-format on

// A Hermitian Pauli on n qubits (letters and an optional sign) with its dense form.
struct RandomPauli {
    PauliString p;
    Mat dense;
};

RandomPauli random_pauli(std::mt19937_64& rng, uint64_t n, bool random_sign) {
    PauliString p(n);
    for (uint64_t q = 0; q < n; ++q) {
        p.set_xbit(q, rng() % 2);
        p.set_zbit(q, rng() % 2);
    }
    p.phase = static_cast<uint8_t>((p.y_count() + (random_sign ? 2 * (rng() % 2) : 0)) % 4);
    return {p, oracle::pauli(n, p.x[0], p.z[0], p.phase)};
}

// One random Clifford gate, Pauli or controlled Pauli on n >= 2 qubits; returns its matrix.
Mat random_step(std::mt19937_64& rng, TS& sim, uint64_t n) {
    const uint64_t a = rng() % n, b = (a + 1 + rng() % (n - 1)) % n;
    const Gate& g = kGates[rng() % std::size(kGates)];
    switch (rng() % 8) {
        case 0: {
            const RandomPauli p = random_pauli(rng, n, true);
            sim.pauli(p.p);
            return p.dense;
        }
        case 1: {
            const RandomPauli c = random_pauli(rng, n, false);
            RandomPauli t = random_pauli(rng, n, false);
            if (pauli_anticommutes(c.p, t.p)) t = c;
            sim.controlled_pauli(c.p, t.p);
            return oracle::controlled(c.dense, t.dense);
        }
        default:
            g.one ? (sim.*g.one)(a) : (sim.*g.two)(a, b);
            return oracle::clifford_gate(g.code, n, a, b);
    }
}

// SplitMix64 from its published constants, written apart from the library's generator.
struct Uniforms {
    uint64_t state;
    double next() {
        uint64_t z = (state += 0x9e3779b97f4a7c15);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9;
        z = (z ^ (z >> 27)) * 0x94d049bb133111eb;
        return static_cast<double>((z ^ (z >> 31)) >> 11) * 0x1.0p-53;
    }
};

// The simulator's state vector, extended by the qubits it has not grown to yet (all |0>), is psi
// up to a global phase.
void expect_state(const TS& sim, const Vec& psi, const std::string& context) {
    Vec got(psi.size());
    const std::vector<Complex> v = sim.state_vector();
    for (size_t i = 0; i < v.size(); ++i)
        got[i] = {v[i].re, v[i].im};
    size_t top = 0;
    for (size_t i = 0; i < psi.size(); ++i)
        top = std::abs(psi[i]) > std::abs(psi[top]) ? i : top;
    const C phase = got[top] / psi[top];
    ASSERT_NEAR(std::abs(phase), 1, 1e-9) << context;
    for (size_t i = 0; i < psi.size(); ++i)
        ASSERT_NEAR(std::abs(got[i] - phase * psi[i]), 0, 1e-9) << context << " entry " << i;
}

double expectation(const Mat& p, const Vec& psi) {
    return 1 - 2 * weight(projected(p, psi, true));
}

// psi collapsed onto the eigenvalue (-1)^outcome of p.
void collapse(Vec& psi, const Mat& p, bool outcome) {
    psi = projected(p, psi, outcome);
    const double w = std::sqrt(weight(psi));
    for (C& c : psi)
        c /= w;
}

// |+> on qubits [0, n) with T on the first `t` of them (rank 2^t), under the given limits.
TS plus_states(uint64_t n, uint64_t t, uint64_t cap = uint64_t{1} << 20, double epsilon = 1e-12,
               uint64_t seed = 0) {
    TS sim = TS::with_seed(0, seed);
    for (uint64_t q = 0; q < n; ++q) {
        sim.h(q);
        if (q < t) sim.t(q);
    }
    sim.core.rank_cap = cap;
    sim.core.prune_epsilon = epsilon;
    return sim;
}

// n qubits whose frame is the identity and whose table holds `terms`, under the given limits.
TS with_table(uint64_t n, std::initializer_list<std::pair<uint64_t, Complex>> terms,
              uint64_t cap = uint64_t{1} << 20, double epsilon = 1e-12) {
    TS sim = plus_states(0, 0, cap, epsilon);
    sim.ensure_qubits(n);
    Terms<Key<1>> t;
    for (const auto& [label, amp] : terms)
        t.map.insert_new(Key<1>{{label}}, amp);
    sim.amps = std::move(t);
    return sim;
}

constexpr double kT = std::numbers::pi / 8;  // T is exp(-i kT Z)

// Random Clifford+T runs with measurements, postselections and resets on a few qubits: the state,
// the outcome probabilities, the outcomes drawn from the seed, the deterministic flags and the
// peeks all follow a dense state vector.
TEST(TableauSimulator, RandomRunsFollowADenseStateVector) {
    std::mt19937_64 rng(5);
    for (int run = 0; run < 150; ++run) {
        const uint64_t n = 2 + run % 5, seed = rng();
        TS sim = TS::with_seed(rng() % (n + 1), seed);
        Uniforms uniforms{seed};
        Vec psi(uint64_t{1} << n);
        psi[0] = 1;
        // Checks a measurement result against the Born rule (a drawn one against the seed's next
        // uniform too) and collapses psi.
        const auto measured = [&](const MeasureResult& r, const Mat& p, bool drawn) {
            const double p0 = weight(projected(p, psi, false));
            const double u = drawn ? uniforms.next() : 0;
            if (drawn && std::abs(u - p0) > 1e-9) {
                EXPECT_EQ(r.outcome, u >= p0) << run;
            }
            EXPECT_NEAR(r.probability, r.outcome ? 1 - p0 : p0, 1e-9) << run;
            const double least = std::min(p0, 1 - p0);
            if (std::abs(least - 1e-9) > 1e-12) {
                EXPECT_EQ(r.deterministic, least < 1e-9) << run;
            }
            collapse(psi, p, r.outcome);
        };
        for (int step = 0; step < 30; ++step) {
            const uint64_t q = rng() % n;
            const unsigned axis = rng() % 3;
            const Mat on_q = oracle::axis_pauli(n, axis, q);
            const RandomPauli p = random_pauli(rng, n, true);
            const bool flag = rng() % 2, observable = rng() % 2;
            const unsigned kind = rng() % 8;
            if (kind < 2) {
                psi = random_step(rng, sim, n) * psi;
            } else if (kind == 2) {
                flag ? sim.t_dag(q) : sim.t(q);
                psi = oracle::pauli_rotation(oracle::axis_pauli(n, 2, q), flag ? -kT : kT) * psi;
            } else if (kind == 3) {
                sim.t_pauli(p.p, flag);
                psi = oracle::pauli_rotation(p.dense, flag ? -kT : kT) * psi;
            } else if (kind == 4) {
                const uint64_t b = (q + 1) % n, c = (q + 2) % n;
                if (c == q) continue;
                sim.ccz(q, b, c);
                const uint64_t mask = (uint64_t{1} << q) | (uint64_t{1} << b) | (uint64_t{1} << c);
                for (uint64_t i = 0; i < psi.size(); ++i)
                    psi[i] *= (i & mask) == mask ? -1.0 : 1.0;
            } else if (kind == 5) {
                const Mat& m = observable ? p.dense : oracle::axis_pauli(n, 2, q);
                measured(observable ? sim.measure_observable(p.p) : sim.measure(q), m, true);
            } else if (kind == 6) {
                const Mat& m = observable ? p.dense : on_q;
                const double chance = weight(projected(m, psi, flag));
                if (std::abs(chance - 1e-9) < 1e-12) continue;
                const auto call = [&] {
                    if (observable) return sim.postselect_observable(p.p, flag);
                    return axis == 0   ? sim.postselect_x(q, flag)
                           : axis == 1 ? sim.postselect_y(q, flag)
                                       : sim.postselect_z(q, flag);
                };
                if (chance > 1e-9) {
                    const MeasureResult r = call();
                    EXPECT_EQ(r.outcome, flag);
                    measured(r, m, false);
                } else {
                    const uint64_t rank = sim.rank();
                    EXPECT_THROW(call(), SimError);
                    EXPECT_EQ(sim.rank(), rank);
                }
            } else {
                const double p0 = weight(projected(on_q, psi, false)), u = uniforms.next();
                if (std::abs(u - p0) < 1e-9) break;  // the outcome is not predictable
                axis == 0   ? sim.reset_x(q)
                : axis == 1 ? sim.reset_y(q)
                : flag      ? sim.reset(q)
                            : sim.reset_z(q);
                collapse(psi, on_q, u >= p0);
                if (u >= p0) psi = oracle::axis_pauli(n, axis == 2 ? 0 : 2, q) * psi;
            }
            expect_state(sim, psi, "run " + std::to_string(run) + " step " + std::to_string(step));
        }
        sim.ensure_qubits(n);
        for (uint64_t q = 0; q < n; ++q) {
            for (unsigned axis = 0; axis < 3; ++axis) {
                EXPECT_NEAR(sim.peek_axis(static_cast<Axis>(axis), q),
                            expectation(oracle::axis_pauli(n, axis, q), psi), 1e-9);
                const RandomPauli p = random_pauli(rng, n, true);
                EXPECT_NEAR(sim.peek_observable_expectation(p.p), expectation(p.dense, psi), 1e-9);
            }
        }
    }
}

TEST(TableauSimulator, ConstructionFormsAndMigration) {
    const std::tuple<uint64_t, size_t, uint64_t> forms[] = {
        {0, 0, 1}, {64, 0, 1}, {65, 1, 2}, {256, 2, 4}, {512, 3, 8}, {513, 4, 9}, {600, 4, 10}};
    for (const auto& [n, tag, words] : forms) {
        const TS sim = TS::with_seed(n, 99);
        EXPECT_EQ(std::tuple(sim.amps.index(), sim.core.key_words, sim.rank(), sim.core.rng),
                  std::tuple(tag, words, uint64_t{1}, uint64_t{99}))
            << n;
    }
    // Growth keeps every amplitude bit for bit while the labels widen.
    TS sim = with_table(3, {{0, {0.6, 0.0}}, {5, {0.0, -0.8}}});
    sim.h(9);
    EXPECT_EQ(sim.amps.index(), 0u);
    sim.h(70);
    const auto& wide = std::get<Terms<Key<2>>>(sim.amps).map;
    EXPECT_EQ(wide.size(), 2u);
    EXPECT_EQ(*wide.find(Key<2>{{5, 0}}), (Complex{0.0, -0.8}));
    EXPECT_EQ(*wide.find(Key<2>{{0, 0}}), (Complex{0.6, 0.0}));
    sim.ensure_qubits(700);
    const uint64_t five[11] = {5};
    EXPECT_EQ(*std::get<Terms<Label>>(sim.amps).map.find(Label::from_words(five, 11)),
              (Complex{0.0, -0.8}));
    EXPECT_EQ(sim.core.key_words, 11u);
    EXPECT_NE(TS::with_entropy(1).core.rng, TS::with_entropy(1).core.rng);
}

// Everything a failed call must leave alone: register, frame, generator (unless it drew), table
// and scratch.
void expect_unchanged(const TS& sim, const TS& before, bool drew = false) {
    ASSERT_EQ(sim.num_qubits(), before.num_qubits());
    EXPECT_EQ(sim.core.rng != before.core.rng, drew);
    EXPECT_EQ(sim.amps.index(), before.amps.index());
    for (uint64_t r = 0; r < 2 * sim.num_qubits(); ++r) {
        EXPECT_TRUE(std::ranges::equal(sim.core.frame.row(r), before.core.frame.row(r)));
        EXPECT_EQ(sim.core.frame.sign(r), before.core.frame.sign(r));
    }
    EXPECT_EQ(sim.state_vector(), before.state_vector());
    const auto& scratch = std::get<Terms<Key<1>>>(sim.amps).scratch;
    EXPECT_TRUE(scratch.staged.empty() && scratch.new_pairs.empty() && scratch.partners.empty());
}

// Checks that `call` fails with `kind` and `message` and changes nothing but the generator (if
// `drew`) or, if `grown` is set, the register size it grew to before failing.
void expect_refused(TS start, const std::function<void(TS&)>& call, SimErrorKind kind,
                    const std::string& message, uint64_t grown = 0, bool drew = false) {
    const uint64_t rank = start.rank();
    TS sim = grown ? TS(std::move(start)) : TS(start);  // big growing cases are not copied
    try {
        call(sim);
        ADD_FAILURE() << message;
    } catch (const SimError& e) {
        EXPECT_EQ(e.kind(), kind);
        EXPECT_EQ(e.what(), message);
    }
    if (grown == 0) return expect_unchanged(sim, start, drew);
    EXPECT_EQ(std::pair(sim.num_qubits(), sim.rank()), std::pair(grown, rank));
}

TEST(TableauSimulator, HugeQubitIndicesFailWithoutChangingAnything) {
    TS sim = TS::with_seed(3, 0);
    sim.h(1);
    sim.t(1);
    const TS before = sim;
    for (const uint64_t q :
         {~uint64_t{0}, ~uint64_t{0} - 1, uint64_t{1} << 40, uint64_t{1} << 32}) {
        EXPECT_THROW(sim.h(q), std::bad_alloc) << q;
        EXPECT_THROW(sim.cx(0, q), std::bad_alloc) << q;
        EXPECT_THROW(sim.swap(q, q), std::bad_alloc) << q;
        EXPECT_THROW(sim.ccz(0, 1, q), std::bad_alloc) << q;
        EXPECT_THROW(sim.postselect_z(q, false), std::bad_alloc) << q;
        expect_unchanged(sim, before);
    }
    EXPECT_THROW(sim.ensure_qubits(~uint64_t{0}), std::bad_alloc);
    EXPECT_THROW(TS::with_seed(~uint64_t{0}, 0), std::bad_alloc);
    // A tableau of n qubits holds 32 n ceil(n / 64) bytes; the smallest one beyond the available
    // memory would be granted and then end the process while its rows are zeroed.
    const uint64_t memory = available_memory_bytes();
    uint64_t n = static_cast<uint64_t>(std::sqrt(static_cast<double>(memory)));
    while (32 * n * ((n + 63) / 64) <= memory)
        ++n;
    EXPECT_THROW(sim.h(n), std::bad_alloc);
    expect_unchanged(sim, before);
    EXPECT_THROW(TS::with_seed(n, 0), std::bad_alloc);
    // Widening the labels is refused the same way, before any label is made.
    Terms<Key<1>> narrow;
    for (uint64_t k = 0; k < 2048; ++k)
        narrow.map.insert_new(Key<1>{{k}}, Complex{1, 0});
    EXPECT_THROW(Terms<Label>::rekeyed(narrow.map, memory / (8 * 2048) + 1), std::bad_alloc);
    EXPECT_EQ(Terms<Label>::rekeyed(narrow.map, 9).map.size(), 2048u);
}

PauliString phased(PauliString p, uint8_t phase) {
    p.phase = phase;
    return p;
}

TEST(TableauSimulator, RefusalsChangeNothing) {
    const PauliString minus_z = phased(pauli_z(3, 0), 2), i_x9 = phased(pauli_x(10, 9), 1);
    using K = SimErrorKind;
    const std::string repeated = "gate received repeated qubit index ";
    const char* hermitian = "measurement and rotation axes must be Hermitian Paulis";
    const char* outside = "observable qubit index 5 is outside a 3-qubit register";
    const char* positive = "controlled-Pauli axes must be positive Hermitian Paulis";
    const struct {
        std::function<void(TS&)> call;
        K kind;
        std::string message;
    } cases[] = {
        {[&](TS& s) { s.ccz(1, 1, 2); }, K::RepeatedQubit, repeated + "1"},
        {[&](TS& s) { s.ccz(0, 2, 2); }, K::RepeatedQubit, repeated + "2"},
        {[&](TS& s) { s.peek_z(5); }, K::QubitOutOfRange, outside},
        // Out of range is reported before non-Hermitian.
        {[&](TS& s) { s.peek_observable_expectation(phased(pauli_z(6, 5), 1)); },
         K::QubitOutOfRange, outside},
        {[&](TS& s) { s.peek_observable_expectation(phased(pauli_x(3, 0), 1)); },
         K::NonHermitianAxis, hermitian},
        // Non-Hermitian axes beyond the register neither grow it nor draw.
        {[&](TS& s) { s.t_pauli(i_x9, false); }, K::NonHermitianAxis, hermitian},
        {[&](TS& s) { s.measure_observable(i_x9); }, K::NonHermitianAxis, hermitian},
        {[&](TS& s) { s.postselect_observable(i_x9, true); }, K::NonHermitianAxis, hermitian},
        {[&](TS& s) { s.t_pauli(phased(PauliString(1), 1), false); }, K::NonHermitianAxis,
         hermitian},
        {[&](TS& s) { s.controlled_pauli(phased(pauli_z(3, 0), 1), pauli_z(3, 1)); },
         K::ControlledPauliNotPositive, positive},
        {[&](TS& s) { s.controlled_pauli(pauli_z(3, 1), minus_z); }, K::ControlledPauliNotPositive,
         positive},
        // Anticommuting axes are reported first.
        {[&](TS& s) { s.controlled_pauli(pauli_x(3, 0), minus_z); }, K::ControlledPauliAnticommutes,
         "controlled-Pauli control and target must commute"},
    };
    TS base = TS::with_seed(3, 0);
    base.h(0);
    base.t(0);
    base.cx(0, 1);
    for (const auto& c : cases)
        expect_refused(base, c.call, c.kind, c.message);
    for (const Gate& g : kGates) {
        if (g.two && g.code != G::SWAP)
            expect_refused(
                base, [&](TS& s) { (s.*g.two)(5, 5); }, K::RepeatedQubit, repeated + "5");
    }
    TS sim = base;
    EXPECT_THROW(sim.controlled_pauli(pauli_z(3, 0), pauli_z(4, 0)), FatalError);
    sim.swap(4, 4);  // a no-op that grows the register
    EXPECT_EQ(sim.num_qubits(), 5u);
    sim.pauli(pauli_identity(40));
    sim.controlled_pauli(pauli_z(9, 8), pauli_identity(9));
    EXPECT_EQ(sim.num_qubits(), 9u);
    EXPECT_EQ(sim.peek_observable_expectation(pauli_identity(50)), 1);
    EXPECT_EQ(TS::with_seed(0, 0).peek_observable_expectation(phased(PauliString(0), 2)), -1);
}

TEST(TableauSimulator, RankCapAndPruningFailuresChangeNothing) {
    using enum SimErrorKind;
    const std::string rank = "stabilizer rank ";
    const std::string pruned = "prune epsilon 0.95 removed every amplitude";
    const double a = std::sqrt(0.8), b = std::sqrt(0.2);
    struct {
        TS start;
        std::function<void(TS&)> call;
        SimErrorKind kind;
        std::string message;
        uint64_t grown = 0;
        bool drew = false;
    } cases[] = {
        {plus_states(4, 3, 8), [](TS& s) { s.t(3); }, RankCapExceeded, rank + "16 exceeds cap 8"},
        // The diagonal path refuses a table that is already over the cap; the growth stays.
        {plus_states(4, 3, 4), [](TS& s) { s.t(7); }, RankCapExceeded, rank + "8 exceeds cap 4", 8},
        {plus_states(21, 20), [](TS& s) { s.t(20); }, RankCapExceeded,
         rank + "2097152 exceeds cap 1048576", 21},
        // c*1 = 0.92 and the new partner 0.38 both fall under the cut.
        {plus_states(1, 0, 8, 0.95), [](TS& s) { s.t(0); }, PrunedAllAmplitudes, pruned},
        // Rank 2 is above 3 >> 7, so ccz works on a copy; its Z_1 rotation already needs rank 4.
        // A coarser epsilon also takes the copying path; the first rotation prunes everything.
        {plus_states(3, 1, 3, 1e-12, 9), [](TS& s) { s.ccz(1, 2, 40); }, RankCapExceeded,
         rank + "4 exceeds cap 3"},
        {plus_states(3, 1, 1 << 20, 0.95, 9), [](TS& s) { s.ccz(1, 2, 40); }, PrunedAllAmplitudes,
         pruned},
        {with_table(1, {{0, {a, 0}}, {1, {b, 0}}}, 8, 0.5), [](TS& s) { s.postselect_z(0, true); },
         PrunedAllAmplitudes, "prune epsilon 0.5 removed every amplitude"},
        // The draw comes before the failure.
        {with_table(3, {{0, {0.5, 0}}, {2, {0.5, 0}}, {4, {0.5, 0}}, {6, {0.5, 0}}}, 3, 1e-12),
         [](TS& s) { s.measure(0); }, RankCapExceeded, rank + "4 exceeds cap 3", 0, true},
    };
    for (auto& c : cases)
        expect_refused(std::move(c.start), c.call, c.kind, c.message, c.grown, c.drew);
    // With room to spare the same call succeeds in place and grows the register.
    TS sim = plus_states(3, 1, uint64_t{1} << 20, 1e-12, 9);
    sim.ccz(1, 2, 40);
    EXPECT_EQ(sim.num_qubits(), 41u);
}

const AmplitudeTable<Key<1>>& table(const TS& sim) {
    return std::get<Terms<Key<1>>>(sim.amps).map;
}

TEST(Rotation, TKeepsTheAmplitudesPhaseAndPrunesCancelledLabels) {
    TS sim = plus_states(1, 1);
    EXPECT_EQ(*table(sim).find(Key<1>{{0}}), (Complex{kCosPi8, 0}));
    EXPECT_EQ(*table(sim).find(Key<1>{{1}}), (Complex{0, -kSinPi8}));
    sim.t_dag(0);  // label 1 stages exactly 0 and is pruned
    EXPECT_EQ(sim.rank(), 1u);
    EXPECT_NEAR(norm2(*table(sim).find(Key<1>{{0}})), 1, 1e-15);
    expect_unchanged(sim, sim);
    EXPECT_GT(std::get<Terms<Key<1>>>(sim.amps).scratch.staged.capacity(), 0u);
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

TEST(Measurement, ThresholdOfPostselection) {
    // p1 = |a1|^2 on a diagonal table; just above 1e-9 is accepted, just below refused.
    for (const double p1 : {1.0000001e-9, 0.9999999e-9}) {
        TS sim = with_table(1, {{0, {std::sqrt(1 - p1), 0}}, {1, {std::sqrt(p1), 0}}});
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

TEST(Measurement, FailuresChangeNeitherTableNorFrame) {
    // Random outcomes (the Pauli flips labels): the frame and table stay as they were.
    std::mt19937_64 rng(47);
    int failures = 0;
    for (int trial = 0; trial < 60; ++trial) {
        TS s = TS::with_seed(4, trial);
        test_support::scramble(s, rng, 25, /*with_t=*/true);
        if (s.rank() < 2) continue;
        s.core.rank_cap = 1;
        const TS before = s;
        try {
            s.measure_axis(static_cast<Axis>(rng() % 3), rng() % 4, std::nullopt);
        } catch (const SimError& e) {
            ++failures;
            EXPECT_EQ(e.kind(), SimErrorKind::RankCapExceeded);
            expect_unchanged(s, before, /*drew=*/true);
        }
    }
    EXPECT_GT(failures, 5);
}

TEST(Measurement, IdentityObservablesAreCertainAndStillDraw) {
    TS sim = TS::with_seed(2, 3);
    EXPECT_EQ(sim.measure_observable(PauliString(5)), (MeasureResult{1, false, true}));
    EXPECT_EQ(sim.measure_observable(phased(PauliString(5), 2)), (MeasureResult{1, true, true}));
    expect_unchanged(sim, TS::with_seed(2, 3), /*drew=*/true);
    uint64_t expected = 3;
    splitmix64_next(expected);
    splitmix64_next(expected);
    EXPECT_EQ(sim.core.rng, expected);
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
        {SimError::unproduced_batch_record(2),
         "conditional Pauli reads batch record 2, which the batch has not produced"},
    };
    for (const auto& [error, message] : cases)
        EXPECT_STREQ(error.what(), message);
}

}  // namespace
}  // namespace kelvo::tableau_simulator
