#include "sampler/presampled_parents.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <optional>
#include <random>
#include <set>
#include <utility>

#include "bits.h"
#include "symbolic.h"

namespace kelvo {
namespace {

SymbolicBool sb(std::vector<int32_t> ids, bool constant = false) {
    return SymbolicBool{normalize_xor_conditions(std::move(ids)), constant};
}

// The plain rule: the earliest of the earlier block expressions sharing an id (or, for a
// constant-true one, the first empty true one) whose difference is strictly cheapest.
std::optional<uint64_t> plain_parent(const std::vector<PresampledExpression>& blocks, uint64_t r) {
    const PresampledExpression& e = blocks[r];
    std::optional<uint64_t> best;
    uint64_t best_cost = e.conditions.size() + e.constant;
    for (uint64_t c = 0; c < r; ++c) {
        const PresampledExpression& o = blocks[c];
        std::vector<int32_t> shared;
        std::ranges::set_intersection(e.conditions, o.conditions, std::back_inserter(shared));
        const bool first_true = o.conditions.empty() && o.constant &&
                                std::none_of(blocks.begin(), blocks.begin() + c, [](const auto& b) {
                                    return b.conditions.empty() && b.constant;
                                });
        if (shared.empty() && !(e.constant && first_true)) continue;
        const uint64_t cost = e.conditions.size() + o.conditions.size() - 2 * shared.size() +
                              (e.constant != o.constant);
        if (cost < best_cost) best = c, best_cost = cost;
    }
    return best;
}

// The block expressions of these expressions (each key once, in order of first appearance)
// get the plain rule's parents and their differences from them.
void expect_plain_parents(const std::vector<SymbolicBool>& expressions) {
    std::vector<PresampledExpression> blocks;
    std::set<std::pair<bool, std::vector<int32_t>>> keys;
    for (const SymbolicBool& x : expressions) {
        if (!keys.insert({x.constant, x.conditions}).second) continue;
        blocks.emplace_back();
        blocks.back().conditions = x.conditions;
        blocks.back().constant = x.constant;
    }
    choose_presampled_parents(blocks);
    for (uint64_t r = 0; r < blocks.size(); ++r) {
        const PresampledExpression& e = blocks[r];
        ASSERT_EQ(e.parent, plain_parent(blocks, r)) << "block expression " << r;
        const PresampledExpression* parent = e.parent ? &blocks[*e.parent] : nullptr;
        std::vector<int32_t> delta;
        std::ranges::set_symmetric_difference(e.conditions,
                                              parent ? parent->conditions : std::vector<int32_t>{},
                                              std::back_inserter(delta));
        EXPECT_EQ(e.delta_conditions, delta);
        EXPECT_EQ(e.delta_constant, e.constant != (parent && parent->constant));
    }
}

// Long expressions among many short ones that share their ids.
TEST(PresampledParents, FollowThePlainRuleAmongLongExpressions) {
    std::mt19937_64 rng(8);
    constexpr int32_t kIds = 300;
    std::vector<SymbolicBool> expressions;
    for (int i = 0; i < 400; ++i) {
        std::vector<int32_t> ids;
        const int32_t start = 1 + static_cast<int32_t>(rng() % kIds);
        for (int k = i % 25 == 0 ? 150 : static_cast<int>(rng() % 6); k > 0; --k)
            ids.push_back(std::min(kIds, start + static_cast<int32_t>(rng() % 30)));
        expressions.push_back(sb(ids, rng() % 3 == 0));
    }
    expect_plain_parents(expressions);
}

// Long expressions (the last measurements of a long memory experiment) holding a few short
// ones among many ids nothing held before, or among older ids: their parents are short ones.
TEST(PresampledParents, FollowThePlainRuleForLongExpressionsOverShortOnes) {
    std::mt19937_64 rng(5);
    constexpr int32_t kShortIds = 1000;
    std::vector<SymbolicBool> expressions;
    std::vector<std::vector<int32_t>> shorts;
    int32_t fresh = kShortIds;
    for (int i = 0; i < 600; ++i) {
        std::vector<int32_t> ids;
        if (i % 30 == 29) {
            for (int k = i % 60 == 59 ? 40 : 3; k > 0; --k) {
                const std::vector<int32_t>& s = shorts[rng() % shorts.size()];
                ids.insert(ids.end(), s.begin(), s.end());
            }
            for (int k = 0; k < 150; ++k)
                ids.push_back(++fresh);
        } else {
            const int32_t start = 1 + static_cast<int32_t>(rng() % (kShortIds - 10));
            for (int k = 2 + static_cast<int>(rng() % 5); k > 0; --k)
                ids.push_back(start + static_cast<int32_t>(rng() % 10));
            shorts.push_back(sb(ids).conditions);
        }
        expressions.push_back(sb(ids, rng() % 3 == 0));
    }
    expect_plain_parents(expressions);
}

// Signs of noisy loops: one that names every error so far (a rotation on a body never
// measured), one over a sliding window of recent errors (feedback), both losing a few ids now
// and then as relations rewrite them, among short outcomes, with constants that flip and
// expressions that recur.
TEST(PresampledParents, FollowThePlainRuleInGrowingSigns) {
    for (uint64_t seed = 0; seed < 6; ++seed) {
        std::mt19937_64 rng(seed);
        constexpr int32_t kRounds = 120;
        std::vector<SymbolicBool> expressions;
        std::vector<int32_t> all, window;
        for (int32_t round = 1; round <= kRounds; ++round) {
            for (const int32_t c : {2 * round - 1, 2 * round}) {
                if (rng() % 4 != 0) all.push_back(c);
                window.push_back(c);
            }
            if (rng() % 5 == 0 && !all.empty()) all.erase(all.begin() + rng() % all.size());
            if (window.size() > 12) window.erase(window.begin(), window.begin() + rng() % 3);
            expressions.push_back(sb(all, rng() % 4 == 0));
            expressions.push_back(sb(window, rng() % 2));
            expressions.push_back(sb({2 * round, 2 * round - 1}, rng() % 2));
            if (rng() % 10 == 0) expressions.push_back(sb({}, true));
            if (seed % 2 && round > 10) {
                SymbolicBool again = expressions[rng() % expressions.size()];
                again.conditions.push_back(static_cast<int32_t>(1 + rng() % (2 * round)));
                expressions.push_back(sb(again.conditions, again.constant));
            }
        }
        SCOPED_TRACE("seed " + std::to_string(seed));
        expect_plain_parents(expressions);
    }
}

}  // namespace
}  // namespace kelvo
