#include "compiler/relation_scan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>

#include "compiler/pending.h"
#include "compiler/relations.h"

namespace kelvo {
namespace {

// The named ids and read words of each relation, counted against the sign the walk starts from.
struct InitialPricing final : CandidatePricing {
    const PendingFactoredState& state;
    SymbolicBool initial;
    InitialPricing(const PendingFactoredState& state, SymbolicBool initial)
        : state(state), initial(std::move(initial)) {}
    CandidatePrice price(uint32_t r) override {
        const std::vector<int32_t>& ids = state.relations[r].conditions;
        const std::vector<uint64_t> words = condition_words(initial.conditions);
        CandidatePrice p;
        for (const int32_t c : ids)
            p.named += std::binary_search(initial.conditions.begin(), initial.conditions.end(), c);
        for (const uint64_t w : state.relation_words[r])
            p.initial_words += std::binary_search(words.begin(), words.end(), w);
        return p;
    }
};

SymbolicBool random_ids(std::mt19937_64& rng, int32_t max_id, int count) {
    std::vector<int32_t> ids;
    for (int i = 0; i < count; ++i)
        ids.push_back(1 + static_cast<int32_t>(rng() % static_cast<uint64_t>(max_id)));
    return SymbolicBool{normalize_xor_conditions(ids), (rng() & 1) != 0};
}

// Relations clustered in a few words and signs made of some of them, so that the walk meets
// words equal to the sign's, takes relations and changes which words are equal; the relations
// before the index's start are priced without it.
TEST(RelationScan, WalksAsTheWalkOverEveryCandidate) {
    std::mt19937_64 rng(30);
    PendingFactoredState state;
    RelationScan scan;
    constexpr int32_t kCoins = 300;
    int32_t next = kCoins + 1;
    for (int i = 0; i < 160; ++i) {
        if (i == 40) scan.start(state, 25);
        const auto before = state.relations.size();
        reduce_pending_signs_by_measurement_relation(state, static_cast<uint32_t>(next++),
                                                     random_ids(rng, kCoins, 1 + i % 9));
        for (auto r = before; r < state.relations.size(); ++r)
            scan.relation_added(static_cast<uint32_t>(r), state.relations[r].conditions);
    }
    const auto count = static_cast<uint32_t>(state.relations.size());
    std::vector<uint32_t> all(count);
    std::iota(all.begin(), all.end(), 0u);
    int rewritten = 0;
    for (int trial = 0; trial < 600; ++trial) {
        SymbolicBool sign = random_ids(rng, next - 1, trial % 4);
        for (int k = 1 + trial % 3; k > 0; --k)
            sign = xor_bool(sign, state.relations[rng() % count]);
        const uint32_t first = static_cast<uint32_t>(rng() % count);
        const uint32_t last = first + static_cast<uint32_t>(rng() % (count - first + 1));
        InitialPricing pricing(state, sign);
        std::vector<uint32_t> applied, applied_all;
        const SymbolicBool ours = scan.walk(state, sign, first, last, pricing, &applied);
        const SymbolicBool want = walk_relation_candidates(
            state, sign, std::span<const uint32_t>(all).subspan(first, last - first), pricing,
            &applied_all);
        ASSERT_EQ(ours, want) << "trial " << trial;
        ASSERT_EQ(applied, applied_all) << "trial " << trial;
        rewritten += !applied.empty();
    }
    EXPECT_GT(rewritten, 50);
}

// A sign reduced without an anchor: long signs whose ids many relations name are walked over
// every relation, short ones over the relations gathered from their ids; both as the store's
// own reduction.
TEST(RelationScan, WholeSignsReduceAsTheStore) {
    std::mt19937_64 rng(31);
    PendingFactoredState state;
    constexpr int32_t kCoins = 300;
    int32_t next = kCoins + 1;
    for (int i = 0; i < 160; ++i)
        reduce_pending_signs_by_measurement_relation(state, static_cast<uint32_t>(next++),
                                                     random_ids(rng, kCoins, 4 + i % 8));
    const auto count = state.relations.size();
    for (int trial = 0; trial < 300; ++trial) {
        SymbolicBool sign = random_ids(rng, next - 1, trial % 2 == 0 ? 150 : 3);
        for (int k = 1 + trial % 3; k > 0; --k)
            sign = xor_bool(sign, state.relations[rng() % count]);
        const SymbolicBool want = reduce_sign_by_pending_relations(state, sign);
        ASSERT_EQ(state.anchor_chains.reduce(state, std::nullopt, sign, nullptr), want)
            << "trial " << trial;
    }
}

// Taking the first relation makes two words of the sign equal to the second's, which also has
// a word the sign does not read: it must be priced, and it is taken.
TEST(RelationScan, PricesRelationsMadeEqualByAnEarlierRewrite) {
    PendingFactoredState state;
    RelationScan scan;
    scan.start(state, 0);
    reduce_pending_signs_by_measurement_relation(state, 66, SymbolicBool{{2, 65}, false});
    reduce_pending_signs_by_measurement_relation(state, 130, SymbolicBool{{1, 66}, false});
    for (uint32_t r = 0; r < 2; ++r)
        scan.relation_added(r, state.relations[r].conditions);
    const SymbolicBool sign{{1, 2, 65}, false};
    InitialPricing pricing(state, sign);
    std::vector<uint32_t> applied;
    EXPECT_EQ(scan.walk(state, sign, 0, 2, pricing, &applied), (SymbolicBool{{130}, false}));
    EXPECT_EQ(applied, (std::vector<uint32_t>{0, 1}));
}

}  // namespace
}  // namespace kelvo
