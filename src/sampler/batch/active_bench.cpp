#include <benchmark/benchmark.h>

#include <cmath>
#include <random>

#include "sampler/batch/active.h"
#include "sampler/contiguous.h"
#include "splitmix64.h"
#include "testing/time_ratio.h"

namespace kelvo {
namespace {

using test_support::best_seconds_per_call;
using test_support::time_ratio;

PauliString pauli(uint64_t k, uint64_t x, uint64_t z) {
    PauliString p(k);
    p.x[0] = x;
    p.z[0] = z;
    p.phase = static_cast<uint8_t>(std::popcount(x & z) % 4);
    return p;
}

// A shot-major batch of the default size for k active qubits, each shot a random state.
struct ShotMajorBatch {
    FactoredInstructionProgram program;
    BatchFactoredExecutorState state;
    std::vector<uint64_t> signs;

    explicit ShotMajorBatch(uint64_t k) {
        program.num_qubits = k + 1;
        program.initial_active_qubits = program.active_qubits = k;
        program.num_symbols = 1;
        state = BatchFactoredExecutorState(program, 0, 1);
        state.shot_major = true;
        reset_batch_executor(state, program, state.batch_capacity);
        std::mt19937_64 rng(k);
        std::normal_distribution<double> normal(0, 1.0 / std::sqrt(2.0 * (1 << k)));
        for (double& a : state.amplitude_re)
            a = normal(rng);
        for (double& a : state.amplitude_im)
            a = normal(rng);
        for (uint64_t w = 0; w < state.words_per_batch; ++w)
            signs.push_back(rng());
    }
    std::span<double> slice(std::vector<double>& v, uint64_t s) {
        return std::span<double>(v).subspan(s * state.basis_capacity, state.basis_capacity);
    }
    bool sign(uint64_t s) const { return (signs[s / 64] >> (s % 64)) & 1; }
};

// Argument: k. Counter: time of the batch kernel over the bare contiguous kernel on every
// shot (1.0 = no overhead).
void BM_shot_major_rotation(benchmark::State& state) {
    const uint64_t k = static_cast<uint64_t>(state.range(0));
    ShotMajorBatch b(k);
    const uint64_t all = (uint64_t{1} << k) - 1;
    const PrecomputedActivePauliRotationKernel kernel(
        ActivePauliAction(pauli(k, all & 0x5, all & 0x3)), 0.3);
    const auto batch = [&] { rotate_pauli_batch(b.state, kernel, b.signs); };
    const auto bare = [&] {
        const SimdLevel level = simd_level();
        for (uint64_t s = 0; s < b.state.live_shots; ++s) {
            rotate_contiguous_active(b.slice(b.state.amplitude_re, s),
                                     b.slice(b.state.amplitude_im, s), uint64_t{1} << k, kernel,
                                     b.sign(s), level);
        }
    };
    for (auto _ : state)
        batch();
    state.counters["vs_bare"] = time_ratio(batch, bare);
    state.counters["shots"] = static_cast<double>(b.state.live_shots);
}
BENCHMARK(BM_shot_major_rotation)->DenseRange(2, 10);

// Argument: k. One cycle measures X on the top qubit (a fair coin: one draw per shot) and
// promotes a fresh top qubit back. Counter as above.
void BM_shot_major_measurement(benchmark::State& state) {
    const uint64_t k = static_cast<uint64_t>(state.range(0));
    ShotMajorBatch b(k);
    const uint64_t top = uint64_t{1} << (k - 1);
    const auto kernel = PrecomputedActivePauliMeasurementKernel::from_pauli(pauli(k, top, 0));
    std::vector<uint64_t> branch;
    const auto batch = [&] {
        b.state.assigned_symbols[0] = 0;
        measure_precomputed_active_pauli_branch_batch(b.state, kernel, 1, branch);
        promote_first_dormant_rotation_batch(b.state, {}, 0.0);
    };
    const auto bare = [&] {
        const SimdLevel level = simd_level();
        branch.assign(b.state.words_per_batch, 0);
        for (uint64_t s = 0; s < b.state.live_shots; ++s) {
            const auto re = b.slice(b.state.amplitude_re, s), im = b.slice(b.state.amplitude_im, s);
            const double p = nondiagonal_probability_contiguous(re, im, kernel, level);
            const bool outcome =
                p > 0 && p < 1 ? splitmix64_uniform(b.state.rng_state) < p : p >= 1;
            project_nondiagonal_contiguous(re, im, b.slice(b.state.scratch_re, s),
                                           b.slice(b.state.scratch_im, s), kernel, outcome,
                                           1 / std::sqrt(outcome ? p : 1 - p), level);
            promote_contiguous_active(re, im, top, 1.0, 0.0, level);
            branch[s / 64] |= uint64_t{outcome} << (s % 64);
        }
    };
    for (auto _ : state)
        batch();
    state.counters["vs_bare"] = time_ratio(batch, bare);
    state.counters["shots"] = static_cast<double>(b.state.live_shots);
}
BENCHMARK(BM_shot_major_measurement)->DenseRange(2, 10);

}  // namespace
}  // namespace kelvo
