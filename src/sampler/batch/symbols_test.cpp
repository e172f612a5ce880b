#include "sampler/batch/symbols.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>

#include "bits.h"
#include "errors.h"
#include "testing/error_text.h"

namespace kelvo {
namespace {

// An executor with `symbols` conditions and 3 measurement records, reset for `live` shots.
BatchFactoredExecutorState executor(uint64_t symbols, uint64_t live, uint64_t capacity = 2048) {
    FactoredInstructionProgram p;
    p.num_symbols = symbols;
    p.num_records = 3;
    p.num_detectors = 2;
    BatchFactoredExecutorState state(p, capacity, 1);
    reset_batch_executor(state, p, live);
    return state;
}

std::vector<uint64_t> random_words(std::mt19937_64& rng, uint64_t n) {
    std::vector<uint64_t> words(n);
    for (uint64_t& w : words)
        w = rng();
    return words;
}

// Batch evaluation against the plan's own single-shot evaluation on each shot's column.
TEST(SymbolsTest, BatchEvaluationMatchesEvaluationShotByShot) {
    std::mt19937_64 rng(21);
    for (const uint64_t live : {1, 64, 70, 2048}) {
        BatchFactoredExecutorState state = executor(130, live);
        for (uint32_t c = 1; c <= 130; ++c)
            assign_batch_symbol(state, c, random_words(rng, state.words_per_batch));
        for (int rep = 0; rep < 12; ++rep) {
            SymbolicBool value;
            value.constant = rng() & 1;
            const uint64_t n = 1 + rng() % 40;
            for (uint64_t i = 0; i < n; ++i)
                value = xor_bool(value, symbolic_bool(1 + static_cast<int32_t>(rng() % 130)));
            const SymbolicBoolEvaluationPlan plan(value);
            std::vector<uint64_t> out, xored = random_words(rng, state.words_per_batch);
            const std::vector<uint64_t> before = xored;
            eval_symbolic_bool_batch(out, plan, state);
            xor_symbolic_bool_batch_into(xored, plan, state);
            for (uint64_t s = 0; s < state.words_per_batch * 64; ++s) {
                std::vector<uint64_t> column(word_count(130));
                for (uint64_t c = 0; c < 130; ++c)
                    set_bit(column, c,
                            get_bit(batch_symbol_row(state, static_cast<uint32_t>(c + 1)), s));
                const bool want = s < live && plan.evaluate(column);
                ASSERT_EQ(get_bit(out, s), want) << live << " " << s;
                // XORing into a vector keeps the words past the live ones as they were.
                const bool kept = s / 64 >= word_count(live) && get_bit(before, s);
                ASSERT_EQ(get_bit(xored, s), s < live ? want != get_bit(before, s) : kept);
            }
        }
    }
}

TEST(SymbolsTest, RefusalsAsOneTable) {
    BatchFactoredExecutorState state = executor(40, 70, 128);
    const std::vector<uint64_t> ones(2, ~uint64_t{0}), one_word(1, 0);
    assign_batch_symbol(state, 1, ones);
    SymbolicBool two = xor_bool(symbolic_bool(1), symbolic_bool(2)), forty;
    for (int32_t c = 1; c <= 40; ++c)
        forty = xor_bool(forty, symbolic_bool(c));
    std::vector<uint64_t> out;
    const std::pair<std::function<void()>, std::string> cases[] = {
        {[&] { assign_batch_symbol(state, 1, std::vector<uint64_t>{~uint64_t{0}, 1}); },
         "symbolic condition was assigned inconsistent concrete batch values"},
        {[&] { assign_batch_symbol(state, 3, one_word); }, "batch bit vector is too short"},
        {[&] { check_condition_assigned(state, 2); },
         "symbolic condition expression has no concrete batch value"},
        {[&] { eval_symbolic_bool_batch(out, SymbolicBoolEvaluationPlan(two), state); },
         "symbolic condition expression has no concrete batch value"},
        {[&] { eval_symbolic_bool_batch(out, SymbolicBoolEvaluationPlan(forty), state); },
         "symbolic condition expression has no concrete batch value"},
        {[&] { write_batch_measurement_record(state, 0u, ones, std::nullopt); },
         "measurement record id must be positive"},
        {[&] { write_batch_detector_record(state, 0x80000000u, ones); },
         "detector id must be positive"},
    };
    for (const auto& [call, message] : cases)
        testing::expect_refused(call, message);
    for (const uint32_t c : {0u, 41u, 0x80000001u}) {
        testing::expect_refused([&] { assign_batch_symbol(state, c, ones); },
                                "symbolic condition exceeds batch executor symbol table");
    }
    // The too-short assignment still marked its condition.
    check_condition_assigned(state, 3);
    // A difference above the live shots is no difference.
    assign_batch_symbol(state, 1, std::vector<uint64_t>{~uint64_t{0}, ~uint64_t{0} << 6 | 0x3F});
}

// Of many conditions, only those given a value hold a row, the same one batch after batch.
TEST(SymbolsTest, RowsOnlyForConditionsGivenValues) {
    FactoredInstructionProgram p;
    p.num_symbols = 100000;
    BatchFactoredExecutorState state(p, 128, 1);
    const std::vector<uint64_t> a = {5, 6}, b = {7, 8};
    for (int batch = 0; batch < 3; ++batch) {
        reset_batch_executor(state, p, 128);
        EXPECT_THROW(batch_symbol_row(state, 99999), KelvoError);
        assign_batch_symbol(state, 99999, batch == 1 ? b : a);
        assign_batch_symbol(state, 7, batch == 1 ? a : b);
        EXPECT_TRUE(std::ranges::equal(batch_symbol_row(state, 99999), batch == 1 ? b : a));
        EXPECT_TRUE(std::ranges::equal(batch_symbol_row(state, 7), batch == 1 ? a : b));
        EXPECT_EQ(state.symbol_rows, 2u);
        EXPECT_LE(state.symbol_table.size(), 2 * state.words_per_batch);
    }
}

// A state built for a program holds the rows of its outcomes before any batch runs, so that the
// batches allocate nothing.
TEST(SymbolsTest, RowsOfAProgramsOutcomesAreReservedUpFront) {
    FactoredInstructionProgram p;
    p.num_symbols = 50;
    RandomOutcome coin;
    coin.condition = 7;
    coin.outcome_condition = 9;
    p.instructions = {coin};
    BatchFactoredExecutorState state(p, 128, 1);
    EXPECT_EQ(state.symbol_rows, 2u);
    const uint64_t* table = state.symbol_table.data();
    assign_batch_symbol(state, 9, std::vector<uint64_t>{1, 2});
    assign_batch_symbol(state, 7, std::vector<uint64_t>{3, 4});
    EXPECT_EQ(state.symbol_table.data(), table);
    EXPECT_EQ(state.symbol_rows, 2u);
    EXPECT_TRUE(std::ranges::equal(batch_symbol_row(state, 9), std::vector<uint64_t>{1, 2}));
}

TEST(SymbolsTest, RecordsDetectorsAndDirectBranches) {
    BatchFactoredExecutorState state = executor(4, 70, 128);
    const std::vector<uint64_t> bits = {0x1234, ~uint64_t{0}};
    write_batch_measurement_record(state, 5u, bits, 2u);
    EXPECT_EQ(state.measurement_count, 5u);
    EXPECT_EQ(state.measurement_records,
              (std::vector<uint64_t>{0, 0, 0, 0, 0, 0, 0, 0, 0x1234, 0x3F}));
    EXPECT_TRUE(
        std::ranges::equal(batch_symbol_row(state, 2), std::vector<uint64_t>{0x1234, 0x3F}));
    write_batch_detector_record(state, 2u, bits);
    EXPECT_TRUE(state.detector_records.empty());
    EXPECT_EQ(state.detector_any, (std::vector<uint64_t>{0x1234, 0x3F}));
    state.record_detectors = true;
    write_batch_detector_record(state, 3u, std::vector<uint64_t>{1, 0});
    EXPECT_EQ(state.detector_records, (std::vector<uint64_t>{0, 0, 0, 0, 1, 0}));
    EXPECT_EQ(state.detector_any, (std::vector<uint64_t>{0x1235, 0x3F}));

    // A sign that is exactly NOT(outcome condition) stores the inverted branch.
    std::vector<uint64_t> branch = {0xF0, 0x1, 0xFF};
    const SymbolicBoolEvaluationPlan inverted(xor_bool_constant(symbolic_bool(3), true));
    EXPECT_FALSE(write_direct_branch_measurement_record(state, branch, 4, inverted, 1u, 4u));
    EXPECT_TRUE(write_direct_branch_measurement_record(state, branch, 3, inverted, 1u, 4u));
    EXPECT_EQ(branch, (std::vector<uint64_t>{~uint64_t{0xF0}, 0x3E, 0}));
    EXPECT_EQ(std::vector<uint64_t>(state.measurement_records.begin(),
                                    state.measurement_records.begin() + 2),
              (std::vector<uint64_t>{~uint64_t{0xF0}, 0x3E}));
    EXPECT_TRUE(std::ranges::equal(batch_symbol_row(state, 4),
                                   std::vector<uint64_t>{~uint64_t{0xF0}, 0x3E}));
}

}  // namespace
}  // namespace kelvo
