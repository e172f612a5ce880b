#include "compiler/relation_index.h"

#include <algorithm>

#include "errors.h"

namespace kelvo {

void ConditionRelationIndex::add(int32_t id, uint32_t relation) {
    KELVO_ASSERT(id >= 1, "condition id must be positive");
    const auto i = static_cast<uint64_t>(id);
    if (i >= head_.size()) head_.resize(std::max(i + 1, 2 * head_.size()), 0);
    KELVO_ASSERT(entries_.size() < UINT32_MAX, "relation index out of range");
    entries_.push_back({relation, head_[i]});
    head_[i] = static_cast<uint32_t>(entries_.size());
}

void RelationScratch::reserve(int32_t id, uint64_t relations) {
    KELVO_ASSERT(id >= 1, "condition id must be positive");
    const auto i = static_cast<uint64_t>(id);
    if (i / 64 >= id_bits.size()) id_bits.resize(std::max(i / 64 + 1, 2 * id_bits.size()), 0);
    if ((i - 1) / 64 >= word_counts.size())
        word_counts.resize(std::max((i - 1) / 64 + 1, 2 * word_counts.size()), 0);
    if (relations > shared.size()) shared.resize(std::max(relations, 2 * shared.size()), 0);
}

}  // namespace kelvo
