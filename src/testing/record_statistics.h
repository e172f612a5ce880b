// Test helpers: sampled measurement rows against an exact distribution of record strings, by a
// chi-square statistic held to a five-sigma bound. Only the tests include this header.
#pragma once

#include <cmath>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace kelvo::testing {

// One string per unpacked row of `columns` bytes: '0' / '1' per record, record 1 first.
inline std::vector<std::string> record_strings(const std::vector<uint8_t>& rows, uint64_t columns) {
    std::vector<std::string> out;
    for (uint64_t start = 0; start + columns <= rows.size() && columns > 0; start += columns) {
        std::string s;
        for (uint64_t j = 0; j < columns; ++j)
            s += rows[start + j] ? '1' : '0';
        out.push_back(std::move(s));
    }
    return out;
}

// The distribution restricted to the strings `keep` accepts, renormalised; `kept` receives
// the probability mass kept.
inline std::map<std::string, double> conditioned(
    const std::map<std::string, double>& exact, const std::function<bool(const std::string&)>& keep,
    double* kept = nullptr) {
    std::map<std::string, double> out;
    double mass = 0;
    for (const auto& [s, p] : exact)
        if (keep(s)) {
            out[s] = p;
            mass += p;
        }
    for (auto& [s, p] : out)
        p /= mass;
    if (kept != nullptr) *kept = mass;
    return out;
}

// Whether the samples fit the distribution: Pearson's statistic over the strings (those
// expected fewer than 5 times pooled into one bin, unseen strings with probability 0 fail)
// below the five-sigma point of its chi-square law (Wilson-Hilferty).
inline bool fits_distribution(const std::vector<std::string>& samples,
                              const std::map<std::string, double>& exact, std::string* why) {
    std::map<std::string, uint64_t> counts;
    for (const std::string& s : samples)
        ++counts[s];
    const double n = static_cast<double>(samples.size());
    double statistic = 0, pooled_expected = 0, pooled_count = 0;
    uint64_t bins = 0;
    for (const auto& [s, c] : counts)
        if (!exact.contains(s) || exact.at(s) <= 1e-15) {
            if (why != nullptr) *why = "impossible record string " + s;
            return false;
        }
    for (const auto& [s, p] : exact) {
        const double expected = n * p, seen = counts.contains(s) ? counts[s] : 0.0;
        if (expected < 5) {
            pooled_expected += expected;
            pooled_count += seen;
            continue;
        }
        statistic += (seen - expected) * (seen - expected) / expected;
        ++bins;
    }
    if (pooled_expected > 0) {
        statistic += (pooled_count - pooled_expected) * (pooled_count - pooled_expected) /
                     std::max(pooled_expected, 1.0);
        ++bins;
    }
    const double k = static_cast<double>(std::max<uint64_t>(bins, 2) - 1);
    const double bound = k * std::pow(1 - 2 / (9 * k) + 5 * std::sqrt(2 / (9 * k)), 3);
    if (why != nullptr)
        *why = "chi-square " + std::to_string(statistic) + " over " + std::to_string(k) +
               " degrees of freedom, bound " + std::to_string(bound);
    return statistic < bound;
}

// |successes - n p| within five standard deviations of a binomial count.
inline bool within_five_sigma(uint64_t successes, uint64_t n, double p) {
    const double mean = static_cast<double>(n) * p;
    const double sigma = std::sqrt(static_cast<double>(n) * p * (1 - p));
    return std::abs(static_cast<double>(successes) - mean) <= 5 * sigma + 1e-9;
}

}  // namespace kelvo::testing
