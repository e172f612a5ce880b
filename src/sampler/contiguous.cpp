#include "sampler/contiguous.h"

#include <bit>

#include "errors.h"
#include "sampler/simd.h"

namespace kelvo {
namespace {

using simd::f64x2;
using simd::i64x2;

constexpr double kInvSqrt2 = 0.7071067811865476;

inline unsigned parity(uint64_t v) {
    return static_cast<unsigned>(std::popcount(v) & 1);
}

// t with a zero bit inserted at position p: for t < H this walks every index whose bit p is
// clear, in increasing order.
inline uint64_t insert_zero(uint64_t t, uint64_t p) {
    const uint64_t low = (uint64_t{1} << p) - 1;
    return (t & low) | ((t & ~low) << 1);
}

// The fields of a rotation kernel the sweeps read.
struct Rotation {
    uint64_t x;
    uint64_t z;
    double cos;
    double f_re;
    double f_im;
    uint64_t half;
    unsigned pivot;
    bool y_parity;
};

Rotation rotation_of(const PrecomputedActivePauliRotationKernel& k) {
    return {k.action.x_mask,   k.action.z_mask,  k.cos_theta, k.off_diagonal.re,
            k.off_diagonal.im, k.half_dimension, k.pivot,     k.action.y_parity};
}

// The fields of a measurement kernel the sweeps read.
struct Measurement {
    uint64_t x;
    uint64_t z;
    uint64_t rest;
    double g_re;
    double g_im;
    uint64_t half;
    uint64_t pivot;
    bool negative;
};

Measurement measurement_of(const PrecomputedActivePauliMeasurementKernel& k) {
    return {k.x_mask,         k.z_mask, k.rest_mask, k.scaled_conjugate.re, k.scaled_conjugate.im,
            k.half_dimension, k.pivot,  k.negative};
}

// A rotation's pairs are walked in blocks below its pivot, the highest bit of x.
bool is_pivot_of(uint64_t x, uint64_t p) {
    return p < 64 && (x >> p) == 1;
}

// A measurement may pivot on any bit of x: the component plan keeps the qubit the planner
// removes, which need not be the highest in the component's local order. The pair sweeps
// (i with bit p clear, partner i XOR x) hold for any such pivot.
bool is_measurement_pivot_of(uint64_t x, uint64_t p) {
    return p < 64 && ((x >> p) & 1) == 1;
}

// Index ranges of a sweep over H pairs split at pivot p: every index stays below 2H <= length.
void check_pair_sweep(uint64_t half, uint64_t p, uint64_t length) {
    if (half == 0) return;
    KELVO_ASSERT(std::has_single_bit(half) && p < 63 && (uint64_t{1} << p) <= half,
                 "active kernel does not match the active state");
    KELVO_ASSERT(half <= length / 2, "active state index out of range");
}

// ---- rotations ----

// Diagonal factor cos + s f for s = +1 (index 0) and s = -1 (index 1).
struct DiagonalFactors {
    double c[2];
    double e[2];
};

DiagonalFactors diagonal_factors(const Rotation& r) {
    return {{r.cos + r.f_re, r.cos - r.f_re}, {r.f_im, -r.f_im}};
}

void rotate_diagonal_scalar(double* re, double* im, uint64_t d, const Rotation& r, bool sign) {
    const DiagonalFactors k = diagonal_factors(r);
    for (uint64_t i = 0; i < d; ++i) {
        const unsigned q = parity(i & r.z) ^ sign;
        const double a = re[i], b = im[i];
        re[i] = k.c[q] * a - k.e[q] * b;
        im[i] = k.e[q] * a + k.c[q] * b;
    }
}

void rotate_diagonal_vector(double* re, double* im, uint64_t d, const Rotation& r, bool sign) {
    const DiagonalFactors k = diagonal_factors(r);
    // Lane 1 (index i + 1, i even) differs from lane 0 only in bit 0 of the parity.
    const unsigned z0 = r.z & 1;
    const f64x2 c[2] = {{k.c[0], k.c[z0]}, {k.c[1], k.c[1 ^ z0]}};
    const f64x2 e[2] = {{k.e[0], k.e[z0]}, {k.e[1], k.e[1 ^ z0]}};
    for (uint64_t i = 0; i < d; i += 2) {
        const unsigned q = parity(i & r.z) ^ sign;
        const f64x2 a = simd::load(re + i), b = simd::load(im + i);
        simd::store(re + i, c[q] * a - e[q] * b);
        simd::store(im + i, e[q] * a + c[q] * b);
    }
}

void rotate_z_free_scalar(double* re, double* im, uint64_t d, const Rotation& r, bool sign) {
    const double w = sign ? -r.f_im : r.f_im;
    const double c = r.cos;
    const uint64_t h = uint64_t{1} << r.pivot;
    for (uint64_t b = 0; b < d; b += 2 * h) {
        for (uint64_t t = 0; t < h; ++t) {
            const uint64_t i = b + t, j = i ^ r.x;
            const double ri = re[i], mi = im[i], rj = re[j], mj = im[j];
            re[i] = c * ri - w * mj;
            im[i] = c * mi + w * rj;
            re[j] = c * rj - w * mi;
            im[j] = c * mj + w * ri;
        }
    }
}

// Pairs (i, i + 1) and (j, j + 1) of one block; with an odd x the partner of i is j + 1.
template <bool kSwap>
void rotate_z_free_blocks(double* re, double* im, uint64_t d, const Rotation& r, f64x2 c, f64x2 w) {
    const uint64_t h = uint64_t{1} << r.pivot;
    const uint64_t xe = r.x & (h - 1) & ~uint64_t{1};
    for (uint64_t b = 0; b < d; b += 2 * h) {
        for (uint64_t t = 0; t < h; t += 2) {
            const uint64_t i = b + t, j = b + h + (t ^ xe);
            const f64x2 ri = simd::load(re + i), mi = simd::load(im + i);
            f64x2 rj = simd::load(re + j), mj = simd::load(im + j);
            if constexpr (kSwap) {
                rj = simd::swap_lanes(rj);
                mj = simd::swap_lanes(mj);
            }
            f64x2 nrj = c * rj - w * mi, nmj = c * mj + w * ri;
            if constexpr (kSwap) {
                nrj = simd::swap_lanes(nrj);
                nmj = simd::swap_lanes(nmj);
            }
            simd::store(re + i, c * ri - w * mj);
            simd::store(im + i, c * mi + w * rj);
            simd::store(re + j, nrj);
            simd::store(im + j, nmj);
        }
    }
}

void rotate_z_free_vector(double* re, double* im, uint64_t d, const Rotation& r, bool sign) {
    const f64x2 w = simd::splat(sign ? -r.f_im : r.f_im);
    const f64x2 c = simd::splat(r.cos);
    if (r.pivot == 0) {
        // x = 1: both members of a pair sit in one register.
        for (uint64_t i = 0; i < d; i += 2) {
            const f64x2 a = simd::load(re + i), b = simd::load(im + i);
            simd::store(re + i, c * a - w * simd::swap_lanes(b));
            simd::store(im + i, c * b + w * simd::swap_lanes(a));
        }
    } else if (r.x & 1) {
        rotate_z_free_blocks<true>(re, im, d, r, c, w);
    } else {
        rotate_z_free_blocks<false>(re, im, d, r, c, w);
    }
}

void rotate_general(double* re, double* im, const Rotation& r, bool sign) {
    const double c = r.cos;
    for (uint64_t t = 0; t < r.half; ++t) {
        const uint64_t i = insert_zero(t, r.pivot), j = i ^ r.x;
        const bool negative = parity(i & r.z) != static_cast<unsigned>(sign);
        // f times s (for a_j into a_i) and s' = s (-1)^y_parity (for a_i into a_j).
        const double sfr = negative ? -r.f_re : r.f_re, sfi = negative ? -r.f_im : r.f_im;
        const double tfr = r.y_parity ? -sfr : sfr, tfi = r.y_parity ? -sfi : sfi;
        const double ri = re[i], mi = im[i], rj = re[j], mj = im[j];
        re[i] = c * ri + (tfr * rj - tfi * mj);
        im[i] = c * mi + (tfr * mj + tfi * rj);
        re[j] = c * rj + (sfr * ri - sfi * mi);
        im[j] = c * mj + (sfr * mi + sfi * ri);
    }
}

// ---- promotion ----

void promote_scalar(double* re, double* im, uint64_t d, double a, double b) {
    for (uint64_t t = 0; t < d; ++t) {
        const double r = re[t], m = im[t];
        re[t] = a * r;
        im[t] = a * m;
        re[t + d] = -b * m;
        im[t + d] = b * r;
    }
}

void promote_vector(double* re, double* im, uint64_t d, double a, double b) {
    const f64x2 va = simd::splat(a), vb = simd::splat(b), vnb = simd::splat(-b);
    for (uint64_t t = 0; t < d; t += 2) {
        const f64x2 r = simd::load(re + t), m = simd::load(im + t);
        simd::store(re + t, va * r);
        simd::store(im + t, va * m);
        simd::store(re + t + d, vnb * m);
        simd::store(im + t + d, vb * r);
    }
}

// ---- projections and probabilities ----

// Coefficient s g of a pair for s = +1 (index 0) and s = -1 (index 1).
struct PairFactors {
    double gr[2];
    double gi[2];
};

PairFactors pair_factors(const Measurement& m) {
    return {{m.g_re, -m.g_re}, {m.g_im, -m.g_im}};
}

// Lane coefficients of the pair (i, i + 1), indexed by the sign index of lane 0.
struct PairLanes {
    f64x2 gr[2];
    f64x2 gi[2];
};

PairLanes pair_lanes(const PairFactors& k, uint64_t z) {
    const unsigned z0 = z & 1;
    PairLanes lanes;
    for (unsigned q = 0; q < 2; ++q) {
        lanes.gr[q] = f64x2{k.gr[q], k.gr[q ^ z0]};
        lanes.gi[q] = f64x2{k.gi[q], k.gi[q ^ z0]};
    }
    return lanes;
}

// a_i / sqrt 2 + s g a_j, split in parts; s is given by its index q.
inline void kept_amplitude(const PairFactors& k, unsigned q, double ri, double mi, double rj,
                           double mj, double& out_re, double& out_im) {
    out_re = (k.gr[q] * rj + ri * kInvSqrt2) - k.gi[q] * mj;
    out_im = (k.gi[q] * rj + k.gr[q] * mj) + mi * kInvSqrt2;
}

inline void kept_lanes(const PairLanes& k, unsigned q, f64x2 ri, f64x2 mi, f64x2 rj, f64x2 mj,
                       f64x2& out_re, f64x2& out_im) {
    const f64x2 r2 = simd::splat(kInvSqrt2);
    out_re = (k.gr[q] * rj + ri * r2) - k.gi[q] * mj;
    out_im = (k.gi[q] * rj + k.gr[q] * mj) + mi * r2;
}

// Loads the partner pair of (i, i + 1) in lane order: with an odd x the partner of i is the
// odd member of its pair.
inline void load_partners(const double* re, const double* im, uint64_t i, uint64_t x, f64x2& rj,
                          f64x2& mj) {
    const uint64_t j = i ^ (x & ~uint64_t{1});
    rj = simd::load(re + j);
    mj = simd::load(im + j);
    if (x & 1) {
        rj = simd::swap_lanes(rj);
        mj = simd::swap_lanes(mj);
    }
}

void project_diagonal(double* re, double* im, const Measurement& m, bool outcome, double scale) {
    const unsigned v = static_cast<unsigned>(m.negative) ^ outcome;
    for (uint64_t t = 0; t < m.half; ++t) {
        const uint64_t base = insert_zero(t, m.pivot);
        const uint64_t src = base | (uint64_t{parity(base & m.rest) ^ v} << m.pivot);
        re[t] = scale * re[src];
        im[t] = scale * im[src];
    }
}

void project_nondiagonal_scalar(double* re, double* im, double* sre, double* sim,
                                const Measurement& m, bool outcome, double scale) {
    const PairFactors k = pair_factors(m);
    for (uint64_t t = 0; t < m.half; ++t) {
        const uint64_t i = insert_zero(t, m.pivot), j = i ^ m.x;
        const unsigned q = parity(i & m.z) ^ outcome;
        double r, s;
        kept_amplitude(k, q, re[i], im[i], re[j], im[j], r, s);
        sre[t] = scale * r;
        sim[t] = scale * s;
    }
    std::memcpy(re, sre, m.half * sizeof(double));
    std::memcpy(im, sim, m.half * sizeof(double));
}

void project_nondiagonal_vector(double* re, double* im, double* sre, double* sim,
                                const Measurement& m, bool outcome, double scale) {
    const PairLanes k = pair_lanes(pair_factors(m), m.z);
    const f64x2 vs = simd::splat(scale);
    for (uint64_t t = 0; t < m.half; t += 2) {
        const uint64_t i = insert_zero(t, m.pivot);
        const unsigned q = parity(i & m.z) ^ outcome;
        f64x2 rj, mj, r, s;
        load_partners(re, im, i, m.x, rj, mj);
        kept_lanes(k, q, simd::load(re + i), simd::load(im + i), rj, mj, r, s);
        simd::store(sre + t, vs * r);
        simd::store(sim + t, vs * s);
    }
    std::memcpy(re, sre, m.half * sizeof(double));
    std::memcpy(im, sim, m.half * sizeof(double));
}

// Clamped to [0, 1]; a NaN passes through for the caller to report.
double clamp_probability(double p) {
    if (p < 0.0) return 0.0;
    if (p > 1.0) return 1.0;
    return p;
}

double diagonal_probability_scalar(const double* re, const double* im, const Measurement& m) {
    const unsigned v = static_cast<unsigned>(m.negative) ^ 1;
    double sum = 0.0;
    for (uint64_t t = 0; t < m.half; ++t) {
        const uint64_t base = insert_zero(t, m.pivot);
        const uint64_t src = base | (uint64_t{parity(base & m.rest) ^ v} << m.pivot);
        sum += re[src] * re[src] + im[src] * im[src];
    }
    return clamp_probability(sum);
}

// Sum of step(0), ..., step(n - 1) in four accumulators fed in turn, combined as
// ((a0 + a1) + a2) + a3 and then lane 0 + lane 1.
template <class Step>
double accumulate(uint64_t n, const Step& step) {
    f64x2 a0 = {}, a1 = {}, a2 = {}, a3 = {};
    uint64_t s = 0;
    for (; s + 4 <= n; s += 4) {
        a0 += step(s);
        a1 += step(s + 1);
        a2 += step(s + 2);
        a3 += step(s + 3);
    }
    if (s < n) a0 += step(s++);
    if (s < n) a1 += step(s++);
    if (s < n) a2 += step(s++);
    return simd::sum_lanes(((a0 + a1) + a2) + a3);
}

double diagonal_probability_vector(const double* re, const double* im, const Measurement& m) {
    // Every index whose eigenvalue is -1 (parity XOR negative set), selected by a lane mask
    // instead of enumerated; indexed by the parity of lane 0.
    const unsigned z0 = m.z & 1, neg = m.negative;
    const auto all = [](unsigned bit) { return -static_cast<int64_t>(bit & 1); };
    const i64x2 mask[2] = {{all(neg), all(neg ^ z0)}, {all(neg ^ 1), all(neg ^ 1 ^ z0)}};
    return clamp_probability(accumulate(m.half, [&](uint64_t step) {
        const uint64_t i = 2 * step;
        const f64x2 r = simd::load(re + i), s = simd::load(im + i);
        return simd::keep_lanes(r * r + s * s, mask[parity(i & m.z)]);
    }));
}

double nondiagonal_probability_scalar(const double* re, const double* im, const Measurement& m) {
    const PairFactors k = pair_factors(m);
    double sum = 0.0;
    for (uint64_t t = 0; t < m.half; ++t) {
        const uint64_t i = insert_zero(t, m.pivot), j = i ^ m.x;
        const unsigned q = parity(i & m.z) ^ 1;
        double r, s;
        kept_amplitude(k, q, re[i], im[i], re[j], im[j], r, s);
        sum += r * r + s * s;
    }
    return clamp_probability(sum);
}

double nondiagonal_probability_vector(const double* re, const double* im, const Measurement& m) {
    const PairLanes k = pair_lanes(pair_factors(m), m.z);
    return clamp_probability(accumulate(m.half / 2, [&](uint64_t step) {
        const uint64_t i = insert_zero(2 * step, m.pivot);
        f64x2 rj, mj, r, s;
        load_partners(re, im, i, m.x, rj, mj);
        kept_lanes(k, parity(i & m.z) ^ 1, simd::load(re + i), simd::load(im + i), rj, mj, r, s);
        return r * r + s * s;
    }));
}

}  // namespace

void rotate_contiguous_active(std::span<double> re, std::span<double> im, uint64_t dimension,
                              const PrecomputedActivePauliRotationKernel& kernel, bool sign_bit,
                              SimdLevel level) {
    const Rotation r = rotation_of(kernel);
    const uint64_t length = std::min(re.size(), im.size());
    const bool vector =
        level == SimdLevel::Vector && dimension >= 2 && dimension % 2 == 0 && dimension <= length;
    if (kernel.diagonal) {
        KELVO_ASSERT(dimension <= length, "active state index out of range");
        if (vector) return rotate_diagonal_vector(re.data(), im.data(), dimension, r, sign_bit);
        return rotate_diagonal_scalar(re.data(), im.data(), dimension, r, sign_bit);
    }
    if (kernel.z_free) {
        KELVO_ASSERT(
            is_pivot_of(r.x, r.pivot) && r.pivot < 63 && dimension % (uint64_t{2} << r.pivot) == 0,
            "active kernel does not match the active state");
        KELVO_ASSERT(dimension <= length, "active state index out of range");
        if (vector) return rotate_z_free_vector(re.data(), im.data(), dimension, r, sign_bit);
        return rotate_z_free_scalar(re.data(), im.data(), dimension, r, sign_bit);
    }
    KELVO_ASSERT(r.half == 0 || is_pivot_of(r.x, r.pivot),
                 "active kernel does not match the active state");
    check_pair_sweep(r.half, r.pivot, length);
    rotate_general(re.data(), im.data(), r, sign_bit);
}

void promote_contiguous_active(std::span<double> re, std::span<double> im, uint64_t dimension,
                               double a, double b, SimdLevel level) {
    const uint64_t length = std::min(re.size(), im.size());
    KELVO_ASSERT(dimension <= length / 2, "active state index out of range");
    if (level == SimdLevel::Vector && dimension >= 2 && dimension % 2 == 0)
        return promote_vector(re.data(), im.data(), dimension, a, b);
    promote_scalar(re.data(), im.data(), dimension, a, b);
}

void project_diagonal_contiguous(std::span<double> re, std::span<double> im,
                                 const PrecomputedActivePauliMeasurementKernel& kernel,
                                 bool outcome, double scale) {
    const Measurement m = measurement_of(kernel);
    check_pair_sweep(m.half, m.pivot, std::min(re.size(), im.size()));
    project_diagonal(re.data(), im.data(), m, outcome, scale);
}

void project_nondiagonal_contiguous(std::span<double> re, std::span<double> im,
                                    std::span<double> scratch_re, std::span<double> scratch_im,
                                    const PrecomputedActivePauliMeasurementKernel& kernel,
                                    bool outcome, double scale, SimdLevel level) {
    const Measurement m = measurement_of(kernel);
    KELVO_ASSERT(m.half == 0 || is_measurement_pivot_of(m.x, m.pivot),
                 "active kernel does not match the active state");
    check_pair_sweep(m.half, m.pivot, std::min(re.size(), im.size()));
    KELVO_ASSERT(m.half <= std::min(scratch_re.size(), scratch_im.size()),
                 "active state index out of range");
    if (level == SimdLevel::Vector && m.pivot >= 1) {
        return project_nondiagonal_vector(re.data(), im.data(), scratch_re.data(),
                                          scratch_im.data(), m, outcome, scale);
    }
    project_nondiagonal_scalar(re.data(), im.data(), scratch_re.data(), scratch_im.data(), m,
                               outcome, scale);
}

double diagonal_probability_contiguous(std::span<const double> re, std::span<const double> im,
                                       const PrecomputedActivePauliMeasurementKernel& kernel,
                                       SimdLevel level) {
    const Measurement m = measurement_of(kernel);
    const uint64_t length = std::min(re.size(), im.size());
    check_pair_sweep(m.half, m.pivot, length);
    if (m.half == 0) return 0.0;
    if (level == SimdLevel::Vector && m.half <= length / 2 && m.pivot <= 62 &&
        ((m.z >> m.pivot) & 1)) {
        return diagonal_probability_vector(re.data(), im.data(), m);
    }
    return diagonal_probability_scalar(re.data(), im.data(), m);
}

double nondiagonal_probability_contiguous(std::span<const double> re, std::span<const double> im,
                                          const PrecomputedActivePauliMeasurementKernel& kernel,
                                          SimdLevel level) {
    const Measurement m = measurement_of(kernel);
    KELVO_ASSERT(m.half == 0 || is_measurement_pivot_of(m.x, m.pivot),
                 "active kernel does not match the active state");
    check_pair_sweep(m.half, m.pivot, std::min(re.size(), im.size()));
    if (m.half == 0) return 0.0;
    if (level == SimdLevel::Vector && m.pivot >= 1)
        return nondiagonal_probability_vector(re.data(), im.data(), m);
    return nondiagonal_probability_scalar(re.data(), im.data(), m);
}

}  // namespace kelvo
