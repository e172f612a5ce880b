#include "sampler/presampled_expression.h"

#include <algorithm>
#include <new>
#include <type_traits>
#include <utility>
#include <variant>

#include "bits.h"
#include "compiler/program.h"
#include "errors.h"
#include "memory.h"
#include "sampler/exogenous.h"
#include "sampler/presampled_parents.h"

namespace kelvo {
namespace {

struct Expression {
    std::span<const int32_t> conditions;
    bool constant = false;
};

// The expression an instruction contributes. A detector evaluated from its records, or whose
// parity holds no condition, contributes the empty one.
Expression expression_of(const FactoredInstruction& instruction) {
    return std::visit(
        [](const auto& v) -> Expression {
            if constexpr (std::is_same_v<std::decay_t<decltype(v)>, Detector>) {
                const RecordDetector& d = v.detector;
                if (!d.records.empty() || d.parity.conditions.empty()) return {};
                return {d.plan.conditions, d.plan.constant};
            } else {
                return {v.sign_plan.conditions, v.sign_plan.constant};
            }
        },
        instruction);
}

uint64_t key_hash(bool constant, std::span<const int32_t> ids) {
    uint64_t h = constant ? 0x9e3779b97f4a7c15 : 0;
    for (const int32_t c : ids) {
        h ^= static_cast<uint32_t>(c);
        h *= 0xbf58476d1ce4e5b9;
        h ^= h >> 31;
    }
    return h;
}

// The block expressions by their key (constant, ids): an open-addressing table of their
// indices beside their hashes, so that a million instructions cost no node or key copy each
// and a probe reads one slot.
class BlockExpressionIndex {
  public:
    // The index of the block expression with this key in `blocks`, appending a new one (no
    // parent, ids as given) when there is none.
    uint64_t find_or_add(std::vector<PresampledExpression>& blocks, bool constant,
                         std::span<const int32_t> ids) {
        const uint64_t h = key_hash(constant, ids);
        if (2 * (blocks.size() + 1) > slots_.size()) grow();
        const uint64_t mask = slots_.size() - 1;
        for (uint64_t s = h & mask;; s = (s + 1) & mask) {
            Slot& slot = slots_[s];
            if (slot.block == 0) {
                slot = {h, blocks.size() + 1};
                PresampledExpression block;
                block.conditions.assign(ids.begin(), ids.end());
                block.constant = constant;
                blocks.push_back(std::move(block));
                return blocks.size() - 1;
            }
            const PresampledExpression& b = blocks[slot.block - 1];
            if (slot.hash == h && b.constant == constant && std::ranges::equal(b.conditions, ids))
                return slot.block - 1;
        }
    }

  private:
    struct Slot {
        uint64_t hash = 0;
        uint64_t block = 0;  // 1 + block expression index, 0 when free
    };

    void grow() {
        std::vector<Slot> old(std::max<uint64_t>(64, 2 * slots_.size()));
        std::swap(old, slots_);
        const uint64_t mask = slots_.size() - 1;
        for (const Slot& slot : old) {
            if (slot.block == 0) continue;
            uint64_t s = slot.hash & mask;
            while (slots_[s].block != 0)
                s = (s + 1) & mask;
            slots_[s] = slot;
        }
    }

