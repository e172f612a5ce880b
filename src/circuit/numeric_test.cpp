#include "circuit/numeric.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <random>
#include <sstream>
#include <string>

#include "circuit/test_util.h"
#include "errors.h"

namespace kelvo {
namespace {

using testing::bits;
using testing::parse;

constexpr double kInf = std::numeric_limits<double>::infinity();

double eval(std::string_view text) {
    return evaluate_argument(text, 1);
}

TEST(NumericLiteral, DecimalSyntaxCorrectlyRoundedAsStrtodReadsIt) {
    const auto expect_strtod = [](const std::string& text) {
        EXPECT_EQ(bits(read_float_literal(text).value()), bits(std::strtod(text.c_str(), nullptr)))
            << text;
    };
    std::istringstream fixed(
        "0.25 +3 5. .5 1e-3 2E+2 0.1 -0 inf -Infinity INF 1e400 -1e400 1e-400 0.000001e-330 "
        "123456789e99999999999999999999 1e-310 4.9406564584124654e-324 "
        "2.4703282292062328e-324 2.4703282292062327e-324 1.7976931348623157e308 "
        "1.7976931348623159e308 9007199254740993 "
        "1.00000000000000011102230246251565404236316680908203125");
    for (std::string text; fixed >> text;)
        expect_strtod(text);
    // Random digit strings with a point and an exponent anywhere near the double range.
    std::mt19937_64 rng(11);
    for (int i = 0; i < 100'000; ++i) {
        std::string text;
        for (int k = 1 + static_cast<int>(rng() % 25); k > 0; --k)
            text += static_cast<char>('0' + rng() % 10);
        if (rng() % 2)
            text.insert(text.begin() + static_cast<long>(rng() % (text.size() + 1)), '.');
        if (rng() % 3) {
            text += 'e';
            text += std::to_string(static_cast<int>(rng() % 800) - 400);
        }
        expect_strtod(text);
    }
    EXPECT_TRUE(std::isnan(*read_float_literal("NaN")));
    EXPECT_TRUE(std::signbit(*read_float_literal("-nan")));
    for (const char* bad : {"", "+", ".", "e5", "1e", "1e+", "0x10", "1_0", "1.2.3", "nan(1)", "pi",
                            " 1", "1 ", "infin", "+-1", "--inf"})
        EXPECT_FALSE(read_float_literal(bad).has_value()) << bad;
}

TEST(NumericExpression, EvaluatesLeftToRightInDoublePrecision) {
    // Bit-exact: the same operations in the same order as written. Signs are unary; a long run
    // of them does not recurse. Division by zero follows floating point.
    const char* texts[] = {
        "0.1*3+0.2", "0.1+0.2+0.3",   "0.3+(0.2+0.1)", "1-2-3", "8/2/2",  "2+3*4", "2*pi", "Pi/4",
        "-(3)/2",    "1.5e1+.5+2.e1", "--2",           "+-+2",  "3 - -1", "-(0)",  "1/0",  "-1/0"};
    const char* const* text = texts;
    for (const double value :
         {0.1 * 3 + 0.2, (0.1 + 0.2) + 0.3, 0.3 + (0.2 + 0.1), -4.0, 2.0, 14.0, 6.283185307179586,
          3.141592653589793 / 4, -1.5, 35.5, 2.0, -2.0, 4.0, -0.0, kInf, -kInf})
        EXPECT_EQ(bits(eval(*text++)), bits(value)) << text[-1];
    EXPECT_EQ(eval(" 2 *\t( 1 + 1 ) "), 4.0);
    EXPECT_EQ(eval(std::string(1'000'000, '-') + "7"), 7.0);
    EXPECT_EQ(eval(std::string(999'999, '-') + "7"), -7.0);
    EXPECT_TRUE(std::isnan(eval("0/0")));
}

TEST(NumericExpression, Refusals) {
    const auto refused = [](std::string_view message, std::initializer_list<std::string> texts) {
        for (const std::string& text : texts)
            EXPECT_EQ(testing::outcome_of([&] { return std::to_string(eval(text)); }),
                      "line 1: " + std::string(message))
                << text;
    };
    refused("unknown numeric constant: INF", {"2*inf", "- inf"});
    refused("unknown numeric constant: TAU", {"tau"});
    refused("invalid numeric expression", {"2pi", "1+", "1)", "1 2", "2e", "*2", "1\u00a0+1"});
    refused("unterminated numeric expression", {"(1+2"});
    // Hostile nesting is refused instead of exhausting the stack.
    refused("numeric expression is nested too deeply",
            {std::string(100'000, '(') + "1" + std::string(100'000, ')')});
    EXPECT_EQ(eval(std::string(500, '(') + "1" + std::string(500, ')')), 1.0);
}

TEST(NumericArguments, InInstructionLines) {
    const Circuit c = parse("M 0\nDETECTOR(1, 2*pi, -(3)/2) rec[-1]\nX_ERROR( 1/4 ) 0");
    EXPECT_EQ(c.detectors[0].coords, (std::vector<double>{1, 6.283185307179586, -1.5}));
    EXPECT_EQ(c.instructions[1].probability, 0.25);
    testing::expect_outcomes({
        {"X_ERROR(2*inf) 0", "line 1: unknown numeric constant: INF"},
        {"H 0\nX_ERROR(0.1,) 0", "line 2: invalid numeric expression"},
        {"X_ERROR((1,2)) 0", "line 1: unterminated numeric expression"},
        {"H 0\nX_ERROR(" + std::string(2000, '(') + "0" + std::string(2000, ')') + ") 0",
         "line 2: numeric expression is nested too deeply"},
    });
    const Circuit inf = parse("R_Z(inf) 0\nR_Z(NaN) 0");
    EXPECT_EQ(inf.instructions[0].angle, kInf);
    EXPECT_TRUE(std::isnan(inf.instructions[1].angle));
}

}  // namespace
}  // namespace kelvo
