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

// Replays the plan with plain coordinate lists and checks it against the dense kernels.
void replay(const FactoredInstructionProgram& program, const ActiveComponentPlan& plan) {
    std::vector<std::vector<uint64_t>> comps;
    std::vector<uint64_t> active, widest;
    std::vector<bool> alive;
    uint64_t peak = 2 * program.initial_active_qubits;
    auto add = [&](uint64_t c) {
        comps.push_back({c});
        alive.push_back(true);
        widest.push_back(1);
        active.push_back(c);
    };
    for (uint64_t c = 0; c < program.initial_active_qubits; ++c)
        add(c);
    auto position = [&](uint64_t c) {
        return uint64_t(std::find(active.begin(), active.end(), c) - active.begin());
    };
    auto merge_into = [&](uint64_t start, uint64_t count, uint64_t x, uint64_t z) {
        const std::vector<uint64_t> order(plan.merges.begin() + start,
                                          plan.merges.begin() + start + count);
        std::vector<uint64_t> touched;
        for (uint64_t p = 0; p < active.size(); ++p) {
            for (uint64_t c = 0; c < comps.size(); ++c) {
                const bool in = std::count(comps[c].begin(), comps[c].end(), active[p]);
                if (in && (((x | z) >> p) & 1 || ((x | z) == 0 && p == 0))) touched.push_back(c);
            }
        }
        std::sort(touched.begin(), touched.end());
        touched.erase(std::unique(touched.begin(), touched.end()), touched.end());
        std::vector<uint64_t> sorted_order = order;
        std::sort(sorted_order.begin(), sorted_order.end());
        EXPECT_EQ(sorted_order, touched);
        EXPECT_TRUE(std::is_sorted(order.begin() + 1, order.end()));
        for (const uint64_t c : touched) {
            EXPECT_TRUE(comps[c].size() < comps[order[0]].size() ||
                        (comps[c].size() == comps[order[0]].size() && c >= order[0]));
        }
        for (uint64_t i = 1; i < order.size(); ++i) {
            comps[order[0]].insert(comps[order[0]].end(), comps[order[i]].begin(),
                                   comps[order[i]].end());
            comps[order[i]].clear();
            alive[order[i]] = false;
        }
        widest[order[0]] = std::max<uint64_t>(widest[order[0]], comps[order[0]].size());
        return order[0];
    };
    // The local masks, mapped back through the component, give the dense masks.
    auto check_local = [&](const std::vector<uint64_t>& comp, uint64_t lx, uint64_t lz, uint64_t lk,
                           uint64_t x, uint64_t z) {
        EXPECT_EQ(lk, comp.size());
        uint64_t bx = 0, bz = 0;
        for (uint64_t j = 0; j < comp.size(); ++j) {
            bx |= ((lx >> j) & 1) << position(comp[j]);
            bz |= ((lz >> j) & 1) << position(comp[j]);
        }
        EXPECT_EQ(bx, x);
        EXPECT_EQ(bz, z);
    };
    for (size_t i = 0; i < program.instructions.size(); ++i) {
        const ActiveComponentInstructionStep step = plan.instruction_steps[i];
        const FactoredInstruction& in = program.instructions[i];
        if (const auto* r = std::get_if<ActiveRotation>(&in)) {
            ASSERT_EQ(step.kind, ActiveComponentStepKind::Rotation);
            const ActiveComponentRotationStep& s = plan.rotation_steps[step.index];
            const ActivePauliAction& a = r->kernel.action;
            ASSERT_EQ(merge_into(s.merge_start, s.merge_count, a.x_mask, a.z_mask), s.component);
            const ActivePauliAction& l = s.kernel.action;
            check_local(comps[s.component], l.x_mask, l.z_mask, l.k, a.x_mask, a.z_mask);
            EXPECT_EQ(l.coefficient, a.coefficient);
            EXPECT_EQ(s.kernel.theta, r->kernel.theta);
        } else if (const auto* m = std::get_if<ActiveMeasurement>(&in)) {
            ASSERT_EQ(step.kind, ActiveComponentStepKind::Measurement);
            const ActiveComponentMeasurementStep& s = plan.measurement_steps[step.index];
            const auto& d = m->kernel;
            ASSERT_EQ(merge_into(s.merge_start, s.merge_count, d.x_mask, d.z_mask), s.component);
            std::vector<uint64_t>& comp = comps[s.component];
            check_local(comp, s.kernel.x_mask, s.kernel.z_mask, s.kernel.k, d.x_mask, d.z_mask);
            EXPECT_EQ(s.kernel.coefficient, d.coefficient);
            EXPECT_EQ(s.kernel.kind, d.kind);
            EXPECT_EQ(s.kernel.negative, d.negative);
            ASSERT_EQ(comp[s.kernel.pivot], active[d.pivot]);
            comp.erase(comp.begin() + s.kernel.pivot);
            active.erase(active.begin() + d.pivot);
            EXPECT_EQ(s.emptied, comp.empty());
            alive[s.component] = !comp.empty();
        } else if (std::holds_alternative<DormantPromotion>(in)) {
            ASSERT_EQ(step.kind, ActiveComponentStepKind::Promotion);
            EXPECT_EQ(plan.promotion_targets[step.index], comps.size());
            add(program.initial_active_qubits + step.index);
        } else {
            EXPECT_EQ(step.kind, ActiveComponentStepKind::None);
        }
        // Alive components partition the active list.
        std::vector<uint64_t> covered;
        uint64_t storage = 0;
        for (uint64_t c = 0; c < comps.size(); ++c) {
            EXPECT_EQ(alive[c], !comps[c].empty());
            covered.insert(covered.end(), comps[c].begin(), comps[c].end());
            if (alive[c]) storage += uint64_t{1} << comps[c].size();
        }
        std::vector<uint64_t> sorted_active = active;
        std::sort(covered.begin(), covered.end());
        std::sort(sorted_active.begin(), sorted_active.end());
        ASSERT_EQ(covered, sorted_active);
        peak = std::max(peak, storage);
    }
    EXPECT_EQ(plan.component_widths, widest);
    EXPECT_EQ(plan.component_count, comps.size());
    EXPECT_EQ(plan.peak_storage, peak);
    uint64_t storage = 0;
    for (const uint64_t w : widest)
        storage += uint64_t{1} << w;
    EXPECT_EQ(plan.storage, storage);
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
    EXPECT_EQ(merged.merges.size(), 50u + 8u);
    EXPECT_EQ(merged.rotation_steps.back().component, 0u);
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

    // Plan failures on inconsistent programs.
    const auto fails = [](const FactoredInstructionProgram& p, const std::string& message) {
        try {
            build_active_component_plan(p);
            ADD_FAILURE() << message;
        } catch (const KelvoError& e) {
            EXPECT_EQ(e.what(), message);
        }
    };
    fails(program_of(8, 8, {rotation(9, 1, 0)}),
          "component planner saw a rotation with the wrong active width");
    fails(program_of(8, 8, {measurement(7, 1, 0, 0)}),
          "component planner saw a measurement with the wrong active width");
}

// Each of the four enabling tests at its boundary, the others passing.
TEST(ComponentPlan, EnablingThresholds) {
    struct Case {
        uint64_t steps;
        double dense, component;
        uint64_t dense_storage, storage;
        bool pays;
    };
    const Case cases[] = {
        {4, 1e6, 1000, 1024, 1024, true},    {3, 1e6, 1000, 1024, 1024, false},
        {4, 18432, 10240, 1024, 1024, true}, {4, 18431, 10240, 1024, 1024, false},
        {4, 9192, 1000, 1024, 1024, true},   {4, 9191, 1000, 1024, 1024, false},
        {4, 1e6, 1000, 1024, 1280, true},    {4, 1e6, 1000, 1024, 1281, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(component_plan_pays(c.steps, c.dense, c.component, c.dense_storage, c.storage),
                  c.pays)
            << c.steps << " " << c.dense << " " << c.storage;
    }
}

}  // namespace
}  // namespace kelvo
