#include "compiler/anchor_schedule.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <tuple>
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
    // A rotation between two measurements of its body: the later measurement is moved before
    // it, so its anchor's chain has grown by a link when the rotation is planned.
    "R 0 1 2\nREPEAT 150 {\nX_ERROR(0.1) 0 1 2\nM 0\nT 0\nX_ERROR(0.1) 0\nM 0\nCX 0 1 2 0\n"
    "M 1\nT 1\nM 1\nDEPOLARIZE1(0.1) 0 1\n}\n",
    // An expectation request puts the planner in its in-order mode.
    "EXP_VAL X0\nREPEAT 300 {\nX_ERROR(0.01) 0\nM 0\nH 1\nT 1\nCX 1 0\n}\n",
};

// Memory experiments and repeated small circuits: full signs of hundreds of ids, never written
// out, reduced to the very expressions of the full signs.
TEST(AnchorSchedule, LongRepeatedCircuitsPlanAsFromTheirFullSigns) {
    for (const char* text : kLong) {
        const Circuit c = parse_kelvo_circuit_text(text);
        EXPECT_GT(longest_full_sign(c), 256u) << text;
        const FactoredInstructionProgram ours = plan_circuit(c, {});
        const FactoredInstructionProgram full = planned_from_full_signs(c);
        ASSERT_EQ(ours.instructions.size(), full.instructions.size()) << text;
        for (uint64_t i = 0; i < ours.instructions.size(); ++i)
            ASSERT_EQ(ours.instructions[i], full.instructions[i]) << "instruction " << i << "\n"
                                                                  << text;
    }
}

// Circuits over the whole instruction set with short repeated blocks: the walk resumes at
// every point of an anchor's walk, often from its start.
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

// Heavy noise repeated a hundred times and more: long full signs whose reduction leaves much
// unreduced, so the walk resumed from an anchor's state meets many relations it cannot take.
TEST(AnchorSchedule, LongNoisySignsPlanAsFromTheirFullSigns) {
    testing::RandomCircuit gen(9);
    const int count =
        std::getenv("KELVO_NOISY_CIRCUITS") ? std::atoi(std::getenv("KELVO_NOISY_CIRCUITS")) : 24;
    for (int i = 0; i < count; ++i) {
        // Every other block is wider, with products over many qubits, discarding detectors and
        // expectation requests (the in-order mode).
        const testing::RandomCircuit::Shape wide{4, 12, 15, 30, 7, 4, "cccccrrrwwmmmmmnnnhffdxe"};
        const std::string body = i % 2 == 0 ? gen.make(i % 3 == 0) : gen.make(true, wide);
        const int repeats = i % 2 == 0 ? 100 + 7 * (i % 30) : 30 + 3 * (i % 20);
        const std::string text = gen.make(true) + "REPEAT " + std::to_string(repeats) + " {\n" +
                                 body + "}\n" + gen.make(true);
        const Circuit c = parse_kelvo_circuit_text(text);
        ASSERT_EQ(plan_circuit(c, {}).instructions, planned_from_full_signs(c).instructions)
            << text;
    }
}

// A layer of T gates on every qubit of a line, entangled and measured each round: the measured
// bodies change from round to round (few anchors, and chains that recur only with the frame's
// period), and every outcome is a coin pushed into many later signs, so each id is named by
// many relations.
std::string wide_layers(int qubits, int rounds, const char* noise) {
    std::ostringstream all, pairs, text;
    for (int q = 0; q < qubits; ++q)
        all << ' ' << q;
    for (int q = 0; q + 1 < qubits; ++q)
        pairs << ' ' << q << ' ' << q + 1;
    text << "REPEAT " << rounds << " {\nH" << all.str() << "\nT" << all.str() << "\nCZ"
         << pairs.str() << '\n'
         << noise << all.str() << "\nM" << all.str() << "\nDETECTOR rec[-1]\n}\n";
    return text.str();
}

TEST(AnchorSchedule, WideChangingBodyLayersPlanAsFromTheirFullSigns) {
    for (const auto& [qubits, rounds, noise] :
         {std::tuple{12, 30, "I"}, std::tuple{9, 40, "X_ERROR(0.05)"},
          std::tuple{16, 20, "DEPOLARIZE1(0.02)"}}) {
        const std::string text = wide_layers(qubits, rounds, noise);
        const Circuit c = parse_kelvo_circuit_text(text);
        ASSERT_EQ(plan_circuit(c, {}).instructions, planned_from_full_signs(c).instructions)
            << text;
    }
}

