// Lowering speed: Clifford gates on brick layers of growing width (the cost per gate must not
// grow with the qubit count), and whole noisy circuits read from the files that
// bench/compile.py writes into $KELVO_COMPILE_BENCH_DIR.
#include <benchmark/benchmark.h>

#include <malloc.h>

#include <bit>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "circuit/ir.h"
#include "compiler/lowering.h"

namespace kelvo {
namespace {

CircuitInstruction layer(CircuitGate gate, uint64_t first, uint64_t end, uint64_t step) {
    CircuitInstruction ins;
    ins.gate = gate;
    for (uint64_t q = first; q + (step - 1) < end; q += step) {
        ins.qubits.push_back(q);
        if (step == 2) ins.qubits.push_back(q + 1);
    }
    return ins;
}

// H, CX on even pairs, S, CX on odd pairs, then the same in reverse with inverses: the frame
// comes back to the identity, so row supports stay as small as a fixed-depth circuit's.
void BM_BrickLayerCliffords(benchmark::State& state) {
    const auto n = static_cast<uint64_t>(state.range(0));
    using G = CircuitGate;
    const CircuitInstruction layers[] = {
        layer(G::H, 0, n, 1),  layer(G::CX, 0, n, 2), layer(G::S, 0, n, 1),
        layer(G::CX, 1, n, 2), layer(G::CX, 1, n, 2), layer(G::S_DAG, 0, n, 1),
        layer(G::CX, 0, n, 2), layer(G::H, 0, n, 1),
    };
    uint64_t gates = 0;
    for (const CircuitInstruction& ins : layers)
        gates += ins.gate == G::CX ? ins.qubits.size() / 2 : ins.qubits.size();
    Accumulator acc{FrameFactoredState(n, 0), {}};
    for (auto _ : state) {
        for (const CircuitInstruction& ins : layers)
            apply_instruction(acc, ins);
        benchmark::ClobberMemory();
    }
    state.counters["ns_per_gate"] = benchmark::Counter(
        static_cast<double>(gates) * 1e-9,
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_BrickLayerCliffords)
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(100000)
    ->Unit(benchmark::kMicrosecond);

// Bytes the allocator has handed out and not yet taken back.
uint64_t allocated_bytes() {
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

void BM_LowerCircuitFile(benchmark::State& state, const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    const Circuit circuit = Circuit::from_text(text.str());
    {
        // One lowering held while its memory is measured: E recorded Paulis cost about
        // E * n / 4 bytes of bodies.
        const uint64_t before = allocated_bytes();
        const CircuitLoweringResult held = lower_circuit_to_factored(circuit);
        const uint64_t after = allocated_bytes();
        const auto errors = static_cast<double>(held.state.active_frame.size());
        state.counters["qubits"] = static_cast<double>(circuit.num_qubits);
        state.counters["errors"] = errors;
        state.counters["pending"] = static_cast<double>(held.state.pending.size());
        double weight = 0, terms = 0;
        for (const PendingOperation& op : held.state.pending) {
            if (const auto* m = std::get_if<PendingPauliMeasurement>(&op)) {
                for (size_t w = 0; w < m->pauli.x.size(); ++w)
                    weight += std::popcount(m->pauli.x[w] | m->pauli.z[w]);
                terms += static_cast<double>(m->sign.conditions.size());
            }
        }
        state.counters["terms"] = terms / static_cast<double>(held.state.pending.size());
        state.counters["weight"] = weight / static_cast<double>(held.state.pending.size());
        state.counters["MB"] = static_cast<double>(after - before) / 1e6;
        state.counters["En/4_MB"] = errors * static_cast<double>(circuit.num_qubits) / 4 / 1e6;
    }
    for (auto _ : state) {
        CircuitLoweringResult result = lower_circuit_to_factored(circuit);
        benchmark::DoNotOptimize(result.records.data());
    }
}

// One benchmark per circuit file, registered before main runs.
const bool kFilesRegistered = [] {
    const char* dir = std::getenv("KELVO_COMPILE_BENCH_DIR");
    if (dir == nullptr || !std::filesystem::is_directory(dir)) return false;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (entry.path().extension() != ".stim") continue;
        benchmark::RegisterBenchmark(
            ("BM_LowerCircuitFile/" + entry.path().stem().string()).c_str(), BM_LowerCircuitFile,
            entry.path().string())
            ->Unit(benchmark::kMillisecond);
    }
    return true;
}();

}  // namespace
}  // namespace kelvo
