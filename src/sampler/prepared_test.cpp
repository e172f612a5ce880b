#include "sampler/prepared.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <map>
#include <new>
#include <string>
#include <vector>

#include "circuit/parser.h"
#include "testing/dense_circuit.h"
#include "testing/error_text.h"
#include "testing/random_circuit.h"
#include "testing/record_statistics.h"

namespace kelvo {
namespace {

Circuit parse(const std::string& text) {
    return parse_kelvo_circuit_text(text);
}

SamplerOptions sized(uint64_t threads, uint64_t chunk, uint64_t batch) {
    SamplerOptions o;
    o.threads = threads;
    o.sample_chunk_shots = chunk;
    o.batch_size = batch;
    return o;
}

// Every detector and observable row equals the parity of its records in the same shot.
void expect_parities_follow_records(const Circuit& c, const SampleResult& r,
                                    const std::string& label) {
    const uint64_t m = c.num_measurements, d = c.detectors.size(), o = c.observable_count();
    for (uint64_t s = 0; s < r.record_rows; ++s) {
        for (uint64_t i = 0; i < d; ++i) {
            uint8_t parity = 0;
            for (const size_t rec : c.detectors[i].records)
                parity ^= r.measurements[s * m + rec - 1];
            ASSERT_EQ(r.detectors[s * d + i], parity) << "detector " << i << "\n" << label;
        }
        std::vector<uint8_t> parities(o);
        for (const CircuitObservableInclude& include : c.observables)
            for (const size_t rec : include.records)
                parities[include.index] ^= r.measurements[s * m + rec - 1];
        for (uint64_t j = 0; j < o; ++j)
            ASSERT_EQ(r.observables[s * o + j], parities[j]) << "observable " << j << "\n" << label;
    }
}

constexpr uint64_t kShots = 20000;

void expect_samples_fit_oracle(const std::string& text, uint64_t seed) {
    const Circuit c = parse(text);
    Sampler sampler(c, sized(2, 3000, 0));
    const SampleResult r = sampler.sample_with_seed(kShots, seed, false);
    ASSERT_EQ(r.record_rows, kShots);
    testing::expect_fits(testing::row_counts(r.measurements, c.num_measurements, kShots),
                         testing::run_dense_circuit(c).records, kShots, text);
    expect_parities_follow_records(c, r, text);
}

TEST(Sampler, RecordsFitTheDenseDistribution) {
    const char* fixed[] = {
        "H 0\nT 0\nH 0\nM 0\n",
        // Feedback, a reset of an inverted target and a measured product.
        "H 0 1\nT 0\nCX 0 1\nT 1\nH 1\nX_ERROR(0.1) 0\nM 0 1\nCX rec[-1] 0\nMR !0\nM 0\n"
        "MPP X0*Z1\nDETECTOR rec[-1] rec[-2]\nOBSERVABLE_INCLUDE(1) rec[-3]\n",
        // Rotation runs longer than one shot-major run.
        "H 0 1 2\nT 0 1 2\nCX 0 1 1 2\nT 0 1 2\nH 0\nT 0\nCX 2 0\nT_DAG 1\nH 1 2\nT 1 2\n"
        "CX 0 2\nT 0 1 2\nH 0 1 2\nT 0 1 2\nDEPOLARIZE1(0.05) 0 1 2\nM 0 1 2\n",
    };
    for (const char* text : fixed)
        expect_samples_fit_oracle(text, 11);
    testing::RandomCircuit gen(5150);
    for (int i = 0; i < 40; ++i)
        expect_samples_fit_oracle(gen.make(true), 100 + i);
}

TEST(Sampler, ComponentPlanRecordsFitTheDenseDistribution) {
    // Ten one-qubit components, two pairs of them merged late.
    // The first errors give two promotions per-shot signs.
    std::string text;
    for (int round = 0; round < 3; ++round)
        text += std::string("H 0 1 2 3 4 5 6 7 8 9\n") + (round ? "" : "X_ERROR(0.3) 1 3\n") +
                "T 0 1 2 3 4 5 6 7 8 9\n";
    text += "CX 0 1 2 3\nT 1 3\nH 0 1 2 3 4 5 6 7 8 9\nX_ERROR(0.2) 4\nM 0 1 2 3 4 5 6 7 8 9\n";
    const Sampler sampler(parse(text), {});
    ASSERT_TRUE(sampler.program().component_plan_enabled);
    const auto& steps = sampler.program().component_plan->rotation_steps;
    ASSERT_TRUE(std::ranges::any_of(steps, [](const auto& s) { return s.merge_count > 1; }));
    expect_samples_fit_oracle(text, 3);
}

// Noiseless circuits: every shot's expectation value is the dense value given the records
// written before the request.
TEST(Sampler, ExpectationValuesFollowTheShotsRecords) {
    testing::RandomCircuit gen(808);
    int checked = 0;
    for (int i = 0; checked < 25 && i < 2000; ++i) {
        const std::string text = testing::without_noise(gen.make(true));
        const Circuit c = parse(text);
        if (c.num_exp_vals == 0 || text.find("HERALD") != std::string::npos) continue;
        ++checked;
        const testing::OutcomeDistribution exact = testing::run_dense_circuit(c);
        Sampler sampler(c, sized(1, 0, 0));
        const SampleResult r = sampler.sample_with_seed(500, i, false);
        const uint64_t m = c.num_measurements, e = c.num_exp_vals;
        ASSERT_EQ(r.exp_vals.size(), 500 * e);
        for (uint64_t s = 0; s < 500; ++s) {
            testing::expect_exp_vals_given_records(exact, testing::row_text(r.measurements, m, s),
                                                   &r.exp_vals[s * e], text);
        }
    }
    EXPECT_EQ(checked, 25);
}

constexpr const char* kNoisyCode =
    "R 0 1 2 3 4\nX_ERROR(0.1) 0 1 2\nH 3\nT 3\nH 3\nCX 0 3 1 3\nCX 1 4 2 4\n"
    "M 3 4\nDETECTOR rec[-2]\nDETECTOR rec[-1]\nM 0 1 2 3\nDETECTOR rec[-2] rec[-3] rec[-6]\n"
    "DETECTOR rec[-3] rec[-4]\nDETECTOR rec[-1]\nDETECTOR rec[-1] rec[-5]\nDETECTOR rec[-4]\n"
    "DETECTOR rec[-4] rec[-2]\nDETECTOR rec[-3]\nOBSERVABLE_INCLUDE(0) rec[-4]\n"
    "OBSERVABLE_INCLUDE(1) rec[-2] rec[-3]\nOBSERVABLE_INCLUDE(1) rec[-4]\n";

// One row per shot: records, detectors, observables and expectation values side by side.
std::vector<std::string> shot_rows(const SampleResult& r, uint64_t m, uint64_t d, uint64_t o) {
    std::vector<std::string> rows;
    for (uint64_t s = 0; s < r.record_rows; ++s)
        rows.push_back(testing::row_text(r.measurements, m, s) +
                       testing::row_text(r.detectors, d, s) +
                       testing::row_text(r.observables, o, s));
    std::sort(rows.begin(), rows.end());
    return rows;
}

TEST(Sampler, SameSeedSameShotsOnAnyThreadCount) {
    const Circuit c = parse(kNoisyCode);
    const uint64_t m = c.num_measurements, d = c.detectors.size(), o = c.observable_count();
    // 4300 shots: nine chunks, the last one short, batches not dividing the chunk.
    Sampler one(c, sized(1, 500, 64));
    const SampleResult base = one.sample_with_seed(4300, 99, false);
    EXPECT_EQ(base.active_threads, 1u);
    for (const uint64_t threads : {2, 4, 8, 16}) {
        Sampler many(c, sized(threads, 500, 64));
        for (int call = 0; call < 2; ++call) {
            const SampleResult r = many.sample_with_seed(4300, 99, false);
            EXPECT_EQ(r.active_threads, std::min<uint64_t>(threads, 9));
            EXPECT_EQ(r.total_shots, 4300u);
            EXPECT_EQ(r.passed_shots, base.passed_shots);
            EXPECT_EQ(r.logical_errors, base.logical_errors);
            EXPECT_EQ(r.observable_ones, base.observable_ones);
            EXPECT_EQ(shot_rows(r, m, d, o), shot_rows(base, m, d, o)) << threads;
        }
    }
    EXPECT_NE(shot_rows(one.sample_with_seed(4300, 98, false), m, d, o), shot_rows(base, m, d, o));
}

// Column j of row s in little bit order.
uint8_t packed_bit(std::span<const uint8_t> rows, uint64_t columns, uint64_t s, uint64_t j) {
    return (rows[s * ((columns + 7) / 8) + j / 8] >> (j % 8)) & 1;
}

TEST(Sampler, PackingCountsAndExpectedBits) {
    const Circuit c = parse(kNoisyCode);
    const uint64_t m = c.num_measurements, d = c.detectors.size(), o = c.observable_count();
    ASSERT_EQ(d, 9u);
    Sampler plain(c, sized(3, 700, 0));
    const SampleResult r = plain.sample_with_seed(3000, 7, false);
    const SampleResult packed = plain.sample_with_seed(3000, 7, true);
    ASSERT_EQ(packed.detectors.size(), 3000u * 2);
    EXPECT_TRUE(packed.bit_packed);
    for (uint64_t s = 0; s < 3000; ++s) {
        for (uint64_t j = 0; j < m; ++j)
            ASSERT_EQ(packed_bit(packed.measurements, m, s, j), r.measurements[s * m + j]);
        for (uint64_t j = 0; j < 16; ++j)  // unused high bits stay 0
            ASSERT_EQ(packed_bit(packed.detectors, 16, s, j), j < d ? r.detectors[s * d + j] : 0);
    }
    std::vector<uint64_t> ones(o);
    for (uint64_t s = 0; s < 3000; ++s)
        for (uint64_t j = 0; j < o; ++j)
            ones[j] += r.observables[s * o + j];
    EXPECT_EQ(r.observable_ones, ones);
    EXPECT_EQ(r.logical_errors, ones[0]);

    const SampleResult counts = plain.sample_counts_with_seed(3000, 7);
    EXPECT_EQ(counts.observable_ones, ones);
    EXPECT_EQ(counts.record_rows, 0u);
    EXPECT_FALSE(counts.bit_packed);
    EXPECT_TRUE(counts.measurements.empty() && counts.detectors.empty() &&
                counts.observables.empty() && counts.exp_vals.empty());

    SamplerOptions inverted = sized(3, 700, 0);
    inverted.expected_detectors = {1, 0, 0, 0, 0, 0, 0, 0, 5};
    inverted.expected_observables = {0, 1};
    inverted.observable = 1;
    const SampleResult flipped = Sampler(c, inverted).sample_with_seed(3000, 7, false);
    for (uint64_t s = 0; s < 3000; ++s) {
        for (uint64_t j = 0; j < d; ++j)
            ASSERT_EQ(flipped.detectors[s * d + j],
                      r.detectors[s * d + j] ^ (j == 0 || j == 8 ? 1 : 0));
        ASSERT_EQ(flipped.observables[s * o + 1], r.observables[s * o + 1] ^ 1);
    }
    EXPECT_EQ(flipped.logical_errors, 3000 - ones[1]);

    SamplerOptions beyond = sized(1, 0, 0);
    beyond.observable = 2;
    EXPECT_EQ(Sampler(c, beyond).sample_counts_with_seed(3000, 7).logical_errors, 0u);
}

TEST(Sampler, NormalizedSyndromesReportChangesFromTheNoiselessShot) {
    const Circuit c = parse(
        "X 0\nM 0 1\nDETECTOR rec[-2]\nDETECTOR rec[-1]\nMR !2\nM 2\n"
        "DETECTOR rec[-1]\nOBSERVABLE_INCLUDE(0) rec[-4]\n");
    SamplerOptions options;
    options.normalize_syndromes = true;
    Sampler sampler(c, options);
    EXPECT_EQ(sampler.options().expected_detectors, (std::vector<uint8_t>{1, 0, 0}));
    EXPECT_EQ(sampler.options().expected_observables, (std::vector<uint8_t>{1}));
    const SampleResult r = sampler.sample_with_seed(100, 1, false);
    EXPECT_EQ(std::vector<uint8_t>(r.detectors.begin(), r.detectors.end()),
              std::vector<uint8_t>(300, 0));
    EXPECT_EQ(r.logical_errors, 0u);
}

TEST(Sampler, PinnedParitiesHoldInEveryShot) {
    SamplerOptions options = sized(2, 300, 0);
    options.pin_measurements = {{{0, 2}, true}, {{1}, false}};
    Sampler sampler(parse("H 0 1 2\nM 0 1 2\n"), options);
    const SampleResult r = sampler.sample_with_seed(1000, 3, false);
    uint64_t first = 0;
    for (uint64_t s = 0; s < 1000; ++s) {
        ASSERT_EQ(r.measurements[3 * s] ^ r.measurements[3 * s + 2], 1);
        ASSERT_EQ(r.measurements[3 * s + 1], 0);
        first += r.measurements[3 * s];
    }
    EXPECT_GT(first, 400u);
    EXPECT_LT(first, 600u);
}

TEST(Sampler, ResolvedDefaults) {
    const Circuit c = parse("H 0\nT 0\nM 0\n");
    const SamplerOptions o = Sampler(c, {}).options();
    EXPECT_EQ(o.batch_size, 2048u);
    EXPECT_EQ(o.sample_chunk_shots, 2048u);
    EXPECT_EQ(o.threads, 1u);
    EXPECT_EQ(Sampler(c, sized(0, 0, 5000)).options().sample_chunk_shots, 5000u);

    Sampler sampler(c, sized(uint64_t{1} << 40, 0, 0));
    const SampleResult none = sampler.sample_with_seed(0, 1, true);
    EXPECT_EQ(none.active_threads, 1u);
    EXPECT_EQ(none.total_shots + none.passed_shots + none.record_rows, 0u);
    EXPECT_EQ(sampler.sample_with_seed(10, 1, true).active_threads, 1u);
}

TEST(Sampler, Refusals) {
    const Circuit c = parse("M 0 1\nDETECTOR rec[-1]\nOBSERVABLE_INCLUDE(0) rec[-2]\n");
    const auto compile = [&c](SamplerOptions o) { return [&c, o] { Sampler(c, o); }; };
    SamplerOptions both;
    both.normalize_syndromes = true;
    both.expected_detectors = {1, 1, 1};
    both.expected_observables = {1, 1};
    SamplerOptions detectors;
    detectors.expected_detectors = {1, 1};
    detectors.expected_observables = {1, 1};
    SamplerOptions observables;
    observables.expected_observables = {1, 1};
    testing::expect_refused(compile(both),
                            "normalize_syndromes cannot be combined with "
                            "expected_detectors or expected_observables");
    testing::expect_refused(compile(detectors), "expected_detectors has length 2, expected 1");
    testing::expect_refused(compile(observables), "expected_observables has length 2, expected 1");
    testing::expect_refused(
        [] {
            SamplerOptions o;
            o.expected_observables = {0};
            Sampler(parse("M 0\n"), o);
        },
        "expected_observables has length 1, expected 0");

    Sampler sampler(c, {});
    testing::expect_refused([&] { sampler.sample_with_seed(uint64_t{1} << 63, 1, false); },
                            "sampling output size exceeds usize");
    EXPECT_THROW(sampler.sample_with_seed(uint64_t{1} << 62, 1, true), std::bad_alloc);
    Sampler wide(c, sized(uint64_t{1} << 40, 1, 1));
    EXPECT_THROW(wide.sample_counts_with_seed(uint64_t{1} << 50, 1), std::bad_alloc);
    EXPECT_EQ(wide.sample_counts_with_seed(3, 1).active_threads, 3u);
}

// A check that stops the call makes it throw Cancelled, on the calling thread or with worker
// threads; the next call gives what a fresh sampler gives. A check that never stops changes
// nothing.
TEST(Sampler, CancelledCallsLeaveTheSamplerAsAFreshOne) {
    const Circuit c = parse(kNoisyCode);
    const uint64_t m = c.num_measurements, d = c.detectors.size(), o = c.observable_count();
    for (const uint64_t threads : {1, 4}) {
        Sampler fresh(c, sized(threads, 500, 64));
        const SampleResult rows = fresh.sample_with_seed(4300, 5, false);
        const SampleResult counts = fresh.sample_counts_with_seed(4300, 5);
        Sampler sampler(c, sized(threads, 500, 64));
        int polls = 0;
        const CancellationCheck never([&] { return ++polls < 0; }, {});
        const SampleResult checked = sampler.sample_with_seed(4300, 5, false, never);
        EXPECT_EQ(checked.measurements, rows.measurements);
        if (threads == 1) {
            EXPECT_GE(polls, 4300 / 64);  // a poll per batch at least
        }
        for (const int stop_at : {1, 3}) {
            polls = 0;
            const CancellationCheck stop([&] { return ++polls == stop_at; }, {});
            EXPECT_THROW(sampler.sample_with_seed(1'000'000, 5, false, stop), Cancelled);
            EXPECT_EQ(polls, stop_at);
            polls = 0;
            EXPECT_THROW(sampler.sample_counts_with_seed(1'000'000, 5, stop), Cancelled);
            const SampleResult again = sampler.sample_with_seed(4300, 5, false);
            EXPECT_EQ(again.measurements, rows.measurements) << threads;
            EXPECT_EQ(shot_rows(again, m, d, o), shot_rows(rows, m, d, o));
            const SampleResult again_counts = sampler.sample_counts_with_seed(4300, 5);
            EXPECT_EQ(again_counts.logical_errors, counts.logical_errors);
            EXPECT_EQ(again_counts.observable_ones, counts.observable_ones);
            EXPECT_EQ(again_counts.total_shots, 4300u);
        }
    }
}

// A worker's failure is the call's error, the first failing worker's; its workspace is rebuilt
// for the next call.
TEST(Sampler, WorkerFailuresReachTheCaller) {
    Circuit c = parse("H 0\nM 0\n");
    c.observables.push_back({{7}, 0, 0});
    for (const uint64_t threads : {1, 4}) {
        Sampler sampler(c, sized(threads, 100, 0));
        for (int call = 0; call < 2; ++call) {
            testing::expect_refused([&] { sampler.sample_counts_with_seed(1000, 1); },
                                    "observable references an out-of-range measurement record");
        }
        testing::expect_refused([&] { circuit_reference_sample(c); },
                                "observable references an out-of-range measurement record");
    }
    // With a discarding detector the workers hold their rows until all have sampled: failed
    // ones still let the others past, and the call ends with the error.
    Circuit discarding = parse("H 0\nM 0\nH 1\nM 1\nDISCARD rec[-1]\n");
    discarding.observables.push_back({{7}, 0, 0});
    Sampler sampler(discarding, sized(4, 100, 0));
    for (int call = 0; call < 2; ++call) {
        testing::expect_refused([&] { sampler.sample_with_seed(1000, 1, false); },
                                "observable references an out-of-range measurement record");
    }
}

// Rows with a discarding detector land after the rows the earlier workers kept: worker w's
// chunks w, w + W, ... in order, whatever the thread count. Chunk c's survivors are the rows a
// one-thread call of c + 1 chunks adds to a call of c chunks.
TEST(Sampler, SurvivorsFollowWorkerOrder) {
    const Circuit c = parse(
        "H 0 1\nT 0\nCX 0 1\nEXP_VAL X0\nH 0\nX_ERROR(0.2) 1\nM 0 1\nDISCARD rec[-2]\n"
        "DETECTOR rec[-1]");
    const uint64_t chunk = 100, shots = 950, chunks = 10;
    Sampler one(c, sized(1, chunk, 30));
    const SampleResult base = one.sample_with_seed(shots, 3, true);
    std::vector<uint64_t> first_row = {0};
    for (uint64_t k = 1; k <= chunks; ++k)
        first_row.push_back(one.sample_with_seed(std::min(k * chunk, shots), 3, true).passed_shots);
    ASSERT_EQ(first_row.back(), base.passed_shots);
    ASSERT_LT(base.passed_shots, shots);
    for (const uint64_t threads : {2, 3, 8}) {
        Sampler many(c, sized(threads, chunk, 30));
        const SampleResult r = many.sample_with_seed(shots, 3, true);
        std::vector<uint8_t> measurements, detectors;
        std::vector<double> exp_vals;
        for (uint64_t w = 0; w < threads; ++w) {
            for (uint64_t k = w; k < chunks; k += threads) {
                measurements.insert(measurements.end(), base.measurements.begin() + first_row[k],
                                    base.measurements.begin() + first_row[k + 1]);
                detectors.insert(detectors.end(), base.detectors.begin() + first_row[k],
                                 base.detectors.begin() + first_row[k + 1]);
                exp_vals.insert(exp_vals.end(), base.exp_vals.begin() + first_row[k],
                                base.exp_vals.begin() + first_row[k + 1]);
            }
        }
        EXPECT_EQ(std::vector<uint8_t>(r.measurements.begin(), r.measurements.end()), measurements)
            << threads;
        EXPECT_EQ(std::vector<uint8_t>(r.detectors.begin(), r.detectors.end()), detectors);
        EXPECT_EQ(std::vector<double>(r.exp_vals.begin(), r.exp_vals.end()), exp_vals);
        EXPECT_EQ(r.passed_shots, base.passed_shots);
        EXPECT_EQ(r.record_rows, base.passed_shots);
    }
}

}  // namespace
}  // namespace kelvo
