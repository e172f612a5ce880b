#include "compiler/active_kernels.h"

#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>

#include "errors.h"
#include "testing/dense_oracle.h"

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
    if (n > 0) {
        p.x[0] = x;
        p.z[0] = z;
    }
    p.phase = phase;
    return p;
}

// exp(-i theta P) by its power series, which does not assume P^2 = I.
Mat dense_exp(const Mat& p, double theta) {
    Mat sum = oracle::identity(p.dim), term = sum;
    for (int j = 1; j < 40; ++j) {
        term = C(0, -theta / j) * (term * p);
        sum = sum + term;
    }
    return sum;
}

std::vector<C> times(const Mat& m, const std::vector<C>& v) {
    std::vector<C> out(v.size());
    for (uint64_t r = 0; r < m.dim; ++r) {
        for (uint64_t c = 0; c < m.dim; ++c)
            out[r] += m.at(r, c) * v[c];
    }
    return out;
}

double distance(const std::vector<C>& a, const std::vector<C>& b) {
    double d = 0;
    for (size_t i = 0; i < a.size(); ++i)
        d += std::abs(a[i] - b[i]);
    return d;
}

int parity_sign(uint64_t word) {
    return std::popcount(word) % 2 ? -1 : 1;
}

// Every Hermitian Pauli on 3 qubits (both signs): the rotation kernel's constants, applied
// amplitude by amplitude, match the dense exponential; the measurement kernel's pivot pairs
// give the dense projectors (I +- P) / 2.
TEST(ActiveKernels, MatchDenseRotationsAndProjectors) {
    std::mt19937_64 rng(7);
    std::normal_distribution<double> normal;
    for (uint64_t x = 0; x < 8; ++x) {
        for (uint64_t z = 0; z < 8; ++z) {
            for (uint8_t sign = 0; sign < 2; ++sign) {
                const uint8_t phase = (std::popcount(x & z) + 2 * sign) % 4;
                const PauliString pauli = pauli_of(3, x, z, phase);
                const Mat dense = oracle::pauli(3, x, z, phase);
                std::vector<C> psi(8);
                for (C& a : psi)
                    a = {normal(rng), normal(rng)};
                const double theta = normal(rng);
                const ActivePauliAction action(pauli);
                const Rotation rot(action, theta);
                std::vector<C> out(8);
                for (uint64_t b = 0; b < 8; ++b) {
                    out[b] += rot.cos_theta * psi[b];
                    out[b ^ x] += double(parity_sign(b & z)) * to_c(rot.off_diagonal) * psi[b];
                }
                EXPECT_LT(distance(out, times(dense_exp(dense, theta), psi)), 1e-9) << x << z;
                EXPECT_EQ(rot.diagonal, x == 0);
                EXPECT_EQ(rot.half_dimension, x == 0 ? 0u : 4u);
                if (x == 0 && z == 0) continue;
                const Kernel m = Kernel::from_pauli(pauli);
                const uint64_t pivot_bit = uint64_t{1} << m.pivot;
                for (const int lambda : {1, -1}) {
                    std::vector<C> proj(8);
                    for (uint64_t b = 0; b < 8; ++b) {
                        if (m.kind == ActiveMeasurementKind::Diagonal) {
                            const int bit = (b & pivot_bit) ? -1 : 1;
                            const int eigen =
                                (m.negative ? -1 : 1) * bit * parity_sign(b & m.rest_mask);
                            if (eigen == lambda) proj[b] = psi[b];
                        } else if (!(b & pivot_bit)) {
                            const uint64_t t = b ^ m.x_mask;
                            const double s = lambda * parity_sign(b & m.z_mask);
                            const C amp =
                                psi[b] * oracle::kR + s * to_c(m.scaled_conjugate) * psi[t];
                            proj[b] = amp * oracle::kR;
                            proj[t] = s * to_c(m.coefficient) * amp * oracle::kR;
                        }
                    }
                    const Mat projector =
                        C(0.5) * (oracle::identity(8) + C(double(lambda)) * dense);
                    EXPECT_LT(distance(proj, times(projector, psi)), 1e-9) << x << z << lambda;
                }
            }
        }
    }
}

struct Refusal {
    std::string name;
    std::function<void()> call;
    std::string message;
};

