#include <benchmark/benchmark.h>

#include <cstring>
#include <random>

#include "sampler/contiguous.h"

namespace kelvo {
namespace {

// Arguments: active qubits k (the state has 2^k amplitudes) and the level (0 scalar, 1 vector).
// Items are amplitudes, so the rates compare across sizes and levels.
void sizes_and_levels(benchmark::internal::Benchmark* b) {
    b->ArgsProduct({benchmark::CreateDenseRange(2, 16, 1), {0, 1}});
}

SimdLevel level_of(const benchmark::State& state) {
    return state.range(1) ? SimdLevel::Vector : SimdLevel::Scalar;
}

struct Amplitudes {
    std::vector<double> re, im, scratch_re, scratch_im;
    explicit Amplitudes(uint64_t k) {
        std::mt19937_64 rng(k);
        std::normal_distribution<double> normal(0, 1.0 / (uint64_t{1} << (k / 2)));
        for (uint64_t i = 0; i < (uint64_t{1} << k); ++i) {
            re.push_back(normal(rng));
            im.push_back(normal(rng));
        }
        scratch_re.resize(re.size());
        scratch_im.resize(re.size());
    }
};

// A Pauli on k qubits: X on `x`, Z on `z`, the phase that makes it Hermitian.
PauliString pauli(uint64_t k, uint64_t x, uint64_t z) {
    PauliString p(k);
    p.x[0] = x;
    p.z[0] = z;
    p.phase = static_cast<uint8_t>(__builtin_popcountll(x & z) % 4);
    return p;
}

uint64_t all(uint64_t k) {
    return (uint64_t{1} << k) - 1;
}

void run_rotation(benchmark::State& state, uint64_t x, uint64_t z) {
    const uint64_t k = state.range(0);
    Amplitudes a(k);
    const PrecomputedActivePauliRotationKernel kernel(ActivePauliAction(pauli(k, x, z)), 0.3);
    for (auto _ : state) {
        rotate_contiguous_active(a.re, a.im, a.re.size(), kernel, false, level_of(state));
        benchmark::DoNotOptimize(a.re.data());
    }
    state.SetItemsProcessed(state.iterations() * a.re.size());
}

void BM_rotate_diagonal(benchmark::State& state) {
    run_rotation(state, 0, 0x5555555555555555 & all(state.range(0)));
}
BENCHMARK(BM_rotate_diagonal)->Apply(sizes_and_levels);

void BM_rotate_z_free(benchmark::State& state) {
    const uint64_t k = state.range(0);
    run_rotation(state, (uint64_t{1} << (k - 1)) | 0x3, 0);
}
BENCHMARK(BM_rotate_z_free)->Apply(sizes_and_levels);

void BM_rotate_general(benchmark::State& state) {
    const uint64_t k = state.range(0);
    run_rotation(state, (uint64_t{1} << (k - 1)) | 0x1, 0x6);
}
BENCHMARK(BM_rotate_general)->Apply(sizes_and_levels);

// A run of rotations by the Paulis (x, z) of `masks`; items are amplitudes times rotations,
// comparable with the single rotations.
void run_rotations(benchmark::State& state,
                   const std::vector<std::pair<uint64_t, uint64_t>>& masks) {
    Amplitudes a(state.range(0));
    std::vector<PrecomputedActivePauliRotationKernel> kernels;
    for (const auto& [x, z] : masks) {
        const double theta = 0.3 + 0.1 * static_cast<double>(kernels.size());
        kernels.emplace_back(ActivePauliAction(pauli(state.range(0), x, z)), theta);
    }
    std::vector<const PrecomputedActivePauliRotationKernel*> run;
    for (const auto& kernel : kernels)
        run.push_back(&kernel);
    for (auto _ : state) {
        rotate_contiguous_run(a.re, a.im, a.re.size(), run, 0x2A5, level_of(state));
        benchmark::DoNotOptimize(a.re.data());
    }
    state.SetItemsProcessed(state.iterations() * a.re.size() * run.size());
}

// Eleven diagonal rotations (the T layer of a wide circuit) in one run.
void BM_rotate_diagonal_run(benchmark::State& state) {
    const uint64_t k = state.range(0);
    std::vector<std::pair<uint64_t, uint64_t>> masks;
    for (uint64_t r = 0; r < 11; ++r)
        masks.emplace_back(0, ((uint64_t{0x9E3779B97F4A7C15} >> r) | 1) & all(k));
    run_rotations(state, masks);
}
BENCHMARK(BM_rotate_diagonal_run)->Apply(sizes_and_levels);

// Ten pure-X rotations on different pivots (the other layer of a wide circuit) in one run.
void BM_rotate_z_free_run(benchmark::State& state) {
    const uint64_t k = state.range(0);
    std::vector<std::pair<uint64_t, uint64_t>> masks;
    for (uint64_t r = 0; r < 10; ++r) {
        const uint64_t pivot = (k - 1 + 7 * r) % k;
        const uint64_t x = (uint64_t{1} << pivot) | ((uint64_t{0x2545F4914F6CDD1D} >> r) & 6);
        masks.emplace_back(x & all(k), 0);
    }
    run_rotations(state, masks);
}
BENCHMARK(BM_rotate_z_free_run)->ArgsProduct({benchmark::CreateDenseRange(4, 16, 1), {0, 1}});

// The bandwidth bound: a copy of the state's amplitudes (16 bytes read and 16 written per
// amplitude) at the same size, so from the same cache level as the kernels.
void BM_copy(benchmark::State& state) {
    const uint64_t k = state.range(0);
    Amplitudes a(k);
    for (auto _ : state) {
        std::memcpy(a.scratch_re.data(), a.re.data(), a.re.size() * sizeof(double));
        std::memcpy(a.scratch_im.data(), a.im.data(), a.im.size() * sizeof(double));
        benchmark::DoNotOptimize(a.scratch_re.data());
        benchmark::DoNotOptimize(a.scratch_im.data());
    }
    state.SetItemsProcessed(state.iterations() * a.re.size());
}
BENCHMARK(BM_copy)->ArgsProduct({benchmark::CreateDenseRange(2, 16, 1), {0}});

void BM_promote(benchmark::State& state) {
    const uint64_t k = state.range(0);
    Amplitudes a(k);
    for (auto _ : state) {
        promote_contiguous_active(a.re, a.im, a.re.size() / 2, 1.0, 1.0, level_of(state));
        benchmark::DoNotOptimize(a.re.data());
    }
    state.SetItemsProcessed(state.iterations() * a.re.size());
}
BENCHMARK(BM_promote)->Apply(sizes_and_levels);

// The projections run on their own output again and again: its values stay bounded.
void BM_project_diagonal(benchmark::State& state) {
    const uint64_t k = state.range(0);
    Amplitudes a(k);
    const auto m = PrecomputedActivePauliMeasurementKernel::from_pauli(pauli(k, 0, 0x5 & all(k)));
    for (auto _ : state) {
        project_diagonal_contiguous(a.re, a.im, m, true, 1.0);
        benchmark::DoNotOptimize(a.re.data());
    }
    state.SetItemsProcessed(state.iterations() * a.re.size());
}
BENCHMARK(BM_project_diagonal)->ArgsProduct({benchmark::CreateDenseRange(2, 16, 1), {0}});

void BM_project_nondiagonal(benchmark::State& state) {
    const uint64_t k = state.range(0);
    Amplitudes a(k);
    const auto m = PrecomputedActivePauliMeasurementKernel::from_pauli(
        pauli(k, (uint64_t{1} << (k - 1)) | 1, 0x6));
    for (auto _ : state) {
        project_nondiagonal_contiguous(a.re, a.im, a.scratch_re, a.scratch_im, m, true, 1.0,
                                       level_of(state));
        benchmark::DoNotOptimize(a.re.data());
    }
    state.SetItemsProcessed(state.iterations() * a.re.size());
}
BENCHMARK(BM_project_nondiagonal)->Apply(sizes_and_levels);

void BM_diagonal_probability(benchmark::State& state) {
    const uint64_t k = state.range(0);
    const Amplitudes a(k);
    const auto m = PrecomputedActivePauliMeasurementKernel::from_pauli(pauli(k, 0, 0x5 & all(k)));
    for (auto _ : state)
        benchmark::DoNotOptimize(diagonal_probability_contiguous(a.re, a.im, m, level_of(state)));
    state.SetItemsProcessed(state.iterations() * a.re.size());
}
BENCHMARK(BM_diagonal_probability)->Apply(sizes_and_levels);

void BM_nondiagonal_probability(benchmark::State& state) {
    const uint64_t k = state.range(0);
    const Amplitudes a(k);
    const auto m = PrecomputedActivePauliMeasurementKernel::from_pauli(
        pauli(k, (uint64_t{1} << (k - 1)) | 1, 0x6));
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            nondiagonal_probability_contiguous(a.re, a.im, m, level_of(state)));
    }
    state.SetItemsProcessed(state.iterations() * a.re.size());
}
BENCHMARK(BM_nondiagonal_probability)->Apply(sizes_and_levels);

}  // namespace
}  // namespace kelvo
