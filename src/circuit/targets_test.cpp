#include "circuit/targets.h"

#include <gtest/gtest.h>

#include <string>

#include "circuit/test_util.h"

namespace kelvo {
namespace {

using testing::parse;

CircuitPauliProduct product(std::string_view letters, bool inverted = false) {
    return {pauli_string(letters), inverted};
}

TEST(TargetTokens, FormsAndQubitCountCandidates) {
    EXPECT_EQ(parse_qubit_token("007")->index, 7u);
    EXPECT_TRUE(parse_qubit_token("!3")->inverted);
    EXPECT_EQ(parse_qubit_token("18446744073709551615")->index, SIZE_MAX);
    for (const char* bad : {"", "!", "-1", "+1", "1a", "x1", "!!1", "18446744073709551616"}) {
        EXPECT_FALSE(parse_qubit_token(bad).has_value()) << bad;
    }
    EXPECT_EQ(record_offset("rec[-01]"), 1u);
    EXPECT_EQ(record_offset("rec[-99999999999999999999999]"), SIZE_MAX);
    for (const char* bad : {"rec[-]", "rec[3]", "rec[-1a]", "rec[-1", "REC[-1]", "rec[--1]"}) {
        EXPECT_FALSE(record_offset(bad).has_value()) << bad;
    }
    EXPECT_TRUE(is_sweep_target("sweep[0]"));
    EXPECT_FALSE(is_sweep_target("sweep[]") || is_sweep_target("sweep[-1]"));

    const std::pair<const char*, std::optional<size_t>> candidates[] = {
        {"5", 5},         {"!5", 5},
        {"X3*!Z9*Y1", 9}, {"!X4", 4},
        {"!!X4", 4},      {"rec[-1]*X6", 6},
        {"x4", {}},       {"X", {}},
        {"*", {}},        {"rec[-7]", {}},
        {"sweep[7]", {}}, {"(0.1)", {}},
        {"XX5", {}},      {"99999999999999999999", {}},
    };
    for (const auto& [token, expected] : candidates)
        EXPECT_EQ(max_qubit_candidate(token), expected) << token;
}

TEST(Targets, QubitMeasurementAndRecordLists) {
    const Circuit c =
        parse("M !0 1\nMX(0.25) !2\nH 0 0 1\nDETECTOR rec[-1] rec[-3] rec[-01]\nDETECTOR");
    EXPECT_EQ(c.instructions[0].measurements,
              (std::vector<CircuitMeasurementTarget>{{0, true}, {1, false}}));
    EXPECT_EQ(c.instructions[1].measurements, (std::vector<CircuitMeasurementTarget>{{2, true}}));
    EXPECT_EQ(c.instructions[2].qubits, (std::vector<size_t>{0, 0, 1}));
    EXPECT_EQ(c.detectors[0].records, (std::vector<size_t>{3, 1, 3}));
    EXPECT_TRUE(c.detectors[1].records.empty());
    // MPAD values are written like qubits but name none.
    const Circuit pad = parse("MPAD 5 !1");
    EXPECT_EQ(pad.num_qubits, 0u);
    EXPECT_EQ(pad.instructions[0].measurements,
              (std::vector<CircuitMeasurementTarget>{{5, false}, {1, true}}));
    // Pauli tokens of an observable include contribute nothing and name no qubit.
    const Circuit o = parse("M 0\nOBSERVABLE_INCLUDE(0) rec[-1] X5 * !Z2");
    EXPECT_EQ(o.observables[0].records, std::vector<size_t>{1});
    EXPECT_EQ(o.num_qubits, 1u);
    // Every other line names qubits, whatever it is.
    EXPECT_EQ(parse("I 4\nII 1 2\nI_ERROR 6").num_qubits, 7u);
    EXPECT_EQ(parse("REPEAT 3 {\nMPP X2*Y11\n}").num_qubits, 12u);
    EXPECT_EQ(parse("E(0.1) Z7").num_qubits, 8u);
}

TEST(Targets, PauliProducts) {
    for (const char* line : {"MPP X0 * Z1 Y2", "MPP X0* Z1 Y2", "MPP X0*Z1 Y2"}) {
        const Circuit c = parse(line);
        ASSERT_EQ(c.instructions.size(), 1u) << line;
        EXPECT_EQ(c.instructions[0].paulis,
                  (std::vector<CircuitPauliProduct>{product("XZI"), product("IIY")}))
            << line;
        EXPECT_EQ(c.num_measurements, 2u);
    }
    // Phases come from multiplying the factors left to right; `!` marks cancel in pairs.
    const auto p = parse("MPP !X0*!Z1 X0*Z0 Z0*X0 Y0*Y0 !Y1").instructions[0].paulis;
    ASSERT_EQ(p.size(), 5u);
    EXPECT_EQ(p[0], product("XZ"));
    EXPECT_EQ(p[1].pauli.str(), "-i*YI");  // X*Z = -iY
    EXPECT_EQ(p[2].pauli.str(), "i*YI");
    EXPECT_EQ(p[3].pauli, PauliString(2));
    EXPECT_EQ(p[4], (CircuitPauliProduct{pauli_y(2, 1), true}));
    // Products span the circuit's full qubit count.
    EXPECT_EQ(parse("MPP X0\nH 70").instructions[0].paulis[0].pauli.num_qubits, 71u);

    const Circuit pairs = parse("MZZ 0 !1 2 3\nMXX(0.125) !4 !5\nMYY 0 1");
    EXPECT_EQ(pairs.instructions[0].paulis,
              (std::vector<CircuitPauliProduct>{product("ZZIIII", true), product("IIZZII")}));
    EXPECT_EQ(pairs.instructions[1].paulis, std::vector{product("IIIIXX")});
    EXPECT_EQ(pairs.instructions[1].probability, 0.125);
    EXPECT_EQ(pairs.instructions[2].paulis[0].pauli.str(), "YYIIII");
    EXPECT_EQ(pairs.num_measurements, 4u);
}

TEST(Targets, FeedbackPairs) {
    Circuit c = parse("M 0\nCX rec[-1] 3 0 1");
    ASSERT_EQ(c.instructions.size(), 3u);
    EXPECT_EQ(c.instructions[1].gate, CircuitGate::FEEDBACK_X);
    EXPECT_EQ(c.instructions[1].feedback, (std::vector<CircuitFeedbackTarget>{{1, 3}}));
    EXPECT_EQ(c.instructions[2].gate, CircuitGate::CX);
    EXPECT_EQ(c.instructions[2].qubits, (std::vector<size_t>{0, 1}));

    c = parse("M 0 1\nCZ 2 rec[-1] rec[-2] 4\nCY rec[-2] 5\nXCZ 6 rec[-1]\nYCZ 7 rec[-2]");
    const std::pair<CircuitGate, CircuitFeedbackTarget> expected[] = {
        {CircuitGate::FEEDBACK_Z, {2, 2}}, {CircuitGate::FEEDBACK_Z, {1, 4}},
        {CircuitGate::FEEDBACK_Y, {1, 5}}, {CircuitGate::FEEDBACK_X, {2, 6}},
        {CircuitGate::FEEDBACK_Y, {1, 7}},
    };
    ASSERT_EQ(c.instructions.size(), 6u);
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(c.instructions[i + 1].gate, expected[i].first) << i;
        EXPECT_EQ(c.instructions[i + 1].feedback, std::vector{expected[i].second}) << i;
    }
    EXPECT_EQ(c.num_measurements, 2u);
    EXPECT_EQ(c.num_qubits, 8u);
    // The arguments of a record-controlled line are not examined.
    EXPECT_EQ(parse("M 0\nCX(0.5) rec[-1] 0").instructions[1].gate, CircuitGate::FEEDBACK_X);
}

TEST(Targets, Refusals) {
    const char* range = "line 2: measurement record target out of range";
    const char* observable =
        "line 2: OBSERVABLE_INCLUDE targets must be measurement records or Pauli targets";
    testing::expect_refusals({
        {"H !0", "line 1: operation does not accept inverted targets"},
        {"H 0 x", "line 1: invalid qubit target"},
        {"M 0 !", "line 1: invalid qubit target"},
        {"H 18446744073709551616", "line 1: invalid qubit target"},
        {"M 0 1 2\nDETECTOR rec[-4]", range},
        {"M 0 1 2\nDETECTOR rec[-0]", range},
        {"M 0 1 2\nDETECTOR rec[-99999999999999999999999]", range},
        {"DETECTOR 0", "line 1: invalid measurement record target"},
        {"H 0\nDETECTOR sweep[0]", "line 2: invalid measurement record target"},
        {"M 0\nOBSERVABLE_INCLUDE(0) 0", observable},
        {"M 0\nOBSERVABLE_INCLUDE(0) X5*Z2", observable},
        {"M 0\nOBSERVABLE_INCLUDE(0) !*", observable},
        {"MPP X0 *Z1 Y2", "line 1: invalid MPP factor"},
        {"MPP * X0", "line 1: misplaced MPP combiner"},
        {"MPP X0 * * Z1", "line 1: misplaced MPP combiner"},
        {"MPP X0* *", "line 1: misplaced MPP combiner"},
        {"MPP X0 *", "line 1: dangling MPP combiner"},
        {"MPP X0*", "line 1: dangling MPP combiner"},
        {"MPP x0 *", "line 1: dangling MPP combiner"},  // grouping before any factor is read
        {"MPP x0", "line 1: invalid MPP factor"},
        {"MPP X0**Z1", "line 1: invalid MPP factor"},
        {"MPP !!X0", "line 1: invalid MPP factor"},
        {"MPP X", "line 1: invalid MPP factor"},
        {"MPP X99999999999999999999999", "line 1: invalid MPP factor"},
        {"MYY 0 1 2", "line 1: pair measurement requires paired targets"},
        {"MXX 3 3", "line 1: two-qubit Pauli operation requires distinct qubits"},
        // Record-controlled pairs.
        {"M 0\nCX 0 rec[-1]", "line 2: invalid qubit target"},
        {"M 0\nXCZ rec[-1] 2", "line 2: invalid qubit target"},
        {"M 0\nCZ rec[-1] rec[-1]", "line 2: invalid qubit target"},
        {"M 0\nCX !1 rec[-1] 0 1", "line 2: invalid qubit target"},
        {"M 0\nSWAP rec[-1] 0", "line 2: unsupported classically controlled gate"},
        {"M 0\nCX rec[-1] 0 1", "line 2: controlled two-qubit gate requires paired targets"},
        {"M 0\nCX rec[-2] 0", range},
        {"M 0\nCZ 0 rec[-2]", range},
        {"M 0\nCX rec[-1] !0",
         "line 2: record-controlled feedback does not accept inverted qubit targets"},
        {"M 0\nCX rec[-1] 0 !1 2",
         "line 2: two-qubit Clifford does not accept inverted qubit targets"},
        {"CX 0 !1", "line 1: operation does not accept inverted targets"},
        {"M 0\nCX sweep[0] 0", "line 2: sweep-controlled operations are not supported"},
        {"H(0.1) sweep[0]", "line 1: sweep-controlled operations are not supported"},
        // The record scan comes before the name lookup and the argument rules.
        {"M 0\nM rec[-1]", "line 2: controlled two-qubit gate requires paired targets"},
        {"M 0\nFOO rec[-1] rec[-1]", "line 2: unsupported classically controlled gate"},
        // Unknown names still count qubits, although the line then fails.
        {"FOO 99", "line 1: unsupported Kelvo operation: FOO"},
    });
}

}  // namespace
}  // namespace kelvo
