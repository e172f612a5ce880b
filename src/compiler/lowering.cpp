#include "compiler/lowering.h"

#include <array>
#include <cstdint>
#include <limits>
#include <span>
#include <string_view>
#include <utility>

#include "background_release.h"
#include "compiler/noise_lowering.h"
#include "errors.h"

namespace kelvo {
namespace {

using G = CircuitGate;

// Codes 1-23 on the qubit's X row (row q) and Z row (row n + q): s exchanges them, x and z
// negate one, 1 and 3 make the X row X * Z * i^k. An empty recipe is the frame's own update.
constexpr std::string_view kRecipes[] = {"",  "s",  "3z", "sxz", "",   "3xz", "",   "",
                                         "",  "3s", "",   "1s",  "s1", "",    "s3", "3",
                                         "1", "",   "",   "sz",  "sx", "z",   "xz", "x"};

void apply_single_qubit_clifford(CliffordFrame& frame, CircuitGate gate, uint64_t q) {
    const uint64_t n = frame.num_qubits();
    KELVO_ASSERT(q < n, "qubit index out of range");
    for (const char step : kRecipes[static_cast<size_t>(gate)]) {
        switch (step) {
            case 's':
                frame.swap_rows(q, n + q);
                break;
            case 'x':
                frame.negate_row(q);
                break;
            case 'z':
                frame.negate_row(n + q);
                break;
            default:
                frame.mul_rows(q, q, n + q, static_cast<uint8_t>(step - '0'));
        }
    }
    switch (gate) {
        case G::H_NYZ:
            return frame.left_h_nyz(q);
        case G::H_YZ:
            return frame.left_h_yz(q);
        case G::C_NXYZ:
            return frame.left_c_nxyz(q);
        case G::C_NZYX:
            return frame.left_c_nzyx(q);
        case G::C_XYNZ:
            return frame.left_c_xynz(q);
        case G::C_ZYNX:
            return frame.left_c_zynx(q);
        case G::SQRT_X:
            return frame.left_sqrt_x(q);
        case G::SQRT_X_DAG:
            return frame.left_sqrt_x_dag(q);
        default:
            return;
    }
}

// Codes 24-44, in code order.
constexpr void (CliffordFrame::*kTwoQubitGates[])(uint64_t, uint64_t) = {
    &CliffordFrame::left_cx,      &CliffordFrame::left_cy,
    &CliffordFrame::left_cz,      &CliffordFrame::left_swap,
    &CliffordFrame::left_cxswap,  &CliffordFrame::left_czswap,
    &CliffordFrame::left_iswap,   &CliffordFrame::left_iswap_dag,
    &CliffordFrame::left_sqrt_xx, &CliffordFrame::left_sqrt_xx_dag,
    &CliffordFrame::left_sqrt_yy, &CliffordFrame::left_sqrt_yy_dag,
    &CliffordFrame::left_sqrt_zz, &CliffordFrame::left_sqrt_zz_dag,
    &CliffordFrame::left_swapcx,  &CliffordFrame::left_xcx,
    &CliffordFrame::left_xcy,     &CliffordFrame::left_xcz,
    &CliffordFrame::left_ycx,     &CliffordFrame::left_ycy,
    &CliffordFrame::left_ycz,
};
static_assert(std::size(kTwoQubitGates) == 21);

void apply_two_qubit_clifford(CliffordFrame& frame, CircuitGate gate,
                              const std::vector<size_t>& qubits) {
    if (qubits.size() % 2 != 0) {
        throw KelvoError::invalid_input("two-qubit Clifford requires paired targets");
    }
    // Checked before any pair is applied: the frame would treat a repeated qubit as a fault
    // of its own rather than of the user's text.
    for (size_t i = 0; i < qubits.size(); i += 2) {
        if (qubits[i] == qubits[i + 1]) {
            throw KelvoError::invalid_input("two-qubit Clifford gate requires distinct qubits");
        }
    }
    const auto method = kTwoQubitGates[static_cast<size_t>(gate) - static_cast<size_t>(G::CX)];
    for (size_t i = 0; i < qubits.size(); i += 2)
        (frame.*method)(qubits[i], qubits[i + 1]);
}

PauliString signed_product(const CircuitPauliProduct& product) {
    PauliString pauli = product.pauli;
    if (product.inverted) pauli.phase = static_cast<uint8_t>((pauli.phase + 2) % 4);
    return pauli;
}

struct Outcome {
    int32_t condition;
    SymbolicBool sign;
};

// Readout id first (in the sign), then the outcome id, which the new record is alone.
Outcome measure(Accumulator& acc, const PauliString& pauli, double readout, bool inverted) {
    SymbolicBool sign = measurement_sign_with_readout_error(acc.state.context, readout, inverted);
    const int32_t c = acc.state.context.fresh_condition_id();
    const uint32_t record = append_record(acc.records, symbolic_bool(c));
    apply_pauli_measurement_signed(acc.state, pauli, sign, record, static_cast<uint32_t>(c));
    return {c, std::move(sign)};
}

// The Paulis of one basis ('X', 'Y' or 'Z') on single qubits, built in one n-qubit string:
// the targets of an instruction take turns in it instead of each allocating its own.
class BasisPauli {
  public:
    BasisPauli(uint64_t n, char axis) : pauli_(n), axis_(axis) {}

