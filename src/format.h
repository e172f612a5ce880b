// Value formatting shared by every message of the system, plus UTF-8 helpers.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kelvo {

// Shortest text that reads back to `x`, positional, never an exponent: 1e-12 -> 0.000000000001,
// 1.0 -> 1, inf -> inf, NaN -> NaN.
std::string format_float(double x);

// Shortest mantissa with a lower-case e and a bare exponent: 3e-10, 1.5e-12, 0e0, 1e0.
std::string format_float_exp(double x);

// Repr style: positional with at least one fractional digit (1.0, 0.25) when
// 1e-4 <= |x| < 1e16 or x == 0, exponent form otherwise (2.5e-7, 1e16).
std::string format_float_debug(double x);

inline const char* format_bool(bool b) {
    return b ? "true" : "false";
}

// Quoted and escaped: "a\"b\n".
std::string debug_string(std::string_view s);

bool is_valid_utf8(std::string_view bytes);

// Length of the longest run of whole UTF-8 characters at the front of `bytes`, when the rest is
// at most the start of one more character cut off by the end (text read in pieces); nullopt
// when `bytes` holds an invalid sequence.
std::optional<size_t> utf8_whole_prefix(std::string_view bytes);

// Copies valid UTF-8 unchanged; each invalid sequence becomes U+FFFD.
std::string utf8_lossy(std::string_view bytes);

}  // namespace kelvo
