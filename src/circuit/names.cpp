#include "circuit/names.h"

#include <unordered_map>
#include <vector>

namespace kelvo {
namespace {

using G = CircuitGate;
using K = OpKind;

OpInfo op(std::string_view name, OpKind kind, CircuitGate gate = G::TICK) {
    OpInfo info;
    info.name = name;
    info.kind = kind;
    info.gate = gate;
    return info;
}

OpInfo with_axis(OpInfo info, char axis) {
    info.axis = axis;
    return info;
}

OpInfo with_args(OpInfo info, uint8_t count) {
    info.arg_count = count;
    return info;
}

OpInfo paired(OpInfo info) {
    info.paired = true;
    return info;
}

OpInfo uncounted(OpInfo info) {
    info.counts_qubits = false;
    return info;
}

OpInfo with_feedback(OpInfo info, FeedbackForm form, CircuitGate gate) {
    info.feedback = form;
    info.feedback_gate = gate;
    return info;
}

std::vector<OpInfo> all_ops() {
    std::vector<OpInfo> ops = {
        op("REPEAT", K::Repeat),
        op("E", K::CorrelatedError, G::CORRELATED_ERROR),
        op("CORRELATED_ERROR", K::CorrelatedError, G::CORRELATED_ERROR),
        op("ELSE_CORRELATED_ERROR", K::ElseCorrelatedError, G::CORRELATED_ERROR),
        uncounted(op("TICK", K::Tick, G::TICK)),
        uncounted(op("DETECTOR", K::Detector)),
        uncounted(op("OBSERVABLE_INCLUDE", K::ObservableInclude)),
        uncounted(op("SHIFT_COORDS", K::ShiftCoords)),
        op("QUBIT_COORDS", K::QubitCoords),
        op("T", K::QubitGate, G::T),
        op("T_DAG", K::QubitGate, G::T_DAG),
        with_axis(op("R_X", K::AxisRotation, G::PAULI_ROTATION), 'X'),
        with_axis(op("R_Y", K::AxisRotation, G::PAULI_ROTATION), 'Y'),
        with_axis(op("R_Z", K::AxisRotation, G::PAULI_ROTATION), 'Z'),
        with_axis(op("R_XX", K::PairRotation, G::PAULI_ROTATION), 'X'),
        with_axis(op("R_YY", K::PairRotation, G::PAULI_ROTATION), 'Y'),
        with_axis(op("R_ZZ", K::PairRotation, G::PAULI_ROTATION), 'Z'),
        op("U", K::U3Rotation, G::PAULI_ROTATION),
        op("U3", K::U3Rotation, G::PAULI_ROTATION),
        op("R_PAULI", K::PauliRotation, G::PAULI_ROTATION),
        op("SPP", K::FixedRotation, G::PAULI_ROTATION),
        op("SPP_DAG", K::FixedRotation, G::PAULI_ROTATION),
        op("M", K::Measurement, G::M),
        op("MZ", K::Measurement, G::M),
        op("MX", K::Measurement, G::MX),
        op("MY", K::Measurement, G::MY),
        op("MR", K::Measurement, G::MR),
        op("MRZ", K::Measurement, G::MR),
        op("MRX", K::Measurement, G::MRX),
        op("MRY", K::Measurement, G::MRY),
        uncounted(op("MPAD", K::Measurement, G::MPAD)),
        op("R", K::QubitGate, G::R),
        op("RZ", K::QubitGate, G::R),
        op("RX", K::QubitGate, G::RX),
        op("RY", K::QubitGate, G::RY),
        op("MPP", K::ProductMeasurement, G::MPP),
        with_axis(op("MXX", K::PairMeasurement, G::MPP), 'X'),
        with_axis(op("MYY", K::PairMeasurement, G::MPP), 'Y'),
        with_axis(op("MZZ", K::PairMeasurement, G::MPP), 'Z'),
        op("EXP_VAL", K::ExpVal, G::EXP_VAL),
        op("X_ERROR", K::ProbabilityChannel, G::X_ERROR),
        op("Y_ERROR", K::ProbabilityChannel, G::Y_ERROR),
        op("Z_ERROR", K::ProbabilityChannel, G::Z_ERROR),
        op("DEPOLARIZE1", K::ProbabilityChannel, G::DEPOLARIZE1),
        op("DEPOLARIZE2", K::ProbabilityChannel, G::DEPOLARIZE2),
        op("DEPOLARIZE3", K::ProbabilityChannel, G::DEPOLARIZE3),
        op("HERALDED_ERASE", K::ProbabilityChannel, G::HERALDED_ERASE),
        with_args(op("PAULI_CHANNEL_1", K::ArgsChannel, G::PAULI_CHANNEL_1), 3),
        with_args(op("PAULI_CHANNEL_2", K::ArgsChannel, G::PAULI_CHANNEL_2), 15),
        with_args(op("PAULI_CHANNEL_3", K::ArgsChannel, G::PAULI_CHANNEL_3), 63),
        with_args(op("HERALDED_PAULI_CHANNEL_1", K::ArgsChannel, G::HERALDED_PAULI_CHANNEL_1), 4),
        op("I", K::Identity),
        paired(op("II", K::Identity)),
        op("I_ERROR", K::IdentityError),
        paired(op("II_ERROR", K::IdentityError)),
    };
    OpInfo discard = uncounted(op("DISCARD", K::Detector));
    discard.discard = true;
    ops.push_back(discard);

    const std::pair<std::string_view, CircuitGate> single_qubit[] = {
        {"H", G::H},
        {"H_XZ", G::H},
        {"H_NXY", G::H_NXY},
        {"H_NXZ", G::H_NXZ},
        {"H_NYZ", G::H_NYZ},
        {"H_XY", G::H_XY},
        {"H_YZ", G::H_YZ},
        {"C_NXYZ", G::C_NXYZ},
        {"C_NZYX", G::C_NZYX},
        {"C_XNYZ", G::C_XNYZ},
        {"C_XYNZ", G::C_XYNZ},
        {"C_XYZ", G::C_XYZ},
        {"C_ZNYX", G::C_ZNYX},
        {"C_ZYNX", G::C_ZYNX},
        {"C_ZYX", G::C_ZYX},
        {"S", G::S},
        {"SQRT_Z", G::S},
        {"S_DAG", G::S_DAG},
        {"SQRT_Z_DAG", G::S_DAG},
        {"SQRT_X", G::SQRT_X},
        {"SQRT_X_DAG", G::SQRT_X_DAG},
        {"SQRT_Y", G::SQRT_Y},
        {"SQRT_Y_DAG", G::SQRT_Y_DAG},
        {"X", G::X},
        {"Y", G::Y},
        {"Z", G::Z},
    };
    for (const auto& [name, gate] : single_qubit)
        ops.push_back(op(name, K::QubitGate, gate));

    const std::pair<std::string_view, CircuitGate> two_qubit[] = {
        {"SWAP", G::SWAP},       {"CXSWAP", G::CXSWAP},
        {"CZSWAP", G::CZSWAP},   {"SWAPCZ", G::CZSWAP},
        {"ISWAP", G::ISWAP},     {"ISWAP_DAG", G::ISWAP_DAG},
        {"SQRT_XX", G::SQRT_XX}, {"SQRT_XX_DAG", G::SQRT_XX_DAG},
        {"SQRT_YY", G::SQRT_YY}, {"SQRT_YY_DAG", G::SQRT_YY_DAG},
        {"SQRT_ZZ", G::SQRT_ZZ}, {"SQRT_ZZ_DAG", G::SQRT_ZZ_DAG},
        {"SWAPCX", G::SWAPCX},   {"XCX", G::XCX},
        {"XCY", G::XCY},         {"YCX", G::YCX},
        {"YCY", G::YCY},
    };
    for (const auto& [name, gate] : two_qubit)
        ops.push_back(op(name, K::QubitGate, gate));

    const FeedbackForm first = FeedbackForm::ControlFirst;
    for (const std::string_view name : {"CX", "CNOT", "ZCX"}) {
        ops.push_back(with_feedback(op(name, K::QubitGate, G::CX), first, G::FEEDBACK_X));
    }
    for (const std::string_view name : {"CY", "ZCY"}) {
        ops.push_back(with_feedback(op(name, K::QubitGate, G::CY), first, G::FEEDBACK_Y));
    }
    for (const std::string_view name : {"CZ", "ZCZ"}) {
        ops.push_back(
            with_feedback(op(name, K::QubitGate, G::CZ), FeedbackForm::EitherSide, G::FEEDBACK_Z));
    }
    ops.push_back(
        with_feedback(op("XCZ", K::QubitGate, G::XCZ), FeedbackForm::ControlSecond, G::FEEDBACK_X));
    ops.push_back(
        with_feedback(op("YCZ", K::QubitGate, G::YCZ), FeedbackForm::ControlSecond, G::FEEDBACK_Y));
    return ops;
}

struct OpTable {
    std::vector<OpInfo> ops = all_ops();
    std::unordered_map<std::string_view, const OpInfo*> by_name;
    OpInfo unknown;

    OpTable() {
        for (const OpInfo& info : ops)
            by_name.emplace(info.name, &info);
    }
};

}  // namespace

uint64_t dense_product_count(OpKind kind, uint64_t targets) {
    switch (kind) {
        case OpKind::CorrelatedError:
        case OpKind::ElseCorrelatedError:
            return 1;
        case OpKind::U3Rotation:
            return 3 * targets;  // targets are bounded by the text length
        case OpKind::AxisRotation:
        case OpKind::PairRotation:
        case OpKind::PauliRotation:
        case OpKind::FixedRotation:
        case OpKind::ProductMeasurement:
        case OpKind::PairMeasurement:
        case OpKind::ExpVal:
            return targets;
        default:
            return 0;
    }
}

const OpInfo& lookup_op(std::string_view name) {
    static const OpTable table;
    constexpr size_t kLongestName = 32;
    if (name.size() > kLongestName) return table.unknown;
    char upper[kLongestName];
    for (size_t i = 0; i < name.size(); ++i) {
        const char c = name[i];
        upper[i] = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
    }
    const auto it = table.by_name.find(std::string_view(upper, name.size()));
    return it == table.by_name.end() ? table.unknown : *it->second;
}

}  // namespace kelvo
