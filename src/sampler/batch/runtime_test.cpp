#include "sampler/batch/runtime.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "bits.h"
#include "circuit/parser.h"
#include "compiler/compile.h"
#include "sampler/exogenous.h"
#include "splitmix64.h"
#include "testing/error_text.h"

namespace kelvo {
namespace {

// A compiled circuit with one chunk of presampled noise, ready to run batches.
struct Chunk {
    FactoredInstructionProgram program;
    PackedPresampledExogenous exogenous;
    PresampledExpressionPlan plan;
    PresampledExpressionBlock block;
    BatchFactoredExecutorState state;

    Chunk(const std::string& text, uint64_t shots, uint64_t batch, bool shot_major = true)
        : program(plan_circuit(parse_kelvo_circuit_text(text), {})) {
        prepare_presampled_exogenous_packed(exogenous, program);
        prepare_presampled_expression_plan(plan, program, exogenous);
        resample_prepared_exogenous_packed_in_place(exogenous, program, shots, 5);
        evaluate_presampled_expression_block(block, plan, exogenous);
        state = BatchFactoredExecutorState(program, batch, 1);
        state.shot_major = shot_major;
        state.record_detectors = true;
    }

    void run(uint64_t shots, uint64_t offset = 0, uint64_t rng = 1) {
        reset_batch_executor(state, program, shots);
        state.rng_state = rng;
        execute_batch_in_place_expressions(state, program, plan, block, offset);
    }
    std::span<const uint64_t> record(uint64_t r) const {
        return std::span(state.measurement_records)
            .subspan((r - 1) * state.words_per_batch, state.words_per_batch);
    }
};

TEST(BatchRuntime, RandomOutcomesDrawOneWordPer64LiveShots) {
    Chunk c("MX 0\n", 70, 128);
    c.run(70, 0, 42);
    uint64_t rng = 42;
    const uint64_t first = splitmix64_next(rng), second = splitmix64_next(rng);
    EXPECT_EQ(c.state.rng_state, rng);
    EXPECT_EQ(c.record(1)[0], first);
    EXPECT_EQ(c.record(1)[1], second & 0x3F);

    // A forced branch draws nothing and is the outcome.
    SymbolicBoolEvaluationPlan always;
    always.constant = true;
    c.state.forced_branches = {{always, 0}};
    c.run(70, 0, 42);
    EXPECT_EQ(c.state.rng_state, 42u);
    EXPECT_EQ(c.record(1)[0], ~uint64_t{0});
    EXPECT_EQ(c.record(1)[1], 0x3Fu);

    // No live shot: nothing runs.
    c.run(0, 0, 42);
    EXPECT_EQ(c.state.rng_state, 42u);
}

TEST(BatchRuntime, SignsReadTheBlockAtTheBatchOffset) {
    Chunk c("X_ERROR(0.5) 0\nM 0\n", 300, 100);
    const uint64_t e = c.plan.rows[0].block_expression_index;
    for (const uint64_t offset : {0, 37, 130, 200}) {
        c.run(100, offset);
        for (uint64_t s = 0; s < 100; ++s)
            ASSERT_EQ(get_bit(c.record(1), s), get_bit(c.block.row(e), offset + s)) << offset;
    }
    // The compacted form reads rows as given.
    std::vector<uint64_t> out;
    std::vector<uint64_t> words(2 * e + 2);
    words[2 * e] = 0xF0F0;
    words[2 * e + 1] = 7;
    BatchSignSource::workspace(c.plan, words, 2).eval(0, c.state, out);
    EXPECT_EQ(out, (std::vector<uint64_t>{0xF0F0, 7}));
    testing::expect_refused(
        [&] { BatchSignSource::workspace(c.plan, {}, 2).eval(0, c.state, out); },
        "batch presampled expression workspace is too short");
}

TEST(BatchRuntime, ExpectationSlotsAndDetectorParities) {
    Chunk c("X_ERROR(0.5) 0 1\nEXP_VAL Z0\nM 0 1\nDETECTOR rec[-1] rec[-2]\nH 2\nEXP_VAL Z2\n", 100,
            100);
    c.run(100);
    const double* z0 = c.state.exp_values.data();
    const double* z2 = z0 + c.state.batch_capacity;
    const uint64_t* detector = c.state.detector_records.data();
    for (uint64_t s = 0; s < 100; ++s) {
        ASSERT_EQ(z0[s], get_bit(c.record(1), s) ? -1.0 : 1.0);
        ASSERT_EQ(z2[s], 0.0);
        ASSERT_EQ(get_bit(std::span(detector, 2), s),
                  get_bit(c.record(1), s) != get_bit(c.record(2), s));
    }
    for (auto& instruction : c.program.instructions) {
        if (auto* d = std::get_if<Detector>(&instruction)) d->detector.records = {2, 3};
    }
    testing::expect_refused([&] { c.run(100); },
                            "detector references an out-of-range measurement record");
}

// 40 rotations on three active qubits run as shot-major runs of 32 and 8; the basis-major
// layout must give the same state, read out as expectation values.
TEST(BatchRuntime, ShotMajorRunsMatchBasisMajorKernels) {
    std::string text = "H 0 1 2\nX_ERROR(0.3) 0 1 2\nT 0 1 2\nH 0 1 2\nT 0 1 2\n";
    for (int i = 0; i < 10; ++i)
        text += "R_XX(0.3) 0 1\nR_PAULI(0.2) Y1*Z2\nR_PAULI(0.7) Z2*X0\nR_YY(0.1) 0 2\n";
    text += "EXP_VAL X0 Y1 Z2 X0*Z1 Y1*Y2\n";
    Chunk major(text, 64, 64, true), minor(text, 64, 64, false);
    major.run(64);
    minor.run(64);
    ASSERT_EQ(major.state.exp_values.size(), minor.state.exp_values.size());
    for (uint64_t i = 0; i < major.state.exp_values.size(); ++i)
        ASSERT_NEAR(major.state.exp_values[i], minor.state.exp_values[i], 1e-12);

    uint64_t first = 0;
    while (!std::holds_alternative<ActiveRotation>(major.program.instructions[first]))
        ++first;
    reset_batch_executor(major.state, major.program, 64);
    std::vector<uint64_t> work;
    const auto source = BatchSignSource::in_place(major.plan, major.block, 0);
    for (uint64_t i = 0; i < first; ++i)
        execute_batch_instruction(major.state, major.program.instructions[i], source, i, work);
    const std::vector<double> before = major.state.amplitude_re;
    const std::vector<uint64_t> dead = {0b10};
    EXPECT_EQ(
        execute_shot_major_rotation_run(major.state, major.program, source, first, dead, work),
        32u);
    const uint64_t block = major.state.basis_capacity;
    for (uint64_t b = 0; b < block; ++b)
        EXPECT_EQ(major.state.amplitude_re[block + b], before[block + b]);
}

TEST(BatchRuntime, StateAndPlanMustBelongToTheProgram) {
    Chunk c("H 0\nT 0\nM 0\n", 10, 10), other("M 0 1 2\n", 10, 10);
    reset_batch_executor(c.state, c.program, 10);
    testing::expect_refused(
        [&] { execute_batch_in_place_expressions(c.state, other.program, c.plan, c.block, 0); },
        "batch executor state does not match program");
    testing::expect_refused(
        [&] { execute_batch_in_place_expressions(c.state, c.program, other.plan, c.block, 0); },
        "batch presampled expression plan does not match program");
}

}  // namespace
}  // namespace kelvo
