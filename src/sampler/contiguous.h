// Kernels on the active state of one shot held contiguously: amplitude i is re[i] + i im[i],
// bit q of i being active qubit q. The batch kernels call them once per shot (or once when a
// batch holds one shot).
//
// Each kernel has a scalar form and a vector form (two amplitudes per step) that give the same
// amplitudes bit for bit; probability sums may differ in the last bits through summation
// order. `level` picks the form; the vector form runs only where its layout conditions hold,
// the scalar one everywhere else. Arrays shorter than a kernel touches, or a kernel that does
// not fit the state, are fatal.
#pragma once

#include <cstdint>
#include <span>

#include "compiler/active_kernels.h"
#include "sampler/simd.h"

namespace kelvo {

// Applies exp(-i theta P) to the first `dimension` amplitudes, exp(+i theta P) when `sign_bit`
// is set. A kernel with pairs (x != 0, z != 0) sweeps its own half dimension.
void rotate_contiguous_active(std::span<double> re, std::span<double> im, uint64_t dimension,
                              const PrecomputedActivePauliRotationKernel& kernel, bool sign_bit,
                              SimdLevel level = simd_level());

// The most kernels one rotate_contiguous_run takes: one sign bit each in a 32-bit word.
constexpr uint64_t kMaxRotationRun = 32;

// Applies `kernels` in order, kernel r by -theta where bit r of `signs` is set: the amplitudes
// of one rotate_contiguous_active per kernel, bit for bit, with each stretch of consecutive
// diagonal kernels applied in one pass over the state. At most kMaxRotationRun kernels.
void rotate_contiguous_run(std::span<double> re, std::span<double> im, uint64_t dimension,
                           std::span<const PrecomputedActivePauliRotationKernel* const> kernels,
                           uint32_t signs, SimdLevel level = simd_level());

// Appends a qubit in a|0> + i b|1> as the new top index bit: entries dimension..2 dimension - 1
// are written, the state doubles.
void promote_contiguous_active(std::span<double> re, std::span<double> im, uint64_t dimension,
                               double a, double b, SimdLevel level = simd_level());

// Keeps the half of a Z-product measurement consistent with `outcome` (true: eigenvalue -1),
// drops the pivot qubit and multiplies by `scale`. The new state is the first half_dimension
// entries; later entries keep their old values.
void project_diagonal_contiguous(std::span<double> re, std::span<double> im,
                                 const PrecomputedActivePauliMeasurementKernel& kernel,
                                 bool outcome, double scale);

// Projects onto the `outcome` eigenspace of a Pauli with an X part, drops the pivot qubit and
// multiplies by `scale`. The scratch arrays hold at least half_dimension entries; they are
// used only when the pivot is not the highest bit of the X part (else the projection is done
// in place).
void project_nondiagonal_contiguous(std::span<double> re, std::span<double> im,
                                    std::span<double> scratch_re, std::span<double> scratch_im,
                                    const PrecomputedActivePauliMeasurementKernel& kernel,
                                    bool outcome, double scale, SimdLevel level = simd_level());

// Probability of outcome true (eigenvalue -1), clamped to [0, 1] (NaN passes through); 0 for a
// kernel on no qubits.
double diagonal_probability_contiguous(std::span<const double> re, std::span<const double> im,
                                       const PrecomputedActivePauliMeasurementKernel& kernel,
                                       SimdLevel level = simd_level());
double nondiagonal_probability_contiguous(std::span<const double> re, std::span<const double> im,
                                          const PrecomputedActivePauliMeasurementKernel& kernel,
                                          SimdLevel level = simd_level());

}  // namespace kelvo
