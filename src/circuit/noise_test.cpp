#include "circuit/noise.h"

#include <gtest/gtest.h>

#include <string>

#include "circuit/test_util.h"

namespace kelvo {
namespace {

using testing::bits;
using testing::parse;

TEST(NoiseProbabilities, WhereTheyAreStored) {
    std::string pc3 = "PAULI_CHANNEL_3(0";
    for (int i = 1; i < 63; ++i)
        pc3 += ", 0";
    const Circuit c = parse(
        "X_ERROR(0.1) 0\nDEPOLARIZE2(0.2) 0\nHERALDED_ERASE(0.3) 2\nM(0.4) 0\nMPAD(0.5) 1\n"
        "PAULI_CHANNEL_1(2, 0.2, -1) 0\nHERALDED_PAULI_CHANNEL_1(0.1, 0.2, 0.3, 0.4) 1\n"
        "M 0\nX_ERROR(1) 0\nM(0) 0\nX_ERROR(-0) 0\n" +
        pc3 + ") 0 1 2");
    EXPECT_EQ(c.instructions[0].probability, 0.1);
    EXPECT_EQ(c.instructions[0].qubits, std::vector<size_t>{0});
    // The target count of DEPOLARIZE2 is left to the compiler.
    EXPECT_EQ(c.instructions[1].qubits, std::vector<size_t>{0});
    EXPECT_EQ(c.instructions[2].probability, 0.3);
    EXPECT_EQ(c.instructions[3].probability, 0.4);
    EXPECT_EQ(c.instructions[4].probability, 0.5);
    // Channel values are stored as written, without range checks.
    EXPECT_EQ(c.instructions[5].args, (std::vector<double>{2, 0.2, -1}));
    EXPECT_EQ(c.instructions[5].probability, 0.0);
    EXPECT_EQ(c.instructions[6].args, (std::vector<double>{0.1, 0.2, 0.3, 0.4}));
    EXPECT_EQ(c.instructions[7].probability, 0.0);
    EXPECT_EQ(c.instructions[11].args.size(), 63u);
    // Heralds, measurements and MPAD produce records.
    EXPECT_EQ(c.num_measurements, 6u);
    // I, II, I_ERROR and II_ERROR are checked and dropped.
    EXPECT_TRUE(parse("I 0\nII 0 1\nI_ERROR(0.5, 0.5) 2\nI_ERROR(0.6, 0.4) 0\nI_ERROR 0\n"
                      "II_ERROR 0 1")
                    .instructions.empty());
}

TEST(NoiseProbabilities, Refusals) {
    const char* one = "line 1: operation expects one probability argument";
    const char* range = "line 1: probability must be between 0 and 1";
    const char* optional = "line 1: operation expects at most one probability argument";
    const char* arity = "line 1: PAULI_CHANNEL probability count does not match gate arity";
    const char* i_error = "line 1: I_ERROR probabilities must be disjoint and sum to at most 1";
    testing::expect_refusals({
        {"X_ERROR 0", one},
        {"X_ERROR() 0", one},
        {"X_ERROR(0.1, 0.2) 0", one},
        {"HERALDED_ERASE 0", one},
        {"X_ERROR(1.0000001) 0", range},
        {"X_ERROR(-0.1) 0", range},
        {"X_ERROR(nan) 0", range},
        {"X_ERROR(1/0) 0", range},
        {"M(nan) 0", range},
        {"M() 0", optional},
        {"M(0.1, 0.1) 0", optional},
        {"MPP() X0", optional},
        {"PAULI_CHANNEL_1(0.1, 0.2) 0", arity},
        {"PAULI_CHANNEL_2(0.1) 0 1", arity},
        {"HERALDED_PAULI_CHANNEL_1(0.1) 0",
         "line 1: HERALDED_PAULI_CHANNEL_1 expects four probabilities"},
        {"I_ERROR(0.6, 0.5) 0", i_error},
        {"I_ERROR() 0", i_error},
        {"II_ERROR() 0 1", "line 1: II_ERROR probabilities must be disjoint and sum to at most 1"},
        {"I_ERROR(0.9, 0.9, 1.5) 0", range},
        {"II_ERROR(0.1) 0", "line 1: II_ERROR requires paired targets"},
        {"II 0", "line 1: II requires paired targets"},
    });
}

TEST(CorrelatedErrors, ChainsBecomeOneInstructionWithUnconditionalProbabilities) {
    Circuit c = parse("CORRELATED_ERROR(0.2) X0\nELSE_CORRELATED_ERROR(0.5) Z1\nH 0");
    ASSERT_EQ(c.instructions.size(), 2u);
    EXPECT_EQ(c.instructions[0].gate, CircuitGate::CORRELATED_ERROR);
    EXPECT_EQ(c.instructions[0].line, 3u);  // the line that closed the chain
    EXPECT_EQ(c.instructions[0].paulis,
              (std::vector<CircuitPauliProduct>{{pauli_string("XI"), false},
                                                {pauli_string("IZ"), false}}));
    EXPECT_EQ(c.instructions[0].args, (std::vector<double>{0.2, 0.4}));
    EXPECT_EQ(c.instructions[1].gate, CircuitGate::H);

    c = parse("E(0.1) X0\nELSE_CORRELATED_ERROR(0.3) X1\nELSE_CORRELATED_ERROR(0.7) X2");
    const double p1 = 0.1, p2 = 0.3, p3 = 0.7;
    const double expected[] = {p1 * 1.0, p2 * (1.0 * (1.0 - p1)),
                               p3 * ((1.0 * (1.0 - p1)) * (1.0 - p2))};
    ASSERT_EQ(c.instructions[0].args.size(), 3u);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(bits(c.instructions[0].args[i]), bits(expected[i]));
    EXPECT_EQ(c.instructions[0].line, 3u);  // the chain ends the text
}

TEST(CorrelatedErrors, MembersAndBoundaries) {
    Circuit c = parse("E(0.1) X0\nE(0.1) X0");
    EXPECT_EQ(c.instructions.size(), 2u);
    EXPECT_EQ(c.instructions[0].line, 2u);

    c = parse("E(0.1) X0 Y1\nE(0.2)\nE(0.3) !X0*Z1 X1");
    EXPECT_EQ(c.instructions[0].paulis[0].pauli.str(), "XY");
    EXPECT_EQ(c.instructions[1].paulis[0].pauli.str(), "II");
    EXPECT_TRUE(c.instructions[2].paulis[0].inverted);
    EXPECT_EQ(c.instructions[2].paulis[0].pauli, pauli_x(2, 0) * pauli_z(2, 1) * pauli_x(2, 1));

    // Chains never cross REPEAT boundaries, in either direction.
    c = parse("REPEAT 2 {\nH 0\nE(0.1) X0\n}");
    ASSERT_EQ(c.instructions.size(), 4u);
    EXPECT_EQ(c.instructions[1].gate, CircuitGate::CORRELATED_ERROR);
    EXPECT_EQ(c.instructions[1].line, 3u);
    EXPECT_EQ(c.instructions[3].gate, CircuitGate::CORRELATED_ERROR);
    c = parse("E(0.1) X0\nREPEAT 2 {\nH 0\n}");
    EXPECT_EQ(c.instructions[0].line, 2u);
    // A block ending in a nested block closes its chain with the nested header's line.
    c = parse("REPEAT 1 {\nE(0.1) X0\nREPEAT 1 {\n}\n}");
    EXPECT_EQ(c.instructions[0].line, 3u);

    const char* orphan =
        "ELSE_CORRELATED_ERROR must follow CORRELATED_ERROR or ELSE_CORRELATED_ERROR";
    testing::expect_refusals({
        {"ELSE_CORRELATED_ERROR(0.1) X0", std::string("line 1: ") + orphan},
        {"E(0.1) X0\nTICK\nELSE_CORRELATED_ERROR(0.1) X0", std::string("line 3: ") + orphan},
        {"REPEAT 2 {\nE(0.1) X0\n}\nELSE_CORRELATED_ERROR(0.1) X0",
         std::string("line 4: ") + orphan},
        {"E(0.1) X0\nREPEAT 2 {\nELSE_CORRELATED_ERROR(0.1) X0\n}",
         std::string("line 3: ") + orphan},
        {"E(0.1) X0 * Z1", "line 1: implicit Pauli products do not use combiner targets"},
        {"E(0.1) X0*Z1", "<parsed>"},
        {"E X0", "line 1: operation expects one probability argument"},
        {"E(2) X0", "line 1: probability must be between 0 and 1"},
        {"M 0\nE(0.1) rec[-1]", "line 2: invalid MPP factor"},
        {"M 0\nE(0.1) sweep[0]", "line 2: invalid MPP factor"},
    });
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
