#include "compiler/anchor_chains.h"

#include <algorithm>
#include <bit>
#include <iterator>
#include <utility>

#include "bits.h"
#include "compiler/pending.h"
#include "compiler/relations.h"
#include "errors.h"

namespace kelvo {
namespace {

uint32_t relation_count(const PendingFactoredState& state) {
    KELVO_ASSERT(state.relations.size() < UINT32_MAX, "relation index out of range");
    return static_cast<uint32_t>(state.relations.size());
}

}  // namespace

void AnchorChains::relation_added(uint32_t r, std::span<const int32_t> ids) {
    scan_.relation_added(r, ids);
    for (const int32_t c : ids) {
        chains_by_condition_.for_each(c, [this, r](uint32_t chain) {
            if (chains_[chain].candidates != Candidates::Listed) return;
            std::vector<uint32_t>& list = chains_[chain].relations;
            if (list.empty() || list.back() != r) list.push_back(r);
        });
        const auto i = static_cast<uint64_t>(c);
        if (i >= relations_naming_.size())
            relations_naming_.resize(std::max(i + 1, 2 * relations_naming_.size()), 0);
        ++relations_naming_[i];
        const uint64_t w = condition_word(c);
        if (w >= first_relation_of_word_.size())
            first_relation_of_word_.resize(std::max(w + 1, 2 * first_relation_of_word_.size()),
                                           kNone);
        first_relation_of_word_[w] = std::min(first_relation_of_word_[w], r);
    }
}

void AnchorChains::gather_named(const PendingFactoredState& state, std::span<const int32_t> ids,
                                uint32_t first) {
    // Each id's list is read newest first, down to `first`; a relation is kept once, by its
    // mark, so only distinct relations are sorted.
    named_mark_.resize(state.relations.size(), 0);
    for (const int32_t c : ids) {
        state.relations_by_condition.for_each_from(c, first, [this](uint32_t r) {
            if (named_mark_[r] == 0) {
                named_mark_[r] = 1;
                named_.push_back(r);
            }
        });
    }
}

void AnchorChains::finish_named() {
    for (const uint32_t r : named_)
        named_mark_[r] = 0;
    std::sort(named_.begin(), named_.end());
}

uint64_t AnchorChains::naming_count(std::span<const int32_t> ids) const {
    uint64_t count = 0;
    for (const int32_t id : ids) {
        const auto i = static_cast<uint64_t>(id);
        count += i < relations_naming_.size() ? relations_naming_[i] : 0;
    }
    return count;
}

std::span<const int32_t> AnchorChains::own_of(uint32_t walk) const {
    return std::span<const int32_t>(own_pool_).subspan(
        walks_[walk].own_begin, walks_[walk].own_end - walks_[walk].own_begin);
}

bool AnchorChains::prices_every_relation(const PendingFactoredState& state, uint32_t chain,
                                         const SymbolicBool& own, uint32_t resume, uint32_t seen) {
    Chain& c = chains_[chain];
    if (c.candidates != Candidates::Every) {
        // Gathering reads, for each id of `own`, its relations from `resume` on (bounded by all
        // of them), and the chain's list, which a chain still deciding must first build from
        // its own parts so far; pricing all reads every relation's masks, in order, at about
        // half the cost of a scattered lookup.
        uint64_t gathering = naming_count(own.conditions);
        if (c.candidates == Candidates::Listed) {
            const std::vector<uint32_t>& list = c.relations;
            gathering += static_cast<uint64_t>(list.end() -
                                               std::lower_bound(list.begin(), list.end(), resume));
        } else {
            for (uint32_t w = c.first_walk; w != kNone; w = walks_[w].later)
                gathering += naming_count(own_of(w));
        }
        if (state.relation_masks.mask_count(resume, seen) > 2 * gathering) {
            if (c.candidates == Candidates::Undecided) list_chain(state, chain);
            return false;
        }
        c.candidates = Candidates::Every;
        std::vector<uint32_t>().swap(c.relations);
        scan_.start(state, resume);
    }
    return true;
}

void AnchorChains::list_chain(const PendingFactoredState& state, uint32_t chain) {
    // Every relation naming an id of an own part so far, from the first on: a later walk may
    // resume as far back as that.
    Chain& c = chains_[chain];
    named_.clear();
    for (uint32_t w = c.first_walk; w != kNone; w = walks_[w].later) {
        gather_named(state, own_of(w), 0);
        for (const int32_t id : own_of(w))
            chains_by_condition_.add(id, chain);
    }
    finish_named();
    c.relations.assign(named_.begin(), named_.end());
    c.candidates = Candidates::Listed;
}

uint64_t AnchorChains::chain_word(uint32_t chain, uint64_t word) const {
    return chains_[chain].words.find(word);
}

SymbolicBool AnchorChains::state_at(const PendingFactoredState& state, uint32_t walk, uint32_t from,
                                    const SymbolicBool& own) {
    // XORed as word masks, the list built once: far back, the applied relations are many.
    const Walk& first = walks_[walk];
    state_.reserve(state.context.next_condition_id / 64);  // every id handed out so far
    state_.load(std::span<const int32_t>(reduced_pool_)
                    .subspan(first.reduced_begin, first.reduced_end - first.reduced_begin));
    state_.toggle(own.conditions);
    bool constant = first.constant != own.constant;
    // The applied relations at or past `from`: the walk's own, then those of the walk it
    // resumed, below where it resumed, and so on.
    uint32_t below = kNone;
    while (walk != kNone && from < below) {
        const Walk& w = walks_[walk];
        const auto begin = applied_pool_.begin() + static_cast<std::ptrdiff_t>(w.applied_begin);
        const auto end = applied_pool_.begin() + static_cast<std::ptrdiff_t>(w.applied_end);
        for (auto it = std::lower_bound(begin, end, from); it != end && *it < below; ++it) {
            state_.toggle(state.relation_masks.of(*it));
            constant = constant != state.relations[*it].constant;
        }
        below = std::min(below, w.resumed_at);
        walk = w.parent;
    }
    SymbolicBool out{{}, constant};
    state_.take(out.conditions);
    return out;
}

void AnchorChains::extend_chain(uint32_t chain, const SymbolicBool& own,
                                std::span<const uint32_t> known) {
    // Ids come ascending, so each word's ids are adjacent: one table update per word.
    const bool keeps_list = chains_[chain].candidates == Candidates::Listed;
    uint64_t word = 0, mask = 0;
    for (const int32_t c : own.conditions) {
        if (keeps_list) chains_by_condition_.add(c, chain);
        if (mask != 0 && condition_word(c) != word) {
            chains_[chain].words.toggle(word, mask);
            mask = 0;
        }
        word = condition_word(c);
        mask |= condition_bit(c);
    }
    if (mask != 0) chains_[chain].words.toggle(word, mask);
    // The relations already naming the own part's ids are among `known`, which holds the list's
    // tail from its first entry on: the list becomes its head before that, then `known`.
    if (known.empty() || !keeps_list) return;
    std::vector<uint32_t>& list = chains_[chain].relations;
    list.erase(std::lower_bound(list.begin(), list.end(), known.front()), list.end());
    list.insert(list.end(), known.begin(), known.end());
}

AnchorChains::Link AnchorChains::record(const SymbolicBool& reduced, const SymbolicBool& own,
                                        uint64_t applied_begin, uint32_t seen, uint32_t resumed_at,
                                        std::optional<Link> anchor) {
    KELVO_ASSERT(walks_.size() < kNone && chains_.size() < kNone, "relation index out of range");
    const Link link{static_cast<uint32_t>(walks_.size()),
                    anchor ? anchor->chain : static_cast<uint32_t>(chains_.size())};
    if (!anchor) {
        chains_.emplace_back();
        chains_.back().first_walk = link.walk;
    }
    Walk walk;
    walk.reduced_begin = reduced_pool_.size();
    reduced_pool_.insert(reduced_pool_.end(), reduced.conditions.begin(), reduced.conditions.end());
    walk.reduced_end = reduced_pool_.size();
    walk.applied_begin = applied_begin;
    walk.applied_end = applied_pool_.size();
    walk.constant = reduced.constant;
    walk.relations_seen = seen;
    walk.resumed_at = resumed_at;
    walk.parent = anchor ? anchor->walk : kNone;
    walk.own_begin = own_pool_.size();
    own_pool_.insert(own_pool_.end(), own.conditions.begin(), own.conditions.end());
    walk.own_end = own_pool_.size();
    if (anchor) walks_[anchor->walk].later = link.walk;
    walks_.push_back(walk);
    return link;
}

SymbolicBool AnchorChains::reduce_whole(PendingFactoredState& state, SymbolicBool sign,
                                        uint32_t seen, std::vector<uint32_t>* applied) {
    // Gathering reads every relation naming an id of the sign; pricing every relation reads
    // their masks, most only up to a word the sign does not read.
    if (sign.conditions.empty() || seen == 0 ||
        state.relation_masks.mask_count(0, seen) > 2 * naming_count(sign.conditions))
        return reduce_sign_by_pending_relations(state, std::move(sign), applied);
    scan_.start(state, 0);
    // A relation's counts against the sign as given.
    struct Pricing final : CandidatePricing {
        const PendingFactoredState& state;
        const SignWords& initial;
        Pricing(const PendingFactoredState& state, const SignWords& initial)
            : state(state), initial(initial) {}
        CandidatePrice price(uint32_t r) override {
            CandidatePrice p;
            for (const WordMask& m : state.relation_masks.of(r)) {
                const uint64_t now = initial.at(m.word);
                p.named += static_cast<uint32_t>(std::popcount(now & m.mask));
                p.initial_words += now != 0;
            }
            return p;
        }
    } pricing(state, own_);
    own_.toggle(sign.conditions);
    SymbolicBool reduced = scan_.walk(state, std::move(sign), 0, seen, pricing, applied);
    own_.clear();
    return reduced;
}

SymbolicBool AnchorChains::reduce(PendingFactoredState& state, std::optional<Link> anchor,
                                  SymbolicBool own, Link* next) {
    const uint32_t seen = relation_count(state);
    const uint64_t applied_begin = applied_pool_.size();
    std::vector<uint32_t>* const applied = next != nullptr ? &applied_pool_ : nullptr;
    if (!anchor) {
        SymbolicBool reduced = reduce_whole(state, own, seen, applied);
        if (next != nullptr) {
            // A new chain, which decides how to find its candidates at its first resumed walk.
            *next = record(reduced, own, applied_begin, seen, 0, std::nullopt);
            extend_chain(next->chain, own, {});
        }
        return reduced;
    }

    // Where the anchor's decisions stop holding: the first relation naming a word of `own`.
    uint32_t resume = walks_[anchor->walk].relations_seen;
    for (const int32_t c : own.conditions) {
        const uint64_t w = condition_word(c);
        if (w < first_relation_of_word_.size())
            resume = std::min(resume, first_relation_of_word_[w]);
    }
    own_.toggle(own.conditions);
    // A measurement moved before this operation may have extended the chain past the anchor:
    // the chain's words then hold the own parts of those later links too, which cancel here.
    for (uint32_t w = walks_[anchor->walk].later; w != kNone; w = walks_[w].later)
        own_.toggle(own_of(w));

    // The relations from there that may name an id of the full sign: every one, or the
    // chain's, ascending, united with those naming an id of the own part.
    const bool every = prices_every_relation(state, anchor->chain, own, resume, seen);
    gathered_.clear();
    if (!every) {
        named_.clear();
        gather_named(state, own.conditions, resume);
        finish_named();
        const std::vector<uint32_t>& chain = chains_[anchor->chain].relations;
        std::set_union(std::lower_bound(chain.begin(), chain.end(), resume), chain.end(),
                       named_.begin(), named_.end(), std::back_inserter(gathered_));
    }

    // A relation's counts against the full sign: the chain's words XOR the own part's.
    struct Pricing final : CandidatePricing {
        const AnchorChains& chains;
        const PendingFactoredState& state;
        uint32_t chain;
        Pricing(const AnchorChains& chains, const PendingFactoredState& state, uint32_t chain)
            : chains(chains), state(state), chain(chain) {}
        CandidatePrice price(uint32_t r) override {
            CandidatePrice p;
            for (const WordMask& m : state.relation_masks.of(r)) {
                const uint64_t full = chains.chain_word(chain, m.word) ^ chains.own_.at(m.word);
                p.named += static_cast<uint32_t>(std::popcount(full & m.mask));
                p.initial_words += full != 0;
            }
            return p;
        }
    } pricing(*this, state, anchor->chain);
    SymbolicBool start = state_at(state, anchor->walk, resume, own);
    SymbolicBool reduced =
        every ? scan_.walk(state, std::move(start), resume, seen, pricing, applied)
              : walk_relation_candidates(state, std::move(start), gathered_, pricing, applied);
    own_.clear();
    if (next != nullptr) {
        *next = record(reduced, own, applied_begin, seen, resume, anchor);
        extend_chain(next->chain, own, gathered_);
    }
    return reduced;
}

}  // namespace kelvo
