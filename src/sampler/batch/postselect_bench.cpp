// Shot compaction, in time per row word: 2048-shot rows (32 words) with few, half or most
// shots dead. Each iteration compacts fresh copies, so the mask always has dead shots to drop.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "sampler/batch/postselect.h"

namespace kelvo {
namespace {

void BM_CompactBitColumns(benchmark::State& bench) {
    const uint64_t live = 2048, words = live / 64, rows = 256;
    const uint64_t dead_per_1024 = static_cast<uint64_t>(bench.range(0));
    std::mt19937_64 rng(1);
    std::vector<uint64_t> alive(words, 0), source(rows * words), work(rows * words), shared;
    uint64_t survivors = 0;
    for (uint64_t s = 0; s < live; ++s)
        if (rng() % 1024 >= dead_per_1024) {
            alive[s / 64] |= uint64_t{1} << (s % 64);
            ++survivors;
        }
    for (uint64_t& w : source)
        w = rng();
    std::vector<uint64_t> selected(rows);
    for (uint64_t r = 0; r < rows; ++r)
        selected[r] = r;
    for (auto _ : bench) {
        bench.PauseTiming();
        work = source;
        bench.ResumeTiming();
        compact_bit_columns(work, words, selected, live, survivors, alive, shared);
        benchmark::DoNotOptimize(work.data());
    }
    bench.SetItemsProcessed(static_cast<int64_t>(bench.iterations() * rows * words));
}
// Dead shots per 1024: one in 64, half, nearly all.
BENCHMARK(BM_CompactBitColumns)->Arg(16)->Arg(512)->Arg(1000);

}  // namespace
}  // namespace kelvo
