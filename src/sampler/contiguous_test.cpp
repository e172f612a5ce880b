#include "sampler/contiguous.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include "errors.h"
#include "splitmix64.h"
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
    if (x_kind == 2) {
        const uint64_t some = rng() & all;  // drawn first: the operands of | are unsequenced
        x = some | (uint64_t{1} << (rng() % k));
    }
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

// ---- the bits of every kernel, pinned ----

// FNV-1a over the bit patterns of doubles.
struct BitDigest {
    uint64_t h = 0xcbf29ce484222325;
    void add(double v) {
        uint64_t bits;
        std::memcpy(&bits, &v, sizeof bits);
        for (int b = 0; b < 64; b += 8)
            h = (h ^ ((bits >> b) & 0xFF)) * 0x100000001b3;
    }
    void add(const State& s) {
        for (uint64_t i = 0; i < s.re.size(); ++i)
            add(s.re[i]), add(s.im[i]);
    }
};

// A Pauli drawn from `rng` with the X part none, all, one bit or some bits.
PauliString drawn_pauli(uint64_t& rng, uint64_t k, int x_kind, bool any_z) {
    const uint64_t all = (uint64_t{1} << k) - 1;
    PauliString p(k);
    uint64_t x = 0;
    if (x_kind == 1) x = all;
    if (x_kind == 2) x = uint64_t{1} << (splitmix64_next(rng) % k);
    if (x_kind == 3) {
        // Two draws, in a fixed order: the operands of | are unsequenced.
        const uint64_t some = splitmix64_next(rng) & all;
        x = some | (uint64_t{1} << (splitmix64_next(rng) % k));
    }
    uint64_t z = any_z ? splitmix64_next(rng) & all : 0;
    if (x == 0 && z == 0) z = 1;
    p.x[0] = x;
    p.z[0] = z;
    p.phase = static_cast<uint8_t>((std::popcount(x & z) + 2 * (splitmix64_next(rng) & 1)) % 4);
    return p;
}

// A rotation with exact constants (cos 0.6, sin 0.8): no libm in the pinned bits.
Rotation exact_rotation(const PauliString& p) {
    Rotation r(ActivePauliAction(p), 0.5);
    const Complex c = r.action.coefficient;
    r.cos_theta = 0.6;
    r.off_diagonal = {0.8 * c.im, -0.8 * c.re};
    return r;
}

// Every kernel, on states of 1 to 12 qubits, in sequences that include runs of diagonal and
// pair rotations, folded into one digest per level. The values were produced by the kernels
// as first written; a faster kernel must give the same bits.
uint64_t kernel_sequence_digest(SimdLevel level) {
    uint64_t rng = 2024;
    BitDigest digest;
    for (uint64_t k = 1; k <= 12; ++k) {
        const uint64_t d = uint64_t{1} << k;
        State s{std::vector<double>(2 * d), std::vector<double>(2 * d)};
        double norm = 0;
        for (uint64_t i = 0; i < d; ++i) {
            s.re[i] = 2 * splitmix64_uniform(rng) - 1, s.im[i] = 2 * splitmix64_uniform(rng) - 1;
            norm += s.re[i] * s.re[i] + s.im[i] * s.im[i];
        }
        for (uint64_t i = 0; i < d; ++i)
            s.re[i] /= std::sqrt(norm), s.im[i] /= std::sqrt(norm);
        for (uint64_t i = d; i < 2 * d; ++i)
            s.re[i] = 0.25 * static_cast<double>(i), s.im[i] = -0.5;
        for (int round = 0; round < 24; ++round) {
            const int x_kind = round < 6 ? 0 : round % 4;
            const Rotation r = exact_rotation(drawn_pauli(rng, k, x_kind, round % 3 != 1));
            rotate_contiguous_active(s.re, s.im, d, r, splitmix64_next(rng) & 1, level);
            digest.add(s);
        }
        for (int x_kind = 0; x_kind < 4; ++x_kind) {
            State t = s;
            const Measurement m = Measurement::from_pauli(drawn_pauli(rng, k, x_kind, true));
            const bool diagonal = m.kind == ActiveMeasurementKind::Diagonal;
            digest.add(diagonal ? diagonal_probability_contiguous(t.re, t.im, m, level)
                                : nondiagonal_probability_contiguous(t.re, t.im, m, level));
            std::vector<double> scratch_re(d), scratch_im(d);
            const bool outcome = splitmix64_next(rng) & 1;
            if (diagonal) {
                project_diagonal_contiguous(t.re, t.im, m, outcome, 1.25);
            } else {
                project_nondiagonal_contiguous(t.re, t.im, scratch_re, scratch_im, m, outcome, 1.25,
                                               level);
            }
            promote_contiguous_active(t.re, t.im, d / 2, 0.6, -0.8, level);
            digest.add(t);
        }
    }
    return digest.h;
}

// A run gives the bits of its kernels applied one by one: diagonal stretches, z_free pairs
// (equal pivots or not, pivot 0 or not) and everything else.
TEST(ContiguousTest, RotationRunMatchesSingleRotations) {
    uint64_t rng = 7;
    for (uint64_t k = 1; k <= 9; ++k) {
        const uint64_t d = uint64_t{1} << k;
        for (int trial = 0; trial < 6; ++trial) {
            std::vector<Rotation> rotations;
            // Trials alternate between mostly diagonal and mostly z_free runs.
            const bool diagonal_runs = trial % 2 == 0;
            for (uint64_t r = 0; r < kMaxRotationRun; ++r) {
                const bool diagonal = (splitmix64_next(rng) % 3 != 0) == diagonal_runs;
                const int x_kind = diagonal ? 0 : 1 + static_cast<int>(splitmix64_next(rng) % 3);
                const bool any_z = diagonal || splitmix64_next(rng) % 4 == 0;
                rotations.push_back(exact_rotation(drawn_pauli(rng, k, x_kind, any_z)));
            }
            std::vector<const Rotation*> kernels;
            for (const Rotation& r : rotations)
                kernels.push_back(&r);
            const uint64_t length = 1 + splitmix64_next(rng) % kMaxRotationRun;
            const uint32_t signs = static_cast<uint32_t>(splitmix64_next(rng));
            for (const SimdLevel level : kLevels) {
                State want{std::vector<double>(2 * d), std::vector<double>(2 * d)};
                for (uint64_t i = 0; i < 2 * d; ++i)
                    want.re[i] = splitmix64_uniform(rng), want.im[i] = splitmix64_uniform(rng);
                State got = want;
                for (uint64_t r = 0; r < length; ++r)
                    rotate_contiguous_active(want.re, want.im, d, rotations[r], (signs >> r) & 1,
                                             level);
                rotate_contiguous_run(got.re, got.im, d, std::span(kernels).first(length), signs,
                                      level);
                EXPECT_EQ(got.re, want.re) << "k " << k << " length " << length;
                EXPECT_EQ(got.im, want.im) << "k " << k << " length " << length;
            }
        }
    }
    std::vector<double> re(4), im(4);
    const Rotation z = exact_rotation(pauli_string("Z"));
    const std::vector<const Rotation*> too_many(kMaxRotationRun + 1, &z);
    EXPECT_THROW(rotate_contiguous_run(re, im, 2, too_many, 0), FatalError);
}

TEST(ContiguousTest, KernelsKeepTheirBits) {
    EXPECT_EQ(kernel_sequence_digest(SimdLevel::Scalar), 13556655738998584960u);
    EXPECT_EQ(kernel_sequence_digest(SimdLevel::Vector), 14718460561825766023u);
}

}  // namespace
}  // namespace kelvo
