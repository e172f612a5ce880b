#include "circuit/rotations.h"

#include <gtest/gtest.h>

#include "circuit/test_util.h"

namespace kelvo {
namespace {

using testing::bits;
using testing::parse;

constexpr double kQuarterPi = 0.7853981633974483;

TEST(Rotations, FormsAnglesAndRefusals) {
    // Angles are half turns times pi / 2 (more below, as parsed).
    EXPECT_EQ(bits(rotation_half_angle(0.1)), bits((0.1 * 3.141592653589793) * 0.5));
    EXPECT_EQ(bits(rotation_half_angle(-0.0)), bits(-0.0));
    // Axis and pair forms (one product per target or pair), U3 as Z by lambda, Y by theta and Z
    // by phi over every target, product forms, T and expectation values.
    testing::expect_outcomes({
        {"R_Z(0.25) 3\nR_X(1) 0 1\nR_Y(0.5) 1\nR_ZZ(0.5) 0 1 2 3\nR_YY(1) 1 0\nR_X(1)\n"
         "U3(0.5, 0.25, 0.125) 0 1\nU(1, 2, 3)",
         "ROT IIIZ L1; ROT XIII IXII L2; ROT IYII L3; ROT ZZII IIZZ L4; ROT YYII L5; ROT L6; "
         "ROT ZIII IZII L7; ROT YIII IYII L7; ROT ZIII IZII L7; ROT L8; ROT L8; ROT L8; q4 m0 e0"},
        {"R_PAULI(0.5) X0*Y1 Z2\nSPP !X0\nSPP_DAG Z1\nT 0 1\nT_DAG 2\nEXP_VAL X0 Z1\nEXP_VAL Y0",
         "ROT XYI IIZ L1; ROT !XII L2; ROT IZI L3; T 0 1 L4; T_DAG 2 L5; EXP_VAL XII IZI @0 L6; "
         "EXP_VAL YII @2 L7; q3 m0 e3"},
        {"R_X(1) !0", "line 1: operation does not accept inverted targets"},
        {"R_ZZ 1 1", "line 1: two-qubit Pauli rotation expects one angle argument"},
        {"R_ZZ(0.5) 0 1 2", "line 1: two-qubit Pauli rotation requires paired targets"},
        {"R_ZZ(0.5) 1 1", "line 1: two-qubit Pauli operation requires distinct qubits"},
        {"U(1, 2) 0", "line 1: U3 expects three angle arguments"},
        {"R_PAULI 0", "line 1: R_PAULI expects one angle argument"},
        {"SPP X0 *", "line 1: dangling MPP combiner"},
        {"EXP_VAL", "line 1: EXP_VAL expects at least one Pauli product"},
    });
    const auto angles = [](std::string_view text) {
        std::vector<uint64_t> out;
        for (const CircuitInstruction& i : parse(text).instructions)
            out.push_back(bits(i.angle));
        return out;
    };
    EXPECT_EQ(angles("R_Z(0.25) 0\nR_X(1) 0\nU3(0.5, 0.25, 0.125) 0\nR_PAULI(0.5) X0\nSPP X0\n"
                     "SPP_DAG X0\nT 0"),
              (std::vector<uint64_t>{bits(0.39269908169872414), bits(1.5707963267948966),
                                     bits(0.19634954084936207), bits(kQuarterPi),
                                     bits(0.39269908169872414), bits(kQuarterPi), bits(kQuarterPi),
                                     bits(-kQuarterPi), 0}));
    using testing::expect_refused;
    // The argument check comes before the targets.
    expect_refused("line 1: single-qubit rotation expects one angle argument",
                   {"R_X 0", "R_X x", "R_X(1, 2) 0"});
    expect_refused("line 1: operation does not accept parens arguments",
                   {"SPP(0.5) X0", "SPP_DAG() X0", "T(0.1) 0", "EXP_VAL(1) X0"});
}

}  // namespace
}  // namespace kelvo
