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

// `rows` rows of `width` words, clean past `live` shots (as every writer leaves them).
std::vector<uint64_t> random_rows(std::mt19937_64& rng, uint64_t rows, uint64_t width,
                                  uint64_t live) {
    std::vector<uint64_t> words(rows * width);
    for (uint64_t i = 0; i < words.size(); ++i)
        words[i] = rng() & live_word_mask(i % width, live);
    return words;
}

// The first `words` words of row r of `now` hold the bits of row r of `was` at the `alive`
// columns, then zeros.
bool compacted(const std::vector<uint64_t>& now, const std::vector<uint64_t>& was, uint64_t r,
               uint64_t width, const std::vector<uint64_t>& alive, uint64_t words = 0) {
    std::vector<uint64_t> want(words == 0 ? width : words);
    for (uint64_t j = 0; j < alive.size(); ++j)
        set_bit(want, j, get_bit(was, r * width * 64 + alive[j]));
    return std::equal(want.begin(), want.end(), now.begin() + r * width);
}

TEST(PostselectTest, CompactBitColumnsGathersTheAliveBitsInOrder) {
    std::mt19937_64 rng(3);
    std::vector<uint64_t> work;
    for (const uint64_t live : {1, 63, 65, 200, 2048}) {
        for (const uint64_t dead_per_64 : {0, 1, 32, 63, 64}) {
            const uint64_t width = word_count(live) + 1;  // a spare word that must stay
            std::vector<uint64_t> rows = random_rows(rng, 3, width, 64 * width), alive_mask(width);
            std::vector<uint64_t> alive;
            for (uint64_t s = 0; s < live; ++s)
                if (rng() % 64 >= dead_per_64) alive.push_back(s);
            for (const uint64_t s : alive)
                set_bit(alive_mask, s, true);
            const std::vector<uint64_t> before = rows, selected = {0, 2};
            compact_bit_columns(rows, width, selected, live, alive.size(), alive_mask, work);
            for (const uint64_t r : selected) {
                EXPECT_TRUE(compacted(rows, before, r, width, alive, width - 1));
                EXPECT_EQ(rows[r * width + width - 1], before[r * width + width - 1]);
            }
            EXPECT_TRUE(
                std::equal(rows.begin() + width, rows.begin() + 2 * width, before.begin() + width));
            EXPECT_EQ(testing::error_text(
                          [&] {
                              compact_bit_columns(rows, width, selected, live, alive.size() + 1,
                                                  alive_mask, work);
                          },
                          KelvoErrorKind::Internal),
                      "internal bit-plane compaction count mismatch");
        }
    }
}

SymbolicBool bool_of(std::initializer_list<int32_t> ids) {
    SymbolicBool b;
    for (const int32_t c : ids)
        b = xor_bool(b, symbolic_bool(c));
    return b;
}

// 0: coin 2 writing record 1 with condition 4 (sign 1 ^ 2); 1: detector over record 1;
// 2: rotation whose sign reads 4; 3: record-free detector reading 3. Two active qubits.
FactoredInstructionProgram small_program() {
    FactoredInstructionProgram p;
    const SymbolicBool s0 = bool_of({1, 2}), s2 = bool_of({4}), d = bool_of({3});
    p.instructions.push_back(RandomOutcome{s0, SymbolicBoolEvaluationPlan(s0), 1, 4, {}, 2});
    p.instructions.push_back(Detector{{{}, {1}, {}, 1, true}});
    p.instructions.push_back(ActiveRotation{s2, SymbolicBoolEvaluationPlan(s2), {}});
    p.instructions.push_back(Detector{{d, {}, SymbolicBoolEvaluationPlan(d), 2, true}});
    p.num_qubits = p.active_qubits = p.initial_active_qubits = 2;
    p.num_symbols = 5;
    p.num_records = p.num_detectors = 2;
    p.num_exp_vals = 1;
    return p;
}

