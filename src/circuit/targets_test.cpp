#include "circuit/targets.h"

#include <gtest/gtest.h>

#include <string>

#include "circuit/test_util.h"

namespace kelvo {
namespace {

using testing::parse;
using testing::parse_error;

CircuitPauliProduct product(std::string_view letters, bool inverted = false) {
    return {pauli_string(letters), inverted};
}

TEST(TargetTokens, Forms) {
    EXPECT_EQ(parse_qubit_token("007")->index, 7u);
    EXPECT_TRUE(parse_qubit_token("!3")->inverted);
    EXPECT_EQ(parse_qubit_token("18446744073709551615")->index, SIZE_MAX);
    for (const char* bad : {"", "!", "-1", "+1", "1a", "x1", "!!1", "18446744073709551616"}) {
        EXPECT_FALSE(parse_qubit_token(bad).has_value()) << bad;
    }
    EXPECT_EQ(record_offset("rec[-1]"), 1u);
    EXPECT_EQ(record_offset("rec[-01]"), 1u);
    EXPECT_EQ(record_offset("rec[-99999999999999999999999]"), SIZE_MAX);
    for (const char* bad : {"rec[-]", "rec[3]", "rec[-1a]", "rec[-1", "REC[-1]", "rec[--1]"}) {
        EXPECT_FALSE(record_offset(bad).has_value()) << bad;
    }
    EXPECT_TRUE(is_sweep_target("sweep[0]"));
    EXPECT_FALSE(is_sweep_target("sweep[]"));
    EXPECT_FALSE(is_sweep_target("sweep[-1]"));
}

TEST(TargetTokens, QubitCountCandidates) {
    EXPECT_EQ(max_qubit_candidate("5"), 5u);
    EXPECT_EQ(max_qubit_candidate("!5"), 5u);
    EXPECT_EQ(max_qubit_candidate("X3*!Z9*Y1"), 9u);
    EXPECT_EQ(max_qubit_candidate("!X4"), 4u);
    EXPECT_EQ(max_qubit_candidate("x4"), std::nullopt);
    EXPECT_EQ(max_qubit_candidate("X"), std::nullopt);
    EXPECT_EQ(max_qubit_candidate("*"), std::nullopt);
    EXPECT_EQ(max_qubit_candidate("rec[-7]"), std::nullopt);
    EXPECT_EQ(max_qubit_candidate("sweep[7]"), std::nullopt);
    EXPECT_EQ(max_qubit_candidate("(0.1)"), std::nullopt);
    EXPECT_EQ(max_qubit_candidate("99999999999999999999"), std::nullopt);
}

TEST(Targets, QubitAndMeasurementLists) {
    const Circuit c = parse("M !0 1\nMX(0.25) !2");
    EXPECT_EQ(c.instructions[0].measurements,
              (std::vector<CircuitMeasurementTarget>{{0, true}, {1, false}}));
    EXPECT_EQ(c.instructions[1].measurements, (std::vector<CircuitMeasurementTarget>{{2, true}}));
    EXPECT_EQ(parse_error("H !0"), "line 1: operation does not accept inverted targets");
    EXPECT_EQ(parse_error("H 0 x"), "line 1: invalid qubit target");
    EXPECT_EQ(parse_error("M 0 !"), "line 1: invalid qubit target");
    EXPECT_EQ(parse("H 0 0 1").instructions[0].qubits, (std::vector<size_t>{0, 0, 1}));
}

TEST(Targets, RecordOffsets) {
    const Circuit c = parse("M 0 1 2\nDETECTOR rec[-1] rec[-3] rec[-01]\nDETECTOR");
    EXPECT_EQ(c.detectors[0].records, (std::vector<size_t>{3, 1, 3}));
    EXPECT_TRUE(c.detectors[1].records.empty());
    const char* range = "line 2: measurement record target out of range";
    EXPECT_EQ(parse_error("M 0 1 2\nDETECTOR rec[-4]"), range);
    EXPECT_EQ(parse_error("M 0 1 2\nDETECTOR rec[-0]"), range);
    EXPECT_EQ(parse_error("M 0 1 2\nDETECTOR rec[-99999999999999999999999]"), range);
    EXPECT_EQ(parse_error("DETECTOR 0"), "line 1: invalid measurement record target");
    EXPECT_EQ(parse_error("H 0\nDETECTOR sweep[0]"), "line 2: invalid measurement record target");
}

TEST(Targets, ObservableTargetsIgnorePaulis) {
    const Circuit c = parse("M 0\nOBSERVABLE_INCLUDE(0) rec[-1] X5 * !Z2");
    EXPECT_EQ(c.observables[0].records, std::vector<size_t>{1});
    EXPECT_EQ(c.num_qubits, 1u);  // X5 there names no qubit
    EXPECT_EQ(parse_error("M 0\nOBSERVABLE_INCLUDE(0) 0"),
              "line 2: OBSERVABLE_INCLUDE targets must be measurement records or Pauli targets");
    EXPECT_EQ(parse_error("M 0\nOBSERVABLE_INCLUDE(0) X5*Z2"),
              "line 2: OBSERVABLE_INCLUDE targets must be measurement records or Pauli targets");
}

TEST(Targets, PauliProductsWithCombinersInsideAndBetweenTokens) {
    for (const char* line : {"MPP X0 * Z1 Y2", "MPP X0* Z1 Y2", "MPP X0*Z1 Y2", "MPP X0 *Z1 Y2"}) {
        const std::string text = line;
        if (text == "MPP X0 *Z1 Y2") {
            EXPECT_EQ(parse_error(text), "line 1: invalid MPP factor");
            continue;
        }
        const Circuit c = parse(text);
        ASSERT_EQ(c.instructions.size(), 1u) << line;
        EXPECT_EQ(c.instructions[0].gate, CircuitGate::MPP);
        EXPECT_EQ(c.instructions[0].paulis,
                  (std::vector<CircuitPauliProduct>{product("XZI"), product("IIY")}))
            << line;
        EXPECT_EQ(c.num_measurements, 2u);
    }
    EXPECT_EQ(parse_error("MPP * X0"), "line 1: misplaced MPP combiner");
    EXPECT_EQ(parse_error("MPP X0 * * Z1"), "line 1: misplaced MPP combiner");
    EXPECT_EQ(parse_error("MPP X0* *"), "line 1: misplaced MPP combiner");
    EXPECT_EQ(parse_error("MPP X0 *"), "line 1: dangling MPP combiner");
    // Grouping is checked before any factor is read.
    EXPECT_EQ(parse_error("MPP x0 *"), "line 1: dangling MPP combiner");
    EXPECT_EQ(parse_error("MPP x0"), "line 1: invalid MPP factor");
    EXPECT_EQ(parse_error("MPP X0**Z1"), "line 1: invalid MPP factor");
    EXPECT_EQ(parse_error("MPP !!X0"), "line 1: invalid MPP factor");
    EXPECT_EQ(parse_error("MPP X"), "line 1: invalid MPP factor");
}

TEST(Targets, PauliProductPhasesAndInversion) {
    const Circuit c = parse("MPP !X0*!Z1 X0*Z0 Z0*X0 Y0*Y0 !Y1");
    const auto& p = c.instructions[0].paulis;
    ASSERT_EQ(p.size(), 5u);
    EXPECT_FALSE(p[0].inverted);
    EXPECT_EQ(p[0].pauli.str(), "XZ");
    EXPECT_EQ(p[1].pauli.str(), "-i*YI");  // X*Z = -iY
    EXPECT_EQ(p[2].pauli.str(), "i*YI");
    EXPECT_EQ(p[3].pauli.str(), "II");
    EXPECT_EQ(p[3].pauli.phase, 0u);
    EXPECT_TRUE(p[4].inverted);
    EXPECT_EQ(p[4].pauli, pauli_y(2, 1));
    // Products span the circuit's full qubit count.
    EXPECT_EQ(parse("MPP X0\nH 70").instructions[0].paulis[0].pauli.num_qubits, 71u);
}

TEST(Targets, PairMeasurements) {
    const Circuit c = parse("MZZ 0 !1 2 3\nMXX(0.125) !4 !5");
    ASSERT_EQ(c.instructions[0].paulis.size(), 2u);
    EXPECT_EQ(c.instructions[0].paulis[0].pauli.str(), "ZZIIII");
    EXPECT_TRUE(c.instructions[0].paulis[0].inverted);
    EXPECT_FALSE(c.instructions[1].paulis[0].inverted);
    EXPECT_EQ(c.instructions[1].probability, 0.125);
    EXPECT_EQ(c.num_measurements, 3u);
    EXPECT_EQ(parse("MYY 0 1").instructions[0].paulis[0].pauli.str(), "YY");
    EXPECT_EQ(parse_error("MYY 0 1 2"), "line 1: pair measurement requires paired targets");
    EXPECT_EQ(parse_error("MXX 3 3"), "line 1: two-qubit Pauli operation requires distinct qubits");
}

TEST(Targets, FeedbackPairs) {
    Circuit c = parse("M 0\nCX rec[-1] 3 0 1");
    ASSERT_EQ(c.instructions.size(), 3u);
    EXPECT_EQ(c.instructions[1].gate, CircuitGate::FEEDBACK_X);
    EXPECT_EQ(c.instructions[1].feedback, (std::vector<CircuitFeedbackTarget>{{1, 3}}));
    EXPECT_EQ(c.instructions[2].gate, CircuitGate::CX);
    EXPECT_EQ(c.instructions[2].qubits, (std::vector<size_t>{0, 1}));

    c = parse("M 0 1\nCZ 2 rec[-1] rec[-2] 4\nCY rec[-2] 5\nXCZ 6 rec[-1]\nYCZ 7 rec[-2]");
    EXPECT_EQ(c.instructions[1].gate, CircuitGate::FEEDBACK_Z);
    EXPECT_EQ(c.instructions[1].feedback, (std::vector<CircuitFeedbackTarget>{{2, 2}}));
    EXPECT_EQ(c.instructions[2].feedback, (std::vector<CircuitFeedbackTarget>{{1, 4}}));
    EXPECT_EQ(c.instructions[3].gate, CircuitGate::FEEDBACK_Y);
    EXPECT_EQ(c.instructions[3].feedback, (std::vector<CircuitFeedbackTarget>{{1, 5}}));
    EXPECT_EQ(c.instructions[4].gate, CircuitGate::FEEDBACK_X);
    EXPECT_EQ(c.instructions[4].feedback, (std::vector<CircuitFeedbackTarget>{{2, 6}}));
    EXPECT_EQ(c.instructions[5].gate, CircuitGate::FEEDBACK_Y);
    EXPECT_EQ(c.num_measurements, 2u);
    EXPECT_EQ(c.num_qubits, 8u);

    EXPECT_EQ(parse_error("M 0\nCX 0 rec[-1]"), "line 2: invalid qubit target");
    EXPECT_EQ(parse_error("M 0\nXCZ rec[-1] 2"), "line 2: invalid qubit target");
    EXPECT_EQ(parse_error("M 0\nSWAP rec[-1] 0"),
              "line 2: unsupported classically controlled gate");
    EXPECT_EQ(parse_error("M 0\nCX rec[-1] 0 1"),
              "line 2: controlled two-qubit gate requires paired targets");
    EXPECT_EQ(parse_error("M 0\nCX rec[-2] 0"), "line 2: measurement record target out of range");
    EXPECT_EQ(parse_error("M 0\nCX rec[-1] !0"),
              "line 2: record-controlled feedback does not accept inverted qubit targets");
    EXPECT_EQ(parse_error("M 0\nCX rec[-1] 0 !1 2"),
              "line 2: two-qubit Clifford does not accept inverted qubit targets");
    EXPECT_EQ(parse_error("M 0\nCX sweep[0] 0"),
              "line 2: sweep-controlled operations are not supported");
    EXPECT_EQ(parse_error("H sweep[0]"), "line 1: sweep-controlled operations are not supported");
    // The record scan comes before the name lookup and the argument rules.
    EXPECT_EQ(parse_error("M 0\nM rec[-1]"),
              "line 2: controlled two-qubit gate requires paired targets");
    EXPECT_EQ(parse_error("M 0\nFOO rec[-1] rec[-1]"),
              "line 2: unsupported classically controlled gate");
    EXPECT_EQ(parse("M 0\nCX(0.5) rec[-1] 0").instructions[1].gate, CircuitGate::FEEDBACK_X);
}

TEST(Targets, QubitCount) {
    EXPECT_EQ(parse("QUBIT_COORDS(1, 2) 9").num_qubits, 10u);
    EXPECT_TRUE(parse("QUBIT_COORDS(1, 2) 9").instructions.empty());
    EXPECT_EQ(parse("MPAD 5").num_qubits, 0u);
    EXPECT_EQ(parse("I 4\nII 1 2\nI_ERROR 6").num_qubits, 7u);
    EXPECT_EQ(parse("REPEAT 3 {\nMPP X2*Y11\n}").num_qubits, 12u);
    EXPECT_EQ(parse("E(0.1) Z7").num_qubits, 8u);
    // Unknown names still count, although the line then fails.
    EXPECT_EQ(parse_error("FOO 99"), "line 1: unsupported Kelvo operation: FOO");
}

}  // namespace
}  // namespace kelvo
