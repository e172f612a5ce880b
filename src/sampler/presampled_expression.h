// The part of every instruction's symbolic expression that depends only on exogenous noise,
// computed for a whole chunk before its batches run. Equal parts are computed once (block
// expressions), each from its cheapest earlier relative; the executor XORs the residual part
// of each instruction onto its block row.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "cancellation.h"
#include "symbolic.h"

namespace kelvo {

struct FactoredInstructionProgram;
struct PackedPresampledExogenous;

// A row (one per instruction: `block_expression_index` and `residual_plan`) or a block
// expression (the other fields).
struct PresampledExpression {
    std::optional<uint64_t> parent;
    SymbolicBoolEvaluationPlan residual_plan;
    std::vector<int32_t> conditions;
    // conditions XOR the parent's conditions (ascending); `conditions` without a parent.
    std::vector<int32_t> delta_conditions;
    uint64_t block_expression_index = 0;
    bool constant = false;
    bool delta_constant = false;
};

struct PresampledExpressionPlan {
    static constexpr uint32_t kUnused = 4294967295u;

    std::vector<PresampledExpression> rows;
    std::vector<PresampledExpression> block_expressions;
    // Per block expression, the last instruction whose row refers to it.
    std::vector<uint32_t> last_use;
};

// All block expressions of one chunk: row e is words e * W .. e * W + W - 1, bit s = shot s.
struct PresampledExpressionBlock {
    std::vector<uint64_t> words;
    uint64_t shots = 0;
    uint64_t words_per_row = 0;

    std::span<const uint64_t> row(uint64_t e) const {
        return std::span<const uint64_t>(words).subspan(e * words_per_row, words_per_row);
    }
};

// Rebuilds `plan` for `program`; `exogenous` must have been prepared for it. Throws KelvoError
// (InvalidInput) otherwise, and Cancelled when `cancel`, polled between expressions, asks it
// to stop (the plan is then unusable).
void prepare_presampled_expression_plan(PresampledExpressionPlan& plan,
                                        const FactoredInstructionProgram& program,
                                        const PackedPresampledExogenous& exogenous,
                                        const CancellationCheck& cancel = {});

// Evaluates every block expression for the chunk held in `exogenous`. Throws KelvoError
// (InvalidInput) before the storage holds a chunk or for a malformed plan (the block is then
// unusable) and std::bad_alloc when the block would not fit in the memory available now.
void evaluate_presampled_expression_block(PresampledExpressionBlock& block,
                                          const PresampledExpressionPlan& plan,
                                          const PackedPresampledExogenous& exogenous);

// destination = parent (or zeros), XOR all live shots when `constant`, XOR the exogenous row of
// each condition id.
void accumulate_expression_row(std::span<uint64_t> destination,
                               std::optional<std::span<const uint64_t>> parent, bool constant,
                               std::span<const int32_t> conditions,
                               const PackedPresampledExogenous& exogenous);

}  // namespace kelvo
