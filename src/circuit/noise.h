// Probability arguments of noise channels and measurements, and the correlated-error chain
// (E / CORRELATED_ERROR then ELSE_CORRELATED_ERROR lines) emitted as one instruction.
#pragma once

#include <span>
#include <string_view>

#include "circuit/builder.h"
#include "circuit/syntax.h"

namespace kelvo {

// Exactly one argument in [0, 1] (NaN refused).
double kelvo_required_probability(std::span<const double> args, size_t line);
// 0.0 without parentheses; with them exactly one argument in [0, 1].
double kelvo_paren_probability(bool parens, std::span<const double> args, size_t line);
// I_ERROR / II_ERROR: values in [0, 1] summing to at most 1 + 1e-12; `message` names the row.
void check_disjoint_probability_list(bool parens, std::span<const double> args,
                                     std::string_view message, size_t line);

// Adds a chain member; `start` (E, CORRELATED_ERROR) first closes any open chain.
void append_correlated_error(KelvoCircuitBuilder& builder, const KelvoInstructionView& node,
                             bool start);
// Emits the open chain, if any, as one CORRELATED_ERROR instruction carrying `line`.
void flush_correlated_error_group(KelvoCircuitBuilder& builder, size_t line);

}  // namespace kelvo
