#include "sampler/batch/runtime.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <utility>

#include "bits.h"
#include "errors.h"
#include "sampler/batch/active.h"
#include "sampler/batch/buffer_loan.h"
#include "sampler/batch/symbols.h"
#include "sampler/contiguous.h"
#include "splitmix64.h"

namespace kelvo {
namespace {

constexpr const char* kPlanMismatch = "batch presampled expression plan does not match program";
constexpr const char* kTooWide = "active qubit count is too large for machine basis indices";

KelvoError invalid(const char* message) {
    return KelvoError::invalid_input(message);
}

void grow_to(std::vector<uint64_t>& bits, uint64_t words) {
    if (bits.size() < words) bits.resize(words);
}

// The forced branch of an instruction, when a pin forces it, lent out of pinned_bits.
class PinnedLoan {
  public:
    PinnedLoan(BatchFactoredExecutorState& state, uint64_t index) : state_(state) {
        if (!state.forced_branches.empty()) bits_ = take_pinned_branch_bits(state, index);
    }
    ~PinnedLoan() {
        if (bits_) state_.pinned_bits = std::move(*bits_);
    }
    PinnedLoan(const PinnedLoan&) = delete;
    PinnedLoan& operator=(const PinnedLoan&) = delete;
    std::optional<std::span<const uint64_t>> view() const {
        if (!bits_) return std::nullopt;
        return std::span<const uint64_t>(*bits_);
    }

