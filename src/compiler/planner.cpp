#include "compiler/planner.h"

#include <optional>
#include <utility>
#include <variant>
#include <vector>

#include "background_release.h"
#include "compiler/anchor_schedule.h"
#include "compiler/frame_transforms.h"
#include "compiler/optimizer.h"
#include "compiler/planner_steps.h"
#include "compiler/relations.h"
#include "errors.h"

namespace kelvo {
namespace {

// The sign a step plans with: a rotation's or measurement's sign, a record's value.
SymbolicBool& planned_sign_of(PendingOperation& operation) {
    return std::visit(
        [](auto& op) -> SymbolicBool& {
            if constexpr (requires { op.value; })
                return op.value;
            else
                return op.sign;
        },
        operation);
}

void raise_past(SymbolicContext& context, int32_t id) {
    KELVO_ASSERT(id >= 0, "condition id must be nonnegative");
    context.raise_next_condition_id_past(id);
}

void raise_past(SymbolicContext& context, std::optional<uint32_t> id) {
    if (id) raise_past(context, static_cast<int32_t>(*id));
}

void plan_rotation(PendingFactoredState& state, const PendingPauliRotation& rotation) {
    if (const auto q = highest_dormant_x(rotation.pauli, state.active_qubits))
        plan_dormant_rotation_promotion(state, rotation, *q);
    else
        plan_active_rotation(state, rotation);
}

void plan_measurement(PendingFactoredState& state, const PendingPauliMeasurement& measurement) {
    const bool request = measurement.expectation_index.has_value();
    const auto q = highest_dormant_x(measurement.pauli, state.active_qubits);
    if (q) {
        if (request)
            plan_zero_expectation(state, measurement);
        else
            plan_dormant_measurement_replacement(state, measurement, *q);
        return;
    }
    if (!project_active_body(measurement.pauli, state.active_qubits).has_nonidentity_body())
        plan_deterministic_outcome(state, measurement);
    else if (request)
        plan_active_expectation(state, measurement);
    else
        plan_active_measurement(state, measurement);
}

// Before operation i is planned, the operations anchored to it join the column tables with its
// Pauli (in the in-order mode the stored Paulis are never rewritten, so theirs already is), so
// that its own basis change and outcome push reach them.
void join_anchored(PendingFactoredState& state, uint64_t i) {
    for (const uint64_t j : state.anchor_schedule.dependents(i)) {
        state.anchor_schedule.release(j);
        PauliString& p = *pauli_of(state.pending[j]);
        if (!state.in_order)
            p = state.anchor_schedule.joining_pauli(j, *pauli_of(state.pending[i]));
        if (state.columns.built()) state.columns.add(j, p);
    }
}

// The sign operation i is planned with: its stored sign (relative, if it has an anchor)
// substituted, and its full sign reduced. When i anchors others, `link` receives what they take.
SymbolicBool sign_to_plan(PendingFactoredState& state, uint64_t i, SymbolicBool sign,
                          AnchorChains::Link* link) {
    const std::optional<AnchorChains::Link> anchor = state.anchor_schedule.take_value(i);
    substitute_by_pending_store(sign, state);
    return state.anchor_chains.reduce(state, anchor, std::move(sign), link);
}

// A rotation that acts on the dormant stabilizers only as a global phase: its sign reaches no
// instruction, so it is not reduced. Every id it names was handed out already, so raising the
// next free id past them does what raising past its reduced sign would.
bool emits_nothing(const PendingFactoredState& state, const PendingOperation& operation) {
    const auto* rotation = std::get_if<PendingPauliRotation>(&operation);
    return rotation != nullptr && !highest_dormant_x(rotation->pauli, state.active_qubits) &&
           !project_active_body(rotation->pauli, state.active_qubits).has_nonidentity_body();
}

// After operation i was planned, the operations anchored to it take its link.
void settle_anchored(PendingFactoredState& state, uint64_t i, AnchorChains::Link link) {
    AnchorSchedule& schedule = state.anchor_schedule;
    for (const uint64_t j : schedule.dependents(i)) {
        std::visit(
            [](auto& op) {
                if constexpr (requires { op.anchor; }) op.anchor.reset();
            },
            state.pending[j]);
        schedule.set_value(j, link);
    }
}

}  // namespace

const FactoredInstruction* process_next_pending_operation(PendingFactoredState& state) {
    // Both modes walk the list with the cursor: in consume mode it marks the head, so planned
    // operations are dropped without moving the rest of the list.
    if (state.cursor >= state.pending.size()) return nullptr;
    if (state.checkpoints.empty())
        state.checkpoints.push_back(static_cast<uint32_t>(state.instructions.size()));

    build_anchor_schedule(state);
    const uint64_t i = state.cursor;
    KELVO_ASSERT(!state.anchor_schedule.waiting(i), "an anchor precedes its operations");
    PendingOperation operation = state.pending[i];
    if (state.in_order && state.deferred_frame)
        operation = transform_operation_by_frame(operation, state.frame);
    SymbolicBool& sign = planned_sign_of(operation);
    const bool anchors_others = !state.anchor_schedule.dependents(i).empty();
    AnchorChains::Link link;
    // A rotation emitting nothing is still reduced when it anchors others: they resume its walk.
    if (!anchors_others && emits_nothing(state, operation))
        state.anchor_schedule.take_value(i);
    else
        sign = sign_to_plan(state, i, std::move(sign), anchors_others ? &link : nullptr);
    join_anchored(state, i);

    const size_t before = state.instructions.size();
    const SymbolicBool& final_sign = planned_sign_of(operation);
    raise_past(state.context, final_sign.conditions.empty() ? 0 : final_sign.conditions.back());
    if (const auto* rotation = std::get_if<PendingPauliRotation>(&operation)) {
        plan_rotation(state, *rotation);
        if (anchors_others) settle_anchored(state, i, link);
    } else if (const auto* measurement = std::get_if<PendingPauliMeasurement>(&operation)) {
        raise_past(state.context, measurement->condition_id);
        plan_measurement(state, *measurement);
        if (anchors_others) settle_anchored(state, i, link);
    } else {
        const auto& record = std::get<PendingClassicalRecord>(operation);
        raise_past(state.context, record.condition_id);
        plan_classical_record(state, record);
    }

    ++state.cursor;
    state.checkpoints.push_back(static_cast<uint32_t>(state.instructions.size()));
    return state.instructions.size() == before ? nullptr : &state.instructions.back();
}

void plan_pending_operations(PendingFactoredState& state, const CancellationCheck& cancel) {
    // The caller assembles the program next, which builds every plan from the sign it
    // reduces: plans built here would be thrown away.
    state.plans_left_to_assembly = true;
    struct Restore {
        bool& flag;
        ~Restore() { flag = false; }
    } restore{state.plans_left_to_assembly};
    // Each operation emits at most one instruction. Room for them all, taken at once, spares the
    // moves of a growing list, each of which (a second at millions of instructions) no poll
    // could interrupt.
    state.instructions.reserve(state.instructions.size() + state.pending.size() - state.cursor);
    while (state.cursor < state.pending.size()) {
        cancel.check();
        process_next_pending_operation(state);
    }
}

FactoredInstructionProgram plan_factored_updates(PendingFactoredState state,
                                                 const CancellationCheck& cancel) {
    const ReleaseOnUnwind release(state);
    if (!state.optimized && state.instructions.empty() && state.checkpoints.empty())
        optimize_pending_operations(state, {}, cancel);
    plan_pending_operations(state, cancel);
    std::vector<int32_t> checkpoints(state.checkpoints.begin(), state.checkpoints.end());
    return FactoredInstructionProgram::with_context(
        state.num_qubits, state.initial_active_qubits, std::move(state.instructions),
        state.max_active_qubits, std::move(state.context), std::move(checkpoints), cancel);
}

}  // namespace kelvo
