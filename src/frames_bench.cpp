#include <benchmark/benchmark.h>

#include <map>
#include <memory>
#include <random>

#include "frames.h"
#include "testing/random_pauli.h"

namespace kelvo {
namespace {

// A frame after a brick layer of nearest-neighbour CX and H-type gates: every row touches a
// few qubits, as after a shallow local circuit. Built once per size (n = 100000 holds 5 GB).
CliffordFrame& local_frame(uint64_t n) {
    static std::map<uint64_t, std::unique_ptr<CliffordFrame>> frames;
    std::unique_ptr<CliffordFrame>& slot = frames[n];
    if (!slot) {
        frames.clear();  // keep one large frame alive at a time
        auto frame = std::make_unique<CliffordFrame>(n);
        for (uint64_t q = 0; q + 1 < n; q += 2)
            frame->left_cx(q, q + 1);
        for (uint64_t q = 0; q < n; q += 3)
            frame->left_h_yz(q);
        for (uint64_t q = 1; q + 1 < n; q += 2)
            frame->left_cz(q, q + 1);
        frame->ensure_support_words();
        frames[n] = std::move(frame);
        return *frames[n];
    }
    return *slot;
}

std::vector<PauliString> weight4_paulis(uint64_t n, size_t count) {
    std::mt19937_64 rng(1);
    std::vector<PauliString> out;
    for (size_t i = 0; i < count; ++i)
        out.push_back(test_support::random_pauli_letters(rng, n, 4));
    return out;
}

std::vector<std::pair<uint64_t, uint64_t>> random_pairs(uint64_t n, size_t count) {
    std::mt19937_64 rng(2);
    std::vector<std::pair<uint64_t, uint64_t>> out;
    for (size_t i = 0; i < count; ++i) {
        const uint64_t a = rng() % n;
        uint64_t b = rng() % n;
        while (b == a)
            b = rng() % n;
        out.emplace_back(a, b);
    }
    return out;
}

// Baseline: allocating the n-qubit result alone, which every preimage pays.
void BM_ResultAllocation(benchmark::State& state) {
    const uint64_t n = static_cast<uint64_t>(state.range(0));
    for (auto _ : state)
        benchmark::DoNotOptimize(PauliString(n));
}

void BM_Preimage_Weight4(benchmark::State& state) {
    const uint64_t n = static_cast<uint64_t>(state.range(0));
    const CliffordFrame& frame = local_frame(n);
    const std::vector<PauliString> paulis = weight4_paulis(n, 256);
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(frame.preimage(paulis[i++ % paulis.size()]));
    }
}

// Each iteration applies a gate and its inverse (two updates), so the shared frame stays local
// without copying it; items/s counts single updates.
template <void (CliffordFrame::*Gate)(uint64_t, uint64_t),
          void (CliffordFrame::*Inverse)(uint64_t, uint64_t)>
void BM_TwoQubitGate(benchmark::State& state) {
    const uint64_t n = static_cast<uint64_t>(state.range(0));
    CliffordFrame& frame = local_frame(n);
    const auto pairs = random_pairs(n, 4096);
    size_t i = 0;
    for (auto _ : state) {
        const auto [a, b] = pairs[i++ % pairs.size()];
        (frame.*Gate)(a, b);
        (frame.*Inverse)(a, b);
    }
    state.SetItemsProcessed(2 * static_cast<int64_t>(state.iterations()));
}

void BM_LeftHYz(benchmark::State& state) {
    const uint64_t n = static_cast<uint64_t>(state.range(0));
    CliffordFrame& frame = local_frame(n);
    const auto pairs = random_pairs(n, 4096);
    size_t i = 0;
    for (auto _ : state) {
        const uint64_t q = pairs[i++ % pairs.size()].first;
        frame.left_h_yz(q);
        frame.left_h_yz(q);
    }
    state.SetItemsProcessed(2 * static_cast<int64_t>(state.iterations()));
}

// The lowering pattern: a gate, then a query that needs the refreshed support of its rows.
void BM_LeftCxThenPreimage_Weight4(benchmark::State& state) {
    const uint64_t n = static_cast<uint64_t>(state.range(0));
    CliffordFrame& frame = local_frame(n);
    const std::vector<PauliString> paulis = weight4_paulis(n, 256);
    std::vector<std::pair<uint64_t, uint64_t>> pairs;
    for (uint64_t q = 0; q + 1 < n && pairs.size() < 4096; q += 7)
        pairs.emplace_back(q, q + 1);
    size_t i = 0;
    for (auto _ : state) {
        const auto [a, b] = pairs[i % pairs.size()];
        frame.left_cx(a, b);
        frame.left_cx(a, b);  // undo, so the frame stays local
        benchmark::DoNotOptimize(frame.preimage(paulis[i++ % paulis.size()]));
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

#define KELVO_SIZES ->Arg(1000)->Arg(10000)->Arg(100000)
BENCHMARK(BM_ResultAllocation) KELVO_SIZES;
BENCHMARK(BM_Preimage_Weight4) KELVO_SIZES;
BENCHMARK(BM_LeftHYz) KELVO_SIZES;
BENCHMARK(BM_TwoQubitGate<&CliffordFrame::left_cx, &CliffordFrame::left_cx>)
    ->Name("BM_LeftCx") KELVO_SIZES;
BENCHMARK(BM_TwoQubitGate<&CliffordFrame::left_sqrt_yy, &CliffordFrame::left_sqrt_yy_dag>)
    ->Name("BM_LeftSqrtYy") KELVO_SIZES;
BENCHMARK(BM_LeftCxThenPreimage_Weight4) KELVO_SIZES;

}  // namespace
}  // namespace kelvo