TEST(PostselectTest, LastUseTablesAndWhenTheyAreRebuilt) {
    const FactoredInstructionProgram p = small_program(), q = small_program();
    BatchFactoredExecutorState state(p, 100, 1);
    BatchDetectorPostselectionScratch scratch;
    const std::vector<std::vector<int32_t>> retained = {{2}}, other = {{1}, {}}, outside = {{3}};
    const auto prepare = [&](const FactoredInstructionProgram& program,
                             const std::vector<std::vector<int32_t>>& table) {
        prepare_batch_detector_postselection_scratch_for_program(scratch, state, program,
                                                                 {{}, 2, table});
    };
    prepare(p, retained);
    EXPECT_EQ(scratch.condition_last_use, (std::vector<int64_t>{-1, 0, 0, 3, 2, -1}));
    EXPECT_EQ(scratch.record_last_use, (std::vector<int64_t>{-1, 1, 4}));
    EXPECT_EQ(retained_records_fingerprint({}), 0xcbf29ce484222325u);
    // A forced branch reads its conditions where it forces.
    state.forced_branches.push_back({SymbolicBoolEvaluationPlan(bool_of({5})), 2});
    prepare(p, retained);
    EXPECT_EQ(scratch.condition_last_use[5], 2);
    // The same program and table reuse the tables (a planted entry stays); another program or
    // table rebuilds them.
    scratch.record_last_use[1] = 77;
    prepare(p, retained);
    EXPECT_EQ(scratch.record_last_use[1], 77);
    prepare(q, retained);
    EXPECT_EQ(scratch.record_last_use[1], 1);
    scratch.record_last_use[1] = 77;
    prepare(q, other);
    EXPECT_EQ(scratch.record_last_use, (std::vector<int64_t>{-1, 4, -1}));

    FactoredInstructionProgram bad = small_program();
    std::get<Detector>(bad.instructions[1]).detector.records = {0};
    testing::expect_refused([&] { prepare(p, outside); },
                            "retained record use references an out-of-range measurement record");
    testing::expect_refused([&] { prepare(bad, retained); },
                            "detector references an out-of-range measurement record");
}

