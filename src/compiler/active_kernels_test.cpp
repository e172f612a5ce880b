#include "compiler/active_kernels.h"

#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>

#include "errors.h"
#include "testing/dense_oracle.h"
#include "testing/error_text.h"

namespace kelvo {
namespace {

using oracle::C;
using oracle::Mat;
using Kernel = PrecomputedActivePauliMeasurementKernel;
using Rotation = PrecomputedActivePauliRotationKernel;

C to_c(Complex a) {
    return {a.re, a.im};
}

PauliString pauli_of(uint64_t n, uint64_t x, uint64_t z, uint8_t phase) {
    PauliString p(n);
    if (n > 0) p.x[0] = x, p.z[0] = z;
    p.phase = phase;
    return p;
}

// |m psi - v| is small.
bool matches(const Mat& m, const std::vector<C>& psi, const std::vector<C>& v) {
    const std::vector<C> mpsi = m * psi;
    double d = 0;
    for (uint64_t r = 0; r < m.dim; ++r)
        d += std::abs(mpsi[r] - v[r]);
    return d < 1e-9;
}

double sign_of(uint64_t word) {
    return std::popcount(word) % 2 ? -1 : 1;
}

// Every Hermitian Pauli on 3 qubits, both signs, on random states: the rotation kernel's
// constants applied amplitude by amplitude give exp(-i theta P), and the
// measurement kernel's pivot pairs give the projectors (I +- P) / 2.
TEST(ActiveKernels, MatchDenseRotationsAndProjectors) {
    std::mt19937_64 rng(7);
    std::normal_distribution<double> normal;
    for (uint64_t x = 0; x < 8; ++x) {
        for (uint64_t z = 0; z < 8; ++z) {
            for (uint8_t minus = 0; minus < 2; ++minus) {
                const uint8_t phase = (std::popcount(x & z) + 2 * minus) % 4;
                const Mat dense = oracle::pauli(3, x, z, phase);
                std::vector<C> psi(8), out(8);
                for (C& a : psi)
                    a = {normal(rng), normal(rng)};
                const double theta = normal(rng);
                const Rotation rot(ActivePauliAction(pauli_of(3, x, z, phase)), theta);
                for (uint64_t b = 0; b < 8; ++b) {
                    out[b] += rot.cos_theta * psi[b];
                    out[b ^ x] += sign_of(b & z) * to_c(rot.off_diagonal) * psi[b];
                }
                EXPECT_TRUE(matches(oracle::pauli_rotation(dense, theta), psi, out))
                    << x << " " << z;
                EXPECT_EQ(rot.half_dimension, x == 0 ? 0u : 4u);
                if (x == 0 && z == 0) continue;
                const Kernel m = Kernel::from_pauli(pauli_of(3, x, z, phase));
                for (const double lambda : {1.0, -1.0}) {
                    std::vector<C> proj(8);
                    for (uint64_t b = 0; b < 8; ++b) {
                        const bool pivot_set = (b >> m.pivot) & 1;
                        if (m.kind == ActiveMeasurementKind::Diagonal) {
                            const double eigen = (m.negative ? -1 : 1) * (pivot_set ? -1 : 1) *
                                                 sign_of(b & m.rest_mask);
                            if (eigen == lambda) proj[b] = psi[b];
                        } else if (!pivot_set) {
                            // Overlap with the eigenvector |b> + lambda P|b>, over sqrt 2.
                            const double s = lambda * sign_of(b & m.z_mask);
                            const C amp = oracle::kR * psi[b] +
                                          s * to_c(m.scaled_conjugate) * psi[b ^ m.x_mask];
                            proj[b] = amp * oracle::kR;
                            proj[b ^ m.x_mask] = s * to_c(m.coefficient) * amp * oracle::kR;
                        }
                    }
                    const Mat projector = C(0.5) * (oracle::identity(8) + C(lambda) * dense);
                    EXPECT_TRUE(matches(projector, psi, proj)) << x << " " << z << " " << lambda;
                }
            }
        }
    }
}

TEST(ActiveKernels, RefusalsAndWidthLimits) {
    const std::string too_large = "active qubit count is too large for machine basis indices";
    const std::string identity = "cannot build an active measurement kernel for identity Pauli";
    ActivePauliAction i_z(pauli_of(2, 0, 1, 0));
    i_z.coefficient = {0, 1};
    const auto pivot = [](uint64_t n, uint64_t x, uint64_t z, uint64_t p) {
        return [=] { Kernel::with_pivot(ActivePauliAction(pauli_of(n, x, z, 0)), p); };
    };
    const std::vector<std::pair<std::function<void()>, std::string>> table = {
        {[] { ActivePauliAction(PauliString(63)); },
         "Pauli string has too many qubits for active-state basis indexing"},
        {[] { ActivePauliAction(pauli_of(1, 1, 0, 1)); }, "Pauli rotation requires P^2 == I"},
        {[] { Rotation(ActivePauliAction(PauliString(62)), 1); }, too_large},
        {[] { Kernel::from_pauli(pauli_z(62, 61)); }, too_large},
        {[] { active_length(62); }, too_large},
        {[] { Kernel::from_pauli(PauliString(3)); }, identity},
        {pivot(3, 0, 0, 0), identity},
        {pivot(0, 0, 0, 0), "cannot build an active measurement kernel for k == 0"},
        {pivot(3, 0, 1, 3), "active measurement pivot is out of range"},
        {pivot(3, 0, 1, 1), "diagonal active measurement pivot must have a Z component"},
        {pivot(3, 1, 2, 1), "nondiagonal active measurement pivot must have an X component"},
        {[&] { Kernel::with_pivot(i_z, 0); },
         "diagonal active measurement Pauli must have real eigenvalues"},
    };
    for (const auto& [call, message] : table)
        testing::expect_refused(call, message);
    EXPECT_EQ(ActivePauliAction(PauliString(62)).k, 62u);
    EXPECT_EQ(Kernel::from_pauli(pauli_x(61, 60)).half_dimension, uint64_t{1} << 60);
    EXPECT_EQ(Rotation(ActivePauliAction(pauli_x(61, 0)), 1).half_dimension, uint64_t{1} << 60);
    EXPECT_EQ(active_length(61), uint64_t{1} << 61);
    EXPECT_EQ(active_length(0), 1u);
}

// Pivot on the highest X bit, else on the highest Z bit.
TEST(ActiveKernels, PivotRules) {
    const auto D = ActiveMeasurementKind::Diagonal, N = ActiveMeasurementKind::NonDiagonal;
    const std::tuple<PauliString, uint64_t, uint64_t, bool, ActiveMeasurementKind> cases[] = {
        {pauli_of(3, 0, 4, 2), 2, 0, true, D},   // -Z2
        {pauli_of(2, 0, 3, 0), 1, 1, false, D},  // Z0 Z1
        {pauli_of(4, 1, 8, 0), 0, 0, false, N},  // X0 Z3
    };
    for (const auto& [pauli, pivot, rest, negative, kind] : cases) {
        const Kernel m = Kernel::from_pauli(pauli);
        EXPECT_EQ(std::tuple(m.pivot, m.rest_mask, m.negative, m.kind),
                  std::tuple(pivot, rest, negative, kind))
            << pauli.str();
    }
    const ActivePauliAction y(pauli_y(1, 0));
    EXPECT_EQ(std::tuple(y.coefficient, y.y_parity), std::tuple(Complex{0, 1}, true));
    const Rotation xy(ActivePauliAction(pauli_of(2, 3, 2, 1)), 0.5);  // X0 Y1
    EXPECT_EQ(std::tuple(xy.imaginary_coefficient, xy.pivot), std::tuple(true, 1u));
    EXPECT_TRUE(Rotation(ActivePauliAction(pauli_of(2, 2, 0, 0)), 0.5).z_free);
}

}  // namespace
}  // namespace kelvo
