#include "sampler/batch/postselect.h"

#include <algorithm>
#include <bit>
#include <cmath>

#include "bits.h"
#include "errors.h"
#include "sampler/batch/buffer_loan.h"
#include "sampler/batch/runtime.h"
#include "sampler/batch/symbols.h"
#include "sampler/contiguous.h"

namespace kelvo {
namespace {

constexpr uint64_t kFnvOffset = 0xcbf29ce484222325;
constexpr uint64_t kFnvPrime = 0x100000001b3;

// Gathers the bits of a word selected by a mask into its low end in six shift steps, each
// moving the selected bits right by 1, 2, 4, ... 32 places where the mask says (compress by
// parallel suffix, Hacker's Delight 7-4). The steps depend on the mask only, so rows sharing
// one mask share them.
constexpr int kCompressSteps = 6;

void compress_steps(uint64_t mask, uint64_t* steps) {
    uint64_t zeros_right = ~mask << 1;  // counts the unselected bits to the right of each bit
    for (int i = 0; i < kCompressSteps; ++i) {
        uint64_t prefix = zeros_right ^ (zeros_right << 1);
        for (int shift = 2; shift < 64; shift *= 2)
            prefix ^= prefix << shift;
        const uint64_t moving = prefix & mask;
        steps[i] = moving;
        mask = (mask ^ moving) | (moving >> (1 << i));
        zeros_right &= ~prefix;
    }
}

uint64_t compress(uint64_t selected, const uint64_t* steps) {
    for (int i = 0; i < kCompressSteps; ++i) {
        const uint64_t moving = selected & steps[i];
        selected = (selected ^ moving) | (moving >> (1 << i));
    }
    return selected;
}

// Appends runs of bits to a row being rewritten in place: the write position never passes the
// word being read, and each source word is loaded before its own slot can be written.
class BitAppender {
  public:
    explicit BitAppender(uint64_t* row) : row_(row) {}

    // `value` holds `length` (1 to 64) bits.
    void append(uint64_t value, uint64_t length) {
        pending_ |= value << position_;
        if (position_ + length < 64) {
            position_ += length;
            return;
        }
        row_[written_++] = pending_;
        pending_ = position_ == 0 ? 0 : value >> (64 - position_);
        position_ = position_ + length - 64;
    }

    // Flushes the last partial word and zeroes the row up to `words`.
    void finish(uint64_t words) {
        if (position_ > 0) row_[written_++] = pending_;
        std::fill(row_ + written_, row_ + std::max(words, written_), 0);
    }

