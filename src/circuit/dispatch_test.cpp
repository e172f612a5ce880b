#include "circuit/dispatch.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "circuit/test_util.h"

namespace kelvo {
namespace {

using testing::parse;

TEST(Dispatch, EveryGateNameHasItsFixedCode) {
    // Single-qubit gates, resets and T, then two-qubit gates (an odd length is left to the
    // compiler): a plain qubit list.
    std::istringstream qubit_lists(
        "H 1 H_XZ 1 H_NXY 2 H_NXZ 3 H_NYZ 4 H_XY 5 H_YZ 6 C_NXYZ 7 C_NZYX 8 C_XNYZ 9 C_XYNZ 10 "
        "C_XYZ 11 C_ZNYX 12 C_ZYNX 13 C_ZYX 14 S 15 SQRT_Z 15 S_DAG 16 SQRT_Z_DAG 16 SQRT_X 17 "
        "SQRT_X_DAG 18 SQRT_Y 19 SQRT_Y_DAG 20 X 21 Y 22 Z 23 T 45 T_DAG 46 R 54 RZ 54 RX 55 RY 56 "
        "CX 24 CNOT 24 ZCX 24 CY 25 ZCY 25 CZ 26 ZCZ 26 SWAP 27 CXSWAP 28 CZSWAP 29 SWAPCZ 29 "
        "ISWAP 30 ISWAP_DAG 31 SQRT_XX 32 SQRT_XX_DAG 33 SQRT_YY 34 SQRT_YY_DAG 35 SQRT_ZZ 36 "
        "SQRT_ZZ_DAG 37 SWAPCX 38 XCX 39 XCY 40 XCZ 41 YCX 42 YCY 43 YCZ 44");
    std::string name;
    int code;
    while (qubit_lists >> name >> code) {
        const Circuit c = parse(name + " 0 1 0");
        ASSERT_EQ(c.instructions.size(), 1u) << name;
        EXPECT_EQ(static_cast<int>(c.instructions[0].gate), code) << name;
        EXPECT_EQ(c.instructions[0].qubits, (std::vector<size_t>{0, 1, 0})) << name;
    }
    // Measurements and noise with one probability.
    std::istringstream measured(
        "M 48 MZ 48 MX 49 MY 50 MR 51 MRZ 51 MRX 52 MRY 53 MPAD 71 MPP 57 MXX 57 MYY 57 MZZ 57 "
        "X_ERROR 59 Y_ERROR 60 Z_ERROR 61 DEPOLARIZE1 62 DEPOLARIZE2 63 DEPOLARIZE3 64 "
        "HERALDED_ERASE 69");
    while (measured >> name >> code) {
        const Circuit c = parse(name + "(0.5)" + (name == "MPP" ? " X0 Z1" : " 0 1"));
        EXPECT_EQ(static_cast<int>(c.instructions[0].gate), code) << name;
        EXPECT_EQ(c.instructions[0].probability, 0.5);
    }
    EXPECT_EQ(testing::described("TICK\nHERALDED_PAULI_CHANNEL_1(0,0,0,0) 0\n"
                                 "PAULI_CHANNEL_2(0,0,0,0,0,0,0,0,0,0,0,0,0,0,0.5) 0 1"),
              "TICK L1; HERALDED_PAULI_CHANNEL_1(0,0,0,0) 0 L2; "
              "PAULI_CHANNEL_2(0,0,0,0,0,0,0,0,0,0,0,0,0,0,0.5) 0 1 L3; q2 m1 e0");
}

TEST(Dispatch, AnnotationsCoordinatesAndRefusals) {
    const std::string many = "(1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17)";
    testing::expect_outcomes({
        // Without coordinates a detector takes the shift itself; annotations append no
        // instruction; QUBIT_COORDS names qubits.
        {"M 0\nDETECTOR(1, 2) rec[-1]\nSHIFT_COORDS(10, 20, 30)\nH 0\nDISCARD rec[-1]\n"
         "SHIFT_COORDS(1)\nDETECTOR(5)\nQUBIT_COORDS(1, 2) 9",
         "M 0 L1; H 0 L4; DETECTOR(1,2) 1 #1 L2; DISCARD(10,20,30) 1 #2 L5; "
         "DETECTOR(16,20,30) #2 L7; q10 m1 e0"},
        // The shift, records and expectation slots advance with every REPEAT pass.
        {"REPEAT 3 {\nM 0\nSHIFT_COORDS(0, 1)\nDETECTOR(0, 0) rec[-1]\nEXP_VAL Z0\n}\n"
         "OBSERVABLE_INCLUDE(0) rec[-1]",
         "M 0 L2; EXP_VAL Z @0 L5; M 0 L2; EXP_VAL Z @1 L5; M 0 L2; EXP_VAL Z @2 L5; "
         "DETECTOR(0,1) 1 #1 L4; DETECTOR(0,2) 2 #3 L4; DETECTOR(0,3) 3 #5 L4; OBS(0) 3 L7; "
         "q1 m3 e3"},
        {"M 0 1\nOBSERVABLE_INCLUDE(3) rec[-1]\nOBSERVABLE_INCLUDE(-0) rec[-2] rec[-1]",
         "M 0 1 L1; OBS(3) 2 L2; OBS(0) 1 2 L3; q2 m2 e0"},
        {"FOO 0", "line 1: unsupported Kelvo operation: FOO"},
        {"Cx_Foo 0", "line 1: unsupported Kelvo operation: CX_FOO"},
        {"QUBIT_COORDS" + many + " 0",
         "line 1: QUBIT_COORDS expects 1 to 16 coordinate arguments when parens are present"},
        {"QUBIT_COORDS(1)", "line 1: QUBIT_COORDS expects qubit targets"},
        {"QUBIT_COORDS 0 !1", "line 1: operation does not accept inverted targets"},
        {"QUBIT_COORDS sweep[0]", "line 1: invalid qubit target"},
    });
    EXPECT_EQ(parse("M 0\nOBSERVABLE_INCLUDE(3) rec[-1]\nOBSERVABLE_INCLUDE(0) rec[-1]")
                  .observable_count(),
              4u);
    EXPECT_EQ(parse("M 0\nOBSERVABLE_INCLUDE(2147483647) rec[-1]").observable_count(), 2147483648u);
    using testing::expect_refused;
    // The argument rule runs before the targets are read.
    expect_refused("line 1: operation does not accept parens arguments",
                   {"H() 0", "H(1) x", "TICK()", "I(0.1) 0"});
    const std::string observable = "M 0\nOBSERVABLE_INCLUDE";
    expect_refused(
        "line 2: OBSERVABLE_INCLUDE expects one nonnegative integer index",
        {observable + "(1.5) rec[-1]", observable + "(-1) rec[-1]", observable + "(inf) rec[-1]",
         observable + "(nan) rec[-1]", observable + "(2147483648) rec[-1]"});
    expect_refused("line 2: OBSERVABLE_INCLUDE expects one nonnegative observable index",
                   {observable + " rec[-1]", observable + "(0, 1) rec[-1]"});
    expect_refused("line 1: detector expects 1 to 16 coordinate arguments when parens are present",
                   {"DETECTOR()", "DETECTOR" + many});
    expect_refused("line 1: SHIFT_COORDS expects 1 to 16 coordinate arguments",
                   {"SHIFT_COORDS 0", "SHIFT_COORDS()", "SHIFT_COORDS" + many});
    expect_refused("line 1: operation does not accept targets", {"TICK 0", "SHIFT_COORDS(1) 0"});
}

}  // namespace
}  // namespace kelvo
