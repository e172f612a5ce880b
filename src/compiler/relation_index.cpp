#include "compiler/relation_index.h"

#include <algorithm>
#include <bit>

#include "errors.h"

namespace kelvo {

void ConditionRelationIndex::add(int32_t id, uint32_t relation) {
    KELVO_ASSERT(id >= 1, "condition id must be positive");
    KELVO_ASSERT(relation < UINT32_MAX && more_.size() < UINT32_MAX, "relation index out of range");
    const auto i = static_cast<uint64_t>(id);
    if (i >= slots_.size()) slots_.resize(std::max(i + 1, 2 * slots_.size()));
    Slot& slot = slots_[i];
    ++count_;
    for (uint32_t& r : slot.relations) {
        if (r == 0) {
            r = relation + 1;
            return;
        }
    }
    if (slot.more != 0) {
        for (uint32_t& r : more_[slot.more - 1].relations) {
            if (r == 0) {
                r = relation + 1;
                return;
            }
        }
    }
    Chunk chunk;
    chunk.relations[0] = relation + 1;
    chunk.next = slot.more;
    more_.push_back(chunk);
    slot.more = static_cast<uint32_t>(more_.size());
}

void ConditionRelationIndex::add(std::span<const int32_t> ids, uint32_t relation) {
    for (const int32_t id : ids)
        add(id, relation);
}

void RelationWordMasks::add(std::span<const int32_t> ids) {
    for (const int32_t id : ids) {
        KELVO_ASSERT(id >= 1, "condition id must be positive");
        const auto bit = static_cast<uint64_t>(id - 1);
        if (masks_.size() == begin_.back() || masks_.back().word != bit / 64)
            masks_.push_back({bit / 64, 0});
        masks_.back().mask |= uint64_t{1} << (bit % 64);
    }
    begin_.push_back(masks_.size());
}

void SignWords::take(std::vector<int32_t>& out) {
    out.clear();
    std::sort(touched_.begin(), touched_.end());
    touched_.erase(std::unique(touched_.begin(), touched_.end()), touched_.end());
    for (const uint64_t w : touched_) {
        for (uint64_t bits = bits_[w]; bits != 0; bits &= bits - 1)
            out.push_back(static_cast<int32_t>(64 * w + std::countr_zero(bits)) + 1);
        bits_[w] = 0;
    }
    touched_.clear();
}

void SignWords::clear() {
    for (const uint64_t w : touched_)
        bits_[w] = 0;
    touched_.clear();
}

void RelationScratch::grow(uint64_t word, uint64_t relations) {
    sign.reserve(word);
    if (word >= initial_words.size())
        initial_words.resize(std::max(word + 1, 2 * initial_words.size()), 0);
    if (relations > shared.size()) shared.resize(std::max(relations, 2 * shared.size()), 0);
}

}  // namespace kelvo
