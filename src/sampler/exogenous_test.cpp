#include "sampler/exogenous.h"

#include <gtest/gtest.h>

#include <cmath>
#include <span>
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

// Shots where both rows are set.
uint64_t both(std::span<const uint64_t> a, std::span<const uint64_t> b) {
    uint64_t n = 0;
    for (uint64_t w = 0; w < a.size(); ++w)
        n += static_cast<uint64_t>(std::popcount(a[w] & b[w]));
    return n;
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

// Every probability both ways, one draw per word (dense rows 0..63) and by gaps (group rows
// 64..127): frequencies, pairs of neighbouring rows and dense-group pairs are binomial, and
// bits at and above the shot count stay clear.
TEST(Exogenous, BernoulliRowsAreIndependentWithTheirFrequency) {
    constexpr uint64_t kRows = 64;
    for (const double p : {1e-4, 0.01, 0.02, 0.3, 0.5, 0.7, 1.0}) {
        for (const uint64_t shots : {1, 63, 64, 65, 4099}) {
            FactoredInstructionProgram program = dense(std::vector<double>(kRows, p));
            program.bernoulli_groups.push_back({{}, p});
            for (int32_t c = 1; c <= int32_t{kRows}; ++c)
                program.bernoulli_groups[0].conditions.push_back(c + int32_t{kRows});
            if (p == 1) program.bernoulli_groups.clear();
            program.num_symbols = 2 * kRows;
            PackedPresampledExogenous s;
            prepare_presampled_exogenous_packed(s, program);
            const uint64_t chunks = (1000000 + kRows * shots - 1) / (kRows * shots);
            // Dense, group, dense pairs, group pairs, dense-group pairs.
            uint64_t counts[5] = {};
            for (uint64_t chunk = 0; chunk < chunks; ++chunk) {
                resample_prepared_exogenous_packed_in_place(s, program, shots, 7 + chunk);
                // Small mode: every row is dense.
                const auto r = [&](uint64_t i) { return s.dense_row(i); };
                for (uint64_t i = 0; i < 2 * kRows; ++i) {
                    ASSERT_TRUE(shots % 64 == 0 || (r(i).back() >> (shots % 64)) == 0) << p;
                    counts[i / kRows] += both(r(i), r(i));
                }
                for (uint64_t i = 0; i < kRows; i += 2) {
                    counts[2] += both(r(i), r(i + 1));
                    counts[3] += both(r(kRows + i), r(kRows + i + 1));
                    counts[4] += both(r(i), r(kRows + i));
                }
            }
            const double n = static_cast<double>(chunks * kRows * shots);
            const std::string where = "S=" + std::to_string(shots);
            expect_binomial(counts[0], n, p, "dense " + where);
            expect_binomial(counts[2], n / 2, p * p, "dense pairs " + where);
            if (p == 1) continue;
            expect_binomial(counts[1], n, p, "group " + where);
            expect_binomial(counts[3], n / 2, p * p, "group pairs " + where);
            expect_binomial(counts[4], n / 2, p * p, "dense and group " + where);
        }
    }
}

// Categoricals (one draw per shot, and rare groups by gaps) follow their distributions by
// chi-square; large mode, drawn over a previous chunk's stale rows, holds the same rows.
TEST(Exogenous, CategoricalsFollowTheirDistributionInBothModes) {
    const std::vector<std::vector<uint64_t>> rows = {{0}, {1}, {2}, {3}};
    const std::vector<double> plain_p = {0.1, 0.2, 0.3, 0.4}, grouped_p = {0.9, 0.05, 0.03, 0.02};
    FactoredInstructionProgram program;
    program.dense_bernoulli_conditions = {11, 12};
    program.dense_bernoulli_probabilities = {0.05, 0.9};
    program.categoricals.push_back({{1, 2}, rows, plain_p, 2});
    program.rare_categorical_groups = {
        {{{3, 4}, {5, 6}, {7, 8}}, rows, grouped_p, {1, 2, 3}, {0.5, 0.3, 0.2}, 0.1, 2},
        {{{9}, {10}}, {{0}, {1}}, {0.998, 0.002}, {1}, {1.0}, 0.002, 1}};
    program.bernoulli_groups = {{{13, 14, 15}, 1e-3}, {{16}, 0.015}};
    program.num_symbols = 16;
    PackedPresampledExogenous small, large;
    prepare_presampled_exogenous_packed(small, program);
    prepare_presampled_exogenous_packed(large, program);
    uint64_t plain[4] = {}, grouped[4] = {};
    constexpr uint64_t kShots = 4099, kChunks = 50;
    for (uint64_t chunk = 0; chunk < kChunks; ++chunk) {
        detail::resample_exogenous(small, program, kShots, 100 + chunk, uint64_t{1} << 20);
        detail::resample_exogenous(large, program, kShots, 100 + chunk, 0);
        ASSERT_EQ(small.random_state, large.random_state);
        std::vector<std::vector<uint64_t>> r;
        for (uint64_t i = 0; i < 16; ++i) {
            r.push_back(row_of(small, i));
            ASSERT_EQ(r[i], row_of(large, i)) << i;
        }
        for (uint64_t shot = 0; shot < kShots; ++shot) {
            ++plain[get_bit(r[0], shot) + 2 * get_bit(r[1], shot)];
            for (uint64_t m = 0; m < 3; ++m)
                ++grouped[get_bit(r[2 + 2 * m], shot) + 2 * get_bit(r[3 + 2 * m], shot)];
        }
    }
    EXPECT_EQ(large.sparse_rows[0], 0x7300u) << "the 0.002 group and the 1e-3 group go sparse";
    // Outcome j sets the conditions to the bits of j. 35 is far beyond the 1e-6 tail of
    // chi-square with 3 degrees of freedom.
    double chi[2] = {};
    for (int j = 0; j < 4; ++j) {
        const double e[2] = {kShots * kChunks * plain_p[j], 3 * kShots * kChunks * grouped_p[j]};
        chi[0] += std::pow(static_cast<double>(plain[j]) - e[0], 2) / e[0];
        chi[1] += std::pow(static_cast<double>(grouped[j]) - e[1], 2) / e[1];
    }
    EXPECT_LT(chi[0], 35);
    EXPECT_LT(chi[1], 35);
}

// Draws: one per word at p = 0.5, one per shot for a categorical (even one without conditions),
// none without shots or at p = 0; above one half the row is the complement of the row below.
TEST(Exogenous, DrawCounts) {
    FactoredInstructionProgram half = dense({0.5}), categorical, no_conditions;
    categorical.categoricals.push_back({{1}, {{0}, {1}}, {0.5, 0.5}, 1});
    categorical.num_symbols = 1;
    no_conditions.categoricals.push_back({{}, {{0}}, {1.0}, 0});
    const std::tuple<FactoredInstructionProgram*, uint64_t, uint64_t> cases[] = {
        {&half, 130, 3}, {&categorical, 130, 130}, {&no_conditions, 70, 70}, {&categorical, 0, 0}};
    for (const auto& [program, shots, draws] : cases) {
        PackedPresampledExogenous s;
        prepare_presampled_exogenous_packed(s, *program);
        resample_prepared_exogenous_packed_in_place(s, *program, shots, 5);
        EXPECT_EQ(s.random_state, 5 + draws * kGolden) << shots;
    }
    uint64_t state = 9;
    std::vector<uint64_t> row(2, 0);
    or_low_probability_bits_packed(row, 2, state, 128, 0.0);
    EXPECT_EQ(std::tuple(state, row[0], row[1]), std::tuple(9u, 0u, 0u));

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
    using testing::expect_refused;
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
    expect_refused([&] { prepare_presampled_exogenous_packed(s, beyond); },
                   "exogenous condition exceeds program symbol table");
    const std::pair<FactoredInstructionProgram*, std::string> cases[] = {
        {&not_a_number, "probability must be between 0 and 1"},
        {&certain_group, gap},
        {&certain_rare, gap}};
    for (const auto& [program, message] : cases) {
        prepare_presampled_exogenous_packed(s, *program);
        expect_refused([&] { resample_prepared_exogenous_packed_in_place(s, *program, 10, 1); },
                       message);
    }
    expect_refused([&] { resample_prepared_exogenous_packed_in_place(s, other, 10, 1); },
                   "packed presampled exogenous storage was not prepared for this program");
    uint64_t state = 0;
    std::vector<uint64_t> row(1, 0);
    for (const double p : {1.0, std::nan("")})
        expect_refused([&] { or_low_probability_bits_packed(row, 1, state, 64, p); }, gap);
}

}  // namespace
}  // namespace kelvo
