// Rows out of bit planes, as a batch of 2048 shots appends them.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "sampler/rows.h"

namespace kelvo {
namespace {

// Arguments: columns, packed. Items are bits written.
void BM_AppendBitRows(benchmark::State& state) {
    const uint64_t columns = state.range(0), shots = 2048, words = shots / 64;
    std::mt19937_64 rng(1);
    std::vector<uint64_t> planes(columns * words);
    for (uint64_t& w : planes)
        w = rng() & rng() & rng();  // one bit in eight, like sparse detection events
    std::vector<uint8_t> rows;
    for (auto _ : state) {
        rows.clear();
        append_bit_rows(rows, planes, {}, columns, words, shots, state.range(1) != 0);
        benchmark::DoNotOptimize(rows.data());
    }
    state.SetItemsProcessed(state.iterations() * columns * shots);
}
BENCHMARK(BM_AppendBitRows)->ArgsProduct({{100, 3000}, {0, 1}});

// Dense columns, like measurement records: half the bits set.
void BM_AppendDenseBitRows(benchmark::State& state) {
    const uint64_t columns = 145, shots = 2048, words = shots / 64;
    std::mt19937_64 rng(1);
    std::vector<uint64_t> planes(columns * words);
    for (uint64_t& w : planes)
        w = rng();
    std::vector<uint8_t> rows;
    for (auto _ : state) {
        rows.clear();
        append_bit_rows(rows, planes, {}, columns, words, shots, state.range(0) != 0);
        benchmark::DoNotOptimize(rows.data());
    }
    state.SetItemsProcessed(state.iterations() * columns * shots);
}
BENCHMARK(BM_AppendDenseBitRows)->Arg(0)->Arg(1);

}  // namespace
}  // namespace kelvo
