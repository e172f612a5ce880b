// Relations between measurement outcomes and the condition ids that stand for them, and the
// rewriting of symbolic expressions by those relations. A relation is a SymbolicBool that is
// false in every shot; XORing it into an expression keeps the expression's value, so it is
// done only when the result is cheaper to evaluate.
#pragma once

#include <algorithm>
#include <compare>
#include <cstdint>
#include <optional>
#include <span>
#include <unordered_map>
#include <vector>

#include "compiler/later_passes.h"
#include "compiler/pending.h"
#include "compiler/relation_index.h"
#include "compiler/relation_scan.h"
#include "symbolic.h"

namespace kelvo {

// What an expression's evaluation plan costs at run time: the distinct words of the packed
// symbol table it reads, then its condition count. Compared lexicographically.
struct EvaluationCost {
    uint64_t words = 0;
    uint64_t conditions = 0;

    auto operator<=>(const EvaluationCost&) const = default;
};

// An id below 1 is fatal ("condition id must be positive").
EvaluationCost evaluation_cost(const SymbolicBool& expr);

// The cost of the expression held in `words`, now `cost`, once a relation of `size` ids with
// word masks `masks` is XORed in. reserve must have made room for the masks' words.
inline EvaluationCost cost_after_xor(const SignWords& words, std::span<const WordMask> masks,
                                     uint64_t size, const EvaluationCost& cost) {
    const SignWords::XorChange change = words.xor_change(masks);
    return {static_cast<uint64_t>(static_cast<int64_t>(cost.words) + change.words),
            cost.conditions + size - 2 * change.shared};
}

// The distinct symbol-table words (id - 1) / 64 of an ascending id list, ascending.
std::vector<uint64_t> condition_words(std::span<const int32_t> ids);

// [id] XOR sign: false exactly when the outcome `sign` equals condition `id`.
SymbolicBool measurement_relation(int32_t id, const SymbolicBool& sign);

// expr XOR relation when they share a condition and the result is strictly cheaper; expr
// otherwise.
SymbolicBool reduce_by_relation_once(const SymbolicBool& expr, const SymbolicBool& relation);

// Replaces, until none is left, every condition of expr that the table names by the table's
// expression for it. Each table entry names at most one condition, never its own key.
void substitute_pending_symbols(SymbolicBool& expr,
                                const std::unordered_map<int32_t, SymbolicBool>& table);

// substitute_pending_symbols with the planner store's table, whose keys the store also holds
// as a bit per id: only the conditions that are keys are looked up.
void substitute_by_pending_store(SymbolicBool& expr, PendingFactoredState& state);

// The planner's store learns that condition `condition` (when present) equals `outcome`: the
// outcome, rewritten by the store's substitutions, becomes the condition's substitution when it
// names at most one other condition, and a kept relation otherwise.
void reduce_pending_signs_by_measurement_relation(PendingFactoredState& state,
                                                  std::optional<uint32_t> condition,
                                                  const SymbolicBool& outcome);

// The sign of the operation about to be planned, rewritten by the relations of the planner's
// store that it names (skipping those that cannot lower its word count). Works in the store's
// scratch space, which it leaves clean. `applied`, when given, receives the indices of the
// relations XORed into the sign, ascending.
SymbolicBool reduce_sign_by_pending_relations(PendingFactoredState& state, SymbolicBool sign,
                                              std::vector<uint32_t>* applied = nullptr);

// What the walk of that reduction needs to know of a relation before XORing it in: the number
// of the sign's ids it names and the number of its words the sign read, both before any
// rewrite. Asked only of relations whose XOR would lower the cost.
struct CandidatePrice {
    uint32_t named = 0;
    uint32_t initial_words = 0;
};
class CandidatePricing {
  public:
    virtual CandidatePrice price(uint32_t relation) = 0;

