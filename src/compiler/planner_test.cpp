#include "compiler/planner.h"

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>
#include <variant>
#include <vector>

#include "bits.h"
#include "circuit/parser.h"
#include "compiler/compile.h"
#include "compiler/lowering.h"
#include "testing/random_circuit.h"

namespace kelvo {
namespace {

// constant XOR the table bits of the conditions, read one by one.
bool evaluate_directly(const SymbolicBool& sign, const std::vector<uint64_t>& table) {
    bool value = sign.constant;
    for (const int32_t c : sign.conditions)
        value ^= get_bit(table, static_cast<uint64_t>(c) - 1);
    return value;
}

// Plans the circuit step by step and checks that every instruction a step emits carries the
// plan of its own sign; returns the kinds emitted.
std::set<size_t> check_step_plans(const std::string& text, std::mt19937_64& rng) {
    CircuitLoweringResult lowering = lower_circuit_with_anchors(parse_kelvo_circuit_text(text));
    PendingFactoredState state = PendingFactoredState::from_frame_state(std::move(lowering.state));
    std::set<size_t> kinds;
    while (state.cursor < state.pending.size()) {
        const size_t before = state.instructions.size();
        const FactoredInstruction* last = process_next_pending_operation(state);
        EXPECT_EQ(last, state.instructions.size() == before ? nullptr : &state.instructions.back());
        for (size_t i = before; i < state.instructions.size(); ++i) {
            const FactoredInstruction& instruction = state.instructions[i];
            kinds.insert(instruction.index());
            const SymbolicBool& sign = instruction_sign(instruction);
            const SymbolicBoolEvaluationPlan& plan = std::visit(
                [](const auto& kind) -> const SymbolicBoolEvaluationPlan& {
                    if constexpr (requires { kind.sign_plan; })
                        return kind.sign_plan;
                    else
                        return kind.detector.plan;
                },
                instruction);
            EXPECT_EQ(plan, SymbolicBoolEvaluationPlan(sign)) << text;
            const uint64_t ids = sign.conditions.empty() ? 0 : sign.conditions.back();
            std::vector<uint64_t> table(word_count(ids) + 1);
            for (int draw = 0; draw < 8; ++draw) {
                for (uint64_t& word : table)
                    word = rng();
                EXPECT_EQ(plan.evaluate(table), evaluate_directly(sign, table)) << text;
            }
        }
    }
    return kinds;
}

TEST(Planner, EachStepReturnsItsInstructionWithThePlanOfItsSign) {
    std::mt19937_64 rng(5);
    std::set<size_t> kinds;
    // A promotion, an active rotation and measurement, a replacement, deterministic outcomes
    // with noise in their signs, both kinds of expectation, and heralds as classical records.
    for (const char* text : {
             "H 0\nT 0\nX_ERROR(0.1) 0 1\nH 0\nT 0\nM 0 1\nMX 1\nM 1\nHERALDED_ERASE(0.1) 2\nM 2",
             "H 0\nT 0\nEXP_VAL Z0 X1\nDEPOLARIZE1(0.2) 0 1\nM 0 1\nEXP_VAL X0\n",
         }) {
        kinds.merge(check_step_plans(text, rng));
    }
    testing::RandomCircuit gen(31);
    for (int i = 0; i < 100; ++i)
        kinds.merge(check_step_plans(gen.make(i % 3 != 0), rng));
    for (const size_t kind : {0, 1, 2, 4, 5})
        EXPECT_TRUE(kinds.contains(kind)) << kind;
}

// The loop a caller runs before it assembles leaves every plan to the assembly, and only for
// its own run.
TEST(Planner, TheLoopBeforeAssemblyLeavesPlansEmpty) {
    const Circuit circuit = parse_kelvo_circuit_text("H 0\nT 0\nX_ERROR(0.1) 0\nM 0\nM 0\n");
    PendingFactoredState state =
        PendingFactoredState::from_frame_state(lower_circuit_with_anchors(circuit).state);
    plan_pending_operations(state, {});
    ASSERT_EQ(state.instructions.size(), 3u);
    for (const FactoredInstruction& instruction : state.instructions) {
        std::visit(
            [](const auto& kind) {
                if constexpr (requires { kind.sign_plan; }) {
                    EXPECT_EQ(kind.sign_plan, SymbolicBoolEvaluationPlan{});
                }
            },
            instruction);
    }
    EXPECT_FALSE(state.plans_left_to_assembly);
}

// T gates on qubits held in a Z eigenstate (flipped by noise, entangled only through CX
// controls) are global phases: their noisy signs are never reduced, and the program is the one
// of the circuit without them, outcome for outcome and id for id.
TEST(Planner, GlobalPhaseRotationsPlanAsIfAbsent) {
    const std::string body = "X_ERROR(0.1) 0 1 2\nCX 0 1\nDEPOLARIZE2(0.05) 1 2\nH 2\n";
    const std::string measure = "M 1\nR 1\nMX 2\nDETECTOR rec[-1] rec[-2]\n";
    const std::string with =
        "R 0 1 2\nREPEAT 60 {\n" + body + "T 0\nT_DAG 0\nT 0\n" + measure + "T 0\n}\nM 0\n";
    const std::string without = "R 0 1 2\nREPEAT 60 {\n" + body + measure + "}\nM 0\n";
    const FactoredInstructionProgram a = plan_circuit(parse_kelvo_circuit_text(with), {});
    const FactoredInstructionProgram b = plan_circuit(parse_kelvo_circuit_text(without), {});
    EXPECT_EQ(a.instructions, b.instructions);
    EXPECT_EQ(a.num_symbols, b.num_symbols);
    EXPECT_GT(a.instructions.size(), 180u);
}

}  // namespace
}  // namespace kelvo
