#include "compiler/relation_scan.h"

#include <algorithm>

#include "compiler/pending.h"
#include "compiler/relations.h"
#include "errors.h"

namespace kelvo {
namespace {

// Word masks share a bucket by a hash: a relation having a mask in the bucket of one of the
// sign's may have an equal word and is priced, one without any has none.
constexpr uint64_t kBuckets = uint64_t{1} << 18;

int32_t bucket(const WordMask& m) {
    const uint64_t h = (m.word * 0x9E3779B97F4A7C15ull) ^ (m.mask * 0xC2B2AE3D27D4EB4Full);
    return 1 + static_cast<int32_t>((h ^ (h >> 29)) & (kBuckets - 1));
}

}  // namespace

void WordMaskBuckets::index(uint32_t r, std::span<const WordMask> masks) {
    for (const WordMask& m : masks)
        relations_by_bucket_.add(bucket(m), r);
}

void WordMaskBuckets::index(uint32_t r, std::span<const int32_t> ids) {
    masks_.clear();
    for (const int32_t c : ids) {
        const uint64_t w = condition_word(c);
        if (masks_.empty() || masks_.back().word != w) masks_.push_back({w, 0});
        masks_.back().mask |= condition_bit(c);
    }
    index(r, masks_);
}

void WordMaskBuckets::count(const WordMask& m, uint32_t from, uint32_t last, int32_t delta) {
    relations_by_bucket_.for_each_from(bucket(m), from, [&](uint32_t r) {
        if (r >= last) return;
        if (equal_words_[r] == 0) counted_.push_back(r);
        equal_words_[r] += static_cast<uint32_t>(delta);
    });
}

void WordMaskBuckets::count_sign(std::span<const int32_t> ids, const SignWords& words,
                                 uint32_t first, uint32_t last) {
    if (equal_words_.size() < last) equal_words_.resize(last, 0);
    for (uint64_t i = 0; i < ids.size();) {
        const uint64_t w = condition_word(ids[i]);
        while (i < ids.size() && condition_word(ids[i]) == w)
            ++i;
        count({w, words[w]}, first, last, 1);
    }
}

void WordMaskBuckets::apply(std::span<const WordMask> masks, SignWords& words, uint32_t first,
                            uint32_t last) {
    // Later relations equal to the old words are no longer, those equal to the new ones
    // become so.
    for (const WordMask& m : masks) {
        const uint64_t now = words.at(m.word);
        if (now != 0) count({m.word, now}, first, last, -1);
        if ((now ^ m.mask) != 0) count({m.word, now ^ m.mask}, first, last, 1);
    }
    words.toggle(masks);
}

void WordMaskBuckets::clear() {
    for (const uint32_t r : counted_)
        equal_words_[r] = 0;
    counted_.clear();
}

void RelationScan::start(const PendingFactoredState& state, uint32_t first) {
    if (indexed_from_ != kNotIndexed) return;
    indexed_from_ = first;
    for (auto r = static_cast<uint64_t>(first); r < state.relations.size(); ++r)
        buckets_.index(static_cast<uint32_t>(r), state.relation_masks.of(r));
}

void RelationScan::relation_added(uint32_t r, std::span<const int32_t> ids) {
    if (indexed_from_ == kNotIndexed) return;
    buckets_.index(r, ids);
}

SymbolicBool RelationScan::walk(PendingFactoredState& state, SymbolicBool sign, uint32_t first,
                                uint32_t last, CandidatePricing& pricing,
                                std::vector<uint32_t>* applied) {
    if (first >= last) return sign;
    SignWords& words = state.relation_scratch.sign;
    EvaluationCost cost{words.load(sign.conditions), sign.conditions.size()};
    buckets_.count_sign(sign.conditions, words, std::max(first, indexed_from_), last);
    bool rewritten = false;
    for (uint32_t r = first; r < last; ++r) {
        const std::span<const WordMask> masks = state.relation_masks.of(r);
        if (masks.empty()) continue;  // an empty relation names nothing
        if (r >= indexed_from_ && buckets_.passes_over(r, masks, words)) continue;
        if (!walk_takes_relation(state, r, cost, pricing)) continue;
        sign.constant = sign.constant != state.relations[r].constant;
        rewritten = true;
        if (applied != nullptr) applied->push_back(r);
        buckets_.apply(masks, words, r + 1, last);
    }
    buckets_.clear();
    words.finish(sign.conditions, rewritten);
    return sign;
}

}  // namespace kelvo
