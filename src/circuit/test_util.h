// Helpers shared by the circuit-language unit tests.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

#include "circuit/parser.h"
#include "errors.h"

namespace kelvo::testing {

// The message of the KelvoError that parsing `text` throws, or "<parsed>" when it parses.
inline std::string parse_error(std::string_view text) {
    try {
        parse_kelvo_circuit_text(text);
    } catch (const KelvoError& e) {
        return e.what();
    }
    return "<parsed>";
}

// A text and the whole message it is refused with ("<parsed>" when it must parse).
struct Refusal {
    std::string_view text;
    std::string_view message;
};

inline void expect_refusals(std::initializer_list<Refusal> cases) {
    for (const Refusal& c : cases)
        EXPECT_EQ(parse_error(c.text), c.message) << c.text;
}

// Bit pattern of a double, for bit-exact comparisons.
inline uint64_t bits(double x) {
    return std::bit_cast<uint64_t>(x);
}

inline Circuit parse(std::string_view text) {
    return parse_kelvo_circuit_text(text);
}

}  // namespace kelvo::testing
