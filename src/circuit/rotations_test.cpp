#include "circuit/rotations.h"

#include <gtest/gtest.h>

#include "circuit/test_util.h"

namespace kelvo {
namespace {

using testing::bits;
using testing::parse;

constexpr double kQuarterPi = 0.7853981633974483;

TEST(Rotations, AnglesAreHalfTurnsTimesPiOverTwo) {
    EXPECT_EQ(bits(rotation_half_angle(0.25)), bits(0.39269908169872414));
    EXPECT_EQ(bits(rotation_half_angle(1)), bits(1.5707963267948966));
    EXPECT_EQ(bits(rotation_half_angle(0.1)), bits((0.1 * 3.141592653589793) * 0.5));
    EXPECT_EQ(bits(rotation_half_angle(-0.0)), bits(-0.0));
}

TEST(Rotations, AxisAndPairForms) {
    const Circuit c =
        parse("R_Z(0.25) 3\nR_X(1) 0 1\nR_Y(0.5) 1\nR_ZZ(0.5) 0 1 2 3\nR_YY(1) 1 0\nR_X(1)");
    ASSERT_EQ(c.instructions.size(), 6u);
    EXPECT_EQ(c.instructions[0].gate, CircuitGate::PAULI_ROTATION);
    EXPECT_EQ(c.instructions[0].paulis[0], (CircuitPauliProduct{pauli_z(4, 3), false}));
    EXPECT_EQ(c.instructions[0].paulis.size(), 1u);
    EXPECT_EQ(bits(c.instructions[0].angle), bits(0.39269908169872414));
    EXPECT_EQ(c.instructions[1].paulis.size(), 2u);
    EXPECT_EQ(bits(c.instructions[1].angle), bits(1.5707963267948966));
    EXPECT_EQ(c.instructions[2].paulis[0].pauli, pauli_y(4, 1));  // with pauli_y's phase
    EXPECT_EQ(c.instructions[3].paulis[1].pauli.str(), "IIZZ");
    EXPECT_EQ(c.instructions[4].paulis[0].pauli.str(), "YYII");
    EXPECT_FALSE(c.instructions[4].paulis[0].inverted);
    EXPECT_TRUE(c.instructions[5].paulis.empty());
}

TEST(Rotations, U3IsThreeRotationsOverEveryTarget) {
    const Circuit c = parse("U3(0.5, 0.25, 0.125) 0 1");
    ASSERT_EQ(c.instructions.size(), 3u);
    // Z by lambda, Y by theta, Z by phi.
    EXPECT_EQ(bits(c.instructions[0].angle), bits(0.19634954084936207));
    EXPECT_EQ(bits(c.instructions[1].angle), bits(kQuarterPi));
    EXPECT_EQ(bits(c.instructions[2].angle), bits(0.39269908169872414));
    EXPECT_EQ(c.instructions[0].paulis[1].pauli, pauli_z(2, 1));
    EXPECT_EQ(c.instructions[1].paulis[0].pauli, pauli_y(2, 0));
    EXPECT_EQ(c.instructions[2].paulis[0].pauli, pauli_z(2, 0));
    EXPECT_EQ(parse("U(1, 2, 3)").instructions.size(), 3u);
}

TEST(Rotations, ProductFormsTAndExpectationValues) {
    Circuit c = parse("R_PAULI(0.5) X0*Y1 Z2\nSPP !X0\nSPP_DAG Z1\nT 0 1\nT_DAG 2");
    EXPECT_EQ(c.instructions[0].paulis.size(), 2u);
    EXPECT_EQ(bits(c.instructions[0].angle), bits(kQuarterPi));
    EXPECT_TRUE(c.instructions[1].paulis[0].inverted);
    EXPECT_EQ(bits(c.instructions[1].angle), bits(kQuarterPi));
    EXPECT_EQ(bits(c.instructions[2].angle), bits(-kQuarterPi));
    EXPECT_EQ(c.instructions[3].gate, CircuitGate::T);
    EXPECT_EQ(c.instructions[3].qubits, (std::vector<size_t>{0, 1}));
    EXPECT_EQ(c.instructions[3].angle, 0.0);
    EXPECT_EQ(c.instructions[4].gate, CircuitGate::T_DAG);

    c = parse("EXP_VAL X0 Z1\nEXP_VAL Y0");
    EXPECT_EQ(c.instructions[0].gate, CircuitGate::EXP_VAL);
    EXPECT_EQ(c.instructions[0].exp_val_start, 0u);
    EXPECT_EQ(c.instructions[1].exp_val_start, 2u);
    EXPECT_EQ(c.num_exp_vals, 3u);
    EXPECT_EQ(c.num_measurements, 0u);
    EXPECT_FALSE(parse("H 0").instructions[0].exp_val_start.has_value());
}

TEST(Rotations, Refusals) {
    const char* single = "line 1: single-qubit rotation expects one angle argument";
    const char* pair = "line 1: two-qubit Pauli rotation expects one angle argument";
    const char* parens = "line 1: operation does not accept parens arguments";
    testing::expect_refusals({
        {"R_X 0", single},
        {"R_X x", single},  // the argument check comes before the targets
        {"R_X(1, 2) 0", single},
        {"R_X(1) !0", "line 1: operation does not accept inverted targets"},
        {"R_ZZ 1 1", pair},
        {"R_ZZ(0.5) 0 1 2", "line 1: two-qubit Pauli rotation requires paired targets"},
        {"R_ZZ(0.5) 1 1", "line 1: two-qubit Pauli operation requires distinct qubits"},
        {"U(1, 2) 0", "line 1: U3 expects three angle arguments"},
        {"R_PAULI 0", "line 1: R_PAULI expects one angle argument"},
        {"SPP(0.5) X0", parens},
        {"SPP_DAG() X0", parens},
        {"T(0.1) 0", parens},
        {"EXP_VAL(1) X0", parens},
        {"SPP X0 *", "line 1: dangling MPP combiner"},
        {"EXP_VAL", "line 1: EXP_VAL expects at least one Pauli product"},
    });
}

}  // namespace
}  // namespace kelvo