    // The basis Pauli on q, valid until the next call.
    const PauliString& on(uint64_t q) {
        KELVO_ASSERT(q < pauli_.num_qubits, "qubit index out of range");
        if (set_) place(last_, false);
        place(q, true);
        last_ = q;
        set_ = true;
        return pauli_;
    }

  private:
    void place(uint64_t q, bool bit) {
        if (axis_ != 'Z') pauli_.set_xbit(q, bit);
        if (axis_ != 'X') pauli_.set_zbit(q, bit);
        pauli_.phase = axis_ == 'Y' && bit ? 1 : 0;  // Y = iXZ
    }

    PauliString pauli_;
    char axis_;
    uint64_t last_ = 0;
    bool set_ = false;
};

// apply_pauli_symbolic of `axis` on q; X and Z go straight to their frame rows.
void apply_axis_symbolic(FrameFactoredState& state, char axis, uint64_t q,
                         const SymbolicBool& value) {
    if (axis == 'Y') return apply_pauli_symbolic(state, pauli_y(state.num_qubits, q), value);
    apply_qubit_pauli_symbolic(state, q, axis == 'Z', value);
}

// Resets flip under the physical outcome of `axis`: the outcome bit XOR the sign.
void measure_targets(Accumulator& acc, const CircuitInstruction& ins, char axis, char flip) {
    BasisPauli basis(acc.state.num_qubits, axis);
    for (const CircuitMeasurementTarget& t : ins.measurements) {
        const Outcome outcome = measure(acc, basis.on(t.qubit), ins.probability, t.inverted);
        if (flip != 0) {
            SymbolicBool physical = symbolic_bool(outcome.condition);
            xor_into(physical, outcome.sign);
            apply_axis_symbolic(acc.state, flip, t.qubit, physical);
        }
    }
}

void reset_targets(Accumulator& acc, const CircuitInstruction& ins, char axis, char flip) {
    BasisPauli basis(acc.state.num_qubits, axis);
    for (const size_t q : ins.qubits) {
        const int32_t c = acc.state.context.fresh_condition_id();
        apply_pauli_measurement_signed(acc.state, basis.on(q), SymbolicBool{}, std::nullopt,
                                       static_cast<uint32_t>(c));
        apply_axis_symbolic(acc.state, flip, q, symbolic_bool(c));
    }
}

void request_expectations(Accumulator& acc, const CircuitInstruction& ins) {
    constexpr uint64_t kMaxSlot = std::numeric_limits<int32_t>::max();
    const uint64_t count = ins.paulis.size();
    // Every slot must be a distinct nonnegative i32: a start or a run past that range would
    // wrap onto earlier slots.
    if (!ins.exp_val_start || *ins.exp_val_start > kMaxSlot ||
        (count > 0 && count - 1 > kMaxSlot - *ins.exp_val_start)) {
        throw KelvoError::invalid_input("EXP_VAL index range is invalid");
    }
    for (uint64_t i = 0; i < count; ++i) {
        const auto slot = static_cast<int32_t>(*ins.exp_val_start + i);
        apply_pauli_expectation(acc.state, signed_product(ins.paulis[i]), slot);
    }
}

void single_pauli_errors(Accumulator& acc, const CircuitInstruction& ins, char axis) {
    check_probability(ins.probability);
    for (const size_t q : ins.qubits) {
        const SymbolicBool b = acc.state.context.fresh_bernoulli_bool(ins.probability);
        apply_axis_symbolic(acc.state, axis, q, b);
    }
}

void pad_records(Accumulator& acc, const CircuitInstruction& ins) {
    for (const CircuitMeasurementTarget& t : ins.measurements) {
        if (t.qubit > 1) throw KelvoError::invalid_input("MPAD targets must be 0 or 1");
        SymbolicBool value{{}, (t.qubit != 0) != t.inverted};
        if (ins.probability != 0.0) {
            check_probability(ins.probability);
            value = xor_bool(value, acc.state.context.fresh_bernoulli_bool(ins.probability));
        }
        const uint32_t record = append_record(acc.records, value);
        apply_classical_record(acc.state, value, record, std::nullopt);
    }
}

void feedback(Accumulator& acc, const CircuitInstruction& ins, char axis) {
    for (const CircuitFeedbackTarget& t : ins.feedback) {
        if (t.record < 1 || t.record > acc.records.size()) {
            throw KelvoError::invalid_input("measurement record target out of range");
        }
        apply_axis_symbolic(acc.state, axis, t.qubit, acc.records[t.record - 1]);
    }
}

template <typename F>
void per_group(const std::vector<size_t>& qubits, size_t size, F&& f) {
    for (size_t i = 0; i + size <= qubits.size(); i += size)
        f(std::span<const uint64_t>(qubits.data() + i, size));
}

}  // namespace

void apply_instruction(Accumulator& acc, const CircuitInstruction& ins) {
    static_assert(sizeof(size_t) == sizeof(uint64_t));
    FrameFactoredState& state = acc.state;
    const uint64_t n = state.num_qubits;
    const std::span<const uint64_t> qubits(ins.qubits.data(), ins.qubits.size());
    const G gate = ins.gate;
    if (gate >= G::H && gate <= G::Z) {
        for (const size_t q : ins.qubits)
            apply_single_qubit_clifford(state.frame, gate, q);
        return;
    }
    if (gate >= G::CX && gate <= G::YCZ)
        return apply_two_qubit_clifford(state.frame, gate, ins.qubits);
    switch (gate) {
        case G::TICK:
            return;
        case G::T:
        case G::T_DAG: {
            const double angle = gate == G::T ? 0.39269908169872414 : -0.39269908169872414;
            for (const size_t q : ins.qubits)
                apply_pauli_rotation(state, pauli_z(n, q), angle);
            return;
        }
        case G::PAULI_ROTATION:
            for (const CircuitPauliProduct& product : ins.paulis)
                apply_pauli_rotation(state, signed_product(product), ins.angle);
            return;
        case G::M:
            return measure_targets(acc, ins, 'Z', 0);
        case G::MX:
            return measure_targets(acc, ins, 'X', 0);
        case G::MY:
            return measure_targets(acc, ins, 'Y', 0);
        case G::MR:
            return measure_targets(acc, ins, 'Z', 'X');
        case G::MRX:
            return measure_targets(acc, ins, 'X', 'Z');
        case G::MRY:
            return measure_targets(acc, ins, 'Y', 'X');
        case G::R:
            return reset_targets(acc, ins, 'Z', 'X');
        case G::RX:
            return reset_targets(acc, ins, 'X', 'Z');
        case G::RY:
            return reset_targets(acc, ins, 'Y', 'X');
        case G::MPP:
            for (const CircuitPauliProduct& product : ins.paulis)
                measure(acc, product.pauli, ins.probability, product.inverted);
            return;
        case G::EXP_VAL:
            return request_expectations(acc, ins);
        case G::X_ERROR:
            return single_pauli_errors(acc, ins, 'X');
        case G::Y_ERROR:
            return single_pauli_errors(acc, ins, 'Y');
        case G::Z_ERROR:
            return single_pauli_errors(acc, ins, 'Z');
        case G::DEPOLARIZE1:
            return apply_depolarize1(state, qubits, ins.probability);
        case G::DEPOLARIZE2:
            return apply_depolarize2(state, qubits, ins.probability);
        case G::DEPOLARIZE3:
            return apply_depolarize3(state, qubits, ins.probability);
        case G::PAULI_CHANNEL_1:
            return per_group(ins.qubits, 1,
                             [&](auto t) { apply_pauli_channel(state, t, ins.args); });
        case G::PAULI_CHANNEL_2:
            require_target_multiple(qubits.size(), 2, "PAULI_CHANNEL_2 requires paired targets");
            return per_group(ins.qubits, 2,
                             [&](auto t) { apply_pauli_channel(state, t, ins.args); });
        case G::PAULI_CHANNEL_3:
            require_target_multiple(qubits.size(), 3,
                                    "PAULI_CHANNEL_3 requires triples of targets");
            return per_group(ins.qubits, 3,
                             [&](auto t) { apply_pauli_channel(state, t, ins.args); });
        case G::CORRELATED_ERROR:
            return apply_pauli_product_channel(state, ins.paulis, ins.args);
        case G::HERALDED_ERASE: {
            const double p = check_probability(ins.probability);
            const std::array<double, 4> quarters = {p / 4, p / 4, p / 4, p / 4};
            for (const size_t q : ins.qubits)
                apply_heralded_channel(state, acc.records, q, quarters);
            return;
        }
        case G::HERALDED_PAULI_CHANNEL_1:
            for (const size_t q : ins.qubits)
                apply_heralded_channel(state, acc.records, q, ins.args);
            return;
        case G::MPAD:
            return pad_records(acc, ins);
        case G::FEEDBACK_X:
            return feedback(acc, ins, 'X');
        case G::FEEDBACK_Y:
            return feedback(acc, ins, 'Y');
        case G::FEEDBACK_Z:
            return feedback(acc, ins, 'Z');
        default:
            fatal("unknown gate code");
    }
}

namespace {

// Distributions the circuit's channels will register, so that the registry's lists are sized
// once instead of being copied while they grow.
uint64_t categorical_distribution_count(const Circuit& circuit) {
    uint64_t count = 0;
    for (const CircuitInstruction& ins : circuit.instructions) {
        switch (ins.gate) {
            case G::DEPOLARIZE1:
            case G::PAULI_CHANNEL_1:
            case G::HERALDED_ERASE:
            case G::HERALDED_PAULI_CHANNEL_1:
                count += ins.qubits.size();
                break;
            case G::DEPOLARIZE2:
            case G::PAULI_CHANNEL_2:
                count += ins.qubits.size() / 2;
                break;
            case G::DEPOLARIZE3:
            case G::PAULI_CHANNEL_3:
                count += ins.qubits.size() / 3;
                break;
            case G::CORRELATED_ERROR:
                ++count;
                break;
            default:
                break;
        }
    }
    return count;
}

}  // namespace

CircuitLoweringResult lower_circuit_with_anchors(const Circuit& circuit,
                                                 const CancellationCheck& cancel) {
    Accumulator acc{FrameFactoredState(circuit.num_qubits, 0), {}};
    acc.state.anchors.emplace();
    const uint64_t distributions = categorical_distribution_count(circuit);
    acc.state.context.categoricals.reserve(distributions);
    acc.state.context.categorical_of.reserve(distributions);
    std::vector<uint64_t> positions;
    const ReleaseOnUnwind release(acc, positions);
    positions.reserve(circuit.instructions.size() + 1);
    positions.push_back(0);
    for (const CircuitInstruction& instruction : circuit.instructions) {
        cancel.check();
        apply_instruction(acc, instruction);
        positions.push_back(acc.state.pending.size());
    }
    if (acc.records.size() != circuit.num_measurements) {
        throw KelvoError::invalid_input("circuit measurement record count mismatch");
    }
    return {std::move(acc.state), std::move(acc.records), std::move(positions)};
}

CircuitLoweringResult lower_circuit_to_factored(const Circuit& circuit) {
    CircuitLoweringResult lowered = lower_circuit_with_anchors(circuit);
    lowered.state.anchors.reset();
    expand_anchored_signs(lowered.state.pending);
    return lowered;
}

}  // namespace kelvo
