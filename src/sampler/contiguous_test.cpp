#include "sampler/contiguous.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <random>

#include "errors.h"
#include "testing/dense_oracle.h"

namespace kelvo {
namespace {

using oracle::C;
using Rotation = PrecomputedActivePauliRotationKernel;
using Measurement = PrecomputedActivePauliMeasurementKernel;
constexpr SimdLevel kLevels[] = {SimdLevel::Scalar, SimdLevel::Vector};

struct State {
    std::vector<double> re, im;
    C at(uint64_t i) const { return {re[i], im[i]}; }
};

// A normalised random state of 2^k amplitudes followed by as many slots of junk.
State random_state(std::mt19937_64& rng, uint64_t k) {
    std::normal_distribution<double> normal;
    const uint64_t d = uint64_t{1} << k;
    State s{std::vector<double>(2 * d), std::vector<double>(2 * d)};
    double norm = 0;
    for (uint64_t i = 0; i < d; ++i) {
        s.re[i] = normal(rng), s.im[i] = normal(rng);
        norm += std::norm(s.at(i));
        s.re[d + i] = 7.0 + i, s.im[d + i] = -3.0 - i;
    }
    for (uint64_t i = 0; i < d; ++i)
        s.re[i] /= std::sqrt(norm), s.im[i] /= std::sqrt(norm);
    return s;
}

// A random Hermitian Pauli on k qubits whose X part is none, all or some.
PauliString random_pauli(std::mt19937_64& rng, uint64_t k, int x_kind, bool any_z = true) {
    const uint64_t all = (uint64_t{1} << k) - 1;
    PauliString p(k);
    if (k == 0) return p;
    uint64_t x = x_kind == 1 ? all : 0, z = any_z ? rng() & all : 0;
    if (x_kind == 2) x = (rng() & all) | (uint64_t{1} << (rng() % k));
    if (x_kind == 0 && z == 0) z = 1;
    p.x[0] = x;
    p.z[0] = z;
    p.phase = static_cast<uint8_t>((std::popcount(x & z) + 2 * (rng() & 1)) % 4);
    return p;
}

std::vector<C> apply(const oracle::Mat& m, const State& s) {
    std::vector<C> out(m.dim);
    for (uint64_t r = 0; r < m.dim; ++r) {
        for (uint64_t c = 0; c < m.dim; ++c)
            out[r] += m.at(r, c) * s.at(c);
    }
    return out;
}

// `kernel` run at both levels on copies of `start`: each gives `want` and keeps the entries
// after it, and the two agree bit for bit.
template <class F>
void expect_levels(const State& start, const std::vector<C>& want, double tol, F&& kernel) {
    State out[2] = {start, start};
    for (int l = 0; l < 2; ++l) {
        kernel(out[l], kLevels[l]);
        for (uint64_t i = 0; i < start.re.size(); ++i) {
            EXPECT_LT(std::abs(out[l].at(i) - (i < want.size() ? want[i] : start.at(i))), tol)
                << "index " << i;
        }
    }
    EXPECT_EQ(out[0].re, out[1].re);
    EXPECT_EQ(out[0].im, out[1].im);
}

// Rotations, promotions, projections and outcome probabilities against dense matrices. A
// projection keeps the pivot-0 half of the projected state (both halves summed for a Z product,
// where one of each pair is zero), renormalised.
TEST(ContiguousTest, KernelsMatchDenseMatrices) {
    std::mt19937_64 rng(11);
    for (uint64_t k = 0; k <= 5; ++k) {
        const uint64_t d = uint64_t{1} << k;
        for (int x_kind = 0; x_kind < 3; ++x_kind) {
            for (const bool z_free : {false, true}) {
                if (k == 0 && x_kind != 0) continue;
                const PauliString p = random_pauli(rng, k, x_kind, !z_free || x_kind == 0);
                SCOPED_TRACE(p.str());
                const double theta = std::uniform_real_distribution<double>(-3, 3)(rng);
                const Rotation rotation(ActivePauliAction(p), theta);
                for (const bool sign : {false, true}) {
                    const State start = random_state(rng, k);
                    const double angle = sign ? -theta : theta;
                    const oracle::Mat u = C(std::cos(angle)) * oracle::identity(d) +
                                          C(0, -std::sin(angle)) * oracle::pauli(p);
                    expect_levels(start, apply(u, start), 1e-12, [&](State& s, SimdLevel level) {
                        rotate_contiguous_active(s.re, s.im, d, rotation, sign, level);
                    });
                }
                if (k == 0) continue;
                // Every admissible pivot, not only the highest: the component plan keeps the
                // qubit the planner removes, wherever it sits in the component's order.
                const ActivePauliAction action(p);
                const uint64_t pivots = action.x_mask ? action.x_mask : action.z_mask;
                for (uint64_t pivot = 0; pivot < k; ++pivot) {
                    if (!((pivots >> pivot) & 1)) continue;
                    const Measurement m = Measurement::with_pivot(action, pivot);
                    const State start = random_state(rng, k);
                    const bool diagonal = m.kind == ActiveMeasurementKind::Diagonal;
                    double probability = 0;
                    for (const bool outcome : {false, true}) {
                        const std::vector<C> phi = apply(
                            C(0.5) * (oracle::identity(d) + C(outcome ? -1 : 1) * oracle::pauli(p)),
                            start);
                        probability = 0;
                        for (const C a : phi)
                            probability += std::norm(a);
                        const double scale = 1 / std::sqrt(probability);
                        std::vector<C> want;
                        for (uint64_t i = 0; i < d; ++i) {
                            const uint64_t j = i | (uint64_t{1} << m.pivot);
                            if (i == j) continue;
                            want.push_back(scale *
                                           (m.x_mask ? std::sqrt(2.0) * phi[i] : phi[i] + phi[j]));
                        }
                        std::vector<double> scratch_re(m.half_dimension),
                            scratch_im(m.half_dimension);
                        expect_levels(start, want, 1e-9, [&](State& s, SimdLevel level) {
                            if (diagonal)
                                return project_diagonal_contiguous(s.re, s.im, m, outcome, scale);
                            project_nondiagonal_contiguous(s.re, s.im, scratch_re, scratch_im, m,
                                                           outcome, scale, level);
                        });
                    }
                    const auto probability_of = diagonal ? diagonal_probability_contiguous
                                                         : nondiagonal_probability_contiguous;
                    const double scalar = probability_of(start.re, start.im, m, SimdLevel::Scalar);
                    EXPECT_NEAR(scalar, probability, 1e-12);
                    // Sums of at most 2^k nonnegative terms in two orders: each is within
                    // 2^k ulp-scale relative error of the exact sum.
                    EXPECT_NEAR(scalar, probability_of(start.re, start.im, m, SimdLevel::Vector),
                                2.0 * 32 * std::numeric_limits<double>::epsilon());
                }
            }
        }
        // The promoted qubit is the new top bit: a|psi> then i b|psi>.
        const State start = random_state(rng, k);
        std::vector<C> want(2 * d);
        for (uint64_t t = 0; t < d; ++t)
            want[t] = 0.6 * start.at(t), want[t + d] = C(0, -0.8) * start.at(t);
        expect_levels(start, want, 1e-15, [&](State& s, SimdLevel level) {
            promote_contiguous_active(s.re, s.im, d, 0.6, -0.8, level);
        });
    }
}

TEST(ContiguousTest, ProbabilityEdges) {
    const Measurement empty;  // no qubits: no pairs
    const Measurement z0 = Measurement::from_pauli(pauli_string("Z"));
    const Measurement x1 = Measurement::from_pauli(pauli_string("IX"));
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (const SimdLevel level : kLevels) {
        std::vector<double> re = {0.0, 1.0 + 1e-15}, im = {0.0, 0.0};
        EXPECT_EQ(diagonal_probability_contiguous(re, im, empty, level), 0.0);
        EXPECT_EQ(diagonal_probability_contiguous(re, im, z0, level), 1.0);
        // (|0> - |1>) on qubit 1, the -1 eigenstate of X there, with a norm just above 1.
        std::vector<double> re4 = {0.7072, 0.0, -0.7072, 0.0}, im4(4, 0.0), nan4(4, nan);
        EXPECT_EQ(nondiagonal_probability_contiguous(re4, im4, x1, level), 1.0);
        EXPECT_TRUE(std::isnan(nondiagonal_probability_contiguous(nan4, im4, x1, level)));
        EXPECT_TRUE(std::isnan(diagonal_probability_contiguous(nan4, im4, z0, level)));
        // A state shorter than the kernel's pairs is refused, not read past its end.
        std::vector<double> short_re(1), short_im(1);
        EXPECT_THROW(diagonal_probability_contiguous(short_re, short_im, z0, level), FatalError);
        EXPECT_THROW(rotate_contiguous_active(short_re, short_im, 2,
                                              Rotation(ActivePauliAction(pauli_string("X")), 1),
                                              false, level),
                     FatalError);
    }
}

}  // namespace
}  // namespace kelvo
