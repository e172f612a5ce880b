#include "sampler/contiguous.h"

#include <array>
#include <bit>
#include <cstring>

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

void check_z_free(const Rotation& r, uint64_t dimension, uint64_t length) {
    KELVO_ASSERT(
        is_pivot_of(r.x, r.pivot) && r.pivot < 63 && dimension % (uint64_t{2} << r.pivot) == 0,
        "active kernel does not match the active state");
    KELVO_ASSERT(dimension <= length, "active state index out of range");
}

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

// Amplitudes a diagonal run takes at a time: the run's factors are applied to eight
// independent amplitudes in turn, so that the products of one rotation do not wait for those
// of the rotation before it.
constexpr uint64_t kDiagonalBlock = 8;

// The factors of one diagonal rotation of a run for amplitudes i + l of a block (i a multiple
// of 8), its sign folded in: [popcount(i & z) mod 2][l].
struct FoldedDiagonal {
    uint64_t z;
    alignas(16) double c[2][kDiagonalBlock];
    alignas(16) double e[2][kDiagonalBlock];
};

FoldedDiagonal fold_diagonal(const PrecomputedActivePauliRotationKernel& kernel, unsigned sign) {
    const Rotation r = rotation_of(kernel);
    const DiagonalFactors k = diagonal_factors(r);
    FoldedDiagonal f;
    f.z = r.z;
    for (unsigned p = 0; p < 2; ++p) {
        for (uint64_t l = 0; l < kDiagonalBlock; ++l) {
            const unsigned q = p ^ sign ^ parity(l & r.z);
            f.c[p][l] = k.c[q];
            f.e[p][l] = k.e[q];
        }
    }
    return f;
}

// Each amplitude goes through the run's factors in order, with the operations of
// rotate_diagonal_scalar: the bits of one pass per rotation.
void rotate_diagonal_run_scalar(double* re, double* im, uint64_t d,
                                std::span<const FoldedDiagonal> run) {
    for (uint64_t i = 0; i < d; i += kDiagonalBlock) {
        double a[kDiagonalBlock], b[kDiagonalBlock];
        std::memcpy(a, re + i, sizeof a);
        std::memcpy(b, im + i, sizeof b);
        for (const FoldedDiagonal& f : run) {
            const unsigned q = parity(i & f.z);
            for (uint64_t l = 0; l < kDiagonalBlock; ++l) {
                const double na = f.c[q][l] * a[l] - f.e[q][l] * b[l];
                b[l] = f.e[q][l] * a[l] + f.c[q][l] * b[l];
                a[l] = na;
            }
        }
        std::memcpy(re + i, a, sizeof a);
        std::memcpy(im + i, b, sizeof b);
    }
}

void rotate_diagonal_run_vector(double* re, double* im, uint64_t d,
                                std::span<const FoldedDiagonal> run) {
    constexpr uint64_t kPairs = kDiagonalBlock / 2;
    for (uint64_t i = 0; i < d; i += kDiagonalBlock) {
        f64x2 a[kPairs], b[kPairs];
        for (uint64_t m = 0; m < kPairs; ++m)
            a[m] = simd::load(re + i + 2 * m), b[m] = simd::load(im + i + 2 * m);
        for (const FoldedDiagonal& f : run) {
            const unsigned q = parity(i & f.z);
            for (uint64_t m = 0; m < kPairs; ++m) {
                const f64x2 c = simd::load(f.c[q] + 2 * m), e = simd::load(f.e[q] + 2 * m);
                const f64x2 na = c * a[m] - e * b[m];
                b[m] = e * a[m] + c * b[m];
                a[m] = na;
            }
        }
        for (uint64_t m = 0; m < kPairs; ++m)
            simd::store(re + i + 2 * m, a[m]), simd::store(im + i + 2 * m, b[m]);
    }
}

