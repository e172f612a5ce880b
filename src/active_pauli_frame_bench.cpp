#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "active_pauli_frame.h"
#include "testing/random_pauli.h"

namespace kelvo {
namespace {

using test_support::random_pauli_letters;

// `records` random errors of `weight` letters on n qubits.
ActivePauliFrame filled_frame(uint64_t n, uint64_t records, uint64_t weight) {
    std::mt19937_64 rng(3);
    ActivePauliFrame frame(n);
    SymbolicContext ctx;
    for (uint64_t e = 0; e < records; ++e)
        frame.record_pauli(random_pauli_letters(rng, n, weight), 1 + static_cast<int32_t>(e % 5000),
                           ctx);
    return frame;
}

// Weight-4 queries over the last `range` of 100000 records: args n, record weight, range.
void BM_FrameQuery(benchmark::State& state) {
    const auto n = static_cast<uint64_t>(state.range(0));
    const auto weight = static_cast<uint64_t>(state.range(1));
    const auto range = static_cast<uint64_t>(state.range(2));
    constexpr uint64_t kRecords = 100000;
    const ActivePauliFrame frame = filled_frame(n, kRecords, weight);
    std::mt19937_64 rng(4);
    std::vector<PauliString> queries;
    for (int i = 0; i < 64; ++i)
        queries.push_back(random_pauli_letters(rng, n, 4));
    uint64_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            frame.anticommutation_sign(queries[i++ % queries.size()], kRecords - range));
    }
}
BENCHMARK(BM_FrameQuery)
    ->Args({1, 1, 100000})
    ->Args({20, 3, 100000})
    ->Args({20, 3, 300})
    ->Args({50, 2, 100000})
    ->Args({500, 2, 6000})
    ->Args({1250, 2, 15000})
    ->Args({1250, 2, 100000})
    ->Args({1250, 200, 15000});

// Recording errors of `weight` letters on n qubits: args n, weight.
void BM_FrameRecord(benchmark::State& state) {
    const auto n = static_cast<uint64_t>(state.range(0));
    const auto weight = static_cast<uint64_t>(state.range(1));
    std::mt19937_64 rng(5);
    std::vector<PauliString> errors;
    for (int i = 0; i < 1024; ++i)
        errors.push_back(random_pauli_letters(rng, n, weight));
    for (auto _ : state) {
        state.PauseTiming();
        ActivePauliFrame frame(n);
        SymbolicContext ctx;
        state.ResumeTiming();
        for (uint64_t e = 0; e < 100000; ++e)
            frame.record_pauli(errors[e % errors.size()], 1, ctx);
        benchmark::DoNotOptimize(frame.size());
    }
}
BENCHMARK(BM_FrameRecord)->Args({20, 3})->Args({1250, 2})->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace kelvo
