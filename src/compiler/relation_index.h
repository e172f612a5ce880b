// Lookup structures of the planner's relation store: which relations name a condition, each
// relation as word masks of the packed symbol table, and the scratch space that rewrites one
// sign at a time. Condition ids are dense (handed out upward from 1), so all of them are arrays
// indexed by id, word or relation rather than hash maps.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace kelvo {

// For each condition id, the indices of the relations that name it. Most ids are named by at
// most two relations, so those two sit in the id's own slot (one memory access per lookup);
// further ones are threaded through an overflow array.
class ConditionRelationIndex {
  public:
    // Appends `relation` to the list of `id` (>= 1, else fatal "condition id must be positive").
    void add(int32_t id, uint32_t relation);
    // The same for each of `ids`.
    void add(std::span<const int32_t> ids, uint32_t relation);

    // Calls visit(relation) for every relation naming `id`.
    template <class Visit>
    void for_each(int32_t id, Visit visit) const {
        if (id < 1 || static_cast<uint64_t>(id) >= slots_.size()) return;
        const Slot& slot = slots_[static_cast<uint64_t>(id)];
        for (const uint32_t r : slot.relations) {
            if (r == 0) return;
            visit(r - 1);
        }
        for (uint32_t e = slot.more; e != 0; e = more_[e - 1].next)
            visit(more_[e - 1].relation);
    }

    // Calls visit(relation) for every relation naming `id` from index `first` on, newest
    // first. Relations are added in ascending order, so the walk stops at the first older one.
    template <class Visit>
    void for_each_from(int32_t id, uint32_t first, Visit visit) const {
        if (id < 1 || static_cast<uint64_t>(id) >= slots_.size()) return;
        const Slot& slot = slots_[static_cast<uint64_t>(id)];
        for (uint32_t e = slot.more; e != 0; e = more_[e - 1].next) {
            if (more_[e - 1].relation < first) return;
            visit(more_[e - 1].relation);
        }
        for (const uint32_t r : slot.relations) {
            if (r != 0 && r - 1 >= first) visit(r - 1);
        }
    }

    bool empty() const { return count_ == 0; }

  private:
    struct Slot {
        uint32_t relations[2] = {0, 0};  // 1 + relation index, 0 when unused
        uint32_t more = 0;               // 1 + the latest overflow entry, 0 when none
    };
    struct Entry {
        uint32_t relation;
        uint32_t next;  // 1 + the overflow entry added before it for the same id, 0 at the end
    };
    std::vector<Slot> slots_;
    std::vector<Entry> more_;
    uint64_t count_ = 0;
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
    std::vector<uint64_t> touched;     // words of sign_words that may be nonzero
    std::vector<int32_t> buffer, added, found, merged;

    // Makes room for symbol-table words up to `word` and relations below `relations`.
    void reserve(uint64_t word, uint64_t relations) {
        if (word >= sign_words.size() || relations > shared.size()) grow(word, relations);
    }

  private:
    void grow(uint64_t word, uint64_t relations);
};

}  // namespace kelvo
