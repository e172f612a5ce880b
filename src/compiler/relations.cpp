#include "compiler/relations.h"

#include <algorithm>
#include <bit>
#include <iterator>

#include "bits.h"
#include "errors.h"
#include "splitmix64.h"

namespace kelvo {
namespace {

// The ids are ascending, so equal words are adjacent.
uint64_t distinct_word_count(std::span<const int32_t> ids) {
    uint64_t count = 0;
    uint64_t last = 0;
    for (const int32_t id : ids) {
        const uint64_t w = condition_word(id);
        if (count == 0 || w != last) ++count;
        last = w;
    }
    return count;
}

// The cost of a XOR b, and whether they share a condition, without building a XOR b.
struct XorCost {
    EvaluationCost cost;
    bool shares = false;
};

XorCost xor_cost(std::span<const int32_t> a, std::span<const int32_t> b) {
    XorCost out;
    uint64_t last = 0;
    const auto take = [&](int32_t id) {
        const uint64_t w = condition_word(id);
        if (out.cost.conditions == 0 || w != last) ++out.cost.words;
        last = w;
        ++out.cost.conditions;
    };
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (a[i] == b[j]) {
            out.shares = true;
            ++i;
            ++j;
        } else {
            take(a[i] < b[j] ? a[i++] : b[j++]);
        }
    }
    for (; i < a.size(); ++i)
        take(a[i]);
    for (; j < b.size(); ++j)
        take(b[j]);
    return out;
}

// expr XOR relation replaces expr, whose cost is `cost`, when they share a condition and the
// result is strictly cheaper; the result is built only then, in `buffer`, which receives the
// old list in exchange.
bool reduce_in_place(SymbolicBool& expr, EvaluationCost& cost, std::span<const int32_t> relation,
                     bool relation_constant, std::vector<int32_t>& buffer) {
    if (relation.empty()) return false;
    const XorCost reduced = xor_cost(expr.conditions, relation);
    if (!reduced.shares || !(reduced.cost < cost)) return false;
    buffer.clear();
    std::set_symmetric_difference(expr.conditions.begin(), expr.conditions.end(), relation.begin(),
                                  relation.end(), std::back_inserter(buffer));
    std::swap(expr.conditions, buffer);
    expr.constant = expr.constant != relation_constant;
    cost = reduced.cost;
    return true;
}

// Appends the ids of [id] XOR sign (ascending) to `out`.
void append_measurement_relation(std::vector<int32_t>& out, int32_t id,
                                 std::span<const int32_t> sign) {
    KELVO_ASSERT(id >= 1, "condition id must be positive");
    auto at = std::lower_bound(sign.begin(), sign.end(), id);
    out.insert(out.end(), sign.begin(), at);
    if (at != sign.end() && *at == id) {
        ++at;
    } else {
        out.push_back(id);
    }
    out.insert(out.end(), at, sign.end());
}

}  // namespace

EvaluationCost evaluation_cost(const SymbolicBool& expr) {
    return {distinct_word_count(expr.conditions), expr.conditions.size()};
}

std::vector<uint64_t> condition_words(std::span<const int32_t> ids) {
    std::vector<uint64_t> words;
    for (const int32_t id : ids) {
        const uint64_t w = condition_word(id);
        if (words.empty() || words.back() != w) words.push_back(w);
    }
    return words;
}

SymbolicBool measurement_relation(int32_t id, const SymbolicBool& sign) {
    SymbolicBool relation{{}, sign.constant};
    relation.conditions.reserve(sign.conditions.size() + 1);
    append_measurement_relation(relation.conditions, id, sign.conditions);
    return relation;
}

SymbolicBool reduce_by_relation_once(const SymbolicBool& expr, const SymbolicBool& relation) {
    SymbolicBool out = expr;
    EvaluationCost cost = evaluation_cost(expr);
    std::vector<int32_t> buffer;
    reduce_in_place(out, cost, relation.conditions, relation.constant, buffer);
    return out;
}

