#include "compiler/pending.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>

#include "errors.h"
#include "testing/error_text.h"

namespace kelvo {
namespace {

using testing::error_text;

TEST(FrameFactoredState, NewChecksTheActiveCount) {
    EXPECT_EQ(error_text([] { FrameFactoredState(3, 4); }),
              "active qubit count exceeds total qubit count");
    const FrameFactoredState full(3, 3), fresh(3, 1);
    EXPECT_TRUE(full.dormant_signs.empty() && full.dormant_count == 0);
    EXPECT_EQ(fresh.dormant_signs, std::vector<SymbolicBool>(2));
    EXPECT_EQ(fresh.context, SymbolicContext());
}

TEST(FrameFactoredState, ErrorsSignLaterOperationsThroughTheFrame) {
    // Signs follow physical anticommutation, whatever the frame does to the bodies.
    FrameFactoredState state(2, 0);
    state.frame.left_cx(0, 1);
    apply_pauli(state, pauli_x(2, 0), 4);
    EXPECT_EQ(state.context.next_condition_id, 5u);
    EXPECT_EQ(apply_pauli_rotation(state, pauli_z(2, 0), 0.25),
              (PendingPauliRotation{pauli_z(2, 0), {{4}, false}, 0.25, {}}));
    apply_pauli(state, pauli_z(2, 0), 6);
    apply_pauli(state, pauli_y(2, 1), 9);
    const PendingPauliMeasurement& m =
        apply_pauli_measurement_signed(state, pauli_string("XX"), {{}, true}, 3, 8);
    EXPECT_EQ(m, (PendingPauliMeasurement{pauli_x(2, 0), {{6, 9}, true}, 3, 8, {}, {}}));
    // The same condition twice cancels.
    apply_pauli(state, pauli_x(2, 1), 9);
    EXPECT_EQ(apply_pauli_rotation(state, pauli_z(2, 1), 1.0).sign, SymbolicBool{});
    EXPECT_EQ(apply_pauli_rotation(state, pauli_string("ZZ"), 1.0).sign,
              (SymbolicBool{{4}, false}));
    // An identity records nothing, but its id is still reserved.
    apply_pauli(state, PauliString(2), 20);
    EXPECT_EQ(state.active_frame.entries().size(), 4u);
    EXPECT_EQ(state.context.next_condition_id, 21u);

    EXPECT_THROW(apply_pauli(state, pauli_x(3, 0), 1), FatalError);
    EXPECT_THROW(apply_pauli(state, pauli_x(2, 0), 0), FatalError);
    EXPECT_THROW(apply_pauli_rotation(state, pauli_x(1, 0), 1.0), FatalError);
}

TEST(FrameFactoredState, SymbolicPaulisRecordsAndRequests) {
    FrameFactoredState state(1, 0);
    apply_pauli_symbolic(state, pauli_x(1, 0), SymbolicBool{});
    EXPECT_TRUE(state.active_frame.entries().empty());
    apply_pauli_symbolic(state, pauli_x(1, 0), {{}, true});  // always true: a condition of p = 1
    apply_pauli_symbolic(state, pauli_x(1, 0), {{2, 3}, false});
    EXPECT_EQ(state.context.bernoulli, (std::map<int32_t, double>{{1, 1.0}}));
    EXPECT_EQ(state.active_frame.entries().size(), 3u);
    apply_classical_record(state, {{2, 11}, true}, 1, std::nullopt);
    EXPECT_EQ(state.context.next_condition_id, 12u);
    EXPECT_EQ(error_text([&] { apply_pauli_expectation(state, pauli_z(1, 0), -1); }),
              "expectation value index must be nonnegative");
    EXPECT_EQ(state.pending.size(), 1u);
    EXPECT_EQ(apply_pauli_expectation(state, pauli_z(1, 0), 5),
              (PendingPauliMeasurement{pauli_z(1, 0), {{1, 2, 3}, false}, {}, {}, 5, {}}));
}

TEST(PendingFactoredState, FromFrameStateTakesEverythingOver) {
    FrameFactoredState plain(2, 1);
    plain.frame.left_h_yz(0);
    const PendingFactoredState empty = PendingFactoredState::from_frame_state(std::move(plain));
    EXPECT_EQ(empty.next_record, 1u);
    EXPECT_FALSE(empty.in_order);
    EXPECT_EQ(empty.dormant, DormantState(1));
    EXPECT_TRUE(std::ranges::equal(empty.frame.rows(), CliffordFrame(2).rows()));
    EXPECT_EQ(empty.num_qubits, 2u);
    EXPECT_EQ(empty.initial_active_qubits + empty.active_qubits + empty.max_active_qubits, 3u);

    FrameFactoredState state(3, 0);
    state.dormant_signs[1] = {{40}, false};
    apply_pauli_measurement_signed(state, pauli_z(3, 0), {{7}, false}, 5, 50);
    apply_pauli_measurement_signed(state, pauli_z(3, 1), {}, 2, std::nullopt);
    apply_classical_record(state, {}, 6, 60);
    apply_pauli_rotation(state, pauli_x(3, 2), 0.5);
    const std::vector<PendingOperation> ops = state.pending;
    PendingFactoredState out = PendingFactoredState::from_frame_state(std::move(state));
    EXPECT_EQ(out.pending, ops);
    EXPECT_EQ(out.context.next_condition_id, 61u);
    EXPECT_EQ(out.next_record, 6u);  // records only count from measurements
    EXPECT_EQ(out.dormant.signs[1], (SymbolicBool{{40}, false}));
    EXPECT_EQ(out.dormant.count, 3u);
    EXPECT_FALSE(out.in_order);

    FrameFactoredState requests(1, 0);
    apply_pauli_expectation(requests, pauli_z(1, 0), 0);
    EXPECT_TRUE(PendingFactoredState::from_frame_state(std::move(requests)).in_order);
}

}  // namespace
}  // namespace kelvo
