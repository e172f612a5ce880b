#include "circuit/noise.h"

#include "circuit/fail.h"
#include "circuit/targets.h"
#include "errors.h"

namespace kelvo {
namespace {

constexpr double kProbabilitySumBound = 1.000000000001;

// Written so that NaN fails.
double checked_probability(double p, size_t line) {
    if (!(p >= 0.0 && p <= 1.0)) fail(line, "probability must be between 0 and 1");
    return p;
}

}  // namespace

double kelvo_required_probability(std::span<const double> args, size_t line) {
    if (args.size() != 1) fail(line, "operation expects one probability argument");
    return checked_probability(args[0], line);
}

double kelvo_paren_probability(bool parens, std::span<const double> args, size_t line) {
    if (!parens) return 0.0;
    if (args.size() != 1) fail(line, "operation expects at most one probability argument");
    return checked_probability(args[0], line);
}

void check_disjoint_probability_list(bool parens, std::span<const double> args,
                                     std::string_view message, size_t line) {
    if (args.empty()) {
        if (parens) fail(line, message);
        return;
    }
    double sum = 0.0;
    for (const double p : args)
        sum += checked_probability(p, line);
    if (!(sum <= kProbabilitySumBound)) fail(line, message);
}

void append_correlated_error(KelvoCircuitBuilder& builder, const KelvoInstructionView& node,
                             bool start) {
    if (start) {
        flush_correlated_error_group(builder, node.line);
    } else if (builder.pending_products.empty()) {
        fail(node.line,
             "ELSE_CORRELATED_ERROR must follow CORRELATED_ERROR or ELSE_CORRELATED_ERROR");
    }
    const double p = kelvo_required_probability(node.args, node.line);
    CircuitPauliProduct member{PauliString(builder.num_qubits), false};
    for (const std::string_view token : node.targets()) {
        if (token == "*") fail(node.line, "implicit Pauli products do not use combiner targets");
        // In place: a dense factor per target would cost the qubit count once per target.
        multiply_product_token(member, token, node.line);
    }
    builder.pending_products.push_back(std::move(member));
    builder.pending_probabilities.push_back(p * builder.remaining_mass);
    builder.remaining_mass *= 1.0 - p;
}

void flush_correlated_error_group(KelvoCircuitBuilder& builder, size_t line) {
    builder.remaining_mass = 1.0;
    if (builder.pending_products.empty()) return;
    CircuitInstruction chain = make_instruction(CircuitGate::CORRELATED_ERROR, line);
    chain.paulis = std::move(builder.pending_products);
    chain.args = std::move(builder.pending_probabilities);
    builder.pending_products.clear();
    builder.pending_probabilities.clear();
    builder.push(std::move(chain));
}

}  // namespace kelvo
