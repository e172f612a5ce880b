#include "compiler/anchor_schedule.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <variant>

#include "circuit/parser.h"
#include "compiler/compile.h"
#include "compiler/lowering.h"
#include "compiler/optimizer.h"
#include "compiler/planner.h"
#include "testing/random_circuit.h"

namespace kelvo {
namespace {

// The program planned from the full signs of lower_circuit_to_factored: the reduction walked
// over the signs the lowering defines.
FactoredInstructionProgram planned_from_full_signs(const Circuit& c) {
    return plan_lowered_circuit(c, lower_circuit_to_factored(c), {});
}

// The longest sign reaching the reduction when planning from the full signs: the errors the
// lowering found and the outcomes the planner pushed since the circuit began.
uint64_t longest_full_sign(const Circuit& c) {
    PendingFactoredState state =
        PendingFactoredState::from_frame_state(std::move(lower_circuit_to_factored(c).state));
    optimize_pending_operations(state, {});
    uint64_t longest = 0;
    while (state.cursor < state.pending.size()) {
        if (const SymbolicBool* sign = sign_of(state.pending[state.cursor]))
            longest = std::max<uint64_t>(longest, sign->conditions.size());
        process_next_pending_operation(state);
    }
    return longest;
}

// Memory experiments and the small repeated circuits whose compile time grew with their length:
// long enough that the full signs of the later rounds are long.
const char* const kLong[] = {
    // A repetition code: every round measures the same parities.
    "R 0 1 2 3 4\nREPEAT 200 {\nDEPOLARIZE1(0.01) 0 2 4\nCX 0 1 2 3\nCX 2 1 4 3\n"
    "DEPOLARIZE2(0.01) 0 1 2 3\nX_ERROR(0.01) 1 3\nMR 1 3\nDETECTOR rec[-1]\n}\n"
    "M 0 2 4\nDETECTOR rec[-1] rec[-2] rec[-4]\n",
    // A Z and an X check of four qubits, the X check random in the first round.
    "R 0 1 2 3 4 5\nREPEAT 150 {\nDEPOLARIZE1(0.02) 0 1 2 3\nH 5\nCX 0 4 1 4 2 4 3 4\n"
    "CX 5 0 5 1 5 2 5 3\nH 5\nDEPOLARIZE2(0.01) 0 4 5 3\nX_ERROR(0.01) 4 5\nMR 4 5\n"
    "DETECTOR rec[-2]\n}\nM 0 1 2 3\nDETECTOR rec[-1] rec[-2] rec[-3] rec[-4] rec[-6]\n",
    "REPEAT 600 {\nH 0\nT 0\nCX 0 1\nM 0\nDETECTOR rec[-1]\n}\n",
    "REPEAT 600 {\nH 0\nCX 0 1\nM 0\nDETECTOR rec[-1]\n}\n",
    "REPEAT 400 {\nX_ERROR(0.01) 0\nM 0\n}\n",
    "REPEAT 600 {\nH 0\nM 0\nDETECTOR rec[-1]\n}\n",
    // An expectation request puts the planner in its in-order mode.
    "EXP_VAL X0\nREPEAT 300 {\nX_ERROR(0.01) 0\nM 0\nH 1\nT 1\nCX 1 0\n}\n",
};

// Past the length handed on whole, a sign is handed on as its anchor's outcome condition; on
// these circuits the reduction still ends in the very expressions of the full signs.
TEST(AnchorSchedule, LongRepeatedCircuitsPlanAsFromTheirFullSigns) {
    for (const char* text : kLong) {
        const Circuit c = parse_kelvo_circuit_text(text);
        EXPECT_GT(longest_full_sign(c), 256u) << text;
        const FactoredInstructionProgram ours = plan_circuit(c, {});
        const FactoredInstructionProgram full = planned_from_full_signs(c);
        ASSERT_EQ(ours.instructions.size(), full.instructions.size()) << text;
        for (uint64_t i = 0; i < ours.instructions.size(); ++i)
            ASSERT_EQ(ours.instructions[i], full.instructions[i]) << "instruction " << i << "\n" << text;
    }
}

// Short full signs are handed on whole, so circuits over the whole instruction set whose
// repeated blocks stay short plan exactly as from their full signs.
TEST(AnchorSchedule, ShortSignsPlanAsFromTheirFullSigns) {
    testing::RandomCircuit gen(5);
    for (int i = 0; i < 300; ++i) {
        const std::string text = gen.make(i % 2 == 0) + "REPEAT " + std::to_string(5 + i % 20) +
                                 " {\n" + gen.make(i % 3 == 0) + "}\n" + gen.make(true);
        const Circuit c = parse_kelvo_circuit_text(text);
        const FactoredInstructionProgram ours = plan_circuit(c, {});
        ASSERT_EQ(ours.instructions, planned_from_full_signs(c).instructions) << text;
    }
}

// Every instruction's expression evaluated in 64 shots at once, the conditions drawn at random
// except each measurement's condition, which takes its outcome's value: what the relations
// assert in every shot.
class SymbolicRun {
  public:
    SymbolicRun(uint64_t num_symbols, std::mt19937_64& rng) : values_(num_symbols + 1) {
        for (uint64_t& v : values_)
            v = rng();
    }
    uint64_t value(const SymbolicBool& e) const {
        uint64_t v = e.constant ? ~uint64_t{0} : 0;
        for (const int32_t c : e.conditions)
            v ^= values_.at(static_cast<uint64_t>(c));
        return v;
    }
    void learn(const FactoredInstruction& instruction) {
        std::visit(
            [this](const auto& kind) {
                if constexpr (requires { kind.condition; })
                    if (kind.condition)
                        values_.at(*kind.condition) = value(kind.sign);
            },
            instruction);
    }

  private:
    std::vector<uint64_t> values_;
};

// Heavy noise repeated a hundred times and more: long full signs that a greedy reduction can
// end in more than one way. Whatever form the expressions take, each keeps its value in every
// shot.
TEST(AnchorSchedule, LongNoisySignsKeepTheirValues) {
    testing::RandomCircuit gen(9);
    std::mt19937_64 rng(3);
    uint64_t differing = 0;
    for (int i = 0; i < 24; ++i) {
        const std::string text = gen.make(true) + "REPEAT " + std::to_string(100 + 7 * i) +
                                 " {\n" + gen.make(i % 3 == 0) + "}\n" + gen.make(true);
        const Circuit c = parse_kelvo_circuit_text(text);
        const FactoredInstructionProgram ours = plan_circuit(c, {});
        const FactoredInstructionProgram full = planned_from_full_signs(c);
        ASSERT_EQ(ours.instructions.size(), full.instructions.size()) << text;
        ASSERT_EQ(ours.num_symbols, full.num_symbols) << text;
        for (int round = 0; round < 4; ++round) {
            SymbolicRun run(full.num_symbols, rng);
            for (uint64_t k = 0; k < full.instructions.size(); ++k) {
                const FactoredInstruction& a = ours.instructions[k];
                const FactoredInstruction& b = full.instructions[k];
                ASSERT_EQ(a.index(), b.index()) << text;
                ASSERT_EQ(run.value(instruction_sign(a)), run.value(instruction_sign(b)))
                    << "instruction " << k << "\n" << text;
                differing += round == 0 && instruction_sign(a) != instruction_sign(b);
                run.learn(b);
            }
        }
    }
    EXPECT_GT(differing, 0u);  // the forms do differ on some of these circuits
}

}  // namespace
}  // namespace kelvo
