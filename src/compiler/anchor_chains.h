// The reduction of full signs that are never written out. A body measured again and again (a
// stabilizer, round after round) forms a chain of measurements, each anchored to the one
// before: a link's full sign is its anchor's full sign XOR the link's own part (its relative
// sign with the outcomes pushed into it, substituted), so the full signs grow with the circuit
// while the own parts stay short.
//
// The reduction of a full sign walks the relations in index order, and a relation's effect on
// the cost depends only on the sign's ids within the relation's symbol-table words. So up to
// the first relation naming a word the own part names, and no further than the relations the
// anchor's reduction saw, the walk takes exactly the anchor's decisions. It is therefore
// resumed from there: from the anchor's state at that point (its reduced sign XOR the
// relations it applied since), over the later relations that name an id of the full sign. The
// result is the very expression the walk over the written-out full sign gives.
//
// Those relations are found through the chain's list (kept current as relations are added) and
// the lists of the own part's ids. Where the ids are each named by many relations (wide layers
// whose coins stay in every later sign), reading those lists and keeping that list costs more
// than pricing every relation from the resume point, which passes over the ones naming no id
// of the full sign anyway; such a chain keeps no list and always prices every relation from
// its resume point.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "compiler/relation_index.h"
#include "compiler/relation_scan.h"
#include "compiler/word_mask_table.h"
#include "symbolic.h"

namespace kelvo {

struct PendingFactoredState;

class AnchorChains {
  public:
    // What an operation takes from its anchor: the anchor's reduction and chain.
    struct Link {
        uint32_t walk = 0;
        uint32_t chain = 0;
    };

    // The planner's store gained relation `r` (ascending ids).
    void relation_added(uint32_t r, std::span<const int32_t> ids);

    // The reduction (reduce_sign_by_pending_relations) of the full sign of the operation about
    // to be planned: `own` alone without `anchor`, else the anchor's full sign XOR `own`. With
    // `next`, the operation is a measurement that anchors later ones: it becomes the next link
    // of its anchor's chain (or starts a chain) and `next` receives what they take.
    SymbolicBool reduce(PendingFactoredState& state, std::optional<Link> anchor, SymbolicBool own,
                        Link* next);

  private:
    static constexpr uint32_t kNone = UINT32_MAX;

    // One reduction of a link's full sign; its reduced sign and the relations it XORed in
    // (ascending, none below `resumed_at`) lie in the pools.
    struct Walk {
        uint64_t reduced_begin = 0, reduced_end = 0;
        uint64_t applied_begin = 0, applied_end = 0;
        uint64_t own_begin = 0, own_end = 0;  // the link's own part
        bool constant = false;
        uint32_t relations_seen = 0;  // the store's size when it ran
        uint32_t resumed_at = 0;      // its decisions below this are its parent's
        uint32_t parent = kNone;      // the anchor's walk; kNone for a walk over a whole sign
        uint32_t later = kNone;       // the next link of the chain, once there is one
    };

    uint64_t chain_word(uint32_t chain, uint64_t word) const;
    // reduce_sign_by_pending_relations of `sign`, by pricing every relation below `seen` where
    // that is cheaper than gathering those naming its ids.
    SymbolicBool reduce_whole(PendingFactoredState& state, SymbolicBool sign, uint32_t seen,
                              std::vector<uint32_t>* applied);
    // Whether the walk of `chain` over the relations from `resume` to `seen` had better price
    // every one of them than gather those naming an id of `own`; once so, always so.
    bool prices_every_relation(const PendingFactoredState& state, uint32_t chain,
                               const SymbolicBool& own, uint32_t resume, uint32_t seen);
    // Appends to named_ the relations from index `first` on that name an id of `ids` and are not
    // in it yet; finish_named then sorts named_ and clears the marks.
    void gather_named(const PendingFactoredState& state, std::span<const int32_t> ids,
                      uint32_t first);
    void finish_named();
    // The number of relations naming the ids, summed.
    uint64_t naming_count(std::span<const int32_t> ids) const;
    std::span<const int32_t> own_of(uint32_t walk) const;
    // The chain starts keeping its list.
    void list_chain(const PendingFactoredState& state, uint32_t chain);
    // Walk `walk`'s sign before relation `from` (its reduced sign XOR what it applied since)
    // XOR `own`.
    SymbolicBool state_at(const PendingFactoredState& state, uint32_t walk, uint32_t from,
                          const SymbolicBool& own);
    // Adds `own` to the chain's full sign.
    // `known`: ascending, every relation naming an id of `own` and the chain's list from the
    // first of them on.
    void extend_chain(uint32_t chain, const SymbolicBool& own, std::span<const uint32_t> known);
    // Keeps the walk that gave `reduced` for the link with own part `own`, its applied
    // relations being the pool's tail from `applied_begin`.
    Link record(const SymbolicBool& reduced, const SymbolicBool& own, uint64_t applied_begin,
                uint32_t seen, uint32_t resumed_at, std::optional<Link> anchor);

    std::vector<Walk> walks_;
    std::vector<int32_t> reduced_pool_;
    std::vector<uint32_t> applied_pool_;
    std::vector<int32_t> own_pool_;
    // Per chain: the relations naming an id some own part of the chain named (ascending), and
    // by word the ids of the chain's full sign (one small table per chain, so that a walk's
    // lookups stay in cache).
    // How a chain's walks find their candidates: decided at its first resumed walk.
    enum class Candidates : uint8_t { Undecided, Listed, Every };
    struct Chain {
        std::vector<uint32_t> relations;  // kept while Listed
        WordMaskTable words;
        uint32_t first_walk = kNone;
        Candidates candidates = Candidates::Undecided;
    };
    std::vector<Chain> chains_;
    ConditionRelationIndex chains_by_condition_;
    std::vector<uint32_t> first_relation_of_word_;
    std::vector<uint32_t> relations_naming_;  // by condition id, how many relations name it
    RelationScan scan_;                       // the walks of the chains pricing every relation
    // Scratch, clean between calls: the own part (with later links' own parts) for pricing,
    // the candidates, the resumed walk's start.
    SignWords own_;
    std::vector<uint32_t> gathered_, named_;
    std::vector<uint8_t> named_mark_;  // 1 for a relation in named_ while it is gathered
    SignWords state_;
};

}  // namespace kelvo
