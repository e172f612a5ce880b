#include "sampler/batch/active.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <random>

#include "format.h"
#include "sampler/batch/symbols.h"
#include "sampler/contiguous.h"
#include "splitmix64.h"
#include "testing/error_text.h"

namespace kelvo {
namespace {

using Rotation = PrecomputedActivePauliRotationKernel;
using Measurement = PrecomputedActivePauliMeasurementKernel;
struct Shot {
    std::vector<double> re, im;
};

// Truth: the contiguous kernels (checked against dense matrices), run shot by shot on copies.
struct Batch {
    FactoredInstructionProgram program;
    BatchFactoredExecutorState state;

    // `live` shots of a batch of `capacity`, k active qubits, every shot slot a random state
    // (or left as reset when `random` is false).
    Batch(bool shot_major, uint64_t capacity, uint64_t live, uint64_t k, std::mt19937_64& rng,
          uint64_t max_k = 5, bool random = true) {
        program.num_qubits = 6;
        program.initial_active_qubits = k;
        program.active_qubits = max_k;
        program.num_symbols = 4;
        program.num_exp_vals = 2;
        state = BatchFactoredExecutorState(program, capacity, 1);
        state.shot_major = shot_major;
        reset_batch_executor(state, program, live);
        std::normal_distribution<double> normal;
        for (uint64_t s = 0; s < capacity && random; ++s) {
            Shot v = get(s);
            double norm = 0;
            for (uint64_t b = 0; b < state.basis_capacity; ++b) {
                v.re[b] = b >> k ? 0 : normal(rng), v.im[b] = b >> k ? 0 : normal(rng);
                norm += v.re[b] * v.re[b] + v.im[b] * v.im[b];
            }
            for (uint64_t b = 0; b < state.basis_capacity; ++b)
                v.re[b] /= std::sqrt(norm), v.im[b] /= std::sqrt(norm);
            set(s, v);
        }
    }
    uint64_t slot(uint64_t s, uint64_t b) const {
        return state.shot_major ? s * state.basis_capacity + b : b * state.shot_stride + s;
    }
    Shot get(uint64_t s) const {
        Shot v{std::vector<double>(state.basis_capacity),
               std::vector<double>(state.basis_capacity)};
        for (uint64_t b = 0; b < state.basis_capacity; ++b)
            v.re[b] = state.amplitude_re[slot(s, b)], v.im[b] = state.amplitude_im[slot(s, b)];
        return v;
    }
    void set(uint64_t s, const Shot& v) {
        for (uint64_t b = 0; b < state.basis_capacity; ++b)
            state.amplitude_re[slot(s, b)] = v.re[b], state.amplitude_im[slot(s, b)] = v.im[b];
    }
};

void expect_near(const Shot& got, const Shot& want, uint64_t dimension, const std::string& what) {
    for (uint64_t b = 0; b < dimension; ++b) {
        ASSERT_NEAR(got.re[b], want.re[b], 1e-12) << what << " basis " << b;
        ASSERT_NEAR(got.im[b], want.im[b], 1e-12) << what << " basis " << b;
    }
}

PauliString pauli(uint64_t k, uint64_t x, uint64_t z, bool negative = false) {
    PauliString p(k);
    p.x[0] = x;
    p.z[0] = z;
    p.phase = static_cast<uint8_t>((std::popcount(x & z) + 2 * negative) % 4);
    return p;
}

// Shot-major, basis-major with T > live (padding), basis-major with one shot; none live.
constexpr std::tuple<bool, uint64_t, uint64_t> kLayouts[] = {
    {true, 70, 67}, {false, 70, 67}, {false, 1, 1}, {true, 5, 5},
    {true, 70, 0},  {false, 70, 0},  {false, 1, 0}};

// A rotation and a promotion (3 -> 4 qubits), then a measurement read as an expectation value
// and then sampled (4 -> 3 qubits), shot by shot against the contiguous kernels.
TEST(BatchActive, KernelsMatchTheContiguousKernels) {
    std::mt19937_64 rng(1);
    // Rotations: diagonal, X-only and general Paulis, with odd and even Y parity.
    const std::pair<uint64_t, uint64_t> rotations[] = {{0, 5}, {6, 0}, {3, 1}, {3, 4}, {7, 7}};
    // Measurements: Z-type (plain, negative, with rest, on the promoted qubit) and X-carrying.
    const std::tuple<uint64_t, uint64_t, bool> measurements[] = {
        {0, 4, false}, {0, 6, true}, {0, 9, false}, {2, 3, false}, {13, 4, false}, {8, 0, true}};
    int round = 0;
    for (const auto& [shot_major, capacity, live] : kLayouts) {
        // Signs: random, all set, none, and a row one word short.
        const std::vector<uint64_t> sign_rows[] = {{rng(), rng()}, {~0ull, ~0ull}, {}, {rng()}};
        for (const auto& [x, z] : rotations) {
            for (const auto& signs : sign_rows) {
                Batch batch(shot_major, capacity, live, 3, rng);
                const Batch before = batch;
                const Rotation rotation(ActivePauliAction(pauli(3, x, z)), 0.3);
                const auto [mx, mz, negative] = measurements[round++ % std::size(measurements)];
                const Measurement kernel = Measurement::from_pauli(pauli(4, mx, mz, negative));
                const bool diagonal = kernel.kind == ActiveMeasurementKind::Diagonal;
                const auto sign_of = [&](uint64_t s) {
                    return s / 64 < signs.size() && ((signs[s / 64] >> (s % 64)) & 1);
                };
                std::vector<Shot> want;
                std::vector<double> probability;
                for (uint64_t s = 0; s < live; ++s) {
                    Shot& v = want.emplace_back(batch.get(s));
                    rotate_contiguous_active(v.re, v.im, 8, rotation, sign_of(s));
                    promote_contiguous_active(v.re, v.im, 8, std::cos(0.7),
                                              sign_of(s) ? std::sin(0.7) : -std::sin(0.7));
                    probability.push_back(
                        diagonal ? diagonal_probability_contiguous(v.re, v.im, kernel)
                                 : nondiagonal_probability_contiguous(v.re, v.im, kernel));
                }
                rotate_pauli_batch(batch.state, rotation, signs);
                promote_first_dormant_rotation_batch(batch.state, signs, 0.7);
                EXPECT_EQ(batch.state.active_qubits, 4u);
                EXPECT_EQ(batch.state.dormant_qubits, 2u);
                measure_precomputed_active_pauli_expectation_batch(batch.state, kernel, signs, 1);
                for (uint64_t s = 0; s < live; ++s) {
                    expect_near(batch.get(s), want[s], 16, "shot");
                    EXPECT_NEAR(batch.state.exp_values[batch.state.batch_capacity + s],
                                (sign_of(s) ? -1 : 1) * (1 - 2 * probability[s]), 1e-12);
                }
                batch.state.rng_state = 99;
                uint64_t rng_state = 99;
                std::vector<uint64_t> branch;
                measure_precomputed_active_pauli_branch_batch(batch.state, kernel, 3, branch);
                EXPECT_EQ(batch.state.active_qubits, 3u);
                EXPECT_EQ(batch.state.dormant_qubits, 3u);
                ASSERT_EQ(branch.size(), batch.state.words_per_batch);
                for (uint64_t s = 0; s < live; ++s) {
                    const double p = probability[s];
                    const bool outcome = (branch[s / 64] >> (s % 64)) & 1;
                    // One draw per shot with 0 < p < 1, in shot order; true iff u < p.
                    if (p > 0 && p < 1) {
                        EXPECT_EQ(outcome, splitmix64_uniform(rng_state) < p);
                    }
                    Shot& v = want[s];
                    Shot scratch = v;
                    const double scale = 1 / std::sqrt(outcome ? p : 1 - p);
                    if (diagonal) {
                        project_diagonal_contiguous(v.re, v.im, kernel, outcome, scale);
                    } else {
                        project_nondiagonal_contiguous(v.re, v.im, scratch.re, scratch.im, kernel,
                                                       outcome, scale);
                    }
                    expect_near(batch.get(s), v, 8, "projected");
                }
                EXPECT_EQ(batch.state.rng_state, rng_state);
                for (uint64_t w = 0; w < branch.size(); ++w) {
                    EXPECT_EQ(batch_symbol_row(batch.state, 3)[w], branch[w]);
                    EXPECT_EQ(branch[w] & ~live_word_mask(w, live), 0u);
                }
                if (live == 0) {  // nothing moves but the qubit counts
                    EXPECT_EQ(batch.state.amplitude_re, before.state.amplitude_re);
                    EXPECT_EQ(batch.state.amplitude_im, before.state.amplitude_im);
                }
            }
        }
    }
}

TEST(BatchActive, BranchStatisticsAndPinning) {
    std::mt19937_64 rng(3);
    const Measurement z = Measurement::from_pauli(pauli(1, 0, 1));
    // One qubit in sqrt(1 - p)|0> + sqrt(p)|1>, p = p_of(shot).
    const auto batch_of = [&](bool shot_major, uint64_t shots, auto p_of) {
        Batch batch(shot_major, shots, shots, 1, rng, 1, false);
        for (uint64_t s = 0; s < shots; ++s)
            batch.set(s, {{std::sqrt(1 - p_of(s)), std::sqrt(p_of(s))}, {0, 0}});
        return batch;
    };
    for (const bool shot_major : {true, false}) {
        // 2^16 shots with P(true) = 0.3: the true count within 5 sigma of the binomial.
        Batch batch = batch_of(shot_major, 1 << 16, [](uint64_t) { return 0.3; });
        std::vector<uint64_t> branch;
        measure_precomputed_active_pauli_branch_batch(batch.state, z, 1, branch);
        uint64_t count = 0;
        for (const uint64_t w : branch)
            count += std::popcount(w);
        EXPECT_LE(std::abs(static_cast<double>(count) - 0.3 * 65536),
                  5 * std::sqrt(65536 * 0.3 * 0.7));

        // Outcomes fixed by the state (|0> and |1> shots) draw nothing.
        Batch fixed = batch_of(shot_major, 70, [](uint64_t s) { return s % 2 * 1.0; });
        fixed.state.rng_state = 5;
        branch.clear();
        measure_precomputed_active_pauli_branch_batch(fixed.state, z, 1, branch);
        EXPECT_EQ(fixed.state.rng_state, 5u);
        EXPECT_EQ(branch, (std::vector<uint64_t>{0xAAAAAAAAAAAAAAAA, 0x2A}));

        // Pinned rows are honoured on fair coins and draw nothing; shots 64..69 read as false
        // and longer rows are cleared.
        Batch pinned = batch_of(shot_major, 70, [](uint64_t) { return 0.5; });
        const std::vector<uint64_t> pins = {rng()};
        branch.assign(3, ~uint64_t{0});
        measure_precomputed_active_pauli_branch_batch(pinned.state, z, 2, branch, pins);
        EXPECT_EQ(branch, (std::vector<uint64_t>{pins[0], 0, 0}));
        EXPECT_EQ(pinned.state.rng_state, 1u);
        for (uint64_t s = 0; s < 70; ++s)
            EXPECT_NEAR(pinned.get(s).re[0], 1.0, 1e-15);
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
    batch.state.shot_scalars_b[3] = std::nan("");
    testing::expect_refused(
        [&] { sample_batch_measurement_branches_pinned(batch.state, branch, {}); },
        "probability must be between 0 and 1");
}

TEST(BatchActive, ComponentBuffersComeBackOnEveryPath) {
    std::mt19937_64 rng(4);
    Batch batch(true, 4, 4, 2, rng);
    BatchFactoredExecutorState& state = batch.state;
    state.components.resize(2);
    BatchActiveComponent& c = state.components[1];
    c.active = true, c.active_qubits = 1, c.basis_capacity = 2;
    c.amplitude_re = {1, 0, 1, 0, 1, 0, 0, 1};
    c.amplitude_im.assign(8, 0.0);
    const std::vector<double> flat = state.amplitude_re;
    const auto expect_restored = [&] {
        EXPECT_EQ(state.amplitude_re, flat);
        EXPECT_EQ(c.amplitude_re.size(), 8u);
        EXPECT_EQ(std::tuple(state.active_qubits, state.dormant_qubits, state.basis_capacity),
                  std::tuple(2u, 4u, 32u));
    };
    const Rotation x(ActivePauliAction(pauli(1, 1, 0)), M_PI / 2);  // -i X
    with_batch_component(state, 1, x, std::vector<uint64_t>{0b1000});
    expect_restored();
    EXPECT_NEAR(c.amplitude_im[1], -1, 1e-15);  // shot 0: -i|1>
    EXPECT_NEAR(c.amplitude_im[6], 1, 1e-15);   // shot 3 (sign set): +i|0>

    // A kernel refusal and a fatal assertion both give the buffers back.
    const Rotation wide(ActivePauliAction(pauli(2, 1, 0)), 0.1);
    c.basis_capacity = 1 << 20;  // lies about its storage
    EXPECT_ANY_THROW(with_batch_component(state, 1, wide, {}));
    expect_restored();
    EXPECT_ANY_THROW(with_batch_component(state, 1, x, {}));
    expect_restored();
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
