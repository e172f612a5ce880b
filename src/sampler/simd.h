// Two-lane double vectors for the active-state kernels, and the process-wide kernel level.
//
// The vectors are the compiler's own vector extension, so one source compiles to SSE2 on
// x86-64 and to NEON on arm64. Lane arithmetic is plain multiply and add (no fused
// multiply-add), so a vector kernel gives exactly the bits of its scalar form.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace kelvo {

// Which form of the active-state kernels runs: one amplitude per step, or two amplitudes per
// step in 128-bit registers.
enum class SimdLevel : uint8_t { Scalar, Vector };

// The level a value of KELVO_SIMD selects (nullptr: unset). Exactly "scalar", in any ASCII
// letter case, selects the scalar kernels; anything else, blanks included, the vector ones.
constexpr SimdLevel simd_level_from_env(const char* value) {
    if (value == nullptr) return SimdLevel::Vector;
    constexpr std::string_view kScalar = "scalar";
    const std::string_view text(value);
    if (text.size() != kScalar.size()) return SimdLevel::Vector;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const char lower = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
        if (lower != kScalar[i]) return SimdLevel::Vector;
    }
    return SimdLevel::Scalar;
}

// The level of this process: KELVO_SIMD is read on the first call (concurrent first callers
// wait for it) and later changes of the variable have no effect.
inline SimdLevel simd_level() {
    static const SimdLevel level = simd_level_from_env(std::getenv("KELVO_SIMD"));
    return level;
}

namespace simd {

typedef double f64x2 __attribute__((vector_size(16)));
typedef int64_t i64x2 __attribute__((vector_size(16)));

inline f64x2 load(const double* p) {
    f64x2 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline void store(double* p, f64x2 v) {
    std::memcpy(p, &v, sizeof v);
}

inline f64x2 splat(double a) {
    return f64x2{a, a};
}

// (lane 1, lane 0).
inline f64x2 swap_lanes(f64x2 v) {
    return __builtin_shufflevector(v, v, 1, 0);
}

// Lanes whose mask is all ones keep their value, the others become +0.0 (a NaN there is
// dropped, as a skipped scalar term would be).
inline f64x2 keep_lanes(f64x2 v, i64x2 mask) {
    return (f64x2)((i64x2)v & mask);
}

inline double sum_lanes(f64x2 v) {
    return v[0] + v[1];
}

}  // namespace simd
}  // namespace kelvo