// Quiet rounds, whose chains find their candidates through their lists, then wide noisy layers
// on the same qubits, where the ids are each named by many relations and the chains turn to
// pricing every relation from where they resume.
TEST(AnchorSchedule, ChainsTurningToEveryRelationPlanAsFromTheirFullSigns) {
    for (const int qubits : {6, 10}) {
        std::ostringstream text;
        text << "REPEAT 60 {\nX_ERROR(0.02) 0 1 2 3\nCX 0 4 1 4 2 5 3 5\nMR 4 5\n"
                "DETECTOR rec[-1]\nM 0\n}\n"
             << wide_layers(qubits, 30, "X_ERROR(0.03)") << "REPEAT 40 {\nCX 0 4 1 4\nM 4 0\n}\n";
        const Circuit c = parse_kelvo_circuit_text(text.str());
        ASSERT_EQ(plan_circuit(c, {}).instructions, planned_from_full_signs(c).instructions)
            << text.str();
    }
}

// Rotations on bodies no measurement precedes, or anchored to one measurement that anchors no
// later one: each is chained to the previous rotation of its body, its sign relative, and
// planned as from its full sign, which names every earlier error.
TEST(AnchorSchedule, RotationChainsPlanAsFromTheirFullSigns) {
    const char* const circuits[] = {
        // The feedback loop: Z0 is never measured, its body cycles through four Paulis.
        "H 0\nREPEAT 300 {\nT 0\nCX 0 1\nM 1\nCX rec[-1] 0\nH 0\n"
        "DEPOLARIZE1(0.01) 0 1\nDETECTOR rec[-1]\n}\n",
        // T on Z0, which only Z0*Z1 products measure.
        "R 0 1\nH 0\nT 0\nCX 0 1\nH 1\nT 1\nMPP Z0*Z1\nREPEAT 300 {\nT 0\nX_ERROR(0.02) 0\n"
        "DEPOLARIZE1(0.01) 1\nMPP Z0*Z1\nDETECTOR rec[-1] rec[-2]\n}\nM 0 1\n"
        "DETECTOR rec[-1] rec[-2] rec[-3]\nOBSERVABLE_INCLUDE(0) rec[-1]\n",
        // Global phases on a dormant qubit (they emit nothing) that anchor the rotations of
        // their body once it is active, then rotations anchored to a measurement of it.
        "REPEAT 200 {\nX_ERROR(0.1) 0\nT 0\nH 1\nT 1\nCX 1 2\nM 2\n}\nH 0\nT 0\nH 0\n"
        "REPEAT 100 {\nT 0\nX_ERROR(0.1) 0\n}\nM 0\n"
        "REPEAT 100 {\nT 0\nX_ERROR(0.1) 0\nH 0\nT 0\nH 0\n}\nM 0\nDETECTOR rec[-1]\n",
        // The in-order mode.
        "EXP_VAL X2\nH 0\nREPEAT 200 {\nT 0\nCX 0 1\nM 1\nCX rec[-1] 0\nS 0\nH 0\n"
        "DEPOLARIZE1(0.02) 0 1\n}\nEXP_VAL Y0\n",
        // Rotations of the body the first reset measured, a herald fed back onto qubit 1 and
        // products with it measured every round; then the same in the in-order mode, and with
        // the body measured again halfway (its rotations then wait for the measurements).
        "R 0 1\nH 0\nMPAD 0\nREPEAT 300 {\nHERALDED_PAULI_CHANNEL_1(0.05, 0, 0, 0) 0\n"
        "CX rec[-1] 1\nR_X(0.25) 0\nMPP X0*Z1\nMPP Z0\n}\nM 1\n",
        "R 0 1\nH 0 1\nMPAD 0\nEXP_VAL X0\nREPEAT 300 {\nHERALDED_ERASE(0.05) 0\nCZ rec[-1] 1\n"
        "R_X(0.25) 0\nMPP X0*X1\nMPP Z0\n}\nEXP_VAL Z1\n",
        "R 0 1\nH 0\nMPAD 0\nREPEAT 150 {\nDEPOLARIZE1(0.05) 0\nM(0.02) 0\nCY rec[-1] 1\n"
        "R_X(0.25) 0\nMPP X0*Z1\n}\nH 0\nM 0\nH 0\nREPEAT 150 {\nDEPOLARIZE1(0.05) 0\n"
        "R_X(0.25) 0\nMPP X0*Z1\nMPP Z0\n}\nM 1\n",
    };
    for (const char* text : circuits) {
        const Circuit c = parse_kelvo_circuit_text(text);
        EXPECT_GT(longest_full_sign(c), 256u) << text;
        ASSERT_EQ(plan_circuit(c, {}).instructions, planned_from_full_signs(c).instructions)
            << text;
    }
}

}  // namespace
}  // namespace kelvo
