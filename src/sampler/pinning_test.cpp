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

SymbolicBool with(SymbolicBool value, int32_t condition) {
    return xor_bool(value, symbolic_bool(condition));
}

// Outcome instructions writing records 1, 2, ... in order; `conditions` is the condition id
// standing for each outcome (0: none).
struct ProgramBuilder {
    FactoredInstructionProgram program;

    void outcome(SymbolicBool sign, int32_t branch, int32_t condition) {
        const std::optional<uint32_t> record = static_cast<uint32_t>(program.num_records + 1);
        const std::optional<uint32_t> cond =
            condition > 0 ? std::optional<uint32_t>(condition) : std::nullopt;
        const SymbolicBoolEvaluationPlan plan(sign);
        if (branch > 0)
            program.instructions.push_back(
                RandomOutcome{sign, plan, record, cond, std::nullopt, branch});
        else
            program.instructions.push_back(DeterministicOutcome{sign, plan, record, cond, {}});
        ++program.num_records;
    }
};

TEST(PinningTest, RefusalsAsOneTable) {
    ProgramBuilder b;
    for (int i = 0; i < 4; ++i)
        b.outcome({}, 0, 0);  // four records fixed at 0
    ProgramBuilder cyclic;
    cyclic.outcome(symbolic_bool(5), 0, 5);  // the outcome's own condition in its sign
    const auto plan = [](const FactoredInstructionProgram& p, std::vector<uint64_t> records,
                         bool value) {
        const MeasurementParity pin{std::move(records), value};
        return [&p, pin] { plan_pinned_measurements(p, std::span(&pin, 1)); };
    };
    const std::pair<std::function<void()>, std::string> cases[] = {
        {plan(b.program, {0, 3}, true),
         "pinned measurement parity over [0, 3] is deterministic and cannot be 1"},
        {plan(b.program, {2}, true),
         "pinned measurement parity over [2] is deterministic and cannot be 1"},
        {plan(b.program, {4}, false), "pinned measurement record 4 is not written by this circuit"},
        {plan(b.program, {2147483646}, false),
         "pinned measurement record 2147483646 is not written by this circuit"},
        {plan(b.program, {2147483647}, false), "pinned measurement record index is out of range"},
        {plan(b.program, {~uint64_t{0}}, false), "pinned measurement record index is out of range"},
        {plan(cyclic.program, {0}, false), "measurement record expression is cyclic"},
        {plan(b.program, {0, 3}, false), "no error"},
    };
    for (const auto& [call, message] : cases)
        EXPECT_EQ(testing::error_text(call), message);
}

// Pins (a, b) then (b) on two fair coins: the first takes b, the second finds b taken and
// falls back to a.
TEST(PinningTest, SecondPinOnATakenBranchForcesAnEarlierOne) {
    ProgramBuilder b;
    b.outcome(symbolic_bool(1), 1, 0);
    b.outcome(symbolic_bool(2), 2, 0);
    const MeasurementParity pins[] = {{{0, 1}, true}, {{1}, false}};
    const std::vector<ForcedBranch> forced = plan_pinned_measurements(b.program, pins);
    ASSERT_EQ(forced.size(), 2u);
    EXPECT_EQ(forced[0].instruction, 0u);
    EXPECT_EQ(forced[0].plan, SymbolicBoolEvaluationPlan(SymbolicBool{{}, true}));
    EXPECT_EQ(forced[1].instruction, 1u);
    EXPECT_EQ(forced[1].plan, SymbolicBoolEvaluationPlan(SymbolicBool{{1}, true}));
    EXPECT_TRUE(plan_pinned_measurements(b.program, {}).empty());
}

