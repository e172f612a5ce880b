#include "circuit/numeric.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <string>

#include "errors.h"

namespace kelvo {
namespace {

constexpr double kPi = 3.141592653589793;
// Deeper parenthesis nesting than any real circuit uses; bounds the recursion.
constexpr size_t kMaxExpressionDepth = 1000;

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}
bool is_ascii_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r';
}
bool is_ascii_letter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
char to_upper(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
}

bool equals_ignoring_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (to_upper(a[i]) != to_upper(b[i])) return false;
    }
    return true;
}

// Length of the unsigned decimal number at the start of `t` (digits, optional fraction,
// optional exponent with at least one digit), or 0 when there is none.
size_t number_length(std::string_view t) {
    size_t i = 0, digits = 0;
    while (i < t.size() && is_digit(t[i]))
        ++i, ++digits;
    if (i < t.size() && t[i] == '.') {
        ++i;
        while (i < t.size() && is_digit(t[i]))
            ++i, ++digits;
    }
    if (digits == 0) return 0;
    if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
        size_t j = i + 1;
        if (j < t.size() && (t[j] == '+' || t[j] == '-')) ++j;
        if (j < t.size() && is_digit(t[j])) {
            while (j < t.size() && is_digit(t[j]))
                ++j;
            i = j;
        }
    }
    return i;
}

// Correctly rounded value of a number accepted by number_length. Results beyond the double
// range become infinity or zero, as a correctly rounded reader gives them.
double convert_number(std::string_view t) {
    double value = 0;
    const auto [ptr, ec] =
        std::from_chars(t.data(), t.data() + t.size(), value, std::chars_format::general);
    (void)ptr;
    if (ec != std::errc::result_out_of_range) return value;
    // Decimal magnitude of the first nonzero digit decides overflow versus underflow.
    const size_t mantissa_end = std::min(t.find_first_of("eE"), t.size());
    const size_t point = std::min(t.find('.'), mantissa_end);
    const size_t first = t.find_first_of("123456789");
    if (first >= mantissa_end) return 0.0;
    const int64_t magnitude = first < point ? static_cast<int64_t>(point - first - 1)
                                            : -static_cast<int64_t>(first - point);
    const size_t i = mantissa_end;
    int64_t exponent = 0;
    if (i < t.size()) {
        size_t j = i + 1;
        const bool negative = j < t.size() && t[j] == '-';
        if (j < t.size() && (t[j] == '+' || t[j] == '-')) ++j;
        for (; j < t.size(); ++j) {
            if (exponent < 1'000'000'000) exponent = exponent * 10 + (t[j] - '0');
        }
        if (negative) exponent = -exponent;
    }
    return magnitude + exponent >= 0 ? std::numeric_limits<double>::infinity() : 0.0;
}

}  // namespace

std::optional<double> read_float_literal(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
        negative = text[0] == '-';
        text.remove_prefix(1);
    }
    double value;
    if (!text.empty() && text.size() <= 15 && is_digit(text[0])) {
        // Short digit strings are exact integers: the common coordinate case.
        uint64_t integer = 0;
        size_t i = 0;
        while (i < text.size() && is_digit(text[i]))
            integer = integer * 10 + (text[i++] - '0');
        if (i == text.size()) {
            value = static_cast<double>(integer);
            return negative ? -value : value;
        }
    }
    if (equals_ignoring_case(text, "inf") || equals_ignoring_case(text, "infinity")) {
        value = std::numeric_limits<double>::infinity();
    } else if (equals_ignoring_case(text, "nan")) {
        value = std::numeric_limits<double>::quiet_NaN();
    } else {
        if (text.empty() || number_length(text) != text.size()) return std::nullopt;
        value = convert_number(text);
    }
    return negative ? -value : value;
}

void ArgumentExpressionParser::skip_space() {
    while (!at_end() && is_ascii_space(text_[pos_]))
        ++pos_;
}

void ArgumentExpressionParser::fail(std::string_view message) const {
    throw KelvoError::parse(line_, message);
}

double ArgumentExpressionParser::parse_all() {
    const double value = parse_expression();
    skip_space();
    if (!at_end()) fail("invalid numeric expression");
    return value;
}

double ArgumentExpressionParser::parse_expression() {
    double value = parse_term();
    for (;;) {
        skip_space();
        if (at_end() || (text_[pos_] != '+' && text_[pos_] != '-')) return value;
        const char op = text_[pos_++];
        const double rhs = parse_term();
        value = op == '+' ? value + rhs : value - rhs;
    }
}

double ArgumentExpressionParser::parse_term() {
    double value = parse_factor();
    for (;;) {
        skip_space();
        if (at_end() || (text_[pos_] != '*' && text_[pos_] != '/')) return value;
        const char op = text_[pos_++];
        const double rhs = parse_factor();
        value = op == '*' ? value * rhs : value / rhs;
    }
}

double ArgumentExpressionParser::parse_factor() {
    // Leading plus signs are skipped; each minus negates what follows. Counting them instead
    // of recursing keeps long sign runs off the stack (two negations restore every bit).
    bool negate = false;
    for (;;) {
        skip_space();
        if (at_end()) fail("invalid numeric expression");
        if (text_[pos_] == '+') {
            ++pos_;
        } else if (text_[pos_] == '-') {
            ++pos_;
            negate = !negate;
        } else {
            break;
        }
    }
    double value;
    const char c = text_[pos_];
    if (c == '(') {
        if (depth_ >= kMaxExpressionDepth) fail("numeric expression is nested too deeply");
        ++pos_;
        ++depth_;
        value = parse_expression();
        --depth_;
        skip_space();
        if (at_end() || text_[pos_] != ')') fail("unterminated numeric expression");
        ++pos_;
    } else if (is_ascii_letter(c)) {
        std::string word;
        while (!at_end() && is_ascii_letter(text_[pos_]))
            word += to_upper(text_[pos_++]);
        if (word != "PI") fail("unknown numeric constant: " + word);
        value = kPi;
    } else {
        const size_t n = number_length(text_.substr(pos_));
        if (n == 0) fail("invalid numeric expression");
        value = convert_number(text_.substr(pos_, n));
        pos_ += n;
    }
    return negate ? -value : value;
}

double evaluate_argument(std::string_view text, size_t line) {
    if (const std::optional<double> literal = read_float_literal(text)) return *literal;
    return ArgumentExpressionParser(text, line).parse_all();
}

}  // namespace kelvo
