#include <benchmark/benchmark.h>

#include <random>

#include "bits.h"
#include "compiler/assembly.h"
#include "compiler/component_plan.h"
#include "compiler/program.h"

namespace kelvo {
namespace {

PauliString random_sparse_pauli(std::mt19937_64& rng, uint64_t n) {
    PauliString p(n);
    for (int t = 1 + rng() % 3; t > 0; --t) {
        const uint64_t q = rng() % n, letter = 1 + rng() % 3;
        p.x[0] |= (letter & 1) << q;
        p.z[0] |= (letter >> 1) << q;
    }
    p.phase = std::popcount(p.x[0] & p.z[0]) % 4;
    return p;
}

// k = 20 active qubits throughout: sparse rotations, and measurements each followed by the
// promotion that refills the active set.
FactoredInstructionProgram planner_workload(uint64_t instructions, uint64_t k) {
    std::mt19937_64 rng(5);
    FactoredInstructionProgram program;
    program.initial_active_qubits = k;
    program.active_qubits = k;
    while (program.instructions.size() < instructions) {
        const PauliString p = random_sparse_pauli(rng, k);
        if (rng() % 4 != 0) {
            program.instructions.push_back(ActiveRotation{{}, {}, {ActivePauliAction(p), 0.1}});
        } else {
            ActiveMeasurement m;
            m.kernel = PrecomputedActivePauliMeasurementKernel::from_pauli(p);
            program.instructions.push_back(m);
            program.instructions.push_back(DormantPromotion{{}, {}, 0.1});
        }
    }
    return program;
}

void BM_ComponentPlan(benchmark::State& state) {
    const FactoredInstructionProgram program =
        planner_workload(static_cast<uint64_t>(state.range(0)), 20);
    for (auto _ : state)
        benchmark::DoNotOptimize(build_active_component_plan(program));
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_ComponentPlan)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

// n noise conditions over n / 10 distinct small probabilities, and n instructions: outcomes
// whose signs read nearby noise and recent outcomes, fair coins and detectors over recent
// outcomes.
struct AssemblyInput {
    std::vector<FactoredInstruction> instructions;
    SymbolicContext context;
};

AssemblyInput assembly_workload(uint64_t n) {
    std::mt19937_64 rng(9);
    AssemblyInput in;
    for (uint64_t i = 0; i < n; ++i)
        in.context.fresh_bernoulli_condition(0.001 * (1 + i % (n / 10)) / n);
    std::vector<int32_t> outcomes = {1};
    // Errors near the outcome that reads them, as in a circuit: ids from a window at i.
    uint64_t i = 0;
    const auto noise = [&] { return static_cast<int32_t>(1 + (i + rng() % 64) % n); };
    const auto recent = [&] {
        return outcomes[outcomes.size() - 1 - rng() % std::min<size_t>(outcomes.size(), 8)];
    };
    for (; i < n; ++i) {
        const uint32_t c = in.context.next_condition_id++;
        switch (i % 3) {
            case 0:
                in.instructions.push_back(DeterministicOutcome{
                    {normalize_xor_conditions({noise(), noise(), recent()}), false}, {}, c, c, {}});
                break;
            case 1: {
                const int32_t coin = static_cast<int32_t>(in.context.next_condition_id++);
                in.instructions.push_back(RandomOutcome{
                    {normalize_xor_conditions({coin, noise()}), false}, {}, c, c, {}, coin});
                break;
            }
            default:
                RecordDetector d;
                d.parity = {normalize_xor_conditions({recent(), recent(), recent()}), false};
                d.id = static_cast<uint32_t>(i / 3 + 1);
                in.instructions.push_back(Detector{d});
                continue;
        }
        outcomes.push_back(static_cast<int32_t>(c));
    }
    return in;
}

void BM_WithContext(benchmark::State& state) {
    const AssemblyInput in = assembly_workload(static_cast<uint64_t>(state.range(0)));
    for (auto _ : state) {
        state.PauseTiming();
        AssemblyInput copy = in;
        state.ResumeTiming();
        FactoredInstructionProgram program = FactoredInstructionProgram::with_context(
            0, 0, std::move(copy.instructions), 0, std::move(copy.context), {});
        benchmark::DoNotOptimize(program);
        state.PauseTiming();  // the release is not part of assembly
        program = {};
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_WithContext)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

// 100000 conditions over 10000 distinct probabilities.
void BM_BernoulliGroups(benchmark::State& state) {
    std::vector<double> probabilities;
    for (int i = 0; i < 100000; ++i)
        probabilities.push_back(1e-6 * (1 + (i * 7919) % 10000));
    for (auto _ : state) {
        std::vector<BernoulliSampleGroup> groups;
        BernoulliGroupIndex index;
        for (int i = 0; i < 100000; ++i)
            push_bernoulli_sample_group(groups, index, i + 1, probabilities[i]);
        benchmark::DoNotOptimize(groups.data());
    }
}
BENCHMARK(BM_BernoulliGroups)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace kelvo
