#include "compiler/later_passes.h"

#include <algorithm>

#include "compiler/relations.h"
#include "errors.h"

namespace kelvo {

void LaterPasses::count(const ReducerRelations& relations) {
    const auto total = static_cast<uint32_t>(relations.ends.size());
    for (; counted_ < total; ++counted_) {
        for (const WordMask& m : relations.masks.of(counted_)) {
            if (m.word >= masks_in_word_.size())
                masks_in_word_.resize(std::max(m.word + 1, 2 * masks_in_word_.size()), 0);
            ++masks_in_word_[m.word];
        }
    }
}

void LaterPasses::index(const ReducerRelations& relations) {
    const auto count = static_cast<uint32_t>(relations.ends.size());
    for (; indexed_ < count; ++indexed_) {
        for (const WordMask& m : relations.masks.of(indexed_))
            relations_by_word_.add(static_cast<int32_t>(m.word + 1), indexed_);
    }
    if (queued_.size() < count) queued_.resize(std::max<uint64_t>(count, 2 * queued_.size()), 0);
}

void LaterPasses::queue_word(uint64_t word, uint32_t after) {
    const auto queue = [this](uint32_t r) {
        if (queued_[r] != 0) return;
        queued_[r] = 1;
        queue_.push(r);
    };
    const auto key = static_cast<int32_t>(word + 1);
    if (after == kNone)
        relations_by_word_.for_each(key, queue);
    else
        relations_by_word_.for_each_from(key, after + 1, queue);
}

void LaterPasses::remove_fixed(const ReducerRelations& relations, SignWords& words,
                               EvaluationCost& cost, bool& constant,
                               std::span<const uint32_t> taken) {
    for (const uint32_t r : taken) {
        for (const int32_t id : relations.of(r)) {
            const auto i = static_cast<uint64_t>(id);
            if (i >= relations.fixed.size() || relations.fixed[i] < 0) continue;
            const uint64_t w = condition_word(id), bit = condition_bit(id);
            if ((words.at(w) & bit) == 0) continue;
            words.toggle(w, bit);
            constant = constant != (relations.fixed[i] == 1);
            --cost.conditions;
            if (words[w] == 0) --cost.words;
        }
    }
}

bool LaterPasses::takes(const ReducerRelations& relations, uint32_t r, const SignWords& words,
                        EvaluationCost& cost) const {
    const std::span<const WordMask> masks = relations.masks.of(r);
    // A candidate names an id of the pass's start.
    if (std::none_of(masks.begin(), masks.end(), [&](const WordMask& m) {
            return ((words.at(m.word) ^ moved_.at(m.word)) & m.mask) != 0;
        }))
        return false;
    const EvaluationCost reduced = cost_after_xor(words, masks, relations.of(r).size(), cost);
    if (!(reduced < cost)) return false;
    cost = reduced;
    return true;
}

void LaterPasses::clear() {
    for (; !queue_.empty(); queue_.pop())
        queued_[queue_.top()] = 0;
    moved_.clear();
    changed_.clear();
}

bool LaterPasses::run(const ReducerRelations& relations, SignWords& words, EvaluationCost& cost,
                      bool& constant, std::vector<uint32_t>& taken, uint64_t budget) {
    count(relations);
    while (!taken.empty()) {
        // The words the last pass changed: their relations may decide otherwise in this one.
        changed_.clear();
        for (const uint32_t r : taken)
            for (const WordMask& m : relations.masks.of(r))
                changed_.push_back(m.word);
        std::sort(changed_.begin(), changed_.end());
        changed_.erase(std::unique(changed_.begin(), changed_.end()), changed_.end());
        uint64_t visits = 0;
        for (const uint64_t w : changed_)
            visits += masks_in_word_[w];
        if (visits > budget) {
            changed_.clear();
            return false;
        }
        index(relations);
        for (const uint64_t w : changed_)
            queue_word(w, kNone);
        remove_fixed(relations, words, cost, constant, taken);
        moved_.clear();
        taken.clear();
        while (!queue_.empty()) {
            const uint32_t r = queue_.top();
            queue_.pop();
            queued_[r] = 0;
            const std::span<const WordMask> masks = relations.masks.of(r);
            words.reserve(masks.back().word);
            if (!takes(relations, r, words, cost)) continue;
            for (const WordMask& m : masks) {
                queue_word(m.word, r);
                moved_.toggle(m.word, m.mask);
            }
            words.toggle(masks);
            constant = constant != (relations.constants[r] != 0);
            taken.push_back(r);
        }
    }
    clear();
    return true;
}

}  // namespace kelvo