// Random programs of fair coins and derived outcomes over noise conditions 1 and 2, run by
// brute force over every branch and noise assignment: with the forced branches, each pin's
// noiseless parity is its value, and noise flips it exactly as it flips the unpinned parity.
TEST(PinningTest, ForcedBranchesHoldEveryPinUnderEveryAssignment) {
    std::mt19937_64 rng(7);
    int planned = 0;
    for (int rep = 0; rep < 300; ++rep) {
        ProgramBuilder b;
        std::vector<int32_t> outcome_conditions, branches;
        int32_t next_id = 3;
        const int n = 2 + static_cast<int>(rng() % 5);
        for (int i = 0; i < n; ++i) {
            SymbolicBool sign{{}, static_cast<bool>(rng() & 1)};
            for (const int32_t c : outcome_conditions)
                if (rng() % 3 == 0) sign = with(sign, c);
            for (const int32_t noise : {1, 2})
                if (rng() % 3 == 0) sign = with(sign, noise);
            int32_t branch = 0;
            if (i == 0 || rng() % 3 != 0) {
                branch = next_id++;
                branches.push_back(branch);
                sign = with(sign, branch);
            }
            const int32_t condition = next_id++;
            outcome_conditions.push_back(condition);
            b.outcome(sign, branch, condition);
        }
        std::vector<MeasurementParity> pins(1 + rng() % 3);
        for (MeasurementParity& pin : pins) {
            pin.value = rng() & 1;
            for (uint64_t k = 1 + rng() % 3; k > 0; --k)
                pin.records.push_back(rng() % n);
        }
        // Records of one run; `forced` empty runs unpinned.
        const auto run = [&](uint64_t free_bits, uint64_t noise,
                             const std::vector<ForcedBranch>& forced) {
            std::vector<uint64_t> table(word_count(static_cast<uint64_t>(next_id)));
            set_bit(table, 0, noise & 1);
            set_bit(table, 1, noise & 2);
            std::vector<bool> records;
            for (uint64_t i = 0; i < b.program.instructions.size(); ++i) {
                const FactoredInstruction& instruction = b.program.instructions[i];
                if (const auto* coin = std::get_if<RandomOutcome>(&instruction)) {
                    bool bit = (free_bits >> i) & 1;
                    for (const ForcedBranch& f : forced)
                        if (f.instruction == i) {
                            for (const int32_t c : f.plan.conditions)  // assigned before i only
                                EXPECT_TRUE(c > 2 && c < coin->outcome_condition);
                            bit = f.plan.evaluate(table);
                        }
                    set_bit(table, coin->outcome_condition - 1, bit);
                }
                const auto& kind = std::holds_alternative<RandomOutcome>(instruction)
                                       ? std::get<RandomOutcome>(instruction).sign
                                       : std::get<DeterministicOutcome>(instruction).sign;
                const bool outcome = SymbolicBoolEvaluationPlan(kind).evaluate(table);
                set_bit(table, outcome_conditions[i] - 1, outcome);
                records.push_back(outcome);
            }
            return records;
        };
        const auto parity = [](const std::vector<bool>& records, const MeasurementParity& pin) {
            bool p = false;
            for (const uint64_t r : pin.records)
                p ^= records[r];
            return p;
        };
        std::vector<ForcedBranch> forced;
        try {
            forced = plan_pinned_measurements(b.program, pins);
        } catch (const KelvoError& e) {
            // Refused: no choice of branches gives every pin its value without noise.
            for (uint64_t f = 0; f < (uint64_t{1} << n); ++f) {
                bool all_hold = true;
                for (const MeasurementParity& pin : pins)
                    all_hold &= parity(run(f, 0, {}), pin) == pin.value;
                EXPECT_FALSE(all_hold) << e.what();
            }
            continue;
        }
        ++planned;
        for (uint64_t f = 0; f < (uint64_t{1} << n); ++f)
            for (uint64_t noise = 0; noise < 4; ++noise)
                for (const MeasurementParity& pin : pins) {
                    const bool flip = parity(run(0, noise, {}), pin) != parity(run(0, 0, {}), pin);
                    ASSERT_EQ(parity(run(f, noise, forced), pin), pin.value != flip) << rep;
                }
    }
    EXPECT_GT(planned, 150);
}

bool parity_of(const std::string& records, const MeasurementParity& pin) {
    bool p = false;
    for (const uint64_t r : pin.records)
        p ^= records[r] == '1';
    return p;
}

std::vector<std::string> sampled_records(const char* text, SamplerOptions options, uint64_t shots) {
    const Circuit circuit = parse_kelvo_circuit_text(text);
    Sampler sampler(circuit, std::move(options));
    const SampleResult result = sampler.sample_with_seed(shots, 11, false);
    return testing::record_strings(result.measurements, sampler.program().num_records);
}

// Noiseless circuits: every shot holds every pin, and the records follow the exact
// distribution conditioned on the pins (a forced fair branch is a conditioned one).
TEST(PinningSamplingTest, NoiselessPinsHoldAndTheRestIsConditioned) {
    const struct {
        const char* text;
        std::vector<MeasurementParity> pins;
    } cases[] = {
        // Fair active measurements after T, and a third record correlated with the first.
        {"H 0 1 2\nT 0 1\nCX 0 2\nH 2\nT 2\nH 2\nM 0 1 2\n", {{{0, 1}, true}}},
        // Fair coins; the second pin finds the first one's branch taken.
        {"H 0 1 3\nCX 0 2\nM 0 1 2 3\n", {{{1, 2, 3}, false}, {{3}, true}}},
        {"H 0 1\nM 0 1\nH 0\nT 0\nH 0\nM 0\n", {{{0, 1}, true}, {{1}, false}}},
    };
    for (const auto& c : cases) {
        SamplerOptions options;
        options.pin_measurements = c.pins;
        options.batch_size = 100;
        const std::vector<std::string> rows = sampled_records(c.text, options, 20000);
        for (const std::string& row : rows)
            for (const MeasurementParity& pin : c.pins)
                ASSERT_EQ(parity_of(row, pin), pin.value) << c.text << row;
        const auto exact = testing::conditioned(
            testing::run_dense_circuit(parse_kelvo_circuit_text(c.text)).records,
            [&](const std::string& r) {
                for (const MeasurementParity& pin : c.pins)
                    if (parity_of(r, pin) != pin.value) return false;
                return true;
            });
        std::string why;
        EXPECT_TRUE(testing::fits_distribution(rows, exact, &why)) << c.text << why;
    }
}

