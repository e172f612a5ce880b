#include "circuit/noise.h"

#include <gtest/gtest.h>

#include <string>

#include "circuit/test_util.h"

namespace kelvo {
namespace {

using testing::parse;

TEST(NoiseProbabilities, WhereTheyAreStoredAndRefusals) {
    std::string pc3 = "PAULI_CHANNEL_3(0";
    for (int i = 1; i < 63; ++i)
        pc3 += ", 0";
    const Circuit c = parse(pc3 + ") 0 1 2");
    EXPECT_EQ(c.instructions[0].args.size(), 63u);
    // The target count of DEPOLARIZE2 is left to the compiler; channel values are stored as
    // written, without range checks; heralds, measurements and MPAD produce records; I, II,
    // I_ERROR and II_ERROR are checked and dropped.
    testing::expect_outcomes({
        {"X_ERROR(0.1) 0\nDEPOLARIZE2(0.2) 0\nHERALDED_ERASE(0.3) 2\nM(0.4) 0\nMPAD(0.5) 1\n"
         "PAULI_CHANNEL_1(2, 0.2, -1) 0\nHERALDED_PAULI_CHANNEL_1(0.1, 0.2, 0.3, 0.4) 1\n"
         "M 0\nX_ERROR(1) 0\nM(0) 0\nX_ERROR(-0) 0\nI 0\nII 0 1\nI_ERROR(0.5, 0.5) 2\n"
         "I_ERROR(0.6, 0.4) 0\nI_ERROR 0\nII_ERROR 0 1",
         "X_ERROR 0 p=0.1 L1; DEPOLARIZE2 0 p=0.2 L2; HERALDED_ERASE 2 p=0.3 L3; M 0 p=0.4 L4; "
         "MPAD 1 p=0.5 L5; PAULI_CHANNEL_1(2,0.2,-1) 0 L6; "
         "HERALDED_PAULI_CHANNEL_1(0.1,0.2,0.3,0.4) 1 L7; M 0 L8; X_ERROR 0 p=1 L9; M 0 L10; "
         "X_ERROR 0 L11; q3 m6 e0"},
        {"HERALDED_PAULI_CHANNEL_1(0.1) 0",
         "line 1: HERALDED_PAULI_CHANNEL_1 expects four probabilities"},
        {"II_ERROR() 0 1", "line 1: II_ERROR probabilities must be disjoint and sum to at most 1"},
        {"II_ERROR(0.1) 0", "line 1: II_ERROR requires paired targets"},
        {"II 0", "line 1: II requires paired targets"},
    });
    using testing::expect_refused;
    expect_refused("line 1: operation expects one probability argument",
                   {"X_ERROR 0", "X_ERROR() 0", "X_ERROR(0.1, 0.2) 0", "HERALDED_ERASE 0", "E X0"});
    expect_refused("line 1: probability must be between 0 and 1",
                   {"X_ERROR(1.0000001) 0", "X_ERROR(-0.1) 0", "X_ERROR(nan) 0", "X_ERROR(1/0) 0",
                    "M(nan) 0", "I_ERROR(0.9, 0.9, 1.5) 0", "E(2) X0"});
    expect_refused("line 1: operation expects at most one probability argument",
                   {"M() 0", "M(0.1, 0.1) 0", "MPP() X0"});
    expect_refused("line 1: PAULI_CHANNEL probability count does not match gate arity",
                   {"PAULI_CHANNEL_1(0.1, 0.2) 0", "PAULI_CHANNEL_2(0.1) 0 1"});
    expect_refused("line 1: I_ERROR probabilities must be disjoint and sum to at most 1",
                   {"I_ERROR(0.6, 0.5) 0", "I_ERROR() 0"});
}

TEST(CorrelatedErrors, ChainsBecomeOneInstructionWithUnconditionalProbabilities) {
    const std::string orphan =
        ": ELSE_CORRELATED_ERROR must follow CORRELATED_ERROR or ELSE_CORRELATED_ERROR";
    testing::expect_outcomes({
        // The chain takes the line that closed it.
        {"CORRELATED_ERROR(0.2) X0\nELSE_CORRELATED_ERROR(0.5) Z1\nH 0",
         "E(0.2,0.4) XI IZ L3; H 0 L3; q2 m0 e0"},
        {"E(0.1) X0\nE(0.1) X0", "E(0.1) X L2; E(0.1) X L2; q1 m0 e0"},
        {"E(0.1) X0 Y1\nE(0.2)\nE(0.3) !X0*Z1 X1",
         "E(0.1) XY L2; E(0.2) II L3; E(0.3) !i*XY L3; q2 m0 e0"},
        // Chains never cross REPEAT boundaries, in either direction.
        {"REPEAT 2 {\nH 0\nE(0.1) X0\n}", "H 0 L2; E(0.1) X L3; H 0 L2; E(0.1) X L3; q1 m0 e0"},
        {"E(0.1) X0\nREPEAT 2 {\nH 0\n}", "E(0.1) X L2; H 0 L3; H 0 L3; q1 m0 e0"},
        // A block ending in a nested block closes its chain with the nested header's line.
        {"REPEAT 1 {\nE(0.1) X0\nREPEAT 1 {\n}\n}", "E(0.1) X L3; q1 m0 e0"},
        {"ELSE_CORRELATED_ERROR(0.1) X0", "line 1" + orphan},
        {"E(0.1) X0\nTICK\nELSE_CORRELATED_ERROR(0.1) X0", "line 3" + orphan},
        {"REPEAT 2 {\nE(0.1) X0\n}\nELSE_CORRELATED_ERROR(0.1) X0", "line 4" + orphan},
        {"E(0.1) X0\nREPEAT 2 {\nELSE_CORRELATED_ERROR(0.1) X0\n}", "line 3" + orphan},
        {"E(0.1) X0 * Z1", "line 1: implicit Pauli products do not use combiner targets"},
    });
    const Circuit c =
        parse("E(0.1) X0\nELSE_CORRELATED_ERROR(0.3) X1\nELSE_CORRELATED_ERROR(0.7) X2");
    // Exactly as products in this order (a member's mass times what the earlier ones left).
    const double p1 = 0.1, p2 = 0.3, p3 = 0.7;
    EXPECT_EQ(c.instructions[0].args,
              (std::vector{p1, p2 * (1.0 - p1), p3 * ((1.0 - p1) * (1.0 - p2))}));
    EXPECT_EQ(c.instructions[0].line, 3u);  // the chain ends the text
    testing::expect_refused("line 2: invalid MPP factor",
                            {"M 0\nE(0.1) rec[-1]", "M 0\nE(0.1) sweep[0]"});
}

TEST(CorrelatedErrors, ManyTargetsOverManyQubitsCostNoDenseProductEach) {
    // (X0 Z0)^10001 = (XZ)^10001 = XZ on qubit 0, since (XZ)^2 = -I. A dense factor per target
    // would cost 10^4 products of 2^26 qubits: minutes, although the member itself is one product.
    std::string text = "E(0.1)";
    for (int i = 0; i < 10'001; ++i)
        text += " X0 !Z0";
    text += " Z67108863\nH 67108863";
    const Circuit c = parse(text);
    const CircuitPauliProduct& member = c.instructions[0].paulis[0];
    EXPECT_TRUE(member.inverted);
    const uint64_t n = 67108864;
    EXPECT_EQ(member.pauli, pauli_x(n, 0) * pauli_z(n, 0) * pauli_z(n, n - 1));
}

}  // namespace
}  // namespace kelvo