void substitute_pending_symbols(SymbolicBool& expr,
                                const std::unordered_map<int32_t, SymbolicBool>& table) {
    if (expr.conditions.empty() || table.empty()) return;
    std::vector<int32_t> next;
    bool found = true;
    while (found) {
        found = false;
        next.clear();
        for (const int32_t c : expr.conditions) {
            const auto it = table.find(c);
            if (it == table.end()) {
                next.push_back(c);
                continue;
            }
            found = true;
            next.insert(next.end(), it->second.conditions.begin(), it->second.conditions.end());
            expr.constant = expr.constant != it->second.constant;
        }
        if (found) expr.conditions = normalize_xor_conditions(next);
    }
}

void substitute_by_pending_store(SymbolicBool& expr, PendingFactoredState& state) {
    const std::vector<uint64_t>& keys = state.substitution_keys;
    const auto is_key = [&keys](int32_t c) {
        const auto i = static_cast<uint64_t>(c);
        return i / 64 < keys.size() && get_bit(keys, i);
    };
    RelationScratch& s = state.relation_scratch;
    s.found.clear();
    std::copy_if(expr.conditions.begin(), expr.conditions.end(), std::back_inserter(s.found),
                 is_key);
    // The passes of substitute_pending_symbols: each XORs the expression with its keys and
    // their values, so only the values can bring keys into the next pass.
    while (!s.found.empty()) {
        s.added.clear();
        for (const int32_t c : s.found) {
            const SymbolicBool& value = state.substitutions.at(c);
            s.added.insert(s.added.end(), value.conditions.begin(), value.conditions.end());
            expr.constant = expr.constant != value.constant;
        }
        s.added = normalize_xor_conditions(std::move(s.added));
        s.buffer.clear();
        std::set_symmetric_difference(s.found.begin(), s.found.end(), s.added.begin(),
                                      s.added.end(), std::back_inserter(s.buffer));
        s.merged.clear();
        std::set_symmetric_difference(expr.conditions.begin(), expr.conditions.end(),
                                      s.buffer.begin(), s.buffer.end(),
                                      std::back_inserter(s.merged));
        std::swap(expr.conditions, s.merged);
        s.found.clear();
        std::copy_if(s.added.begin(), s.added.end(), std::back_inserter(s.found), is_key);
    }
}

void reduce_pending_signs_by_measurement_relation(PendingFactoredState& state,
                                                  std::optional<uint32_t> condition,
                                                  const SymbolicBool& outcome) {
    if (!condition) return;
    const auto id = static_cast<int32_t>(*condition);
    SymbolicBool s = outcome;
    substitute_by_pending_store(s, state);
    SymbolicBool relation = measurement_relation(id, s);
    if (!relation.conditions.empty()) {
        KELVO_ASSERT(relation.conditions.back() >= 0, "condition id must be nonnegative");
        state.context.raise_next_condition_id_past(relation.conditions.back());
    }
    const bool names_condition = std::binary_search(s.conditions.begin(), s.conditions.end(), id);
    if (!names_condition && s.conditions.size() <= 1) {
        state.substitutions[id] = std::move(s);
        std::vector<uint64_t>& keys = state.substitution_keys;
        const auto bit = static_cast<uint64_t>(id);
        if (bit / 64 >= keys.size()) keys.resize(bit / 64 + 1, 0);
        set_bit(keys, bit, true);
        return;
    }
    KELVO_ASSERT(state.relations.size() < UINT32_MAX, "relation index out of range");
    const auto index = static_cast<uint32_t>(state.relations.size());
    state.relations_by_condition.add(relation.conditions, index);
    state.anchor_chains.relation_added(index, relation.conditions);
    state.relation_masks.add(relation.conditions);
    std::vector<uint64_t> words;
    for (const WordMask& m : state.relation_masks.of(index))
        words.push_back(m.word);
    state.relation_words.push_back(std::move(words));
    state.relations.push_back(std::move(relation));
}

bool walk_takes_relation(PendingFactoredState& state, uint32_t r, EvaluationCost& cost,
                         CandidatePricing& pricing) {
    const std::span<const WordMask> masks = state.relation_masks.of(r);
    if (masks.empty()) return false;  // an empty relation names nothing
    SignWords& words = state.relation_scratch.sign;
    const uint64_t size = state.relations[r].conditions.size();
    words.reserve(masks.back().word);
    const EvaluationCost reduced = cost_after_xor(words, masks, size, cost);
    if (!(reduced < cost)) return false;
    // When XORing r cannot lower the condition count it pays only when most of r's words
    // were already read by the sign.
    const CandidatePrice price = pricing.price(r);
    if (price.named == 0) return false;
    if (size >= 2 * uint64_t{price.named} &&
        price.initial_words <= masks.size() - price.initial_words)
        return false;
    cost = reduced;
    return true;
}

