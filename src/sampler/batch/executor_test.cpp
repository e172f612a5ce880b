#include "sampler/batch/executor.h"

#include <gtest/gtest.h>

#include <complex>
#include <functional>
#include <new>
#include <random>
#include <tuple>

#include "errors.h"
#include "testing/error_text.h"

namespace kelvo {
namespace {

using C = std::complex<double>;

FactoredInstructionProgram program_of(uint64_t initial, uint64_t active, uint64_t symbols = 3,
                                      uint64_t records = 2, uint64_t exp = 1) {
    FactoredInstructionProgram p;
    p.num_qubits = active + 2;
    p.initial_active_qubits = initial;
    p.active_qubits = active;
    p.num_symbols = symbols;
    p.num_records = records;
    p.num_detectors = 2;
    p.num_exp_vals = exp;
    return p;
}

// A program run as components of the given widths, the first `initial` of them live at start.
FactoredInstructionProgram component_program(std::vector<uint64_t> widths, uint64_t initial) {
    FactoredInstructionProgram p = program_of(initial, 8);
    auto plan = std::make_shared<ActiveComponentPlan>();
    plan->component_count = widths.size();
    plan->component_widths = std::move(widths);
    plan->initial_active_qubits = initial;
    p.component_plan = plan;
    p.component_plan_enabled = true;
    return p;
}

// Buffers beyond memory are refused (std::bad_alloc) before anything is allocated or changed.
TEST(ExecutorTest, SizesStridesAndOversizedBuffers) {
    using P = std::pair<uint64_t, uint64_t>;
    for (const P& c : {P{0, 2048}, P{4, 2048}, P{5, 1024}, P{14, 2}, P{15, 1}, P{61, 1}})
        EXPECT_EQ(default_batch_count(c.first), c.second) << c.first;
    testing::expect_refused([] { default_batch_count(62); },
                            "active qubit count is too large for machine basis indices");
    for (const P& c : {P{0, 1}, P{1, 1}, P{2, 2}, P{3, 4}, P{4, 4}, P{5, 8}, P{2048, 2048}})
        EXPECT_EQ(batch_shot_stride(c.first), c.second) << c.first;
    const BatchFactoredExecutorState by_default(program_of(0, 3), 0, 7);
    EXPECT_EQ(std::tuple(by_default.batch_capacity, by_default.shot_stride, by_default.rng_state),
              std::tuple(2048u, 2048u, 7u));

    EXPECT_THROW(batch_shot_stride(UINT64_MAX - 1), std::bad_alloc);
    EXPECT_THROW(BatchFactoredExecutorState(program_of(0, 45), 1, 1), std::bad_alloc);
    EXPECT_THROW(BatchFactoredExecutorState(program_of(0, 0), UINT64_MAX, 1), std::bad_alloc);
    EXPECT_THROW(BatchFactoredExecutorState(program_of(0, 20), uint64_t{1} << 50, 1),
                 std::bad_alloc);
    BatchFactoredExecutorState state(program_of(1, 2), 8, 1);
    const BatchFactoredExecutorState before = state;
    EXPECT_THROW(reset_batch_executor(state, program_of(1, 58), 8), std::bad_alloc);
    EXPECT_THROW(reset_batch_executor(state, component_program({57, 1}, 1), 8), std::bad_alloc);
    EXPECT_EQ(state.amplitude_re, before.amplitude_re);
    EXPECT_EQ(state.max_active_qubits, before.max_active_qubits);
    EXPECT_EQ(state.measurement_records, before.measurement_records);
}

TEST(ExecutorTest, ResetClearsEveryPlanePastTheLiveShotsInBothLayouts) {
    for (const bool shot_major : {false, true}) {
        BatchFactoredExecutorState state(program_of(2, 3), 150, 1);
        state.shot_major = shot_major;
        state.record_detectors = true;
        const auto planes = {&state.measurement_records, &state.detector_records,
                             &state.detector_any, &state.work_bits, &state.assigned_symbols};
        for (const uint64_t live : {150, 70, 1, 0, 129}) {
            for (auto* plane : planes)
                std::fill(plane->begin(), plane->end(), ~uint64_t{0});
            std::fill(state.amplitude_re.begin(), state.amplitude_re.end(), 5.0);
            std::fill(state.exp_values.begin(), state.exp_values.end(), 5.0);
            reset_batch_executor(state, program_of(2, 3), live);
            for (auto* plane : planes)
                EXPECT_EQ(std::count(plane->begin(), plane->end(), 0), plane->size());
            EXPECT_EQ(std::count(state.exp_values.begin(), state.exp_values.end(), 0.0), 150);
            EXPECT_EQ(state.live_shots, live);
            EXPECT_EQ(state.dormant_qubits, 3u);
            // Every live shot in |00>: 1 at basis 0, 0 at bases 1 to 3.
            const uint64_t block = shot_major ? 8 : 1, row = shot_major ? 1 : state.shot_stride;
            for (uint64_t s = 0; s < live; ++s) {
                for (uint64_t b = 0; b < 4; ++b)
                    EXPECT_EQ(state.amplitude_re[s * block + b * row], b == 0 ? 1.0 : 0.0);
            }
        }
        testing::expect_refused([&] { reset_batch_executor(state, program_of(2, 3), 151); },
                                "active batch shot count is out of range");
    }
}

TEST(ExecutorTest, ComponentPlanRefusals) {
    struct Refusal {
        std::vector<uint64_t> widths;
        uint64_t initial;
        int change;  // 1: no plan, 2: a step short, 3: a component without a width
        const char* message;
    };
    const Refusal refusals[] = {
        {{1}, 1, 1, "program does not contain an executable active component plan"},
        {{1}, 1, 2, "program does not contain an executable active component plan"},
        {{1}, 1, 3, "active component plan has inconsistent component capacities"},
        {{62}, 1, 0, "active qubit count is too large for machine basis indices"},
        {{1, 1}, 3, 0, "active component plan has the wrong initial component count"},
        {{0, 1}, 1, 0, "initial active component has insufficient storage"},
    };
    for (const Refusal& r : refusals) {
        FactoredInstructionProgram p = component_program(r.widths, r.initial);
        if (r.change == 1) p.component_plan = nullptr;
        if (r.change == 2) p.instructions.emplace_back(ActiveRotation{});
        if (r.change == 3)
            std::const_pointer_cast<ActiveComponentPlan>(p.component_plan)->component_count++;
        BatchFactoredExecutorState state(program_of(0, 1), 4, 1);
        testing::expect_refused([&] { reset_batch_executor(state, p, 4); }, r.message);
    }
}

// Components start in |0> on every shot (the last one inactive) and merge as the tensor
// product; a program without a plan goes back to the flat state.
TEST(ExecutorTest, ComponentsStartInZeroAndMergeAsTheTensorProduct) {
    std::mt19937_64 rng(3);
    std::normal_distribution<double> normal;
    for (const bool shot_major : {false, true}) {
        BatchFactoredExecutorState state(program_of(0, 1), 5, 1);
        state.shot_major = shot_major;
        reset_batch_executor(state, component_program({4, 2, 1, 1}, 3), 5);
        ASSERT_EQ(state.components.size(), 4u);
        EXPECT_TRUE(state.amplitude_re.empty());
        const auto at = [&](uint64_t c, uint64_t b, uint64_t s) {
            const BatchActiveComponent& comp = state.components[c];
            return shot_major ? s * comp.basis_capacity + b : b * state.shot_stride + s;
        };
        const uint64_t capacities[] = {16, 4, 2, 2}, widths[] = {1, 2, 1};
        std::vector<std::vector<C>> amps(3, std::vector<C>(5 * 4));
        for (uint64_t c = 0; c < 4; ++c) {
            BatchActiveComponent& comp = state.components[c];
            EXPECT_EQ(comp.active, c < 3);
            EXPECT_EQ(comp.basis_capacity, capacities[c]);
            EXPECT_EQ(comp.scratch_im.size(), state.shot_stride * comp.basis_capacity);
            for (uint64_t s = 0; s < 5 && c < 3; ++s) {
                EXPECT_EQ(comp.amplitude_re[at(c, 0, s)], 1.0);
                EXPECT_EQ(comp.amplitude_re[at(c, 1, s)], 0.0);
                comp.active_qubits = widths[c];
                for (uint64_t b = 0; b < (uint64_t{1} << widths[c]); ++b) {
                    amps[c][b * 5 + s] = C(normal(rng), normal(rng));
                    comp.amplitude_re[at(c, b, s)] = amps[c][b * 5 + s].real();
                    comp.amplitude_im[at(c, b, s)] = amps[c][b * 5 + s].imag();
                }
            }
        }
        const std::vector<uint64_t> merges = {9, 0, 2, 1, 3};
        testing::expect_refused([&] { merge_batch_components(state, merges, 1, 0, 0); },
                                "active component instruction has an invalid merge range");
        testing::expect_refused([&] { merge_batch_components(state, merges, 1, 2, 2); },
                                "active component merge has an invalid target");
        testing::expect_refused([&] { merge_batch_components(state, merges, 3, 2, 1); },
                                "active component merge source is inactive");
        testing::expect_refused(
            [&] { merge_batch_components(state, std::vector<uint64_t>{2, 1}, 0, 2, 2); },
            "active component merge target has insufficient storage");
        merge_batch_components(state, merges, 1, 3, 0);  // 0 <- 2, then 0 <- 1
        EXPECT_EQ(state.components[0].active_qubits, 4u);
        EXPECT_FALSE(state.components[1].active || state.components[2].active);
        for (uint64_t s = 0; s < 5; ++s) {
            for (uint64_t b = 0; b < 16; ++b) {
                const C want = amps[0][(b & 1) * 5 + s] * amps[2][((b >> 1) & 1) * 5 + s] *
                               amps[1][(b >> 2) * 5 + s];
                const C got(state.components[0].amplitude_re[at(0, b, s)],
                            state.components[0].amplitude_im[at(0, b, s)]);
                EXPECT_LT(std::abs(got - want), 1e-12) << b;
            }
        }
        testing::expect_refused(
            [&] { merge_batch_components(state, std::vector<uint64_t>{0, 0}, 0, 2, 0); },
            "active component merge has an invalid source");
        reset_batch_executor(state, program_of(0, 2), 3);
        EXPECT_TRUE(state.components.empty());
        EXPECT_FALSE(state.components_enabled);
        EXPECT_EQ(state.amplitude_re.size(), state.shot_stride * 4);
    }
}

TEST(ExecutorTest, BatchBitCopiesAndFillsAreCleanPastTheLiveShots) {
    std::vector<uint64_t> out(4, ~uint64_t{0});
    testing::expect_refused(
        [&] { copy_batch_bits(out, std::vector<uint64_t>{~uint64_t{0}}, 70, 2); },
        "batch bit vector is too short");
    copy_batch_bits(out, std::vector<uint64_t>(2, ~uint64_t{0}), 70, 2);
    EXPECT_EQ(out, (std::vector<uint64_t>{~uint64_t{0}, 0x3F, 0, 0}));
    BatchFactoredExecutorState state(program_of(0, 1), 130, 1);
    reset_batch_executor(state, program_of(0, 1), 65);
    std::vector<uint64_t> filled;
    fill_batch_bits(filled, state, true);
    EXPECT_EQ(filled, (std::vector<uint64_t>{~uint64_t{0}, 1, 0}));
    fill_batch_bits(filled, state, false);
    EXPECT_EQ(filled, std::vector<uint64_t>(3, 0));
    // Swapping hands the component's buffers over without copying.
    reset_batch_executor(state, component_program({1, 1}, 1), 65);
    const double* component_data = state.components[1].amplitude_re.data();
    swap_batch_component_buffers(state, 1);
    EXPECT_EQ(state.amplitude_re.data(), component_data);
    EXPECT_THROW(swap_batch_component_buffers(state, 2), FatalError);
}

}  // namespace
}  // namespace kelvo
