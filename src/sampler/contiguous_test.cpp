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

// A normalised random state of 2^k amplitudes followed by `spare` slots of junk.
State random_state(std::mt19937_64& rng, uint64_t k, uint64_t spare = 0) {
    std::normal_distribution<double> normal;
    State s;
    double norm = 0;
    for (uint64_t i = 0; i < (uint64_t{1} << k); ++i) {
        s.re.push_back(normal(rng));
        s.im.push_back(normal(rng));
        norm += s.re.back() * s.re.back() + s.im.back() * s.im.back();
    }
    for (uint64_t i = 0; i < s.re.size(); ++i) {
        s.re[i] /= std::sqrt(norm);
        s.im[i] /= std::sqrt(norm);
    }
    for (uint64_t i = 0; i < spare; ++i) {
        s.re.push_back(7.0 + i);
        s.im.push_back(-3.0 - i);
    }
    return s;
}

// A random Hermitian Pauli on k qubits whose X part is none, all or some.
PauliString random_pauli(std::mt19937_64& rng, uint64_t k, int x_kind, bool any_z = true) {
    const uint64_t all = (uint64_t{1} << k) - 1;
    PauliString p(k);
    if (k == 0) return p;
    uint64_t x = 0, z = any_z ? rng() & all : 0;
    if (x_kind == 1) x = all;
    if (x_kind == 2) x = (rng() & all) | (uint64_t{1} << (rng() % k));
    if (x_kind == 0 && z == 0) z = 1;
    p.x[0] = x;
    p.z[0] = z;
    p.phase = static_cast<uint8_t>((std::popcount(x & z) + 2 * (rng() & 1)) % 4);
    return p;
}

oracle::Mat dense(const PauliString& p) {
    return oracle::pauli(p.num_qubits, p.num_qubits ? p.x[0] : 0, p.num_qubits ? p.z[0] : 0,
                         p.phase);
}

std::vector<C> apply(const oracle::Mat& m, const State& s) {
    std::vector<C> out(m.dim);
    for (uint64_t r = 0; r < m.dim; ++r) {
        for (uint64_t c = 0; c < m.dim; ++c)
            out[r] += m.at(r, c) * s.at(c);
    }
    return out;
}

void expect_near(const State& got, const std::vector<C>& want, double tol = 1e-12) {
    for (uint64_t i = 0; i < want.size(); ++i)
        EXPECT_LT(std::abs(got.at(i) - want[i]), tol) << "index " << i;
}

TEST(ContiguousTest, RotationMatchesDenseExponentialUnderBothForms) {
    std::mt19937_64 rng(11);
    for (uint64_t k = 0; k <= 5; ++k) {
        for (int x_kind = 0; x_kind < 3; ++x_kind) {
            for (const bool z_free : {false, true}) {
                if (k == 0 && x_kind != 0) continue;
                const PauliString p = random_pauli(rng, k, x_kind, !z_free || x_kind == 0);
                const double theta = std::uniform_real_distribution<double>(-3, 3)(rng);
                const Rotation kernel(ActivePauliAction(p), theta);
                for (const bool sign : {false, true}) {
                    const State start = random_state(rng, k);
                    const double angle = sign ? -theta : theta;
                    const oracle::Mat u = C(std::cos(angle)) * oracle::identity(uint64_t{1} << k) +
                                          C(0, -std::sin(angle)) * dense(p);
                    State out[2] = {start, start};
                    for (int l = 0; l < 2; ++l) {
                        rotate_contiguous_active(out[l].re, out[l].im, start.re.size(), kernel,
                                                 sign, kLevels[l]);
                        expect_near(out[l], apply(u, start));
                    }
                    EXPECT_EQ(out[0].re, out[1].re) << p.str();
                    EXPECT_EQ(out[0].im, out[1].im) << p.str();
                }
            }
        }
    }
}

