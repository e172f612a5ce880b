#include "sampler/batch/postselect.h"

#include <algorithm>
#include <bit>

#include "bits.h"
#include "errors.h"

namespace kelvo {
namespace {

constexpr uint64_t kFnvOffset = 0xcbf29ce484222325;
constexpr uint64_t kFnvPrime = 0x100000001b3;

constexpr uint64_t low_bits(uint64_t n) {
    return n >= 64 ? ~uint64_t{0} : (uint64_t{1} << n) - 1;
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
                         uint64_t survivors, std::span<const uint64_t> alive_mask) {
    const uint64_t words = word_count(live_before);
    KELVO_ASSERT(words <= alive_mask.size() && words <= words_per_row, "row index out of range");
    uint64_t gathered = 0;
    for (uint64_t j = 0; j < words; ++j)
        gathered += std::popcount(alive_mask[j] & live_word_mask(j, live_before));
    if (gathered != survivors)
        throw KelvoError::internal("internal bit-plane compaction count mismatch");
    for (const uint64_t r : selected_rows) {
        KELVO_ASSERT(r < rows.size() / std::max<uint64_t>(words_per_row, 1),
                     "row index out of range");
        uint64_t* row = rows.data() + r * words_per_row;
        BitAppender out(row);
        for (uint64_t j = 0; j < words; ++j) {
            const uint64_t word = row[j];
            uint64_t mask = alive_mask[j] & live_word_mask(j, live_before);
            if (mask == ~uint64_t{0}) {
                out.append(word, 64);
                continue;
            }
            // One append per run of survivors.
            while (mask != 0) {
                const int start = std::countr_zero(mask);
                const uint64_t length = std::countr_one(mask >> start);
                out.append((word >> start) & low_bits(length), length);
                mask &= ~(low_bits(length) << start);
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
            compact_bit_columns(rows, row_words, selected, live, survivors, scratch.alive_mask);
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
                if (c < condition_use.size() && condition_use[c] > index) selected.push_back(c - 1);
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

}  // namespace kelvo
