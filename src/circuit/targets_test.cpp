#include "circuit/targets.h"

#include <gtest/gtest.h>

#include <random>
#include <sstream>
#include <string>

#include "circuit/digits.h"
#include "circuit/test_util.h"

namespace kelvo {
namespace {

using testing::parse;

// Random runs of every length after a prefix, ended by any byte that is not a digit (the bytes
// next to '0' and '9' included), against checked decimal arithmetic.
TEST(TargetTokens, DigitRunsOfEveryLengthAndTerminator) {
    std::mt19937_64 rng(7);
    for (int trial = 0; trial < 20000; ++trial) {
        const size_t prefix = rng() % 3, length = rng() % 24, suffix = rng() % 12;
        std::string text(prefix, 'x');
        size_t expected = 0;
        bool fits = true;
        for (size_t k = 0; k < length; ++k) {
            const char d = static_cast<char>('0' + rng() % 10);
            text += d;
            fits = fits && !__builtin_mul_overflow(expected, size_t{10}, &expected) &&
                   !__builtin_add_overflow(expected, static_cast<size_t>(d - '0'), &expected);
        }
        for (size_t k = 0; k < suffix; ++k)
            text += static_cast<char>(rng() % 256);
        if (suffix && is_decimal_digit(text[prefix + length])) text[prefix + length] = ' ';
        size_t value = 0;
        bool got_fits = false;
        ASSERT_EQ(read_digit_run(text, prefix, value, got_fits), prefix + length) << text;
        ASSERT_TRUE(got_fits == fits && (!fits || value == expected)) << text;
    }
    size_t value;
    bool fits;
    EXPECT_EQ(read_digit_run("18446744073709551615 ", 0, value, fits), 20u);
    EXPECT_TRUE(fits && value == SIZE_MAX);
    read_digit_run("18446744073709551616", 0, value, fits);
    EXPECT_FALSE(fits);
}

TEST(TargetTokens, FormsAndQubitCountCandidates) {
    EXPECT_EQ(parse_qubit_token("007")->index, 7u);
    EXPECT_TRUE(parse_qubit_token("!3")->inverted);
    EXPECT_EQ(parse_qubit_token("18446744073709551615")->index, SIZE_MAX);
    for (const char* bad : {"", "!", "-1", "+1", "1a", "x1", "!!1", "18446744073709551616"})
        EXPECT_FALSE(parse_qubit_token(bad).has_value()) << bad;
    EXPECT_EQ(record_offset("rec[-01]"), 1u);
    EXPECT_EQ(record_offset("rec[-99999999999999999999999]"), SIZE_MAX);
    for (const char* bad : {"rec[-]", "rec[3]", "rec[-1a]", "rec[-1", "REC[-1]", "rec[--1]"})
        EXPECT_FALSE(record_offset(bad).has_value()) << bad;
    EXPECT_TRUE(is_sweep_target("sweep[0]"));
    EXPECT_FALSE(is_sweep_target("sweep[]") || is_sweep_target("sweep[-1]"));

    std::istringstream counted("5 5 !5 5 X3*!Z9*Y1 9 !X4 4 !!X4 4 rec[-1]*X6 6");
    std::string token;
    for (size_t q; counted >> token >> q;)
        EXPECT_EQ(max_qubit_candidate(token), q) << token;
    for (const char* none :
         {"x4", "X", "*", "rec[-7]", "sweep[7]", "(0.1)", "XX5", "99999999999999999999"})
        EXPECT_EQ(max_qubit_candidate(none), std::nullopt) << none;
}

TEST(Targets, ParsedFormsAndRefusals) {
    testing::expect_outcomes({
        {"M !0 1\nMX(0.25) !2\nH 0 0 1\nDETECTOR rec[-1] rec[-3] rec[-01]\nDETECTOR",
         "M !0 1 L1; MX !2 p=0.25 L2; H 0 0 1 L3; DETECTOR 3 1 3 #3 L4; DETECTOR #3 L5; q3 m3 e0"},
        // MPAD values are written like qubits but name none.
        {"MPAD 5 !1", "MPAD 5 !1 L1; q0 m2 e0"},
        // Pauli tokens of an observable include contribute nothing and name no qubit.
        {"M 0\nOBSERVABLE_INCLUDE(0) rec[-1] X5 * !Z2", "M 0 L1; OBS(0) 1 L2; q1 m1 e0"},
        // Every other line names qubits, whatever it is.
        {"I 4\nII 1 2\nI_ERROR 6", "q7 m0 e0"},
        {"E(0.1) Z7", "E(0.1) IIIIIIIZ L1; q8 m0 e0"},
        // Products: `*` binds with or without blanks; phases come from multiplying the factors
        // left to right; `!` marks cancel in pairs.
        {"MPP X0 * Z1 Y2\nMPP X0* Z1 Y2\nMPP X0*Z1 Y2",
         "MPP XZI IIY L1; MPP XZI IIY L2; MPP XZI IIY L3; q3 m6 e0"},
        {"MPP !X0*!Z1 X0*Z0 Z0*X0 Y0*Y0 !Y1", "MPP XZ -i*YI i*YI II !IY L1; q2 m5 e0"},
        {"MZZ 0 !1 2 3\nMXX(0.125) !4 !5\nMYY 0 1",
         "MPP !ZZIIII IIZZII L1; MPP IIIIXX p=0.125 L2; MPP YYIIII L3; q6 m4 e0"},
        // Record-controlled pairs become feedback; the arguments of such a line are not read.
        {"M 0\nCX rec[-1] 3 0 1", "M 0 L1; FEEDBACK_X 1>3 L2; CX 0 1 L2; q4 m1 e0"},
        {"M 0 1\nCZ 2 rec[-1] rec[-2] 4\nCY rec[-2] 5\nXCZ 6 rec[-1]\nYCZ 7 rec[-2]",
         "M 0 1 L1; FEEDBACK_Z 2>2 L2; FEEDBACK_Z 1>4 L2; FEEDBACK_Y 1>5 L3; FEEDBACK_X 2>6 L4; "
         "FEEDBACK_Y 1>7 L5; q8 m2 e0"},
        {"M 0\nCX(0.5) rec[-1] 0", "M 0 L1; FEEDBACK_X 1>0 L2; q1 m1 e0"},
        {"DETECTOR 0", "line 1: invalid measurement record target"},
        {"H 0\nDETECTOR sweep[0]", "line 2: invalid measurement record target"},
        {"MYY 0 1 2", "line 1: pair measurement requires paired targets"},
        {"MXX 3 3", "line 1: two-qubit Pauli operation requires distinct qubits"},
        {"M 0\nSWAP rec[-1] 0", "line 2: unsupported classically controlled gate"},
        {"M 0\nCX rec[-1] 0 1", "line 2: controlled two-qubit gate requires paired targets"},
        {"M 0\nCX rec[-1] !0",
         "line 2: record-controlled feedback does not accept inverted qubit targets"},
        {"M 0\nCX rec[-1] 0 !1 2",
         "line 2: two-qubit Clifford does not accept inverted qubit targets"},
        // The record scan comes before the name lookup and the argument rules.
        {"M 0\nM rec[-1]", "line 2: controlled two-qubit gate requires paired targets"},
        {"M 0\nFOO rec[-1] rec[-1]", "line 2: unsupported classically controlled gate"},
        // Unknown names still count qubits, although the line then fails.
        {"FOO 99", "line 1: unsupported Kelvo operation: FOO"},
    });
    // Products span the circuit's full qubit count, counted in REPEAT bodies too.
    EXPECT_EQ(parse("REPEAT 3 {\nMPP X2*Y11\n}").num_qubits, 12u);
    using testing::expect_refused;
    expect_refused("line 1: invalid qubit target", {"H 0 x", "M 0 !", "H 18446744073709551616"});
    expect_refused("line 2: invalid qubit target",  // record-controlled pairs
                   {"M 0\nCX 0 rec[-1]", "M 0\nXCZ rec[-1] 2", "M 0\nCZ rec[-1] rec[-1]",
                    "M 0\nCX !1 rec[-1] 0 1"});
    expect_refused("line 2: measurement record target out of range",
                   {"M 0 1 2\nDETECTOR rec[-4]", "M 0 1 2\nDETECTOR rec[-0]",
                    "M 0 1 2\nDETECTOR rec[-99999999999999999999999]", "M 0\nCX rec[-2] 0",
                    "M 0\nCZ 0 rec[-2]"});
    expect_refused(
        "line 2: OBSERVABLE_INCLUDE targets must be measurement records or Pauli targets",
        {"M 0\nOBSERVABLE_INCLUDE(0) 0", "M 0\nOBSERVABLE_INCLUDE(0) X5*Z2",
         "M 0\nOBSERVABLE_INCLUDE(0) !*"});
    expect_refused("line 1: invalid MPP factor", {"MPP X0 *Z1 Y2", "MPP x0", "MPP !!X0", "MPP X",
                                                  "MPP X99999999999999999999999"});
    expect_refused("line 1: misplaced MPP combiner", {"MPP * X0", "MPP X0 * * Z1"});
    // Grouping comes before any factor is read.
    expect_refused("line 1: dangling MPP combiner", {"MPP X0 *", "MPP x0 *"});
    expect_refused("line 1: operation does not accept inverted targets", {"H !0", "CX 0 !1"});
    expect_refused("line 2: sweep-controlled operations are not supported",
                   {"M 0\nCX sweep[0] 0", "M 0\nH(0.1) sweep[0]"});
}

}  // namespace
}  // namespace kelvo