TEST(ContiguousTest, PromotionAppendsTheNewQubitAsTheTopBit) {
    std::mt19937_64 rng(12);
    for (uint64_t k = 0; k <= 4; ++k) {
        const State start = random_state(rng, k, uint64_t{1} << k);
        const uint64_t d = uint64_t{1} << k;
        const double a = 0.6, b = -0.8;
        State out[2] = {start, start};
        for (int l = 0; l < 2; ++l) {
            promote_contiguous_active(out[l].re, out[l].im, d, a, b, kLevels[l]);
            for (uint64_t t = 0; t < d; ++t) {
                EXPECT_EQ(out[l].at(t), a * start.at(t));
                EXPECT_EQ(out[l].at(t + d), C(0, b) * start.at(t));
            }
        }
        EXPECT_EQ(out[0].re, out[1].re);
        EXPECT_EQ(out[0].im, out[1].im);
    }
}

// The kept amplitudes after measuring P with `outcome`: the projected state restricted to the
// pivot-0 half (both halves for a Z product, where one of the pair is zero), renormalised.
std::vector<C> dense_projection(const PauliString& p, const Measurement& m, const State& s,
                                bool outcome, double& probability) {
    const uint64_t d = uint64_t{1} << p.num_qubits;
    const oracle::Mat proj = C(0.5) * (oracle::identity(d) + C(outcome ? -1 : 1) * dense(p));
    const std::vector<C> phi = apply(proj, s);
    probability = 0;
    for (const C a : phi)
        probability += std::norm(a);
    std::vector<C> kept;
    const double scale = 1 / std::sqrt(probability);
    for (uint64_t i = 0; i < d; ++i) {
        if ((i >> m.pivot) & 1) continue;
        const uint64_t j = i | (uint64_t{1} << m.pivot);
        kept.push_back(m.x_mask ? scale * std::sqrt(2.0) * phi[i] : scale * (phi[i] + phi[j]));
    }
    return kept;
}

TEST(ContiguousTest, ProjectionsAndProbabilitiesMatchTheDenseProjector) {
    std::mt19937_64 rng(13);
    for (uint64_t k = 1; k <= 5; ++k) {
        for (int x_kind = 0; x_kind < 3; ++x_kind) {
            for (int rep = 0; rep < 3; ++rep) {
                const PauliString p = random_pauli(rng, k, x_kind);
                const Measurement m = Measurement::from_pauli(p);
                const State start = random_state(rng, k);
                const bool diagonal = m.kind == ActiveMeasurementKind::Diagonal;
                double probability[2];
                for (const bool outcome : {false, true}) {
                    const std::vector<C> want =
                        dense_projection(p, m, start, outcome, probability[outcome]);
                    State out[2] = {start, start};
                    std::vector<double> scratch_re(m.half_dimension), scratch_im(m.half_dimension);
                    for (int l = 0; l < 2; ++l) {
                        const double scale = 1 / std::sqrt(probability[outcome]);
                        if (diagonal) {
                            project_diagonal_contiguous(out[l].re, out[l].im, m, outcome, scale);
                        } else {
                            project_nondiagonal_contiguous(out[l].re, out[l].im, scratch_re,
                                                           scratch_im, m, outcome, scale,
                                                           kLevels[l]);
                        }
                        expect_near(out[l], want, 1e-9);
                        for (uint64_t i = m.half_dimension; i < start.re.size(); ++i)
                            EXPECT_EQ(out[l].at(i), start.at(i));
                    }
                    EXPECT_EQ(out[0].re, out[1].re) << p.str();
                    EXPECT_EQ(out[0].im, out[1].im) << p.str();
                }
                const auto probability_of =
                    diagonal ? diagonal_probability_contiguous : nondiagonal_probability_contiguous;
                const double scalar = probability_of(start.re, start.im, m, SimdLevel::Scalar);
                const double vector = probability_of(start.re, start.im, m, SimdLevel::Vector);
                EXPECT_NEAR(scalar, probability[1], 1e-12) << p.str();
                // Sums of at most 2^k nonnegative terms in two orders: each is within
                // 2^k ulp-scale relative error of the exact sum.
                EXPECT_NEAR(scalar, vector, 2.0 * 32 * std::numeric_limits<double>::epsilon());
            }
        }
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
