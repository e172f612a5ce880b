// Whole compilations with plan_circuit: the circuit files that bench/compile.py writes into
// $KELVO_COMPILE_BENCH_DIR (noisy memory experiments), T-heavy circuits whose cost must grow
// linearly with the number of T gates, and wide T layers (bench/compile_growth.py reads their
// expression sizes).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>

#include "circuit/ir.h"
#include "compiler/compile.h"

namespace kelvo {
namespace {

uint64_t status_kib(const std::string& field) {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind(field + ":", 0) == 0) return std::stoull(line.substr(field.size() + 1));
    }
    return 0;
}

// Peak resident memory of one compilation above what was resident before it.
double peak_megabytes(const Circuit& circuit) {
    std::ofstream("/proc/self/clear_refs") << "5";  // resets the peak to the current size
    const uint64_t before = status_kib("VmRSS");
    const FactoredInstructionProgram program = plan_circuit(circuit, {});
    benchmark::DoNotOptimize(program.instructions.data());
    return static_cast<double>(status_kib("VmHWM") - before) / 1024;
}

// The peak is taken once per benchmark and process: later repetitions reuse freed memory.
void run(benchmark::State& state, const std::string& key, const Circuit& circuit) {
    static std::map<std::string, double> peaks;
    if (!peaks.count(key)) peaks[key] = peak_megabytes(circuit);
    state.counters["peak_MB"] = peaks[key];
    uint64_t instructions = 0;
    for (auto _ : state) {
        const FactoredInstructionProgram program = plan_circuit(circuit, {});
        instructions = program.instructions.size();
    }
    state.counters["instructions"] = static_cast<double>(instructions);
}

void BM_PlanCircuitFile(benchmark::State& state, const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    run(state, path, Circuit::from_text(text.str()));
}

// T gates on random qubits of 30, each after a layer of random H, S and CX gates, then every
// qubit measured.
void BM_PlanTHeavy(benchmark::State& state) {
    const auto t_gates = static_cast<uint64_t>(state.range(0));
    const uint64_t n = 30;
    std::mt19937_64 rng(5);
    std::ostringstream text;
    for (uint64_t i = 0; i < t_gates; ++i) {
        for (int g = 0; g < 4; ++g) {
            const uint64_t a = rng() % n, b = (a + 1 + rng() % (n - 1)) % n;
            text << (rng() % 2 ? "H " : "S ") << a << "\nCX " << a << ' ' << b << '\n';
        }
        text << "T " << rng() % n << '\n';
    }
    text << 'M';
    for (uint64_t q = 0; q < n; ++q)
        text << ' ' << q;
    text << '\n';
    run(state, std::to_string(t_gates), Circuit::from_text(text.str()));
    state.counters["T_gates"] = static_cast<double>(t_gates);
}
BENCHMARK(BM_PlanTHeavy)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

// REPEAT R { H, T on 50 qubits, a CZ line, M all, DETECTOR }: measured bodies that change every
// round. The program's expressions grow faster than the circuit, so the time per expression id
// (over every sign and detector parity) is what should stay flat.
void BM_PlanWideTLayers(benchmark::State& state) {
    const auto rounds = static_cast<uint64_t>(state.range(0));
    std::ostringstream all, pairs, text;
    for (int q = 0; q < 50; ++q)
        all << ' ' << q;
    for (int q = 0; q + 1 < 50; ++q)
        pairs << ' ' << q << ' ' << q + 1;
    text << "REPEAT " << rounds << " {\nH" << all.str() << "\nT" << all.str() << "\nCZ"
         << pairs.str() << "\nM" << all.str() << "\nDETECTOR rec[-1]\n}\n";
    const Circuit circuit = Circuit::from_text(text.str());
    uint64_t ids = 0;
    for (auto _ : state) {
        const FactoredInstructionProgram program = plan_circuit(circuit, {});
        ids = 0;
        for (const FactoredInstruction& instruction : program.instructions)
            ids += instruction_sign(instruction).conditions.size();
    }
    state.counters["expression_ids"] = static_cast<double>(ids);
    state.counters["per_id"] =
        benchmark::Counter(static_cast<double>(ids), benchmark::Counter::kIsIterationInvariantRate |
                                                         benchmark::Counter::kInvert);
}
BENCHMARK(BM_PlanWideTLayers)
    ->Arg(40)
    ->Arg(80)
    ->Arg(120)
    ->Arg(240)
    ->Unit(benchmark::kSecond)
    ->Iterations(1);

// One benchmark per circuit file, registered before main runs.
const bool kFilesRegistered = [] {
    const char* dir = std::getenv("KELVO_COMPILE_BENCH_DIR");
    if (dir == nullptr || !std::filesystem::is_directory(dir)) return false;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (entry.path().extension() != ".stim") continue;
        benchmark::RegisterBenchmark(("BM_PlanCircuitFile/" + entry.path().stem().string()).c_str(),
                                     BM_PlanCircuitFile, entry.path().string())
            ->Unit(benchmark::kMillisecond);
    }
    return true;
}();

}  // namespace
}  // namespace kelvo