// With noise the pinned parity is the noiseless one: noise flips the recorded parity at its
// own rate, also when the expected bits come from the reference shot; and a pin holds in every
// survivor when a compaction falls between the branch it reads and the branch it forces.
TEST(PinningSamplingTest, NoiseFlipsThePinnedParityAndCompactionKeepsIt) {
    const MeasurementParity first_two{{0, 1}, true};
    const struct {
        const char* text;
        MeasurementParity pin;
        bool normalize;
        double flip_rate;
    } cases[] = {
        {"H 0 1\nX_ERROR(0.1) 0\nX_ERROR(0.2) 1\nM 0 1\n", first_two, false, 0.1 * 0.8 + 0.9 * 0.2},
        {"H 0 1\nX_ERROR(0.1) 0\nX_ERROR(0.2) 1\nM 0 1\nDETECTOR rec[-1] rec[-2]\n", first_two,
         true, 0.1 * 0.8 + 0.9 * 0.2},
        // The discard kills half the shots between the two pinned measurements.
        {"H 0\nM 0\nH 2\nM 2\nDISCARD rec[-1]\nH 1\nM 1\nX_ERROR(0.25) 1\nM 1\n",
         {{0, 2}, true},
         false,
         0.0},
    };
    for (const auto& c : cases) {
        SamplerOptions options;
        options.pin_measurements = {c.pin};
        options.normalize_syndromes = c.normalize;
        options.batch_size = 256;
        const Circuit circuit = parse_kelvo_circuit_text(c.text);
        Sampler sampler(circuit, options);
        const uint64_t shots = 20000;
        const SampleResult result = sampler.sample_with_seed(shots, 5, false);
        uint64_t flips = 0;
        for (const std::string& row :
             testing::record_strings(result.measurements, sampler.program().num_records))
            flips += parity_of(row, c.pin) != c.pin.value;
        EXPECT_TRUE(testing::within_five_sigma(flips, result.passed_shots, c.flip_rate))
            << c.text << flips;
        if (c.normalize) {
            EXPECT_EQ(sampler.options().expected_detectors, std::vector<uint8_t>{1});
            uint64_t fired = 0;
            for (const uint8_t d : result.detectors)
                fired += d;
            EXPECT_EQ(fired, flips);
        }
    }
}

// The compiler's certain flips (inverted reset-measurements, feedback on a constant record) are
// constants of the noiseless parity, not noise: a fixed parity is judged with them, and a free
// one is forced with them.
TEST(PinningSamplingTest, CertainFlipsAreConstantsOfThePinnedParity) {
    const struct {
        const char* text;
        MeasurementParity pin;
        const char* refusal;  // nullptr: the pin holds in every shot
    } cases[] = {
        {"H 0\nMR !0\nM 0\n", {{1}, false}, nullptr},
        {"H 0\nMR !0\nM 0\n",
         {{1}, true},
         "pinned measurement parity over [1] is deterministic and cannot be 1"},
        {"MPAD 1\nH 1\nCX rec[-1] 0\nM 0 1\n",
         {{1}, false},
         "pinned measurement parity over [1] is deterministic and cannot be 0"},
        {"MPAD 1\nH 1\nCX rec[-1] 0\nM 0 1\n", {{1, 2}, false}, nullptr},
        {"H 0 2\nMR !0\nM 0\nCX rec[-1] 1\nM 1 2\n", {{0, 2, 3}, true}, nullptr},
    };
    for (const auto& c : cases) {
        SamplerOptions options;
        options.pin_measurements = {c.pin};
        const Circuit circuit = parse_kelvo_circuit_text(c.text);
        if (c.refusal != nullptr) {
            testing::expect_refused([&] { Sampler(circuit, options); }, c.refusal);
            continue;
        }
        Sampler sampler(circuit, options);
        const SampleResult result = sampler.sample_with_seed(500, 2, false);
        for (const std::string& row :
             testing::record_strings(result.measurements, sampler.program().num_records))
            ASSERT_EQ(parity_of(row, c.pin), c.pin.value) << c.text << row;
    }
}

}  // namespace
}  // namespace kelvo
