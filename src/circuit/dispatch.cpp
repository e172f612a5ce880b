#include "circuit/dispatch.h"

#include <cmath>
#include <string>

#include "circuit/fail.h"
#include "circuit/feedback.h"
#include "circuit/noise.h"
#include "circuit/rotations.h"
#include "circuit/targets.h"
#include "errors.h"

namespace kelvo {
namespace {

constexpr size_t kMaxCoordinates = 16;
constexpr double kMaxObservableIndex = 2147483647.0;

void require_no_parens(const KelvoInstructionView& node) {
    if (node.parens) fail(node.line, "operation does not accept parens arguments");
}

void require_no_targets(const KelvoInstructionView& node) {
    if (!node.targets().empty()) fail(node.line, "operation does not accept targets");
}

void require_coordinates(const KelvoInstructionView& node, std::string_view message) {
    if (node.parens && (node.args.empty() || node.args.size() > kMaxCoordinates)) {
        fail(node.line, message);
    }
}

std::string upper_case(std::string_view name) {
    std::string out(name);
    for (char& c : out) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    }
    return out;
}

// Record numbers of a record list, from the scanner's offsets when it read them.
std::vector<size_t> record_list(const KelvoInstructionView& node, size_t num_records) {
    if (!node.has_plain(PlainTargets::RecordOffsets)) {
        return kelvo_record_indices(node.targets(), num_records, node.line);
    }
    std::vector<size_t> records = node.take_plain();
    for (size_t& r : records) {
        if (r == 0 || r > num_records) fail(node.line, "measurement record target out of range");
        r = num_records + 1 - r;
    }
    return records;
}

void append_detector(KelvoCircuitBuilder& builder, const KelvoInstructionView& node) {
    require_coordinates(node,
                        "detector expects 1 to 16 coordinate arguments when parens are present");
    CircuitDetector detector;
    detector.records = record_list(node, builder.num_measurements);
    detector.coords = builder.coords_with_shift(node.args);
    detector.line = node.line;
    detector.source_position = builder.instructions.size();
    detector.discard = node.op->discard;
    builder.detectors.push_back(std::move(detector));
}

void append_observable_include(KelvoCircuitBuilder& builder, const KelvoInstructionView& node) {
    if (node.args.size() != 1) {
        fail(node.line, "OBSERVABLE_INCLUDE expects one nonnegative observable index");
    }
    const double index = node.args[0];
    if (!(std::isfinite(index) && index >= 0.0 && index <= kMaxObservableIndex &&
          index == std::floor(index))) {
        fail(node.line, "OBSERVABLE_INCLUDE expects one nonnegative integer index");
    }
    CircuitObservableInclude include;
    include.records =
        node.has_plain(PlainTargets::RecordOffsets)
            ? record_list(node, builder.num_measurements)
            : kelvo_observable_record_indices(node.targets(), builder.num_measurements, node.line);
    include.index = static_cast<size_t>(index);
    include.line = node.line;
    builder.observables.push_back(std::move(include));
}

void shift_coordinates(KelvoCircuitBuilder& builder, const KelvoInstructionView& node) {
    if (!node.parens || node.args.empty() || node.args.size() > kMaxCoordinates) {
        fail(node.line, "SHIFT_COORDS expects 1 to 16 coordinate arguments");
    }
    require_no_targets(node);
    std::vector<double>& shift = builder.coordinate_shift;
    if (shift.size() < node.args.size()) shift.resize(node.args.size(), 0.0);
    for (size_t i = 0; i < node.args.size(); ++i)
        shift[i] += node.args[i];
}

void check_qubit_coords(const KelvoInstructionView& node) {
    require_coordinates(
        node, "QUBIT_COORDS expects 1 to 16 coordinate arguments when parens are present");
    if (node.targets().empty()) fail(node.line, "QUBIT_COORDS expects qubit targets");
    kelvo_qubit_targets(node.targets(), node.line);
}

// Instructions whose targets are plain qubits with the probability or arguments given.
void append_qubit_instruction(KelvoCircuitBuilder& builder, const KelvoInstructionView& node,
                              double probability, std::vector<double> args) {
    CircuitInstruction instruction = make_instruction(node.op->gate, node.line);
    if (node.has_plain(PlainTargets::Qubits)) {
        instruction.qubits = node.take_plain();
    } else if (!read_plain_qubits(node.target_text, instruction.qubits)) {
        instruction.qubits = kelvo_qubit_targets(node.targets(), node.line);
    }
    instruction.probability = probability;
    instruction.args = std::move(args);
    const CircuitGate gate = node.op->gate;
    if (gate == CircuitGate::HERALDED_ERASE || gate == CircuitGate::HERALDED_PAULI_CHANNEL_1) {
        builder.num_measurements += instruction.qubits.size();
    }
    builder.push(std::move(instruction));
}

void append_measurement(KelvoCircuitBuilder& builder, const KelvoInstructionView& node) {
    const double p = kelvo_paren_probability(node.parens, node.args, node.line);
    CircuitInstruction instruction = make_instruction(node.op->gate, node.line);
    instruction.measurements.reserve(node.target_count);
    if (node.has_plain(PlainTargets::Qubits)) {
        for (const size_t q : node.plain_values())
            instruction.measurements.push_back({q, false});
    } else if (!read_plain_measurements(node.target_text, instruction.measurements)) {
        instruction.measurements = kelvo_measurement_targets(node.targets(), node.line);
    }
    instruction.probability = p;
    builder.num_measurements += instruction.measurements.size();
    builder.push(std::move(instruction));
}

void append_product_measurement(KelvoCircuitBuilder& builder, const KelvoInstructionView& node) {
    const double p = kelvo_paren_probability(node.parens, node.args, node.line);
    CircuitInstruction instruction = make_instruction(CircuitGate::MPP, node.line);
    instruction.paulis = node.op->kind == OpKind::PairMeasurement
                             ? circuit_pair_measurement_products(builder.num_qubits, node.op->axis,
                                                                 node.targets(), node.line)
                             : circuit_mpp_targets(builder.num_qubits, node.targets(), node.line);
    instruction.probability = p;
    builder.num_measurements += instruction.paulis.size();
    builder.push(std::move(instruction));
}

void append_exp_val(KelvoCircuitBuilder& builder, const KelvoInstructionView& node) {
    require_no_parens(node);
    CircuitInstruction instruction = make_instruction(CircuitGate::EXP_VAL, node.line);
    instruction.paulis = circuit_mpp_targets(builder.num_qubits, node.targets(), node.line);
    if (instruction.paulis.empty()) fail(node.line, "EXP_VAL expects at least one Pauli product");
    instruction.exp_val_start = builder.num_exp_vals;
    builder.num_exp_vals += instruction.paulis.size();
    builder.push(std::move(instruction));
}

void check_identity(const KelvoInstructionView& node) {
    require_no_parens(node);
    const std::vector<size_t> qubits = kelvo_qubit_targets(node.targets(), node.line);
    if (node.op->paired && qubits.size() % 2 != 0) fail(node.line, "II requires paired targets");
}

void check_identity_error(const KelvoInstructionView& node) {
    const bool pair = node.op->paired;
    check_disjoint_probability_list(
        node.parens, node.args,
        pair ? "II_ERROR probabilities must be disjoint and sum to at most 1"
             : "I_ERROR probabilities must be disjoint and sum to at most 1",
        node.line);
    const std::vector<size_t> qubits = kelvo_qubit_targets(node.targets(), node.line);
    if (pair && qubits.size() % 2 != 0) fail(node.line, "II_ERROR requires paired targets");
}

std::string_view args_count_message(CircuitGate gate) {
    return gate == CircuitGate::HERALDED_PAULI_CHANNEL_1
               ? "HERALDED_PAULI_CHANNEL_1 expects four probabilities"
               : "PAULI_CHANNEL probability count does not match gate arity";
}

}  // namespace

