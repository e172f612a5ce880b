#include "circuit/rotations.h"

#include <gtest/gtest.h>

#include <bit>

#include "circuit/test_util.h"

namespace kelvo {
namespace {

using testing::bits;
using testing::parse;
using testing::parse_error;

TEST(Rotations, AnglesAreHalfTurnsTimesPiOverTwo) {
    EXPECT_EQ(bits(rotation_half_angle(0.25)), bits(0.39269908169872414));
    EXPECT_EQ(bits(rotation_half_angle(1)), bits(1.5707963267948966));
    EXPECT_EQ(bits(rotation_half_angle(0.1)), bits((0.1 * 3.141592653589793) * 0.5));
    EXPECT_EQ(bits(rotation_half_angle(-0.0)), bits(-0.0));
}

TEST(Rotations, SingleAxis) {
    Circuit c = parse("R_Z(0.25) 3");
    ASSERT_EQ(c.instructions.size(), 1u);
    EXPECT_EQ(c.instructions[0].gate, CircuitGate::PAULI_ROTATION);
    EXPECT_EQ(c.instructions[0].paulis.size(), 1u);
    EXPECT_EQ(c.instructions[0].paulis[0].pauli, pauli_z(4, 3));
    EXPECT_EQ(bits(c.instructions[0].angle), bits(0.39269908169872414));
    c = parse("R_X(1) 0 1\nR_Y(0.5) 1");
    EXPECT_EQ(c.instructions[0].paulis.size(), 2u);
    EXPECT_EQ(bits(c.instructions[0].angle), bits(1.5707963267948966));
    EXPECT_EQ(c.instructions[1].paulis[0].pauli, pauli_y(2, 1));
    EXPECT_EQ(c.instructions[1].paulis[0].pauli.phase, 1u);
    EXPECT_EQ(parse_error("R_X 0"), "line 1: single-qubit rotation expects one angle argument");
    EXPECT_EQ(parse_error("R_X x"), "line 1: single-qubit rotation expects one angle argument");
    EXPECT_EQ(parse_error("R_X(1, 2) 0"),
              "line 1: single-qubit rotation expects one angle argument");
    EXPECT_EQ(parse_error("R_X(1) !0"), "line 1: operation does not accept inverted targets");
    EXPECT_TRUE(parse("R_X(1)").instructions[0].paulis.empty());
}

TEST(Rotations, TwoAxis) {
    const Circuit c = parse("R_ZZ(0.5) 0 1 2 3\nR_XX(1) 1 0");
    EXPECT_EQ(c.instructions[0].paulis.size(), 2u);
    EXPECT_EQ(c.instructions[0].paulis[1].pauli.str(), "IIZZ");
    EXPECT_EQ(c.instructions[1].paulis[0].pauli.str(), "XXII");
    EXPECT_FALSE(c.instructions[1].paulis[0].inverted);
    EXPECT_EQ(parse("R_YY(1) 0 1").instructions[0].paulis[0].pauli.str(), "YY");
    EXPECT_EQ(parse_error("R_ZZ(0.5) 0 1 2"),
              "line 1: two-qubit Pauli rotation requires paired targets");
    EXPECT_EQ(parse_error("R_ZZ(0.5) 1 1"),
              "line 1: two-qubit Pauli operation requires distinct qubits");
    EXPECT_EQ(parse_error("R_ZZ 1 1"),
              "line 1: two-qubit Pauli rotation expects one angle argument");
}

TEST(Rotations, U3IsThreeRotations) {
    const Circuit c = parse("U3(0.5, 0.25, 0.125) 0 1");
    ASSERT_EQ(c.instructions.size(), 3u);
    EXPECT_EQ(bits(c.instructions[0].angle), bits(0.19634954084936207));
    EXPECT_EQ(bits(c.instructions[1].angle), bits(0.7853981633974483));
    EXPECT_EQ(bits(c.instructions[2].angle), bits(0.39269908169872414));
    EXPECT_EQ(c.instructions[0].paulis[1].pauli, pauli_z(2, 1));
    EXPECT_EQ(c.instructions[1].paulis[0].pauli, pauli_y(2, 0));
    EXPECT_EQ(c.instructions[2].paulis[0].pauli, pauli_z(2, 0));
    EXPECT_EQ(parse("U(1, 2, 3)").instructions.size(), 3u);
    EXPECT_EQ(parse_error("U(1, 2) 0"), "line 1: U3 expects three angle arguments");
}

TEST(Rotations, ProductRotations) {
    Circuit c = parse("R_PAULI(0.5) X0*Y1 Z2\nSPP !X0\nSPP_DAG Z1");
    EXPECT_EQ(c.instructions[0].paulis.size(), 2u);
    EXPECT_EQ(bits(c.instructions[0].angle), bits(0.7853981633974483));
    EXPECT_TRUE(c.instructions[1].paulis[0].inverted);
    EXPECT_EQ(bits(c.instructions[1].angle), bits(0.7853981633974483));
    EXPECT_EQ(bits(c.instructions[2].angle), bits(-0.7853981633974483));
    EXPECT_EQ(parse_error("R_PAULI 0"), "line 1: R_PAULI expects one angle argument");
    EXPECT_EQ(parse_error("SPP(0.5) X0"), "line 1: operation does not accept parens arguments");
    EXPECT_EQ(parse_error("SPP() X0"), "line 1: operation does not accept parens arguments");
    EXPECT_EQ(parse_error("SPP X0 *"), "line 1: dangling MPP combiner");
}

TEST(Rotations, TAndExpectationValues) {
    Circuit c = parse("T 0 1\nT_DAG 2");
    EXPECT_EQ(c.instructions[0].gate, CircuitGate::T);
    EXPECT_EQ(c.instructions[0].qubits, (std::vector<size_t>{0, 1}));
    EXPECT_EQ(c.instructions[0].angle, 0.0);
    EXPECT_EQ(c.instructions[1].gate, CircuitGate::T_DAG);
    EXPECT_EQ(parse_error("T(0.1) 0"), "line 1: operation does not accept parens arguments");

    c = parse("EXP_VAL X0 Z1\nEXP_VAL Y0");
    EXPECT_EQ(c.instructions[0].gate, CircuitGate::EXP_VAL);
    EXPECT_EQ(c.instructions[0].exp_val_start, 0u);
    EXPECT_EQ(c.instructions[1].exp_val_start, 2u);
    EXPECT_EQ(c.num_exp_vals, 3u);
    EXPECT_EQ(c.num_measurements, 0u);
    EXPECT_EQ(parse_error("EXP_VAL"), "line 1: EXP_VAL expects at least one Pauli product");
    EXPECT_EQ(parse_error("EXP_VAL(1) X0"), "line 1: operation does not accept parens arguments");
    EXPECT_FALSE(parse("H 0").instructions[0].exp_val_start.has_value());
}

}  // namespace
}  // namespace kelvo