  private:
    BatchFactoredExecutorState& state_;
    std::optional<std::vector<uint64_t>> bits_;
};

uint64_t checked_exp_slot(const std::optional<uint32_t>& index,
                          const BatchFactoredExecutorState& state) {
    if (*index > static_cast<uint32_t>(std::numeric_limits<int32_t>::max()) ||
        *index >= state.exp_count) {
        throw invalid("expectation value index is out of range");
    }
    const uint64_t base = uint64_t{*index} * state.batch_capacity;
    KELVO_ASSERT(state.live_shots <= state.batch_capacity &&
                     base + state.live_shots <= state.exp_values.size(),
                 "expectation value index out of range");
    return base;
}

// The record of a measured or drawn outcome whose branch bits are in `work`: written directly
// when the sign is the outcome alone, else from the evaluated sign.
template <class Instruction>
void write_outcome_record(BatchFactoredExecutorState& state, const Instruction& ins,
                          const BatchSignSource& source, uint64_t index,
                          std::vector<uint64_t>& work) {
    if (write_direct_branch_measurement_record(state, work,
                                               static_cast<uint32_t>(ins.outcome_condition),
                                               ins.sign_plan, ins.record, ins.condition)) {
        return;
    }
    source.eval(index, state, work);
    write_batch_measurement_record(state, ins.record, work, ins.condition);
}

void deterministic_outcome(BatchFactoredExecutorState& state, const DeterministicOutcome& ins,
                           const BatchSignSource& source, uint64_t index,
                           std::vector<uint64_t>& work) {
    source.eval(index, state, work);
    if (!ins.exp_index) {
        write_batch_measurement_record(state, ins.record, work, ins.condition);
        return;
    }
    const uint64_t base = checked_exp_slot(ins.exp_index, state);
    for (uint64_t s = 0; s < state.live_shots; ++s)
        state.exp_values[base + s] = get_bit(work, s) ? -1.0 : 1.0;
}

void active_measurement(BatchFactoredExecutorState& state, const ActiveMeasurement& ins,
                        const BatchSignSource& source, uint64_t index,
                        std::vector<uint64_t>& work) {
    if (ins.exp_index) {
        if (*ins.exp_index > static_cast<uint32_t>(std::numeric_limits<int32_t>::max())) {
            throw invalid("expectation value index is out of range");
        }
        source.eval(index, state, work);
        measure_precomputed_active_pauli_expectation_batch(state, ins.kernel, work,
                                                           static_cast<int32_t>(*ins.exp_index));
        return;
    }
    {
        const PinnedLoan pinned(state, index);
        measure_precomputed_active_pauli_branch_batch(
            state, ins.kernel, static_cast<uint32_t>(ins.outcome_condition), work, pinned.view());
    }
    write_outcome_record(state, ins, source, index, work);
}

void random_outcome(BatchFactoredExecutorState& state, const RandomOutcome& ins,
                    const BatchSignSource& source, uint64_t index, std::vector<uint64_t>& work) {
    if (ins.exp_index) {
        const uint64_t base = checked_exp_slot(ins.exp_index, state);
        std::fill_n(state.exp_values.begin() + static_cast<std::ptrdiff_t>(base), state.live_shots,
                    0.0);
        return;
    }
    bool forced = false;
    {
        const PinnedLoan pinned(state, index);
        if (const auto bits = pinned.view()) {
            copy_batch_bits(work, *bits, state.live_shots, state.words_per_batch);
            forced = true;
        }
    }
    if (!forced) fill_random_outcome_bits(state, work);
    assign_batch_symbol(state, static_cast<uint32_t>(ins.outcome_condition), work);
    write_outcome_record(state, ins, source, index, work);
}

// Sets the amplitudes of a fresh one-qubit component: cos a |0> -+ i sin a |1>.
void promote_into_component(BatchFactoredExecutorState& state, BatchActiveComponent& component,
                            std::span<const uint64_t> sign_bits, double angle) {
    const double c = std::cos(angle), s = std::sin(angle);
    const uint64_t live = state.live_shots;
    const uint64_t block = component.basis_capacity;
    KELVO_ASSERT(live <= state.shot_stride &&
                     state.shot_stride * block <= component.amplitude_re.size() &&
                     state.shot_stride * block <= component.amplitude_im.size(),
                 "component storage index out of range");
    component.active_qubits = 1;
    component.active = true;
    for (uint64_t shot = 0; shot < live; ++shot) {
        const uint64_t i0 = state.shot_major ? shot * block : shot;
        const uint64_t i1 = state.shot_major ? shot * block + 1 : state.shot_stride + shot;
        component.amplitude_re[i0] = c;
        component.amplitude_im[i0] = 0;
        component.amplitude_re[i1] = 0;
        component.amplitude_im[i1] = get_bit(sign_bits, shot) ? s : -s;
    }
    state.active_qubits += 1;
    state.dormant_qubits -= 1;
}

// Measures inside component `index` with its buffers lent to the flat-state kernel; sizes and
// buffers go back on every path.
void measure_in_component(BatchFactoredExecutorState& state, uint64_t index,
                          const PrecomputedActivePauliMeasurementKernel& kernel, uint32_t condition,
                          std::vector<uint64_t>& branch,
                          std::optional<std::span<const uint64_t>> pinned) {
    detail::run_in_component(state, index, [&] {
        measure_precomputed_active_pauli_branch_batch(state, kernel, condition, branch, pinned);
    });
}

template <class T>
const T& step_entry(const std::vector<T>& list, uint64_t index) {
    KELVO_ASSERT(index < list.size(), "component step index out of range");
    return list[index];
}

}  // namespace

BatchSignSource BatchSignSource::in_place(const PresampledExpressionPlan& plan,
                                          const PresampledExpressionBlock& block, uint64_t offset) {
    return BatchSignSource(plan, block.words, block.words_per_row, offset, false);
}

BatchSignSource BatchSignSource::workspace(const PresampledExpressionPlan& plan,
                                           std::span<const uint64_t> words,
                                           uint64_t words_per_row) {
    return BatchSignSource(plan, words, words_per_row, 0, true);
}

void BatchSignSource::eval(uint64_t instruction, const BatchFactoredExecutorState& state,
                           std::vector<uint64_t>& out) const {
    if (instruction >= plan_->rows.size()) throw invalid(kPlanMismatch);
    const PresampledExpression& row = plan_->rows[instruction];
    const uint64_t e = row.block_expression_index;
    if (e >= plan_->block_expressions.size()) {
        throw invalid("batch presampled expression references an out-of-range block expression");
    }
    grow_to(out, state.words_per_batch);
    const uint64_t live = state.live_shots;
    const uint64_t words = word_count(live);
    KELVO_ASSERT(words <= out.size(), "batch row index out of range");
    uint64_t start = 0;
    if (__builtin_mul_overflow(e, words_per_row_, &start)) start = words_.size();
    if (compacted_) {
        if (start >= words_.size() || words_.size() - start < words_per_row_) {
            throw invalid("batch presampled expression workspace is too short");
        }
        for (uint64_t j = 0; j < words; ++j) {
            const uint64_t w = j < words_per_row_ ? words_[start + j] : 0;
            out[j] = w & live_word_mask(j, live);
        }
    } else {
        // Block row e, read from bit `offset` on; words past the row read as zero.
        const std::span<const uint64_t> block_row =
            start >= words_.size()
                ? std::span<const uint64_t>()
                : words_.subspan(start, std::min(words_per_row_, words_.size() - start));
        const auto at = [&](uint64_t j) { return j < block_row.size() ? block_row[j] : 0; };
        const uint64_t base = offset_ / 64, shift = offset_ % 64;
        for (uint64_t j = 0; j < words; ++j) {
            uint64_t w = at(base + j) >> shift;
            if (shift != 0) w |= at(base + j + 1) << (64 - shift);
            out[j] = w & live_word_mask(j, live);
        }
    }
    std::fill(out.begin() + static_cast<std::ptrdiff_t>(words), out.end(), 0);
    if (!row.residual_plan.conditions.empty()) {
        xor_symbolic_bool_batch_into(out, row.residual_plan, state);
    }
}

void fill_random_outcome_bits(BatchFactoredExecutorState& state, std::vector<uint64_t>& work) {
    grow_to(work, state.words_per_batch);
    const uint64_t words = word_count(state.live_shots);
    KELVO_ASSERT(words <= work.size(), "batch row index out of range");
    for (uint64_t j = 0; j < words; ++j)
        work[j] = splitmix64_next(state.rng_state) & live_word_mask(j, state.live_shots);
    std::fill(work.begin() + static_cast<std::ptrdiff_t>(words), work.end(), 0);
}

std::optional<std::vector<uint64_t>> take_pinned_branch_bits(BatchFactoredExecutorState& state,
                                                             uint64_t index) {
    const auto it = std::find_if(state.forced_branches.begin(), state.forced_branches.end(),
                                 [index](const ForcedBranch& b) { return b.instruction == index; });
    if (it == state.forced_branches.end()) return std::nullopt;
    std::vector<uint64_t> bits = std::move(state.pinned_bits);
    try {
        eval_symbolic_bool_batch(bits, it->plan, state);
    } catch (...) {
        state.pinned_bits = std::move(bits);
        throw;
    }
    return bits;
}

void detector_outcome_bits(const BatchFactoredExecutorState& state, const RecordDetector& detector,
                           const BatchSignSource& source, uint64_t index,
                           std::vector<uint64_t>& out) {
    if (detector.records.empty()) {
        if (!detector.parity.conditions.empty()) {
            source.eval(index, state, out);
        } else {
            eval_symbolic_bool_batch(out, detector.plan, state);
        }
        return;
    }
    const uint64_t wpb = state.words_per_batch;
    const uint64_t words = word_count(state.live_shots);
    grow_to(out, wpb);
    std::fill(out.begin(), out.end(), 0);
    for (const int32_t r : detector.records) {
        if (r < 1 || static_cast<uint64_t>(r) > state.measurement_count) {
            throw invalid("detector references an out-of-range measurement record");
        }
        const uint64_t row = (static_cast<uint64_t>(r) - 1) * wpb;
        KELVO_ASSERT(row + words <= state.measurement_records.size(),
                     "batch row index out of range");
        for (uint64_t j = 0; j < words; ++j)
            out[j] ^= state.measurement_records[row + j];
    }
}

void execute_batch_instruction(BatchFactoredExecutorState& state,
                               const FactoredInstruction& instruction,
                               const BatchSignSource& source, uint64_t index,
                               std::vector<uint64_t>& work) {
    std::visit(
        [&](const auto& ins) {
            using T = std::decay_t<decltype(ins)>;
            if constexpr (std::is_same_v<T, ActiveRotation>) {
                source.eval(index, state, work);
                rotate_pauli_batch(state, ins.kernel, work);
            } else if constexpr (std::is_same_v<T, DormantPromotion>) {
                source.eval(index, state, work);
                promote_first_dormant_rotation_batch(state, work, ins.angle);
            } else if constexpr (std::is_same_v<T, DeterministicOutcome>) {
                deterministic_outcome(state, ins, source, index, work);
            } else if constexpr (std::is_same_v<T, Detector>) {
                // Unrecorded outcomes have no reader (postselected detectors are judged by the
                // postselected loop), so counts-only batches skip them.
                if (!state.record_detectors) return;
                detector_outcome_bits(state, ins.detector, source, index, work);
                write_batch_detector_record(state, ins.detector.id, work);
            } else if constexpr (std::is_same_v<T, ActiveMeasurement>) {
                active_measurement(state, ins, source, index, work);
            } else {
                random_outcome(state, ins, source, index, work);
            }
        },
        instruction);
}

void execute_batch_component_instruction(BatchFactoredExecutorState& state,
                                         const FactoredInstructionProgram& program,
                                         const BatchSignSource& source, uint64_t index,
                                         std::vector<uint64_t>& work) {
    KELVO_ASSERT(program.component_plan != nullptr, "component execution requires a plan");
    const ActiveComponentPlan& plan = *program.component_plan;
    KELVO_ASSERT(index < plan.instruction_steps.size() && index < program.instructions.size(),
                 "instruction index out of range");
    const ActiveComponentInstructionStep step = plan.instruction_steps[index];
    const FactoredInstruction& instruction = program.instructions[index];
    switch (static_cast<uint8_t>(step.kind)) {
        case 0:
            execute_batch_instruction(state, instruction, source, index, work);
            return;
        case 1:
            return;
        case 2: {
            const auto* rotation = std::get_if<ActiveRotation>(&instruction);
            if (rotation == nullptr) {
                throw invalid("component rotation step does not match its instruction");
            }
            const ActiveComponentRotationStep& s = step_entry(plan.rotation_steps, step.index);
            source.eval(index, state, work);
            merge_batch_components(state, plan.merges, s.merge_start, s.merge_count, s.component);
            with_batch_component(state, s.component, s.kernel, work);
            return;
        }
        case 3: {
            const auto* promotion = std::get_if<DormantPromotion>(&instruction);
            if (promotion == nullptr) {
                throw invalid("component promotion step does not match its instruction");
            }
            source.eval(index, state, work);
            if (state.dormant_qubits == 0 || step.index >= plan.promotion_targets.size() ||
                plan.promotion_targets[step.index] >= state.components.size()) {
                throw invalid("active component promotion is invalid");
            }
            BatchActiveComponent& target = state.components[plan.promotion_targets[step.index]];
            if (target.active || target.basis_capacity < 2) {
                throw invalid("active component promotion target is unavailable");
            }
            promote_into_component(state, target, work, promotion->angle);
            return;
        }
        default: {
            const auto* measurement = std::get_if<ActiveMeasurement>(&instruction);
            if (measurement == nullptr) {
                throw invalid("component measurement step does not match its instruction");
            }
            const ActiveComponentMeasurementStep& s =
                step_entry(plan.measurement_steps, step.index);
            merge_batch_components(state, plan.merges, s.merge_start, s.merge_count, s.component);
            {
                const PinnedLoan pinned(state, index);
                KELVO_ASSERT(s.component < state.components.size(), "component index out of range");
                if (!state.components[s.component].active) {
                    throw invalid("cannot execute an instruction on an inactive component");
                }
                measure_in_component(state, s.component, s.kernel,
                                     static_cast<uint32_t>(measurement->outcome_condition), work,
                                     pinned.view());
            }
            KELVO_ASSERT(state.active_qubits > 0, "active qubit count out of range");
            state.active_qubits -= 1;
            state.dormant_qubits += 1;
            BatchActiveComponent& component = state.components[s.component];
            if (s.emptied) {
                if (component.active_qubits != 0) {
                    throw invalid(
                        "active component measurement did not remove its last coordinate");
                }
                component.active = false;
            }
            write_outcome_record(state, *measurement, source, index, work);
            return;
        }
    }
}

uint64_t execute_shot_major_rotation_run(BatchFactoredExecutorState& state,
                                         const FactoredInstructionProgram& program,
                                         const BatchSignSource& source, uint64_t start,
                                         std::span<const uint64_t> dead,
                                         std::vector<uint64_t>& work) {
    const auto& instructions = program.instructions;
    if (start >= instructions.size()) return 0;
    if (std::holds_alternative<DormantPromotion>(instructions[start])) return 0;
    uint64_t run = 0;
    while (run < kMaxRotationRun && start + run < instructions.size() &&
           std::holds_alternative<ActiveRotation>(instructions[start + run])) {
        ++run;
    }
    const uint64_t live = state.live_shots;
    if (run < 2 || live == 0) return 0;
    const uint64_t words = word_count(live);
    if (state.run_sign_bits.size() < run * words) state.run_sign_bits.resize(run * words);
    std::array<const PrecomputedActivePauliRotationKernel*, kMaxRotationRun> kernels{};
    for (uint64_t r = 0; r < run; ++r) {
        const auto* rotation = std::get_if<ActiveRotation>(&instructions[start + r]);
        KELVO_ASSERT(rotation != nullptr,
                     "internal error: entered unreachable code: run length counted only rotations");
        kernels[r] = &rotation->kernel;
        if (rotation->kernel.action.k != state.active_qubits) {
            throw invalid("rotation kernel dimension does not match batch active state");
        }
        source.eval(start + r, state, work);
        std::copy_n(work.begin(), words,
                    state.run_sign_bits.begin() + static_cast<std::ptrdiff_t>(r * words));
    }
    const uint64_t k = state.active_qubits;
    if (k >= 62) throw invalid(kTooWide);
    const uint64_t dimension = uint64_t{1} << k;
    const uint64_t block = state.basis_capacity;
    KELVO_ASSERT(dimension <= block &&
                     (live - 1) * block + dimension <= state.amplitude_re.size() &&
                     (live - 1) * block + dimension <= state.amplitude_im.size(),
                 "amplitude index out of range");
    const SimdLevel level = simd_level();
    const std::span<double> re(state.amplitude_re), im(state.amplitude_im);
    const std::span<const uint64_t> signs(state.run_sign_bits);
    for (uint64_t s = 0; s < live; ++s) {
        if (s / 64 < dead.size() && get_bit(dead, s)) continue;
        uint32_t shot_signs = 0;
        for (uint64_t r = 0; r < run; ++r)
            shot_signs |= static_cast<uint32_t>(get_bit(signs.subspan(r * words, words), s)) << r;
        rotate_contiguous_run(re.subspan(s * block, dimension), im.subspan(s * block, dimension),
                              dimension, std::span(kernels).first(run), shot_signs, level);
    }
    return run;
}

void execute_batch_in_place_expressions(BatchFactoredExecutorState& state,
                                        const FactoredInstructionProgram& program,
                                        const PresampledExpressionPlan& plan,
                                        const PresampledExpressionBlock& block, uint64_t offset,
                                        const CancellationCheck& cancel) {
    constexpr uint64_t kInstructionsPerPoll = 256;
    if (state.num_qubits != program.num_qubits || state.active_qubits > program.num_qubits ||
        state.dormant_qubits != program.num_qubits - state.active_qubits) {
        throw invalid("batch executor state does not match program");
    }
    if (plan.rows.size() != program.instructions.size()) throw invalid(kPlanMismatch);
    if (state.live_shots == 0) return;
    BufferLoan work(state.work_bits);
    const BatchSignSource source = BatchSignSource::in_place(plan, block, offset);
    const uint64_t count = program.instructions.size();
    if (state.components_enabled) {
        for (uint64_t i = 0; i < count; ++i) {
            if (i % kInstructionsPerPoll == 0) cancel.check();
            execute_batch_component_instruction(state, program, source, i, work.bits());
        }
        return;
    }
    for (uint64_t i = 0, next_poll = 0; i < count;) {
        if (i >= next_poll) {
            cancel.check();
            next_poll = i + kInstructionsPerPoll;
        }
        if (state.shot_major) {
            const uint64_t run =
                execute_shot_major_rotation_run(state, program, source, i, {}, work.bits());
            if (run > 0) {
                i += run;
                continue;
            }
        }
        execute_batch_instruction(state, program.instructions[i], source, i, work.bits());
        ++i;
    }
}

}  // namespace kelvo