SymbolicBool walk_relation_candidates(PendingFactoredState& state, SymbolicBool sign,
                                      std::span<const uint32_t> candidates,
                                      CandidatePricing& pricing, std::vector<uint32_t>* applied) {
    if (candidates.empty()) return sign;
    SignWords& words = state.relation_scratch.sign;
    // `cost` follows every rewrite.
    EvaluationCost cost{words.load(sign.conditions), sign.conditions.size()};
    bool rewritten = false;
    for (const uint32_t r : candidates) {
        if (!walk_takes_relation(state, r, cost, pricing)) continue;
        words.toggle(state.relation_masks.of(r));
        sign.constant = sign.constant != state.relations[r].constant;
        rewritten = true;
        if (applied != nullptr) applied->push_back(r);
    }
    words.finish(sign.conditions, rewritten);
    return sign;
}

SymbolicBool reduce_sign_by_pending_relations(PendingFactoredState& state, SymbolicBool sign,
                                              std::vector<uint32_t>* applied) {
    if (sign.conditions.empty() || state.relations.empty()) return sign;
    RelationScratch& s = state.relation_scratch;
    s.reserve(condition_word(sign.conditions.back()), state.relations.size());
    // The words the sign names before any rewrite, and per relation the number of its ids.
    for (const int32_t c : sign.conditions) {
        const uint64_t w = condition_word(c);
        if (s.initial_words[w] == 0) {
            s.initial_words[w] = 1;
            s.initial_list.push_back(w);
        }
    }
    for (const int32_t c : sign.conditions) {
        state.relations_by_condition.for_each(c, [&s](uint32_t r) {
            if (s.shared[r]++ == 0) s.candidates.push_back(r);
        });
    }
    s.order.sort_distinct(s.candidates);
    // The counts are the sign's before any rewrite.
    struct Pricing final : CandidatePricing {
        const PendingFactoredState& state;
        const RelationScratch& s;
        Pricing(const PendingFactoredState& state, const RelationScratch& s) : state(state), s(s) {}
        CandidatePrice price(uint32_t r) override {
            CandidatePrice p{s.shared[r], 0};
            for (const WordMask& m : state.relation_masks.of(r))
                p.initial_words += m.word < s.initial_words.size() && s.initial_words[m.word];
            return p;
        }
    } pricing(state, s);
    sign = walk_relation_candidates(state, std::move(sign), s.candidates, pricing, applied);
    for (const uint32_t r : s.candidates)
        s.shared[r] = 0;
    for (const uint64_t w : s.initial_list)
        s.initial_words[w] = 0;
    s.initial_list.clear();
    s.candidates.clear();
    return sign;
}

void SymbolicRelationReducer::add(uint32_t condition, const SymbolicBool& outcome) {
    // The relation is built at the end of the pool and kept there only when it names two or
    // more conditions. An id past the i32 range reads as negative and is refused as not
    // positive.
    const uint64_t begin = relation_ids_.size();
    append_measurement_relation(relation_ids_, static_cast<int32_t>(condition), outcome.conditions);
    const std::span<const int32_t> ids(relation_ids_.data() + begin, relation_ids_.size() - begin);
    if (ids.size() == 1) {
        const auto i = static_cast<uint64_t>(ids[0]);
        KELVO_ASSERT(ids[0] >= 1, "condition id must be positive");
        if (i >= fixed_.size()) fixed_.resize(std::max(i + 1, 2 * fixed_.size()), kNotFixed);
        fixed_[i] = outcome.constant ? 1 : 0;
    }
    if (ids.size() <= 1) {
        relation_ids_.resize(begin);
        return;
    }
    KELVO_ASSERT(relation_ends_.size() < UINT32_MAX, "relation index out of range");
    const auto index = static_cast<uint32_t>(relation_ends_.size());
    for (const int32_t c : ids)
        relations_by_condition_.add(c, index);
    relation_masks_.add(ids);
    relation_ends_.push_back(relation_ids_.size());
    relation_constants_.push_back(outcome.constant);
}