TEST(ActiveKernels, RefusalsAndWidthLimits) {
    const char* too_large = "active qubit count is too large for machine basis indices";
    const char* identity = "cannot build an active measurement kernel for identity Pauli";
    ActivePauliAction imaginary_z = ActivePauliAction(pauli_of(2, 0, 1, 0));
    imaginary_z.coefficient = {0, 1};
    const std::vector<Refusal> table = {
        {"k 63", [] { ActivePauliAction(PauliString(63)); },
         "Pauli string has too many qubits for active-state basis indexing"},
        {"i*X", [] { ActivePauliAction(pauli_of(1, 1, 0, 1)); },
         "Pauli rotation requires P^2 == I"},
        {"rotation k 62", [] { Rotation(ActivePauliAction(PauliString(62)), 1); }, too_large},
        {"measure k 62", [] { Kernel::from_pauli(pauli_z(62, 61)); }, too_large},
        {"length 62", [] { active_length(62); }, too_large},
        {"measure I", [] { Kernel::from_pauli(PauliString(3)); }, identity},
        {"pivot on I", [] { Kernel::with_pivot(ActivePauliAction(PauliString(3)), 0); }, identity},
        {"k 0", [] { Kernel::with_pivot(ActivePauliAction(PauliString(0)), 0); },
         "cannot build an active measurement kernel for k == 0"},
        {"pivot 3 of 3", [] { Kernel::with_pivot(ActivePauliAction(pauli_z(3, 0)), 3); },
         "active measurement pivot is out of range"},
        {"pivot without Z", [] { Kernel::with_pivot(ActivePauliAction(pauli_z(3, 0)), 1); },
         "diagonal active measurement pivot must have a Z component"},
        {"pivot without X", [] { Kernel::with_pivot(ActivePauliAction(pauli_of(3, 1, 2, 0)), 1); },
         "nondiagonal active measurement pivot must have an X component"},
        {"i*Z", [&] { Kernel::with_pivot(imaginary_z, 0); },
         "diagonal active measurement Pauli must have real eigenvalues"},
    };
    for (const Refusal& r : table) {
        try {
            r.call();
            ADD_FAILURE() << r.name << " was accepted";
        } catch (const KelvoError& e) {
            EXPECT_EQ(e.kind(), KelvoErrorKind::InvalidInput) << r.name;
            EXPECT_EQ(std::string(e.what()), r.message) << r.name;
        }
    }
    EXPECT_EQ(ActivePauliAction(PauliString(62)).k, 62u);
    EXPECT_EQ(Kernel::from_pauli(pauli_x(61, 60)).half_dimension, uint64_t{1} << 60);
    EXPECT_EQ(Rotation(ActivePauliAction(pauli_x(61, 0)), 1).half_dimension, uint64_t{1} << 60);
    EXPECT_EQ(active_length(61), uint64_t{1} << 61);
    EXPECT_EQ(active_length(0), 1u);
}

// Pivot: highest X bit, else highest Z bit; fields of the diagonal kind.
TEST(ActiveKernels, PivotRulesAndFields) {
    struct Case {
        PauliString pauli;
        uint64_t pivot, rest_mask;
        bool negative;
        ActiveMeasurementKind kind;
    };
    const auto D = ActiveMeasurementKind::Diagonal, N = ActiveMeasurementKind::NonDiagonal;
    const std::vector<Case> cases = {
        {pauli_of(3, 0, 4, 2), 2, 0, true, D},   // -Z2
        {pauli_of(2, 0, 3, 0), 1, 1, false, D},  // Z0 Z1
        {pauli_of(4, 1, 8, 0), 0, 0, false, N},  // X0 Z3
        {pauli_of(3, 6, 1, 0), 2, 0, false, N},  // Z0 X1 X2
    };
    for (const Case& c : cases) {
        const Kernel m = Kernel::from_pauli(c.pauli);
        EXPECT_EQ(m.pivot, c.pivot) << c.pauli.str();
        EXPECT_EQ(m.rest_mask, c.rest_mask) << c.pauli.str();
        EXPECT_EQ(m.negative, c.negative) << c.pauli.str();
        EXPECT_EQ(m.kind, c.kind) << c.pauli.str();
    }
    const ActivePauliAction y(pauli_y(1, 0));
    EXPECT_EQ(y.coefficient, (Complex{0, 1}));
    EXPECT_TRUE(y.y_parity);
    const Rotation zz(ActivePauliAction(pauli_of(2, 0, 3, 0)), 0.5);
    EXPECT_EQ(zz.pivot, 0u);
    const Rotation xy(ActivePauliAction(pauli_of(2, 3, 2, 1)), 0.5);  // X0 Y1
    EXPECT_TRUE(xy.imaginary_coefficient);
    EXPECT_EQ(xy.pivot, 1u);
    EXPECT_TRUE(Rotation(ActivePauliAction(pauli_of(2, 2, 0, 0)), 0.5).z_free);
}

}  // namespace
}  // namespace kelvo
