#include "sampler/presampled_expression.h"

#include <algorithm>
#include <functional>
#include <new>
#include <type_traits>
#include <utility>
#include <variant>

#include "bits.h"
#include "compiler/program.h"
#include "errors.h"
#include "memory.h"
#include "sampler/exogenous.h"

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

std::vector<int32_t> symmetric_difference(std::span<const int32_t> a, std::span<const int32_t> b) {
    std::vector<int32_t> out;
    std::ranges::set_symmetric_difference(a, b, std::back_inserter(out));
    return out;
}

// Splits each instruction's expression into its exogenous part, deduplicated into block
// expressions, and its residual part.
void split_rows(PresampledExpressionPlan& plan, const FactoredInstructionProgram& program,
                const PackedPresampledExogenous& exogenous) {
    BlockExpressionIndex index;
    std::vector<int32_t> presampled, residual;
    plan.rows.reserve(program.instructions.size());
    for (uint64_t i = 0; i < program.instructions.size(); ++i) {
        KELVO_ASSERT(i < PresampledExpressionPlan::kUnused, "instruction index out of range");
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

// The block expressions holding each id, in ascending order, back to back: those of id c are
// blocks[offsets[c] ..], and the first `registered[c]` of them precede the block expression
// being placed.
struct Holders {
    std::vector<uint64_t> offsets;
    std::vector<uint32_t> blocks;
    std::vector<uint32_t> registered;

    explicit Holders(const std::vector<PresampledExpression>& expressions) {
        uint64_t largest = 0;
        for (const PresampledExpression& e : expressions)
            if (!e.conditions.empty()) largest = std::max<uint64_t>(largest, e.conditions.back());
        offsets.assign(largest + 2, 0);
        for (const PresampledExpression& e : expressions)
            for (const int32_t c : e.conditions)
                ++offsets[static_cast<uint64_t>(c) + 1];
        for (uint64_t c = 1; c < offsets.size(); ++c)
            offsets[c] += offsets[c - 1];
        blocks.resize(offsets.back());
        registered.assign(largest + 1, 0);
        for (uint64_t r = 0; r < expressions.size(); ++r) {
            for (const int32_t c : expressions[r].conditions) {
                const auto id = static_cast<uint64_t>(c);
                blocks[offsets[id] + registered[id]++] = static_cast<uint32_t>(r);
            }
        }
        std::ranges::fill(registered, 0);
    }

    std::span<const uint32_t> earlier(int32_t c) const {
        const auto id = static_cast<uint64_t>(c);
        return std::span<const uint32_t>(blocks).subspan(offsets[id], registered[id]);
    }
};

// |a XOR b|, or any value above `limit` once it is certain to exceed it.
uint64_t difference_up_to(std::span<const int32_t> a, std::span<const int32_t> b, uint64_t limit) {
    uint64_t i = 0, j = 0, difference = 0;
    while (i < a.size() && j < b.size()) {
        if (a[i] == b[j]) {
            ++i, ++j;
            continue;
        }
        ++(a[i] < b[j] ? i : j);
        if (++difference > limit) return difference;
    }
    return difference + (a.size() - i) + (b.size() - j);
}

// Gives each block expression the earlier one that differs from it least, ties to the earlier.
// A relative within cost d misses at most d of the expression's ids, so it holds one of any
// d + 1 of them: walking the holders of its ids rarest first, and stopping once the walked ids
// outnumber the best cost so far, meets every relative that could still win. A sign that grows
// round after round thus finds the previous round's among the holders of its newest ids, and
// the long-held old ids are never walked.
void choose_parents(PresampledExpressionPlan& plan) {
    auto& blocks = plan.block_expressions;
    Holders holders(blocks);
    std::optional<uint64_t> constant_true;
    std::vector<uint64_t> rarest;                  // (holder count << 32 | id), a min-heap
    std::vector<uint64_t> seen(blocks.size(), 0);  // 1 + the block expression last pricing it
    for (uint64_t r = 0; r < blocks.size(); ++r) {
        PresampledExpression& e = blocks[r];
        const std::span<const int32_t> ids = e.conditions;
        std::optional<uint64_t> best;
        uint64_t best_cost = ids.size() + (e.constant ? 1 : 0);
        const auto consider = [&](uint64_t c) {
            const PresampledExpression& other = blocks[c];
            // On equal cost the earlier candidate wins, and no parent beats any.
            const uint64_t bound = best_cost + (best && c < *best ? 1 : 0);
            if (bound == 0) return;
            const uint64_t limit = bound - 1;
            const uint64_t constant = e.constant != other.constant ? 1 : 0;
            const uint64_t sizes = ids.size() > other.conditions.size()
                                       ? ids.size() - other.conditions.size()
                                       : other.conditions.size() - ids.size();
            if (sizes + constant > limit) return;
            const uint64_t cost =
                difference_up_to(ids, other.conditions, limit - constant) + constant;
            if (cost <= limit) best = c, best_cost = cost;
        };
        // The constant true expression holds no id: it is met here or never.
        if (e.constant && constant_true) consider(*constant_true);
        rarest.clear();
        for (const int32_t c : ids)
            rarest.push_back(holders.earlier(c).size() << 32 | static_cast<uint32_t>(c));
        std::ranges::make_heap(rarest, std::greater<>());
        for (uint64_t walked = 0; walked <= best_cost && !rarest.empty(); ++walked) {
            std::ranges::pop_heap(rarest, std::greater<>());
            const auto id = static_cast<int32_t>(rarest.back() & 0xffffffff);
            rarest.pop_back();
            for (const uint32_t c : holders.earlier(id)) {
                if (seen[c] == r + 1) continue;
                seen[c] = r + 1;
                consider(c);
            }
        }
        if (best) {
            e.parent = best;
            e.delta_conditions = symmetric_difference(e.conditions, blocks[*best].conditions);
            e.delta_constant = e.constant != blocks[*best].constant;
        } else {
            e.delta_conditions = e.conditions;
            e.delta_constant = e.constant;
        }
        for (const int32_t c : ids)
            ++holders.registered[static_cast<uint64_t>(c)];
        if (ids.empty() && e.constant && !constant_true) constant_true = r;
    }
}

}  // namespace

void prepare_presampled_expression_plan(PresampledExpressionPlan& plan,
                                        const FactoredInstructionProgram& program,
                                        const PackedPresampledExogenous& exogenous) {
    if (exogenous.num_symbols != program.num_symbols ||
        exogenous.exogenous_mask.size() != word_count(program.num_symbols)) {
        throw KelvoError::invalid_input(
            "packed presampled exogenous storage was not prepared for this program");
    }
    plan.rows.clear();
    plan.block_expressions.clear();
    plan.last_use.clear();
    split_rows(plan, program, exogenous);
    choose_parents(plan);
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
    require_memory_to_grow(block.words, total);
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
