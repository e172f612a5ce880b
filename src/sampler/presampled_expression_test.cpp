#include "sampler/presampled_expression.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <random>

#include "bits.h"
#include "compiler/program.h"
#include "errors.h"
#include "sampler/exogenous.h"
#include "testing/error_text.h"

namespace kelvo {
namespace {

SymbolicBool sb(std::vector<int32_t> ids, bool constant = false) {
    return SymbolicBool{normalize_xor_conditions(std::move(ids)), constant};
}

FactoredInstruction outcome(const SymbolicBool& sign) {
    return DeterministicOutcome{sign, SymbolicBoolEvaluationPlan(sign), 1, {}, {}};
}

// Ids 1-18 are exogenous (every kind of input, some rows sparse in large mode); 19-24 are not.
FactoredInstructionProgram noisy_program() {
    FactoredInstructionProgram p;
    p.dense_bernoulli_conditions = {1, 2, 3, 4, 5};
    p.dense_bernoulli_probabilities = {0.3, 0.5, 0.02, 0.7, 0.1};
    p.bernoulli_groups = {{{6, 7, 8, 9}, 0.001}, {{10, 11, 12}, 0.015}};
    p.categoricals.push_back({{13, 14}, {{0}, {1}, {2}, {3}}, {0.4, 0.3, 0.2, 0.1}, 2});
    p.rare_categorical_groups.push_back(
        {{{15, 16}, {17, 18}}, {{0}, {1}, {3}}, {0.99, 0.006, 0.004}, {1, 2}, {0.6, 0.4}, 0.01, 2});
    p.num_symbols = 24;
    return p;
}

// Expressions drawn from a few shared id sets, their subsets and supersets; detectors with
// records (or without conditions) have no exogenous part.
TEST(PresampledExpression, BlockRowsAreTheXorOfExogenousRows) {
    std::mt19937_64 rng(3);
    for (int trial = 0; trial < 20; ++trial) {
        FactoredInstructionProgram program = noisy_program();
        std::vector<std::vector<int32_t>> pool(6);
        for (std::vector<int32_t>& ids : pool) {
            for (int32_t c = 1; c <= 24; ++c)
                if (rng() % 4 == 0) ids.push_back(c);
        }
        for (int i = 0; i < 60; ++i) {
            std::vector<int32_t> ids = pool[rng() % pool.size()];
            if (rng() % 2) ids.push_back(static_cast<int32_t>(1 + rng() % 24));
            if (rng() % 3 == 0 && !ids.empty()) ids.erase(ids.begin() + rng() % ids.size());
            const SymbolicBool sign = sb(ids, rng() % 2);
            if (rng() % 5 != 0) {
                program.instructions.push_back(outcome(sign));
                continue;
            }
            const std::vector<int32_t> records(rng() % 2, 1);
            const SymbolicBoolEvaluationPlan plan(sign);
            program.instructions.push_back(Detector{RecordDetector{sign, records, plan, 1, false}});
        }
        program.instructions.push_back(outcome(sb({}, true)));
        program.instructions.push_back(outcome(sb({}, false)));

        PackedPresampledExogenous small, large;
        prepare_presampled_exogenous_packed(small, program);
        prepare_presampled_exogenous_packed(large, program);
        PresampledExpressionPlan plan;
        prepare_presampled_expression_plan(plan, program, small);
        ASSERT_EQ(plan.rows.size(), program.instructions.size());
        // Small mode keeps every row dense; large mode (same rows) reads some from sparse lists.
        const uint64_t shots = trial % 2 ? 130 : 4099, words = (shots + 63) / 64;
        detail::resample_exogenous(small, program, shots, trial, 1 << 20);
        detail::resample_exogenous(large, program, shots, trial, 0);
        PresampledExpressionBlock block, from_sparse;
        evaluate_presampled_expression_block(block, plan, small);
        evaluate_presampled_expression_block(from_sparse, plan, large);
        EXPECT_EQ(block.words, from_sparse.words);

        for (uint64_t i = 0; i < program.instructions.size(); ++i) {
            SymbolicBool sign = instruction_sign(program.instructions[i]);
            const auto* d = std::get_if<Detector>(&program.instructions[i]);
            if (d && (!d->detector.records.empty() || sign.conditions.empty())) sign = {};
            std::vector<uint64_t> expected(words, 0);
            for (uint64_t s = 0; s < shots && sign.constant; ++s)
                set_bit(expected, s, true);
            std::vector<int32_t> residual;
            for (const int32_t c : sign.conditions) {
                if (c > 18) residual.push_back(c);
                const auto row = small.dense_row(static_cast<uint64_t>(c) - 1);
                for (uint64_t w = 0; w < words && c <= 18; ++w)
                    expected[w] ^= row[w];
            }
            const auto got = block.row(plan.rows[i].block_expression_index);
            EXPECT_EQ(std::vector<uint64_t>(got.begin(), got.end()), expected)
                << "trial " << trial << " instruction " << i;
            EXPECT_EQ(plan.rows[i].residual_plan.conditions, residual);
            EXPECT_FALSE(plan.rows[i].residual_plan.constant);
            EXPECT_GE(plan.last_use[plan.rows[i].block_expression_index], i);
        }
    }
}

// The parent of the last of these block expressions, and its difference from it.
TEST(PresampledExpression, ParentsAreTheCheapestEarlierRelatives) {
    const struct {
        std::vector<SymbolicBool> expressions;
        std::optional<uint64_t> parent;
        SymbolicBool delta;
    } cases[] = {
        {{sb({1, 2}), sb({1, 2}, true)}, 0, sb({}, true)},
        {{sb({1}, true), sb({1})}, std::nullopt, sb({1})},  // no saving
        {{sb({1, 2, 3}), sb({1, 2, 3, 4})}, 0, sb({4})},
        {{sb({1, 2}), sb({2, 3}), sb({1, 2, 3})}, 0, sb({3})},  // ties go to the earlier
        {{sb({}, true), sb({5}, true)}, 0, sb({5})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("case " + std::to_string(&c - cases));
        FactoredInstructionProgram program;
        program.bernoulli_groups = {{{1, 2, 3, 4, 5}, 0.01}};
        program.num_symbols = 5;
        for (const SymbolicBool& e : c.expressions)
            program.instructions.push_back(outcome(e));
        program.instructions.push_back(outcome(c.expressions[0]));
        PackedPresampledExogenous exogenous;
        prepare_presampled_exogenous_packed(exogenous, program);
        PresampledExpressionPlan plan;
        prepare_presampled_expression_plan(plan, program, exogenous);
        ASSERT_EQ(plan.block_expressions.size(), c.expressions.size());
        EXPECT_EQ(plan.rows.back().block_expression_index, 0u);
        EXPECT_EQ(plan.last_use[0], c.expressions.size());
        const PresampledExpression& last = plan.block_expressions.back();
        EXPECT_EQ(last.parent, c.parent);
        EXPECT_EQ((SymbolicBool{last.delta_conditions, last.delta_constant}), c.delta);
    }
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

// Every exogenous id up to `ids`, one Bernoulli group.
FactoredInstructionProgram exogenous_program(int32_t ids) {
    FactoredInstructionProgram program;
    program.bernoulli_groups = {{{}, 0.01}};
    for (int32_t c = 1; c <= ids; ++c)
        program.bernoulli_groups[0].conditions.push_back(c);
    program.num_symbols = static_cast<uint64_t>(ids);
    return program;
}

void expect_plain_parents(const FactoredInstructionProgram& program) {
    PackedPresampledExogenous exogenous;
    prepare_presampled_exogenous_packed(exogenous, program);
    PresampledExpressionPlan plan;
    prepare_presampled_expression_plan(plan, program, exogenous);
    const auto& blocks = plan.block_expressions;
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
TEST(PresampledExpression, ParentsFollowThePlainRuleAmongLongExpressions) {
    std::mt19937_64 rng(8);
    constexpr int32_t kIds = 300;
    FactoredInstructionProgram program = exogenous_program(kIds);
    for (int i = 0; i < 400; ++i) {
        std::vector<int32_t> ids;
        const int32_t start = 1 + static_cast<int32_t>(rng() % kIds);
        for (int k = i % 25 == 0 ? 150 : static_cast<int>(rng() % 6); k > 0; --k)
            ids.push_back(std::min(kIds, start + static_cast<int32_t>(rng() % 30)));
        program.instructions.push_back(outcome(sb(ids, rng() % 3 == 0)));
    }
    expect_plain_parents(program);
}

// Signs of noisy loops: one that names every error so far (a rotation on a body never
// measured), one over a sliding window of recent errors (feedback), both losing a few ids now
// and then as relations rewrite them, among short outcomes, with constants that flip and
// expressions that recur.
TEST(PresampledExpression, ParentsFollowThePlainRuleInGrowingSigns) {
    for (uint64_t seed = 0; seed < 6; ++seed) {
        std::mt19937_64 rng(seed);
        constexpr int32_t kRounds = 120;
        FactoredInstructionProgram program = exogenous_program(2 * kRounds);
        std::vector<int32_t> all, window;
        for (int32_t round = 1; round <= kRounds; ++round) {
            for (const int32_t c : {2 * round - 1, 2 * round}) {
                if (rng() % 4 != 0) all.push_back(c);
                window.push_back(c);
            }
            if (rng() % 5 == 0 && !all.empty()) all.erase(all.begin() + rng() % all.size());
            if (window.size() > 12) window.erase(window.begin(), window.begin() + rng() % 3);
            program.instructions.push_back(outcome(sb(all, rng() % 4 == 0)));
            program.instructions.push_back(outcome(sb(window, rng() % 2)));
            program.instructions.push_back(outcome(sb({2 * round, 2 * round - 1}, rng() % 2)));
            if (rng() % 10 == 0) program.instructions.push_back(outcome(sb({}, true)));
            if (seed % 2 && round > 10) {
                const SymbolicBool again =
                    instruction_sign(program.instructions[rng() % program.instructions.size()]);
                std::vector<int32_t> ids = again.conditions;
                ids.push_back(static_cast<int32_t>(1 + rng() % (2 * round)));
                program.instructions.push_back(outcome(sb(ids, again.constant)));
            }
        }
        SCOPED_TRACE("seed " + std::to_string(seed));
        expect_plain_parents(program);
    }
}

TEST(PresampledExpression, Refusals) {
    FactoredInstructionProgram program;
    program.bernoulli_groups = {{{1}, 0.01}};
    program.num_symbols = 1;
    program.instructions.push_back(outcome(sb({1})));
    PackedPresampledExogenous exogenous;
    PresampledExpressionPlan plan;
    PresampledExpressionBlock block;
    using testing::expect_refused;
    expect_refused([&] { prepare_presampled_expression_plan(plan, program, exogenous); },
                   "packed presampled exogenous storage was not prepared for this program");
    prepare_presampled_exogenous_packed(exogenous, program);
    prepare_presampled_expression_plan(plan, program, exogenous);
    expect_refused([&] { evaluate_presampled_expression_block(block, plan, exogenous); },
                   "packed presampled exogenous values are not initialized");
    resample_prepared_exogenous_packed_in_place(exogenous, program, 10, 1);
    PresampledExpressionPlan broken = plan;
    broken.block_expressions[0].parent = 0;
    expect_refused([&] { evaluate_presampled_expression_block(block, broken, exogenous); },
                   "presampled expression parent must be earlier in the block");
    broken = plan;
    broken.block_expressions[0].conditions = {2};
    expect_refused([&] { evaluate_presampled_expression_block(block, broken, exogenous); },
                   "presampled expression references an out-of-range exogenous condition");
}

}  // namespace
}  // namespace kelvo
