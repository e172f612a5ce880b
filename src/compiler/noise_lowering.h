// Noise channels and readout errors as random conditions plus conditional Paulis. A channel
// with exclusive outcomes becomes one categorical group drawn at once; outcome 0 is always
// "nothing happens". Every routine checks all of its input before it takes the first id.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "circuit/ir.h"
#include "compiler/pending.h"
#include "symbolic.h"

namespace kelvo {

// Channel probability sums are accepted up to this bound.
inline constexpr double kProbabilitySumLimit = 1.000000000001;

// p, or KelvoError (InvalidInput) "probability must be between 0 and 1" (NaN included).
double check_probability(double p);
// KelvoError (InvalidInput) with `message` unless count is a multiple of `multiple`.
void require_target_multiple(uint64_t count, uint64_t multiple, const char* message);

// The sign a measurement's record gets: the constant `inverted` XOR, when p != 0, a fresh
// Bernoulli condition of probability p.
SymbolicBool measurement_sign_with_readout_error(SymbolicContext& context, double p, bool inverted);

// One categorical per qubit over (x, z): I with 1 - p, then Z, X, Y with p / 3 each.
void apply_depolarize1(FrameFactoredState& state, std::span<const uint64_t> qubits, double p);
// One categorical per pair over (x_a, z_a, x_b, z_b): no error with 1 - p, the 15 others with
// p / 15 each. A pair may name one qubit twice.
void apply_depolarize2(FrameFactoredState& state, std::span<const uint64_t> qubits, double p);
// Each triple through apply_pauli_channel with 63 probabilities p / 63.
void apply_depolarize3(FrameFactoredState& state, std::span<const uint64_t> qubits, double p);

// The Pauli channel on 1 to 3 distinct targets: probability k - 1 belongs to the Pauli whose
// base-4 digits (I, X, Y, Z) are k's, the first target taking the most significant digit.
void apply_pauli_channel(FrameFactoredState& state, std::span<const uint64_t> targets,
                         std::span<const double> probabilities);

// (pI, pX, pY, pZ): with their total probability the herald fires and that Pauli hits the
// qubit. The herald bit becomes the next record.
void apply_heralded_channel(FrameFactoredState& state, std::vector<SymbolicBool>& records,
                            uint64_t qubit, std::span<const double> probabilities);

// At most one of the products happens: product i with probabilities[i].
void apply_pauli_product_channel(FrameFactoredState& state,
                                 std::span<const CircuitPauliProduct> products,
                                 std::span<const double> probabilities);

// Appends a record value and returns its 1-based id.
uint32_t append_record(std::vector<SymbolicBool>& records, SymbolicBool value);

}  // namespace kelvo
