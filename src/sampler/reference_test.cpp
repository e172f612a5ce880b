#include "sampler/reference.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "circuit/parser.h"
#include "splitmix64.h"
#include "testing/dense_circuit.h"
#include "testing/random_circuit.h"

namespace kelvo {
namespace {

using Bits = std::vector<uint8_t>;

TEST(ReferenceSample, NoiselessOutcomes) {
    uint64_t state = 1;  // the first fair coin of generator state 1
    const uint8_t coin = splitmix64_next(state) & 1;
    const struct {
        const char* text;
        Bits detectors, observables;
    } cases[] = {
        {"", {}, {}},
        {"H 0\nT 0\nM 0\n", {}, {}},
        {"M 0\nM 0\nDETECTOR rec[-1] rec[-2]\n", {0}, {}},
        {"X 0\nM 0\nDETECTOR rec[-1]\nOBSERVABLE_INCLUDE(2) rec[-1]\n", {1}, {0, 0, 1}},
        // User noise is off, probability 1 included; so is readout noise.
        {"X_ERROR(1) 0\nDEPOLARIZE1(0.5) 1\nM(0.4) 0 1\nDETECTOR rec[-2]\nDETECTOR rec[-1]\n",
         {0, 0},
         {}},
        // The flips that make inverted resets and MPAD feedback are no noise.
        {"MR !0\nM 0\nDETECTOR rec[-2]\nDETECTOR rec[-1]\n", {1, 0}, {}},
        {"MRX !0\nMX 0\nMRY !1\nMY 1\nDETECTOR rec[-3]\nDETECTOR rec[-1]\n", {0, 0}, {}},
        {"MPAD 1\nCX rec[-1] 0\nM 0\nDETECTOR rec[-1]\nOBSERVABLE_INCLUDE(0) rec[-2]\n", {1}, {1}},
        // Postselecting detectors are reported, never used to discard.
        {"M 0\nDISCARD rec[-1]\nX 1\nM 1\nDISCARD rec[-1]\n", {0, 1}, {}},
        {"H 0\nM 0\nDETECTOR rec[-1]\nX 0\nM 0\nDETECTOR rec[-1] rec[-2]\n", {coin, 1}, {}},
        {"H 0\nT 0\nH 0\nM 0\nX 0\nM 0\nDETECTOR rec[-1] rec[-2]\n", {1}, {}},
    };
    for (const auto& c : cases) {
        const ReferenceSample r = circuit_reference_sample(parse_kelvo_circuit_text(c.text));
        EXPECT_EQ(std::tie(r.detectors, r.observables), std::tie(c.detectors, c.observables))
            << c.text;
    }
}

// Every detector and observable that the noiseless circuit fixes has that value in the
// reference shot of the noisy one.
TEST(ReferenceSample, AgreesWithDeterministicParitiesOfTheDenseRun) {
    testing::RandomCircuit gen(31);
    int fixed = 0;
    for (int i = 0; i < 800; ++i) {
        const std::string text = gen.make(i % 2 == 0);
        if (text.find("HERALDED") != std::string::npos) continue;
        const Circuit clean = parse_kelvo_circuit_text(testing::without_noise(text));
        const ReferenceSample r = circuit_reference_sample(parse_kelvo_circuit_text(text));
        ASSERT_EQ(r.detectors.size(), clean.detectors.size());
        const testing::OutcomeDistribution exact = testing::run_dense_circuit(clean);
        for (uint64_t d = 0; d < clean.detectors.size(); ++d) {
            double ones = 0;
            for (const auto& [records, p] : exact.records) {
                bool parity = false;
                for (const size_t rec : clean.detectors[d].records)
                    parity ^= records[rec - 1] == '1';
                ones += parity ? p : 0;
            }
            if (ones > 1e-9 && ones < 1 - 1e-9) continue;
            ++fixed;
            ASSERT_EQ(r.detectors[d], ones > 0.5) << "detector " << d << "\n" << text;
        }
    }
    EXPECT_GT(fixed, 40);
}

}  // namespace
}  // namespace kelvo
