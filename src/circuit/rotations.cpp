#include "circuit/rotations.h"

#include "circuit/fail.h"
#include "circuit/targets.h"
#include "errors.h"

namespace kelvo {
namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kQuarterPi = kPi / 4;

void require_no_parens(const KelvoInstructionView& node) {
    if (node.parens) fail(node.line, "operation does not accept parens arguments");
}

std::vector<CircuitPauliProduct> single_axis_products(size_t num_qubits, char axis,
                                                      const std::vector<size_t>& qubits) {
    std::vector<CircuitPauliProduct> products;
    products.reserve(qubits.size());
    for (const size_t q : qubits) {
        products.push_back(circuit_single_pauli_product(num_qubits, axis, q));
    }
    return products;
}

}  // namespace

double rotation_half_angle(double half_turns) {
    return (half_turns * kPi) * 0.5;
}

void append_pauli_rotation_instruction(KelvoCircuitBuilder& builder, size_t line,
                                       std::vector<CircuitPauliProduct> products, double angle) {
    CircuitInstruction rotation = make_instruction(CircuitGate::PAULI_ROTATION, line);
    rotation.paulis = std::move(products);
    rotation.angle = angle;
    builder.push(std::move(rotation));
}

void append_single_axis_rotation(KelvoCircuitBuilder& builder, const KelvoInstructionView& node,
                                 char axis) {
    if (node.args.size() != 1) fail(node.line, "single-qubit rotation expects one angle argument");
    const std::vector<size_t> qubits = kelvo_qubit_targets(node.targets(), node.line);
    append_pauli_rotation_instruction(builder, node.line,
                                      single_axis_products(builder.num_qubits, axis, qubits),
                                      rotation_half_angle(node.args[0]));
}

void append_two_axis_rotation(KelvoCircuitBuilder& builder, const KelvoInstructionView& node,
                              char axis) {
    if (node.args.size() != 1) {
        fail(node.line, "two-qubit Pauli rotation expects one angle argument");
    }
    const std::vector<size_t> qubits = kelvo_qubit_targets(node.targets(), node.line);
    if (qubits.size() % 2 != 0) fail(node.line, "two-qubit Pauli rotation requires paired targets");
    std::vector<CircuitPauliProduct> products;
    products.reserve(qubits.size() / 2);
    for (size_t i = 0; i < qubits.size(); i += 2) {
        products.push_back(circuit_pair_pauli_product(builder.num_qubits, axis, qubits[i],
                                                      qubits[i + 1], false, node.line));
    }
    append_pauli_rotation_instruction(builder, node.line, std::move(products),
                                      rotation_half_angle(node.args[0]));
}

void append_u3_rotation(KelvoCircuitBuilder& builder, const KelvoInstructionView& node) {
    if (node.args.size() != 3) fail(node.line, "U3 expects three angle arguments");
    const std::vector<size_t> qubits = kelvo_qubit_targets(node.targets(), node.line);
    const double theta = node.args[0], phi = node.args[1], lambda = node.args[2];
    const size_t n = builder.num_qubits;
    append_pauli_rotation_instruction(builder, node.line, single_axis_products(n, 'Z', qubits),
                                      rotation_half_angle(lambda));
    append_pauli_rotation_instruction(builder, node.line, single_axis_products(n, 'Y', qubits),
                                      rotation_half_angle(theta));
    append_pauli_rotation_instruction(builder, node.line, single_axis_products(n, 'Z', qubits),
                                      rotation_half_angle(phi));
}

void append_product_rotation(KelvoCircuitBuilder& builder, const KelvoInstructionView& node) {
    double angle;
    if (node.op->name == "R_PAULI") {
        if (node.args.size() != 1) fail(node.line, "R_PAULI expects one angle argument");
        angle = rotation_half_angle(node.args[0]);
    } else {
        require_no_parens(node);
        angle = node.op->name == "SPP" ? kQuarterPi : -kQuarterPi;
    }
    append_pauli_rotation_instruction(
        builder, node.line, circuit_mpp_targets(builder.num_qubits, node.targets(), node.line),
        angle);
}

}  // namespace kelvo
