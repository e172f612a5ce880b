#include <benchmark/benchmark.h>

#include <random>

#include "bits.h"
#include "compiler/program.h"
#include "sampler/exogenous.h"
#include "sampler/presampled_expression.h"
#include "splitmix64.h"
#include "testing/time_ratio.h"

namespace kelvo {
namespace {

constexpr uint64_t kConditions = 10000;
constexpr double kProbabilities[] = {1e-3, 1e-2, 0.1, 0.5};

using test_support::best_seconds_per_call;
using test_support::time_ratio;

// n conditions of probability p, grouped as the compiler groups them.
FactoredInstructionProgram noise_program(double p, uint64_t n) {
    FactoredInstructionProgram program;
    program.num_symbols = n;
    BernoulliSampleGroup group{{}, p};
    for (int32_t c = 1; c <= static_cast<int32_t>(n); ++c) {
        if (p < 0.02) {
            group.conditions.push_back(c);
        } else {
            program.dense_bernoulli_conditions.push_back(c);
            program.dense_bernoulli_probabilities.push_back(p);
        }
    }
    if (p < 0.02) program.bernoulli_groups.push_back(group);
    return program;
}

// The baseline: one uniform per bit.
void naive_rows(std::vector<uint64_t>& values, uint64_t n, uint64_t shots, double p,
                uint64_t& rng) {
    const uint64_t words = word_count(shots);
    values.assign(n * words, 0);
    for (uint64_t c = 0; c < n; ++c) {
        for (uint64_t s = 0; s < shots; ++s) {
            if (splitmix64_uniform(rng) < p) values[c * words + s / 64] |= uint64_t{1} << (s % 64);
        }
    }
}

// Arguments: probability index, chunk shots. Counters: speed-up over the baseline, and the
// time per (event + row word), which stays flat at low p if the cost follows events.
void BM_resample_exogenous(benchmark::State& state) {
    const double p = kProbabilities[state.range(0)];
    const uint64_t shots = static_cast<uint64_t>(state.range(1));
    const FactoredInstructionProgram program = noise_program(p, kConditions);
    PackedPresampledExogenous storage;
    prepare_presampled_exogenous_packed(storage, program);
    uint64_t seed = 1;
    for (auto _ : state) {
        resample_prepared_exogenous_packed_in_place(storage, program, shots, seed++);
        benchmark::DoNotOptimize(storage.values.data());
    }
    uint64_t events = storage.sparse_shots.size();
    for (uint64_t i = 0; i < kConditions; ++i) {
        if (storage.is_sparse(i)) continue;
        for (const uint64_t w : storage.dense_row(i))
            events += std::popcount(w);
    }
    const double ours = best_seconds_per_call(
        [&] { resample_prepared_exogenous_packed_in_place(storage, program, shots, seed++); });
    std::vector<uint64_t> values;
    uint64_t rng = 1;
    const double naive =
        best_seconds_per_call([&] { naive_rows(values, kConditions, shots, p, rng); }, 3);
    state.counters["vs_naive"] = naive / ours;
    state.counters["ns_per_event_or_word"] =
        ours * 1e9 / static_cast<double>(events + kConditions * word_count(shots));
    state.counters["events"] = static_cast<double>(events);
}
BENCHMARK(BM_resample_exogenous)
    ->ArgsProduct({{0, 1, 2, 3}, {2048, 65536}})
    ->Unit(benchmark::kMillisecond);

// A program of `instructions` expressions over as many noise conditions, each expression a
// random handful of ids near its position (as detector parities are), so that many share
// ids and some nest.
FactoredInstructionProgram expression_program(uint64_t instructions) {
    FactoredInstructionProgram program = noise_program(0.1, instructions);
    std::mt19937_64 rng(instructions);
    for (uint64_t i = 0; i < instructions; ++i) {
        std::vector<int32_t> ids;
        for (int j = 0; j < 6; ++j) {
            ids.push_back(static_cast<int32_t>(1 + std::min(i + rng() % 16, instructions - 1)));
        }
        SymbolicBool sign{normalize_xor_conditions(ids), (rng() & 1) != 0};
        const SymbolicBoolEvaluationPlan plan(sign);
        program.instructions.push_back(
            DeterministicOutcome{sign, plan, std::nullopt, std::nullopt, std::nullopt});
    }
    return program;
}

// Argument: program size. Counter: ns per delta id per row word (flat as the program grows).
void BM_evaluate_expression_block(benchmark::State& state) {
    const uint64_t instructions = static_cast<uint64_t>(state.range(0));
    const FactoredInstructionProgram program = expression_program(instructions);
    PackedPresampledExogenous storage;
    prepare_presampled_exogenous_packed(storage, program);
    PresampledExpressionPlan plan;
    prepare_presampled_expression_plan(plan, program, storage);
    resample_prepared_exogenous_packed_in_place(storage, program, 2048, 1);
    PresampledExpressionBlock block;
    for (auto _ : state) {
        evaluate_presampled_expression_block(block, plan, storage);
        benchmark::DoNotOptimize(block.words.data());
    }
    uint64_t delta_ids = 0;
    for (const PresampledExpression& e : plan.block_expressions)
        delta_ids += e.delta_conditions.size();
    state.counters["ns_per_delta_id_word"] = benchmark::Counter(
        static_cast<double>(delta_ids * storage.words_per_row),
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    state.counters["delta_ids_per_expression"] =
        static_cast<double>(delta_ids) / static_cast<double>(plan.block_expressions.size());
}
BENCHMARK(BM_evaluate_expression_block)->RangeMultiplier(10)->Range(1000, 100000);

}  // namespace
}  // namespace kelvo
