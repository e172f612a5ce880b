// The passes of a reduction after one that changed the expression, visiting only the relations
// whose decision can differ from the pass before.
//
// Whether a pass XORs relation r into the expression depends only on the expression's words
// that r has a mask in: r must name an id of the pass's start there (a candidate), share an id
// with the expression as it is when r's turn comes, and lower the cost, whose change is summed
// over r's words alone. So a relation none of whose words changed since the pass before began
// decides as it did then, and was not taken then (a taken one changed its own words). A pass
// therefore visits, in ascending order, only the relations with a mask in a word the pass
// before changed, and those with a mask in a word it changes itself, later than the relation
// that changed it. A long sign whose reduction ripples down one round per pass (each pass takes
// one relation, which makes the one below it pay) then costs the relations near each step, not
// every candidate of every pass.
#pragma once

#include <cstdint>
#include <queue>
#include <span>
#include <vector>

#include "compiler/relation_index.h"

namespace kelvo {

struct EvaluationCost;

// The reducer's relations as the passes read them.
struct ReducerRelations {
    const RelationWordMasks& masks;
    std::span<const int32_t> ids;    // back to back
    std::span<const uint64_t> ends;  // relation r's ids end at ends[r]
    std::span<const uint8_t> constants;
    std::span<const int8_t> fixed;  // by id: 0 or 1 when fixed, negative otherwise

    std::span<const int32_t> of(uint64_t r) const {
        const uint64_t begin = r == 0 ? 0 : ends[r - 1];
        return ids.subspan(begin, ends[r] - begin);
    }
};

class LaterPasses {
  public:
    // The passes after one that took `taken` (ascending) over the expression held in `words`
    // (whose cost is `cost`), each beginning as the reducer's do: the fixed conditions the
    // taken relations brought in leave first. Returns false, the expression as the last pass
    // left it and `taken` its relations, when the relations to visit in the next pass would
    // be more than `budget` (the caller's own pass costs about that); true when a pass took
    // nothing, the expression settled.
    bool run(const ReducerRelations& relations, SignWords& words, EvaluationCost& cost,
             bool& constant, std::vector<uint32_t>& taken, uint64_t budget);

  private:
    // Counts the masks of each word of the relations not counted yet.
    void count(const ReducerRelations& relations);
    // Indexes the relations not indexed yet by each word they have a mask in.
    void index(const ReducerRelations& relations);
    // Queues the relations with a mask in `word` from index `after` + 1 on (all when `after`
    // is kNone).
    void queue_word(uint64_t word, uint32_t after);
    // Removes the fixed conditions that `taken` brought in and are still held.
    void remove_fixed(const ReducerRelations& relations, SignWords& words, EvaluationCost& cost,
                      bool& constant, std::span<const uint32_t> taken);
    // Whether relation r, visited in a pass, is taken; if so `cost` becomes the cost after it.
    bool takes(const ReducerRelations& relations, uint32_t r, const SignWords& words,
               EvaluationCost& cost) const;
    // Drops what is queued and the pass start.
    void clear();

    static constexpr uint32_t kNone = UINT32_MAX;

    // By word, the number of relations with a mask in it, which prices a pass before anything
    // is queued; the index itself is built once a pass is taken this way.
    std::vector<uint32_t> masks_in_word_;
    uint32_t counted_ = 0;
    ConditionRelationIndex relations_by_word_;  // keyed by word + 1
    uint32_t indexed_ = 0;
    // Scratch, clean between runs.
    SignWords moved_;  // the expression at the start of the pass XOR the expression now
    std::priority_queue<uint32_t, std::vector<uint32_t>, std::greater<>> queue_;
    std::vector<uint8_t> queued_;    // by relation: 1 while queued
    std::vector<uint64_t> changed_;  // words changed since the start of the pass
};

}  // namespace kelvo