// A compaction after instruction 1 moves each survivor's amplitudes (flat, or per active
// component), expectation values and the rows read later to its new column, in both layouts:
// record 2 (retained), record 1 too when final, conditions 3 and 4 (not 2: read last at 0; not
// 5: never read), every detector row.
TEST(PostselectTest, CompactionMovesEverySurvivorColumn) {
    std::mt19937_64 rng(5);
    const FactoredInstructionProgram p = small_program();
    for (const bool shot_major : {false, true}) {
        for (const uint64_t live : {5, 64, 100}) {
            const bool components = live == 64, final = live == 100;
            BatchFactoredExecutorState state(p, 128, 1);
            state.shot_major = shot_major;
            state.record_detectors = true;
            reset_batch_executor(state, p, live);
            if (components) {  // components of 1 and 2 qubits, and an inactive one
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
            for (std::vector<double>* v : {&state.amplitude_re, &state.exp_values})
                for (double& a : *v)
                    a = static_cast<double>(rng() % 1000);
            const uint64_t w = state.words_per_batch;
            state.measurement_records = random_rows(rng, 2, w, live);
            state.detector_records = random_rows(rng, 2, w, live);
            state.symbol_table = random_rows(rng, 5, w, live);
            state.symbol_slots = {1, 2, 3, 4, 5};  // condition c in row c - 1
            state.symbol_rows = 5;
            state.assigned_symbols = {0b11110};  // conditions 2 to 5
            const BatchFactoredExecutorState before = state;
            BatchDetectorPostselectionScratch scratch;
            const std::vector<std::vector<int32_t>> retained = {{2}};
            prepare_batch_detector_postselection_scratch_for_program(scratch, state, p,
                                                                     {{}, 2, retained});
            std::vector<uint64_t> alive;
            for (uint64_t s = 0; s < live; ++s) {
                const bool dies = rng() % 3 == 0 || s == 3;
                set_bit(scratch.dead_mask, s, dies);
                scratch.dead_count += dies;
                if (!dies) alive.push_back(s);
            }
            compact_dead_shots_if_needed(state, scratch, 1, final, std::nullopt, false);
            ASSERT_EQ(state.live_shots, alive.size());
            EXPECT_EQ(scratch.dead_count, 0u);
            const auto amplitude = [&](const BatchFactoredExecutorState& of, int c, uint64_t b,
                                       uint64_t s) {
                const std::vector<double>& re =
                    c < 0 ? of.amplitude_re : of.components[c].amplitude_re;
                const uint64_t block = c < 0 ? of.basis_capacity : of.components[c].basis_capacity;
                return re[shot_major ? s * block + b : b * of.shot_stride + s];
            };
            for (uint64_t j = 0; j < alive.size(); ++j) {
                for (const int c : components ? std::vector<int>{0, 1} : std::vector<int>{-1})
                    for (uint64_t b = 0; b < (c == 0 ? 2u : 4u); ++b)
                        ASSERT_EQ(amplitude(state, c, b, j), amplitude(before, c, b, alive[j]));
                EXPECT_EQ(state.exp_values[j], before.exp_values[alive[j]]);
            }
            if (components) {
                EXPECT_EQ(state.components[2].amplitude_re, before.components[2].amplitude_re);
            }
            const auto same_row = [&](const std::vector<uint64_t>& a,
                                      const std::vector<uint64_t>& b, uint64_t r) {
                return std::equal(a.begin() + r * w, a.begin() + (r + 1) * w, b.begin() + r * w);
            };
            EXPECT_TRUE(
                compacted(state.measurement_records, before.measurement_records, 1, w, alive));
            EXPECT_EQ(compacted(state.measurement_records, before.measurement_records, 0, w, alive),
                      final);
            EXPECT_EQ(same_row(state.measurement_records, before.measurement_records, 0), !final);
            for (const uint64_t d : {0, 1})
                EXPECT_TRUE(
                    compacted(state.detector_records, before.detector_records, d, w, alive));
            for (const uint64_t row : {2, 3})
                EXPECT_TRUE(compacted(state.symbol_table, before.symbol_table, row, w, alive));
            for (const uint64_t row : {1, 4})
                EXPECT_TRUE(same_row(state.symbol_table, before.symbol_table, row));
        }
    }
}

// The survivors' records of `shots` shots run batch by batch in one chunk, every record
// retained, in either layout.
struct PostselectedRun {
    std::map<std::string, uint64_t> records;
    uint64_t survivors = 0, discarded = 0;
    uint64_t rng_state = 0;  // after the last batch, each batch seeded with its offset
};

PostselectedRun run_postselected(const FactoredInstructionProgram& program, uint64_t shots,
                                 uint64_t batch, bool shot_major) {
    PackedPresampledExogenous exogenous;
    prepare_presampled_exogenous_packed(exogenous, program);
    PresampledExpressionPlan plan;
    prepare_presampled_expression_plan(plan, program, exogenous);
    resample_prepared_exogenous_packed_in_place(exogenous, program, shots, 9);
    PresampledExpressionBlock block;
    evaluate_presampled_expression_block(block, plan, exogenous);
    BatchFactoredExecutorState state(program, batch, 1);
    state.shot_major = shot_major;
    std::vector<std::vector<int32_t>> all(1);
    for (uint64_t r = 1; r <= program.num_records; ++r)
        all[0].push_back(static_cast<int32_t>(r));
    BatchDetectorPostselectionScratch scratch;
    PostselectedRun run;
    for (uint64_t offset = 0; offset < shots; offset += batch) {
        reset_batch_executor(state, program, std::min(batch, shots - offset));
        state.rng_state = offset;
        const PostselectedBatch b = execute_batch_postselected_in_place(
            state, program, plan, block, offset, scratch, {{}, 2, all});
        EXPECT_EQ(b.survivors, state.live_shots);
        run.discarded += b.discarded;
        run.survivors += b.survivors;
        for (uint64_t s = 0; s < state.live_shots; ++s) {
            std::string row;
            for (uint64_t r = 0; r < program.num_records; ++r)
                row += get_bit(state.measurement_records, r * state.words_per_batch * 64 + s) ? '1'
                                                                                              : '0';
            ++run.records[row];
        }
        run.rng_state = state.rng_state;
    }
    return run;
}

// Noisy Clifford+T circuits with discarding detectors: the survivors' records follow the exact
// distribution conditioned on every postselected detector being quiet, and the discard rate is
// the exact probability of the others, in both layouts.
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
        {"H 0 1 2 3 4 5 6 7 8 9\nZ_ERROR(0.3) 1 2\nREPEAT 4 {\nT 0 1 2 3 4 5 6 7 8 9\n"
         "H 0 1 2 3 4 5 6 7 8 9\n}\nCX 0 1\nM 0\nDISCARD rec[-1]\nREPEAT 3 {\n"
         "T 1 2 3 4 5 6 7 8 9\nH 1 2 3 4 5 6 7 8 9\n}\nM 1 2 3 4 5 6 7 8 9\n"
         "DETECTOR rec[-1] rec[-2]\n",
         {0, 1},
         64},
        // Two discards in a row, more than 64 shots per batch.
        {"H 0\nT 0\nH 0\nM 0\nDISCARD rec[-1]\nH 1\nT 1\nH 1\nX_ERROR(0.3) 1\nM 1\n"
         "DISCARD rec[-1]\nH 2\nM 2\n",
         {},
         200},
    };
    const uint64_t shots = 20000;
    for (const auto& c : cases) {
        const Circuit circuit = parse_kelvo_circuit_text(c.text);
        const auto passes = [&](const std::string& records) {
            for (uint64_t d = 0; d < circuit.detectors.size(); ++d) {
                if (!circuit.detectors[d].discard && !(d < c.mask.size() && c.mask[d])) continue;
                bool fired = false;
                for (const size_t r : circuit.detectors[d].records)
                    fired ^= records[r - 1] == '1';
                if (fired) return false;
            }
            return true;
        };
        double kept = 0;
        const auto exact =
            testing::conditioned(testing::run_dense_circuit(circuit).records, passes, &kept);
        const FactoredInstructionProgram program = plan_circuit(circuit, c.mask);
        EXPECT_EQ(program.component_plan_enabled, circuit.num_qubits == 10);
        for (const bool shot_major : {false, true}) {
            const PostselectedRun run = run_postselected(program, shots, c.batch, shot_major);
            testing::expect_fits(run.records, exact, run.survivors, c.text);
            EXPECT_TRUE(testing::within_five_sigma(run.discarded, shots, 1 - kept));
            EXPECT_EQ(run.discarded + run.survivors, shots);
        }
    }
}

