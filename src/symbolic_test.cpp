#include "symbolic.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <iterator>
#include <limits>
#include <random>
#include <set>

#include "testing/error_text.h"

namespace kelvo {
namespace {

using testing::error_text;
using Rows = std::vector<std::vector<uint64_t>>;
using Probs = std::vector<double>;
constexpr int32_t kMaxId = std::numeric_limits<int32_t>::max();

SymbolicBool from_set(const std::set<int32_t>& ids, bool constant) {
    return SymbolicBool{std::vector<int32_t>(ids.begin(), ids.end()), constant};
}

TEST(SymbolicBool, ConstructorsAndXorAgainstSetDifference) {
    EXPECT_EQ(symbolic_bool(7), (SymbolicBool{{7}, false}));
    EXPECT_THROW(symbolic_bool(0), FatalError);
    EXPECT_THROW(symbolic_bool(-3), FatalError);
    EXPECT_EQ(xor_bool_constant(SymbolicBool{{1, 4}, true}, true), (SymbolicBool{{1, 4}, false}));

    std::mt19937_64 rng(11);
    for (int trial = 0; trial < 500; ++trial) {
        std::set<int32_t> a, b;
        const int range = 1 + static_cast<int>(rng() % 200);
        for (int i = static_cast<int>(rng() % 40); i > 0; --i)
            a.insert(1 + rng() % range);
        // Short lists half of the time: xor_into's in-place path.
        for (int i = static_cast<int>(rng() % (trial % 2 ? 6 : 40)); i > 0; --i)
            b.insert(1 + rng() % range);
        std::set<int32_t> diff;
        std::ranges::set_symmetric_difference(a, b, std::inserter(diff, diff.end()));
        const bool ca = rng() & 1, cb = rng() & 1;
        EXPECT_EQ(xor_bool(from_set(a, ca), from_set(b, cb)), from_set(diff, ca != cb));
        SymbolicBool in_place = from_set(a, ca);
        xor_into(in_place, from_set(b, cb));
        EXPECT_EQ(in_place, from_set(diff, ca != cb));
    }
}

TEST(SymbolicContext, BernoulliConditionsAndFailuresThatChangeNothing) {
    SymbolicContext ctx;
    EXPECT_EQ(ctx.fresh_bernoulli_condition(1.0), 1);
    EXPECT_EQ(ctx.fresh_bernoulli_condition(0.0), 2);
    EXPECT_EQ(ctx.fresh_bernoulli_bool(0.25), (SymbolicBool{{3}, false}));
    EXPECT_EQ(ctx.bernoulli, (std::map<int32_t, double>{{1, 1.0}, {2, 0.0}, {3, 0.25}}));
    // A bad probability consumes no id.
    const SymbolicContext before = ctx;
    for (const double bad : {1.0000001, -0.0001, std::nan("")}) {
        EXPECT_EQ(error_text([&] { ctx.fresh_bernoulli_bool(bad); }),
                  "probability must be between 0 and 1");
    }
    EXPECT_EQ(ctx, before);

    // Ids past the i32 range would be <= 0: fatal, and nothing changes. A bare id is
    // consumed and registered nowhere.
    SymbolicContext full;
    full.next_condition_id = kMaxId;
    EXPECT_EQ(full.fresh_condition_id(), kMaxId);
    EXPECT_TRUE(full.bernoulli.empty() && full.categorical_of.empty());
    const SymbolicContext full_before = full;
    EXPECT_THROW(full.fresh_bernoulli_condition(0.5), FatalError);
    EXPECT_THROW(full.fresh_condition_id(), FatalError);
    EXPECT_EQ(full, full_before);
    full.next_condition_id = 0;  // a counter that was never handed out from
    EXPECT_THROW(full.fresh_condition_id(), FatalError);

    // The counter only rises, compared as signed values.
    for (const auto& [id, next] :
         {std::pair<int32_t, uint32_t>{3, 5}, {-7, 5}, {10, 11}, {kMaxId, uint32_t{1} << 31}}) {
        ctx.next_condition_id = 5;
        ctx.raise_next_condition_id_past(id);
        EXPECT_EQ(ctx.next_condition_id, next) << id;
    }
}

TEST(SymbolicContext, CategoricalAndRefusalsThatChangeNothing) {
    SymbolicContext ctx;
    ctx.fresh_bernoulli_condition(0.5);
    const Rows rows = {{0b000}, {0b011}, {0b100}};
    const Probs probs = {0.5, 0.25, 0.25};
    EXPECT_EQ(ctx.fresh_categorical_bools(3, rows, probs),
              (std::vector<SymbolicBool>{{{2}, false}, {{3}, false}, {{4}, false}}));
    EXPECT_EQ(ctx.categoricals,
              (std::vector{SymbolicCategoricalDistribution{{2, 3, 4}, rows, probs, 3}}));
    for (const int32_t id : {2, 3, 4})
        EXPECT_EQ(ctx.categorical_of.find(id), std::optional<uint64_t>(0)) << id;
    EXPECT_FALSE(ctx.categorical_of.contains(1) || ctx.categorical_of.contains(5));
    // An id of a categorical group is refused as a Bernoulli condition, but consumed.
    ctx.next_condition_id = 4;  // as if a caller lowered the counter
    EXPECT_EQ(error_text([&] { ctx.fresh_bernoulli_condition(0.5); }),
              "condition already belongs to a categorical distribution");
    EXPECT_EQ(ctx.bernoulli.size(), 1u);

    // k = 65 needs rows of exactly two words.
    const auto wide = ctx.fresh_categorical_bools(65, Rows{{1, 1}, {0, 0}}, Probs{0.5, 0.5});
    EXPECT_EQ(wide.size(), 65u);
    EXPECT_EQ(wide.front(), symbolic_bool(5));
    EXPECT_EQ(wide.back(), symbolic_bool(69));
    EXPECT_EQ(ctx.categorical_of.at(69), 1u);
    EXPECT_EQ(ctx.next_condition_id, 70u);

    // Checks run in order, and a refusal leaves the context unchanged.
    const auto fails = [&](uint64_t k, const Rows& rows, const Probs& probs) {
        const SymbolicContext before = ctx;
        const std::string text = error_text([&] { ctx.fresh_categorical_bools(k, rows, probs); });
        EXPECT_EQ(ctx, before);
        return text;
    };
    const std::string length = "categorical assignment length mismatch",
                      invalid = "invalid categorical symbolic distribution",
                      range = "probability must be between 0 and 1",
                      sum = "categorical symbolic distribution probabilities must sum to 1";
    EXPECT_EQ(fails(0, {}, {}), "categorical symbolic distribution needs at least one assignment");
    EXPECT_EQ(fails(0, {{}}, {1.0}), invalid);
    EXPECT_EQ(fails(2, {{1}}, {0.5, 0.5}), invalid);
    // Every row is checked before any probability.
    EXPECT_EQ(fails(65, {{1, 0}, {1}}, {2.0, 0.5}), length);
    EXPECT_EQ(fails(64, {{1, 0}}, {1.0}), length);
    // A bit at or above k would set a condition outside the group.
    EXPECT_EQ(fails(3, {{0b1000}}, {1.0}), length);
    EXPECT_EQ(fails(65, {{0, 0b10}}, {1.0}), length);
    EXPECT_EQ(fails(2, {{1}, {2}}, {0.5, std::nan("")}), range);
    EXPECT_EQ(fails(2, {{1}, {2}}, {-0.1, 1.1}), range);
    EXPECT_EQ(ctx.fresh_categorical_bools(64, Rows{{~uint64_t{0}}}, Probs{1.0}).size(), 64u);
    // The representable sums nearest to 1 +- 1e-12 on either side of the tolerance.
    const double up_in = std::ldexp(4503.0, -52), up_out = std::ldexp(4504.0, -52);
    const double down_in = std::ldexp(9007.0, -53), down_out = std::ldexp(9008.0, -53);
    ASSERT_TRUE(up_in <= 1e-12 && down_in <= 1e-12 && up_out > 1e-12 && down_out > 1e-12);
    for (const double p : {0.5 + up_in, 0.5 - down_in})
        EXPECT_EQ(ctx.fresh_categorical_bools(1, Rows{{1}, {0}}, Probs{0.5, p}).size(), 1u);
    for (const double p : {0.5 + up_out, 0.5 - down_out})
        EXPECT_EQ(fails(1, {{1}, {0}}, {0.5, p}), sum);
}

TEST(SymbolicContext, ConsecutiveEqualTablesAreSharedAndIndexFindsEveryId) {
    SymbolicContext ctx;
    const Rows rows = {{0b00}, {0b01}, {0b10}};
    ctx.fresh_categorical_conditions(2, rows, Probs{0.5, 0.25, 0.25});
    ctx.fresh_categorical_conditions(2, rows, Probs{0.5, 0.25, 0.25});
    // -0.0 equals 0.0 but is another probability: a table of its own, equal by ==.
    ctx.fresh_categorical_conditions(2, rows, Probs{0.5, 0.5, -0.0});
    ctx.fresh_categorical_conditions(2, rows, Probs{0.5, 0.5, 0.0});
    ctx.fresh_bernoulli_condition(0.1);
    ctx.fresh_categorical_conditions(2, rows, Probs{0.5, 0.5, 0.0});
    const auto& d = ctx.categoricals;
    ASSERT_EQ(d.size(), 5u);
    EXPECT_EQ(d[0].table, d[1].table);
    EXPECT_NE(d[1].table, d[2].table);
    EXPECT_NE(d[2].table, d[3].table);
    EXPECT_EQ(std::signbit(d[2].probabilities()[2]), true);
    EXPECT_EQ(d[3].table, d[4].table);
    EXPECT_EQ(d[2], (SymbolicCategoricalDistribution{{5, 6}, rows, {0.5, 0.5, 0.0}, 2}));
    EXPECT_NE(d[0], (SymbolicCategoricalDistribution{{1, 2}, rows, {0.5, 0.5, 0.0}, 2}));
    for (int32_t id = 1; id <= 12; ++id) {
        const std::optional<uint64_t> want =
            id == 9 || id > 11 ? std::nullopt : std::optional<uint64_t>((id - 1 - (id > 9)) / 2);
        EXPECT_EQ(ctx.categorical_of.find(id), want) << id;
    }
    EXPECT_THROW(ctx.categorical_of.at(9), std::out_of_range);
    // A lowered counter hands out ids again: the later distribution owns them.
    ctx.next_condition_id = 2;
    ctx.fresh_categorical_conditions(2, rows, Probs{0.5, 0.25, 0.25});
    EXPECT_EQ(ctx.categorical_of.at(1), 0u);
    EXPECT_EQ(ctx.categorical_of.at(2), 5u);
    EXPECT_EQ(ctx.categorical_of.at(3), 5u);
    EXPECT_EQ(ctx.categorical_of.at(4), 1u);
    EXPECT_FALSE(ctx.categorical_of.contains(12));
    // A table checked once registers any number of distributions, as the spans would.
    SymbolicContext spans, checked;
    const CheckedCategoricalTable table =
        checked.checked_categorical_table(2, rows, Probs{0.5, 0.25, 0.25});
    EXPECT_EQ(table.width, 2u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(checked.fresh_categorical_conditions(table),
                  spans.fresh_categorical_conditions(2, rows, Probs{0.5, 0.25, 0.25}));
    }
    EXPECT_EQ(checked, spans);
    EXPECT_EQ(checked.categoricals[2].table, table.table);
    EXPECT_EQ(error_text([&] {
                  checked.checked_categorical_table(2, rows, Probs{0.5, 0.5, 0.5});
              }),
              "categorical symbolic distribution probabilities must sum to 1");
    // A default distribution reads as the empty table.
    EXPECT_TRUE(SymbolicCategoricalDistribution().assignments().empty());
}

TEST(EvaluationPlan, MatchesDirectBitLookup) {
    EXPECT_THROW(SymbolicBoolEvaluationPlan(SymbolicBool{{0}, false}), FatalError);
    std::mt19937_64 rng(5);
    for (int trial = 0; trial < 300; ++trial) {
        std::set<int32_t> ids;
        for (int i = static_cast<int>(rng() % 30); i > 0; --i)
            ids.insert(1 + rng() % 400);
        const SymbolicBool value = from_set(ids, rng() & 1);
        const SymbolicBoolEvaluationPlan plan(value);
        // One group per word, in increasing word order.
        EXPECT_EQ(std::ranges::adjacent_find(plan.word_indices, std::greater_equal{}),
                  plan.word_indices.end());
        // The table is sometimes shorter than the ids: missing words read as zero.
        std::vector<uint64_t> table(rng() % 8);
        for (uint64_t& w : table)
            w = rng();
        bool expected = value.constant;
        for (const int32_t c : ids) {
            const uint64_t word = static_cast<uint64_t>(c - 1) / 64;
            expected ^= word < table.size() && ((table[word] >> ((c - 1) % 64)) & 1);
        }
        EXPECT_EQ(plan.evaluate(table), expected);
        // Rebuilt over the storage of another plan, it is the same plan.
        SymbolicBoolEvaluationPlan reused(from_set({1, 2, 64, 65, 200, 300, 400}, true));
        reused.assign(value);
        EXPECT_EQ(reused, plan);
    }
}

}  // namespace
}  // namespace kelvo
