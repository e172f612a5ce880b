#include "sampler/batch/symbols.h"

#include <algorithm>
#include <new>
#include <variant>

#include "bits.h"
#include "errors.h"
#include "memory.h"

namespace kelvo {
namespace {

constexpr const char* kExceedsTable = "symbolic condition exceeds batch executor symbol table";
constexpr const char* kNoValue = "symbolic condition expression has no concrete batch value";
constexpr const char* kTooShort = "batch bit vector is too short";

KelvoError invalid(const char* message) {
    return KelvoError::invalid_input(message);
}

uint64_t live_words(const BatchFactoredExecutorState& state) {
    return word_count(state.live_shots);
}

bool in_table(const BatchFactoredExecutorState& state, int64_t id) {
    return id >= 1 && static_cast<uint64_t>(id) <= state.symbol_count;
}

bool is_assigned(const BatchFactoredExecutorState& state, int64_t id) {
    return get_bit(state.assigned_symbols, static_cast<uint64_t>(id - 1));
}

void check_assigned(const BatchFactoredExecutorState& state, int64_t id) {
    if (!in_table(state, id)) throw invalid(kExceedsTable);
    if (!is_assigned(state, id)) throw invalid(kNoValue);
}

// The row of an assigned condition.
const uint64_t* symbol_row(const BatchFactoredExecutorState& state, int64_t id) {
    const uint64_t slot = state.symbol_slots[static_cast<uint64_t>(id - 1)];
    return state.symbol_table.data() + (slot - 1) * state.words_per_batch;
}

// Makes room for `rows` rows.
void grow_symbol_table(BatchFactoredExecutorState& state, uint64_t rows) {
    uint64_t size = 0;
    if (__builtin_mul_overflow(rows, state.words_per_batch, &size)) throw std::bad_alloc();
    if (size <= state.symbol_table.size()) return;
    require_memory_to_grow(state.symbol_table, size, "the batch symbol table");
    state.symbol_table.resize(size);
}

// The row of condition `id` (in the table), handed out on its first value unless reserved.
uint64_t* symbol_row_for_value(BatchFactoredExecutorState& state, int64_t id) {
    uint32_t& slot = state.symbol_slots[static_cast<uint64_t>(id - 1)];
    if (slot == 0) {
        KELVO_ASSERT(state.symbol_rows < UINT32_MAX, "condition id out of range");
        grow_symbol_table(state, std::max(state.symbol_rows + 1, 2 * state.symbol_rows));
        slot = static_cast<uint32_t>(++state.symbol_rows);
    }
    return state.symbol_table.data() + (slot - 1) * state.words_per_batch;
}

// row = the live words of `bits` (the last one masked), zeros after them.
void write_row(uint64_t* row, uint64_t row_words, std::span<const uint64_t> bits,
               uint64_t live_shots) {
    const uint64_t live = word_count(live_shots);
    KELVO_ASSERT(bits.size() >= live && row_words >= live, "batch row index out of range");
    for (uint64_t j = 0; j < live; ++j)
        row[j] = bits[j] & live_word_mask(j, live_shots);
    std::fill(row + live, row + row_words, 0);
}

// Grows a table of `words`-word rows to hold at least `rows` rows; existing rows stay in place.
void grow_rows(std::vector<uint64_t>& table, uint64_t& count, uint64_t rows, uint64_t words) {
    uint64_t size = 0;
    if (__builtin_mul_overflow(rows, words, &size)) throw std::bad_alloc();
    require_memory_to_grow(table, size, "the batch symbol table");
    if (table.size() < size) table.resize(size);
    count = std::max(count, rows);
}

// bits[0..live words) ^= the rows of the plan's conditions. Each condition is checked just
// before its row is read, or all at once up front for large plans with word lists.
void xor_condition_rows(uint64_t* bits, const SymbolicBoolEvaluationPlan& plan,
                        const BatchFactoredExecutorState& state) {
    const bool up_front = plan.conditions.size() >= 33 && !plan.word_indices.empty();
    if (up_front) check_batch_symbolic_plan_assigned(plan, state);
    const auto row = [&](int32_t c) {
        if (up_front) {
            KELVO_ASSERT(in_table(state, c), "condition id out of range");
        } else {
            check_assigned(state, c);
        }
        return symbol_row(state, c);
    };
    const uint64_t words = live_words(state);
    if (words == 1) {
        uint64_t a = bits[0];
        for (const int32_t c : plan.conditions)
            a ^= row(c)[0];
        bits[0] = a;
    } else if (words == 2) {
        uint64_t a = bits[0], b = bits[1];
        for (const int32_t c : plan.conditions) {
            const uint64_t* r = row(c);
            a ^= r[0];
            b ^= r[1];
        }
        bits[0] = a;
        bits[1] = b;
    } else {
        for (const int32_t c : plan.conditions) {
            const uint64_t* r = row(c);
            for (uint64_t j = 0; j < words; ++j)
                bits[j] ^= r[j];
        }
    }
}

void mask_last_live_word(uint64_t* bits, uint64_t live_shots) {
    const uint64_t words = word_count(live_shots);
    if (words > 0) bits[words - 1] &= live_word_mask(words - 1, live_shots);
}

}  // namespace

void assign_batch_symbol(BatchFactoredExecutorState& state, uint32_t condition,
                         std::span<const uint64_t> bits) {
    const int64_t id = static_cast<int32_t>(condition);
    if (!in_table(state, id)) throw invalid(kExceedsTable);
    const uint64_t words = live_words(state);
    if (is_assigned(state, id)) {
        const uint64_t* row = symbol_row(state, id);
        if (bits.size() < words) throw invalid(kTooShort);
        for (uint64_t j = 0; j < words; ++j) {
            if ((bits[j] ^ row[j]) & live_word_mask(j, state.live_shots))
                throw invalid("symbolic condition was assigned inconsistent concrete batch values");
        }
        return;
    }
    uint64_t* row = symbol_row_for_value(state, id);
    set_bit(state.assigned_symbols, static_cast<uint64_t>(id - 1), true);
    if (bits.size() < words) throw invalid(kTooShort);
    write_row(row, state.words_per_batch, bits, state.live_shots);
}

void reserve_batch_symbol_rows(BatchFactoredExecutorState& state,
                               const FactoredInstructionProgram& program) {
    std::vector<int32_t> ids;
    for (const FactoredInstruction& instruction : program.instructions) {
        std::visit(
            [&](const auto& kind) {
                if constexpr (requires { kind.condition; }) {
                    if (kind.condition) ids.push_back(static_cast<int32_t>(*kind.condition));
                }
                if constexpr (requires { kind.outcome_condition; })
                    ids.push_back(kind.outcome_condition);
            },
            instruction);
    }
    uint64_t rows = state.symbol_rows;
    for (const int32_t id : ids)
        rows += in_table(state, id) && state.symbol_slots[static_cast<uint64_t>(id - 1)] == 0;
    grow_symbol_table(state, rows);
    for (const int32_t id : ids) {
        if (in_table(state, id)) symbol_row_for_value(state, id);
    }
}

std::span<const uint64_t> batch_symbol_row(const BatchFactoredExecutorState& state,
                                           uint32_t condition) {
    check_assigned(state, static_cast<int32_t>(condition));
    return {symbol_row(state, static_cast<int32_t>(condition)), state.words_per_batch};
}

void check_condition_assigned(const BatchFactoredExecutorState& state, uint32_t condition) {
    check_assigned(state, static_cast<int32_t>(condition));
}

void check_batch_symbolic_plan_assigned(const SymbolicBoolEvaluationPlan& plan,
                                        const BatchFactoredExecutorState& state) {
    if (plan.word_indices.empty()) {
        for (const int32_t c : plan.conditions)
            check_assigned(state, c);
        return;
    }
    KELVO_ASSERT_EQ(plan.word_indices.size(), plan.word_masks.size(),
                    "word_masks and word_indices grow together");
    if (plan.word_indices.back() >= state.assigned_symbols.size()) throw invalid(kNoValue);
    for (size_t g = 0; g < plan.word_indices.size(); ++g) {
        const uint64_t w = plan.word_indices[g];
        if (w >= state.assigned_symbols.size() ||
            (plan.word_masks[g] & ~state.assigned_symbols[w]) != 0) {
            throw invalid(kNoValue);
        }
    }
}

void eval_symbolic_bool_batch(std::vector<uint64_t>& out, const SymbolicBoolEvaluationPlan& plan,
                              const BatchFactoredExecutorState& state) {
    fill_batch_bits(out, state, plan.constant);
    if (plan.conditions.empty()) return;
    xor_condition_rows(out.data(), plan, state);
    mask_last_live_word(out.data(), state.live_shots);
}

void xor_symbolic_bool_batch_into(std::vector<uint64_t>& bits,
                                  const SymbolicBoolEvaluationPlan& plan,
                                  const BatchFactoredExecutorState& state) {
    const uint64_t words = live_words(state);
    if (bits.size() < std::max(state.words_per_batch, words))
        bits.resize(std::max(state.words_per_batch, words));
    xor_condition_rows(bits.data(), plan, state);
    if (plan.constant) {
        for (uint64_t j = 0; j < words; ++j)
            bits[j] ^= live_word_mask(j, state.live_shots);
    }
    mask_last_live_word(bits.data(), state.live_shots);
}

void write_batch_measurement_record(BatchFactoredExecutorState& state,
                                    std::optional<uint32_t> record, std::span<const uint64_t> bits,
                                    std::optional<uint32_t> condition) {
    if (record) {
        const int64_t id = static_cast<int32_t>(*record);
        if (id < 1) throw invalid("measurement record id must be positive");
        const uint64_t r = static_cast<uint64_t>(id);
        grow_rows(state.measurement_records, state.measurement_count, r, state.words_per_batch);
        write_row(state.measurement_records.data() + (r - 1) * state.words_per_batch,
                  state.words_per_batch, bits, state.live_shots);
    }
    if (condition) assign_batch_symbol(state, *condition, bits);
}

void write_batch_detector_record(BatchFactoredExecutorState& state, uint32_t detector,
                                 std::span<const uint64_t> bits) {
    const int64_t id = static_cast<int32_t>(detector);
    if (id < 1) throw invalid("detector id must be positive");
    const uint64_t words = live_words(state);
    KELVO_ASSERT(bits.size() >= words && state.detector_any.size() >= words,
                 "batch row index out of range");
    if (state.record_detectors) {
        const uint64_t d = static_cast<uint64_t>(id);
        grow_rows(state.detector_records, state.detector_count, d, state.words_per_batch);
        write_row(state.detector_records.data() + (d - 1) * state.words_per_batch,
                  state.words_per_batch, bits, state.live_shots);
    }
    for (uint64_t j = 0; j < words; ++j)
        state.detector_any[j] |= bits[j] & live_word_mask(j, state.live_shots);
}

bool write_direct_branch_measurement_record(BatchFactoredExecutorState& state,
                                            std::span<uint64_t> branch, uint32_t outcome_condition,
                                            const SymbolicBoolEvaluationPlan& sign_plan,
                                            std::optional<uint32_t> record,
                                            std::optional<uint32_t> condition) {
    if (sign_plan.conditions.size() != 1 ||
        sign_plan.conditions[0] != static_cast<int32_t>(outcome_condition)) {
        return false;
    }
    if (sign_plan.constant) {
        const uint64_t words = live_words(state);
        KELVO_ASSERT(branch.size() >= words, "batch row index out of range");
        for (uint64_t j = 0; j < words; ++j)
            branch[j] = ~branch[j] & live_word_mask(j, state.live_shots);
        std::fill(branch.begin() + words, branch.end(), 0);
    }
    write_batch_measurement_record(state, record, branch, condition);
    return true;
}

}  // namespace kelvo
