// The walk of a sign's reduction over every planner relation of a range, for the signs whose ids
// are each named by so many relations that gathering the ones naming them costs more (anchor
// chains of wide layers). Nearly every relation of such a range leaves the sign as it is, and
// cheaply so: XORing a relation into the sign adds a word wherever the sign reads none of the
// relation's words and removes one only where the sign's word equals the relation's, so a
// relation with no word equal to the sign's and one word the sign does not read would read more
// words. The relations that may have an equal word are found through an index by word mask,
// kept current as the sign changes; any other one is passed over at its first word the sign does
// not read, and only the rest are priced as the walk over candidates prices them.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "compiler/relation_index.h"
#include "symbolic.h"

namespace kelvo {

struct PendingFactoredState;
class CandidatePricing;

// Relations by the hash bucket of each of their word masks (a bucket holds few masks, and the
// index costs a few bytes per mask), and per relation of a walk's range the number of its masks
// in a bucket of the sign's words: at least its words equal to the sign's. A relation with none
// and a word the sign does not read is passed over.
class WordMaskBuckets {
  public:
    void index(uint32_t r, std::span<const WordMask> masks);
    // The same from a relation's ascending ids.
    void index(uint32_t r, std::span<const int32_t> ids);

    // Counts, for the relations from `first` up to (not including) `last`, the sign held in
    // `words` whose ascending ids are `ids`.
    void count_sign(std::span<const int32_t> ids, const SignWords& words, uint32_t first,
                    uint32_t last);
    // Whether relation `r` (counted) would read one more word and remove none.
    bool passes_over(uint32_t r, std::span<const WordMask> masks, const SignWords& words) const {
        return equal_words_[r] == 0 &&
               std::any_of(masks.begin(), masks.end(),
                           [&words](const WordMask& m) { return words.at(m.word) == 0; });
    }
    // XORs `masks` into `words`, the counts of the relations from `first` up to `last`
    // following the sign's changed words.
    void apply(std::span<const WordMask> masks, SignWords& words, uint32_t first, uint32_t last);
    // Zeroes the counts.
    void clear();

  private:
    // Adds `delta` to the counts of the indexed relations from `from` up to `last` that may have
    // mask `m.mask` at `m.word`.
    void count(const WordMask& m, uint32_t from, uint32_t last, int32_t delta);

    ConditionRelationIndex relations_by_bucket_;
    // Scratch, zero between walks: per relation its count, and the relations counted.
    std::vector<uint32_t> equal_words_;
    std::vector<uint32_t> counted_;
    std::vector<WordMask> masks_;
};

class RelationScan {
  public:
    // Relations are indexed from the first one reaching `start` on, so that a circuit never
    // walked this way keeps no index.
    void start(const PendingFactoredState& state, uint32_t first);
    // The planner's store gained relation `r` (ascending ids).
    void relation_added(uint32_t r, std::span<const int32_t> ids);

    // walk_relation_candidates over the relations from `first` up to (not including) `last`.
    SymbolicBool walk(PendingFactoredState& state, SymbolicBool sign, uint32_t first, uint32_t last,
                      CandidatePricing& pricing, std::vector<uint32_t>* applied);

  private:
    static constexpr uint32_t kNotIndexed = UINT32_MAX;

    uint32_t indexed_from_ = kNotIndexed;
    WordMaskBuckets buckets_;
};

}  // namespace kelvo