    std::vector<Slot> slots_;
};

// Splits each instruction's expression into its exogenous part, deduplicated into block
// expressions, and its residual part.
void split_rows(PresampledExpressionPlan& plan, const FactoredInstructionProgram& program,
                const PackedPresampledExogenous& exogenous, const CancellationCheck& cancel) {
    BlockExpressionIndex index;
    std::vector<int32_t> presampled, residual;
    plan.rows.reserve(program.instructions.size());
    for (uint64_t i = 0; i < program.instructions.size(); ++i) {
        KELVO_ASSERT(i < PresampledExpressionPlan::kUnused, "instruction index out of range");
        cancel.check();
        const Expression e = expression_of(program.instructions[i]);
        // Each id is written to both lists and kept in one: exogenous and other ids alternate
        // unpredictably, and a branch per id would mispredict.
        presampled.resize(e.conditions.size());
        residual.resize(e.conditions.size());
        uint64_t kept = 0, left = 0;
        for (const int32_t c : e.conditions) {
            KELVO_ASSERT(c >= 1, "condition id must be positive");
            const uint64_t bit = static_cast<uint64_t>(c) - 1;
            const bool exogenous_id = bit / 64 < exogenous.exogenous_mask.size() &&
                                      ((exogenous.exogenous_mask[bit / 64] >> (bit % 64)) & 1);
            presampled[kept] = c;
            residual[left] = c;
            kept += exogenous_id;
            left += !exogenous_id;
        }
        presampled.resize(kept);
        residual.resize(left);
        if (!std::ranges::is_sorted(presampled)) std::ranges::sort(presampled);
        const uint64_t block = index.find_or_add(plan.block_expressions, e.constant, presampled);
        if (block == plan.last_use.size())
            plan.last_use.push_back(PresampledExpressionPlan::kUnused);
        plan.last_use[block] = static_cast<uint32_t>(i);
        PresampledExpression row;
        row.block_expression_index = block;
        row.residual_plan =
            SymbolicBoolEvaluationPlan(SymbolicBool{normalize_xor_conditions(residual), false});
        plan.rows.push_back(std::move(row));
    }
}

}  // namespace

void prepare_presampled_expression_plan(PresampledExpressionPlan& plan,
                                        const FactoredInstructionProgram& program,
                                        const PackedPresampledExogenous& exogenous,
                                        const CancellationCheck& cancel) {
    if (exogenous.num_symbols != program.num_symbols ||
        exogenous.exogenous_mask.size() != word_count(program.num_symbols)) {
        throw KelvoError::invalid_input(
            "packed presampled exogenous storage was not prepared for this program");
    }
    plan.rows.clear();
    plan.block_expressions.clear();
    plan.last_use.clear();
    split_rows(plan, program, exogenous, cancel);
    choose_presampled_parents(plan.block_expressions, cancel);
}

void evaluate_presampled_expression_block(PresampledExpressionBlock& block,
                                          const PresampledExpressionPlan& plan,
                                          const PackedPresampledExogenous& exogenous) {
    const uint64_t n = exogenous.num_symbols;
    const uint64_t words = exogenous.words_per_row;
    uint64_t value_words = 0;
    if (__builtin_mul_overflow(n, words, &value_words) || exogenous.values.size() != value_words ||
        exogenous.sparse_offsets.size() != n + 1) {
        throw KelvoError::invalid_input("packed presampled exogenous values are not initialized");
    }
    const uint64_t count = plan.block_expressions.size();
    const uint64_t total = checked_product(count, words);
    require_memory_to_grow(block.words, total, "the presampled expression rows");
    block.shots = exogenous.shots;
    block.words_per_row = words;
    block.words.resize(total);

    const std::span<uint64_t> all(block.words);
    for (uint64_t r = 0; r < count; ++r) {
        const PresampledExpression& e = plan.block_expressions[r];
        if (e.parent && *e.parent >= r) {
            throw KelvoError::invalid_input(
                "presampled expression parent must be earlier in the block");
        }
        const std::vector<int32_t>& ids = e.parent ? e.delta_conditions : e.conditions;
        for (const int32_t c : ids) {
            if (c < 1 || static_cast<uint64_t>(c) > n) {
                throw KelvoError::invalid_input(
                    "presampled expression references an out-of-range exogenous condition");
            }
        }
        std::optional<std::span<const uint64_t>> parent;
        if (e.parent) parent = all.subspan(*e.parent * words, words);
        accumulate_expression_row(all.subspan(r * words, words), parent,
                                  e.parent ? e.delta_constant : e.constant, ids, exogenous);
    }
}

void accumulate_expression_row(std::span<uint64_t> destination,
                               std::optional<std::span<const uint64_t>> parent, bool constant,
                               std::span<const int32_t> conditions,
                               const PackedPresampledExogenous& exogenous) {
    const uint64_t words = exogenous.words_per_row;
    KELVO_ASSERT_EQ(destination.size(), words, "expression row has the wrong length");
    if (parent) {
        KELVO_ASSERT_EQ(parent->size(), words, "expression row has the wrong length");
        std::ranges::copy(*parent, destination.begin());
    } else {
        std::ranges::fill(destination, 0);
    }
    if (constant && words > 0) {
        for (uint64_t& w : destination)
            w = ~w;
        if (exogenous.shots % 64 != 0) destination.back() ^= ~uint64_t{0} << (exogenous.shots % 64);
    }
    for (const int32_t c : conditions) {
        KELVO_ASSERT(c >= 1, "condition id must be positive");
        const uint64_t i = static_cast<uint64_t>(c) - 1;
        KELVO_ASSERT(i < exogenous.num_symbols, "condition id out of range");
        if (exogenous.is_sparse(i)) {
            for (const uint64_t shot : exogenous.sparse_row(i))
                destination[shot / 64] ^= uint64_t{1} << (shot % 64);
        } else {
            const std::span<const uint64_t> row = exogenous.dense_row(i);
            for (uint64_t w = 0; w < words; ++w)
                destination[w] ^= row[w];
        }
    }
}

}  // namespace kelvo
