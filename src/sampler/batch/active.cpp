#include "sampler/batch/active.h"

#include <algorithm>
#include <bit>
#include <cmath>

#include "bits.h"
#include "errors.h"
#include "format.h"
#include "sampler/batch/symbols.h"
#include "sampler/contiguous.h"
#include "splitmix64.h"

namespace kelvo {
namespace {

constexpr double kInvSqrt2 = 0.7071067811865476;
constexpr const char* kTooLarge = "active qubit count is too large for machine basis indices";
constexpr const char* kNotAProbability = "probability must be between 0 and 1";

inline uint64_t parity(uint64_t v) {
    return static_cast<uint64_t>(std::popcount(v) & 1);
}

inline uint64_t insert_zero(uint64_t t, uint64_t p) {
    const uint64_t low = (uint64_t{1} << p) - 1;
    return (t & low) | ((t & ~low) << 1);
}

// A missing word reads as zeros.
inline bool bit_of(std::span<const uint64_t> bits, uint64_t s) {
    return s / 64 < bits.size() && ((bits[s / 64] >> (s % 64)) & 1);
}

KelvoError invalid(const char* message) {
    return KelvoError::invalid_input(message);
}

// The amplitudes of one layout, with the extents every kernel here relies on checked once.
struct Amplitudes {
    double* re;
    double* im;
    uint64_t stride;  // basis-major: T; shot-major: B
};

// Basis-major: `rows` rows of T entries.
Amplitudes basis_rows(std::vector<double>& re, std::vector<double>& im, uint64_t stride,
                      uint64_t rows) {
    KELVO_ASSERT(rows <= std::min(re.size(), im.size()) / std::max<uint64_t>(stride, 1),
                 "batch active storage index out of range");
    return {re.data(), im.data(), stride};
}

// Shot-major: the first `shots` blocks of B entries, each holding `dimension` amplitudes.
Amplitudes shot_blocks(std::vector<double>& re, std::vector<double>& im, uint64_t block,
                       uint64_t shots, uint64_t dimension) {
    KELVO_ASSERT(dimension <= block &&
                     shots <= std::min(re.size(), im.size()) / std::max<uint64_t>(block, 1),
                 "batch active storage index out of range");
    return {re.data(), im.data(), block};
}

std::span<double> block_of(double* base, uint64_t block, uint64_t s) {
    return {base + s * block, block};
}

void check_live_scalars(const std::vector<double>& scalars, uint64_t count) {
    KELVO_ASSERT(count <= scalars.size(), "per-shot scalars index out of range");
}

// `branch` grown to the batch's words and cleared, ready for one bit per live shot.
void clear_branch(std::vector<uint64_t>& branch, uint64_t words) {
    if (branch.size() < words) branch.resize(words);
    std::ranges::fill(branch, 0);
}

void set_branch(std::vector<uint64_t>& branch, uint64_t s) {
    branch[s / 64] |= uint64_t{1} << (s % 64);
}

struct Branch {
    bool outcome;
    double kept;  // probability of the branch taken
};

double clamp_probability(double p) {
    if (p < 0) return 0;
    if (p > 1) return 1;
    if (!(p >= 0 && p <= 1)) throw invalid(kNotAProbability);
    return p;
}

// One draw from `rng` when 0 < p < 1; true iff u < p.
Branch draw_branch(double probability, uint64_t& rng) {
    const double p = clamp_probability(probability);
    Branch b;
    if (p <= 0) {
        b = {false, 1 - p};
    } else if (p >= 1) {
        b = {true, p};
    } else {
        const bool outcome = splitmix64_uniform(rng) < p;
        b = {outcome, outcome ? p : 1 - p};
    }
    if (b.kept <= 0) throw invalid("sampled an impossible active measurement branch");
    return b;
}

// A branch forced by a pinned parity; only a fair coin may be pinned without bias.
Branch pinned_branch(double probability, bool outcome) {
    const double p = clamp_probability(probability);
    if (std::abs(p - 0.5) > 1e-9) {
        throw KelvoError::invalid_input("pinned measurement branch has probability " +
                                        format_float(p) +
                                        ", not one half; pinning it would bias sampling");
    }
    const Branch b{outcome, outcome ? p : 1 - p};
    if (b.kept <= 0) {
        throw invalid("pinned measurement parity forces an active branch the state cannot take");
    }
    return b;
}

void check_measurement(const BatchFactoredExecutorState& state,
                       const PrecomputedActivePauliMeasurementKernel& kernel) {
    if (state.active_qubits == 0) throw invalid("cannot measure an active Pauli when k == 0");
    if (kernel.k != state.active_qubits) {
        throw invalid("measurement kernel dimension does not match batch active state");
    }
}

double contiguous_probability(std::span<const double> re, std::span<const double> im,
                              const PrecomputedActivePauliMeasurementKernel& kernel,
                              SimdLevel level) {
    return kernel.kind == ActiveMeasurementKind::Diagonal
               ? diagonal_probability_contiguous(re, im, kernel, level)
               : nondiagonal_probability_contiguous(re, im, kernel, level);
}

void project_contiguous(std::span<double> re, std::span<double> im, std::span<double> scratch_re,
                        std::span<double> scratch_im,
                        const PrecomputedActivePauliMeasurementKernel& kernel, bool outcome,
                        double scale, SimdLevel level) {
    if (kernel.kind == ActiveMeasurementKind::Diagonal) {
        project_diagonal_contiguous(re, im, kernel, outcome, scale);
    } else {
        project_nondiagonal_contiguous(re, im, scratch_re, scratch_im, kernel, outcome, scale,
                                       level);
    }
}

// Basis-major diagonal rotation: a <- (cos theta + pi m_s f) a, pi = (-1)^popcount(b & z).
void rotate_diagonal_batch(BatchFactoredExecutorState& state,
                           const PrecomputedActivePauliRotationKernel& kernel,
                           std::span<const uint64_t> sign_bits) {
    const uint64_t live = state.live_shots, dimension = uint64_t{1} << state.active_qubits;
    const Amplitudes a =
        basis_rows(state.amplitude_re, state.amplitude_im, state.shot_stride, dimension);
    fill_shot_coefficient_scalars(state.shot_scalars_a, live, state.shot_stride, sign_bits);
    const double* m = state.shot_scalars_a.data();
    const double c = kernel.cos_theta, fr = kernel.off_diagonal.re, fi = kernel.off_diagonal.im;
    for (uint64_t b = 0; b < dimension; ++b) {
        const double pi = parity(b & kernel.action.z_mask) ? -1.0 : 1.0;
        double* re = a.re + b * a.stride;
        double* im = a.im + b * a.stride;
        for (uint64_t s = 0; s < live; ++s) {
            const double sign = pi * m[s];
            const double dr = c + sign * fr, di = sign * fi;
            const double r = re[s], i = im[s];
            re[s] = dr * r - di * i;
            im[s] = di * r + dr * i;
        }
    }
}

void project_diagonal_batch(BatchFactoredExecutorState& state,
                            const PrecomputedActivePauliMeasurementKernel& kernel,
                            std::span<const uint64_t> branch) {
    const uint64_t live = state.live_shots;
    const Amplitudes a = basis_rows(state.amplitude_re, state.amplitude_im, state.shot_stride,
                                    2 * kernel.half_dimension);
    const double* scales = state.shot_scalars_c.data();
    const uint64_t flip = uint64_t{1} << kernel.pivot;
    // Rows are read at src >= t, never below a row already written.
    for (uint64_t t = 0; t < kernel.half_dimension; ++t) {
        const uint64_t base = insert_zero(t, kernel.pivot);
        const uint64_t src =
            base | ((kernel.negative ^ parity(base & kernel.rest_mask)) << kernel.pivot);
        double* re = a.re + t * a.stride;
        double* im = a.im + t * a.stride;
        const double* src_re[2] = {a.re + src * a.stride, a.re + (src ^ flip) * a.stride};
        const double* src_im[2] = {a.im + src * a.stride, a.im + (src ^ flip) * a.stride};
        for (uint64_t s = 0; s < live; ++s) {
            const bool b = bit_of(branch, s);
            re[s] = scales[s] * src_re[b][s];
            im[s] = scales[s] * src_im[b][s];
        }
    }
}

}  // namespace

void fill_shot_coefficient_scalars(std::vector<double>& coefficients, uint64_t live,
                                   uint64_t length, std::span<const uint64_t> bits) {
    if (coefficients.size() < length) coefficients.resize(length, 0.0);
    check_live_scalars(coefficients, live);
    for (uint64_t s = 0; s < live; ++s)
        coefficients[s] = bit_of(bits, s) ? -1.0 : 1.0;
}

void rotate_pauli_batch(BatchFactoredExecutorState& state,
                        const PrecomputedActivePauliRotationKernel& kernel,
                        std::span<const uint64_t> sign_bits) {
    const uint64_t k = state.active_qubits, live = state.live_shots;
    if (kernel.action.k != k) {
        throw invalid("rotation kernel dimension does not match batch active state");
    }
    if (k >= 62) throw invalid(kTooLarge);
    const uint64_t dimension = uint64_t{1} << k;
    const SimdLevel level = simd_level();
    if (state.shot_major) {
        const Amplitudes a = shot_blocks(state.amplitude_re, state.amplitude_im,
                                         state.basis_capacity, live, dimension);
        for (uint64_t s = 0; s < live; ++s) {
            rotate_contiguous_active(block_of(a.re, a.stride, s), block_of(a.im, a.stride, s),
                                     dimension, kernel, bit_of(sign_bits, s), level);
        }
        return;
    }
    if (live == 0) return;
    if (state.shot_stride == 1) {
        rotate_contiguous_active(state.amplitude_re, state.amplitude_im, dimension, kernel,
                                 bit_of(sign_bits, 0), level);
    } else if (kernel.diagonal) {
        rotate_diagonal_batch(state, kernel, sign_bits);
    } else if (kernel.z_free) {
        rotate_uniform_imag_pairs_batch(state, kernel, sign_bits);
    } else {
        rotate_compact_pairs_batch(state, kernel, sign_bits);
    }
}

void rotate_compact_pairs_batch(BatchFactoredExecutorState& state,
                                const PrecomputedActivePauliRotationKernel& kernel,
                                std::span<const uint64_t> sign_bits) {
    const uint64_t live = state.live_shots, x = kernel.action.x_mask, z = kernel.action.z_mask;
    const Amplitudes a = basis_rows(state.amplitude_re, state.amplitude_im, state.shot_stride,
                                    2 * kernel.half_dimension);
    fill_shot_coefficient_scalars(state.shot_scalars_a, live, state.shot_stride, sign_bits);
    const double* m = state.shot_scalars_a.data();
    const double c = kernel.cos_theta, fr = kernel.off_diagonal.re, fi = kernel.off_diagonal.im;
    for (uint64_t t = 0; t < kernel.half_dimension; ++t) {
        const uint64_t i = insert_zero(t, kernel.pivot), j = i ^ x;
        const double pi = parity(i & z) ? -1.0 : 1.0;
        const double pi_j = kernel.action.y_parity ? -pi : pi;  // sign of the a_j term in a_i
        double *re_i = a.re + i * a.stride, *im_i = a.im + i * a.stride;
        double *re_j = a.re + j * a.stride, *im_j = a.im + j * a.stride;
        for (uint64_t s = 0; s < live; ++s) {
            const double ui = pi_j * m[s], uj = pi * m[s];
            const double ri = re_i[s], ii = im_i[s], rj = re_j[s], ij = im_j[s];
            re_i[s] = c * ri + (ui * fr * rj - ui * fi * ij);
            im_i[s] = c * ii + (ui * fr * ij + ui * fi * rj);
            re_j[s] = c * rj + (uj * fr * ri - uj * fi * ii);
            im_j[s] = c * ij + (uj * fr * ii + uj * fi * ri);
        }
    }
}

void rotate_uniform_imag_pairs_batch(BatchFactoredExecutorState& state,
                                     const PrecomputedActivePauliRotationKernel& kernel,
                                     std::span<const uint64_t> sign_bits) {
    const uint64_t live = state.live_shots, stride = state.shot_stride;
    bool any_clear = false, any_set = false;
    for (uint64_t w = 0; w < word_count(live); ++w) {
        const uint64_t mask = live_word_mask(w, live);
        const uint64_t bits = (w < sign_bits.size() ? sign_bits[w] : 0) & mask;
        any_set |= bits != 0;
        any_clear |= bits != mask;
    }
    std::vector<double>& w = state.shot_scalars_a;
    const double fi = kernel.off_diagonal.im;
    bool pair_order = false;
    if (any_set && any_clear) {
        fill_shot_coefficient_scalars(w, live, stride, sign_bits);
        for (uint64_t s = 0; s < live; ++s)
            w[s] *= fi;
        pair_order = stride != 2 && kernel.half_dimension < 64;
    } else {
        if (w.size() < stride) w.resize(stride);
        std::fill(w.begin(), w.begin() + static_cast<std::ptrdiff_t>(stride), any_set ? -fi : fi);
    }
    rotate_uniform_imag_pairs_basis_major(state, kernel, w, live, pair_order);
}

void rotate_uniform_imag_pairs_basis_major(BatchFactoredExecutorState& state,
                                           const PrecomputedActivePauliRotationKernel& kernel,
                                           std::span<const double> coefficients, uint64_t count,
                                           bool pair_order) {
    const uint64_t live = state.live_shots, x = kernel.action.x_mask, p = kernel.pivot;
    const uint64_t half = kernel.half_dimension;
    KELVO_ASSERT(live <= count && live <= coefficients.size(),
                 "per-shot scalars index out of range");
    const Amplitudes a =
        basis_rows(state.amplitude_re, state.amplitude_im, state.shot_stride, 2 * half);
    const double c = kernel.cos_theta;
    const double* w = coefficients.data();
    auto pair = [&](uint64_t i) {
        const uint64_t j = i ^ x;
        double *re_i = a.re + i * a.stride, *im_i = a.im + i * a.stride;
        double *re_j = a.re + j * a.stride, *im_j = a.im + j * a.stride;
        for (uint64_t s = 0; s < live; ++s) {
            const double ri = re_i[s], ii = im_i[s], rj = re_j[s], ij = im_j[s];
            re_i[s] = c * ri - w[s] * ij;
            im_i[s] = c * ii + w[s] * rj;
            re_j[s] = c * rj - w[s] * ii;
            im_j[s] = c * ij + w[s] * ri;
        }
    };
    if (pair_order) {
        for (uint64_t t = 0; t < half; ++t)
            pair(insert_zero(t, p));
        return;
    }
    const uint64_t block = uint64_t{2} << p;
    for (uint64_t b = 0; b < 2 * half; b += block)
        for (uint64_t t = 0; t < block / 2; ++t)
            pair(b + t);
}

void promote_first_dormant_rotation_batch(BatchFactoredExecutorState& state,
                                          std::span<const uint64_t> sign_bits, double theta) {
    const uint64_t k = state.active_qubits, live = state.live_shots;
    const uint64_t stride = state.shot_stride;
    if (state.dormant_qubits == 0) throw invalid("cannot promote a dormant qubit when none remain");
    if (k >= 62) throw invalid(kTooLarge);
    const uint64_t dimension = uint64_t{1} << k;
    if (state.shot_major && state.basis_capacity / 2 < dimension) {
        throw invalid("batch active shot-major stride is too short for dormant promotion");
    }
    if (!state.shot_major && state.amplitude_re.size() / 2 / dimension < stride) {
        throw invalid("batch active storage has too few columns for dormant promotion");
    }
    const double sin = std::sin(theta), cos = std::cos(theta);
    const SimdLevel level = simd_level();
    if (state.shot_major) {
        const Amplitudes a = shot_blocks(state.amplitude_re, state.amplitude_im,
                                         state.basis_capacity, live, 2 * dimension);
        for (uint64_t s = 0; s < live; ++s) {
            promote_contiguous_active(block_of(a.re, a.stride, s), block_of(a.im, a.stride, s),
                                      dimension, cos, bit_of(sign_bits, s) ? sin : -sin, level);
        }
    } else if (stride == 1 && live > 0) {
        promote_contiguous_active(state.amplitude_re, state.amplitude_im, dimension, cos,
                                  bit_of(sign_bits, 0) ? sin : -sin, level);
    } else if (live > 0) {
        const Amplitudes a =
            basis_rows(state.amplitude_re, state.amplitude_im, stride, 2 * dimension);
        fill_shot_coefficient_scalars(state.shot_scalars_a, live, stride, sign_bits);
        std::vector<double>& b = state.shot_scalars_a;
        for (uint64_t s = 0; s < live; ++s)
            b[s] *= -sin;
        for (uint64_t row = 0; row < dimension; ++row) {
            double *lo_re = a.re + row * stride, *lo_im = a.im + row * stride;
            double *hi_re = lo_re + dimension * stride, *hi_im = lo_im + dimension * stride;
            for (uint64_t s = 0; s < live; ++s) {
                const double r = lo_re[s], m = lo_im[s];
                lo_re[s] = cos * r;
                lo_im[s] = cos * m;
                hi_re[s] = -b[s] * m;
                hi_im[s] = b[s] * r;
            }
        }
    }
    state.active_qubits = k + 1;
    state.dormant_qubits -= 1;
}

void compute_active_measurement_true_prob_batch(
    BatchFactoredExecutorState& state, const PrecomputedActivePauliMeasurementKernel& kernel) {
    const uint64_t live = state.live_shots, half = kernel.half_dimension;
    std::vector<double>& probabilities = state.shot_scalars_b;
    check_live_scalars(probabilities, live);
    const SimdLevel level = simd_level();
    if (state.shot_major) {
        const Amplitudes a = shot_blocks(state.amplitude_re, state.amplitude_im,
                                         state.basis_capacity, live, 2 * half);
        for (uint64_t s = 0; s < live; ++s) {
            probabilities[s] = contiguous_probability(block_of(a.re, a.stride, s),
                                                      block_of(a.im, a.stride, s), kernel, level);
        }
        return;
    }
    if (state.shot_stride == 1) {
        if (live > 0) {
            probabilities[0] =
                contiguous_probability(state.amplitude_re, state.amplitude_im, kernel, level);
        }
        return;
    }
    const Amplitudes a =
        basis_rows(state.amplitude_re, state.amplitude_im, state.shot_stride, 2 * half);
    double* p = probabilities.data();
    std::fill(p, p + live, 0.0);
    if (kernel.kind == ActiveMeasurementKind::Diagonal) {
        const bool v = !kernel.negative;
        for (uint64_t t = 0; t < half; ++t) {
            const uint64_t base = insert_zero(t, kernel.pivot);
            const uint64_t src = base | ((parity(base & kernel.rest_mask) ^ v) << kernel.pivot);
            const double *re = a.re + src * a.stride, *im = a.im + src * a.stride;
            for (uint64_t s = 0; s < live; ++s)
                p[s] += re[s] * re[s] + im[s] * im[s];
        }
        return;
    }
    const double gr = kernel.scaled_conjugate.re, gi = kernel.scaled_conjugate.im;
    for (uint64_t t = 0; t < half; ++t) {
        const uint64_t i = insert_zero(t, kernel.pivot), j = i ^ kernel.x_mask;
        const double h = parity(i & kernel.z_mask) ? 1.0 : -1.0;
        const double hr = h * gr, hi = h * gi;
        const double *re_i = a.re + i * a.stride, *im_i = a.im + i * a.stride;
        const double *re_j = a.re + j * a.stride, *im_j = a.im + j * a.stride;
        for (uint64_t s = 0; s < live; ++s) {
            const double vr = re_i[s] * kInvSqrt2 + (hr * re_j[s] - hi * im_j[s]);
            const double vi = im_i[s] * kInvSqrt2 + (hr * im_j[s] + hi * re_j[s]);
            p[s] += vr * vr + vi * vi;
        }
    }
}

void sample_batch_measurement_branches_from_true(BatchFactoredExecutorState& state,
                                                 std::vector<uint64_t>& branch,
                                                 std::optional<std::span<const uint64_t>> pinned) {
    if (pinned) return sample_batch_measurement_branches_pinned(state, branch, *pinned);
    const uint64_t live = state.live_shots;
    clear_branch(branch, state.words_per_batch);
    check_live_scalars(state.shot_scalars_b, live);
    check_live_scalars(state.shot_scalars_c, std::max(live, state.shot_stride));
    for (uint64_t s = 0; s < live; ++s) {
        const Branch b = draw_branch(state.shot_scalars_b[s], state.rng_state);
        state.shot_scalars_c[s] = 1 / std::sqrt(b.kept);
        if (b.outcome) set_branch(branch, s);
    }
    for (uint64_t s = live; s < state.shot_stride; ++s)
        state.shot_scalars_c[s] = 1.0;
}

void sample_batch_measurement_branches_pinned(BatchFactoredExecutorState& state,
                                              std::vector<uint64_t>& branch,
                                              std::span<const uint64_t> pinned) {
    const uint64_t live = state.live_shots;
    clear_branch(branch, state.words_per_batch);
    check_live_scalars(state.shot_scalars_b, live);
    check_live_scalars(state.shot_scalars_c, std::max(live, state.shot_stride));
    for (uint64_t s = 0; s < live; ++s) {
        const Branch b = pinned_branch(state.shot_scalars_b[s], bit_of(pinned, s));
        state.shot_scalars_c[s] = 1 / std::sqrt(b.kept);
        if (b.outcome) set_branch(branch, s);
    }
    for (uint64_t s = live; s < state.shot_stride; ++s)
        state.shot_scalars_c[s] = 1.0;
}

void project_nondiagonal_batch(BatchFactoredExecutorState& state,
                               const PrecomputedActivePauliMeasurementKernel& kernel,
                               std::span<const uint64_t> branch) {
    const uint64_t live = state.live_shots, half = kernel.half_dimension;
    const uint64_t stride = state.shot_stride;
    const Amplitudes a = basis_rows(state.amplitude_re, state.amplitude_im, stride, 2 * half);
    const Amplitudes out = basis_rows(state.scratch_re, state.scratch_im, stride, half);
    check_live_scalars(state.shot_scalars_c, live);
    fill_shot_coefficient_scalars(state.shot_scalars_a, live, stride, branch);
    const double* m = state.shot_scalars_a.data();
    const double* scales = state.shot_scalars_c.data();
    const double gr = kernel.scaled_conjugate.re, gi = kernel.scaled_conjugate.im;
    for (uint64_t t = 0; t < half; ++t) {
        const uint64_t i = insert_zero(t, kernel.pivot), j = i ^ kernel.x_mask;
        const double h = parity(i & kernel.z_mask) ? -1.0 : 1.0;
        const double *re_i = a.re + i * stride, *im_i = a.im + i * stride;
        const double *re_j = a.re + j * stride, *im_j = a.im + j * stride;
        double *to_re = out.re + t * stride, *to_im = out.im + t * stride;
        for (uint64_t s = 0; s < live; ++s) {
            const double hr = h * m[s] * gr, hi = h * m[s] * gi;
            to_re[s] = scales[s] * (re_i[s] * kInvSqrt2 + (hr * re_j[s] - hi * im_j[s]));
            to_im[s] = scales[s] * (im_i[s] * kInvSqrt2 + (hr * im_j[s] + hi * re_j[s]));
        }
    }
    for (uint64_t t = 0; t < half; ++t) {
        std::copy_n(out.re + t * stride, live, a.re + t * stride);
        std::copy_n(out.im + t * stride, live, a.im + t * stride);
    }
}

void measure_precomputed_active_pauli_branch_batch(
    BatchFactoredExecutorState& state, const PrecomputedActivePauliMeasurementKernel& kernel,
    uint32_t condition, std::vector<uint64_t>& branch,
    std::optional<std::span<const uint64_t>> pinned) {
    check_measurement(state, kernel);
    const uint64_t live = state.live_shots, half = kernel.half_dimension;
    const SimdLevel level = simd_level();
    if (state.shot_major) {
        if (pinned) {
            return measure_shot_major_active_branch_pinned(state, kernel, condition, branch,
                                                           *pinned);
        }
        const uint64_t block = state.basis_capacity;
        const Amplitudes a =
            shot_blocks(state.amplitude_re, state.amplitude_im, block, live, 2 * half);
        const Amplitudes scratch =
            shot_blocks(state.scratch_re, state.scratch_im, block, live, half);
        clear_branch(branch, state.words_per_batch);
        for (uint64_t s = 0; s < live; ++s) {
            const std::span<double> re = block_of(a.re, block, s), im = block_of(a.im, block, s);
            const Branch b =
                draw_branch(contiguous_probability(re, im, kernel, level), state.rng_state);
            project_contiguous(re, im, block_of(scratch.re, block, s),
                               block_of(scratch.im, block, s), kernel, b.outcome,
                               1 / std::sqrt(b.kept), level);
            if (b.outcome) set_branch(branch, s);
        }
    } else {
        compute_active_measurement_true_prob_batch(state, kernel);
        sample_batch_measurement_branches_from_true(state, branch, pinned);
        if (state.shot_stride == 1) {
            if (live > 0) {
                project_contiguous(state.amplitude_re, state.amplitude_im, state.scratch_re,
                                   state.scratch_im, kernel, bit_of(branch, 0),
                                   state.shot_scalars_c[0], level);
            }
        } else if (kernel.kind == ActiveMeasurementKind::Diagonal) {
            project_diagonal_batch(state, kernel, branch);
        } else {
            project_nondiagonal_batch(state, kernel, branch);
        }
    }
    state.active_qubits -= 1;
    state.dormant_qubits += 1;
    assign_batch_symbol(state, condition, branch);
}

void measure_shot_major_active_branch_pinned(BatchFactoredExecutorState& state,
                                             const PrecomputedActivePauliMeasurementKernel& kernel,
                                             uint32_t condition, std::vector<uint64_t>& branch,
                                             std::span<const uint64_t> pinned) {
    check_measurement(state, kernel);
    const uint64_t live = state.live_shots, half = kernel.half_dimension;
    const uint64_t block = state.basis_capacity;
    const SimdLevel level = simd_level();
    const Amplitudes a = shot_blocks(state.amplitude_re, state.amplitude_im, block, live, 2 * half);
    const Amplitudes scratch = shot_blocks(state.scratch_re, state.scratch_im, block, live, half);
    clear_branch(branch, state.words_per_batch);
    for (uint64_t s = 0; s < live; ++s) {
        const std::span<double> re = block_of(a.re, block, s), im = block_of(a.im, block, s);
        const Branch b =
            pinned_branch(contiguous_probability(re, im, kernel, level), bit_of(pinned, s));
        project_contiguous(re, im, block_of(scratch.re, block, s), block_of(scratch.im, block, s),
                           kernel, b.outcome, 1 / std::sqrt(b.kept), level);
        if (b.outcome) set_branch(branch, s);
    }
    state.active_qubits -= 1;
    state.dormant_qubits += 1;
    assign_batch_symbol(state, condition, branch);
}

void measure_precomputed_active_pauli_expectation_batch(
    BatchFactoredExecutorState& state, const PrecomputedActivePauliMeasurementKernel& kernel,
    std::span<const uint64_t> sign_bits, int32_t exp_index) {
    check_measurement(state, kernel);
    if (exp_index < 0 || static_cast<uint64_t>(exp_index) >= state.exp_count) {
        throw invalid("expectation value index is out of range");
    }
    compute_active_measurement_true_prob_batch(state, kernel);
    const uint64_t live = state.live_shots;
    const uint64_t base = static_cast<uint64_t>(exp_index) * state.batch_capacity;
    KELVO_ASSERT(live <= state.batch_capacity && base + live <= state.exp_values.size(),
                 "expectation value index out of range");
    for (uint64_t s = 0; s < live; ++s) {
        double p = state.shot_scalars_b[s];
        p = p < 0 ? 0 : (p > 1 ? 1 : p);
        state.exp_values[base + s] = (bit_of(sign_bits, s) ? -1.0 : 1.0) * (1 - 2 * p);
    }
}

void with_batch_component(BatchFactoredExecutorState& state, uint64_t component,
                          const PrecomputedActivePauliRotationKernel& kernel,
                          std::span<const uint64_t> sign_bits) {
    KELVO_ASSERT(component < state.components.size(), "component index out of range");
    if (!state.components[component].active) {
        throw invalid("cannot execute an instruction on an inactive component");
    }
    detail::run_in_component(state, component,
                             [&] { rotate_pauli_batch(state, kernel, sign_bits); });
}

}  // namespace kelvo
