// Runs a compiled program over one batch held in an executor state: signs per shot, rotations
// and promotions of the active states, random and measured outcomes, records, detectors and
// expectation values.
//
// Every operation throws KelvoError (InvalidInput unless a called routine says otherwise); the
// first failing instruction ends the batch, and the next reset clears what it left.
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

// Where the presampled part of each instruction's sign comes from: the chunk's block of
// expression rows at the batch's shot offset, or a compacted workspace holding only the live
// shots' bits (one row of `words_per_row` words per block expression).
class BatchSignSource {
  public:
    static BatchSignSource in_place(const PresampledExpressionPlan& plan,
                                    const PresampledExpressionBlock& block, uint64_t offset);
    static BatchSignSource workspace(const PresampledExpressionPlan& plan,
                                     std::span<const uint64_t> words, uint64_t words_per_row);

    // out = instruction `instruction`'s sign on every live shot: its block row XOR its
    // residual plan, clean past the live shots and grown to words_per_batch words.
    void eval(uint64_t instruction, const BatchFactoredExecutorState& state,
              std::vector<uint64_t>& out) const;

  private:
    BatchSignSource(const PresampledExpressionPlan& plan, std::span<const uint64_t> words,
                    uint64_t words_per_row, uint64_t offset, bool compacted)
        : plan_(&plan),
          words_(words),
          words_per_row_(words_per_row),
          offset_(offset),
          compacted_(compacted) {}

    const PresampledExpressionPlan* plan_;
    std::span<const uint64_t> words_;
    uint64_t words_per_row_;
    uint64_t offset_;
    bool compacted_;
};

// Runs every instruction of `program` on the batch prepared in `state`, the signs' presampled
// parts read from `block` at shot `offset`. A batch without live shots is left untouched.
// `cancel` is polled every few hundred instructions; after Cancelled the batch is unusable.
void execute_batch_in_place_expressions(BatchFactoredExecutorState& state,
                                        const FactoredInstructionProgram& program,
                                        const PresampledExpressionPlan& plan,
                                        const PresampledExpressionBlock& block, uint64_t offset,
                                        const CancellationCheck& cancel = {});

// One instruction on the flat active state; `work` is scratch lent by the loop.
void execute_batch_instruction(BatchFactoredExecutorState& state,
                               const FactoredInstruction& instruction,
                               const BatchSignSource& source, uint64_t index,
                               std::vector<uint64_t>& work);

// Instruction `index` through the program's component plan.
void execute_batch_component_instruction(BatchFactoredExecutorState& state,
                                         const FactoredInstructionProgram& program,
                                         const BatchSignSource& source, uint64_t index,
                                         std::vector<uint64_t>& work);

// In shot-major layout, runs the 2 to 32 consecutive rotations from `start` shot by shot while
// each shot's vector stays in cache, skipping shots set in `dead` (a word past its end is
// alive). Returns the number of instructions run: 0 when there is no such run.
uint64_t execute_shot_major_rotation_run(BatchFactoredExecutorState& state,
                                         const FactoredInstructionProgram& program,
                                         const BatchSignSource& source, uint64_t start,
                                         std::span<const uint64_t> dead,
                                         std::vector<uint64_t>& work);

// out = the detector's outcome per shot: the XOR of its record rows, or, without records, its
// parity (never both).
void detector_outcome_bits(const BatchFactoredExecutorState& state, const RecordDetector& detector,
                           const BatchSignSource& source, uint64_t index,
                           std::vector<uint64_t>& out);

// The forced outcome of instruction `index` when a pin forces it, in the state's pinned_bits
// buffer, which the caller hands back once done.
std::optional<std::vector<uint64_t>> take_pinned_branch_bits(BatchFactoredExecutorState& state,
                                                             uint64_t index);

// work = ceil(live / 64) fresh random words from the state's generator, the last one masked.
void fill_random_outcome_bits(BatchFactoredExecutorState& state, std::vector<uint64_t>& work);

}  // namespace kelvo
