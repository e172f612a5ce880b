// Benchmark helper: wall-clock time of one call, robust to a shared machine.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>

namespace kelvo::test_support {

// Seconds per call of f: the best of `rounds` runs, each repeating f for at least `budget`
// seconds (the least disturbed run is the closest to the code's own cost).
template <class F>
double best_seconds_per_call(F&& f, int rounds = 5, double budget = 0.05) {
    double best = 1e300;
    for (int round = 0; round < rounds; ++round) {
        const auto start = std::chrono::steady_clock::now();
        uint64_t calls = 0;
        double elapsed = 0;
        do {
            f();
            ++calls;
            elapsed =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        } while (elapsed < budget);
        best = std::min(best, elapsed / static_cast<double>(calls));
    }
    return best;
}

// Time of `ours` over time of `baseline`, measured in alternating rounds.
template <class F, class G>
double time_ratio(F&& ours, G&& baseline, int rounds = 5) {
    double a = 1e300, b = 1e300;
    for (int round = 0; round < rounds; ++round) {
        a = std::min(a, best_seconds_per_call(ours, 1));
        b = std::min(b, best_seconds_per_call(baseline, 1));
    }
    return a / b;
}

}  // namespace kelvo::test_support
