#include "compiler/planner.h"

#include <utility>
#include <variant>
#include <vector>

#include "compiler/frame_transforms.h"
#include "compiler/optimizer.h"
#include "compiler/planner_steps.h"
#include "compiler/relations.h"
#include "errors.h"

namespace kelvo {
namespace {

SymbolicBool& sign_of(PendingOperation& operation) {
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

}  // namespace

const FactoredInstruction* process_next_pending_operation(PendingFactoredState& state) {
    // Both modes walk the list with the cursor: in consume mode it marks the head, so planned
    // operations are dropped without moving the rest of the list.
    if (state.cursor >= state.pending.size()) return nullptr;
    if (state.checkpoints.empty())
        state.checkpoints.push_back(static_cast<uint32_t>(state.instructions.size()));

    PendingOperation operation = state.pending[state.cursor];
    SymbolicBool& sign = sign_of(operation);
    substitute_by_pending_store(sign, state);
    if (!sign.conditions.empty() && !state.relations.empty())
        sign = reduce_sign_by_pending_relations(state, std::move(sign));
    if (state.in_order && state.deferred_frame)
        operation = transform_operation_by_frame(operation, state.frame);

    const size_t before = state.instructions.size();
    const SymbolicBool& final_sign = sign_of(operation);
    raise_past(state.context, final_sign.conditions.empty() ? 0 : final_sign.conditions.back());
    if (const auto* rotation = std::get_if<PendingPauliRotation>(&operation)) {
        plan_rotation(state, *rotation);
    } else if (const auto* measurement = std::get_if<PendingPauliMeasurement>(&operation)) {
        raise_past(state.context, measurement->condition_id);
        plan_measurement(state, *measurement);
    } else {
        const auto& record = std::get<PendingClassicalRecord>(operation);
        raise_past(state.context, record.condition_id);
        plan_classical_record(state, record);
    }

    ++state.cursor;
    state.checkpoints.push_back(static_cast<uint32_t>(state.instructions.size()));
    return state.instructions.size() == before ? nullptr : &state.instructions.back();
}

FactoredInstructionProgram plan_factored_updates(PendingFactoredState state,
                                                 const CancellationCheck& cancel) {
    if (!state.optimized && state.instructions.empty() && state.checkpoints.empty())
        optimize_pending_operations(state, {});
    while (state.cursor < state.pending.size()) {
        cancel.check();
        process_next_pending_operation(state);
    }
    std::vector<int32_t> checkpoints(state.checkpoints.begin(), state.checkpoints.end());
    return FactoredInstructionProgram::with_context(
        state.num_qubits, state.initial_active_qubits, std::move(state.instructions),
        state.max_active_qubits, std::move(state.context), std::move(checkpoints));
}

}  // namespace kelvo