std::vector<SymbolicBool> SymbolicRelationReducer::relations() const {
    std::vector<SymbolicBool> out;
    for (uint64_t r = 0; r < relation_ends_.size(); ++r) {
        const std::span<const int32_t> ids = relation(r);
        out.push_back({{ids.begin(), ids.end()}, relation_constants_[r] != 0});
    }
    return out;
}

std::span<const int32_t> SymbolicRelationReducer::relation(uint64_t r) const {
    const uint64_t begin = r == 0 ? 0 : relation_ends_[r - 1];
    return {relation_ids_.data() + begin, relation_ends_[r] - begin};
}

size_t SymbolicRelationReducer::IdsHash::operator()(const std::vector<int32_t>& ids) const {
    // Up to 16 ids spread over the list: the expressions looked up are long and rarely found,
    // and equality still compares them whole.
    constexpr uint64_t kSampled = 16;
    const uint64_t n = ids.size(), step = n <= kSampled ? 1 : n / kSampled;
    uint64_t h = n;
    for (uint64_t i = 0; i < n; i += step) {
        uint64_t state = h ^ static_cast<uint32_t>(ids[i]);
        h = splitmix64_next(state);
    }
    uint64_t state = h ^ static_cast<uint32_t>(n == 0 ? 0 : ids.back());
    return splitmix64_next(state);
}

bool SymbolicRelationReducer::still_settled(const SymbolicBool& expr) {
    const auto it = settled_.find(expr.conditions);
    if (it == settled_.end()) return false;
    std::vector<uint32_t>& candidates = candidates_;
    candidates.clear();
    gathered_.resize(relation_ends_.size(), 0);
    const auto gather_candidate = [this](uint32_t r) {
        if (gathered_[r] != 0) return;
        gathered_[r] = 1;
        candidates_.push_back(r);
    };
    for (const int32_t c : expr.conditions) {
        const auto i = static_cast<uint64_t>(c);
        if (i < fixed_.size() && fixed_[i] != kNotFixed) {
            sort_candidates();
            return false;
        }
        relations_by_condition_.for_each_from(c, it->second, gather_candidate);
    }
    sort_candidates();
    SymbolicBool copy = expr;
    if (!candidates.empty() && apply_candidates(copy)) return false;
    it->second = static_cast<uint32_t>(relation_ends_.size());
    return true;
}

SymbolicBool SymbolicRelationReducer::reduce(SymbolicBool expr) {
    if (expr.conditions.empty() || (settled_.size() != 0 && still_settled(expr))) return expr;
    std::vector<uint32_t>& candidates = candidates_;
    gathered_.resize(relation_ends_.size(), 0);
    // Gathering visits every relation naming an id, once per id; past about one visit per
    // relation a scan of every relation costs less, and gathering stops.
    const uint64_t scan_cost = relation_ends_.size();
    uint64_t visits = 0;
    const auto gather_candidate = [this, &visits](uint32_t r) {
        ++visits;
        if (gathered_[r] != 0) return;
        gathered_[r] = 1;
        candidates_.push_back(r);
    };
    uint64_t tried = 0;
    bool changed = true, follow = true;
    while (changed && !expr.conditions.empty()) {
        // Fixed conditions leave first; the relations naming what is left are the candidates
        // of the pass, and the candidates of the pass's start stand for the whole pass.
        candidates.clear();
        visits = 0;
        const auto kept =
            std::remove_if(expr.conditions.begin(), expr.conditions.end(), [&](int32_t c) {
                const auto i = static_cast<uint64_t>(c);
                if (c >= 1 && i < fixed_.size() && fixed_[i] != kNotFixed) {
                    expr.constant = expr.constant != (fixed_[i] == 1);
                    return true;
                }
                if (visits <= scan_cost) relations_by_condition_.for_each(c, gather_candidate);
                return false;
            });
        changed = kept != expr.conditions.end();
        expr.conditions.erase(kept, expr.conditions.end());
        if (visits > scan_cost) {
            for (const uint32_t r : candidates)
                gathered_[r] = 0;
            candidates.clear();
            tried = visits;
            if (!scan_relations(expr)) continue;
        } else {
            sort_candidates();
            if (candidates.empty()) continue;
            tried = candidates.size();
            if (!apply_candidates(expr)) continue;
        }
        // The later passes visit only what this one's changes reach, unless that costs more
        // than a pass like this one; then the passes go on as this one did.
        changed = true;
        if (follow && later_passes(expr, visits + expr.conditions.size())) break;
        follow = false;
    }
    // The last pass changed nothing: the result is settled under every relation so far. It is
    // remembered only when its candidates outnumber its ids: otherwise reducing it again costs
    // about what it is, and a long sign that grows with the circuit would be kept in full.
    constexpr uint64_t kManyCandidates = 32;
    if (tried >= kManyCandidates && tried > 2 * expr.conditions.size())
        settled_[expr.conditions] = static_cast<uint32_t>(relation_ends_.size());
    return expr;
}

