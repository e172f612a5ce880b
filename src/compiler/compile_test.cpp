#include "compiler/compile.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <variant>
#include <vector>

#include "circuit/parser.h"
#include "compiler/lowering.h"
#include "compiler/planner.h"
#include "compiler/planner_steps.h"
#include "errors.h"
#include "testing/dense_circuit.h"
#include "testing/error_text.h"
#include "testing/factored_reference.h"
#include "testing/random_circuit.h"

namespace kelvo {
namespace {

using testing::OutcomeDistribution;

Circuit parse(const std::string& text) {
    return parse_kelvo_circuit_text(text);
}

OutcomeDistribution compiled(const Circuit& circuit) {
    return testing::run_factored_reference(plan_circuit(circuit, {}));
}

TEST(PlanCircuit, TGateBetweenHadamards) {
    const Circuit c = parse("H 0\nT 0\nH 0\nM 0\n");
    for (const OutcomeDistribution& d : {testing::run_dense_circuit(c), compiled(c)})
        EXPECT_NEAR(d.records.at("1"), std::pow(std::sin(M_PI / 8), 2), 1e-12);
}

TEST(PlanCircuit, RandomCircuitsMatchTheDenseRun) {
    testing::RandomCircuit gen(2024);
    for (int i = 0; i < 300; ++i) {
        const bool rotations = i % 4 != 0;
        const std::string text = gen.make(rotations);
        const Circuit c = parse(text);
        const FactoredInstructionProgram p = plan_circuit(c, {});
        if (!rotations) {
            EXPECT_EQ(p.active_qubits, 0u) << text;
        }
        const double diff = testing::max_difference(testing::run_dense_circuit(c),
                                                    testing::run_factored_reference(p));
        ASSERT_LT(diff, 1e-9) << text;
    }
}

// The same circuits planned without the optimizer, and in the in-order mode that an
// expectation request selects, keep their record distribution.
TEST(PlanCircuit, UnoptimizedAndInOrderPlansAgree) {
    testing::RandomCircuit gen(77);
    for (int i = 0; i < 100; ++i) {
        const std::string text = gen.make(true);
        OutcomeDistribution optimized = compiled(parse(text));
        CircuitLoweringResult lowering = lower_circuit_to_factored(parse(text));
        PendingFactoredState state =
            PendingFactoredState::from_frame_state(std::move(lowering.state));
        state.optimized = true;
        const OutcomeDistribution plain =
            testing::run_factored_reference(plan_factored_updates(std::move(state)));
        OutcomeDistribution in_order = compiled(parse("EXP_VAL Z0\n" + text));
        ASSERT_LT(testing::max_difference(optimized, plain), 1e-9) << text;
        in_order.expectations = optimized.expectations = {};
        ASSERT_LT(testing::max_difference(optimized, in_order), 1e-9) << text;
    }
}

// stim's noiseless surface_code:rotated_memory_z, distance 3, 3 rounds (coordinates and ticks
// dropped): its 24 detectors never fire.
TEST(PlanCircuit, NoiselessMemoryExperimentHasQuietDetectors) {
    const std::string round =
        "H 2 11 16 25\nCX 2 3 16 17 11 12 15 14 10 9 19 18\nCX 2 1 16 15 11 10 8 14 3 9 12 18\n"
        "CX 16 10 11 5 25 19 8 9 17 18 12 13\nCX 16 8 11 3 25 17 1 9 10 18 5 13\nH 2 11 16 25\n"
        "MR 2 9 11 13 14 16 18 25\n";
    std::string text = "R 1 3 5 8 10 12 15 17 19 2 9 11 13 14 16 18 25\n" + round +
                       "DETECTOR rec[-4]\nDETECTOR rec[-7]\nDETECTOR rec[-2]\nDETECTOR rec[-5]\n"
                       "REPEAT 2 {\n" +
                       round;
    for (int d = 8; d >= 1; --d)
        text += "DETECTOR rec[-" + std::to_string(d) + "] rec[-" + std::to_string(d + 8) + "]\n";
    text +=
        "}\nM 1 3 5 8 10 12 15 17 19\nDETECTOR rec[-3] rec[-6] rec[-13]\n"
        "DETECTOR rec[-5] rec[-6] rec[-8] rec[-9] rec[-16]\n"
        "DETECTOR rec[-1] rec[-2] rec[-4] rec[-5] rec[-11]\nDETECTOR rec[-4] rec[-7] rec[-14]\n"
        "OBSERVABLE_INCLUDE(0) rec[-7] rec[-8] rec[-9]\n";
    const Circuit c = parse(text);
    const FactoredInstructionProgram p = plan_circuit(c, {});
    EXPECT_EQ(p.active_qubits, 0u);
    const OutcomeDistribution d = testing::run_factored_reference(p);
    ASSERT_EQ(c.detectors.size(), 24u);
    for (const CircuitDetector& det : c.detectors) {
        double fired = 0;
        for (const auto& [records, weight] : d.records) {
            bool parity = false;
            for (const uint64_t r : det.records)
                parity ^= records.at(r - 1) == '1';
            fired += parity ? weight : 0;
        }
        EXPECT_EQ(fired, 0.0);
    }
}

// Instruction kinds: 0 rotation, 1 promotion, 2 deterministic, 3 detector, 4 active measurement,
// 5 random outcome.
std::string kinds(const FactoredInstructionProgram& p) {
    std::string out;
    for (const FactoredInstruction& i : p.instructions)
        out += static_cast<char>('0' + i.index());
    return out;
}

TEST(PlanCircuit, InstructionsAndDetectorPlacement) {
    const std::pair<const char*, const char*> cases[] = {
        {"T 0\nM 0\n", "2"},             // a Z rotation of a fresh qubit is a phase
        {"MX 0\nMX 0\n", "52"},          // the second outcome repeats the coin
        {"EXP_VAL X0\nM 0\n", "52"},     // expectation 0, no collapse
        {"H 0\nT 0\nH 0\nM 0\n", "14"},  // promoted, then measured actively
        {"H 0\nT 0\nH 0\nT 0\nEXP_VAL Y0\n", "104"},
        {"DETECTOR\nM 0\nDETECTOR rec[-1]\nM 1\nM 2\nDETECTOR rec[-1]\nDISCARD rec[-2]\n",
         "3232233"},
    };
    for (const auto& [text, want] : cases)
        EXPECT_EQ(kinds(plan_circuit(parse(text), {})), want) << text;

    const Circuit c =
        parse("M 0\nDETECTOR rec[-1]\nM 1\nDETECTOR rec[-1]\nDISCARD rec[-2]\nDETECTOR\n");
    for (const auto& [mask, expected] : std::vector<std::pair<std::vector<uint8_t>, std::string>>{
             {{}, "0010"}, {{1}, "1010"}, {{0, 7, 0, 1, 1}, "0111"}}) {
        const FactoredInstructionProgram p = plan_circuit(c, mask);
        std::string flags;
        uint32_t id = 0;
        for (const FactoredInstruction& i : p.instructions) {
            if (const auto* d = std::get_if<Detector>(&i)) {
                EXPECT_EQ(d->detector.id, ++id);
                flags += d->detector.postselect ? '1' : '0';
            }
        }
        EXPECT_EQ(flags, expected);
        EXPECT_TRUE(p.checkpoints.empty());
    }
    const FactoredInstructionProgram plain =
        plan_circuit(parse("T 0\nM 0\nH 1\nM 1\n"), std::vector<uint8_t>{1});
    // The measurement of qubit 0 is hoisted before the T gate it commutes with.
    EXPECT_EQ(plain.checkpoints, (std::vector<int32_t>{0, 1, 1, 2}));
}

TEST(PlanCircuit, Refusals) {
    Circuit bad_record = parse("M 0\nDETECTOR rec[-1]\n");
    bad_record.detectors[0].records = {2};
    Circuit record_zero = bad_record, bad_position = bad_record;
    record_zero.detectors[0].records = {0};
    bad_position.detectors[0].source_position = 2;
    bad_position.detectors[0].records = {1};
    const std::pair<Circuit, const char*> cases[] = {
        {bad_record, "detector references an out-of-range measurement record"},
        {record_zero, "detector references an out-of-range measurement record"},
        {bad_position, "detector source position is out of range"},
        {parse("MPP X0*Y0\n"),
         "Pauli measurement requires a Hermitian Pauli with real coefficient"},
    };
    for (const auto& [circuit, message] : cases)
        testing::expect_refused([&] { plan_circuit(circuit, {}); }, message);
}

// The check is polled before every planner step (and between the driver's steps); a stop ends
// the call with Cancelled, and a check that never stops changes nothing.
TEST(PlanCircuit, PollsItsCancellationCheckBetweenPlannerSteps) {
    const Circuit circuit = parse("H 0 1 2 3 4\nT 0 1 2 3 4\nM 0 1 2 3 4\nDETECTOR rec[-1]\n");
    int polls = 0;
    const CancellationCheck count([&] { return ++polls < 0; }, {});
    const FactoredInstructionProgram plain = plan_circuit(circuit, {});
    const FactoredInstructionProgram checked = plan_circuit(circuit, {}, count);
    EXPECT_EQ(checked.instructions.size(), plain.instructions.size());
    EXPECT_EQ(testing::max_difference(compiled(circuit), testing::run_factored_reference(checked)),
              0.0);
    EXPECT_GE(polls, 10);  // five rotations and five measurements at least
    for (const int stop_at : {1, 2, 6, polls}) {
        polls = 0;
        const CancellationCheck stop([&] { return ++polls == stop_at; }, {});
        EXPECT_THROW(plan_circuit(circuit, {}, stop), Cancelled) << stop_at;
        EXPECT_EQ(polls, stop_at);
    }
}

// The planner's other helpers are covered by the plans above.
TEST(PlannerSteps, PushedInstructionsReserveTheirIds) {
    PendingFactoredState state = PendingFactoredState::from_frame_state(FrameFactoredState(3, 0));
    EXPECT_THROW(set_planning_active_count(state, 4), KelvoError);
    push_instruction(state, DeterministicOutcome{symbolic_bool(4), {}, 1, 9, std::nullopt});
    EXPECT_EQ(state.context.next_condition_id, 10u);
}

}  // namespace
}  // namespace kelvo
