#include "sampler/exogenous.h"

#include <gtest/gtest.h>

#include <cmath>
#include <tuple>

#include "bits.h"
#include "compiler/program.h"
#include "errors.h"
#include "testing/error_text.h"

namespace kelvo {
namespace {

constexpr uint64_t kGolden = 0x9e3779b97f4a7c15;

// The row of condition index i as dense words, wherever this chunk keeps it.
std::vector<uint64_t> row_of(const PackedPresampledExogenous& s, uint64_t i) {
    if (!s.is_sparse(i)) {
        const auto r = s.dense_row(i);
        return {r.begin(), r.end()};
    }
    std::vector<uint64_t> row(s.words_per_row, 0);
    for (const uint64_t shot : s.sparse_row(i))
        row[shot / 64] ^= uint64_t{1} << (shot % 64);
    return row;
}

uint64_t ones(const std::vector<uint64_t>& row) {
    uint64_t n = 0;
    for (const uint64_t w : row)
        n += static_cast<uint64_t>(std::popcount(w));
    return n;
}

// Bits at and above the shot count are clear.
bool clean(const std::vector<uint64_t>& row, uint64_t shots) {
    return row.empty() || shots % 64 == 0 || (row.back() >> (shots % 64)) == 0;
}

// |count - n p| within 5 sigma of the binomial (and exact at p = 0 or 1).
void expect_binomial(uint64_t count, double n, double p, const std::string& what) {
    const double sigma = std::sqrt(n * p * (1 - p));
    EXPECT_LE(std::abs(static_cast<double>(count) - n * p), 5 * sigma + 1e-9)
        << what << ": " << count << " of " << n << " at p=" << p;
}

// Dense Bernoulli conditions 1, 2, ... with these probabilities.
FactoredInstructionProgram dense(std::vector<double> probabilities) {
    FactoredInstructionProgram p;
    for (uint64_t i = 0; i < probabilities.size(); ++i)
        p.dense_bernoulli_conditions.push_back(static_cast<int32_t>(i + 1));
    p.dense_bernoulli_probabilities = probabilities;
    p.num_symbols = probabilities.size();
    return p;
}

TEST(Exogenous, BernoulliFrequenciesAcrossShotCounts) {
    constexpr uint64_t kConditions = 64;
    for (const double p : {1e-4, 0.01, 0.02, 0.3, 0.5, 0.7, 1.0}) {
        for (const uint64_t shots : {1, 63, 64, 65, 4099}) {
            // Every probability both ways: one draw per word (dense) and by gaps (group).
            FactoredInstructionProgram program;
            BernoulliSampleGroup group{{}, p};
            for (int32_t c = 1; c <= int32_t{kConditions}; ++c) {
                program.dense_bernoulli_conditions.push_back(c);
                program.dense_bernoulli_probabilities.push_back(p);
                group.conditions.push_back(c + int32_t{kConditions});
            }
            if (p < 1) program.bernoulli_groups.push_back(group);
            program.num_symbols = 2 * kConditions;
            PackedPresampledExogenous s;
            prepare_presampled_exogenous_packed(s, program);
            const uint64_t chunks = (1000000 + kConditions * shots - 1) / (kConditions * shots);
            uint64_t dense = 0, grouped = 0;
            for (uint64_t chunk = 0; chunk < chunks; ++chunk) {
                resample_prepared_exogenous_packed_in_place(s, program, shots, 7 + chunk);
                for (uint64_t i = 0; i < 2 * kConditions; ++i) {
                    const auto row = row_of(s, i);
                    ASSERT_TRUE(clean(row, shots)) << "p=" << p << " S=" << shots;
                    (i < kConditions ? dense : grouped) += ones(row);
                }
            }
            const double n = static_cast<double>(chunks * kConditions * shots);
            const std::string where = "S=" + std::to_string(shots);
            expect_binomial(dense, n, p, "dense " + where);
            if (p < 1) expect_binomial(grouped, n, p, "group " + where);
        }
    }
}

TEST(Exogenous, NeighbouringConditionsAreIndependent) {
    FactoredInstructionProgram program = dense({0.3, 0.3});
    program.bernoulli_groups = {{{3, 4}, 0.01}};
    program.num_symbols = 4;
    PackedPresampledExogenous s;
    prepare_presampled_exogenous_packed(s, program);
    uint64_t dense_both = 0, group_both = 0, mixed_both = 0;
    constexpr uint64_t kShots = 4096, kChunks = 250;
    for (uint64_t chunk = 0; chunk < kChunks; ++chunk) {
        resample_prepared_exogenous_packed_in_place(s, program, kShots, chunk);
        const auto a = row_of(s, 0), b = row_of(s, 1), c = row_of(s, 2), d = row_of(s, 3);
        for (uint64_t w = 0; w < a.size(); ++w) {
            dense_both += std::popcount(a[w] & b[w]);
            group_both += std::popcount(c[w] & d[w]);
            mixed_both += std::popcount(a[w] & c[w]);
        }
    }
    const double n = kShots * kChunks;
    expect_binomial(dense_both, n, 0.09, "dense pair");
    expect_binomial(group_both, n, 1e-4, "group pair");
    expect_binomial(mixed_both, n, 0.003, "dense and group");
}

// Outcome j of a width-2 distribution sets the conditions to the bits of j.
double chi_square(const uint64_t (&counts)[4], const double (&probabilities)[4], double n) {
    double x = 0;
    for (int j = 0; j < 4; ++j) {
        const double e = n * probabilities[j];
        x += (static_cast<double>(counts[j]) - e) * (static_cast<double>(counts[j]) - e) / e;
    }
    return x;
}

TEST(Exogenous, CategoricalOutcomesFollowTheirDistribution) {
    // 35 is far beyond the 1e-6 tail of chi-square with 3 degrees of freedom.
    const std::vector<std::vector<uint64_t>> rows = {{0}, {1}, {2}, {3}};
    FactoredInstructionProgram program;
    program.categoricals.push_back({{1, 2}, rows, {0.1, 0.2, 0.3, 0.4}, 2});
    program.rare_categorical_groups.push_back({{{3, 4}, {5, 6}, {7, 8}},
                                               rows,
                                               {0.9, 0.05, 0.03, 0.02},
                                               {1, 2, 3},
                                               {0.5, 0.3, 0.2},
                                               0.1,
                                               2});
    program.num_symbols = 8;
    for (const uint64_t large_above : {uint64_t{1} << 20, uint64_t{0}}) {
        PackedPresampledExogenous s;
        prepare_presampled_exogenous_packed(s, program);
        uint64_t plain[4] = {}, grouped[4] = {};
        constexpr uint64_t kShots = 5000, kChunks = 40;
        for (uint64_t chunk = 0; chunk < kChunks; ++chunk) {
            detail::resample_exogenous(s, program, kShots, 100 + chunk, large_above);
            std::vector<std::vector<uint64_t>> r;
            for (uint64_t i = 0; i < 8; ++i)
                r.push_back(row_of(s, i));
            for (uint64_t shot = 0; shot < kShots; ++shot) {
                ++plain[get_bit(r[0], shot) + 2 * get_bit(r[1], shot)];
                for (uint64_t m = 0; m < 3; ++m)
                    ++grouped[get_bit(r[2 + 2 * m], shot) + 2 * get_bit(r[3 + 2 * m], shot)];
            }
        }
        const double n = kShots * kChunks;
        EXPECT_LT(chi_square(plain, {0.1, 0.2, 0.3, 0.4}, n), 35);
        EXPECT_LT(chi_square(grouped, {0.9, 0.05, 0.03, 0.02}, 3 * n), 35);
    }
}

TEST(Exogenous, LargeModeHoldsTheSameRowsAsSmallMode) {
    FactoredInstructionProgram program;
    program.categoricals.push_back({{1, 2}, {{0}, {1}, {3}}, {0.5, 0.25, 0.25}, 2});
    program.rare_categorical_groups.push_back(
        {{{3}, {4}}, {{0}, {1}}, {0.998, 0.002}, {1}, {1.0}, 0.002, 1});
    program.dense_bernoulli_conditions = {5, 6};
    program.dense_bernoulli_probabilities = {0.05, 0.9};
    program.bernoulli_groups = {{{7, 8, 9}, 1e-3}, {{10}, 0.015}};
    program.num_symbols = 10;
    PackedPresampledExogenous small, large;
    prepare_presampled_exogenous_packed(small, program);
    prepare_presampled_exogenous_packed(large, program);
    // A chunk drawn before leaves stale rows that large mode must not show.
    detail::resample_exogenous(large, program, 4099, 1, 0);
    for (const uint64_t seed : {2, 3}) {
        detail::resample_exogenous(small, program, 4099, seed, uint64_t{1} << 20);
        detail::resample_exogenous(large, program, 4099, seed, 0);
        EXPECT_EQ(small.random_state, large.random_state);
        for (uint64_t i = 0; i < 10; ++i)
            EXPECT_EQ(row_of(small, i), row_of(large, i)) << i;
    }
    EXPECT_EQ(large.sparse_rows[0], 0x1CCu) << "the rare group and the p = 1e-3 group go sparse";
}

TEST(Exogenous, DrawCounts) {
    FactoredInstructionProgram half = dense({0.5}), categorical, no_conditions;
    categorical.categoricals.push_back({{1}, {{0}, {1}}, {0.5, 0.5}, 1});
    categorical.num_symbols = 1;
    no_conditions.categoricals.push_back({{}, {{0}}, {1.0}, 0});
    const std::tuple<const char*, FactoredInstructionProgram*, uint64_t, uint64_t> cases[] = {
        {"p = 0.5: one draw per word", &half, 130, 3},
        {"a categorical: one draw per shot", &categorical, 130, 130},
        {"even without conditions", &no_conditions, 70, 70},
        {"no shots, no draws", &categorical, 0, 0},
    };
    for (const auto& [name, program, shots, draws] : cases) {
        PackedPresampledExogenous s;
        prepare_presampled_exogenous_packed(s, *program);
        resample_prepared_exogenous_packed_in_place(s, *program, shots, 5);
        EXPECT_EQ(s.random_state, 5 + draws * kGolden) << name;
    }
    uint64_t state = 9;
    std::vector<uint64_t> row(2, 0);
    or_low_probability_bits_packed(row, 2, state, 128, 0.0);
    EXPECT_EQ(state, 9u);
    EXPECT_EQ(ones(row), 0u);

    // Above one half the row is the complement, over the live shots, of the row below it.
    FactoredInstructionProgram high = dense({0.75}), low = dense({0.25});
    PackedPresampledExogenous a, b;
    prepare_presampled_exogenous_packed(a, high);
    prepare_presampled_exogenous_packed(b, low);
    resample_prepared_exogenous_packed_in_place(a, high, 100, 4);
    resample_prepared_exogenous_packed_in_place(b, low, 100, 4);
    EXPECT_EQ(a.values, (std::vector<uint64_t>{~b.values[0], ~b.values[1] & 0xFFFFFFFFF}));
}

TEST(Exogenous, GapsBeyondThirtyOneBits) {
    // Rare noise over a very large chunk: a gap of 7e11 trials is a gap, not 2^31 - 1.
    EXPECT_EQ(detail::geometric_gap(0.5, 1e-12),
              static_cast<uint64_t>(std::floor(std::log(0.5) / std::log1p(-1e-12))));
    EXPECT_GT(detail::geometric_gap(0.5, 1e-12), uint64_t{1} << 39);
    EXPECT_EQ(detail::geometric_gap(0.0, 1e-300), ~uint64_t{0});
    EXPECT_EQ(detail::geometric_gap(0.5, 5e-324), ~uint64_t{0});
    EXPECT_EQ(detail::geometric_gap(0.5, 0.5), 1u);
}

TEST(Exogenous, Refusals) {
    const std::string gap = "geometric gap probability must be in (0, 1)";
    FactoredInstructionProgram beyond, certain_group, certain_rare, other;
    FactoredInstructionProgram not_a_number = dense({std::nan("")});
    beyond.bernoulli_groups = {{{3}, 0.01}};
    beyond.num_symbols = 2;
    certain_group.bernoulli_groups = {{{1}, 1.0}};
    certain_rare.rare_categorical_groups.push_back({{{1}}, {{0}, {1}}, {0, 1}, {1}, {1}, 1.0, 1});
    certain_group.num_symbols = certain_rare.num_symbols = 1;
    other.num_symbols = 65;
    PackedPresampledExogenous s;
    EXPECT_EQ(testing::error_text([&] { prepare_presampled_exogenous_packed(s, beyond); }),
              "exogenous condition exceeds program symbol table");
    const std::pair<FactoredInstructionProgram*, std::string> cases[] = {
        {&not_a_number, "probability must be between 0 and 1"},
        {&certain_group, gap},
        {&certain_rare, gap}};
    for (const auto& [program, message] : cases) {
        prepare_presampled_exogenous_packed(s, *program);
        EXPECT_EQ(testing::error_text(
                      [&] { resample_prepared_exogenous_packed_in_place(s, *program, 10, 1); }),
                  message);
    }
    EXPECT_EQ(
        testing::error_text([&] { resample_prepared_exogenous_packed_in_place(s, other, 10, 1); }),
        "packed presampled exogenous storage was not prepared for this program");
    uint64_t state = 0;
    std::vector<uint64_t> row(1, 0);
    for (const double p : {1.0, std::nan("")}) {
        EXPECT_EQ(
            testing::error_text([&] { or_low_probability_bits_packed(row, 1, state, 64, p); }),
            gap);
    }
}

}  // namespace
}  // namespace kelvo
