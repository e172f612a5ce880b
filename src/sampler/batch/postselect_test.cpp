#include "sampler/batch/postselect.h"

#include <gtest/gtest.h>

#include <functional>
#include <random>

#include "bits.h"
#include "circuit/parser.h"
#include "compiler/compile.h"
#include "sampler/exogenous.h"
#include "sampler/prepared.h"
#include "testing/dense_circuit.h"
#include "testing/error_text.h"
#include "testing/record_statistics.h"

namespace kelvo {
namespace {

std::vector<uint64_t> random_words(std::mt19937_64& rng, uint64_t n) {
    std::vector<uint64_t> words(n);
    for (uint64_t& w : words)
        w = rng();
    return words;
}

// Against a bit-by-bit gather, over masks from sparse deaths to sparse survivors.
TEST(PostselectTest, CompactBitColumnsGathersTheAliveBitsInOrder) {
    std::mt19937_64 rng(3);
    std::vector<uint64_t> work;
    for (const uint64_t live : {1, 63, 64, 65, 200, 2048}) {
        for (const int density : {0, 1, 32, 63, 64}) {
            const uint64_t words = word_count(live), per_row = words + 1, n_rows = 3;
            std::vector<uint64_t> alive(words), rows = random_words(rng, per_row * n_rows);
            for (uint64_t s = 0; s < live; ++s)
                set_bit(alive, s, static_cast<int>(rng() % 64) >= density);
            if (density == 64) set_bit(alive, live - 1, true);
            uint64_t survivors = 0;
            for (const uint64_t w : alive)
                survivors += std::popcount(w);
            const std::vector<uint64_t> before = rows, selected = {0, 2};
            compact_bit_columns(rows, per_row, selected, live, survivors, alive, work);
            for (uint64_t r = 0; r < n_rows; ++r) {
                std::vector<bool> want;
                for (uint64_t s = 0; s < live; ++s)
                    if (get_bit(alive, s)) want.push_back(get_bit(before, r * per_row * 64 + s));
                for (uint64_t s = 0; s < words * 64; ++s) {
                    const bool got = get_bit(rows, r * per_row * 64 + s);
                    if (r == 1)
                        ASSERT_EQ(got, get_bit(before, r * per_row * 64 + s));
                    else
                        ASSERT_EQ(got, s < want.size() && want[s]) << live << " " << s;
                }
                EXPECT_EQ(rows[r * per_row + words], before[r * per_row + words]);
            }
            EXPECT_EQ(
                testing::error_text(
                    [&] { compact_bit_columns(rows, per_row, selected, live, 0, alive, work); },
                    KelvoErrorKind::Internal),
                survivors == 0 ? "no error" : "internal bit-plane compaction count mismatch");
        }
    }
}

SymbolicBool bool_of(std::initializer_list<int32_t> ids) {
    SymbolicBool b;
    for (const int32_t c : ids)
        b = xor_bool(b, symbolic_bool(c));
    return b;
}

// 0: outcome writing record 1 with condition 4 (sign 1 ^ 2); 1: detector over record 1;
// 2: rotation whose sign reads 4; 3: record-free detector reading 3.
FactoredInstructionProgram small_program() {
    FactoredInstructionProgram p;
    const SymbolicBool s0 = bool_of({1, 2}), s2 = bool_of({4});
    p.instructions.push_back(RandomOutcome{s0, SymbolicBoolEvaluationPlan(s0), 1, 4, {}, 2});
    p.instructions.push_back(Detector{{{}, {1}, {}, 1, true}});
    p.instructions.push_back(ActiveRotation{s2, SymbolicBoolEvaluationPlan(s2), {}});
    const SymbolicBool d = bool_of({3});
    p.instructions.push_back(Detector{{d, {}, SymbolicBoolEvaluationPlan(d), 2, true}});
    p.num_symbols = 5;
    p.num_records = 2;
    p.num_detectors = 2;
    return p;
}

TEST(PostselectTest, LastUseTablesAndWhenTheyAreRebuilt) {
    const FactoredInstructionProgram p = small_program(), q = small_program();
    BatchFactoredExecutorState state(p, 100, 1);
    BatchDetectorPostselectionScratch scratch;
    const std::vector<std::vector<int32_t>> retained = {{2}}, other = {{1}, {}};
    PostselectionContext context{{}, 2, retained};
    prepare_batch_detector_postselection_scratch_for_program(scratch, state, p, context);
    EXPECT_EQ(scratch.condition_last_use, (std::vector<int64_t>{-1, 0, 0, 3, 2, -1}));
    EXPECT_EQ(scratch.record_last_use, (std::vector<int64_t>{-1, 1, 4}));
    EXPECT_EQ(scratch.fingerprint, retained_records_fingerprint(retained));
    EXPECT_EQ(retained_records_fingerprint({}), 0xcbf29ce484222325u);

    // A forced branch reads its conditions where it forces.
    state.forced_branches.push_back({SymbolicBoolEvaluationPlan(bool_of({5})), 2});
    prepare_batch_detector_postselection_scratch_for_program(scratch, state, p, context);
    EXPECT_EQ(scratch.condition_last_use[5], 2);

    // Same program and table: reused (a planted entry survives); another program or table:
    // rebuilt.
    scratch.record_last_use[1] = 77;
    prepare_batch_detector_postselection_scratch_for_program(scratch, state, p, context);
    EXPECT_EQ(scratch.record_last_use[1], 77);
    prepare_batch_detector_postselection_scratch_for_program(scratch, state, q, context);
    EXPECT_EQ(scratch.record_last_use[1], 1);
    scratch.record_last_use[1] = 77;
    context.retained_records = other;
    prepare_batch_detector_postselection_scratch_for_program(scratch, state, q, context);
    EXPECT_EQ(scratch.record_last_use, (std::vector<int64_t>{-1, 4, -1}));

    const std::vector<std::vector<int32_t>> outside = {{3}};
    FactoredInstructionProgram bad_detector = small_program();
    std::get<Detector>(bad_detector.instructions[1]).detector.records = {0};
    const std::pair<std::function<void()>, std::string> cases[] = {
        {[&] {
             BatchDetectorPostselectionScratch s;
             prepare_batch_detector_postselection_scratch_for_program(s, state, p,
                                                                      {{}, 2, outside});
         },
         "retained record use references an out-of-range measurement record"},
        {[&] {
             BatchDetectorPostselectionScratch s;
             prepare_batch_detector_postselection_scratch_for_program(s, state, bad_detector,
                                                                      {{}, 2, retained});
         },
         "detector references an out-of-range measurement record"},
    };
    for (const auto& [call, message] : cases)
        EXPECT_EQ(testing::error_text(call), message);
}

// Compaction moves each survivor's amplitudes, expectation values and still-needed rows to
// its new column, in both layouts; rows no longer read stay as they were.
TEST(PostselectTest, CompactionMovesEverySurvivorColumn) {
    std::mt19937_64 rng(5);
    FactoredInstructionProgram p = small_program();
    p.num_qubits = 2;
    p.active_qubits = 2;
    p.initial_active_qubits = 2;
    p.num_exp_vals = 1;
    for (const bool shot_major : {false, true}) {
        for (const uint64_t live : {5, 64, 100}) {
            BatchFactoredExecutorState state(p, 128, 1);
            state.shot_major = shot_major;
            state.record_detectors = true;
            reset_batch_executor(state, p, live);
            // With 64 live shots the state runs as components of 1 and 2 qubits (and an
            // inactive one), filled by hand.
            const bool components = live == 64;
            if (components) {
                state.components_enabled = true;
                state.components.resize(3);
                for (uint64_t c = 0; c < 3; ++c) {
                    BatchActiveComponent& component = state.components[c];
                    component.active = c < 2;
                    component.active_qubits = c + 1;
                    component.basis_capacity = uint64_t{2} << c;
                    component.amplitude_re.resize(state.shot_stride * component.basis_capacity);
                    component.amplitude_im.resize(component.amplitude_re.size());
                    for (double& a : component.amplitude_re)
                        a = static_cast<double>(rng() % 1000);
                }
            }
            for (double& a : state.amplitude_re)
                a = static_cast<double>(rng() % 1000);
            for (double& e : state.exp_values)
                e = static_cast<double>(rng() % 1000);
            const uint64_t w = state.words_per_batch;
            const auto clean_rows = [&](uint64_t n) {  // as every writer leaves them
                std::vector<uint64_t> rows = random_words(rng, n * w);
                for (uint64_t i = 0; i < rows.size(); ++i)
                    rows[i] &= live_word_mask(i % w, live);
                return rows;
            };
            state.measurement_records = clean_rows(2);
            state.detector_records = clean_rows(2);
            state.symbol_table = clean_rows(5);
            state.assigned_symbols = {0b11110};  // conditions 2 to 5
            // The real amplitudes of basis b of shot s, flat or in a component.
            const auto amplitude = [&](const BatchFactoredExecutorState& of, int component,
                                       uint64_t b, uint64_t s) {
                const std::vector<double>& re =
                    component < 0 ? of.amplitude_re : of.components[component].amplitude_re;
                const uint64_t block =
                    component < 0 ? of.basis_capacity : of.components[component].basis_capacity;
                return re[shot_major ? s * block + b : b * of.shot_stride + s];
            };
            const BatchFactoredExecutorState before = state;
            BatchDetectorPostselectionScratch scratch;
            const std::vector<std::vector<int32_t>> retained = {{2}};
            prepare_batch_detector_postselection_scratch_for_program(scratch, state, p,
                                                                     {{}, 2, retained});
            std::vector<uint64_t> alive;
            for (uint64_t s = 0; s < live; ++s)
                if (rng() % 3 == 0 || s == 3) {
                    set_bit(scratch.dead_mask, s, true);
                    ++scratch.dead_count;
                } else {
                    alive.push_back(s);
                }
            // After instruction 1 (final: read at 1 too) these rows are still read: record 2
            // (retained), record 1 only when final; conditions 3 and 4, not 2 and 5.
            const bool final = live == 100;
            compact_dead_shots_if_needed(state, scratch, 1, final, std::nullopt, false);
            ASSERT_EQ(state.live_shots, alive.size());
            EXPECT_EQ(scratch.dead_count, 0u);
            const auto row = [&](const std::vector<uint64_t>& rows, uint64_t r) {
                return std::vector<uint64_t>(rows.begin() + r * w, rows.begin() + (r + 1) * w);
            };
            const auto compacted = [&](const std::vector<uint64_t>& now,
                                       const std::vector<uint64_t>& was, uint64_t r) {
                std::vector<uint64_t> want(w);
                for (uint64_t j = 0; j < alive.size(); ++j)
                    set_bit(want, j, get_bit(row(was, r), alive[j]));
                return row(now, r) == want;
            };
            for (uint64_t j = 0; j < alive.size(); ++j) {
                const uint64_t s = alive[j];
                for (const int c : components ? std::vector<int>{0, 1} : std::vector<int>{-1})
                    for (uint64_t b = 0; b < (c == 0 ? 2u : 4u); ++b)
                        ASSERT_EQ(amplitude(state, c, b, j), amplitude(before, c, b, s));
                EXPECT_EQ(state.exp_values[j], before.exp_values[s]);
            }
            if (components) {  // the inactive component stays
                EXPECT_EQ(state.components[2].amplitude_re, before.components[2].amplitude_re);
            }
            EXPECT_TRUE(compacted(state.measurement_records, before.measurement_records, 1));
            EXPECT_EQ(compacted(state.measurement_records, before.measurement_records, 0), final);
            EXPECT_EQ(row(state.measurement_records, 0) == row(before.measurement_records, 0),
                      !final);
            for (const uint64_t d : {0, 1})
                EXPECT_TRUE(compacted(state.detector_records, before.detector_records, d));
            for (const uint64_t c : {2, 3})  // conditions 3 and 4
                EXPECT_TRUE(compacted(state.symbol_table, before.symbol_table, c));
            for (const uint64_t c : {0, 1, 4})
                EXPECT_EQ(row(state.symbol_table, c), row(before.symbol_table, c));
        }
    }
}

// The records of the survivors of `shots` shots run batch by batch in one chunk, in either
// layout, every record retained.
struct PostselectedRun {
    std::vector<std::string> records;
    uint64_t discarded = 0;
};

PostselectedRun run_postselected(const FactoredInstructionProgram& program, uint64_t shots,
                                 uint64_t batch, bool shot_major, uint64_t seed) {
    PackedPresampledExogenous exogenous;
    prepare_presampled_exogenous_packed(exogenous, program);
    PresampledExpressionPlan plan;
    prepare_presampled_expression_plan(plan, program, exogenous);
    resample_prepared_exogenous_packed_in_place(exogenous, program, shots, seed);
    PresampledExpressionBlock block;
    evaluate_presampled_expression_block(block, plan, exogenous);
    BatchFactoredExecutorState state(program, batch, 1);
    state.shot_major = shot_major;
    state.record_detectors = true;
    std::vector<std::vector<int32_t>> all(1);
    for (uint64_t r = 1; r <= program.num_records; ++r)
        all[0].push_back(static_cast<int32_t>(r));
    BatchDetectorPostselectionScratch scratch;
    PostselectedRun run;
    for (uint64_t offset = 0; offset < shots; offset += batch) {
        reset_batch_executor(state, program, std::min(batch, shots - offset));
        state.rng_state = seed * 0x9e3779b97f4a7c15 + offset;
        const PostselectedBatch b = execute_batch_postselected_in_place(
            state, program, plan, block, offset, scratch, {{}, 2, all});
        EXPECT_EQ(b.survivors, state.live_shots);
        run.discarded += b.discarded;
        for (uint64_t s = 0; s < state.live_shots; ++s) {
            std::string row;
            for (uint64_t r = 0; r < program.num_records; ++r)
                row += get_bit(state.measurement_records, r * state.words_per_batch * 64 + s) ? '1'
                                                                                              : '0';
            run.records.push_back(row);
        }
    }
    return run;
}

// Whether no postselected detector of the circuit fires on these records.
bool passes(const Circuit& circuit, std::span<const uint8_t> mask, const std::string& records) {
    for (uint64_t d = 0; d < circuit.detectors.size(); ++d) {
        const CircuitDetector& detector = circuit.detectors[d];
        if (!detector.discard && !(d < mask.size() && mask[d] != 0)) continue;
        bool parity = false;
        for (const size_t r : detector.records)
            parity ^= records[r - 1] == '1';
        if (parity) return false;
    }
    return true;
}

// Noisy Clifford+T circuits with discarding detectors: the survivors' records follow the exact
// distribution conditioned on every postselected detector being quiet, and the discard rate is
// the exact probability of the others, in both layouts and through the Sampler.
TEST(PostselectSamplingTest, SurvivorsFollowTheDenseConditionalDistribution) {
    const struct {
        const char* text;
        std::vector<uint8_t> mask;
        uint64_t batch;
    } cases[] = {
        // A random outcome and a T-rotated qubit measured after the first discard.
        {"H 0 1\nT 0\nCX 0 2\nX_ERROR(0.2) 2\nT 1\nH 0 1\nM 0 1 2\nDISCARD rec[-1] rec[-3]\n"
         "H 2\nT 2\nH 2\nM 2\nDETECTOR rec[-1]\n",
         {},
         100},
        // Active states survive a compaction: qubit 0 keeps rotating after qubit 1 discards.
        {"H 0 1\nT 0 1\nCX 0 1\nH 1\nM 1\nDETECTOR rec[-1]\nH 0\nT 0\nH 0\nT 0\nM 0\n"
         "DEPOLARIZE1(0.1) 0\nM 0\nDETECTOR rec[-1] rec[-2]\n",
         {1, 0},
         64},
        // Ten rotated qubits, some with noisy signs: the active state runs as components.
        {"H 0 1 2 3 4 5 6 7 8 9\nZ_ERROR(0.3) 1 2\nREPEAT 4 {\nT 0 1 2 3 4 5 6 7 8 9\nH 0 1 2 3 4 "
         "5 6 7 8 9\n}\n"
         "CX 0 1\nM 0\nDISCARD rec[-1]\nREPEAT 3 {\nT 1 2 3 4 5 6 7 8 9\nH 1 2 3 4 5 6 7 8 9\n}\n"
         "M 1 2 3 4 5 6 7 8 9\nDETECTOR rec[-1] rec[-2]\n",
         {0, 1},
         64},
        // Two discards in a row, more than 64 shots per batch.
        {"H 0\nT 0\nH 0\nM 0\nDISCARD rec[-1]\nH 1\nT 1\nH 1\nX_ERROR(0.3) 1\nM 1\n"
         "DISCARD rec[-1]\nH 2\nM 2\n",
         {},
         200},
    };
    for (const auto& c : cases) {
        const Circuit circuit = parse_kelvo_circuit_text(c.text);
        double kept = 0;
        const auto exact = testing::conditioned(
            testing::run_dense_circuit(circuit).records,
            [&](const std::string& r) { return passes(circuit, c.mask, r); }, &kept);
        const FactoredInstructionProgram program = plan_circuit(circuit, c.mask);
        EXPECT_EQ(program.component_plan_enabled, circuit.num_qubits == 10);
        const uint64_t shots = 20000;
        for (const bool shot_major : {false, true}) {
            const PostselectedRun run = run_postselected(program, shots, c.batch, shot_major, 9);
            std::string why;
            EXPECT_TRUE(testing::fits_distribution(run.records, exact, &why)) << c.text << why;
            EXPECT_TRUE(testing::within_five_sigma(run.discarded, shots, 1 - kept));
            EXPECT_EQ(run.discarded + run.records.size(), shots);
        }
        SamplerOptions options;
        options.postselection_mask = c.mask;
        options.batch_size = c.batch;
        Sampler sampler(circuit, options);
        const SampleResult result = sampler.sample_with_seed(shots, 4, false);
        std::string why;
        EXPECT_TRUE(testing::fits_distribution(
            testing::record_strings(result.measurements, program.num_records), exact, &why))
            << why;
        EXPECT_TRUE(testing::within_five_sigma(result.discards, shots, 1 - kept));
        EXPECT_EQ(result.passed_shots + result.discards, shots);
        EXPECT_EQ(result.record_rows, result.passed_shots);
        EXPECT_EQ(sampler.sample_counts_with_seed(shots, 4).discards, result.discards);
    }
}

// Postselected detectors that never fire change nothing: the rows equal those of the same
// circuit sampled without postselection, with the same seed.
TEST(PostselectSamplingTest, NoDeathLeavesTheRowsOfTheUnpostselectedRun) {
    const char* text =
        "H 0 1\nT 0\nX_ERROR(0.1) 2\nCX 0 1\nM 1\nR 3\nM 3\nDETECTOR rec[-1]\nH 0\nT 0\nM 0 2\n"
        "DETECTOR rec[-1]\nOBSERVABLE_INCLUDE(0) rec[-2]\n";
    const Circuit circuit = parse_kelvo_circuit_text(text);
    SamplerOptions plain, postselected;
    plain.batch_size = postselected.batch_size = 100;
    postselected.postselection_mask = {1, 0};
    Sampler a(circuit, plain), b(circuit, postselected);
    ASSERT_TRUE(b.has_postselection());
    for (const bool packed : {false, true}) {
        const SampleResult x = a.sample_with_seed(1000, 3, packed);
        const SampleResult y = b.sample_with_seed(1000, 3, packed);
        EXPECT_EQ(y.discards, 0u);
        EXPECT_EQ(x.measurements, y.measurements);
        EXPECT_EQ(x.detectors, y.detectors);
        EXPECT_EQ(x.observables, y.observables);
        EXPECT_EQ(x.observable_ones, y.observable_ones);
    }
}

}  // namespace
}  // namespace kelvo
