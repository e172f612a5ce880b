// Paulis on the active state turned into bit masks and complex constants, so that the
// sampling kernels touch amplitude pairs without looking at a Pauli again.
//
// Basis convention: bit q of a basis index is active qubit q, and P = c X^x Z^z acts as
// P|b> = c (-1)^popcount(b AND z) |b XOR x>.
#pragma once

#include <cstdint>

#include "pauli.h"

namespace kelvo {

struct Complex {
    double re = 0;
    double im = 0;

    bool operator==(const Complex&) const = default;
};

// A Hermitian Pauli on k < 63 active qubits.
struct ActivePauliAction {
    uint64_t k = 0;
    uint64_t x_mask = 0;
    uint64_t z_mask = 0;
    Complex coefficient{1, 0};  // i^phase
    Complex negated_coefficient{-1, 0};
    bool y_parity = false;  // odd number of Y positions

    ActivePauliAction() = default;
    // `pauli` is already restricted to the active qubits (its qubit count is k). Throws
    // KelvoError (InvalidInput) when k >= 63 or when P^2 != I.
    explicit ActivePauliAction(const PauliString& pauli);

    bool operator==(const ActivePauliAction&) const = default;
};

// exp(-i theta P) = cos(theta) I - i sin(theta) P.
struct PrecomputedActivePauliRotationKernel {
    Complex off_diagonal;         // -i sin(theta) c
    uint64_t half_dimension = 0;  // amplitude pairs; 0 for a diagonal Pauli
    double theta = 0;
    double cos_theta = 1;
    double sin_theta = 0;
    ActivePauliAction action;
    uint32_t pivot = 0;  // highest X bit; 0 for a diagonal Pauli
    bool diagonal = true;
    bool z_free = false;  // c times a pure X product: one factor for every pair
    bool imaginary_coefficient = false;

    PrecomputedActivePauliRotationKernel() = default;
    // Throws KelvoError (InvalidInput) when action.k >= 62.
    PrecomputedActivePauliRotationKernel(const ActivePauliAction& action, double theta);

    bool operator==(const PrecomputedActivePauliRotationKernel&) const = default;
};

enum class ActiveMeasurementKind : uint8_t { Diagonal, NonDiagonal };

// Projective measurement of P; the pivot is the qubit whose bit pairs up the amplitudes.
struct PrecomputedActivePauliMeasurementKernel {
    Complex scaled_conjugate;  // conj(c) / sqrt(2)
    uint64_t pivot = 0;
    uint64_t rest_mask = 0;  // diagonal kind: z_mask without the pivot bit; else 0
    uint64_t half_dimension = 0;
    uint64_t k = 0;
    uint64_t x_mask = 0;
    uint64_t z_mask = 0;
    Complex coefficient{1, 0};
    Complex negated_coefficient{-1, 0};
    bool y_parity = false;
    bool negative = false;  // diagonal kind: the operator is minus a Z product
    ActiveMeasurementKind kind = ActiveMeasurementKind::Diagonal;

    // Pivot on the highest X bit, else on the highest Z bit. Throws KelvoError
    // (InvalidInput) for the identity and for everything the action refuses.
    static PrecomputedActivePauliMeasurementKernel from_pauli(const PauliString& pauli);
    // Throws KelvoError (InvalidInput) when k is 0 or >= 62, the pivot is out of range or
    // carries no X (no Z for a diagonal Pauli), or a diagonal Pauli is not +-1 times Z's.
    static PrecomputedActivePauliMeasurementKernel with_pivot(const ActivePauliAction& action,
                                                              uint64_t pivot);

    // The Pauli the kernel measures.
    ActivePauliAction action() const;

    bool operator==(const PrecomputedActivePauliMeasurementKernel&) const = default;
};

// 2^k amplitudes; throws KelvoError (InvalidInput) when k >= 62.
uint64_t active_length(uint64_t k);

}  // namespace kelvo
