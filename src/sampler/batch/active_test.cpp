#include "sampler/batch/active.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <functional>
#include <random>

#include "format.h"
#include "sampler/contiguous.h"
#include "splitmix64.h"
#include "testing/error_text.h"

namespace kelvo {
namespace {

using Rotation = PrecomputedActivePauliRotationKernel;
using Measurement = PrecomputedActivePauliMeasurementKernel;
using Shot = std::vector<double>;  // re[0..B) then im[0..B)

// Truth: the contiguous kernels (checked against dense matrices), run shot by shot on copies.
struct Batch {
    FactoredInstructionProgram program;
    BatchFactoredExecutorState state;

    // `live` shots of a batch of `capacity`, k active qubits, each shot a random state.
    Batch(bool shot_major, uint64_t capacity, uint64_t live, uint64_t k, std::mt19937_64& rng,
          uint64_t max_k = 5) {
        program.num_qubits = 6;
        program.initial_active_qubits = k;
        program.active_qubits = max_k;
        program.num_symbols = 4;
        program.num_exp_vals = 2;
        state = BatchFactoredExecutorState(program, capacity, 1);
        state.shot_major = shot_major;
        reset_batch_executor(state, program, live);
        std::normal_distribution<double> normal;
        for (uint64_t s = 0; s < live; ++s) {
            Shot v(2 * state.basis_capacity, 0.0);
            double norm = 0;
            for (uint64_t b = 0; b < (uint64_t{1} << k); ++b) {
                v[b] = normal(rng), v[state.basis_capacity + b] = normal(rng);
                norm += v[b] * v[b] + v[state.basis_capacity + b] * v[state.basis_capacity + b];
            }
            for (double& x : v)
                x /= std::sqrt(norm);
            set(s, v);
        }
    }
    uint64_t slot(uint64_t s, uint64_t b) const {
        return state.shot_major ? s * state.basis_capacity + b : b * state.shot_stride + s;
    }
    Shot get(uint64_t s) const {
        Shot v(2 * state.basis_capacity);
        for (uint64_t b = 0; b < state.basis_capacity; ++b) {
            v[b] = state.amplitude_re[slot(s, b)];
            v[state.basis_capacity + b] = state.amplitude_im[slot(s, b)];
        }
        return v;
    }
    void set(uint64_t s, const Shot& v) {
        for (uint64_t b = 0; b < state.basis_capacity; ++b) {
            state.amplitude_re[slot(s, b)] = v[b];
            state.amplitude_im[slot(s, b)] = v[state.basis_capacity + b];
        }
    }
    std::span<double> re(Shot& v) const { return {v.data(), state.basis_capacity}; }
    std::span<double> im(Shot& v) const { return {v.data() + state.basis_capacity, v.size() / 2}; }
};

void expect_near(const Shot& got, const Shot& want, uint64_t dimension, uint64_t block,
                 const std::string& what) {
    for (uint64_t b = 0; b < dimension; ++b) {
        ASSERT_NEAR(got[b], want[b], 1e-12) << what << " basis " << b;
        ASSERT_NEAR(got[block + b], want[block + b], 1e-12) << what << " basis " << b;
    }
}

PauliString pauli(uint64_t k, uint64_t x, uint64_t z, bool negative = false) {
    PauliString p(k);
    p.x[0] = x;
    p.z[0] = z;
    p.phase = static_cast<uint8_t>((std::popcount(x & z) + 2 * negative) % 4);
    return p;
}

struct Layout {
    bool shot_major;
    uint64_t capacity, live;
};
// Shot-major, basis-major with T > live (padding), basis-major with one shot.
constexpr Layout kLayouts[] = {{true, 70, 67}, {false, 70, 67}, {false, 1, 1}, {true, 5, 5}};

TEST(BatchActive, RotationsAndPromotionsMatchTheContiguousKernels) {
    std::mt19937_64 rng(1);
    const uint64_t k = 3;
    // Diagonal, X-only and general Paulis, with odd and even Y parity.
    const std::pair<uint64_t, uint64_t> masks[] = {{0, 5}, {6, 0}, {3, 1}, {3, 4}, {7, 7}};
    for (const Layout& layout : kLayouts) {
        // Signs: random, all set, none, and a row one word short.
        const std::vector<uint64_t> sign_rows[] = {{rng(), rng()}, {~0ull, ~0ull}, {}, {rng()}};
        for (const auto& [x, z] : masks) {
            for (const auto& signs : sign_rows) {
                Batch batch(layout.shot_major, layout.capacity, layout.live, k, rng);
                const Rotation kernel(ActivePauliAction(pauli(k, x, z)), 0.3);
                std::vector<Shot> want;
                for (uint64_t s = 0; s < layout.live; ++s) {
                    want.push_back(batch.get(s));
                    const bool sign = s / 64 < signs.size() && ((signs[s / 64] >> (s % 64)) & 1);
                    rotate_contiguous_active(batch.re(want[s]), batch.im(want[s]), 8, kernel, sign);
                    promote_contiguous_active(batch.re(want[s]), batch.im(want[s]), 8,
                                              std::cos(0.7), sign ? std::sin(0.7) : -std::sin(0.7));
                }
                rotate_pauli_batch(batch.state, kernel, signs);
                promote_first_dormant_rotation_batch(batch.state, signs, 0.7);
                EXPECT_EQ(batch.state.active_qubits, 4u);
                EXPECT_EQ(batch.state.dormant_qubits, 2u);
                for (uint64_t s = 0; s < layout.live; ++s)
                    expect_near(batch.get(s), want[s], 16, batch.state.basis_capacity, "shot");
            }
        }
    }
}

TEST(BatchActive, MeasurementsMatchTheContiguousKernels) {
    std::mt19937_64 rng(2);
    const uint64_t k = 3;
    // Z-type (plain, negative, with rest) and X-carrying measurements.
    const std::tuple<uint64_t, uint64_t, bool> paulis[] = {
        {0, 4, false}, {0, 6, true}, {0, 1, false}, {2, 3, false}, {5, 4, false}, {1, 0, true}};
    for (const Layout& layout : kLayouts) {
        for (const auto& [x, z, negative] : paulis) {
            Batch batch(layout.shot_major, layout.capacity, layout.live, k, rng);
            const Measurement kernel = Measurement::from_pauli(pauli(k, x, z, negative));
            const std::vector<uint64_t> signs = {rng(), rng()};
            batch.state.rng_state = 99;
            uint64_t rng_state = 99;
            std::vector<Shot> before, want;
            std::vector<double> probability;
            for (uint64_t s = 0; s < layout.live; ++s) {
                before.push_back(batch.get(s));
                Shot& v = before.back();
                probability.push_back(
                    kernel.kind == ActiveMeasurementKind::Diagonal
                        ? diagonal_probability_contiguous(batch.re(v), batch.im(v), kernel)
                        : nondiagonal_probability_contiguous(batch.re(v), batch.im(v), kernel));
            }
            measure_precomputed_active_pauli_expectation_batch(batch.state, kernel, signs, 1);
            for (uint64_t s = 0; s < layout.live; ++s) {
                const double m = (signs[s / 64] >> (s % 64)) & 1 ? -1.0 : 1.0;
                EXPECT_NEAR(batch.state.exp_values[batch.state.batch_capacity + s],
                            m * (1 - 2 * probability[s]), 1e-12);
                expect_near(batch.get(s), before[s], 8, batch.state.basis_capacity, "unchanged");
            }
            std::vector<uint64_t> branch;
            measure_precomputed_active_pauli_branch_batch(batch.state, kernel, 3, branch);
            EXPECT_EQ(batch.state.active_qubits, 2u);
            EXPECT_EQ(batch.state.dormant_qubits, 4u);
            ASSERT_EQ(branch.size(), batch.state.words_per_batch);
            for (uint64_t s = 0; s < layout.live; ++s) {
                const double p = probability[s];
                const bool outcome = (branch[s / 64] >> (s % 64)) & 1;
                // One draw per shot with 0 < p < 1, in shot order; true iff u < p.
                if (p > 0 && p < 1) {
                    EXPECT_EQ(outcome, splitmix64_uniform(rng_state) < p);
                }
                Shot v = before[s];
                Shot scratch(2 * batch.state.basis_capacity);
                const double scale = 1 / std::sqrt(outcome ? p : 1 - p);
                if (kernel.kind == ActiveMeasurementKind::Diagonal) {
                    project_diagonal_contiguous(batch.re(v), batch.im(v), kernel, outcome, scale);
                } else {
                    project_nondiagonal_contiguous(batch.re(v), batch.im(v), batch.re(scratch),
                                                   batch.im(scratch), kernel, outcome, scale);
                }
                expect_near(batch.get(s), v, 4, batch.state.basis_capacity, "projected");
            }
            EXPECT_EQ(batch.state.rng_state, rng_state);
            for (uint64_t w = 0; w < branch.size(); ++w) {
                EXPECT_EQ(batch.state.symbol_table[2 * batch.state.words_per_batch + w], branch[w]);
                EXPECT_EQ(branch[w] & ~live_word_mask(w, layout.live), 0u);
            }
        }
    }
}

TEST(BatchActive, BranchStatisticsAndPinning) {
    std::mt19937_64 rng(3);
    for (const bool shot_major : {true, false}) {
        // 2^16 shots with P(true) = 0.3: the true count within 5 sigma of the binomial.
        Batch batch(shot_major, 1 << 16, 1 << 16, 1, rng, 1);
        const Measurement z = Measurement::from_pauli(pauli(1, 0, 1));
        for (uint64_t s = 0; s < (1 << 16); ++s)
            batch.set(s, {std::sqrt(0.7), std::sqrt(0.3), 0, 0});
        std::vector<uint64_t> branch;
        measure_precomputed_active_pauli_branch_batch(batch.state, z, 1, branch);
        uint64_t count = 0;
        for (const uint64_t w : branch)
            count += std::popcount(w);
        EXPECT_LE(std::abs(static_cast<double>(count) - 0.3 * 65536),
                  5 * std::sqrt(65536 * 0.3 * 0.7));

        // Outcomes fixed by the state (|0> and |1> shots) draw nothing.
        Batch fixed(shot_major, 70, 70, 1, rng, 1);
        for (uint64_t s = 0; s < 70; ++s)
            fixed.set(s, {s % 2 == 0 ? 1.0 : 0.0, s % 2 * 1.0, 0, 0});
        fixed.state.rng_state = 5;
        std::vector<uint64_t> fixed_branch;
        measure_precomputed_active_pauli_branch_batch(fixed.state, z, 1, fixed_branch);
        EXPECT_EQ(fixed.state.rng_state, 5u);
        EXPECT_EQ(fixed_branch, (std::vector<uint64_t>{0xAAAAAAAAAAAAAAAA, 0x2A}));

        // Pinned rows are honoured on fair coins and draw nothing.
        Batch pinned(shot_major, 70, 70, 1, rng, 1);
        for (uint64_t s = 0; s < 70; ++s)
            pinned.set(s, {std::sqrt(0.5), std::sqrt(0.5), 0, 0});
        const std::vector<uint64_t> pins = {rng()};            // shots 64..69 read as false
        std::vector<uint64_t> pinned_branch(3, ~uint64_t{0});  // longer rows are cleared
        measure_precomputed_active_pauli_branch_batch(pinned.state, z, 2, pinned_branch, pins);
        EXPECT_EQ(pinned_branch, (std::vector<uint64_t>{pins[0], 0, 0}));
        EXPECT_EQ(pinned.state.rng_state, 1u);
        for (uint64_t s = 0; s < 70; ++s)
            EXPECT_NEAR(pinned.get(s)[0], 1.0, 1e-15);
    }
    // Pinning tolerates 1e-9 off one half, no more.
    Batch batch(false, 8, 8, 1, rng, 1);
    std::vector<uint64_t> branch;
    std::fill_n(batch.state.shot_scalars_b.begin(), 8, 0.5 + 5e-10);
    sample_batch_measurement_branches_pinned(batch.state, branch, std::vector<uint64_t>{0xF0});
    EXPECT_EQ(branch[0], 0xF0u);
    batch.state.shot_scalars_b[3] = 0.5 + 2e-9;
    testing::expect_refused(
        [&] { sample_batch_measurement_branches_pinned(batch.state, branch, {}); },
        "pinned measurement branch has probability " + format_float(0.5 + 2e-9) +
            ", not one half; pinning it would bias sampling");
}

TEST(BatchActive, NoLiveShotsStillMoveQubits) {
    std::mt19937_64 rng(6);
    for (const Layout& layout : kLayouts) {
        Batch batch(layout.shot_major, layout.capacity, 0, 2, rng);
        const std::vector<double> re = batch.state.amplitude_re, im = batch.state.amplitude_im;
        std::vector<uint64_t> branch;
        rotate_pauli_batch(batch.state, Rotation(ActivePauliAction(pauli(2, 1, 2)), 0.3), {});
        promote_first_dormant_rotation_batch(batch.state, {}, 0.3);
        measure_precomputed_active_pauli_branch_batch(
            batch.state, Measurement::from_pauli(pauli(3, 4, 0)), 1, branch);
        EXPECT_EQ(batch.state.active_qubits, 2u);
        EXPECT_EQ(batch.state.dormant_qubits, 4u);
        EXPECT_EQ(batch.state.amplitude_re, re);
        EXPECT_EQ(batch.state.amplitude_im, im);
        EXPECT_EQ(batch.state.rng_state, 1u);
    }
}

TEST(BatchActive, ComponentBuffersComeBackOnEveryPath) {
    std::mt19937_64 rng(4);
    Batch batch(true, 4, 4, 2, rng);
    BatchFactoredExecutorState& state = batch.state;
    state.components.resize(2);
    BatchActiveComponent& c = state.components[1];
    c.active = true;
    c.active_qubits = 1;
    c.basis_capacity = 2;
    c.amplitude_re = {1, 0, 1, 0, 1, 0, 0, 1};
    c.amplitude_im.assign(8, 0.0);
    const std::vector<double> flat = state.amplitude_re;
    const Rotation x(ActivePauliAction(pauli(1, 1, 0)), M_PI / 2);  // -i X
    with_batch_component(state, 1, x, std::vector<uint64_t>{0b1000});
    EXPECT_EQ(state.amplitude_re, flat);
    EXPECT_EQ(state.active_qubits, 2u);
    EXPECT_EQ(state.dormant_qubits, 4u);
    EXPECT_EQ(state.basis_capacity, 32u);
    EXPECT_NEAR(c.amplitude_im[1], -1, 1e-15);  // shot 0: -i|1>
    EXPECT_NEAR(c.amplitude_im[6], 1, 1e-15);   // shot 3 (sign set): +i|0>

    // A kernel refusal and a fatal assertion both give the buffers back.
    const Rotation wide(ActivePauliAction(pauli(2, 1, 0)), 0.1);
    c.basis_capacity = 1 << 20;  // lies about its storage
    const std::function<void()> failing[] = {[&] { with_batch_component(state, 1, wide, {}); },
                                             [&] { with_batch_component(state, 1, x, {}); }};
    for (const auto& call : failing) {
        EXPECT_ANY_THROW(call());
        EXPECT_EQ(state.amplitude_re, flat);
        EXPECT_EQ(c.amplitude_re.size(), 8u);
        EXPECT_EQ(state.active_qubits, 2u);
        EXPECT_EQ(state.basis_capacity, 32u);
    }
    state.components[0].active = false;
    testing::expect_refused([&] { with_batch_component(state, 0, x, {}); },
                            "cannot execute an instruction on an inactive component");
}

TEST(BatchActive, Refusals) {
    std::mt19937_64 rng(5);
    Batch batch(true, 4, 4, 2, rng);
    BatchFactoredExecutorState& state = batch.state;
    const Rotation wrong_rotation(ActivePauliAction(pauli(3, 1, 0)), 0.1);
    const Measurement wrong_measurement = Measurement::from_pauli(pauli(3, 0, 1));
    const Measurement z = Measurement::from_pauli(pauli(2, 0, 1));
    std::vector<uint64_t> branch;
    testing::expect_refused([&] { rotate_pauli_batch(state, wrong_rotation, {}); },
                            "rotation kernel dimension does not match batch active state");
    testing::expect_refused(
        [&] { measure_precomputed_active_pauli_branch_batch(state, wrong_measurement, 1, branch); },
        "measurement kernel dimension does not match batch active state");
    testing::expect_refused(
        [&] { measure_precomputed_active_pauli_expectation_batch(state, z, {}, 2); },
        "expectation value index is out of range");
    state.shot_scalars_b[0] = std::nan("");
    testing::expect_refused([&] { sample_batch_measurement_branches_from_true(state, branch); },
                            "probability must be between 0 and 1");
    state.basis_capacity = 4;
    testing::expect_refused([&] { promote_first_dormant_rotation_batch(state, {}, 0.1); },
                            "batch active shot-major stride is too short for dormant promotion");
    state.dormant_qubits = 0;
    testing::expect_refused([&] { promote_first_dormant_rotation_batch(state, {}, 0.1); },
                            "cannot promote a dormant qubit when none remain");
    state.active_qubits = 0;
    testing::expect_refused(
        [&] { measure_precomputed_active_pauli_branch_batch(state, z, 1, branch); },
        "cannot measure an active Pauli when k == 0");
}

}  // namespace
}  // namespace kelvo
