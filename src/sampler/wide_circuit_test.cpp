// Wide random circuits against the dense run: 9 to 16 qubits and many rotations, on one qubit
// and on products over many, so that the active state reaches a dozen qubits and splits into
// components that are created, merged and measured away. Every instruction kind takes part,
// with discarding detectors, pinned parities and expectation values. KELVO_WIDE_CIRCUITS sets
// how many circuits run (a long sweep is the same test with a larger count).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "circuit/parser.h"
#include "errors.h"
#include "sampler/prepared.h"
#include "testing/dense_circuit.h"
#include "testing/random_circuit.h"
#include "testing/record_statistics.h"

namespace kelvo {
namespace {

uint64_t circuit_count() {
    const char* env = std::getenv("KELVO_WIDE_CIRCUITS");
    return env != nullptr ? std::strtoull(env, nullptr, 10) : 60;
}

// The text without unrecorded resets: their hidden outcome would make a shot's expectation
// values differ from the dense value given its records.
std::string without_resets(const std::string& text) {
    std::istringstream lines(text);
    std::string out, line;
    while (std::getline(lines, line)) {
        if (line.rfind("R ", 0) == 0 || line.rfind("RX ", 0) == 0 || line.rfind("RY ", 0) == 0)
            continue;
        out += line + "\n";
    }
    return out;
}

bool parity_holds(const std::string& records, const MeasurementParity& pin) {
    bool parity = pin.value;
    for (const uint64_t r : pin.records)
        parity ^= records[r] == '1';
    return !parity;
}

// A pinned parity over one to three records, or none when the circuit has no records.
std::vector<MeasurementParity> random_pins(std::mt19937_64& rng, const Circuit& c) {
    if (c.num_measurements == 0) return {};
    MeasurementParity pin;
    for (uint64_t k = 1 + rng() % 3; k > 0; --k)
        pin.records.push_back(rng() % c.num_measurements);
    pin.value = rng() & 1;
    return {pin};
}

// One circuit: kind 0 is noisy, kind 1 noiseless with a pinned parity, kind 2 noiseless with
// expectation values and without unrecorded resets. Survivors' records fit the dense run
// conditioned on the discarding detectors and the pins; pins hold in every survivor; expectation
// values equal the dense value given the shot's earlier records.
void expect_fits_dense_run(const std::string& generated, int kind, uint64_t seed) {
    std::string text = kind == 0 ? generated : testing::without_noise(generated);
    if (kind == 2) text = without_resets(text);
    const Circuit c = parse_kelvo_circuit_text(text);
    const testing::OutcomeDistribution exact = testing::run_dense_circuit(c);
    std::mt19937_64 rng(seed);
    SamplerOptions options;
    options.threads = 2;
    options.sample_chunk_shots = 1500;
    if (kind == 1) options.pin_measurements = random_pins(rng, c);
    const auto quiet = [&](const std::string& records) {
        for (const CircuitDetector& d : c.detectors) {
            bool fired = false;
            for (const size_t r : d.records)
                fired ^= records[r - 1] == '1';
            if (d.discard && fired) return false;
        }
        return true;
    };
    const auto pinned = [&](const std::string& records) {
        for (const MeasurementParity& pin : options.pin_measurements)
            if (!parity_holds(records, pin)) return false;
        return true;
    };
    std::unique_ptr<Sampler> sampler;
    try {
        sampler = std::make_unique<Sampler>(c, options);
    } catch (const KelvoError& e) {
        // Only a pin that no record string of the circuit meets is refused.
        ASSERT_NE(std::string(e.what()).find("is deterministic and cannot be"), std::string::npos)
            << e.what() << "\n"
            << text;
        for (const auto& [records, p] : exact.records)
            ASSERT_FALSE(p > 1e-12 && pinned(records)) << records << "\n" << text;
        options.pin_measurements.clear();
        sampler = std::make_unique<Sampler>(c, options);
    }
    // Every shot runs the whole active state: fewer shots for the widest.
    const uint64_t width = sampler->program().active_qubits;
    const uint64_t shots = width > 10 ? 20000 >> std::min<uint64_t>(width - 10, 3) : 20000;
    SampleResult r;
    try {
        r = sampler->sample_with_seed(shots, seed, false);
    } catch (const KelvoError& e) {
        // A pin may force only a fair branch, where forcing is conditioning.
        ASSERT_NE(std::string(e.what()).find("pinning it would bias sampling"), std::string::npos)
            << e.what() << "\n"
            << text;
        options.pin_measurements.clear();
        sampler = std::make_unique<Sampler>(c, options);
        r = sampler->sample_with_seed(shots, seed, false);
    }
    const uint64_t m = c.num_measurements, e = c.num_exp_vals;
    double kept = 0;
    const auto expected = testing::conditioned(
        exact.records,
        [&](const std::string& records) { return quiet(records) && pinned(records); }, &kept);
    const std::string label = text + "seed " + std::to_string(seed);
    if (options.pin_measurements.empty()) {
        EXPECT_TRUE(testing::within_five_sigma(r.discards, shots, std::clamp(1 - kept, 0.0, 1.0)))
            << r.discards << " of " << shots << ", exact " << 1 - kept << "\n"
            << label;
    }
    ASSERT_EQ(r.record_rows, r.passed_shots) << label;
    for (uint64_t s = 0; s < r.record_rows; ++s) {
        const std::string records = testing::row_text(r.measurements, m, s);
        ASSERT_TRUE(pinned(records)) << records << "\n" << label;
        if (e > 0)
            testing::expect_exp_vals_given_records(exact, records, &r.exp_vals[s * e], label);
    }
    testing::expect_fits(testing::row_counts(r.measurements, m, r.record_rows), expected,
                         r.record_rows, label);
}

// Rotations on qubits nothing else touches make components of their own; the measured qubit's
// component was merged so that its pivot is not its highest local X bit.
TEST(WideCircuitTest, MeasurementPivotInsideAMergedComponent) {
    expect_fits_dense_run(
        "H 3\nSQRT_X 7 0\nSQRT_XX 9 7\nT_DAG 0 7 3\nCY 9 1\nH 2\nSQRT_XX 5 7\nT 5\n"
        "R_PAULI(0.567) Z3*Z2*X1\nR_Y(0.307) 1 6\nT_DAG 9\nXCZ 9 3\nR_Y(0.399) 4\n"
        "R_X(0.271) 10 8\nT 1\nM 9\n",
        0, 1);
}

TEST(WideCircuitTest, SamplesFitTheDenseRun) {
    testing::RandomCircuit gen(2026);
    const uint64_t count = circuit_count();
    for (uint64_t i = 0; i < count; ++i) {
        // Phased circuits noisy and noiseless with pins, then noiseless with expectation
        // values and noisy ones of the wide shape.
        const int kind = static_cast<int>(i % 4);
        const bool noisy = kind == 0 || kind == 3;
        const std::string text = kind < 2
                                     ? gen.make_phased(noisy)
                                     : gen.make(true, testing::RandomCircuit::wide(noisy, !noisy));
        try {
            expect_fits_dense_run(text, noisy ? 0 : kind == 1 ? 1 : 2, 7000 + i);
        } catch (const std::exception& e) {  // a panic here is the fault a long sweep looks for
            ADD_FAILURE() << e.what() << "\n" << text;
        }
    }
}

}  // namespace
}  // namespace kelvo