// Consecutive diagonal kernels of a run in one pass over a state of d >= 8 amplitudes; bit r
// of `signs` is kernel r's sign.
void rotate_diagonal_run(double* re, double* im, uint64_t d,
                         std::span<const PrecomputedActivePauliRotationKernel* const> kernels,
                         uint32_t signs, bool vector) {
    std::array<FoldedDiagonal, kMaxRotationRun> run;
    for (uint64_t r = 0; r < kernels.size(); ++r)
        run[r] = fold_diagonal(*kernels[r], (signs >> r) & 1);
    const std::span<const FoldedDiagonal> folded = std::span(run).first(kernels.size());
    if (vector) return rotate_diagonal_run_vector(re, im, d, folded);
    rotate_diagonal_run_scalar(re, im, d, folded);
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

// The coefficients of a pair (i, j = i XOR x) of a general rotation: f s for a_i into a_j and
// f s' (s' = s (-1)^y_parity) for a_j into a_i, indexed by whether s is -1, that is
// popcount(i & z) odd XOR the sign bit.
struct GeneralFactors {
    double sr[2], si[2];  // f s
    double tr[2], ti[2];  // f s'
};

GeneralFactors general_factors(const Rotation& r) {
    const double yr = r.y_parity ? -r.f_re : r.f_re, yi = r.y_parity ? -r.f_im : r.f_im;
    return {{r.f_re, -r.f_re}, {r.f_im, -r.f_im}, {yr, -yr}, {yi, -yi}};
}

// ---- two z_free rotations in one pass ----
//
// Rotations A and B with pivots p_a != p_b pair every index with its partners under x_a, x_b
// and x_a XOR x_b: the quads {i, i ^ x_a, i ^ x_b, i ^ x_a ^ x_b}, one for each i with bits
// p_a and p_b clear. A on both of a quad's A pairs, then B on both of its B pairs, gives each
// amplitude the operations of a pass of A and then a pass of B.

// The z_free pair update of rotate_z_free_scalar on (u, v), in either lane type.
template <class V>
inline void z_free_pair(V& ur, V& um, V& vr, V& vm, V c, V w) {
    const V r = ur, m = um;
    ur = c * r - w * vm;
    um = c * m + w * vr;
    vr = c * vr - w * m;
    vm = c * vm + w * r;
}

// Calls visit(i) for every i below d with bits p and q clear, stepping by `step` (1, or 2
// when both bits are above bit 0).
template <class Visit>
void for_each_quad(uint64_t d, uint64_t p, uint64_t q, uint64_t step, Visit&& visit) {
    const uint64_t lo = uint64_t{1} << std::min(p, q), hi = uint64_t{1} << std::max(p, q);
    for (uint64_t a = 0; a < d; a += 2 * hi)
        for (uint64_t b = a; b < a + hi; b += 2 * lo)
            for (uint64_t i = b; i < b + lo; i += step)
                visit(i);
}

void rotate_z_free_pair_scalar(double* re, double* im, uint64_t d, const Rotation& a,
                               const Rotation& b, unsigned signs) {
    const double c[2] = {a.cos, b.cos};
    const double w[2] = {(signs & 1) ? -a.f_im : a.f_im, (signs & 2) ? -b.f_im : b.f_im};
    for_each_quad(d, a.pivot, b.pivot, 1, [&](uint64_t i) {
        const uint64_t ia = i ^ a.x, ib = i ^ b.x, iab = ia ^ b.x;
        z_free_pair(re[i], im[i], re[ia], im[ia], c[0], w[0]);
        z_free_pair(re[ib], im[ib], re[iab], im[iab], c[0], w[0]);
        z_free_pair(re[i], im[i], re[ib], im[ib], c[1], w[1]);
        z_free_pair(re[ia], im[ia], re[iab], im[iab], c[1], w[1]);
    });
}

// Lane l of each register holds index i + l, or that index's partner: the partner pair of
// (i, i + 1) under x starts at i ^ (x & ~1), lanes swapped when x is odd.
struct LanePair {
    uint64_t at;
    bool swap;
    void load(const double* re, const double* im, f64x2& r, f64x2& m) const {
        r = simd::load(re + at), m = simd::load(im + at);
        if (swap) r = simd::swap_lanes(r), m = simd::swap_lanes(m);
    }
    void store(double* re, double* im, f64x2 r, f64x2 m) const {
        if (swap) r = simd::swap_lanes(r), m = simd::swap_lanes(m);
        simd::store(re + at, r), simd::store(im + at, m);
    }
};

LanePair partner_pair(uint64_t i, uint64_t x) {
    return {i ^ (x & ~uint64_t{1}), (x & 1) != 0};
}

// Both pivots at least 1.
void rotate_z_free_pair_vector(double* re, double* im, uint64_t d, const Rotation& a,
                               const Rotation& b, unsigned signs) {
    const f64x2 ca = simd::splat(a.cos), cb = simd::splat(b.cos);
    const f64x2 wa = simd::splat((signs & 1) ? -a.f_im : a.f_im);
    const f64x2 wb = simd::splat((signs & 2) ? -b.f_im : b.f_im);
    for_each_quad(d, a.pivot, b.pivot, 2, [&](uint64_t i) {
        const LanePair p0{i, false}, pa = partner_pair(i, a.x), pb = partner_pair(i, b.x),
                                     pab = partner_pair(i, a.x ^ b.x);
        f64x2 r0, m0, ra, ma, rb, mb, rab, mab;
        p0.load(re, im, r0, m0);
        pa.load(re, im, ra, ma);
        pb.load(re, im, rb, mb);
        pab.load(re, im, rab, mab);
        z_free_pair(r0, m0, ra, ma, ca, wa);
        z_free_pair(rb, mb, rab, mab, ca, wa);
        z_free_pair(r0, m0, rb, mb, cb, wb);
        z_free_pair(ra, ma, rab, mab, cb, wb);
        p0.store(re, im, r0, m0);
        pa.store(re, im, ra, ma);
        pb.store(re, im, rb, mb);
        pab.store(re, im, rab, mab);
    });
}

void rotate_general_scalar(double* re, double* im, const Rotation& r, bool sign) {
    const double c = r.cos;
    const GeneralFactors k = general_factors(r);
    // The pairs in increasing i: blocks of 2^(p+1) indices, i in the lower half of each.
    const uint64_t h = uint64_t{1} << r.pivot;
    for (uint64_t b = 0; b < 2 * r.half; b += 2 * h) {
        for (uint64_t i = b; i < b + h; ++i) {
            const uint64_t j = i ^ r.x;
            const unsigned q = parity(i & r.z) ^ sign;
            const double ri = re[i], mi = im[i], rj = re[j], mj = im[j];
            re[i] = c * ri + (k.tr[q] * rj - k.ti[q] * mj);
            im[i] = c * mi + (k.tr[q] * mj + k.ti[q] * rj);
            re[j] = c * rj + (k.sr[q] * ri - k.si[q] * mi);
            im[j] = c * mj + (k.sr[q] * mi + k.si[q] * ri);
        }
    }
}

// The scalar form's operations on the lane pair (i, i + 1) and its partners, for a pivot of 1
// or more; with an odd x the partner of i is the odd member of its pair (as for z_free).
template <bool kSwap>
void rotate_general_blocks(double* re, double* im, const Rotation& r, bool sign) {
    const GeneralFactors k = general_factors(r);
    const f64x2 c = simd::splat(r.cos);
    // Indexed by the sign index of lane 0; lane 1's differs by bit 0 of z.
    const unsigned z0 = r.z & 1;
    f64x2 sr[2], si[2], tr[2], ti[2];
    for (unsigned q = 0; q < 2; ++q) {
        sr[q] = f64x2{k.sr[q], k.sr[q ^ z0]}, si[q] = f64x2{k.si[q], k.si[q ^ z0]};
        tr[q] = f64x2{k.tr[q], k.tr[q ^ z0]}, ti[q] = f64x2{k.ti[q], k.ti[q ^ z0]};
    }
    const uint64_t h = uint64_t{1} << r.pivot;
    const uint64_t xe = r.x & (h - 1) & ~uint64_t{1};
    for (uint64_t b = 0; b < 2 * r.half; b += 2 * h) {
        for (uint64_t t = 0; t < h; t += 2) {
            const uint64_t i = b + t, j = b + h + (t ^ xe);
            const unsigned q = parity(i & r.z) ^ sign;
            const f64x2 ri = simd::load(re + i), mi = simd::load(im + i);
            f64x2 rj = simd::load(re + j), mj = simd::load(im + j);
            if constexpr (kSwap) {
                rj = simd::swap_lanes(rj);
                mj = simd::swap_lanes(mj);
            }
            f64x2 nrj = c * rj + (sr[q] * ri - si[q] * mi);
            f64x2 nmj = c * mj + (sr[q] * mi + si[q] * ri);
            if constexpr (kSwap) {
                nrj = simd::swap_lanes(nrj);
                nmj = simd::swap_lanes(nmj);
            }
            simd::store(re + i, c * ri + (tr[q] * rj - ti[q] * mj));
            simd::store(im + i, c * mi + (tr[q] * mj + ti[q] * rj));
            simd::store(re + j, nrj);
            simd::store(im + j, nmj);
        }
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

// Entry t of the result goes to `out`, which may be the state itself when the pivot is the
// highest bit of x: then i >= t and j > i, so every later step reads above every entry
// written so far.
void project_nondiagonal_scalar(const double* re, const double* im, double* out_re, double* out_im,
                                const Measurement& m, bool outcome, double scale) {
    const PairFactors k = pair_factors(m);
    for (uint64_t t = 0; t < m.half; ++t) {
        const uint64_t i = insert_zero(t, m.pivot), j = i ^ m.x;
        const unsigned q = parity(i & m.z) ^ outcome;
        double r, s;
        kept_amplitude(k, q, re[i], im[i], re[j], im[j], r, s);
        out_re[t] = scale * r;
        out_im[t] = scale * s;
    }
}

void project_nondiagonal_vector(const double* re, const double* im, double* out_re, double* out_im,
                                const Measurement& m, bool outcome, double scale) {
    const PairLanes k = pair_lanes(pair_factors(m), m.z);
    const f64x2 vs = simd::splat(scale);
    for (uint64_t t = 0; t < m.half; t += 2) {
        const uint64_t i = insert_zero(t, m.pivot);
        const unsigned q = parity(i & m.z) ^ outcome;
        f64x2 rj, mj, r, s;
        load_partners(re, im, i, m.x, rj, mj);
        kept_lanes(k, q, simd::load(re + i), simd::load(im + i), rj, mj, r, s);
        simd::store(out_re + t, vs * r);
        simd::store(out_im + t, vs * s);
    }
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
        check_z_free(r, dimension, length);
        if (vector) return rotate_z_free_vector(re.data(), im.data(), dimension, r, sign_bit);
        return rotate_z_free_scalar(re.data(), im.data(), dimension, r, sign_bit);
    }
    KELVO_ASSERT(r.half == 0 || is_pivot_of(r.x, r.pivot),
                 "active kernel does not match the active state");
    check_pair_sweep(r.half, r.pivot, length);
    // Lanes of a pair share the same operations as the scalar form's: the same bits.
    if (level == SimdLevel::Vector && r.half != 0 && r.pivot >= 1) {
        if (r.x & 1) return rotate_general_blocks<true>(re.data(), im.data(), r, sign_bit);
        return rotate_general_blocks<false>(re.data(), im.data(), r, sign_bit);
    }
    rotate_general_scalar(re.data(), im.data(), r, sign_bit);
}

void rotate_contiguous_run(std::span<double> re, std::span<double> im, uint64_t dimension,
                           std::span<const PrecomputedActivePauliRotationKernel* const> kernels,
                           uint32_t signs, SimdLevel level) {
    KELVO_ASSERT(kernels.size() <= kMaxRotationRun, "rotation run is too long");
    const uint64_t length = std::min(re.size(), im.size());
    const bool vector =
        level == SimdLevel::Vector && dimension >= 2 && dimension % 2 == 0 && dimension <= length;
    for (uint64_t r = 0; r < kernels.size();) {
        uint64_t end = r;
        while (end < kernels.size() && kernels[end]->diagonal)
            ++end;
        if (end - r >= 2 && dimension % kDiagonalBlock == 0) {
            KELVO_ASSERT(dimension <= length, "active state index out of range");
            rotate_diagonal_run(re.data(), im.data(), dimension, kernels.subspan(r, end - r),
                                signs >> r, vector);
            r = end;
            continue;
        }
        if (r + 1 < kernels.size() && kernels[r]->z_free && kernels[r + 1]->z_free &&
            kernels[r]->pivot != kernels[r + 1]->pivot) {
            const Rotation a = rotation_of(*kernels[r]), b = rotation_of(*kernels[r + 1]);
            check_z_free(a, dimension, length);
            check_z_free(b, dimension, length);
            const unsigned pair_signs = (signs >> r) & 3;
            if (!vector) {
                rotate_z_free_pair_scalar(re.data(), im.data(), dimension, a, b, pair_signs);
                r += 2;
                continue;
            }
            if (a.pivot >= 1 && b.pivot >= 1) {
                rotate_z_free_pair_vector(re.data(), im.data(), dimension, a, b, pair_signs);
                r += 2;
                continue;
            }
        }
        rotate_contiguous_active(re, im, dimension, *kernels[r], (signs >> r) & 1, level);
        ++r;
    }
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
    const bool in_place = is_pivot_of(m.x, m.pivot);
    if (!in_place) {
        KELVO_ASSERT(m.half <= std::min(scratch_re.size(), scratch_im.size()),
                     "active state index out of range");
    }
    double* const out_re = in_place ? re.data() : scratch_re.data();
    double* const out_im = in_place ? im.data() : scratch_im.data();
    if (level == SimdLevel::Vector && m.pivot >= 1) {
        project_nondiagonal_vector(re.data(), im.data(), out_re, out_im, m, outcome, scale);
    } else {
        project_nondiagonal_scalar(re.data(), im.data(), out_re, out_im, m, outcome, scale);
    }
    if (!in_place) {
        std::memcpy(re.data(), out_re, m.half * sizeof(double));
        std::memcpy(im.data(), out_im, m.half * sizeof(double));
    }
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
