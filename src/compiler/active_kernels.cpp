#include "compiler/active_kernels.h"

#include <bit>
#include <cmath>

#include "errors.h"

namespace kelvo {
namespace {

// Basis indices are machine words; one bit is kept spare for pair arithmetic.
constexpr uint64_t kMaxActiveQubits = 61;
constexpr const char* kTooManyActive = "active qubit count is too large for machine basis indices";
constexpr const char* kIdentityMeasurement =
    "cannot build an active measurement kernel for identity Pauli";

void check_active_width(uint64_t k) {
    if (k > kMaxActiveQubits) throw KelvoError::invalid_input(kTooManyActive);
}

bool odd_popcount(uint64_t word) {
    return std::popcount(word) % 2 != 0;
}

uint32_t highest_bit(uint64_t word) {
    return static_cast<uint32_t>(63 - std::countl_zero(word));
}

}  // namespace

ActivePauliAction::ActivePauliAction(const PauliString& pauli) {
    if (pauli.num_qubits >= 63) {
        throw KelvoError::invalid_input(
            "Pauli string has too many qubits for active-state basis indexing");
    }
    if ((pauli.phase + 4 - pauli.y_count() % 4) % 2 != 0) {
        throw KelvoError::invalid_input("Pauli rotation requires P^2 == I");
    }
    static constexpr double kRe[4] = {1, 0, -1, 0};
    static constexpr double kIm[4] = {0, 1, 0, -1};
    const unsigned phase = pauli.phase % 4;
    k = pauli.num_qubits;
    x_mask = pauli.x.empty() ? 0 : pauli.x[0];
    z_mask = pauli.z.empty() ? 0 : pauli.z[0];
    coefficient = {kRe[phase], kIm[phase]};
    negated_coefficient = {kRe[(phase + 2) % 4], kIm[(phase + 2) % 4]};
    y_parity = odd_popcount(x_mask & z_mask);
}

PrecomputedActivePauliRotationKernel::PrecomputedActivePauliRotationKernel(
    const ActivePauliAction& action, double theta)
    : theta(theta), action(action) {
    check_active_width(action.k);
    cos_theta = std::cos(theta);
    sin_theta = std::sin(theta);
    const Complex c = action.coefficient;
    off_diagonal = {sin_theta * c.im, -sin_theta * c.re};
    if (action.x_mask == 0) return;  // diagonal: the defaults hold
    half_dimension = (uint64_t{1} << action.k) / 2;
    pivot = highest_bit(action.x_mask);
    diagonal = false;
    z_free = action.z_mask == 0;
    imaginary_coefficient =
        std::abs(c.re) < 1e-14 && action.z_mask != 0 && action.y_parity && std::abs(c.im) >= 1e-14;
}

PrecomputedActivePauliMeasurementKernel PrecomputedActivePauliMeasurementKernel::from_pauli(
    const PauliString& pauli) {
    const ActivePauliAction action(pauli);
    if (action.x_mask == 0 && action.z_mask == 0) {
        throw KelvoError::invalid_input(kIdentityMeasurement);
    }
    const uint64_t pivot =
        action.x_mask != 0 ? highest_bit(action.x_mask) : highest_bit(action.z_mask);
    return with_pivot(action, pivot);
}

PrecomputedActivePauliMeasurementKernel PrecomputedActivePauliMeasurementKernel::with_pivot(
    const ActivePauliAction& action, uint64_t pivot) {
    if (action.k == 0) {
        throw KelvoError::invalid_input("cannot build an active measurement kernel for k == 0");
    }
    if (pivot >= action.k)
        throw KelvoError::invalid_input("active measurement pivot is out of range");
    check_active_width(action.k);
    const uint64_t pivot_bit = uint64_t{1} << pivot;
    const Complex c = action.coefficient;
    PrecomputedActivePauliMeasurementKernel out;
    if (action.x_mask == 0) {
        if (action.z_mask == 0) throw KelvoError::invalid_input(kIdentityMeasurement);
        if ((action.z_mask & pivot_bit) == 0) {
            throw KelvoError::invalid_input(
                "diagonal active measurement pivot must have a Z component");
        }
        const bool plus = std::abs(c.re - 1) < 1e-12;
        const bool minus = std::abs(c.re + 1) < 1e-12;
        if (!(plus || minus) || !(std::abs(c.im) < 1e-12)) {
            throw KelvoError::invalid_input(
                "diagonal active measurement Pauli must have real eigenvalues");
        }
        out.negative = minus;
        out.rest_mask = action.z_mask & ~pivot_bit;
        out.kind = ActiveMeasurementKind::Diagonal;
    } else {
        if ((action.x_mask & pivot_bit) == 0) {
            throw KelvoError::invalid_input(
                "nondiagonal active measurement pivot must have an X component");
        }
        out.kind = ActiveMeasurementKind::NonDiagonal;
    }
    constexpr double kHalfSqrt2 = 0.7071067811865476;
    out.scaled_conjugate = {c.re * kHalfSqrt2, -c.im * kHalfSqrt2};
    out.pivot = pivot;
    out.half_dimension = (uint64_t{1} << action.k) / 2;
    out.k = action.k;
    out.x_mask = action.x_mask;
    out.z_mask = action.z_mask;
    out.coefficient = c;
    out.negated_coefficient = action.negated_coefficient;
    out.y_parity = action.y_parity;
    return out;
}

ActivePauliAction PrecomputedActivePauliMeasurementKernel::action() const {
    ActivePauliAction action;
    action.k = k;
    action.x_mask = x_mask;
    action.z_mask = z_mask;
    action.coefficient = coefficient;
    action.negated_coefficient = negated_coefficient;
    action.y_parity = y_parity;
    return action;
}

uint64_t active_length(uint64_t k) {
    check_active_width(k);
    return uint64_t{1} << k;
}

}  // namespace kelvo
