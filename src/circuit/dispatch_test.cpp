#include "circuit/dispatch.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "circuit/test_util.h"

namespace kelvo {
namespace {

using testing::parse;
using testing::parse_error;

TEST(Dispatch, EveryGateNameHasItsFixedCode) {
    const std::pair<const char*, int> single[] = {
        {"H", 1},           {"H_XZ", 1},    {"H_NXY", 2},       {"H_NXZ", 3},       {"H_NYZ", 4},
        {"H_XY", 5},        {"H_YZ", 6},    {"C_NXYZ", 7},      {"C_NZYX", 8},      {"C_XNYZ", 9},
        {"C_XYNZ", 10},     {"C_XYZ", 11},  {"C_ZNYX", 12},     {"C_ZYNX", 13},     {"C_ZYX", 14},
        {"S", 15},          {"SQRT_Z", 15}, {"S_DAG", 16},      {"SQRT_Z_DAG", 16}, {"SQRT_X", 17},
        {"SQRT_X_DAG", 18}, {"SQRT_Y", 19}, {"SQRT_Y_DAG", 20}, {"X", 21},          {"Y", 22},
        {"Z", 23},          {"T", 45},      {"T_DAG", 46},      {"R", 54},          {"RZ", 54},
        {"RX", 55},         {"RY", 56},
    };
    for (const auto& [name, code] : single) {
        const Circuit c = parse(std::string(name) + " 0 1");
        ASSERT_EQ(c.instructions.size(), 1u) << name;
        EXPECT_EQ(static_cast<int>(c.instructions[0].gate), code) << name;
        EXPECT_EQ(c.instructions[0].qubits, (std::vector<size_t>{0, 1})) << name;
    }
    const std::pair<const char*, int> pairs[] = {
        {"CX", 24},          {"CNOT", 24},    {"ZCX", 24},         {"CY", 25},
        {"ZCY", 25},         {"CZ", 26},      {"ZCZ", 26},         {"SWAP", 27},
        {"CXSWAP", 28},      {"CZSWAP", 29},  {"SWAPCZ", 29},      {"ISWAP", 30},
        {"ISWAP_DAG", 31},   {"SQRT_XX", 32}, {"SQRT_XX_DAG", 33}, {"SQRT_YY", 34},
        {"SQRT_YY_DAG", 35}, {"SQRT_ZZ", 36}, {"SQRT_ZZ_DAG", 37}, {"SWAPCX", 38},
        {"XCX", 39},         {"XCY", 40},     {"XCZ", 41},         {"YCX", 42},
        {"YCY", 43},         {"YCZ", 44},
    };
    for (const auto& [name, code] : pairs) {
        // Odd lengths are left to the compiler.
        const Circuit c = parse(std::string(name) + " 0 1 2");
        ASSERT_EQ(c.instructions.size(), 1u) << name;
        EXPECT_EQ(static_cast<int>(c.instructions[0].gate), code) << name;
        EXPECT_EQ(c.instructions[0].qubits.size(), 3u);
    }
    const std::pair<const char*, int> measured[] = {
        {"M", 48},   {"MZ", 48},   {"MX", 49},  {"MY", 50},  {"MR", 51},  {"MRZ", 51}, {"MRX", 52},
        {"MRY", 53}, {"MPAD", 71}, {"MPP", 57}, {"MXX", 57}, {"MYY", 57}, {"MZZ", 57},
    };
    for (const auto& [name, code] : measured) {
        const std::string targets = code == 57 && name[1] == 'P' ? " X0 Z1" : " 0 1";
        const Circuit c = parse(std::string(name) + "(0.5)" + targets);
        EXPECT_EQ(static_cast<int>(c.instructions[0].gate), code) << name;
        EXPECT_EQ(c.instructions[0].probability, 0.5);
    }
    const std::pair<const char*, int> noise[] = {
        {"X_ERROR", 59},     {"Y_ERROR", 60},     {"Z_ERROR", 61},        {"DEPOLARIZE1", 62},
        {"DEPOLARIZE2", 63}, {"DEPOLARIZE3", 64}, {"HERALDED_ERASE", 69},
    };
    for (const auto& [name, code] : noise) {
        EXPECT_EQ(static_cast<int>(parse(std::string(name) + "(0.5) 0").instructions[0].gate),
                  code);
    }
    EXPECT_EQ(parse("PAULI_CHANNEL_2(0,0,0,0,0,0,0,0,0,0,0,0,0,0,0.5) 0 1").instructions[0].gate,
              CircuitGate::PAULI_CHANNEL_2);
    EXPECT_EQ(parse("TICK").instructions[0].gate, CircuitGate::TICK);
    EXPECT_EQ(static_cast<int>(parse("HERALDED_PAULI_CHANNEL_1(0,0,0,0) 0").instructions[0].gate),
              70);
}

TEST(Dispatch, ArgumentRules) {
    EXPECT_EQ(parse_error("H(0.1) 0"), "line 1: operation does not accept parens arguments");
    EXPECT_EQ(parse_error("H() 0"), "line 1: operation does not accept parens arguments");
    EXPECT_EQ(parse_error("CX(0.1) 0 1"), "line 1: operation does not accept parens arguments");
    EXPECT_EQ(parse_error("R(1) 0"), "line 1: operation does not accept parens arguments");
    EXPECT_EQ(parse_error("TICK()"), "line 1: operation does not accept parens arguments");
    EXPECT_EQ(parse_error("TICK 0"), "line 1: operation does not accept targets");
    EXPECT_EQ(parse_error("I(0.1) 0"), "line 1: operation does not accept parens arguments");
    // The argument rule runs before the targets are read.
    EXPECT_EQ(parse_error("H(1) x"), "line 1: operation does not accept parens arguments");
    EXPECT_EQ(parse_error("FOO 0"), "line 1: unsupported Kelvo operation: FOO");
    EXPECT_EQ(parse_error("Cx_Foo 0"), "line 1: unsupported Kelvo operation: CX_FOO");
}

TEST(Dispatch, DetectorsAndCoordinates) {
    const Circuit c = parse(
        "M 0\nDETECTOR(1, 2) rec[-1]\nSHIFT_COORDS(10, 20, 30)\nH 0\nDISCARD rec[-1]\n"
        "SHIFT_COORDS(1)\nDETECTOR(5)");
    ASSERT_EQ(c.detectors.size(), 3u);
    EXPECT_EQ(c.detectors[0].coords, (std::vector<double>{1, 2}));
    EXPECT_EQ(c.detectors[0].source_position, 1u);
    EXPECT_EQ(c.detectors[0].line, 2u);
    EXPECT_FALSE(c.detectors[0].discard);
    EXPECT_EQ(c.detectors[1].coords, (std::vector<double>{10, 20, 30}));
    EXPECT_TRUE(c.detectors[1].discard);
    EXPECT_EQ(c.detectors[1].source_position, 2u);
    EXPECT_EQ(c.detectors[2].coords, (std::vector<double>{16, 20, 30}));
    EXPECT_TRUE(c.detectors[2].records.empty());
    EXPECT_EQ(c.instructions.size(), 2u);  // annotations append no instruction

    const Circuit r = parse("REPEAT 3 {\nM 0\nSHIFT_COORDS(0, 1)\nDETECTOR(0, 0) rec[-1]\n}");
    ASSERT_EQ(r.detectors.size(), 3u);
    EXPECT_EQ(r.detectors[2].coords, (std::vector<double>{0, 3}));
    EXPECT_EQ(r.detectors[2].records, std::vector<size_t>{3});

    const std::string many = "(1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17)";
    EXPECT_EQ(parse_error("DETECTOR" + many),
              "line 1: detector expects 1 to 16 coordinate arguments when parens are present");
    EXPECT_EQ(parse_error("QUBIT_COORDS" + many + " 0"),
              "line 1: QUBIT_COORDS expects 1 to 16 coordinate arguments when parens are present");
    EXPECT_EQ(parse_error("QUBIT_COORDS(1)"), "line 1: QUBIT_COORDS expects qubit targets");
    EXPECT_EQ(parse_error("QUBIT_COORDS 0 !1"),
              "line 1: operation does not accept inverted targets");
    EXPECT_EQ(parse_error("SHIFT_COORDS 0"),
              "line 1: SHIFT_COORDS expects 1 to 16 coordinate arguments");
    EXPECT_EQ(parse_error("SHIFT_COORDS()"),
              "line 1: SHIFT_COORDS expects 1 to 16 coordinate arguments");
    EXPECT_EQ(parse_error("SHIFT_COORDS" + many),
              "line 1: SHIFT_COORDS expects 1 to 16 coordinate arguments");
    EXPECT_EQ(parse_error("SHIFT_COORDS(1) 0"), "line 1: operation does not accept targets");
}

TEST(Dispatch, ObservableIncludes) {
    Circuit c =
        parse("M 0 1\nOBSERVABLE_INCLUDE(3) rec[-1]\nOBSERVABLE_INCLUDE(-0) rec[-2] rec[-1]");
    EXPECT_EQ(c.observable_count(), 4u);
    EXPECT_EQ(c.observables[0].index, 3u);
    EXPECT_EQ(c.observables[0].records, std::vector<size_t>{2});
    EXPECT_EQ(c.observables[1].index, 0u);
    EXPECT_EQ(c.observables[1].line, 3u);
    c = parse("M 0\nOBSERVABLE_INCLUDE(0) rec[-1]\nOBSERVABLE_INCLUDE(5) rec[-1]");
    EXPECT_EQ(c.observable_count(), 6u);
    EXPECT_EQ(parse("M 0\nOBSERVABLE_INCLUDE(2147483647) rec[-1]").observable_count(), 2147483648u);
    const char* integer = "line 2: OBSERVABLE_INCLUDE expects one nonnegative integer index";
    EXPECT_EQ(parse_error("M 0\nOBSERVABLE_INCLUDE(1.5) rec[-1]"), integer);
    EXPECT_EQ(parse_error("M 0\nOBSERVABLE_INCLUDE(-1) rec[-1]"), integer);
    EXPECT_EQ(parse_error("M 0\nOBSERVABLE_INCLUDE(inf) rec[-1]"), integer);
    EXPECT_EQ(parse_error("M 0\nOBSERVABLE_INCLUDE(nan) rec[-1]"), integer);
    EXPECT_EQ(parse_error("M 0\nOBSERVABLE_INCLUDE(2147483648) rec[-1]"), integer);
    const char* index = "line 2: OBSERVABLE_INCLUDE expects one nonnegative observable index";
    EXPECT_EQ(parse_error("M 0\nOBSERVABLE_INCLUDE rec[-1]"), index);
    EXPECT_EQ(parse_error("M 0\nOBSERVABLE_INCLUDE(0, 1) rec[-1]"), index);
}

TEST(Dispatch, CountsAcrossACircuit) {
    const Circuit c = parse(
        "R 0 1 2\nH 0\nCX 0 1\nM 0 1\nMPP X0*Z1 Y2\nHERALDED_ERASE(0.1) 2\nMPAD 0 1\n"
        "DETECTOR rec[-1]\nDISCARD rec[-2]\nOBSERVABLE_INCLUDE(1) rec[-3]\nEXP_VAL Z0 X1*X2");
    EXPECT_EQ(c.num_qubits, 3u);
    EXPECT_EQ(c.num_measurements, 7u);
    EXPECT_EQ(c.detectors.size(), 2u);
    EXPECT_EQ(c.observable_count(), 2u);
    EXPECT_EQ(c.num_exp_vals, 2u);
}

}  // namespace
}  // namespace kelvo
