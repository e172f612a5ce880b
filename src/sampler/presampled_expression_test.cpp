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
