#include "circuit/targets.h"

#include <string>

#include "bits.h"
#include "circuit/digits.h"
#include "circuit/fail.h"
#include "errors.h"

namespace kelvo {
namespace {

// Decimal digits (at least one) fitting in 64 bits.
std::optional<size_t> parse_index(std::string_view digits) {
    size_t value;
    bool fits;
    if (digits.empty() || read_digit_run(digits, 0, value, fits) != digits.size() || !fits) {
        return std::nullopt;
    }
    return value;
}

bool all_digits(std::string_view s) {
    if (s.empty()) return false;
    for (const char c : s) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

bool is_pauli_letter(char c) {
    return c == 'X' || c == 'Y' || c == 'Z';
}

// The text between `prefix` and a final `]` when it is one or more digits.
std::optional<std::string_view> bracket_digits(std::string_view token, std::string_view prefix) {
    if (token.empty() || token[0] != prefix[0] || token.size() < prefix.size() + 2 ||
        token.substr(0, prefix.size()) != prefix || token.back() != ']') {
        return std::nullopt;
    }
    const std::string_view digits = token.substr(prefix.size(), token.size() - prefix.size() - 1);
    if (!all_digits(digits)) return std::nullopt;
    return digits;
}

bool is_ascii_space(char c) {
    return c == ' ' || (c >= 0x09 && c <= 0x0D);
}

// Calls emit(index, inverted) for each token while all are qubit targets.
template <typename Emit>
bool read_plain(std::string_view text, bool allow_inverted, Emit&& emit) {
    size_t i = 0;
    const size_t n = text.size();
    while (i < n) {
        if (is_ascii_space(text[i])) {
            ++i;
            continue;
        }
        bool inverted = false;
        if (text[i] == '!' && allow_inverted) {
            inverted = true;
            ++i;
        }
        const size_t start = i;
        size_t value;
        bool fits;
        i = read_digit_run(text, i, value, fits);
        if (!fits) return false;
        if (i == start || (i < n && !is_ascii_space(text[i]))) return false;
        emit(value, inverted);
    }
    return true;
}

}  // namespace

bool read_plain_qubits(std::string_view text, std::vector<size_t>& out) {
    out.clear();
    return read_plain(text, false, [&](size_t q, bool) { out.push_back(q); });
}

bool read_plain_measurements(std::string_view text, std::vector<CircuitMeasurementTarget>& out) {
    out.clear();
    return read_plain(text, true, [&](size_t q, bool inv) { out.push_back({q, inv}); });
}

std::optional<QubitTarget> parse_qubit_token(std::string_view token) {
    QubitTarget t;
    if (!token.empty() && token[0] == '!') {
        t.inverted = true;
        token.remove_prefix(1);
    }
    const std::optional<size_t> index = parse_index(token);
    if (!index) return std::nullopt;
    t.index = *index;
    return t;
}

std::optional<size_t> record_offset(std::string_view token) {
    const std::optional<std::string_view> digits = bracket_digits(token, "rec[-");
    if (!digits) return std::nullopt;
    return parse_index(*digits).value_or(SIZE_MAX);
}

bool is_sweep_target(std::string_view token) {
    return bracket_digits(token, "sweep[").has_value();
}

QubitTarget kelvo_qubit_target(std::string_view token, size_t line) {
    const std::optional<QubitTarget> t = parse_qubit_token(token);
    if (!t) fail(line, "invalid qubit target");
    return *t;
}

std::vector<size_t> kelvo_qubit_targets(Tokens tokens, size_t line) {
    std::vector<size_t> qubits;
    qubits.reserve(tokens.size());
    for (const std::string_view token : tokens) {
        const QubitTarget t = kelvo_qubit_target(token, line);
        if (t.inverted) fail(line, "operation does not accept inverted targets");
        qubits.push_back(t.index);
    }
    return qubits;
}

std::vector<CircuitMeasurementTarget> kelvo_measurement_targets(Tokens tokens, size_t line) {
    std::vector<CircuitMeasurementTarget> targets;
    targets.reserve(tokens.size());
    for (const std::string_view token : tokens) {
        const QubitTarget t = kelvo_qubit_target(token, line);
        targets.push_back({t.index, t.inverted});
    }
    return targets;
}

size_t kelvo_record_index(std::string_view token, size_t num_records, size_t line) {
    const std::optional<size_t> k = record_offset(token);
    if (!k) fail(line, "invalid measurement record target");
    if (*k == 0 || *k > num_records) fail(line, "measurement record target out of range");
    return num_records + 1 - *k;
}

std::vector<size_t> kelvo_record_indices(Tokens tokens, size_t num_records, size_t line) {
    std::vector<size_t> records;
    records.reserve(tokens.size());
    for (const std::string_view token : tokens) {
        records.push_back(kelvo_record_index(token, num_records, line));
    }
    return records;
}

std::vector<size_t> kelvo_observable_record_indices(Tokens tokens, size_t num_records,
                                                    size_t line) {
    std::vector<size_t> records;
    for (const std::string_view token : tokens) {
        if (record_offset(token)) {
            records.push_back(kelvo_record_index(token, num_records, line));
            continue;
        }
        std::string_view rest = token;
        if (!rest.empty() && rest[0] == '!') rest.remove_prefix(1);
        const bool pauli = !rest.empty() && is_pauli_letter(rest[0]) && all_digits(rest.substr(1));
        if (token != "*" && !pauli) {
            fail(line, "OBSERVABLE_INCLUDE targets must be measurement records or Pauli targets");
        }
    }
    return records;
}

void multiply_single_pauli(PauliString& product, char axis, size_t qubit) {
    const bool x = axis != 'Z', z = axis != 'X';
    // (a * b).phase = a.phase + b.phase + 2 * [a has Z where b has X]; Y alone has phase 1.
    const unsigned crossing = (x && get_bit(product.z, qubit)) ? 2 : 0;
    product.phase = static_cast<uint8_t>((product.phase + (axis == 'Y') + crossing) % 4);
    if (x) set_bit(product.x, qubit, !get_bit(product.x, qubit));
    if (z) set_bit(product.z, qubit, !get_bit(product.z, qubit));
}

void multiply_product_token(CircuitPauliProduct& product, std::string_view token, size_t line) {
    const size_t num_qubits = product.pauli.num_qubits;
    size_t start = 0;
    for (;;) {
        const size_t star = token.find('*', start);
        std::string_view factor = token.substr(
            start, star == std::string_view::npos ? std::string_view::npos : star - start);
        if (!factor.empty() && factor[0] == '!') {
            product.inverted = !product.inverted;
            factor.remove_prefix(1);
        }
        if (factor.empty() || !is_pauli_letter(factor[0])) fail(line, "invalid MPP factor");
        const std::optional<size_t> qubit = parse_index(factor.substr(1));
        if (!qubit) fail(line, "invalid MPP factor");
        // The qubit count covers every counted index, so this holds for parsed circuits.
        KELVO_ASSERT(*qubit < num_qubits, "qubit index out of range");
        multiply_single_pauli(product.pauli, factor[0], *qubit);
        if (star == std::string_view::npos) break;
        start = star + 1;
    }
}

CircuitPauliProduct kelvo_mpp_pauli(size_t num_qubits, std::string_view token, size_t line) {
    CircuitPauliProduct product{PauliString(num_qubits), false};
    multiply_product_token(product, token, line);
    return product;
}

std::vector<CircuitPauliProduct> circuit_mpp_targets(size_t num_qubits, Tokens tokens,
                                                     size_t line) {
    // Group the tokens into product texts first: combiner errors come before factor errors.
    std::vector<std::string> texts;
    std::string current;
    for (const std::string_view token : tokens) {
        if (token == "*") {
            if (current.empty() || current.back() == '*') fail(line, "misplaced MPP combiner");
            current += '*';
        } else if (current.empty() || current.back() == '*') {
            current += token;
        } else {
            texts.push_back(std::move(current));
            current.assign(token);
        }
    }
    if (!current.empty() && current.back() == '*') fail(line, "dangling MPP combiner");
    if (!current.empty()) texts.push_back(std::move(current));

    std::vector<CircuitPauliProduct> products;
    products.reserve(texts.size());
    for (const std::string& text : texts)
        products.push_back(kelvo_mpp_pauli(num_qubits, text, line));
    return products;
}

CircuitPauliProduct circuit_single_pauli_product(size_t num_qubits, char axis, size_t qubit) {
    PauliString p = axis == 'X'   ? pauli_x(num_qubits, qubit)
                    : axis == 'Y' ? pauli_y(num_qubits, qubit)
                                  : pauli_z(num_qubits, qubit);
    return {std::move(p), false};
}

CircuitPauliProduct circuit_pair_pauli_product(size_t num_qubits, char axis, size_t a, size_t b,
                                               bool inverted, size_t line) {
    if (a == b) fail(line, "two-qubit Pauli operation requires distinct qubits");
    CircuitPauliProduct product = circuit_single_pauli_product(num_qubits, axis, a);
    KELVO_ASSERT(b < num_qubits, "qubit index out of range");
    multiply_single_pauli(product.pauli, axis, b);
    product.inverted = inverted;
    return product;
}

std::vector<CircuitPauliProduct> circuit_pair_measurement_products(size_t num_qubits, char axis,
                                                                   Tokens tokens, size_t line) {
    const std::vector<CircuitMeasurementTarget> targets = kelvo_measurement_targets(tokens, line);
    if (targets.size() % 2 != 0) fail(line, "pair measurement requires paired targets");
    std::vector<CircuitPauliProduct> products;
    products.reserve(targets.size() / 2);
    for (size_t i = 0; i < targets.size(); i += 2) {
        const CircuitMeasurementTarget& a = targets[i];
        const CircuitMeasurementTarget& b = targets[i + 1];
        products.push_back(circuit_pair_pauli_product(num_qubits, axis, a.qubit, b.qubit,
                                                      a.inverted != b.inverted, line));
    }
    return products;
}

std::optional<size_t> max_qubit_candidate(std::string_view token) {
    if (!token.empty() && token[0] >= '0' && token[0] <= '9') {
        if (const std::optional<size_t> q = parse_index(token)) return q;  // the common case
    }
    if (token == "*" || record_offset(token) || is_sweep_target(token)) return std::nullopt;
    if (!token.empty() && token[0] == '!') token.remove_prefix(1);
    std::optional<size_t> best;
    size_t start = 0;
    for (;;) {
        const size_t star = token.find('*', start);
        std::string_view piece = token.substr(
            start, star == std::string_view::npos ? std::string_view::npos : star - start);
        if (!piece.empty() && piece[0] == '!') piece.remove_prefix(1);
        if (piece.size() > 1 && is_pauli_letter(piece[0])) piece.remove_prefix(1);
        if (const std::optional<size_t> q = parse_index(piece); q && (!best || *q > *best)) {
            best = q;
        }
        if (star == std::string_view::npos) break;
        start = star + 1;
    }
    return best;
}

}  // namespace kelvo
