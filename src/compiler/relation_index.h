// Lookup structures of the planner's relation store: which relations name a condition, each
// relation as word masks of the packed symbol table, and the scratch space that rewrites one
// sign at a time. Condition ids are dense (handed out upward from 1), so all of them are arrays
// indexed by id, word or relation rather than hash maps.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <span>
#include <vector>

#include "compiler/ascending_order.h"
#include "errors.h"

namespace kelvo {

// For each condition id, the indices of the relations that name it. Most ids are named by at
// most two relations, so those two sit in the id's own slot (one memory access per lookup);
// further ones fill chunks of an overflow array, newest chunk first, so that an id named by
// many relations is read a cache line at a time rather than an entry at a time.
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
        for (uint32_t c = slot.more; c != 0; c = more_[c - 1].next) {
            for (const uint32_t r : more_[c - 1].relations) {
                if (r == 0) break;
                visit(r - 1);
            }
        }
    }

    // Calls visit(relation) for every relation naming `id` from index `first` on, newest
    // first. Relations are added in ascending order, so the walk stops at the first older one.
    template <class Visit>
    void for_each_from(int32_t id, uint32_t first, Visit visit) const {
        if (id < 1 || static_cast<uint64_t>(id) >= slots_.size()) return;
        const Slot& slot = slots_[static_cast<uint64_t>(id)];
        for (uint32_t c = slot.more; c != 0; c = more_[c - 1].next) {
            const Chunk& chunk = more_[c - 1];
            for (uint64_t i = kChunk; i-- > 0;) {
                const uint32_t r = chunk.relations[i];
                if (r == 0) continue;
                if (r - 1 < first) return;
                visit(r - 1);
            }
        }
        for (uint64_t i = 2; i-- > 0;) {
            const uint32_t r = slot.relations[i];
            if (r != 0 && r - 1 >= first) visit(r - 1);
        }
    }

    bool empty() const { return count_ == 0; }

  private:
    static constexpr uint64_t kChunk = 7;
    struct Slot {
        uint32_t relations[2] = {0, 0};  // 1 + relation index, 0 when unused
        uint32_t more = 0;               // 1 + the newest overflow chunk, 0 when none
    };
    struct Chunk {
        uint32_t relations[kChunk] = {};  // 1 + relation index, filled from the front
        uint32_t next = 0;                // 1 + the chunk filled before it for the same id
    };
    std::vector<Slot> slots_;
    std::vector<Chunk> more_;
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
    // The number of masks of the relations from `first` up to (not including) `last`.
    uint64_t mask_count(uint64_t first, uint64_t last) const {
        return begin_[last] - begin_[first];
    }

  private:
    std::vector<WordMask> masks_;
    std::vector<uint64_t> begin_{0};  // relation r's masks are [begin_[r], begin_[r + 1])
};

// Condition c is bit (c - 1) % 64 of symbol-table word (c - 1) / 64. An id below 1 is fatal
// ("condition id must be positive").
inline uint64_t condition_word(int32_t id) {
    KELVO_ASSERT(id >= 1, "condition id must be positive");
    return static_cast<uint64_t>(id - 1) / 64;
}
inline uint64_t condition_bit(int32_t id) {
    return uint64_t{1} << (static_cast<uint64_t>(id - 1) % 64);
}

// An expression held as symbol-table word masks, zero between uses, with the words made nonzero
// since: XORing a relation in costs the time of its own words, and the id list is rebuilt once.
class SignWords {
  public:
    // Makes room for words up to `word`.
    void reserve(uint64_t word) {
        if (word >= bits_.size()) bits_.resize(std::max(word + 1, 2 * bits_.size()), 0);
    }
    // Word `word`, which reserve must have made room for.
    uint64_t operator[](uint64_t word) const { return bits_[word]; }
    uint64_t at(uint64_t word) const { return word < bits_.size() ? bits_[word] : 0; }
    void toggle(uint64_t word, uint64_t mask) {
        reserve(word);
        if (bits_[word] == 0) touched_.push_back(word);
        bits_[word] ^= mask;
    }
    void toggle(int32_t id) { toggle(condition_word(id), condition_bit(id)); }
    void toggle(std::span<const WordMask> masks) {
        for (const WordMask& m : masks)
            toggle(m.word, m.mask);
    }
    void toggle(std::span<const int32_t> ids) {
        for (const int32_t id : ids)
            toggle(id);
    }
    // Holds ascending `ids` (nothing being held); returns the number of their words. A long
    // expression is loaded once per reduction, a word at a time.
    uint64_t load(std::span<const int32_t> ids) {
        if (ids.empty()) return touched_.size();
        reserve(condition_word(ids.back()));
        uint64_t word = condition_word(ids.front()), mask = 0;
        for (const int32_t id : ids) {
            const uint64_t w = condition_word(id);
            if (w != word) {
                toggle(word, mask);
                word = w;
                mask = 0;
            }
            mask |= condition_bit(id);
        }
        toggle(word, mask);
        return touched_.size();
    }
    // What XORing `masks` in would change: the ids shared with what is held, and the change in
    // the number of nonzero words. reserve must have made room for the masks' words.
    struct XorChange {
        uint64_t shared = 0;
        int64_t words = 0;
    };
    XorChange xor_change(std::span<const WordMask> masks) const {
        XorChange out;
        for (const WordMask& m : masks) {
            const uint64_t now = bits_[m.word];
            out.shared += static_cast<uint64_t>(std::popcount(now & m.mask));
            out.words += static_cast<int64_t>((now ^ m.mask) != 0) - static_cast<int64_t>(now != 0);
        }
        return out;
    }
    // `out` becomes the ids held, ascending; everything is left zero.
    void take(std::vector<int32_t>& out);
    // Leaves everything zero.
    void clear();
    // take(out) when the walk rewrote the sign, else clear(): `out` already holds it.
    void finish(std::vector<int32_t>& out, bool rewritten) {
        if (rewritten)
            take(out);
        else
            clear();
    }

  private:
    std::vector<uint64_t> bits_;
    std::vector<uint64_t> touched_;  // may repeat a word
};

// Working space of the sign reduction, all zero between calls: the sign being reduced as word
// masks of the symbol table, the words it named before any rewrite, and per relation the
// number of the sign's ids it names.
struct RelationScratch {
    SignWords sign;
    std::vector<uint8_t> initial_words;  // 1 where the sign named the word before any rewrite
    std::vector<uint64_t> initial_list;  // those words
    std::vector<uint32_t> shared;
    std::vector<uint32_t> candidates;  // relations with a nonzero `shared`
    std::vector<int32_t> buffer, added, found, merged;
    AscendingOrder order;  // sorts `candidates`

    // Makes room for symbol-table words up to `word` and relations below `relations`.
    void reserve(uint64_t word, uint64_t relations) {
        if (word >= initial_words.size() || relations > shared.size()) grow(word, relations);
    }

  private:
    void grow(uint64_t word, uint64_t relations);
};

}  // namespace kelvo