// Postselected detectors that never differ from their expected bits change nothing: the rows
// equal those of the same circuit sampled without postselection, with the same seed. (The
// first detector always fires and is expected to.)
TEST(PostselectSamplingTest, NoDeathLeavesTheRowsOfTheUnpostselectedRun) {
    const Circuit circuit = parse_kelvo_circuit_text(
        "H 0 1\nT 0\nX_ERROR(0.1) 2\nCX 0 1\nM 1\nX 3\nM 3\nDETECTOR rec[-1]\nH 0\nT 0\n"
        "M 0 2\nDETECTOR rec[-1]\nOBSERVABLE_INCLUDE(0) rec[-2]\n");
    SamplerOptions plain, postselected;
    plain.batch_size = postselected.batch_size = 100;
    plain.expected_detectors = postselected.expected_detectors = {1, 0};
    postselected.postselection_mask = {1, 0};
    Sampler a(circuit, plain), b(circuit, postselected);
    ASSERT_TRUE(b.has_postselection());
    const SampleResult x = a.sample_with_seed(1000, 3, true), y = b.sample_with_seed(1000, 3, true);
    EXPECT_EQ(y.discards, 0u);
    EXPECT_EQ(std::tie(x.measurements, x.detectors, x.observables, x.observable_ones),
              std::tie(y.measurements, y.detectors, y.observables, y.observable_ones));
}

// Dead shots are compacted away before a fair coin is drawn: it takes one generator word per
// 64 survivors, not per 64 shots of the batch.
TEST(PostselectSamplingTest, CoinsAfterADiscardDrawForSurvivorsOnly) {
    const FactoredInstructionProgram program =
        plan_circuit(parse_kelvo_circuit_text("H 0\nM 0\nDISCARD rec[-1]\nH 1\nM 1\n"), {});
    for (const bool shot_major : {false, true}) {
        const PostselectedRun run = run_postselected(program, 100, 100, shot_major);
        ASSERT_LE(run.survivors, 64u);  // one word where the batch's 100 shots need two
        EXPECT_EQ(run.rng_state, (2 + word_count(run.survivors)) * 0x9e3779b97f4a7c15);
    }
}

}  // namespace
}  // namespace kelvo
