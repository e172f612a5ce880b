// The reusable working state in which one worker runs a compiled program over a batch of
// shots, and the bit-vector routines every producer of per-shot bits uses.
//
// A batch bit vector holds shot s at bit s % 64 of word s / 64. Every vector written here is
// clean: bits at and above the live shot count are zero, so rows XOR, compare and count word
// by word.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "cancellation.h"
#include "compiler/active_kernels.h"
#include "compiler/program.h"
#include "symbolic.h"

namespace kelvo {

// One independent group of active qubits, stored in the executor's amplitude layout with a
// per-shot block of `basis_capacity` amplitudes.
struct BatchActiveComponent {
    std::vector<double> amplitude_re;
    std::vector<double> amplitude_im;
    std::vector<double> scratch_re;
    std::vector<double> scratch_im;
    uint64_t active_qubits = 0;
    uint64_t basis_capacity = 0;  // 2^(the component's largest width)
    bool active = false;
};

// A pinned measurement: the plan of its forced outcome and the instruction it forces.
struct ForcedBranch {
    SymbolicBoolEvaluationPlan plan;
    uint64_t instruction = 0;
};

// Amplitude layouts: basis-major puts basis b of shot s at b * shot_stride + s (a basis row
// holds every shot); shot-major at s * B + b, B being the per-shot block (`basis_capacity`, or
// a component's), so that each shot's vector is contiguous.
struct BatchFactoredExecutorState {
    std::vector<double> amplitude_re;  // flat active state (no component plan)
    std::vector<double> amplitude_im;
    std::vector<double> scratch_re;  // second buffer: kernels write it and swap
    std::vector<double> scratch_im;
    // Rows of the conditions that take a value in a batch (measurement outcomes and branches;
    // noise is presampled elsewhere), in the order they first did: most conditions never need a
    // row, so a row per id would hold mostly unused memory.
    std::vector<uint64_t> symbol_table;
    std::vector<uint32_t> symbol_slots;      // condition c -> 1 + its row, 0 before its first
    uint64_t symbol_rows = 0;                // rows handed out; symbol_table holds at least these
    std::vector<uint64_t> assigned_symbols;  // bit c - 1: condition c has a value
    std::vector<uint64_t> measurement_records;  // row r - 1 holds record r
    std::vector<uint64_t> detector_records;     // row d - 1 holds detector d
    std::vector<uint64_t> detector_any;         // OR of the batch's recorded detector outcomes
    std::vector<double> exp_values;             // slot e of shot s at e * batch_capacity + s
    std::vector<uint64_t> work_bits;
    std::vector<uint64_t> run_sign_bits;  // a word-count block per rotation of a run
    std::vector<double> shot_scalars_a;   // per-shot work arrays, at least shot_stride long
    std::vector<double> shot_scalars_b;
    std::vector<double> shot_scalars_c;
    std::vector<BatchActiveComponent> components;  // empty without a component plan
    std::vector<ForcedBranch> forced_branches;
    std::vector<uint64_t> pinned_bits;
    uint64_t num_qubits = 0;
    uint64_t active_qubits = 0;   // of the flat state
    uint64_t dormant_qubits = 0;  // active_qubits + dormant_qubits == num_qubits
    uint64_t batch_capacity = 0;
    uint64_t live_shots = 0;
    uint64_t shot_stride = 0;     // padded shots per basis row
    uint64_t basis_capacity = 0;  // amplitude slots per shot: 2^max_active_qubits
    uint64_t symbol_count = 0;
    uint64_t measurement_count = 0;
    uint64_t detector_count = 0;
    uint64_t exp_count = 0;
    uint64_t max_active_qubits = 0;
    uint64_t words_per_batch = 0;
    uint64_t rng_state = 0;
    bool record_detectors = false;
    bool shot_major = false;
    bool components_enabled = false;

    BatchFactoredExecutorState() = default;
    // A state for batches of up to `batch_shots` shots (0: default_batch_count of the
    // program's active qubits), reset for a full batch. Throws KelvoError (InvalidInput) as
    // reset does, std::bad_alloc when its buffers would not fit in memory, and Cancelled as
    // reset does.
    BatchFactoredExecutorState(const FactoredInstructionProgram& program, uint64_t batch_shots,
                               uint64_t seed, const CancellationCheck& cancel = {});
};

// Shots per batch for k active qubits: 32768 >> k clamped to [1, 2048]. Throws KelvoError
// (InvalidInput) when k >= 62.
uint64_t default_batch_count(uint64_t active_qubits);

// Padded shots per basis row for a batch capacity: 1 for 0, 1 and 2 themselves, else the next
// multiple of 4 (vector kernels then take whole lanes). Throws std::bad_alloc where the
// rounding would wrap.
uint64_t batch_shot_stride(uint64_t batch_capacity);

// Mask of the live shots in word `word` of a batch vector.
constexpr uint64_t live_word_mask(uint64_t word, uint64_t live_shots) {
    if (live_shots / 64 > word) return ~uint64_t{0};
    if (live_shots / 64 < word) return 0;
    return (uint64_t{1} << (live_shots % 64)) - 1;
}

// Prepares the state for a batch of `shots` shots of `program`: sizes every buffer for the
// program, clears the bit planes and puts every shot in the all-|0> initial state. Throws
// KelvoError (InvalidInput) for a shot count beyond the capacity or a program whose sizes
// the state cannot hold, and std::bad_alloc (before any buffer changes) when the buffers would
// not fit in memory. `cancel` is polled while large buffers are filled; after Cancelled the
// state must be reset again before it is used.
void reset_batch_executor(BatchFactoredExecutorState& state,
                          const FactoredInstructionProgram& program, uint64_t shots,
                          const CancellationCheck& cancel = {});

// Runs a rotation kernel on component `component` through the flat-state batch kernels (its
// buffers are swapped in and back). Throws KelvoError (InvalidInput) for an inactive component.
void with_batch_component(BatchFactoredExecutorState& state, uint64_t component,
                          const PrecomputedActivePauliRotationKernel& kernel,
                          std::span<const uint64_t> sign_bits);

// Exchanges the flat amplitude arrays with those of component `component`, without copying.
void swap_batch_component_buffers(BatchFactoredExecutorState& state, uint64_t component);

// Merges the components at merges[start + 1 .. start + count) into `target` (which must be
// merges[start]) one by one: each source's qubits become the high bits of the target's
// basis index. Throws KelvoError (InvalidInput) for an invalid range, target or source, an
// inactive one, or storage too small; sources merged before a failure stay merged.
void merge_batch_components(BatchFactoredExecutorState& state, std::span<const uint64_t> merges,
                            uint64_t start, uint64_t count, uint64_t target);

// destination = the first ceil(live/64) words of `source` masked to the live shots, then zeros
// up to at least `words_per_batch` words. Throws KelvoError (InvalidInput) when `source` is
// shorter than the live words.
void copy_batch_bits(std::vector<uint64_t>& destination, std::span<const uint64_t> source,
                     uint64_t live_shots, uint64_t words_per_batch);

// destination = `value` on every live shot of the state, zero elsewhere (at least
// words_per_batch words).
void fill_batch_bits(std::vector<uint64_t>& destination, const BatchFactoredExecutorState& state,
                     bool value);

}  // namespace kelvo
