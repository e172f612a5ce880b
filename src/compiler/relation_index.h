// Lookup structures of the planner's relation store: which relations name a condition, each
// relation as word masks of the packed symbol table, and the scratch space that rewrites one
// sign at a time. Condition ids are dense (handed out upward from 1), so all of them are arrays
// indexed by id, word or relation rather than hash maps.
#pragma once

#include <cstdint>
#include <span>
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

// The ids of a relation that fall in one symbol-table word: condition c is bit (c - 1) % 64 of
// word (c - 1) / 64.
struct WordMask {
    uint64_t word = 0;
    uint64_t mask = 0;
};

// Every relation's word masks, in ascending word order, in one array.
class RelationWordMasks {
  public:
    // Appends the next relation from its ascending ids (each >= 1, else fatal "condition id
    // must be positive").
    void add(std::span<const int32_t> ids);

    std::span<const WordMask> of(uint64_t relation) const {
        return std::span<const WordMask>(masks_).subspan(begin_[relation],
                                                         begin_[relation + 1] - begin_[relation]);
    }

  private:
    std::vector<WordMask> masks_;
    std::vector<uint64_t> begin_{0};  // relation r's masks are [begin_[r], begin_[r + 1])
};

// Working space of the sign reduction, all zero between calls: the sign being reduced as word
// masks of the symbol table, the words it named before any rewrite, and per relation the
// number of the sign's ids it names.
struct RelationScratch {
    std::vector<uint64_t> sign_words;
    std::vector<uint8_t> initial_words;  // 1 where the sign named the word before any rewrite
    std::vector<uint64_t> initial_list;  // those words
    std::vector<uint32_t> shared;
    std::vector<uint32_t> candidates;  // relations with a nonzero `shared`
    std::vector<int32_t> buffer, added;

    // Makes room for symbol-table words up to `word` and relations below `relations`.
    void reserve(uint64_t word, uint64_t relations) {
        if (word >= sign_words.size() || relations > shared.size()) grow(word, relations);
    }

  private:
    void grow(uint64_t word, uint64_t relations);
};

}  // namespace kelvo
