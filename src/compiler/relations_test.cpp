#include "compiler/relations.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "bits.h"
#include "testing/plain_reduction.h"

namespace kelvo {
namespace {

SymbolicBool sb(std::vector<int32_t> ids, bool constant = false) {
    return SymbolicBool{std::move(ids), constant};
}

TEST(Relations, ExactForms) {
    SymbolicRelationReducer pairs;  // relations [1, 2] and [2, 3]
    pairs.add(1, sb({2}));
    pairs.add(3, sb({2}));
    SymbolicRelationReducer fixed;
    fixed.add(4, sb({}, true));
    std::unordered_map<int32_t, SymbolicBool> to_two{{5, sb({2}, true)}}, to_three{{5, sb({3})}};
    auto substituted = [](SymbolicBool e, const auto& table) {
        substitute_pending_symbols(e, table);
        return e;
    };
    PendingFactoredState store;
    reduce_pending_signs_by_measurement_relation(store, std::nullopt, sb({1, 2}));
    EXPECT_TRUE(store.relations.empty() && store.substitutions.empty());
    reduce_pending_signs_by_measurement_relation(store, 9, sb({5}));       // 9 aliases 5
    reduce_pending_signs_by_measurement_relation(store, 8, sb({}, true));  // 8 is constant
    reduce_pending_signs_by_measurement_relation(store, 7, sb({9, 70}));   // kept: [5, 7, 70]
    EXPECT_EQ(store.relation_words, (std::vector<std::vector<uint64_t>>{{0, 1}}));
    EXPECT_EQ(store.context.next_condition_id, 71u);
    const struct {
        SymbolicBool got, want;
    } cases[] = {
        {substituted(sb({8, 9}), store.substitutions), sb({5}, true)},
        {store.relations[0], sb({5, 7, 70})},
        {reduce_sign_by_pending_relations(store, sb({5, 7})), sb({70})},
        {reduce_sign_by_pending_relations(store, sb({1, 5})), sb({1, 5})},
        {measurement_relation(7, sb({3}, true)), sb({3, 7}, true)},
        {measurement_relation(7, sb({7})), sb({})},
        {reduce_by_relation_once(sb({1, 2, 3}), sb({2, 3})), sb({1})},
        {reduce_by_relation_once(sb({1}), sb({2, 3})), sb({1})},
        {reduce_by_relation_once(sb({1, 2}), sb({2, 3})), sb({1, 2})},
        {reduce_by_relation_once(sb({1, 65}), sb({2, 65})), sb({1, 2})},
        {fixed.reduce(sb({4})), sb({}, true)},
        {pairs.reduce(sb({1, 3})), sb({1, 3})},
        {pairs.reduce(sb({1, 2, 3})), sb({3})},
        {substituted(sb({3, 5}), to_two), sb({2, 3}, true)},
        {substituted(sb({3, 5}), to_three), sb({})},
    };
    for (size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(cases[i].got, cases[i].want) << "case " << i;
    EXPECT_EQ(pairs.relations().size(), 2u);
}

// Ids 1..kIds over three symbol-table words; the first kFree are fair coins, each later one
// is a measurement whose outcome is an expression over ids assigned before it.
struct World {
    static constexpr int32_t kIds = 150, kFree = 40;
    std::vector<std::pair<int32_t, SymbolicBool>> outcomes;

    explicit World(std::mt19937_64& rng) {
        for (int32_t c = kFree + 1; c <= kIds; ++c)
            outcomes.emplace_back(c, random_expr(rng, c - 1, 4));
    }
    static SymbolicBool random_expr(std::mt19937_64& rng, int32_t max_id, int terms) {
        std::vector<int32_t> ids;
        for (int t = static_cast<int>(rng() % (terms + 1)); t > 0; --t)
            ids.push_back(1 + static_cast<int32_t>(rng() % max_id));
        return SymbolicBool{normalize_xor_conditions(ids), (rng() & 1) != 0};
    }
    // A table in which every measured id holds its outcome's value.
    std::vector<bool> table(std::mt19937_64& rng) const {
        std::vector<bool> v(kIds + 1);
        for (int32_t c = 1; c <= kFree; ++c)
            v[c] = rng() & 1;
        for (const auto& [c, outcome] : outcomes)
            v[c] = value(outcome, v);
        return v;
    }
    static bool value(const SymbolicBool& e, const std::vector<bool>& v) {
        bool out = e.constant;
        for (const int32_t c : e.conditions)
            out = out != v[c];
        return out;
    }
};

// Both stores learn the same outcomes; every rewrite keeps the value on tables consistent
// with them and never raises the cost of what it was given.
TEST(Relations, ReductionsKeepValuesAndNeverRaiseCost) {
    std::mt19937_64 rng(11);
    const World world(rng);
    SymbolicRelationReducer reducer;
    PendingFactoredState state;
    for (const auto& [c, outcome] : world.outcomes) {
        reducer.add(static_cast<uint32_t>(c), outcome);
        reduce_pending_signs_by_measurement_relation(state, static_cast<uint32_t>(c), outcome);
    }
    EXPECT_EQ(state.context.next_condition_id, World::kIds + 1u);
    int changed = 0;
    for (int trial = 0; trial < 400; ++trial) {
        const SymbolicBool e = World::random_expr(rng, World::kIds, 8);
        SymbolicBool substituted = e;
        substitute_pending_symbols(substituted, state.substitutions);
        const SymbolicBool planned = reduce_sign_by_pending_relations(state, substituted);
        const SymbolicBool reduced = reducer.reduce(e);
        EXPECT_LE(evaluation_cost(reduced), evaluation_cost(e));
        EXPECT_LE(evaluation_cost(planned), evaluation_cost(substituted));
        changed += (reduced != e) + (planned != substituted) + (substituted != e);
        for (int t = 0; t < 4; ++t) {
            const std::vector<bool> v = world.table(rng);
            ASSERT_EQ(World::value(reduced, v), World::value(e, v));
            ASSERT_EQ(World::value(planned, v), World::value(e, v));
        }
    }
    EXPECT_GT(changed, 300);  // the relations do bite
}

// The reducer is exactly the plain rule: fixed conditions out, then each relation naming a
// condition left, in insertion order, applied when cheaper, the passes repeated until one
// changes nothing. The same expressions are reduced again as relations are learned, as a
// program's recurring signs are.
TEST(Relations, ReducerRewritesAsThePlainRules) {
    std::mt19937_64 rng(13);
    const World world(rng);
    SymbolicRelationReducer reducer;
    testing::PlainRelations known;
    const auto plain_reduce = [&](SymbolicBool plain) {
        return testing::plain_reduction(std::move(plain), known);
    };
    // Each check reduces the recurring expressions again from their last reduced forms (as the
    // assembly reduces a program's already reduced signs), after more outcomes were learned.
    std::vector<SymbolicBool> recurring;
    for (int i = 0; i < 24; ++i) {
        const SymbolicBool e = World::random_expr(rng, World::kIds, i % 3 ? 3 : 60);
        recurring.push_back(i % 2 ? xor_bool(symbolic_bool(1), e) : e);
    }
    // After the world's outcomes, measurements whose outcomes all name coin 1 (a repeated
    // measurement of one body): expressions naming 1 meet many relations, most of which never
    // apply, and now and then one takes most of a recurring expression.
    const uint64_t total = world.outcomes.size() + 120;
    for (uint64_t k = 0; k < total; ++k) {
        const bool from_world = k < world.outcomes.size();
        const auto c =
            from_world ? world.outcomes[k].first : static_cast<int32_t>(World::kIds + 1 + k);
        SymbolicBool outcome = from_world
                                   ? world.outcomes[k].second
                                   : xor_bool(symbolic_bool(1), World::random_expr(rng, c - 1, 2));
        if (const SymbolicBool& e = recurring[k % 24];
            !from_world && k % 5 == 0 && e.conditions.size() > 2)
            outcome = SymbolicBool{{e.conditions.begin(), e.conditions.end() - 1}, false};
        reducer.add(static_cast<uint32_t>(c), outcome);
        known.add(c, outcome);
        if (k % 4 == 0 || k + 1 == total) {
            for (SymbolicBool& e : recurring) {
                const SymbolicBool plain = plain_reduce(e);
                ASSERT_EQ(reducer.reduce(e), plain) << "after outcome " << k;
                e = plain;
            }
        }
    }
    for (int trial = 0; trial < 400; ++trial) {
        const SymbolicBool given = World::random_expr(rng, World::kIds, trial % 3 ? 8 : 60);
        ASSERT_EQ(reducer.reduce(given), plain_reduce(given)) << "trial " << trial;
    }
}

// Wide expressions whose ids many relations name each (coins that stay in every later outcome,
// as in wide layers), so that the reducer scans every relation rather than gather those naming
// them: still exactly the plain rule, whether relations apply or not.
TEST(Relations, ReducerScanningEveryRelationRewritesAsThePlainRules) {
    std::mt19937_64 rng(17);
    constexpr int32_t kCoins = 300, kMeasured = 400;
    SymbolicRelationReducer reducer;
    testing::PlainRelations known;
    std::vector<uint32_t> naming(kCoins + kMeasured + 1, 0);
    for (int32_t c = kCoins + 1; c <= kCoins + kMeasured; ++c) {
        // Mostly coins spread over five words, now and then an earlier outcome or a constant.
        SymbolicBool outcome = World::random_expr(rng, kCoins, 40);
        if (c % 7 == 0) outcome = xor_bool(outcome, World::random_expr(rng, c - 1, 2));
        if (c % 29 == 0) outcome = SymbolicBool{{}, (rng() & 1) != 0};
        reducer.add(static_cast<uint32_t>(c), outcome);
        known.add(c, outcome);
        const SymbolicBool r = measurement_relation(c, outcome);
        if (r.conditions.size() < 2) continue;
        for (const int32_t id : r.conditions)
            ++naming[static_cast<uint64_t>(id)];
    }
    int changed = 0;
    for (int trial = 0; trial < 300; ++trial) {
        SymbolicBool given = World::random_expr(rng, kCoins + kMeasured, 200);
        // Some are near a relation, which then applies.
        if (trial % 3 == 0) {
            const SymbolicBool& r = known.relations[rng() % known.relations.size()];
            given = xor_bool(r, World::random_expr(rng, kCoins + kMeasured, 6));
        }
        uint64_t visits = 0;
        for (const int32_t id : given.conditions)
            visits += naming[static_cast<uint64_t>(id)];
        if (visits <= 2 * known.relations.size()) continue;
        const SymbolicBool plain = testing::plain_reduction(given, known);
        ASSERT_EQ(reducer.reduce(given), plain) << "trial " << trial;
        changed += plain != given;
    }
    EXPECT_GT(changed, 20);
}

// The store's sign reduction and substitution are exactly the plain ones: every relation
// sharing a condition with the sign, in insertion order, skipped when it cannot lower the
// condition count and most of its words are new to the sign, otherwise applied when cheaper.
TEST(Relations, StoreRewritesAsThePlainRules) {
    std::mt19937_64 rng(12);
    const World world(rng);
    PendingFactoredState state;
    for (const auto& [c, outcome] : world.outcomes)
        reduce_pending_signs_by_measurement_relation(state, static_cast<uint32_t>(c), outcome);
    for (int trial = 0; trial < 400; ++trial) {
        const SymbolicBool e = World::random_expr(rng, World::kIds, trial % 2 ? 40 : 4);
        SymbolicBool substituted = e, plain = e;
        substitute_by_pending_store(substituted, state);
        substitute_pending_symbols(plain, state.substitutions);
        ASSERT_EQ(substituted, plain);

        const std::vector<uint64_t> words = condition_words(plain.conditions);
        for (size_t r = 0; r < state.relations.size(); ++r) {
            const std::vector<int32_t>& ids = state.relations[r].conditions;
            const auto named =
                static_cast<uint64_t>(std::count_if(ids.begin(), ids.end(), [&](int32_t c) {
                    return std::binary_search(substituted.conditions.begin(),
                                              substituted.conditions.end(), c);
                }));
            if (named == 0) continue;
            const std::vector<uint64_t>& own = state.relation_words[r];
            const auto present =
                static_cast<uint64_t>(std::count_if(own.begin(), own.end(), [&](uint64_t w) {
                    return std::binary_search(words.begin(), words.end(), w);
                }));
            if (ids.size() >= 2 * named && present <= own.size() - present) continue;
            plain = reduce_by_relation_once(plain, state.relations[r]);
        }
        ASSERT_EQ(reduce_sign_by_pending_relations(state, substituted), plain) << "trial " << trial;
    }
}

}  // namespace
}  // namespace kelvo
