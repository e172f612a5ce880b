#include "sampler/pinning.h"

#include <gtest/gtest.h>

#include <functional>
#include <random>

#include "bits.h"
#include "circuit/parser.h"
#include "sampler/prepared.h"
#include "testing/dense_circuit.h"
#include "testing/error_text.h"
#include "testing/record_statistics.h"

namespace kelvo {
namespace {

// Appends an outcome writing the next record: a fair coin when `branch` > 0, else fixed by
// its sign; `condition` (0: none) stands for it in later signs.
void add_outcome(FactoredInstructionProgram& p, SymbolicBool sign, int32_t branch,
                 int32_t condition) {
    const std::optional<uint32_t> record = static_cast<uint32_t>(++p.num_records);
    const std::optional<uint32_t> cond =
        condition > 0 ? std::optional<uint32_t>(condition) : std::nullopt;
    const SymbolicBoolEvaluationPlan plan(sign);
    if (branch > 0)
        p.instructions.push_back(RandomOutcome{sign, plan, record, cond, std::nullopt, branch});
    else
        p.instructions.push_back(DeterministicOutcome{sign, plan, record, cond, {}});
}

TEST(PinningTest, RefusalsAsOneTable) {
    FactoredInstructionProgram fixed, cyclic;
    for (int i = 0; i < 4; ++i)
        add_outcome(fixed, {}, 0, 0);             // four records fixed at 0
    add_outcome(cyclic, symbolic_bool(5), 0, 5);  // the outcome's own condition in its sign
    const auto plan = [](const FactoredInstructionProgram& p, std::vector<uint64_t> records,
                         bool value) {
        const MeasurementParity pin{std::move(records), value};
        return [&p, pin] { plan_pinned_measurements(p, std::span(&pin, 1)); };
    };
    const std::pair<std::function<void()>, std::string> cases[] = {
        {plan(fixed, {0, 3}, true),
         "pinned measurement parity over [0, 3] is deterministic and cannot be 1"},
        {plan(fixed, {4}, false), "pinned measurement record 4 is not written by this circuit"},
        {plan(fixed, {2147483646}, false),
         "pinned measurement record 2147483646 is not written by this circuit"},
        {plan(fixed, {2147483647}, false), "pinned measurement record index is out of range"},
        {plan(fixed, {~uint64_t{0}}, false), "pinned measurement record index is out of range"},
        {plan(cyclic, {0}, false), "measurement record expression is cyclic"},
        {plan(fixed, {0, 3}, false), "no error"},
    };
    for (const auto& [call, message] : cases)
        EXPECT_EQ(testing::error_text(call), message);
}

// Random programs of fair coins and derived outcomes over noise conditions 1 and 2, run by
// brute force over every branch and noise assignment: with the forced branches each pin's
// noiseless parity is its value and noise flips it as it flips the unpinned parity; a refusal
// means that no choice of branches meets every pin.
TEST(PinningTest, ForcedBranchesHoldEveryPinUnderEveryAssignment) {
    std::mt19937_64 rng(7);
    int planned = 0;
    for (int rep = 0; rep < 300; ++rep) {
        FactoredInstructionProgram p;
        std::vector<int32_t> conditions;  // of each outcome
        int32_t next_id = 3;
        const int n = 2 + static_cast<int>(rng() % 5);
        for (int i = 0; i < n; ++i) {
            SymbolicBool sign{{}, static_cast<bool>(rng() & 1)};
            for (const int32_t c : conditions)
                if (rng() % 3 == 0) sign = xor_bool(sign, symbolic_bool(c));
            for (const int32_t noise : {1, 2})
                if (rng() % 3 == 0) sign = xor_bool(sign, symbolic_bool(noise));
            const int32_t branch = i == 0 || rng() % 3 != 0 ? next_id++ : 0;
            if (branch > 0) sign = xor_bool(sign, symbolic_bool(branch));
            conditions.push_back(next_id++);
            add_outcome(p, sign, branch, conditions.back());
        }
        std::vector<MeasurementParity> pins(1 + rng() % 3);
        for (MeasurementParity& pin : pins) {
            pin.value = rng() & 1;
            for (uint64_t k = 1 + rng() % 3; k > 0; --k)
                pin.records.push_back(rng() % n);
        }
        // Whether every pin's parity in one run (`forced` empty: unpinned) equals its value
        // XOR `flips` (bit k for pin k).
        const auto parities = [&](uint64_t free_bits, uint64_t noise,
                                  const std::vector<ForcedBranch>& forced) {
            std::vector<uint64_t> table(word_count(static_cast<uint64_t>(next_id)));
            table[0] = noise;
            std::vector<bool> records;
            for (uint64_t i = 0; i < p.instructions.size(); ++i) {
                const auto* coin = std::get_if<RandomOutcome>(&p.instructions[i]);
                if (coin != nullptr) {
                    bool bit = (free_bits >> i) & 1;
                    for (const ForcedBranch& f : forced)
                        if (f.instruction == i) {
                            for (const int32_t c : f.plan.conditions)  // known by then
                                EXPECT_TRUE(c > 2 && c < coin->outcome_condition);
                            bit = f.plan.evaluate(table);
                        }
                    set_bit(table, coin->outcome_condition - 1, bit);
                }
                records.push_back(SymbolicBoolEvaluationPlan(instruction_sign(p.instructions[i]))
                                      .evaluate(table));
                set_bit(table, conditions[i] - 1, records.back());
            }
            uint64_t bits = 0;
            for (uint64_t k = 0; k < pins.size(); ++k) {
                bool parity = pins[k].value;
                for (const uint64_t r : pins[k].records)
                    parity ^= records[r];
                bits |= uint64_t{parity} << k;
            }
            return bits;  // bit k: pin k's parity differs from its value
        };
        std::vector<ForcedBranch> forced;
        try {
            forced = plan_pinned_measurements(p, pins);
        } catch (const KelvoError& e) {
            for (uint64_t f = 0; f < (uint64_t{1} << n); ++f)
                EXPECT_NE(parities(f, 0, {}), 0u) << e.what();
            continue;
        }
        ++planned;
        for (uint64_t f = 0; f < (uint64_t{1} << n); ++f)
            for (uint64_t noise = 0; noise < 4; ++noise)
                ASSERT_EQ(parities(f, noise, forced), parities(0, noise, {}) ^ parities(0, 0, {}))
                    << rep;
    }
    EXPECT_GT(planned, 150);
}

// Through the sampler. Noiseless pins hold in every shot and the records follow the exact
// distribution conditioned on them (a forced fair branch is a conditioned one). Noise flips
// the pinned parity at its own rate, also with reference expected bits. A pin holds in every
// survivor when a compaction falls between the branch it reads and the one it forces. The
// compiler's certain flips are constants of the parity, not noise.
TEST(PinningSamplingTest, PinsHoldUpToNoiseAndConditionTheRest) {
    const char* const noisy = "H 0 1\nX_ERROR(0.1) 0\nX_ERROR(0.2) 1\nM 0 1\n";
    const struct {
        std::string text;
        std::vector<MeasurementParity> pins;
        double flip_rate = 0;  // of the first pin
        bool normalize = false;
        const char* refusal = nullptr;
    } cases[] = {
        // Fair active measurements after T, with a third record correlated with the first.
        {"H 0 1 2\nT 0 1\nCX 0 2\nH 2\nT 2\nH 2\nM 0 1 2\n", {{{0, 1}, true}}},
        // The second pin finds the first one's branch taken and forces an earlier one.
        {"H 0 1 3\nCX 0 2\nM 0 1 2 3\n", {{{1, 2, 3}, false}, {{3}, true}}},
        {"H 0 1\nM 0 1\nH 0\nT 0\nH 0\nM 0\n", {{{0, 1}, true}, {{1}, false}}},
        {noisy, {{{0, 1}, true}}, 0.1 * 0.8 + 0.9 * 0.2},
        {std::string(noisy) + "DETECTOR rec[-1] rec[-2]\n", {{{0, 1}, true}}, 0.26, true},
        {"H 0\nM 0\nH 2\nM 2\nDISCARD rec[-1]\nH 1\nM 1\nX_ERROR(0.25) 1\nM 1\n", {{{0, 2}, true}}},
        {"H 0\nMR !0\nM 0\n", {{{1}, false}}},
        {"H 0 2\nMR !0\nM 0\nCX rec[-1] 1\nM 1 2\n", {{{0, 2, 3}, true}}},
        {"H 0\nMR !0\nM 0\n",
         {{{1}, true}},
         0,
         false,
         "pinned measurement parity over [1] is deterministic and cannot be 1"},
        {"MPAD 1\nH 1\nCX rec[-1] 0\nM 0 1\n",
         {{{1}, false}},
         0,
         false,
         "pinned measurement parity over [1] is deterministic and cannot be 0"},
    };
    for (const auto& c : cases) {
        const Circuit circuit = parse_kelvo_circuit_text(c.text);
        SamplerOptions options;
        options.pin_measurements = c.pins;
        options.normalize_syndromes = c.normalize;
        options.batch_size = 256;
        if (c.refusal != nullptr) {
            testing::expect_refused([&] { Sampler(circuit, options); }, c.refusal);
            continue;
        }
        Sampler sampler(circuit, options);
        const uint64_t shots = 20000;
        const SampleResult result = sampler.sample_with_seed(shots, 5, false);
        const auto holds = [&](const std::string& row, const MeasurementParity& pin) {
            bool parity = pin.value;
            for (const uint64_t r : pin.records)
                parity ^= row[r] == '1';
            return !parity;
        };
        uint64_t flips = 0;
        for (uint64_t s = 0; s < result.passed_shots; ++s) {
            const std::string row =
                testing::row_text(result.measurements, circuit.num_measurements, s);
            flips += !holds(row, c.pins[0]);
            for (uint64_t k = c.flip_rate > 0 ? c.pins.size() : 1; k < c.pins.size(); ++k)
                ASSERT_TRUE(holds(row, c.pins[k])) << c.text << row;
        }
        EXPECT_TRUE(testing::within_five_sigma(flips, result.passed_shots, c.flip_rate))
            << c.text << flips;
        if (c.normalize) {  // the reference shot holds the pin: detectors report the flips
            EXPECT_EQ(sampler.options().expected_detectors, std::vector<uint8_t>{1});
            EXPECT_EQ(std::count(result.detectors.begin(), result.detectors.end(), 1), flips);
        }
        if (c.flip_rate == 0 && circuit.detectors.empty()) {
            const auto exact = testing::conditioned(testing::run_dense_circuit(circuit).records,
                                                    [&](const std::string& r) {
                                                        for (const MeasurementParity& pin : c.pins)
                                                            if (!holds(r, pin)) return false;
                                                        return true;
                                                    });
            testing::expect_fits(
                testing::row_counts(result.measurements, circuit.num_measurements, shots), exact,
                shots, c.text);
        }
    }
}

}  // namespace
}  // namespace kelvo
