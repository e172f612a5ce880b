#include <benchmark/benchmark.h>

#include <random>

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

}  // namespace
}  // namespace kelvo
