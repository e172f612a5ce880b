#include <benchmark/benchmark.h>

#include <random>

#include "sampler/batch/executor.h"
#include "sampler/batch/symbols.h"

namespace kelvo {
namespace {

// Arguments: conditions and live words. Items are condition-words, so a flat rate means a
// cost linear in both.
void BM_eval_symbolic_bool_batch(benchmark::State& state) {
    const uint64_t conditions = state.range(0), words = state.range(1);
    FactoredInstructionProgram program;
    program.num_symbols = 64;
    BatchFactoredExecutorState executor(program, words * 64, 1);
    std::mt19937_64 rng(5);
    std::vector<uint64_t> bits(words);
    for (uint32_t c = 1; c <= 64; ++c) {
        for (uint64_t& w : bits)
            w = rng();
        assign_batch_symbol(executor, c, bits);
    }
    SymbolicBool value;
    for (uint64_t c = 1; c <= conditions; ++c)
        value.conditions.push_back(static_cast<int32_t>(c));
    const SymbolicBoolEvaluationPlan plan(value);
    std::vector<uint64_t> out;
    for (auto _ : state) {
        eval_symbolic_bool_batch(out, plan, executor);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations() * conditions * words);
}
BENCHMARK(BM_eval_symbolic_bool_batch)->ArgsProduct({{1, 4, 16, 40, 64}, {1, 2, 8, 32}});

}  // namespace
}  // namespace kelvo
