#include "compiler/component_plan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "compiler/program.h"
#include "errors.h"

namespace kelvo {
namespace {

PauliString pauli_of(uint64_t n, uint64_t x, uint64_t z, uint8_t phase) {
    PauliString p(n);
    p.x[0] = x;
    p.z[0] = z;
    p.phase = (phase + std::popcount(x & z)) % 4;
    return p;
}

FactoredInstruction rotation(uint64_t n, uint64_t x, uint64_t z, double theta = 0.3) {
    return ActiveRotation{{}, {}, {ActivePauliAction(pauli_of(n, x, z, 0)), theta}};
}

FactoredInstruction measurement(uint64_t n, uint64_t x, uint64_t z, uint8_t sign) {
    ActiveMeasurement m;
    m.kernel = PrecomputedActivePauliMeasurementKernel::from_pauli(pauli_of(n, x, z, 2 * sign));
    return m;
}

FactoredInstructionProgram program_of(uint64_t initial, uint64_t k,
                                      std::vector<FactoredInstruction> instructions) {
    FactoredInstructionProgram program;
    program.initial_active_qubits = initial;
    program.active_qubits = k;
    program.instructions = std::move(instructions);
    return program;
}

// Replays the plan on plain coordinate lists (a component is alive while it has any) and
// checks it against the dense kernels and a recount of widths and storage.
void replay(const FactoredInstructionProgram& program, const ActiveComponentPlan& plan) {
    std::vector<std::vector<uint64_t>> comps;
    std::vector<uint64_t> active, widest;
    const auto add = [&](uint64_t c) {
        comps.push_back({c});
        widest.push_back(1);
        active.push_back(c);
    };
    for (uint64_t c = 0; c < program.initial_active_qubits; ++c)
        add(c);
    uint64_t peak = 2 * comps.size();
    // Merges the step's order after checking it, then maps the local kernel back.
    const auto step_on = [&](uint64_t start, uint64_t count, const ActivePauliAction& dense,
                             const ActivePauliAction& local) {
        const std::vector<uint64_t> order(&plan.merges[start], &plan.merges[start] + count);
        std::vector<uint64_t> touched, sorted = order;
        for (uint64_t c = 0; c < comps.size(); ++c) {
            for (uint64_t p = 0; p < active.size(); ++p) {
                const bool hit = (((dense.x_mask | dense.z_mask) >> p) & 1) ||
                                 (dense.x_mask + dense.z_mask == 0 && p == 0);
                if (hit && std::count(comps[c].begin(), comps[c].end(), active[p])) {
                    touched.push_back(c);
                    EXPECT_GE(std::tuple(comps[order[0]].size(), c),
                              std::tuple(comps[c].size(), order[0]));
                    break;
                }
            }
        }
        std::sort(sorted.begin(), sorted.end());
        EXPECT_EQ(sorted, touched);
        EXPECT_TRUE(std::is_sorted(order.begin() + 1, order.end()));
        std::vector<uint64_t>& target = comps[order[0]];
        for (uint64_t i = 1; i < order.size(); ++i) {
            target.insert(target.end(), comps[order[i]].begin(), comps[order[i]].end());
            comps[order[i]].clear();
        }
        widest[order[0]] = std::max<uint64_t>(widest[order[0]], target.size());
        ActivePauliAction back = local;
        back.x_mask = back.z_mask = 0;
        for (uint64_t j = 0; j < target.size(); ++j) {
            const uint64_t p = std::find(active.begin(), active.end(), target[j]) - active.begin();
            back.x_mask |= ((local.x_mask >> j) & 1) << p;
            back.z_mask |= ((local.z_mask >> j) & 1) << p;
        }
        back.k = active.size();
        EXPECT_EQ(local.k, target.size());
        EXPECT_EQ(back, dense);
        return order[0];
    };
    for (size_t i = 0; i < program.instructions.size(); ++i) {
        const ActiveComponentInstructionStep step = plan.instruction_steps[i];
        const FactoredInstruction& in = program.instructions[i];
        if (const auto* r = std::get_if<ActiveRotation>(&in)) {
            ASSERT_EQ(step.kind, ActiveComponentStepKind::Rotation);
            const ActiveComponentRotationStep& s = plan.rotation_steps[step.index];
            ASSERT_EQ(step_on(s.merge_start, s.merge_count, r->kernel.action, s.kernel.action),
                      s.component);
            EXPECT_EQ(s.kernel.theta, r->kernel.theta);
        } else if (const auto* m = std::get_if<ActiveMeasurement>(&in)) {
            ASSERT_EQ(step.kind, ActiveComponentStepKind::Measurement);
            const ActiveComponentMeasurementStep& s = plan.measurement_steps[step.index];
            ASSERT_EQ(step_on(s.merge_start, s.merge_count, m->kernel.action(), s.kernel.action()),
                      s.component);
            std::vector<uint64_t>& comp = comps[s.component];
            ASSERT_EQ(comp[s.kernel.pivot], active[m->kernel.pivot]);
            EXPECT_EQ(s.kernel.negative, m->kernel.negative);
            comp.erase(comp.begin() + s.kernel.pivot);
            active.erase(active.begin() + m->kernel.pivot);
            EXPECT_EQ(s.emptied, comp.empty());
        } else if (std::holds_alternative<DormantPromotion>(in)) {
            ASSERT_EQ(step.kind, ActiveComponentStepKind::Promotion);
            EXPECT_EQ(plan.promotion_targets[step.index], comps.size());
            add(program.initial_active_qubits + step.index);
        } else {
            EXPECT_EQ(step.kind, ActiveComponentStepKind::None);
        }
        std::vector<uint64_t> covered, sorted_active = active;
        uint64_t storage = 0;
        for (const std::vector<uint64_t>& comp : comps) {
            covered.insert(covered.end(), comp.begin(), comp.end());
            storage += comp.empty() ? 0 : uint64_t{1} << comp.size();
        }
        std::sort(covered.begin(), covered.end());
        std::sort(sorted_active.begin(), sorted_active.end());
        ASSERT_EQ(covered, sorted_active);  // alive components partition the active list
        peak = std::max(peak, storage);
    }
    uint64_t storage = 0;
    for (const uint64_t w : widest)
        storage += uint64_t{1} << w;
    EXPECT_EQ(
        std::tuple(plan.component_widths, plan.component_count, plan.peak_storage, plan.storage),
        std::tuple(widest, comps.size(), peak, storage));
}

// Random programs on 8-14 active qubits: promotions, sparse rotations (some the identity),
// measurements and outcomes that take no step.
TEST(ComponentPlan, ReplaysRandomPrograms) {
    std::mt19937_64 rng(11);
    for (int trial = 0; trial < 200; ++trial) {
        const uint64_t initial = 8 + rng() % 4;
        uint64_t x = initial, k = initial;
        std::vector<FactoredInstruction> instructions;
        for (int i = 0; i < 60; ++i) {
            const uint64_t op = rng() % 10;
            if (op < 2 && x < 14) {
                instructions.push_back(DormantPromotion{{}, {}, 0.2});
                k = std::max(k, ++x);
            } else if (op < 3) {
                instructions.push_back(DeterministicOutcome{});
            } else {
                uint64_t xm = 0, zm = 0;
                for (uint64_t t = rng() % (op < 5 ? 3 : 4); t > 0; --t) {
                    const uint64_t q = rng() % x, letter = 1 + rng() % 3;
                    xm |= (letter & 1) << q;
                    zm |= (letter >> 1) << q;
                }
                if (op >= 5 || xm + zm == 0) {
                    instructions.push_back(rotation(x, xm, zm));
                } else {
                    instructions.push_back(measurement(x, xm, zm, rng() % 2));
                    --x;
                }
            }
        }
        const FactoredInstructionProgram program = program_of(initial, k, std::move(instructions));
        const ActiveComponentPlan plan = build_active_component_plan(program);
        ASSERT_EQ(plan.instruction_steps.size(), program.instructions.size());
        replay(program, plan);
        if (HasFatalFailure() || HasFailure()) return;
    }
}

TEST(ComponentPlan, SmallProgramsAndLimits) {
    std::vector<FactoredInstruction> many;
    for (int i = 0; i < 50; ++i)
        many.push_back(rotation(8, 0, uint64_t{1} << (i % 8)));
    const ActiveComponentPlan independent = build_active_component_plan(program_of(8, 8, many));
    EXPECT_EQ(independent.component_widths, std::vector<uint64_t>(8, 1));
    EXPECT_TRUE(independent.enabled);
    many.push_back(rotation(8, 0xff, 0));
    const ActiveComponentPlan merged = build_active_component_plan(program_of(8, 8, many));
    EXPECT_EQ(merged.component_widths[0], 8u);
    EXPECT_TRUE(merged.enabled);
    replay(program_of(8, 8, many), merged);

    // Below 8 active qubits, with an expectation value, or with fewer than 4 steps: disabled.
    const ActiveComponentPlan seven = build_active_component_plan(program_of(7, 7, many));
    EXPECT_TRUE(seven.instruction_steps.empty());
    EXPECT_FALSE(seven.enabled);
    FactoredInstructionProgram with_exp = program_of(8, 8, many);
    with_exp.num_exp_vals = 1;
    ActiveComponentPlan empty;
    empty.dense_storage = 256;
    empty.initial_active_qubits = 8;
    EXPECT_EQ(build_active_component_plan(with_exp), empty);
    const std::vector<FactoredInstruction> three(3, rotation(20, 1, 0));
    EXPECT_FALSE(build_active_component_plan(program_of(20, 20, three)).enabled);
    with_exp.active_qubits = 62;
    EXPECT_THROW(build_active_component_plan(with_exp), KelvoError);
}

// Each of the four enabling tests at its boundary, the others passing: steps, dense cost,
// component cost, dense storage, storage.
TEST(ComponentPlan, EnablingThresholds) {
    const std::tuple<uint64_t, double, double, uint64_t, uint64_t, bool> cases[] = {
        {4, 1e6, 1000, 1024, 1024, true},  {3, 1e6, 1000, 1024, 1024, false},
        {4, 1.8e6, 1e6, 1024, 1024, true}, {4, 1.8e6 - 1, 1e6, 1024, 1024, false},
        {4, 9192, 1000, 1024, 1024, true}, {4, 9191, 1000, 1024, 1024, false},
        {4, 1e6, 1000, 1024, 1280, true},  {4, 1e6, 1000, 1024, 1281, false},
    };
    for (const auto& [steps, dense, component, dense_storage, storage, pays] : cases)
        EXPECT_EQ(component_plan_pays(steps, dense, component, dense_storage, storage), pays)
            << steps << " " << dense << " " << storage;
}

}  // namespace
}  // namespace kelvo
