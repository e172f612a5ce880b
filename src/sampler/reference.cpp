#include "sampler/reference.h"

#include <algorithm>
#include <limits>
#include <new>

#include "background_release.h"
#include "bits.h"
#include "compiler/compile.h"
#include "errors.h"
#include "memory.h"
#include "sampler/batch/runtime.h"
#include "sampler/exogenous.h"
#include "sampler/presampled_expression.h"

namespace kelvo {
namespace {

// One shot in which every exogenous condition is false except the certain ones.
void fill_reference_exogenous(PackedPresampledExogenous& storage,
                              const FactoredInstructionProgram& program) {
    const uint64_t n = storage.num_symbols;
    storage.shots = 1;
    storage.words_per_row = 1;
    storage.values.assign(n, 0);
    storage.sparse_rows.assign(word_count(n), 0);
    storage.sparse_offsets.assign(n + 1, 0);
    storage.sparse_shots.clear();
    storage.sparse_events.clear();
    storage.sparse_cursor.clear();
    for (const int32_t c : program.context.certain_conditions) {
        if (c < 1 || static_cast<uint64_t>(c) > n) continue;
        const uint64_t i = static_cast<uint64_t>(c) - 1;
        if (get_bit(storage.exogenous_mask, i)) storage.values[i] = 1;
    }
}

}  // namespace

LogicalRecords circuit_logical_records(const Circuit& circuit) {
    const uint64_t count = circuit.observable_count();
    // The count follows an index the user wrote; refuse it before reserving a list per index.
    require_memory(count, sizeof(LogicalRecords::value_type), "the observable lists");
    LogicalRecords records(count);
    for (const CircuitObservableInclude& include : circuit.observables) {
        std::vector<int32_t> list;
        list.reserve(include.records.size());
        // A number past the i32 range becomes -1, which every reader refuses as out of range.
        for (const size_t r : include.records) {
            list.push_back(r > static_cast<size_t>(std::numeric_limits<int32_t>::max())
                               ? -1
                               : static_cast<int32_t>(r));
        }
        records[include.index].push_back(std::move(list));
    }
    return records;
}

ReferenceSample circuit_reference_sample(const Circuit& circuit, const CancellationCheck& cancel) {
    const CallClock call;
    FactoredInstructionProgram program = plan_circuit(circuit, {}, cancel);
    const ReleaseOnUnwind release(program);
    return reference_sample_for_program(program, circuit_logical_records(circuit), {}, cancel);
}

ReferenceSample reference_sample_for_program(const FactoredInstructionProgram& program,
                                             const LogicalRecords& logical_records,
                                             std::span<const ForcedBranch> forced_branches,
                                             const CancellationCheck& cancel) {
    ReferenceSample result;
    if (program.num_detectors == 0 && logical_records.empty()) return result;

    PackedPresampledExogenous exogenous;
    PresampledExpressionPlan plan;
    PresampledExpressionBlock block;
    const ReleaseOnUnwind release(exogenous, plan, block);
    prepare_presampled_exogenous_packed(exogenous, program);
    fill_reference_exogenous(exogenous, program);
    prepare_presampled_expression_plan(plan, program, exogenous, cancel);
    evaluate_presampled_expression_block(block, plan, exogenous);

    BatchFactoredExecutorState state(program, 1, 1, cancel);
    state.forced_branches.assign(forced_branches.begin(), forced_branches.end());
    state.record_detectors = true;
    state.shot_major = true;
    reset_batch_executor(state, program, 1, cancel);
    execute_batch_in_place_expressions(state, program, plan, block, 0, cancel);

    result.detectors.resize(program.num_detectors);
    for (uint64_t d = 0; d < program.num_detectors; ++d)
        result.detectors[d] = state.detector_records[d * state.words_per_batch] & 1;
    std::vector<uint64_t> words;
    fill_observable_words(words, state, logical_records);
    result.observables.resize(logical_records.size());
    for (uint64_t j = 0; j < logical_records.size(); ++j)
        result.observables[j] = words[j * state.words_per_batch] & 1;
    return result;
}

void fill_observable_words(std::vector<uint64_t>& words, const BatchFactoredExecutorState& state,
                           const LogicalRecords& logical_records) {
    const uint64_t wpb = state.words_per_batch;
    const uint64_t total = checked_product(logical_records.size(), wpb);
    require_memory_to_grow(words, total, "the observable rows");
    words.assign(total, 0);
    const uint64_t live = word_count(state.live_shots);
    KELVO_ASSERT(live <= wpb, "batch row index out of range");
    for (uint64_t j = 0; j < logical_records.size(); ++j) {
        uint64_t* row = words.data() + j * wpb;
        for (const std::vector<int32_t>& list : logical_records[j]) {
            for (const int32_t r : list) {
                if (r < 1 || static_cast<uint64_t>(r) > state.measurement_count) {
                    throw KelvoError::invalid_input(
                        "observable references an out-of-range measurement record");
                }
                const uint64_t* plane =
                    state.measurement_records.data() + (static_cast<uint64_t>(r) - 1) * wpb;
                for (uint64_t w = 0; w < live; ++w)
                    row[w] ^= plane[w];
            }
        }
    }
}

}  // namespace kelvo
