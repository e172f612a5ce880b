#include "compiler/pending.h"

#include <algorithm>
#include <limits>
#include <utility>

#include "errors.h"

namespace kelvo {
namespace {

// The identity frame, built only once the counts are known to be consistent.
CliffordFrame checked_identity_frame(uint64_t num_qubits, uint64_t active_qubits) {
    if (active_qubits > num_qubits) {
        throw KelvoError::invalid_input("active qubit count exceeds total qubit count");
    }
    return CliffordFrame(num_qubits);
}

// Pulls `pauli` back through the frame: the operator in the frame's input coordinates.
PauliString pull_back(const FrameFactoredState& state, const PauliString& pauli) {
    KELVO_ASSERT_EQ(pauli.num_qubits, state.num_qubits,
                    "Pauli string dimension does not match frame-factored state");
    return state.frame.preimage(pauli);
}

// The pulled-back Pauli and its sign: the recorded errors it anticommutes with, XOR `own`.
// With anchors on and an earlier measurement of the same body, the sign is relative to it
// (only the errors recorded since then), and `anchor` names it.
struct LoweredSign {
    PauliString image;
    SymbolicBool sign;
    std::optional<uint32_t> anchor;
};

LoweredSign lowered_sign(const FrameFactoredState& state, const PauliString& pauli,
                         const SymbolicBool& own) {
    PauliString image = pull_back(state, pauli);
    const SignAnchor* anchor = state.anchors ? state.anchors->find(image) : nullptr;
    if (anchor == nullptr) {
        SymbolicBool sign = state.active_frame.anticommutation_sign(image);
        xor_into(sign, own);
        return {std::move(image), std::move(sign), std::nullopt};
    }
    SymbolicBool sign = state.active_frame.anticommutation_sign(image, anchor->frame_size);
    xor_into(sign, own);
    xor_into(sign, anchor->own_sign);
    return {std::move(image), std::move(sign), anchor->condition};
}

// An identity `image` records nothing, though its id is still reserved.
void record_error(FrameFactoredState& state, const PauliString& image, bool identity,
                  int32_t condition) {
    KELVO_ASSERT(condition >= 1, "condition id must be positive");
    state.context.raise_next_condition_id_past(condition);
    if (!identity) state.active_frame.record_pauli(image, condition, state.context);
}

// `image` once per term of `value`; a constant true becomes a certain condition.
void record_terms(FrameFactoredState& state, const PauliString& image, bool identity,
                  const SymbolicBool& value) {
    if (value.constant) {
        record_error(state, image, identity, state.context.fresh_certain_condition());
    }
    for (const int32_t condition : value.conditions)
        record_error(state, image, identity, condition);
}

int64_t largest_id(const SymbolicBool& value) {
    return value.conditions.empty() ? 0 : value.conditions.back();
}

// next_condition_id = max(next_condition_id, id + 1) for an id that may come from a u32 field.
void raise_past(SymbolicContext& context, int64_t id) {
    KELVO_ASSERT(id >= 0, "condition id must be nonnegative");
    KELVO_ASSERT(id < std::numeric_limits<int32_t>::max() + int64_t{1},
                 "condition id must be positive");
    context.raise_next_condition_id_past(static_cast<int32_t>(id));
}

}  // namespace

PauliString* pauli_of(PendingOperation& op) {
    if (auto* r = std::get_if<PendingPauliRotation>(&op)) return &r->pauli;
    if (auto* m = std::get_if<PendingPauliMeasurement>(&op)) return &m->pauli;
    return nullptr;
}

const PauliString* pauli_of(const PendingOperation& op) {
    if (const auto* r = std::get_if<PendingPauliRotation>(&op)) return &r->pauli;
    if (const auto* m = std::get_if<PendingPauliMeasurement>(&op)) return &m->pauli;
    return nullptr;
}

SymbolicBool* sign_of(PendingOperation& op) {
    if (auto* r = std::get_if<PendingPauliRotation>(&op)) return &r->sign;
    if (auto* m = std::get_if<PendingPauliMeasurement>(&op)) return &m->sign;
    return nullptr;
}

const SymbolicBool* sign_of(const PendingOperation& op) {
    if (const auto* r = std::get_if<PendingPauliRotation>(&op)) return &r->sign;
    if (const auto* m = std::get_if<PendingPauliMeasurement>(&op)) return &m->sign;
    return nullptr;
}

std::optional<uint32_t> anchor_of(const PendingOperation& op) {
    if (const auto* r = std::get_if<PendingPauliRotation>(&op)) return r->anchor;
    if (const auto* m = std::get_if<PendingPauliMeasurement>(&op)) return m->anchor;
    return std::nullopt;
}

FrameFactoredState::FrameFactoredState(uint64_t num_qubits, uint64_t active_qubits)
    : frame(checked_identity_frame(num_qubits, active_qubits)),
      active_frame(num_qubits),
      dormant_signs(num_qubits - active_qubits),
      dormant_count(num_qubits - active_qubits),
      num_qubits(num_qubits),
      active_qubits(active_qubits) {}

void apply_pauli(FrameFactoredState& state, const PauliString& pauli, int32_t condition) {
    KELVO_ASSERT(condition >= 1, "condition id must be positive");
    const PauliString image = pull_back(state, pauli);
    record_error(state, image, !image.has_nonidentity_body(), condition);
}

void apply_pauli_symbolic(FrameFactoredState& state, const PauliString& pauli,
                          const SymbolicBool& value) {
    if (!value.constant && value.conditions.empty()) return;
    // One pull-back serves every term of the XOR.
    const PauliString image = pull_back(state, pauli);
    record_terms(state, image, !image.has_nonidentity_body(), value);
}

void apply_qubit_pauli_symbolic(FrameFactoredState& state, uint64_t q, bool z,
                                const SymbolicBool& value) {
    KELVO_ASSERT(q < state.num_qubits, "qubit index out of range");
    // A frame row is the image of a Pauli under a Clifford: never the identity.
    record_terms(state, state.frame.row(z ? state.num_qubits + q : q), false, value);
}

void apply_qubit_pauli(FrameFactoredState& state, uint64_t q, bool z, int32_t condition) {
    KELVO_ASSERT(q < state.num_qubits, "qubit index out of range");
    record_error(state, state.frame.row(z ? state.num_qubits + q : q), false, condition);
}

const PendingPauliRotation& apply_pauli_rotation(FrameFactoredState& state,
                                                 const PauliString& pauli, double angle) {
    LoweredSign lowered = lowered_sign(state, pauli, SymbolicBool{});
    state.pending.emplace_back(PendingPauliRotation{
        std::move(lowered.image), std::move(lowered.sign), angle, lowered.anchor});
    return std::get<PendingPauliRotation>(state.pending.back());
}

const PendingPauliMeasurement& apply_pauli_measurement_signed(
    FrameFactoredState& state, const PauliString& pauli, const SymbolicBool& sign,
    std::optional<uint32_t> record_id, std::optional<uint32_t> condition_id) {
    LoweredSign lowered = lowered_sign(state, pauli, sign);
    if (state.anchors && condition_id) {
        state.anchors->remember(lowered.image,
                                SignAnchor{*condition_id, state.active_frame.size(), sign});
    }
    state.pending.emplace_back(PendingPauliMeasurement{std::move(lowered.image),
                                                       std::move(lowered.sign), record_id,
                                                       condition_id, std::nullopt, lowered.anchor});
    return std::get<PendingPauliMeasurement>(state.pending.back());
}

const PendingPauliMeasurement& apply_pauli_expectation(FrameFactoredState& state,
                                                       const PauliString& pauli, int32_t index) {
    if (index < 0) throw KelvoError::invalid_input("expectation value index must be nonnegative");
    LoweredSign lowered = lowered_sign(state, pauli, SymbolicBool{});
    state.pending.emplace_back(
        PendingPauliMeasurement{std::move(lowered.image), std::move(lowered.sign), std::nullopt,
                                std::nullopt, static_cast<uint32_t>(index), lowered.anchor});
    return std::get<PendingPauliMeasurement>(state.pending.back());
}

const PendingClassicalRecord& apply_classical_record(FrameFactoredState& state,
                                                     const SymbolicBool& value,
                                                     std::optional<uint32_t> record_id,
                                                     std::optional<uint32_t> condition_id) {
    raise_past(state.context, largest_id(value));
    state.pending.emplace_back(PendingClassicalRecord{value, record_id, condition_id});
    return std::get<PendingClassicalRecord>(state.pending.back());
}

PendingFactoredState PendingFactoredState::from_frame_state(FrameFactoredState&& state) {
    SymbolicContext& context = state.context;
    for (const SymbolicBool& sign : state.dormant_signs)
        raise_past(context, largest_id(sign));

    uint32_t next_record = 1;
    bool in_order = false;
    for (const PendingOperation& op : state.pending) {
        if (const auto* rotation = std::get_if<PendingPauliRotation>(&op)) {
            raise_past(context, largest_id(rotation->sign));
        } else if (const auto* m = std::get_if<PendingPauliMeasurement>(&op)) {
            raise_past(context,
                       std::max<int64_t>(largest_id(m->sign), m->condition_id.value_or(0)));
            in_order = in_order || m->expectation_index.has_value();
            if (m->record_id && *m->record_id >= next_record) next_record = *m->record_id + 1;
        } else {
            const auto& record = std::get<PendingClassicalRecord>(op);
            raise_past(context, std::max<int64_t>(largest_id(record.value),
                                                  record.condition_id.value_or(0)));
        }
    }

    PendingFactoredState out;
    out.dormant.count = state.dormant_signs.size();
    out.dormant.signs = std::move(state.dormant_signs);
    out.context = std::move(context);
    out.frame = CliffordFrame(state.num_qubits);
    out.pending = std::move(state.pending);
    out.num_qubits = state.num_qubits;
    out.initial_active_qubits = out.active_qubits = out.max_active_qubits = state.active_qubits;
    out.next_record = next_record;
    out.in_order = in_order;
    out.chain_rotations = state.anchors.has_value();
    return out;
}

}  // namespace kelvo
