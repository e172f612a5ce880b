// Active-state kernels on a whole batch: rotations, promotion of a dormant qubit, and Pauli
// measurements (sampled, pinned, or as expectation values). Every shot has its own active
// state inside the executor state, in one of two layouts:
// - shot-major: shot s's amplitudes are the contiguous slice s * B .. s * B + 2^k (B =
//   basis_capacity), handed to the contiguous kernels one shot at a time;
// - basis-major: basis b of shot s is at b * T + s (T = shot_stride), so a basis row holds
//   every shot; these kernels walk basis indices outside and shots inside. A batch with T = 1
//   is one contiguous state.
//
// Per-shot bit rows (rotation signs, measurement branches, pinned branches) hold shot s at bit
// s % 64 of word s / 64; a row shorter than the live shots need reads as zeros. A sign bit 1
// rotates by -theta; a branch bit 1 is the eigenvalue -1.
//
// Every operation throws KelvoError (InvalidInput); after a failure the batch must be
// abandoned (shots before the failing one may already be changed).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "compiler/active_kernels.h"
#include "sampler/batch/executor.h"

namespace kelvo {

// exp(-i theta m_s P) on every live shot, m_s = -1 where the shot's sign bit is set.
void rotate_pauli_batch(BatchFactoredExecutorState& state,
                        const PrecomputedActivePauliRotationKernel& kernel,
                        std::span<const uint64_t> sign_bits);

// Basis-major rotation of a kernel with both X and Z parts.
void rotate_compact_pairs_batch(BatchFactoredExecutorState& state,
                                const PrecomputedActivePauliRotationKernel& kernel,
                                std::span<const uint64_t> sign_bits);

// Basis-major rotation of a kernel without Z part: one coefficient per shot, or one for all
// when every live shot has the same sign.
void rotate_uniform_imag_pairs_batch(BatchFactoredExecutorState& state,
                                     const PrecomputedActivePauliRotationKernel& kernel,
                                     std::span<const uint64_t> sign_bits);

// The pair loop of the above with coefficient w_s for shot s < count: a_i += i w_s a_j and
// a_j += i w_s a_i (after cos theta). `pair_order` walks pairs by inserted pivot bit instead of
// by blocks; both give the same amplitudes.
void rotate_uniform_imag_pairs_basis_major(BatchFactoredExecutorState& state,
                                           const PrecomputedActivePauliRotationKernel& kernel,
                                           std::span<const double> coefficients, uint64_t count,
                                           bool pair_order);

// Grows `coefficients` to `length` (new entries 0.0) and sets entry s < live to m_s (+1.0, or
// -1.0 where bit s of `bits` is set).
void fill_shot_coefficient_scalars(std::vector<double>& coefficients, uint64_t live,
                                   uint64_t length, std::span<const uint64_t> bits);

// The first dormant qubit becomes active qubit k in cos theta |0> - i m_s sin theta |1>.
void promote_first_dormant_rotation_batch(BatchFactoredExecutorState& state,
                                          std::span<const uint64_t> sign_bits, double theta);

// shot_scalars_b[s] = probability of eigenvalue -1 for every live shot (basis-major sums are
// not clamped; every consumer clamps).
void compute_active_measurement_true_prob_batch(
    BatchFactoredExecutorState& state, const PrecomputedActivePauliMeasurementKernel& kernel);

// Draws each live shot's branch from shot_scalars_b (one draw from rng_state per shot with
// 0 < p < 1, in shot order), or takes it from `pinned`; shot_scalars_c[s] = 1/sqrt(kept
// probability), 1.0 past the live shots. `branch` is grown to words_per_batch words and clean.
void sample_batch_measurement_branches_from_true(
    BatchFactoredExecutorState& state, std::vector<uint64_t>& branch,
    std::optional<std::span<const uint64_t>> pinned = std::nullopt);

// As above with every branch taken from `pinned`; each probability must be one half (within
// 1e-9). Draws nothing.
void sample_batch_measurement_branches_pinned(BatchFactoredExecutorState& state,
                                              std::vector<uint64_t>& branch,
                                              std::span<const uint64_t> pinned);

// Basis-major projection of every live shot onto its branch for a kernel with an X part,
// through the scratch arrays, scaled by shot_scalars_c.
void project_nondiagonal_batch(BatchFactoredExecutorState& state,
                               const PrecomputedActivePauliMeasurementKernel& kernel,
                               std::span<const uint64_t> branch);

// Samples (or takes from `pinned`) each live shot's branch, projects onto it, removes the
// pivot qubit (k - 1, one more dormant qubit) and assigns the branch row to `condition`.
void measure_precomputed_active_pauli_branch_batch(
    BatchFactoredExecutorState& state, const PrecomputedActivePauliMeasurementKernel& kernel,
    uint32_t condition, std::vector<uint64_t>& branch,
    std::optional<std::span<const uint64_t>> pinned = std::nullopt);

// The shot-major form of the above with pinned branches.
void measure_shot_major_active_branch_pinned(BatchFactoredExecutorState& state,
                                             const PrecomputedActivePauliMeasurementKernel& kernel,
                                             uint32_t condition, std::vector<uint64_t>& branch,
                                             std::span<const uint64_t> pinned);

// exp_values[index * batch_capacity + s] = m_s (1 - 2 p_s) for every live shot; the active
// state, k and rng_state stay as they are.
void measure_precomputed_active_pauli_expectation_batch(
    BatchFactoredExecutorState& state, const PrecomputedActivePauliMeasurementKernel& kernel,
    std::span<const uint64_t> sign_bits, int32_t exp_index);

namespace detail {

// Runs `run` on component `index` with its buffers and sizes lent to the flat-state kernels;
// they go back on every path, a thrown error included.
template <class Run>
void run_in_component(BatchFactoredExecutorState& state, uint64_t index, Run&& run) {
    struct Restore {
        BatchFactoredExecutorState& state;
        uint64_t index, active, dormant, capacity;
        ~Restore() {
            BatchActiveComponent& c = state.components[index];
            c.active_qubits = state.active_qubits;
            c.basis_capacity = state.basis_capacity;
            swap_batch_component_buffers(state, index);
            state.active_qubits = active;
            state.dormant_qubits = dormant;
            state.basis_capacity = capacity;
        }
    };
    const uint64_t active = state.active_qubits, dormant = state.dormant_qubits;
    const uint64_t capacity = state.basis_capacity;
    swap_batch_component_buffers(state, index);
    const Restore restore{state, index, active, dormant, capacity};
    state.active_qubits = state.components[index].active_qubits;
    state.basis_capacity = state.components[index].basis_capacity;
    run();
}

}  // namespace detail

}  // namespace kelvo
