#include <benchmark/benchmark.h>

#include <random>

#include "compiler/optimizer.h"
#include "testing/random_pauli.h"

namespace kelvo {
namespace {

constexpr uint64_t kQubits = 200;

// Rotations of weight 1 to 3, one in five a measurement, on 200 qubits.
std::vector<PendingOperation> random_list(uint64_t count) {
    std::mt19937_64 rng(7);
    std::vector<PendingOperation> ops;
    ops.reserve(count);
    for (uint64_t j = 0; j < count; ++j) {
        PauliString p = test_support::random_pauli_letters(rng, kQubits, 1 + rng() % 3);
        if (rng() % 5 == 0) {
            ops.push_back(
                PendingPauliMeasurement{std::move(p), {}, static_cast<uint32_t>(j + 1), {}, {}});
        } else {
            ops.push_back(PendingPauliRotation{std::move(p), {}, 0.1 + 0.01 * (j % 7)});
        }
    }
    return ops;
}

// Distinct commuting Z rotations: nothing merges, so a scan per rotation would be quadratic.
std::vector<PendingOperation> distinct_z_list(uint64_t count) {
    std::vector<PendingOperation> ops;
    ops.reserve(count);
    for (uint64_t j = 0; j < count; ++j) {
        PauliString p(kQubits);
        p.set_zbit(j % 100, true);  // the pair (j % 100, 100 + j / 100) differs for j < 10^4
        p.set_zbit(100 + j / 100, true);
        ops.push_back(PendingPauliRotation{std::move(p), {}, 0.1});
    }
    return ops;
}

// Optimizes a fresh copy of `ops` per iteration. With `cold`, a 64 MB sweep after the copy
// evicts the list from the caches, so that a list that fits in them (10^4 operations, just
// copied) is not favoured over one that does not (10^5).
void optimize_copies(benchmark::State& bench, const std::vector<PendingOperation>& ops, bool cold) {
    PendingFactoredState state;
    state.num_qubits = kQubits;
    std::vector<uint64_t> sweep(cold ? uint64_t{1} << 23 : 0);
    for (auto _ : bench) {
        bench.PauseTiming();
        state.pending = ops;
        for (uint64_t& w : sweep)
            ++w;
        benchmark::DoNotOptimize(sweep.data());
        bench.ResumeTiming();
        const OptimizationResult result = optimize_pending_operations(state, {});
        benchmark::DoNotOptimize(result.count_after);
    }
}

// Time should grow about linearly in L: 10x the operations within 15x the time.
void BM_OptimizeRandom(benchmark::State& bench) {
    optimize_copies(bench, random_list(static_cast<uint64_t>(bench.range(0))), bench.range(1));
}
BENCHMARK(BM_OptimizeRandom)
    ->ArgNames({"L", "cold"})
    ->ArgsProduct({{10000, 100000}, {0, 1}})
    ->Unit(benchmark::kMillisecond);

// Target: 10^4 operations within 100 ms.
void BM_OptimizeDistinctZ(benchmark::State& bench) {
    optimize_copies(bench, distinct_z_list(static_cast<uint64_t>(bench.range(0))), false);
}
BENCHMARK(BM_OptimizeDistinctZ)->Arg(10000)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace kelvo
