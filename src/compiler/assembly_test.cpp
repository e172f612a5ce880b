#include "compiler/assembly.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>

#include "bits.h"
#include "errors.h"
#include "testing/error_text.h"

namespace kelvo {
namespace {

bool eval(const SymbolicBool& b, const std::vector<bool>& table) {
    bool v = b.constant;
    for (const int32_t c : b.conditions)
        v ^= table[c];
    return v;
}

FactoredInstructionProgram assemble(std::vector<FactoredInstruction> instructions,
                                    SymbolicContext context = {}) {
    return FactoredInstructionProgram::with_context(4, 1, std::move(instructions), 2,
                                                    std::move(context), {});
}

// Outcomes whose signs XOR noise conditions and earlier outcomes' conditions: every reduced
// sign, read through its rebuilt plan, keeps its value on tables consistent with the outcomes.
TEST(Assembly, ReductionKeepsValues) {
    std::mt19937_64 rng(3);
    uint64_t reduced = 0;
    for (int trial = 0; trial < 100; ++trial) {
        constexpr int32_t kNoise = 12;
        std::vector<int32_t> outcomes;
        std::vector<FactoredInstruction> program;
        int32_t next = kNoise + 1;
        for (int i = 0; i < 30; ++i) {
            std::vector<int32_t> ids;
            for (int t = rng() % 4; t > 0; --t) {
                const bool old = !outcomes.empty() && rng() % 3 != 0;
                ids.push_back(old ? outcomes[rng() % outcomes.size()] : 1 + rng() % kNoise);
            }
            const SymbolicBool sign{normalize_xor_conditions(ids), rng() % 2 == 1};
            const uint64_t kind = rng() % 4;
            if (kind == 2) {
                program.push_back(Detector{{sign, {}, {}, uint32_t(i + 1), false}});
                continue;
            }
            if (kind == 3) {
                program.push_back(DormantPromotion{sign, {}, 0.5});
                continue;
            }
            const uint32_t c = static_cast<uint32_t>(next++);
            if (kind == 0) {
                program.push_back(DeterministicOutcome{sign, {}, c, c, std::nullopt});
            } else {
                program.push_back(RandomOutcome{
                    xor_bool(sign, symbolic_bool(next)), {}, c, c, std::nullopt, next});
                ++next;
            }
            outcomes.push_back(static_cast<int32_t>(c));
        }
        const FactoredInstructionProgram assembled = assemble(program);
        EXPECT_EQ(assembled.num_symbols, uint64_t(next - 1));
        for (int round = 0; round < 8; ++round) {
            std::vector<bool> table(next);
            for (bool&& bit : table)
                bit = rng() % 2;
            for (size_t i = 0; i < program.size(); ++i) {
                const SymbolicBool& original = instruction_sign(program[i]);
                std::visit(
                    [&](const auto& kind) {
                        if constexpr (requires { kind.condition; })
                            table[*kind.condition] = eval(original, table);
                    },
                    program[i]);
            }
            std::vector<uint64_t> packed(word_count(next));
            for (int32_t c = 1; c < next; ++c)
                set_bit(packed, c - 1, table[c]);
            for (size_t i = 0; i < program.size(); ++i) {
                const FactoredInstruction& out = assembled.instructions[i];
                const bool want = eval(instruction_sign(program[i]), table);
                const bool got = std::visit(
                    [&](const auto& kind) {
                        if constexpr (requires { kind.detector; }) {
                            return kind.detector.plan.evaluate(packed);
                        } else {
                            return kind.sign_plan.evaluate(packed);
                        }
                    },
                    out);
                ASSERT_EQ(got, want) << trial << " " << i;
                reduced += instruction_sign(out) != instruction_sign(program[i]);
            }
        }
    }
    EXPECT_GT(reduced, 100u);
}

// Distributions sharing one table are grouped as the same distributions with a table each.
TEST(Assembly, SharedTablesGroupAsSeparateOnes) {
    const std::vector<std::vector<uint64_t>> rows = {{0}, {1}, {2}, {3}};
    const std::vector<double> rare = {0.99, 0.005, 0.005, 0}, common = {0.5, 0.2, 0.2, 0.1};
    SymbolicContext shared;
    for (const auto& probabilities : {rare, rare, common, common, rare, rare, common}) {
        shared.fresh_categorical_conditions(2, rows, probabilities);
    }
    shared.fresh_categorical_conditions(1, std::vector<std::vector<uint64_t>>{{0}, {1}},
                                        std::vector<double>{0.995, 0.005});
    SymbolicContext separate = shared;
    for (SymbolicCategoricalDistribution& d : separate.categoricals)
        d.table = std::make_shared<const CategoricalTable>(*d.table);
    ASSERT_EQ(shared.categoricals[0].table, shared.categoricals[1].table);
    const FactoredInstructionProgram a = assemble({}, shared), b = assemble({}, separate);
    EXPECT_EQ(a.rare_categorical_groups, b.rare_categorical_groups);
    EXPECT_EQ(a.categoricals, b.categoricals);
    ASSERT_EQ(a.rare_categorical_groups.size(), 2u);
    EXPECT_EQ(a.rare_categorical_groups[0].condition_lists,
              (std::vector<std::vector<int32_t>>{{1, 2}, {3, 4}, {9, 10}, {11, 12}}));
    EXPECT_EQ(a.categoricals.size(), 3u);
}

// Sizes from the instructions, and the sample groups at their boundaries against groups
// written out by hand.
TEST(Assembly, SizesAndSampleGroups) {
    SymbolicContext context;
    for (const double p : {0.01, 0.02, 0.01, 0.010000000000000002, -0.0, 0.0, 0.5})
        context.fresh_bernoulli_condition(p);
    const std::vector<std::vector<uint64_t>> one_bit = {{0}, {1}}, two_bits = {{1}, {0}, {3}, {2}};
    const std::vector<double> not_rare = {0.98, 0.02}, rare = {0.0086, 0.981, 0.0104, 0};
    context.fresh_categorical_bools(1, one_bit, not_rare);          // 8
    context.fresh_categorical_bools(2, two_bits, rare);             // 9, 10
    context.fresh_categorical_bools(1, one_bit, {{0.981, 0.019}});  // 11
    context.fresh_categorical_bools(2, two_bits, rare);             // 12, 13
    RecordDetector detector;
    detector.parity = symbolic_bool(3);
    detector.id = 4;
    const FactoredInstructionProgram program = assemble(
        {
            Detector{detector},
            DeterministicOutcome{{{}, true}, {}, 5, std::nullopt, std::nullopt},
            DeterministicOutcome{{{}, false}, {}, 2, 15, std::nullopt},
            RandomOutcome{{}, {}, std::nullopt, std::nullopt, 2, 0},
        },
        context);
    EXPECT_EQ(std::tuple(program.num_records, program.num_exp_vals, program.num_detectors,
                         program.num_symbols, program.context.next_condition_id),
              std::tuple(5u, 3u, 4u, 15u, 16u));

    EXPECT_EQ(program.dense_bernoulli_conditions, (std::vector<int32_t>{2, 7}));
    EXPECT_EQ(program.dense_bernoulli_probabilities, (std::vector<double>{0.02, 0.5}));
    const std::vector<BernoulliSampleGroup> groups = {
        {{1, 3}, 0.01}, {{4}, 0.010000000000000002}, {{5, 6}, -0.0}};
    EXPECT_EQ(program.bernoulli_groups, groups);
    EXPECT_EQ(program.categoricals, std::vector{context.categoricals[0]});
    const double mass = 0.019000000000000017;  // 1 - 0.981
    const std::vector<RareCategoricalSampleGroup> rare_groups = {
        {{{9, 10}, {12, 13}},
         two_bits,
         rare,
         {0, 2},
         {0.45263157894736805, 0.5473684210526311},
         mass,
         2},
        {{{11}}, one_bit, {0.981, 0.019}, {1}, {0.019 * (1 / mass)}, mass, 1},
    };
    EXPECT_EQ(program.rare_categorical_groups, rare_groups);

    // Without instructions the symbols are the context's; the component plan is there, off.
    SymbolicContext ids_only;
    ids_only.next_condition_id = 9;
    const FactoredInstructionProgram empty = assemble({}, ids_only);
    EXPECT_EQ(empty.num_symbols, 8u);
    EXPECT_EQ(empty.num_records + empty.num_detectors + empty.num_exp_vals, 0u);
    ASSERT_NE(empty.component_plan, nullptr);
    EXPECT_FALSE(empty.component_plan_enabled);
    for (const auto [n, initial, active] :
         {std::array<uint64_t, 3>{4, 3, 2}, {2, 3, 3}, {2, 1, 3}}) {
        testing::expect_refused(
            [&] { FactoredInstructionProgram::with_context(n, initial, {}, active, {}, {}); },
            "invalid factored instruction program dimensions");
    }
    EXPECT_THROW(assemble({RandomOutcome{{}, {}, 1, std::nullopt, std::nullopt, -1}}), FatalError);
}

// Thousands of conditions with gaps in their ids and a stray large id: the groups and the
// dense list follow the ids in order, as a scan of the map with a linear search finds them.
TEST(Assembly, LargeGroupsFollowIdOrder) {
    std::mt19937_64 rng(7);
    SymbolicContext context;
    const double ps[] = {0.001, 0.5, 0.003, -0.0, 0.0, 0.019, 0.02};
    for (int i = 0; i < 5000; ++i) {
        if (rng() % 5 == 0) context.fresh_condition_id();
        context.fresh_bernoulli_condition(ps[rng() % std::size(ps)]);
    }
    context.raise_next_condition_id_past(1 << 30);
    context.fresh_bernoulli_condition(0.001);
    std::vector<BernoulliSampleGroup> groups;
    std::vector<int32_t> dense;
    for (const auto& [id, p] : context.bernoulli) {
        const auto g =
            std::find_if(groups.begin(), groups.end(),
                         [p](const BernoulliSampleGroup& g) { return g.probability == p; });
        if (p >= 0.02) {
            dense.push_back(id);
        } else if (g == groups.end()) {
            groups.push_back({{id}, p});
        } else {
            g->conditions.push_back(id);
        }
    }
    const FactoredInstructionProgram program = assemble({}, context);
    EXPECT_EQ(program.bernoulli_groups, groups);
    EXPECT_EQ(program.dense_bernoulli_conditions, dense);
}

}  // namespace
}  // namespace kelvo
