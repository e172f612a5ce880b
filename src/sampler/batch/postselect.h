// Detector postselection: a batch runs as usual, but a shot whose postselected detector differs
// from its expected bit dies. Dead shots stay in their columns until an instruction whose cost
// grows with the live count comes; then the survivors are compacted into columns 0 .. m - 1 of
// every buffer still needed, in shot order, and the batch goes on with m live shots.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "cancellation.h"
#include "compiler/program.h"
#include "sampler/batch/executor.h"
#include "sampler/presampled_expression.h"

namespace kelvo {

// What the caller asks of a postselected batch.
struct PostselectionContext {
    // Per detector in id order, nonzero: the detector is expected to fire (missing: 0).
    std::span<const uint8_t> expected_detectors;
    // Deferral factor F: cheap instructions wait until F * dead >= live.
    uint64_t compaction_factor = 2;
    // Measurement records (1-based) the caller reads after the batch.
    std::span<const std::vector<int32_t>> retained_records;
};

// One per worker, reused across batches and calls.
struct BatchDetectorPostselectionScratch {
    std::vector<uint64_t> dead_mask;             // shots that died since the last compaction
    std::vector<uint64_t> alive_mask;            // live shots that survive the compaction under way
    std::vector<uint64_t> column_work;           // per live word, how a compaction moves its bits
    std::vector<uint64_t> expression_workspace;  // block rows of the live shots, once compacted
    std::vector<uint64_t> survivor_columns;      // source column of each survivor, ascending
    std::vector<uint64_t> selected_rows;         // rows a compaction moves
    // Index of the last instruction reading each condition id / record id; -1 for none. The
    // caller's retained records count as read at the instruction count.
    std::vector<int64_t> condition_last_use;
    std::vector<int64_t> record_last_use;
    const FactoredInstructionProgram* prepared_program = nullptr;  // compared by identity
    uint64_t fingerprint = 0;  // of the retained record lists the tables were built for
    uint64_t dead_count = 0;
    bool prepared = false;
};

// FNV-1 over the lists' lengths and ids: the identity of a retained record table.
uint64_t retained_records_fingerprint(std::span<const std::vector<int32_t>> retained_records);

// Sizes the masks for the state's batches and builds the last-use tables, unless they were
// built for this program and retained table already. Throws KelvoError (InvalidInput) for a
// detector or retained record outside the program's records.
void prepare_batch_detector_postselection_scratch_for_program(
    BatchDetectorPostselectionScratch& scratch, const BatchFactoredExecutorState& state,
    const FactoredInstructionProgram& program, const PostselectionContext& context);

struct PostselectedBatch {
    uint64_t discarded = 0;
    uint64_t survivors = 0;
};

// Runs the batch prepared in `state` with postselection and leaves the survivors' retained
// records, detector rows and expectation values in columns 0 .. survivors - 1, in shot order.
// Throws KelvoError as the batch execution does, and for a plan or block of another program.
// `cancel` is polled every few hundred instructions; after Cancelled the batch is unusable.
PostselectedBatch execute_batch_postselected_in_place(
    BatchFactoredExecutorState& state, const FactoredInstructionProgram& program,
    const PresampledExpressionPlan& plan, const PresampledExpressionBlock& block, uint64_t offset,
    BatchDetectorPostselectionScratch& scratch, const PostselectionContext& context,
    const CancellationCheck& cancel = {});

// Removes the dead shots from every buffer read after instruction `index` (measurement rows
// read at `index` too when `final`); the expression workspace's rows by `expression_last_use`
// when `workspace_in_use`. Afterwards no shot is pending death. Throws KelvoError (Internal)
// when the counts disagree or the workspace has no last-use table.
void compact_dead_shots_if_needed(BatchFactoredExecutorState& state,
                                  BatchDetectorPostselectionScratch& scratch, int64_t index,
                                  bool final,
                                  std::optional<std::span<const uint32_t>> expression_last_use,
                                  bool workspace_in_use);

// In each selected row (row r is words r * words_per_row onward), gathers the bits at the
// positions set in `alive_mask` into positions 0, 1, ..., zero-filled up to the live words.
// `work` holds what the rows share. Throws KelvoError (Internal) when the mask does not hold
// `survivors` live bits.
void compact_bit_columns(std::span<uint64_t> rows, uint64_t words_per_row,
                         std::span<const uint64_t> selected_rows, uint64_t live_before,
                         uint64_t survivors, std::span<const uint64_t> alive_mask,
                         std::vector<uint64_t>& work);

}  // namespace kelvo