void SymbolicRelationReducer::sort_candidates() {
    for (const uint32_t r : candidates_)
        gathered_[r] = 0;
    order_.sort_distinct(candidates_);
}

bool SymbolicRelationReducer::cheaper_with(uint32_t r, EvaluationCost& cost) {
    const std::span<const WordMask> masks = relation_masks_.of(r);
    scratch_.reserve(masks.back().word);
    // Sharing no id, XORing r adds ids and reads no fewer words: never cheaper.
    const EvaluationCost reduced = cost_after_xor(scratch_, masks, relation(r).size(), cost);
    if (!(reduced < cost)) return false;
    cost = reduced;
    return true;
}

bool SymbolicRelationReducer::later_passes(SymbolicBool& expr, uint64_t budget) {
    const ReducerRelations relations{relation_masks_, relation_ids_, relation_ends_,
                                     relation_constants_, fixed_};
    EvaluationCost cost{scratch_.load(expr.conditions), expr.conditions.size()};
    const bool settled = later_.run(relations, scratch_, cost, expr.constant, taken_, budget);
    scratch_.take(expr.conditions);
    return settled;
}

bool SymbolicRelationReducer::apply_candidates(SymbolicBool& expr) {
    // The expression as word masks of the symbol table, so that each candidate is priced and
    // applied in the time of its own ids; the list is rebuilt once at the end.
    SignWords& words = scratch_;
    EvaluationCost cost{words.load(expr.conditions), expr.conditions.size()};
    taken_.clear();
    for (const uint32_t r : candidates_) {
        if (!cheaper_with(r, cost)) continue;
        words.toggle(relation_masks_.of(r));
        expr.constant = expr.constant != (relation_constants_[r] != 0);
        taken_.push_back(r);
    }
    const bool applied = !taken_.empty();
    words.finish(expr.conditions, applied);
    return applied;
}

bool SymbolicRelationReducer::scan_relations(SymbolicBool& expr) {
    const auto count = static_cast<uint32_t>(relation_ends_.size());
    for (; indexed_ < count; ++indexed_)
        buckets_.index(indexed_, relation_masks_.of(indexed_));
    SignWords& words = scratch_;
    EvaluationCost cost{words.load(expr.conditions), expr.conditions.size()};
    pass_start_.load(expr.conditions);
    buckets_.count_sign(expr.conditions, words, 0, count);
    taken_.clear();
    for (uint32_t r = 0; r < count; ++r) {
        const std::span<const WordMask> masks = relation_masks_.of(r);
        if (buckets_.passes_over(r, masks, words)) continue;
        // The candidates of the pass are the relations naming an id of its start.
        if (std::none_of(masks.begin(), masks.end(), [this](const WordMask& m) {
                return (pass_start_.at(m.word) & m.mask) != 0;
            }))
            continue;
        if (!cheaper_with(r, cost)) continue;
        buckets_.apply(masks, words, r + 1, count);
        expr.constant = expr.constant != (relation_constants_[r] != 0);
        taken_.push_back(r);
    }
    const bool applied = !taken_.empty();
    buckets_.clear();
    pass_start_.clear();
    words.finish(expr.conditions, applied);
    return applied;
}

}  // namespace kelvo
