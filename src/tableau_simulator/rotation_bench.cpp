#include <benchmark/benchmark.h>

#include "tableau_simulator/simulator.h"

namespace kelvo::tableau_simulator {
namespace {

// H then T on qubits 0..k-1: 2^k live terms, every label's partner under X_0 present.
TableauSimulator full_table(uint64_t k) {
    TableauSimulator sim = TableauSimulator::with_seed(k, 1);
    for (uint64_t q = 0; q < k; ++q) {
        sim.h(q);
        sim.t(q);
    }
    return sim;
}

// A paired T rotation that keeps the rank: T, T, T dagger, T dagger on qubit 0 never reaches a
// zero amplitude. Items are live terms rewritten.
void BM_t_paired_per_term(benchmark::State& state) {
    const uint64_t k = static_cast<uint64_t>(state.range(0));
    TableauSimulator sim = full_table(k);
    int step = 0;
    for (auto _ : state) {
        if (step++ % 4 < 2) {
            sim.t(0);
        } else {
            sim.t_dag(0);
        }
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(sim.rank()));
}
BENCHMARK(BM_t_paired_per_term)->Arg(10)->Arg(16)->Arg(20)->Unit(benchmark::kMillisecond);

// A diagonal T rotation (a phase per term).
void BM_t_diagonal_per_term(benchmark::State& state) {
    const uint64_t k = static_cast<uint64_t>(state.range(0));
    TableauSimulator sim = full_table(k);
    for (auto _ : state)
        sim.t(k);
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(sim.rank()));
}
BENCHMARK(BM_t_diagonal_per_term)->Arg(16)->Unit(benchmark::kMillisecond);

// A measurement of a fresh |+> qubit next to a big table: the random branch without collapse of
// the other terms, then a reset to keep the state the same size.
void BM_measure_random_branch(benchmark::State& state) {
    const uint64_t k = static_cast<uint64_t>(state.range(0));
    TableauSimulator sim = full_table(k);
    for (auto _ : state) {
        sim.h(k);
        sim.reset(k);
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(sim.rank()));
}
BENCHMARK(BM_measure_random_branch)->Arg(16)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace kelvo::tableau_simulator