  private:
    uint64_t* row_;
    uint64_t written_ = 0;
    uint64_t pending_ = 0;
    uint64_t position_ = 0;
};

// Per instruction, the conditions its sign (or a record-free detector's parity) reads, and
// the conditions it assigns: a second assignment compares with the row, so it reads it too.
template <typename F>
void for_each_condition_used(const FactoredInstruction& instruction, F&& use) {
    std::visit(
        [&](const auto& kind) {
            using T = std::decay_t<decltype(kind)>;
            if constexpr (std::is_same_v<T, Detector>) {
                if (kind.detector.records.empty())
                    for (const int32_t c : kind.detector.plan.conditions)
                        use(c);
            } else {
                for (const int32_t c : kind.sign_plan.conditions)
                    use(c);
                if constexpr (!std::is_same_v<T, ActiveRotation> &&
                              !std::is_same_v<T, DormantPromotion>) {
                    if (kind.condition) use(static_cast<int64_t>(*kind.condition));
                }
                if constexpr (std::is_same_v<T, ActiveMeasurement> ||
                              std::is_same_v<T, RandomOutcome>) {
                    use(kind.outcome_condition);
                }
            }
        },
        instruction);
}

// Moves shot columns[j] to shot j for j >= first, over `dimension` basis states.
void move_amplitude_columns(std::vector<double>& values, uint64_t dimension, bool shot_major,
                            uint64_t stride, std::span<const uint64_t> columns, uint64_t first) {
    if (shot_major) {
        for (uint64_t j = first; j < columns.size(); ++j)
            std::copy_n(values.begin() + columns[j] * stride, dimension,
                        values.begin() + j * stride);
        return;
    }
    for (uint64_t b = 0; b < dimension; ++b) {
        double* row = values.data() + b * stride;
        for (uint64_t j = first; j < columns.size(); ++j)
            row[j] = row[columns[j]];
    }
}

void move_state_columns(BatchFactoredExecutorState& state, std::span<const uint64_t> columns,
                        uint64_t first) {
    const auto move = [&](std::vector<double>& re, std::vector<double>& im, uint64_t qubits,
                          uint64_t block) {
        const uint64_t dimension = uint64_t{1} << qubits;
        const uint64_t stride = state.shot_major ? block : state.shot_stride;
        move_amplitude_columns(re, dimension, state.shot_major, stride, columns, first);
        move_amplitude_columns(im, dimension, state.shot_major, stride, columns, first);
    };
    if (state.components_enabled) {
        for (BatchActiveComponent& c : state.components)
            if (c.active) move(c.amplitude_re, c.amplitude_im, c.active_qubits, c.basis_capacity);
    } else {
        move(state.amplitude_re, state.amplitude_im, state.active_qubits, state.basis_capacity);
    }
    for (uint64_t e = 0; e < state.exp_count; ++e) {
        double* slot = state.exp_values.data() + e * state.batch_capacity;
        for (uint64_t j = first; j < columns.size(); ++j)
            slot[j] = slot[columns[j]];
    }
}

bool is_dead(std::span<const uint64_t> dead, uint64_t s) {
    return s / 64 < dead.size() && ((dead[s / 64] >> (s % 64)) & 1);
}

// Whether the dead shots pending before instruction `instruction` are worth removing now.
bool compaction_due(const FactoredInstruction& instruction, const BatchFactoredExecutorState& state,
                    uint64_t dead, uint64_t factor) {
    if (std::holds_alternative<ActiveMeasurement>(instruction) ||
        std::holds_alternative<RandomOutcome>(instruction))
        return true;  // their cost (draws, projections) grows with the live shots
    if (state.shot_major && !state.components_enabled) return false;  // dead shots are skipped
    const bool wide = std::holds_alternative<ActiveRotation>(instruction) ||
                      std::holds_alternative<DormantPromotion>(instruction);
    const uint64_t f = std::max<uint64_t>(factor, wide ? 64 : 1);
    // f * dead >= live, without the product.
    return dead >= state.live_shots / f + (state.live_shots % f != 0);
}

// Shot-major rotation of the shots not marked dead.
void rotate_living_shots(BatchFactoredExecutorState& state,
                         const PrecomputedActivePauliRotationKernel& kernel,
                         std::span<const uint64_t> signs, std::span<const uint64_t> dead) {
    if (kernel.action.k != state.active_qubits)
        throw KelvoError::invalid_input(
            "rotation kernel dimension does not match batch active state");
    const uint64_t dimension = uint64_t{1} << state.active_qubits;
    const uint64_t block = state.basis_capacity;
    KELVO_ASSERT(dimension <= block && state.live_shots <= state.amplitude_re.size() / block,
                 "batch active storage index out of range");
    for (uint64_t s = 0; s < state.live_shots; ++s) {
        if (is_dead(dead, s)) continue;
        rotate_contiguous_active(std::span(state.amplitude_re).subspan(s * block, dimension),
                                 std::span(state.amplitude_im).subspan(s * block, dimension),
                                 dimension, kernel, get_bit(signs, s));
    }
}

// Shot-major promotion of the first dormant qubit on the shots not marked dead.
void promote_living_shots(BatchFactoredExecutorState& state, double theta,
                          std::span<const uint64_t> signs, std::span<const uint64_t> dead) {
    const uint64_t k = state.active_qubits;
    if (state.dormant_qubits == 0)
        throw KelvoError::invalid_input("cannot promote a dormant qubit when none remain");
    if (k + 1 >= 62)
        throw KelvoError::invalid_input(
            "active qubit count is too large for machine basis indices");
    const uint64_t dimension = uint64_t{1} << k, block = state.basis_capacity;
    if (block / 2 < dimension)
        throw KelvoError::invalid_input(
            "batch active shot-major stride is too short for dormant promotion");
    KELVO_ASSERT(state.live_shots <= state.amplitude_re.size() / block,
                 "batch active storage index out of range");
    const double sin = std::sin(theta), cos = std::cos(theta);
    for (uint64_t s = 0; s < state.live_shots; ++s) {
        if (is_dead(dead, s)) continue;
        promote_contiguous_active(std::span(state.amplitude_re).subspan(s * block, 2 * dimension),
                                  std::span(state.amplitude_im).subspan(s * block, 2 * dimension),
                                  dimension, cos, get_bit(signs, s) ? sin : -sin);
    }
    ++state.active_qubits;
    --state.dormant_qubits;
}

// Copies block rows offset .. offset + live - 1 of the expressions still read from
// instruction `from` on into the scratch workspace.
void fill_expression_workspace(BatchDetectorPostselectionScratch& scratch,
                               const BatchFactoredExecutorState& state,
                               const PresampledExpressionPlan& plan,
                               const PresampledExpressionBlock& block, uint64_t offset,
                               uint64_t from) {
    const uint64_t live = state.live_shots, words = word_count(live);
    const uint64_t per_row = state.words_per_batch;
    if (block.shots < offset || block.shots - offset < live)
        throw KelvoError::invalid_input(
            "batch presampled expression source range is out of bounds");
    const uint64_t expressions = plan.block_expressions.size();
    if (scratch.expression_workspace.size() < expressions * per_row)
        scratch.expression_workspace.resize(expressions * per_row);
    const uint64_t shift = offset % 64;
    for (uint64_t e = 0; e < expressions; ++e) {
        if (plan.last_use[e] < from) continue;  // never read again
        const std::span<const uint64_t> row = block.row(e);
        uint64_t* out = scratch.expression_workspace.data() + e * per_row;
        for (uint64_t j = 0; j < words; ++j) {
            const uint64_t at = offset / 64 + j;
            uint64_t word = at < row.size() ? row[at] >> shift : 0;
            if (shift != 0 && at + 1 < row.size()) word |= row[at + 1] << (64 - shift);
            out[j] = word & live_word_mask(j, live);
        }
        std::fill(out + words, out + per_row, 0);
    }
}

}  // namespace

uint64_t retained_records_fingerprint(std::span<const std::vector<int32_t>> retained_records) {
    uint64_t h = kFnvOffset;
    for (const std::vector<int32_t>& list : retained_records) {
        h = (h * kFnvPrime) ^ list.size();
        for (const int32_t r : list)
            h = (h * kFnvPrime) ^ static_cast<uint64_t>(static_cast<int64_t>(r));
    }
    return h;
}

void prepare_batch_detector_postselection_scratch_for_program(
    BatchDetectorPostselectionScratch& scratch, const BatchFactoredExecutorState& state,
    const FactoredInstructionProgram& program, const PostselectionContext& context) {
    const uint64_t words = state.words_per_batch;
    if (scratch.dead_mask.size() < words) scratch.dead_mask.resize(words);
    if (scratch.alive_mask.size() < words) scratch.alive_mask.resize(words);
    scratch.survivor_columns.reserve(state.batch_capacity);
    // The forced branches read their conditions at the forced instruction, so they shape the
    // tables too.
    uint64_t h = retained_records_fingerprint(context.retained_records);
    for (const ForcedBranch& f : state.forced_branches) {
        h = (h * kFnvPrime) ^ f.instruction;
        for (const int32_t c : f.plan.conditions)
            h = (h * kFnvPrime) ^ static_cast<uint64_t>(static_cast<int64_t>(c));
    }
    if (scratch.prepared && scratch.prepared_program == &program && scratch.fingerprint == h)
        return;
    scratch.prepared = false;

    const uint64_t count = program.instructions.size();
    std::vector<int64_t>& conditions = scratch.condition_last_use;
    conditions.assign(program.num_symbols + 1, -1);
    const auto read_condition = [&](int64_t c, uint64_t i) {
        if (c > 0 && static_cast<uint64_t>(c) < conditions.size())
            conditions[c] = std::max(conditions[c], static_cast<int64_t>(i));
    };
    for (uint64_t i = 0; i < count; ++i)
        for_each_condition_used(program.instructions[i], [&](int64_t c) { read_condition(c, i); });
    for (const ForcedBranch& f : state.forced_branches)
        for (const int32_t c : f.plan.conditions)
            read_condition(c, f.instruction);

    std::vector<int64_t>& records = scratch.record_last_use;
    records.assign(program.num_records + 1, -1);
    const auto in_range = [&](int32_t r) {
        return r >= 1 && static_cast<uint64_t>(r) <= program.num_records;
    };
    for (uint64_t i = 0; i < count; ++i) {
        const auto* detector = std::get_if<Detector>(&program.instructions[i]);
        if (detector == nullptr) continue;
        for (const int32_t r : detector->detector.records) {
            if (!in_range(r))
                throw KelvoError::invalid_input(
                    "detector references an out-of-range measurement record");
            records[r] = std::max(records[r], static_cast<int64_t>(i));
        }
    }
    for (const std::vector<int32_t>& list : context.retained_records)
        for (const int32_t r : list) {
            if (!in_range(r))
                throw KelvoError::invalid_input(
                    "retained record use references an out-of-range measurement record");
            records[r] = static_cast<int64_t>(count);
        }
    scratch.prepared_program = &program;
    scratch.fingerprint = h;
    scratch.prepared = true;
}

void compact_bit_columns(std::span<uint64_t> rows, uint64_t words_per_row,
                         std::span<const uint64_t> selected_rows, uint64_t live_before,
                         uint64_t survivors, std::span<const uint64_t> alive_mask,
                         std::vector<uint64_t>& work) {
    const uint64_t words = word_count(live_before);
    KELVO_ASSERT(words <= alive_mask.size() && words <= words_per_row, "row index out of range");
    // Per word: its mask, the mask's survivor count and its compression steps, shared by every
    // row.
    constexpr uint64_t kStride = 2 + kCompressSteps;
    if (work.size() < words * kStride) work.resize(words * kStride);
    uint64_t gathered = 0;
    for (uint64_t j = 0; j < words; ++j) {
        uint64_t* w = work.data() + j * kStride;
        w[0] = alive_mask[j] & live_word_mask(j, live_before);
        w[1] = static_cast<uint64_t>(std::popcount(w[0]));
        compress_steps(w[0], w + 2);
        gathered += w[1];
    }
    if (gathered != survivors)
        throw KelvoError::internal("internal bit-plane compaction count mismatch");
    for (const uint64_t r : selected_rows) {
        KELVO_ASSERT(r < rows.size() / std::max<uint64_t>(words_per_row, 1),
                     "row index out of range");
        uint64_t* row = rows.data() + r * words_per_row;
        BitAppender out(row);
        for (uint64_t j = 0; j < words; ++j) {
            const uint64_t* w = work.data() + j * kStride;
            if (w[0] == ~uint64_t{0}) {
                out.append(row[j], 64);
            } else if (w[0] != 0) {
                out.append(compress(row[j] & w[0], w + 2), w[1]);
            }
        }
        out.finish(words);
    }
}

void compact_dead_shots_if_needed(BatchFactoredExecutorState& state,
                                  BatchDetectorPostselectionScratch& scratch, int64_t index,
                                  bool final,
                                  std::optional<std::span<const uint32_t>> expression_last_use,
                                  bool workspace_in_use) {
    const uint64_t live = state.live_shots;
    if (live == 0 || scratch.dead_count == 0) return;
    const uint64_t words = word_count(live);
    KELVO_ASSERT(scratch.dead_mask.size() >= words && scratch.alive_mask.size() >= words,
                 "postselection scratch is not prepared for this batch");
    uint64_t survivors = 0;
    for (uint64_t j = 0; j < words; ++j) {
        scratch.alive_mask[j] = ~scratch.dead_mask[j] & live_word_mask(j, live);
        survivors += std::popcount(scratch.alive_mask[j]);
    }
    if (survivors == 0) {
        state.live_shots = 0;
    } else if (survivors < live) {
        std::vector<uint64_t>& columns = scratch.survivor_columns;
        columns.clear();
        for (uint64_t j = 0; j < words; ++j)
            for (uint64_t m = scratch.alive_mask[j]; m != 0; m &= m - 1)
                columns.push_back(64 * j + std::countr_zero(m));
        if (columns.size() != survivors)
            throw KelvoError::internal("internal live source compaction count mismatch");
        uint64_t first = 0;
        while (first < survivors && columns[first] == first)
            ++first;
        move_state_columns(state, columns, first);

        const uint64_t row_words = state.words_per_batch;
        std::vector<uint64_t>& selected = scratch.selected_rows;
        const auto compact = [&](std::span<uint64_t> rows) {
            compact_bit_columns(rows, row_words, selected, live, survivors, scratch.alive_mask,
                                scratch.column_work);
        };
        if (workspace_in_use) {
            if (!expression_last_use)
                throw KelvoError::internal(
                    "internal expression compaction last-use table is missing");
            selected.clear();
            for (uint64_t e = 0; e < expression_last_use->size(); ++e)
                if (static_cast<int64_t>((*expression_last_use)[e]) > index) selected.push_back(e);
            compact(scratch.expression_workspace);
        }
        selected.clear();
        const std::vector<int64_t>& condition_use = scratch.condition_last_use;
        for (uint64_t w = 0; w < state.assigned_symbols.size(); ++w)
            for (uint64_t m = state.assigned_symbols[w]; m != 0; m &= m - 1) {
                const uint64_t c = 64 * w + std::countr_zero(m) + 1;
                if (c < condition_use.size() && condition_use[c] > index)
                    selected.push_back(state.symbol_slots[c - 1] - 1);
            }
        compact(state.symbol_table);
        selected.clear();
        const std::vector<int64_t>& record_use = scratch.record_last_use;
        const uint64_t records = std::min<uint64_t>(record_use.size(), state.measurement_count + 1);
        for (uint64_t r = 1; r < records; ++r)
            if (record_use[r] > index || (final && record_use[r] == index))
                selected.push_back(r - 1);
        compact(state.measurement_records);
        if (state.record_detectors) {
            selected.clear();
            for (uint64_t d = 0; d < state.detector_count; ++d)
                selected.push_back(d);
            compact(state.detector_records);
        }
        state.live_shots = survivors;
    }
    std::fill_n(scratch.dead_mask.begin(), words, 0);
    scratch.dead_count = 0;
}

PostselectedBatch execute_batch_postselected_in_place(
    BatchFactoredExecutorState& state, const FactoredInstructionProgram& program,
    const PresampledExpressionPlan& plan, const PresampledExpressionBlock& block, uint64_t offset,
    BatchDetectorPostselectionScratch& scratch, const PostselectionContext& context,
    const CancellationCheck& cancel) {
    constexpr uint64_t kInstructionsPerPoll = 256;
    if (state.num_qubits != program.num_qubits ||
        state.active_qubits + state.dormant_qubits != state.num_qubits)
        throw KelvoError::invalid_input("batch executor state does not match program");
    if (plan.rows.size() != program.instructions.size())
        throw KelvoError::invalid_input("batch presampled expression plan does not match program");
    if (plan.last_use.size() != plan.block_expressions.size())
        throw KelvoError::invalid_input(
            "batch presampled expression last-use table does not match expression plan");
    prepare_batch_detector_postselection_scratch_for_program(scratch, state, program, context);
    std::fill_n(scratch.dead_mask.begin(), state.words_per_batch, 0);
    scratch.dead_count = 0;
    if (state.live_shots == 0) return {};

    BufferLoan loan(state.work_bits);
    std::vector<uint64_t>& work = loan.bits();
    BatchSignSource source = BatchSignSource::in_place(plan, block, offset);
    bool workspace = false;
    const std::span<const uint32_t> last_use = plan.last_use;
    const bool flat_shot_major = state.shot_major && !state.components_enabled;
    uint64_t discarded = 0;
    const uint64_t count = program.instructions.size();
    for (uint64_t i = 0, next_poll = 0; i < count;) {
        if (state.live_shots == 0) break;
        if (i >= next_poll) {
            cancel.check();
            next_poll = i + kInstructionsPerPoll;
        }
        const FactoredInstruction& instruction = program.instructions[i];
        if (scratch.dead_count > 0 &&
            compaction_due(instruction, state, scratch.dead_count, context.compaction_factor)) {
            if (!workspace) {
                fill_expression_workspace(scratch, state, plan, block, offset, i);
                source = BatchSignSource::workspace(plan, scratch.expression_workspace,
                                                    state.words_per_batch);
                workspace = true;
            }
            compact_dead_shots_if_needed(state, scratch, static_cast<int64_t>(i) - 1, false,
                                         last_use, true);
            if (state.live_shots == 0) break;
        }
        const std::span<const uint64_t> dead = scratch.dead_count > 0
                                                   ? std::span<const uint64_t>(scratch.dead_mask)
                                                   : std::span<const uint64_t>();
        if (flat_shot_major) {
            const uint64_t run =
                execute_shot_major_rotation_run(state, program, source, i, dead, work);
            if (run > 1) {
                i += run;
                continue;
            }
        }
        const auto* detector = std::get_if<Detector>(&instruction);
        const bool plain_step =
            !state.components_enabled ||
            program.component_plan->instruction_steps[i].kind == ActiveComponentStepKind::None;
        if (detector != nullptr && detector->detector.postselect && plain_step) {
            const RecordDetector& d = detector->detector;
            detector_outcome_bits(state, d, source, i, work);
            if (state.record_detectors) write_batch_detector_record(state, d.id, work);
            const uint64_t expected_index = uint64_t{d.id} - 1;
            const uint64_t flip = d.id >= 1 && expected_index < context.expected_detectors.size() &&
                                          context.expected_detectors[expected_index] != 0
                                      ? ~uint64_t{0}
                                      : 0;
            uint64_t newly_dead = 0;
            for (uint64_t j = 0; j < word_count(state.live_shots); ++j) {
                const uint64_t failing = (work[j] ^ flip) & live_word_mask(j, state.live_shots);
                newly_dead += std::popcount(failing & ~scratch.dead_mask[j]);
                scratch.dead_mask[j] |= failing;
            }
            scratch.dead_count += newly_dead;
            discarded += newly_dead;
        } else if (flat_shot_major && !dead.empty() &&
                   std::holds_alternative<ActiveRotation>(instruction)) {
            source.eval(i, state, work);
            rotate_living_shots(state, std::get<ActiveRotation>(instruction).kernel, work, dead);
        } else if (flat_shot_major && !dead.empty() &&
                   std::holds_alternative<DormantPromotion>(instruction)) {
            source.eval(i, state, work);
            promote_living_shots(state, std::get<DormantPromotion>(instruction).angle, work, dead);
        } else if (state.components_enabled) {
            execute_batch_component_instruction(state, program, source, i, work);
        } else {
            execute_batch_instruction(state, instruction, source, i, work);
        }
        if (scratch.dead_count >= state.live_shots) {
            state.live_shots = 0;
            break;
        }
        ++i;
    }
    compact_dead_shots_if_needed(state, scratch, static_cast<int64_t>(count), true,
                                 workspace ? std::optional(last_use) : std::nullopt, workspace);
    return {discarded, state.live_shots};
}

}  // namespace kelvo
