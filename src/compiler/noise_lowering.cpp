#include "compiler/noise_lowering.h"

#include <array>
#include <limits>
#include <utility>

#include "bits.h"
#include "errors.h"

namespace kelvo {
namespace {

using Rows = std::vector<std::vector<uint64_t>>;

// Row j of a categorical: bit i is condition i of the group.
Rows rows_of(std::span<const uint64_t> values) {
    Rows rows;
    rows.reserve(values.size());
    for (const uint64_t v : values)
        rows.push_back({v});
    return rows;
}

// Outcome 0 of a channel whose other outcomes sum to s (at most the tolerance above 1).
double no_error_probability(double s) {
    return 1.0 - s > 0.0 ? 1.0 - s : 0.0;
}

// Range-checks every entry and returns their sum in list order.
double checked_sum(std::span<const double> probabilities) {
    double s = 0.0;
    for (const double p : probabilities)
        s += check_probability(p);
    return s;
}

// X_q under condition first + 2t and Z_q under first + 2t + 1, for target t.
void apply_xz_parts(FrameFactoredState& state, std::span<const uint64_t> targets, int32_t first) {
    for (size_t t = 0; t < targets.size(); ++t) {
        const auto x = first + 2 * static_cast<int32_t>(t);
        apply_qubit_pauli(state, targets[t], false, x);
        apply_qubit_pauli(state, targets[t], true, x + 1);
    }
}

// Rows of an n-target Pauli channel in outcome order: digit d of target t (the first target
// the most significant) sets x for X and Y, z for Y and Z.
Rows pauli_channel_rows(uint64_t n) {
    Rows rows;
    for (uint64_t k = 0; k < (uint64_t{1} << (2 * n)); ++k) {
        uint64_t row = 0;
        for (uint64_t t = 0; t < n; ++t) {
            const uint64_t digit = (k >> (2 * (n - 1 - t))) & 3;
            if (digit == 1 || digit == 2) row |= uint64_t{1} << (2 * t);
            if (digit >= 2) row |= uint64_t{1} << (2 * t + 1);
        }
        rows.push_back({row});
    }
    return rows;
}

const Rows& pauli_channel_table(uint64_t n) {
    static const std::array<Rows, 3> tables = {pauli_channel_rows(1), pauli_channel_rows(2),
                                               pauli_channel_rows(3)};
    return tables[n - 1];
}

// Row j of DEPOLARIZE2: the bits of j reversed, x_a being bit 3 of j.
Rows depolarize2_rows() {
    Rows rows;
    for (uint64_t j = 0; j < 16; ++j)
        rows.push_back({((j >> 3) & 1) | ((j >> 1) & 2) | ((j << 1) & 4) | ((j << 3) & 8)});
    return rows;
}

}  // namespace

double check_probability(double p) {
    if (!(p >= 0.0 && p <= 1.0)) {
        throw KelvoError::invalid_input("probability must be between 0 and 1");
    }
    return p;
}

void require_target_multiple(uint64_t count, uint64_t multiple, const char* message) {
    if (count % multiple != 0) throw KelvoError::invalid_input(message);
}

SymbolicBool measurement_sign_with_readout_error(SymbolicContext& context, double p,
                                                 bool inverted) {
    if (p == 0.0) return SymbolicBool{{}, inverted};
    check_probability(p);
    SymbolicBool sign = context.fresh_bernoulli_bool(p);
    sign.constant = inverted;
    return sign;
}

uint32_t append_record(std::vector<SymbolicBool>& records, SymbolicBool value) {
    KELVO_ASSERT(records.size() < std::numeric_limits<uint32_t>::max(),
                 "measurement record id out of range");
    records.push_back(std::move(value));
    return static_cast<uint32_t>(records.size());
}

void apply_depolarize1(FrameFactoredState& state, std::span<const uint64_t> qubits, double p) {
    if (qubits.empty()) return;
    check_probability(p);
    static const Rows rows = rows_of(std::array<uint64_t, 4>{0b00, 0b10, 0b01, 0b11});
    const std::array<double, 4> probabilities = {1.0 - p, p / 3, p / 3, p / 3};
    const CheckedCategoricalTable table =
        state.context.checked_categorical_table(2, rows, probabilities);
    for (const uint64_t q : qubits) {
        const std::array<uint64_t, 1> target = {q};
        apply_xz_parts(state, target, state.context.fresh_categorical_conditions(table));
    }
}

void apply_depolarize2(FrameFactoredState& state, std::span<const uint64_t> qubits, double p) {
    require_target_multiple(qubits.size(), 2, "DEPOLARIZE2 requires paired targets");
    if (qubits.empty()) return;
    check_probability(p);
    static const Rows rows = depolarize2_rows();
    std::array<double, 16> probabilities;
    probabilities.fill(p / 15);
    probabilities[0] = 1.0 - p;
    const CheckedCategoricalTable table =
        state.context.checked_categorical_table(4, rows, probabilities);
    for (size_t i = 0; i < qubits.size(); i += 2) {
        apply_xz_parts(state, qubits.subspan(i, 2),
                       state.context.fresh_categorical_conditions(table));
    }
}

void apply_depolarize3(FrameFactoredState& state, std::span<const uint64_t> qubits, double p) {
    require_target_multiple(qubits.size(), 3, "DEPOLARIZE3 requires triples of targets");
    if (qubits.empty()) return;
    check_probability(p);
    std::array<double, 63> probabilities;
    probabilities.fill(p / 63);
    for (size_t i = 0; i < qubits.size(); i += 3)
        apply_pauli_channel(state, qubits.subspan(i, 3), probabilities);
}

void apply_pauli_channel(FrameFactoredState& state, std::span<const uint64_t> targets,
                         std::span<const double> probabilities) {
    const uint64_t n = targets.size();
    KELVO_ASSERT(n >= 1 && n <= 3, "Pauli channel acts on one to three qubits");
    for (uint64_t i = 0; i < n; ++i) {
        for (uint64_t j = i + 1; j < n; ++j) {
            if (targets[i] == targets[j]) {
                throw KelvoError::invalid_input("multi-qubit operation requires distinct qubits");
            }
        }
    }
    if (probabilities.size() != (uint64_t{1} << (2 * n)) - 1) {
        throw KelvoError::invalid_input(
            "Pauli channel probability count does not match target arity");
    }
    const double s = checked_sum(probabilities);
    if (s > kProbabilitySumLimit) {
        throw KelvoError::invalid_input("Pauli channel probabilities sum to more than 1");
    }
    std::vector<double> outcomes;
    outcomes.reserve(probabilities.size() + 1);
    outcomes.push_back(no_error_probability(s));
    outcomes.insert(outcomes.end(), probabilities.begin(), probabilities.end());
    apply_xz_parts(
        state, targets,
        state.context.fresh_categorical_conditions(2 * n, pauli_channel_table(n), outcomes));
}

void apply_heralded_channel(FrameFactoredState& state, std::vector<SymbolicBool>& records,
                            uint64_t qubit, std::span<const double> probabilities) {
    if (probabilities.size() != 4) {
        throw KelvoError::invalid_input("heralded Pauli channel expects four probabilities");
    }
    const double s = checked_sum(probabilities);
    if (s > kProbabilitySumLimit) {
        throw KelvoError::invalid_input("heralded channel probabilities sum to more than 1");
    }
    // Bits (herald, x, z); the no-herald mass is not clamped, so a total just above 1 is
    // refused by the registry.
    static const Rows rows = rows_of(std::array<uint64_t, 5>{0b000, 0b001, 0b011, 0b111, 0b101});
    const std::array<double, 5> outcomes = {1.0 - s, probabilities[0], probabilities[1],
                                            probabilities[2], probabilities[3]};
    const int32_t herald = state.context.fresh_categorical_conditions(3, rows, outcomes);
    const uint32_t record = append_record(records, symbolic_bool(herald));
    apply_classical_record(state, symbolic_bool(herald), record, std::nullopt);
    const std::array<uint64_t, 1> target = {qubit};
    apply_xz_parts(state, target, herald + 1);
}

void apply_pauli_product_channel(FrameFactoredState& state,
                                 std::span<const CircuitPauliProduct> products,
                                 std::span<const double> probabilities) {
    const uint64_t m = products.size();
    if (probabilities.size() != m) {
        throw KelvoError::invalid_input("Pauli product channel probability count mismatch");
    }
    const double s = checked_sum(probabilities);
    if (s > kProbabilitySumLimit) {
        throw KelvoError::invalid_input("Pauli product channel probabilities sum to more than 1");
    }
    Rows rows(m + 1, std::vector<uint64_t>(word_count(m), 0));
    std::vector<double> outcomes = {no_error_probability(s)};
    outcomes.reserve(m + 1);
    for (uint64_t i = 0; i < m; ++i) {
        rows[i + 1][i / 64] = uint64_t{1} << (i % 64);
        outcomes.push_back(probabilities[i]);
    }
    const std::vector<SymbolicBool> bools =
        state.context.fresh_categorical_bools(m, rows, outcomes);
    for (uint64_t i = 0; i < m; ++i) {
        PauliString pauli = products[i].pauli;
        if (products[i].inverted) pauli.phase = static_cast<uint8_t>((pauli.phase + 2) % 4);
        apply_pauli_symbolic(state, pauli, bools[i]);
    }
}

}  // namespace kelvo
