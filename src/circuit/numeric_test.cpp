#include "circuit/numeric.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <string>

#include "circuit/test_util.h"
#include "errors.h"

namespace kelvo {
namespace {

using testing::bits;
using testing::parse;
using testing::parse_error;

double eval(std::string_view text) {
    return evaluate_argument(text, 1);
}

std::string eval_error(std::string_view text) {
    try {
        eval(text);
    } catch (const KelvoError& e) {
        return e.what();
    }
    return "<evaluated>";
}

TEST(NumericLiteral, AcceptsTheDecimalFloatSyntax) {
    EXPECT_EQ(read_float_literal("0.25"), 0.25);
    EXPECT_EQ(read_float_literal("+3"), 3.0);
    EXPECT_EQ(read_float_literal("5."), 5.0);
    EXPECT_EQ(read_float_literal(".5"), 0.5);
    EXPECT_EQ(read_float_literal("1e-3"), 1e-3);
    EXPECT_EQ(read_float_literal("2E+2"), 200.0);
    EXPECT_EQ(read_float_literal("0.1"), 0.1);
    EXPECT_EQ(bits(*read_float_literal("-0")), bits(-0.0));
    for (const char* bad :
         {"", "+", ".", "e5", "1e", "1e+", "0x10", "1_0", "1.2.3", "nan(1)", "pi", " 1", "1 "}) {
        EXPECT_FALSE(read_float_literal(bad).has_value()) << bad;
    }
}

TEST(NumericLiteral, InfinityAndNanInAnyCase) {
    EXPECT_EQ(read_float_literal("inf"), std::numeric_limits<double>::infinity());
    EXPECT_EQ(read_float_literal("-Infinity"), -std::numeric_limits<double>::infinity());
    EXPECT_EQ(read_float_literal("INF"), std::numeric_limits<double>::infinity());
    EXPECT_TRUE(std::isnan(*read_float_literal("NaN")));
    EXPECT_TRUE(std::isnan(*read_float_literal("nan")));
    EXPECT_FALSE(read_float_literal("infin").has_value());
}

TEST(NumericLiteral, CorrectlyRoundedAtTheExtremes) {
    EXPECT_EQ(read_float_literal("1e400"), std::numeric_limits<double>::infinity());
    EXPECT_EQ(read_float_literal("-1e400"), -std::numeric_limits<double>::infinity());
    EXPECT_EQ(read_float_literal("1e-400"), 0.0);
    EXPECT_EQ(read_float_literal("0.000001e-330"), 0.0);
    EXPECT_EQ(read_float_literal("123456789e99999999999999999999"),
              std::numeric_limits<double>::infinity());
    EXPECT_EQ(read_float_literal("4.9406564584124654e-324"), 4.9406564584124654e-324);
    EXPECT_EQ(read_float_literal("2.4703282292062328e-324"), 4.9406564584124654e-324);
    EXPECT_EQ(read_float_literal("1.7976931348623157e308"), 1.7976931348623157e308);
}

TEST(NumericExpression, EvaluatesLeftToRightInDoublePrecision) {
    // Bit-exact: the same operations in the same order as written.
    EXPECT_EQ(bits(eval("0.1*3+0.2")), bits(0.1 * 3 + 0.2));
    EXPECT_EQ(bits(eval("0.1+0.2+0.3")), bits((0.1 + 0.2) + 0.3));
    EXPECT_EQ(bits(eval("0.3+(0.2+0.1)")), bits(0.3 + (0.2 + 0.1)));
    EXPECT_EQ(eval("1-2-3"), -4.0);
    EXPECT_EQ(eval("8/2/2"), 2.0);
    EXPECT_EQ(eval("2+3*4"), 14.0);
    EXPECT_EQ(eval("(2+3)*4"), 20.0);
    EXPECT_EQ(eval(" 2 *\t( 1 + 1 ) "), 4.0);
    EXPECT_EQ(bits(eval("2*pi")), bits(6.283185307179586));
    EXPECT_EQ(bits(eval("PI/4")), bits(3.141592653589793 / 4));
    EXPECT_EQ(eval("-(3)/2"), -1.5);
    EXPECT_EQ(eval("1.5e1+.5"), 15.5);
}

TEST(NumericExpression, SignsAreUnary) {
    EXPECT_EQ(eval("--2"), 2.0);
    EXPECT_EQ(eval("+-+2"), -2.0);
    EXPECT_EQ(eval("3 - -1"), 4.0);
    EXPECT_EQ(eval("- (2)"), -2.0);
    EXPECT_EQ(bits(eval("-(0)")), bits(-0.0));
    // A long run of signs is fine: it does not recurse.
    EXPECT_EQ(eval(std::string(1'000'000, '-') + "7"), 7.0);
    EXPECT_EQ(eval(std::string(999'999, '-') + "7"), -7.0);
}

TEST(NumericExpression, DivisionByZeroFollowsFloatingPoint) {
    EXPECT_EQ(eval("1/0"), std::numeric_limits<double>::infinity());
    EXPECT_EQ(eval("-1/0"), -std::numeric_limits<double>::infinity());
    EXPECT_TRUE(std::isnan(eval("0/0")));
}

TEST(NumericExpression, Errors) {
    EXPECT_EQ(eval_error("2*inf"), "line 1: unknown numeric constant: INF");
    EXPECT_EQ(eval_error("tau"), "line 1: unknown numeric constant: TAU");
    EXPECT_EQ(eval_error("2pi"), "line 1: invalid numeric expression");
    EXPECT_EQ(eval_error("1+"), "line 1: invalid numeric expression");
    EXPECT_EQ(eval_error("(1+2"), "line 1: unterminated numeric expression");
    EXPECT_EQ(eval_error("1)"), "line 1: invalid numeric expression");
    EXPECT_EQ(eval_error("1 2"), "line 1: invalid numeric expression");
    EXPECT_EQ(eval_error("2e"), "line 1: invalid numeric expression");
    EXPECT_EQ(eval_error("*2"), "line 1: invalid numeric expression");
}

TEST(NumericExpression, HostileNestingIsAParseErrorNotACrash) {
    const std::string deep = std::string(100'000, '(') + "1" + std::string(100'000, ')');
    EXPECT_EQ(eval_error(deep), "line 1: numeric expression is nested too deeply");
    const std::string fine = std::string(500, '(') + "1" + std::string(500, ')');
    EXPECT_EQ(eval(fine), 1.0);
    EXPECT_EQ(parse_error("H 0\nX_ERROR(" + deep + ") 0"),
              "line 2: numeric expression is nested too deeply");
}

TEST(NumericArguments, LiteralsAndExpressionsInInstructionLines) {
    const Circuit c = parse("M 0\nDETECTOR(1, 2*pi, -(3)/2) rec[-1]\nX_ERROR(1/4) 0");
    ASSERT_EQ(c.detectors.size(), 1u);
    EXPECT_EQ(c.detectors[0].coords, (std::vector<double>{1, 6.283185307179586, -1.5}));
    EXPECT_EQ(c.instructions[1].probability, 0.25);
    EXPECT_EQ(parse_error("X_ERROR(2*inf) 0"), "line 1: unknown numeric constant: INF");
    EXPECT_EQ(parse_error("H 0\nX_ERROR(0.1,) 0"), "line 2: invalid numeric expression");
    EXPECT_EQ(parse_error("X_ERROR((1,2)) 0"), "line 1: unterminated numeric expression");
    const Circuit inf = parse("R_Z(inf) 0\nR_Z(NaN) 0");
    EXPECT_EQ(inf.instructions[0].angle, std::numeric_limits<double>::infinity());
    EXPECT_TRUE(std::isnan(inf.instructions[1].angle));
}

}  // namespace
}  // namespace kelvo
