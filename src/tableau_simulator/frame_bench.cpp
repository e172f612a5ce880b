#include <benchmark/benchmark.h>

#include <random>

#include "tableau_simulator/frame.h"

namespace kelvo::tableau_simulator {
namespace {

Frame scrambled(uint64_t n) {
    Frame f = Frame::identity(n);
    std::mt19937_64 rng(1);
    for (uint64_t i = 0; i < 4 * n; ++i) {
        const uint64_t a = rng() % n;
        const uint64_t b = (a + 1 + rng() % (n - 1)) % n;
        f.left_h(a);
        f.left_s(b, 1);
        f.left_cx(a, b);
    }
    return f;
}

// One two-qubit layer of CX, H and S over random pairs: the row updates of Clifford gates.
void BM_frame_gate_updates(benchmark::State& state) {
    const uint64_t n = static_cast<uint64_t>(state.range(0));
    Frame f = scrambled(n);
    std::mt19937_64 rng(2);
    std::vector<std::pair<uint64_t, uint64_t>> pairs(1024);
    for (auto& [a, b] : pairs) {
        a = rng() % n;
        b = (a + 1 + rng() % (n - 1)) % n;
    }
    for (auto _ : state) {
        for (const auto& [a, b] : pairs) {
            f.left_cx(a, b);
            f.left_h(a);
            f.left_s(b, 1);
        }
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * pairs.size() * 3);
}
BENCHMARK(BM_frame_gate_updates)->Arg(100)->Arg(1000)->Arg(10000);

// Preimage of a random Pauli string of weight 8, as a rotation or measurement axis needs it.
// Arg 1 = 1 forces the any-width instance, to compare with the fixed-width ones.
void BM_frame_preimage(benchmark::State& state) {
    const uint64_t n = static_cast<uint64_t>(state.range(0));
    const bool any_width = state.range(1) != 0;
    const Frame f = scrambled(n);
    std::mt19937_64 rng(3);
    std::vector<PauliString> paulis;
    for (int i = 0; i < 64; ++i) {
        PauliString p(n);
        for (int j = 0; j < 8; ++j) {
            const uint64_t q = rng() % n;
            p.set_xbit(q, rng() & 1);
            p.set_zbit(q, true);
        }
        paulis.push_back(std::move(p));
    }
    std::vector<uint64_t> flip(f.stride()), z(f.stride());
    uint64_t acc = 0;
    for (auto _ : state) {
        for (const PauliString& p : paulis) {
            acc += any_width ? f.preimage_into_w<0>(p, flip, z) : f.preimage_into(p, flip, z);
        }
        benchmark::DoNotOptimize(acc);
    }
    state.SetItemsProcessed(state.iterations() * paulis.size());
}
BENCHMARK(BM_frame_preimage)
    ->Args({100, 0})
    ->Args({1000, 0})
    ->Args({10000, 0})
    ->Args({64, 0})
    ->Args({64, 1})
    ->Args({300, 0})
    ->Args({300, 1});

// Single-qubit axis preimage (T on a qubit, measure, peek).
void BM_frame_preimage_basis(benchmark::State& state) {
    const uint64_t n = static_cast<uint64_t>(state.range(0));
    const Frame f = scrambled(n);
    std::vector<uint64_t> flip(f.stride()), z(f.stride());
    uint64_t q = 0;
    uint64_t acc = 0;
    for (auto _ : state) {
        acc += f.preimage_basis_into(Axis::Y, q, flip, z);
        q = q + 1 == n ? 0 : q + 1;
        benchmark::DoNotOptimize(acc);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_frame_preimage_basis)->Arg(100)->Arg(1000)->Arg(10000);

}  // namespace
}  // namespace kelvo::tableau_simulator
