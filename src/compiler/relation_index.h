// Lookup structures of the planner's relation store: which relations name a condition, and
// the scratch space that rewrites one sign at a time. Condition ids are dense (handed out
// upward from 1), so both are arrays indexed by id rather than hash maps.
#pragma once

#include <cstdint>
#include <vector>

namespace kelvo {

// For each condition id, the indices of the relations that name it. The lists are threaded
// through one array, so adding a relation allocates nothing per condition.
class ConditionRelationIndex {
  public:
    // Appends `relation` to the list of `id` (>= 1, else fatal "condition id must be positive").
    void add(int32_t id, uint32_t relation);

    // Calls visit(relation) for every relation naming `id`, latest first.
    template <class Visit>
    void for_each(int32_t id, Visit visit) const {
        if (id < 1 || static_cast<uint64_t>(id) >= head_.size()) return;
        for (uint32_t e = head_[static_cast<uint64_t>(id)]; e != 0; e = entries_[e - 1].next)
            visit(entries_[e - 1].relation);
    }

    bool empty() const { return entries_.empty(); }

  private:
    struct Entry {
        uint32_t relation;
        uint32_t next;  // 1 + the entry added before it for the same id, 0 at the end
    };
    std::vector<uint32_t> head_;  // id -> 1 + its latest entry, 0 when it has none
    std::vector<Entry> entries_;
};

// Working space of the sign reduction, all zero between calls. It holds the sign being
// reduced as a bit per id and a count per symbol-table word, so that what a relation would do
// to the sign's cost is read off the relation's own ids alone.
struct RelationScratch {
    std::vector<uint64_t> id_bits;      // bit id of the sign's ids
    std::vector<uint32_t> word_counts;  // the sign's ids in symbol-table word (id - 1) / 64
    std::vector<uint32_t> shared;       // per relation: the sign's ids it names
    std::vector<uint32_t> candidates;   // relations with a nonzero `shared`
    std::vector<int32_t> buffer;

    // Makes room for ids up to `id` and relations below `relations`.
    void reserve(int32_t id, uint64_t relations);
};

}  // namespace kelvo
