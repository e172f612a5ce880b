#include "compiler/optimizer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <numbers>
#include <random>
#include <string>

#include "circuit/parser.h"
#include "compiler/lowering.h"
#include "errors.h"
#include "testing/dense_circuit.h"
#include "testing/error_text.h"
#include "testing/random_circuit.h"

namespace kelvo {
namespace {

using testing::dense_detail::apply_pauli;
using testing::dense_detail::State;
using C = std::complex<double>;

PauliString signed_pauli(const char* text, bool negative) {
    PauliString p = pauli_string(text);
    p.phase = static_cast<uint8_t>((p.phase + 2 * negative) % 4);
    return p;
}
PendingOperation rot(const char* p, double angle, bool negative = false, bool sign = false) {
    return PendingPauliRotation{signed_pauli(p, negative), SymbolicBool{{}, sign}, angle, {}};
}
PendingOperation meas(const char* p, uint32_t record, bool negative = false) {
    return PendingPauliMeasurement{signed_pauli(p, negative), {}, record, {}, {}, {}};
}

// The Pauli on the three simulated qubits `at` (any other qubit carries at most Z, on |0>).
PauliString project(const PauliString& p, const uint64_t (&at)[3]) {
    PauliString out(3);
    for (uint64_t q = 0; q < 3; ++q) {
        out.set_xbit(q, p.xbit(at[q]));
        out.set_zbit(q, p.zbit(at[q]));
    }
    out.phase = p.phase;
    return out;
}

// Exact distribution of the records written by `ops` from |0...0>: record id -> bit, as text.
void run(std::span<const PendingOperation> ops, const uint64_t (&at)[3], State psi, double weight,
         std::string records, std::map<std::string, double>& out) {
    for (size_t i = 0; i < ops.size(); ++i) {
        if (const auto* r = std::get_if<PendingPauliRotation>(&ops[i])) {
            const double s = r->sign.constant ? -1 : 1;
            const State p_psi = apply_pauli(psi, project(r->pauli, at));
            for (size_t b = 0; b < psi.size(); ++b)
                psi[b] = std::cos(r->angle) * psi[b] - C(0, s * std::sin(r->angle)) * p_psi[b];
        } else if (const auto* m = std::get_if<PendingPauliMeasurement>(&ops[i])) {
            const State p_psi = apply_pauli(psi, project(m->pauli, at));
            for (const int bit : {0, 1}) {
                State branch(psi.size());
                for (size_t b = 0; b < psi.size(); ++b)
                    branch[b] = 0.5 * (psi[b] + (bit ? -1.0 : 1.0) * p_psi[b]);
                const double p = oracle::weight(branch);
                for (C& a : branch)
                    a /= std::sqrt(p);
                if (p > 1e-14)
                    run(ops.subspan(i + 1), at, branch, weight * p,
                        records + std::to_string(*m->record_id) + "=" + char('0' + bit) + " ", out);
            }
            return;
        } else {
            const auto& c = std::get<PendingClassicalRecord>(ops[i]);
            records += std::to_string(*c.record_id) + "=" + char('0' + c.value.constant) + " ";
        }
    }
    out[records] += weight;
}

// Every preserved prefix, the whole list included, gives the same records with the same
// probabilities before and after; records are text keyed by id, so reordering is harmless.
// Every other list lives on 140 qubits, its three qubits at 0, 64 and 128 (one bit of a 64-bit
// fold), every other axis with Z factors on idle qubits, so that Paulis span up to six qubits.
TEST(Optimizer, KeepsEveryPreservedPrefixDistribution) {
    std::mt19937_64 rng(17);
    const char* axes[] = {"ZII", "XII", "IZI", "IIY", "ZZI", "XIX", "IYZ"};
    const double angles[] = {std::numbers::pi / 8, -std::numbers::pi / 8, 0.3, 0.7};
    OptimizationResult total;
    for (int trial = 0; trial < 300; ++trial) {
        const bool wide = trial % 2;
        static constexpr uint64_t kNarrow[3] = {0, 1, 2}, kWide[3] = {0, 64, 128};
        const auto& at = wide ? kWide : kNarrow;
        PendingFactoredState state;
        uint32_t record = 1;
        for (int j = 0; j < 12; ++j) {
            const uint64_t axis = rng() % std::size(axes);
            PauliString p(wide ? 140 : 3);
            for (uint64_t q = 0; q < 3; ++q) {
                p.set_xbit(at[q], pauli_string(axes[axis]).xbit(q));
                p.set_zbit(at[q], pauli_string(axes[axis]).zbit(q));
            }
            for (uint64_t q = 0; wide && axis % 2 && q < 3; ++q)
                p.set_zbit(1 + 64 * q + axis, true);
            p.phase = static_cast<uint8_t>((p.y_count() + 2 * (rng() & 1)) % 4);
            if (rng() % 4 == 0) {
                state.pending.push_back(PendingPauliMeasurement{p, {}, record++, {}, {}, {}});
            } else if (rng() % 10 == 0) {
                state.pending.push_back(
                    PendingClassicalRecord{{{}, (rng() & 1) != 0}, record++, {}});
            } else {
                state.pending.push_back(
                    PendingPauliRotation{p, {{}, (rng() & 1) != 0}, angles[rng() % 4], {}});
            }
        }
        std::vector<uint64_t> preserved;
        for (uint64_t k = rng() % 3; k > 0; --k)
            preserved.push_back(rng() % 13);
        const std::vector<PendingOperation> before = state.pending;
        const OptimizationResult result = optimize_pending_operations(state, preserved);
        preserved.push_back(12);
        for (const uint64_t p : preserved) {
            std::map<std::string, double> old_prefix, new_prefix;
            State zero(8);
            zero[0] = 1;
            run(std::span(before).first(p), at, zero, 1.0, "", old_prefix);
            run(std::span(state.pending).first(result.position_map[p]), at, zero, 1.0, "",
                new_prefix);
            ASSERT_EQ(old_prefix.size(), new_prefix.size());
            for (const auto& [key, prob] : old_prefix)
                ASSERT_NEAR(new_prefix.at(key), prob, 1e-9) << key;
        }
        total.merged_rotations += result.merged_rotations;
        total.cancelled_rotations += result.cancelled_rotations;
        total.moved_positions += result.moved_positions;
    }
    EXPECT_GT(total.merged_rotations, 200u);
    EXPECT_GT(total.cancelled_rotations, 20u);
    EXPECT_GT(total.moved_positions, 100u);
}

TEST(Optimizer, ExactResults) {
    const double t = std::numbers::pi / 8;
    const struct Case {
        std::vector<PendingOperation> ops;
        std::vector<uint64_t> preserved;
        std::vector<PendingOperation> want;
        uint64_t merged, cancelled, moved;
        std::vector<int32_t> map;
    } cases[] = {
        // clang-format off
        {{rot("Z", t), rot("Z", t)}, {}, {rot("Z", 2 * t)}, 1, 0, 0, {0, -1, 1}},
        {{rot("Z", t), rot("Z", -t)}, {}, {}, 1, 1, 0, {0, -1, 0}},
        {{rot("Z", 0.5, true), rot("Z", 0.75)}, {}, {rot("Z", 0.25)}, 1, 0, 0, {0, -1, 1}},
        {{rot("Z", t), meas("X", 1), rot("Z", t)}, {},
         {rot("Z", t), meas("X", 1), rot("Z", t)}, 0, 0, 0, {0, -1, -1, 3}},
        {{rot("ZI", t), meas("ZI", 1), rot("ZI", t)}, {},
         {meas("ZI", 1), rot("ZI", 2 * t)}, 1, 0, 0, {0, -1, -1, 2}},
        {{rot("Z", t), rot("Z", t)}, {1, 1, 0}, {rot("Z", t), rot("Z", t)}, 0, 0, 0, {0, 1, 2}},
        // Without a merge a measurement only moves onto its own axis...
        {{rot("XI", t), rot("IZ", t), rot("ZZ", 0.2), meas("IZ", 1)}, {},
         {rot("XI", t), meas("IZ", 1), rot("IZ", t), rot("ZZ", 0.2)}, 0, 0, 2, {0, -1, -1, -1, 4}},
        {{rot("XI", t), rot("IZ", t), rot("XX", t), meas("IZ", 1)}, {},
         {rot("XI", t), rot("IZ", t), rot("XX", t), meas("IZ", 1)}, 0, 0, 0, {0, -1, -1, -1, 4}},
        // ...after one, past every commuting rotation.
        {{rot("XI", t), rot("XI", t), rot("IZ", t), meas("IZ", 1)}, {},
         {meas("IZ", 1), rot("XI", 2 * t), rot("IZ", t)}, 1, 0, 2, {0, -1, -1, -1, 3}},
        // Without a rotation nothing merges or moves.
        {{meas("Z", 1), meas("X", 2), meas("Z", 3)}, {2, 0},
         {meas("Z", 1), meas("X", 2), meas("Z", 3)}, 0, 0, 0, {0, -1, 2, 3}},
        // An expectation request leaves the list alone.
        {{rot("Z", t), rot("Z", t), PendingPauliMeasurement{pauli_string("Z"), {}, {}, {}, 0, {}}}, {9},
         {rot("Z", t), rot("Z", t), PendingPauliMeasurement{pauli_string("Z"), {}, {}, {}, 0, {}}},
         0, 0, 0, {0, 1, 2, 3}},
        // clang-format on
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        PendingFactoredState state;
        state.pending = c.ops;
        const OptimizationResult got = optimize_pending_operations(state, c.preserved);
        EXPECT_EQ(state.pending, c.want) << "case " << i;
        const OptimizationResult want{c.map,    c.ops.size(), c.want.size(),
                                      c.merged, c.cancelled,  c.moved};
        EXPECT_EQ(got, want) << "case " << i;
        EXPECT_TRUE(state.optimized);
        EXPECT_EQ(state.in_order, i + 1 == std::size(cases));
    }
}

// With signs relative to the last measurement of their body, rotations merge exactly where
// their full signs allow: the optimized list, expanded, is that of the full signs. The fixed
// bodies merge T gates across measurements of their own axis, with and without errors between.
TEST(Optimizer, RelativeSignsMergeAsTheirFullSigns) {
    std::vector<std::string> texts = {
        "REPEAT 20 {\nT 0\nM 0\nT 0\nX_ERROR(0.1) 1\nCX 1 0\n}\n",
        "REPEAT 20 {\nT 0\nM(0.1) 0\nT_DAG 0\nX_ERROR(0.1) 0\nM 0\nT 0\nT 0\n}\n",
        "REPEAT 20 {\nR_Z(0.3) 0\nMPP Z0*Z1\nM 0\nR_Z(0.2) 0\nZ_ERROR(0.2) 0\nH 1\n}\n",
        // Inverted measurements between: anchors whose full signs differ in their constant.
        "REPEAT 20 {\nT 0\nM 0\nT 0\nM !0\nR_Z(0.1) 0\nX_ERROR(0.1) 0\n}\n",
    };
    testing::RandomCircuit gen(17);
    for (int i = 0; i < 150; ++i)
        texts.push_back(gen.make(true) + "REPEAT " + std::to_string(3 + i % 12) + " {\n" +
                        gen.make(true) + "}\n");
    for (const std::string& text : texts) {
        const Circuit c = parse_kelvo_circuit_text(text);
        PendingFactoredState relative =
            PendingFactoredState::from_frame_state(std::move(lower_circuit_with_anchors(c).state));
        PendingFactoredState full =
            PendingFactoredState::from_frame_state(std::move(lower_circuit_to_factored(c).state));
        const OptimizationResult a = optimize_pending_operations(relative, {});
        ASSERT_EQ(a, optimize_pending_operations(full, {})) << text;
        expand_anchored_signs(relative.pending);
        ASSERT_EQ(relative.pending, full.pending) << text;
    }
}

TEST(Optimizer, Refusals) {
    PauliString imaginary = pauli_string("Z");
    imaginary.phase = 1;
    const std::tuple<std::vector<PendingOperation>, uint64_t, bool, const char*> cases[] = {
        {{rot("Z", 0.1)}, 2, false, "preserved pending-operation prefix is out of range"},
        {{PendingPauliRotation{imaginary, {}, 0.1, {}}},
         1,
         false,
         "pending Pauli rotation must have a Hermitian generator"},
        {{}, 0, true, "pending-operation optimization must run before planning"},
    };
    for (const auto& [ops, preserved, planned, message] : cases) {
        PendingFactoredState state;
        state.pending = ops;
        if (planned) state.checkpoints.push_back(0);
        testing::expect_refused(
            [&] { optimize_pending_operations(state, std::vector<uint64_t>{preserved}); }, message);
    }
}

}  // namespace
}  // namespace kelvo
