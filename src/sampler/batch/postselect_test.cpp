#include "sampler/batch/postselect.h"

#include <gtest/gtest.h>

#include <functional>
#include <random>

#include "bits.h"
#include "testing/error_text.h"

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
            compact_bit_columns(rows, per_row, selected, live, survivors, alive);
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
            EXPECT_EQ(testing::error_text(
                          [&] { compact_bit_columns(rows, per_row, selected, live, 0, alive); },
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
            const auto amplitude = [&](uint64_t b, uint64_t s) {
                return state.amplitude_re[shot_major ? s * state.basis_capacity + b
                                                     : b * state.shot_stride + s];
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
                for (uint64_t b = 0; b < 4; ++b)
                    ASSERT_EQ(amplitude(b, j),
                              before.amplitude_re[shot_major ? s * before.basis_capacity + b
                                                             : b * before.shot_stride + s]);
                EXPECT_EQ(state.exp_values[j], before.exp_values[s]);
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

}  // namespace
}  // namespace kelvo
