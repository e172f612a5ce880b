// Test helpers: sampled record rows against an exact distribution of record strings, by a
// chi-square statistic held to a five-sigma bound. Only the tests include this header.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "testing/dense_circuit.h"

namespace kelvo::testing {

// Row `shot` of an unpacked buffer of `columns` bytes per row, as '0'/'1' text.
inline std::string row_text(const std::vector<uint8_t>& rows, uint64_t columns, uint64_t shot) {
    std::string s;
    for (uint64_t j = 0; j < columns; ++j)
        s += static_cast<char>('0' + rows[shot * columns + j]);
    return s;
}

// How often each row text occurs among the first `shots` rows.
inline std::map<std::string, uint64_t> row_counts(const std::vector<uint8_t>& rows,
                                                  uint64_t columns, uint64_t shots) {
    std::map<std::string, uint64_t> counts;
    for (uint64_t s = 0; s < shots; ++s)
        ++counts[row_text(rows, columns, s)];
    return counts;
}

// The distribution restricted to the strings `keep` accepts, renormalised; `kept` receives the
// probability mass kept.
inline std::map<std::string, double> conditioned(
    const std::map<std::string, double>& exact, const std::function<bool(const std::string&)>& keep,
    double* kept = nullptr) {
    std::map<std::string, double> out;
    double mass = 0;
    for (const auto& [s, p] : exact)
        if (keep(s)) mass += out[s] = p;
    for (auto& entry : out)
        entry.second /= mass;
    if (kept != nullptr) *kept = mass;
    return out;
}

// Pearson's statistic of observed record strings against exact probabilities, bins under 5
// expected shots pooled; fails on any outcome the oracle calls impossible. The bound is the
// 5-sigma quantile of chi-square (Wilson-Hilferty).
inline void expect_fits(const std::map<std::string, uint64_t>& observed,
                        const std::map<std::string, double>& exact, uint64_t shots,
                        const std::string& label) {
    double statistic = 0, pooled_expected = 0, pooled_observed = 0;
    uint64_t bins = 0;
    for (const auto& [key, count] : observed) {
        const auto it = exact.find(key);
        ASSERT_TRUE(it != exact.end() && it->second > 1e-12) << key << " in\n" << label;
    }
    for (const auto& [key, p] : exact) {
        const double expected = p * static_cast<double>(shots);
        const auto it = observed.find(key);
        const double seen = it == observed.end() ? 0.0 : static_cast<double>(it->second);
        if (expected < 5) {
            pooled_expected += expected;
            pooled_observed += seen;
            continue;
        }
        statistic += (seen - expected) * (seen - expected) / expected;
        ++bins;
    }
    if (pooled_expected >= 1) {
        statistic += (pooled_observed - pooled_expected) * (pooled_observed - pooled_expected) /
                     pooled_expected;
        ++bins;
    }
    if (bins < 2) return;
    const double df = static_cast<double>(bins - 1);
    const double bound = df * std::pow(1 - 2 / (9 * df) + 5 * std::sqrt(2 / (9 * df)), 3);
    EXPECT_LT(statistic, bound) << "df " << df << "\n" << label;
}

// A noiseless shot's expectation values, one per slot, against the dense run: each equals the
// exact value given the records the shot wrote before the request.
inline void expect_exp_vals_given_records(const OutcomeDistribution& exact,
                                          const std::string& records, const double* values,
                                          const std::string& label) {
    for (const auto& [key, weighted] : exact.expectations) {
        const auto& [slot, prefix] = key;
        if (records.compare(0, prefix.size(), prefix) != 0) continue;
        double p = 0;
        for (const auto& [full, q] : exact.records)
            if (full.compare(0, prefix.size(), prefix) == 0) p += q;
        ASSERT_NEAR(values[slot], weighted / p, 1e-9) << "slot " << slot << "\n" << label;
    }
}

// |successes - n p| within five standard deviations of a binomial count.
inline bool within_five_sigma(uint64_t successes, uint64_t n, double p) {
    const double mean = static_cast<double>(n) * p;
    const double sigma = std::sqrt(static_cast<double>(n) * p * (1 - p));
    return std::abs(static_cast<double>(successes) - mean) <= 5 * sigma + 1e-9;
}

}  // namespace kelvo::testing
