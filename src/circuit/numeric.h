// Numeric arguments of an instruction: decimal literals and parenthesised expressions.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace kelvo {

// Reads a complete decimal floating-point literal (optional sign, digits with an optional
// fraction and exponent, or inf / infinity / nan in any letter case), correctly rounded.
// Returns nothing when `text` is not exactly one literal.
std::optional<double> read_float_literal(std::string_view text);

// Evaluates one argument written as an arithmetic expression over numbers and `pi`, in f64,
// left to right. Throws KelvoError (Parse kind) with `line` on malformed input.
class ArgumentExpressionParser {
  public:
    ArgumentExpressionParser(std::string_view text, size_t line) : text_(text), line_(line) {}

    // The whole text as one expression; only ASCII white space may follow it.
    double parse_all();

    double parse_expression();
    double parse_term();
    double parse_factor();

  private:
    void skip_space();
    bool at_end() const { return pos_ >= text_.size(); }
    [[noreturn]] void fail(std::string_view message) const;

    std::string_view text_;
    size_t pos_ = 0;
    size_t line_;
    size_t depth_ = 0;  // open parentheses, capped so hostile input cannot exhaust the stack
};

// One argument as written (already trimmed): a literal if it is one, else an expression.
double evaluate_argument(std::string_view text, size_t line);

}  // namespace kelvo
