#include <benchmark/benchmark.h>

#include <sstream>
#include <string>

#include "circuit/parser.h"
#include "sampler/prepared.h"

namespace kelvo {
namespace {

// A repetition-code memory experiment: d data qubits, d - 1 ancillas, d rounds, noise p on
// every gate, reset and measurement.
std::string repetition_memory(uint64_t d, double p) {
    std::ostringstream data, ancillas, pairs_a, pairs_b, out;
    for (uint64_t i = 0; i < d; ++i)
        data << ' ' << 2 * i;
    for (uint64_t i = 0; i + 1 < d; ++i) {
        ancillas << ' ' << 2 * i + 1;
        pairs_a << ' ' << 2 * i << ' ' << 2 * i + 1;
        pairs_b << ' ' << 2 * i + 2 << ' ' << 2 * i + 1;
    }
    out << "R" << data.str() << ancillas.str() << "\nX_ERROR(" << p << ")" << data.str()
        << ancillas.str() << "\n";
    for (uint64_t r = 0; r < d; ++r) {
        out << "DEPOLARIZE1(" << p << ")" << data.str() << "\nCX" << pairs_a.str()
            << "\nDEPOLARIZE2(" << p << ")" << pairs_a.str() << "\nCX" << pairs_b.str()
            << "\nDEPOLARIZE2(" << p << ")" << pairs_b.str() << "\nX_ERROR(" << p << ")"
            << ancillas.str() << "\nMR" << ancillas.str() << "\n";
        for (uint64_t i = 0; i + 1 < d; ++i) {
            out << "DETECTOR rec[-" << d - 1 - i << "]";
            if (r > 0) out << " rec[-" << 2 * (d - 1) - i << "]";
            out << "\n";
        }
    }
    out << "X_ERROR(" << p << ")" << data.str() << "\nM" << data.str() << "\n";
    for (uint64_t i = 0; i + 1 < d; ++i)
        out << "DETECTOR rec[-" << d - i << "] rec[-" << d - i - 1 << "] rec[-" << 2 * d - 1 - i
            << "]\n";
    out << "OBSERVABLE_INCLUDE(0) rec[-1]\n";
    return out.str();
}

// Argument: code distance. Items are shots of bit-packed rows on one thread.
void BM_SampleRepetitionMemory(benchmark::State& state) {
    SamplerOptions options;
    options.threads = 1;
    Sampler sampler(parse_kelvo_circuit_text(repetition_memory(state.range(0), 0.001)), options);
    uint64_t seed = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(sampler.sample_with_seed(10000, ++seed, true));
    state.SetItemsProcessed(state.iterations() * 10000);
}
BENCHMARK(BM_SampleRepetitionMemory)->Arg(5)->Arg(25)->Unit(benchmark::kMillisecond);

// Low magic: a T layer between Hadamards on a few of 24 qubits, with noise.
void BM_SampleLowMagic(benchmark::State& state) {
    std::string text =
        "H 0 1 2 3 4 5\nT 0 1 2 3 4 5\nCX 0 6 1 7 2 8\nDEPOLARIZE1(0.01) 0 1 2\n"
        "H 0 1 2 3 4 5\nT 0 1 2 3 4 5\nCX 3 9 4 10 5 11\nH 0 1 2 3 4 5\nM";
    for (int q = 0; q < 24; ++q) {
        text += ' ';
        text += std::to_string(q);
    }
    text += '\n';
    SamplerOptions options;
    options.threads = 1;
    Sampler sampler(parse_kelvo_circuit_text(text), options);
    uint64_t seed = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(sampler.sample_with_seed(10000, ++seed, true));
    state.SetItemsProcessed(state.iterations() * 10000);
}
BENCHMARK(BM_SampleLowMagic)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace kelvo
