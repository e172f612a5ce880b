// Rows out of bit planes, as a batch of 2048 shots writes them.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "sampler/rows.h"

namespace kelvo {
namespace {

// Arguments: columns, packed, ones per 64 bits (8: sparse like detection events, 32: dense
// like measurement records). Items are bits written.
void BM_WriteBitRows(benchmark::State& state) {
    const uint64_t columns = state.range(0), shots = 2048, words = shots / 64;
    std::mt19937_64 rng(1);
    std::vector<uint64_t> planes(columns * words);
    for (uint64_t& w : planes)
        w = state.range(2) == 8 ? rng() & rng() & rng() : rng();
    std::vector<uint8_t> rows(shots * columns);
    for (auto _ : state) {
        write_bit_rows(rows, planes, {}, columns, words, shots, state.range(1) != 0);
        benchmark::DoNotOptimize(rows.data());
    }
    state.SetItemsProcessed(state.iterations() * columns * shots);
}
BENCHMARK(BM_WriteBitRows)->ArgsProduct({{100, 3000}, {0, 1}, {8, 32}});

}  // namespace
}  // namespace kelvo
