// Parse speed of a large flat circuit shaped like a surface-code memory experiment: long gate
// lines of plain qubits, and many detector lines with coordinates and record targets.
#include <benchmark/benchmark.h>

#include <string>

#include "circuit/parser.h"

namespace kelvo {
namespace {

std::string flat_memory_circuit(int data_qubits, int rounds) {
    std::string text;
    auto line = [&](const std::string& name, int begin, int end) {
        text.append(name);
        for (int q = begin; q < end; ++q)
            text.append(" ").append(std::to_string(q));
        text.append("\n");
    };
    line("R", 0, 2 * data_qubits);
    for (int r = 0; r < rounds; ++r) {
        line("DEPOLARIZE1(0.001)", 0, data_qubits);
        line("H", data_qubits, 2 * data_qubits);
        line("CX", 0, 2 * data_qubits);
        line("DEPOLARIZE2(0.001)", 0, 2 * data_qubits);
        line("MR(0.001)", data_qubits, 2 * data_qubits);
        for (int d = 0; d < data_qubits; ++d) {
            text.append("DETECTOR(").append(std::to_string(d)).append(", 0, ");
            text.append(std::to_string(r)).append(") rec[-");
            text.append(std::to_string(data_qubits - d)).append("]");
            if (r > 0)
                text.append(" rec[-").append(std::to_string(2 * data_qubits - d)).append("]");
            text.append("\n");
        }
        text += "TICK\n";
    }
    text += "M 0\nOBSERVABLE_INCLUDE(0) rec[-1]\n";
    return text;
}

void BM_ParseFlatCircuit(benchmark::State& state) {
    const std::string text = flat_memory_circuit(200, 100);
    for (auto _ : state) {
        Circuit c = parse_kelvo_circuit_text(text);
        benchmark::DoNotOptimize(c.num_measurements);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_ParseFlatCircuit)->Unit(benchmark::kMillisecond);

void BM_ParseRepeatedCircuit(benchmark::State& state) {
    const std::string text =
        "R 0 1 2 3\nREPEAT 100000 {\n  CX 0 1 2 3\n  MR 1 3\n"
        "  DETECTOR rec[-1] rec[-2]\n  SHIFT_COORDS(0, 1)\n}\n";
    for (auto _ : state) {
        Circuit c = parse_kelvo_circuit_text(text);
        benchmark::DoNotOptimize(c.num_measurements);
    }
}
BENCHMARK(BM_ParseRepeatedCircuit)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace kelvo