void append_instruction(KelvoCircuitBuilder& builder, const KelvoInstructionView& node) {
    const OpKind kind = node.op->kind;
    if (kind == OpKind::CorrelatedError || kind == OpKind::ElseCorrelatedError) {
        append_correlated_error(builder, node, kind == OpKind::CorrelatedError);
        return;
    }
    flush_correlated_error_group(builder, node.line);

    switch (kind) {
        case OpKind::Tick:
            require_no_parens(node);
            require_no_targets(node);
            builder.push(make_instruction(CircuitGate::TICK, node.line));
            return;
        case OpKind::Detector:
            append_detector(builder, node);
            return;
        case OpKind::ObservableInclude:
            append_observable_include(builder, node);
            return;
        case OpKind::QubitCoords:
            check_qubit_coords(node);
            return;
        case OpKind::ShiftCoords:
            shift_coordinates(builder, node);
            return;
        default:
            break;
    }

    // Record and sweep targets both contain a bracket; most lines have none to scan for.
    if (node.target_text.find('[') != std::string_view::npos && has_record_target(node)) {
        append_record_controlled(builder, node);
        return;
    }

    switch (kind) {
        case OpKind::QubitGate:
            require_no_parens(node);
            append_qubit_instruction(builder, node, 0.0, {});
            return;
        case OpKind::AxisRotation:
            append_single_axis_rotation(builder, node, node.op->axis);
            return;
        case OpKind::PairRotation:
            append_two_axis_rotation(builder, node, node.op->axis);
            return;
        case OpKind::U3Rotation:
            append_u3_rotation(builder, node);
            return;
        case OpKind::PauliRotation:
        case OpKind::FixedRotation:
            append_product_rotation(builder, node);
            return;
        case OpKind::Measurement:
            append_measurement(builder, node);
            return;
        case OpKind::ProductMeasurement:
        case OpKind::PairMeasurement:
            append_product_measurement(builder, node);
            return;
        case OpKind::ExpVal:
            append_exp_val(builder, node);
            return;
        case OpKind::ProbabilityChannel: {
            const double p = kelvo_required_probability(node.args, node.line);
            append_qubit_instruction(builder, node, p, {});
            return;
        }
        case OpKind::ArgsChannel:
            if (node.args.size() != node.op->arg_count) {
                fail(node.line, args_count_message(node.op->gate));
            }
            append_qubit_instruction(builder, node, 0.0, {node.args.begin(), node.args.end()});
            return;
        case OpKind::Identity:
            check_identity(node);
            return;
        case OpKind::IdentityError:
            check_identity_error(node);
            return;
        default:
            fail(node.line, "unsupported Kelvo operation: " + upper_case(node.name));
    }
}

}  // namespace kelvo
