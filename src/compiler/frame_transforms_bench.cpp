#include <benchmark/benchmark.h>

#include <random>

#include "compiler/frame_transforms.h"
#include "testing/random_pauli.h"

namespace kelvo {
namespace {

// `count` rotations of weight 4 on n qubits, as the planner sees after lowering.
PendingFactoredState weight4_state(uint64_t n, uint64_t count, bool in_order) {
    std::mt19937_64 rng(3);
    PendingFactoredState state;
    state.num_qubits = n;
    state.frame = CliffordFrame(n);
    state.in_order = in_order;
    for (uint64_t j = 0; j < count; ++j) {
        state.pending.push_back(PendingPauliRotation{test_support::random_pauli_letters(rng, n, 4),
                                                     symbolic_bool(1 + j % 50), 0.1});
    }
    return state;
}

PauliString weight4_probe(uint64_t n) {
    PauliString p(n);
    for (const uint64_t q : {7u, 300u, 555u, 901u}) {
        p.set_xbit(q, true);
        p.set_zbit(q, q % 2);
    }
    p.phase = static_cast<uint8_t>(p.y_count() % 4);
    return p;
}

// Pushing one outcome through 10^5 later operations on 1000 qubits, through the column tables
// (built once before the timing) in either mode.
void BM_Push(benchmark::State& bench) {
    const uint64_t n = 1000;
    PendingFactoredState state = weight4_state(n, 100000, bench.range(0) != 0);
    const PauliString p = weight4_probe(n);
    push_symbolic_pauli_through_pending_from(state, 1, p, symbolic_bool(60));
    for (auto _ : bench)
        push_symbolic_pauli_through_pending_from(state, 2, p, symbolic_bool(60));
    benchmark::DoNotOptimize(state.pending.back());
}
BENCHMARK(BM_Push)->ArgName("in_order")->Arg(1)->Arg(0)->Unit(benchmark::kMicrosecond);

// A basis change on three of 1000 qubits, as a dormant measurement replacement makes, over
// 10^4 weight-4 operations (about 1% touch those qubits): skipping the untouched operations
// (skip:1) against rewriting every one (skip:0).
void BM_Rewrite(benchmark::State& bench) {
    const uint64_t n = 1000;
    const bool skip = bench.range(0) != 0;
    PendingFactoredState state = weight4_state(n, 10000, false);
    CliffordFrame frame(n);
    frame.left_cx(10, 20);
    frame.left_h_yz(30);
    for (auto _ : bench) {
        if (skip) {
            transform_pending_operations_by_frame(state, frame);
        } else {
            for (PendingOperation& op : state.pending)
                op = transform_operation_by_frame(op, frame);
        }
    }
    benchmark::DoNotOptimize(state.pending.back());
}
BENCHMARK(BM_Rewrite)->ArgName("skip")->Arg(1)->Arg(0)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace kelvo
