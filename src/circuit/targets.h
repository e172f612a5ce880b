// Target tokens: qubits with an optional `!`, measurement records `rec[-k]`, sweep bits,
// Pauli factors and `*`-joined products, and the rule that sizes the circuit's qubit count.
// Every reader throws KelvoError (Parse kind) with the instruction's line.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "circuit/ir.h"

namespace kelvo {

using Tokens = std::span<const std::string_view>;

struct QubitTarget {
    size_t index = 0;
    bool inverted = false;
};

// `!`? digits, fitting in 64 bits; nothing otherwise.
std::optional<QubitTarget> parse_qubit_token(std::string_view token);
// `rec[-k]`: the offset k (saturated to SIZE_MAX when it does not fit); nothing otherwise.
std::optional<size_t> record_offset(std::string_view token);
bool is_sweep_target(std::string_view token);

QubitTarget kelvo_qubit_target(std::string_view token, size_t line);
// Plain qubit list; a `!` is refused.
std::vector<size_t> kelvo_qubit_targets(Tokens tokens, size_t line);
// Qubits with their `!` flags (also MPAD's written values).
std::vector<CircuitMeasurementTarget> kelvo_measurement_targets(Tokens tokens, size_t line);

// Fast paths for the common lines: when every token of `text` is a plain qubit (for the
// measurement form, optionally with `!`) separated by ASCII white space, fill `out` and return
// true; otherwise return false and leave the line to the general readers.
bool read_plain_qubits(std::string_view text, std::vector<size_t>& out);
bool read_plain_measurements(std::string_view text, std::vector<CircuitMeasurementTarget>& out);

// Record number M + 1 - k of `rec[-k]` when M records exist.
size_t kelvo_record_index(std::string_view token, size_t num_records, size_t line);
std::vector<size_t> kelvo_record_indices(Tokens tokens, size_t num_records, size_t line);
// OBSERVABLE_INCLUDE: records count, Pauli targets and `*` are accepted and contribute nothing.
std::vector<size_t> kelvo_observable_record_indices(Tokens tokens, size_t num_records, size_t line);

// One product token such as `X0*!Z1` over n qubits.
CircuitPauliProduct kelvo_mpp_pauli(size_t num_qubits, std::string_view token, size_t line);
// Multiplies the factors of a product token onto the right of `product`, one single-qubit
// Pauli at a time (no dense temporary), and XORs its `!` marks into `inverted`.
void multiply_product_token(CircuitPauliProduct& product, std::string_view token, size_t line);
// A product list: `*` may also stand as its own token between factors.
std::vector<CircuitPauliProduct> circuit_mpp_targets(size_t num_qubits, Tokens tokens, size_t line);
CircuitPauliProduct circuit_single_pauli_product(size_t num_qubits, char axis, size_t qubit);
CircuitPauliProduct circuit_pair_pauli_product(size_t num_qubits, char axis, size_t a, size_t b,
                                               bool inverted, size_t line);
// MXX / MYY / MZZ: pairs of measurement targets.
std::vector<CircuitPauliProduct> circuit_pair_measurement_products(size_t num_qubits, char axis,
                                                                   Tokens tokens, size_t line);

// Multiplies the single-qubit Pauli `axis` on `qubit` onto the right of `product`.
void multiply_single_pauli(PauliString& product, char axis, size_t qubit);

// The largest qubit a token names for the qubit count, if any.
std::optional<size_t> max_qubit_candidate(std::string_view token);

}  // namespace kelvo
