#include <benchmark/benchmark.h>

#include <random>
#include <unordered_map>

#include "tableau_simulator/amplitude_table.h"

namespace kelvo::tableau_simulator {
namespace {

// A table of `rank` labels over 40 random bits, spread over `width` words.
template <class K>
AmplitudeTable<K> random_table(uint64_t rank, uint64_t width) {
    std::mt19937_64 rng(5);
    AmplitudeTable<K> table;
    std::vector<uint64_t> words(width, 0);
    while (table.size() < rank) {
        words[0] = rng() & ((uint64_t{1} << 40) - 1);
        words[width - 1] ^= words[0] >> 3;
        table.insert(K::from_words(words, width), {1, 0});
    }
    return table;
}

// The staging pass of a pair rewrite: one partner lookup per live label, then the commit walk.
template <class K>
void BM_table_stage_and_commit(benchmark::State& state) {
    const uint64_t rank = static_cast<uint64_t>(state.range(0));
    const uint64_t width = static_cast<uint64_t>(state.range(1));
    AmplitudeTable<K> table = random_table<K>(rank, width);
    std::vector<uint64_t> flip_words(width, 0);
    flip_words[0] = 0b1011;
    const K flip = K::from_words(flip_words, width);
    K partner = flip;
    std::vector<Complex> staged;
    staged.reserve(rank);
    for (auto _ : state) {
        staged.clear();
        for (const auto [key, amp] : table) {
            partner.assign_xor(key, flip);
            const Complex* b = table.find(partner);
            staged.push_back(b ? amp + *b : amp);
        }
        size_t i = 0;
        table.update_or_erase([&](const K&, Complex& amp) {
            amp = 0.5 * staged[i++];
            return true;
        });
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * rank);
}
BENCHMARK(BM_table_stage_and_commit<Key<1>>)->Args({1 << 10, 1})->Args({1 << 18, 1});
BENCHMARK(BM_table_stage_and_commit<Key<8>>)->Args({1 << 10, 8})->Args({1 << 18, 8});
BENCHMARK(BM_table_stage_and_commit<Label>)->Args({1 << 10, 10})->Args({1 << 18, 10});

// The same pass on std::unordered_map, for comparison.
void BM_unordered_map_stage_and_commit(benchmark::State& state) {
    const uint64_t rank = static_cast<uint64_t>(state.range(0));
    std::unordered_map<uint64_t, Complex> table;
    for (const auto [key, amp] : random_table<Key<1>>(rank, 1))
        table.emplace(key.w[0], amp);
    std::vector<Complex> staged;
    staged.reserve(rank);
    for (auto _ : state) {
        staged.clear();
        for (const auto& [key, amp] : table) {
            const auto it = table.find(key ^ 0b1011);
            staged.push_back(it != table.end() ? amp + it->second : amp);
        }
        size_t i = 0;
        for (auto& [key, amp] : table)
            amp = 0.5 * staged[i++];
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * rank);
}
BENCHMARK(BM_unordered_map_stage_and_commit)->Arg(1 << 10)->Arg(1 << 18);

}  // namespace
}  // namespace kelvo::tableau_simulator