  protected:
    ~CandidatePricing() = default;
};

// Whether that walk XORs relation `r` into the sign it holds as word masks in the store's
// scratch space, whose cost is `cost`; if so, `cost` becomes the cost after it.
bool walk_takes_relation(PendingFactoredState& state, uint32_t r, EvaluationCost& cost,
                         CandidatePricing& pricing);

// The walk of that reduction over `candidates` (ascending relation indices; those naming none
// of the sign's ids are passed over): each is XORed in when that is strictly cheaper, unless it
// names at most half of its ids from the sign and at most half of its words were read.
SymbolicBool walk_relation_candidates(PendingFactoredState& state, SymbolicBool sign,
                                      std::span<const uint32_t> candidates,
                                      CandidatePricing& pricing, std::vector<uint32_t>* applied);

// Outcome relations learned along a finished instruction list, used to rewrite the signs of
// later instructions.
class SymbolicRelationReducer {
  public:
    // Learns that condition `condition` equals `outcome` in every shot: a relation naming one
    // condition fixes it, one naming two or more is kept, an empty one is dropped.
    void add(uint32_t condition, const SymbolicBool& outcome);

    // Drops fixed conditions and applies the kept relations until nothing changes. Works in
    // the reducer's scratch space.
    SymbolicBool reduce(SymbolicBool expr);

    // The kept relations, each naming two or more conditions, built on demand.
    std::vector<SymbolicBool> relations() const;

  private:
    static constexpr int8_t kNotFixed = -1;

    std::span<const int32_t> relation(uint64_t r) const;
    // Whether `expr` is left as it is: known so with the relations before some index, and none
    // added since changes it.
    bool still_settled(const SymbolicBool& expr);
    // The gathered candidates, ascending; clears the marks gathering left in gathered_.
    void sort_candidates();
    // One pass of the candidates (ascending) over expr, each applied when strictly cheaper
    // and listed in taken_. Returns whether any was.
    bool apply_candidates(SymbolicBool& expr);
    // The same pass over every relation, for an expression whose ids so many relations name
    // that gathering them costs more: the candidates are the relations naming an id of expr,
    // and those that could not lower the cost are passed over at their first word expr does
    // not read, as the planner's scan does.
    bool scan_relations(SymbolicBool& expr);
    // The passes after one that changed expr, through later_; false when they would cost more
    // than `budget` relation visits a pass, expr then as far as they got.
    bool later_passes(SymbolicBool& expr, uint64_t budget);
    // Whether relation `r` XORed into the expression held in scratch_, whose cost is `cost`,
    // shares an id with it and is strictly cheaper; if so `cost` becomes the cost after it.
    bool cheaper_with(uint32_t r, EvaluationCost& cost);

    // The kept relations' ids back to back (relation r ends at relation_ends_[r]), so that
    // learning one allocates nothing of its own.
    std::vector<int32_t> relation_ids_;
    std::vector<uint64_t> relation_ends_;
    RelationWordMasks relation_masks_;  // the same relations as word masks, for pricing
    std::vector<uint8_t> relation_constants_;
    ConditionRelationIndex relations_by_condition_;
    // Condition id -> its value in every shot (0 or 1), or kNotFixed.
    std::vector<int8_t> fixed_;
    std::vector<uint32_t> candidates_;
    AscendingOrder order_;
    std::vector<uint8_t> gathered_;  // by relation: 1 while it is among the gathered candidates
    SignWords scratch_;
    std::vector<uint32_t> taken_;  // the relations the last pass applied, ascending
    LaterPasses later_;
    SignWords pass_start_;     // the expression at the start of a scanning pass
    WordMaskBuckets buckets_;  // the relations below indexed_, indexed on the first scan
    uint32_t indexed_ = 0;
    // Expressions that many relations name but none changes, each with the relation count when
    // that was known: the same expression recurs (a repeated measurement whose outcome equals
    // an early coin, round after round), and only the relations added since are tried on it.
    struct IdsHash {
        size_t operator()(const std::vector<int32_t>& ids) const;
    };
    std::unordered_map<std::vector<int32_t>, uint32_t, IdsHash> settled_;
};

}  // namespace kelvo
