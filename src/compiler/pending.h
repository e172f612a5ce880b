// The frame-factored state that lowering builds (Clifford frame, error frame, pending
// operations), the pending operations themselves, and the planner's state built from it.
#pragma once

#include <cstdint>
#include <optional>
#include <unordered_map>
#include <variant>
#include <vector>

#include "active_pauli_frame.h"
#include "compiler/anchor_chains.h"
#include "compiler/anchor_schedule.h"
#include "compiler/pending_columns.h"
#include "compiler/program.h"
#include "compiler/relation_index.h"
#include "compiler/sign_anchors.h"
#include "dormant_state.h"
#include "frames.h"
#include "pauli.h"
#include "symbolic.h"

namespace kelvo {

// exp(-i * angle * s * pauli), s = -1 in shots where `sign` is true. With an `anchor` (the
// condition id of an earlier measurement of the same body, see sign_anchors.h) `sign` is
// relative: the full sign is that measurement's full sign XOR `sign`.
struct PendingPauliRotation {
    PauliString pauli;
    SymbolicBool sign;
    double angle = 0.0;
    std::optional<uint32_t> anchor;

    bool operator==(const PendingPauliRotation&) const = default;
};

// Measures s * pauli (outcome true for eigenvalue -1). The outcome is condition
// `condition_id` and the value of record `record_id` (1-based) when present. With only
// `expectation_index` it is a request: s * pauli's expectation goes to that slot, no collapse.
// `anchor` as for a rotation.
struct PendingPauliMeasurement {
    PauliString pauli;
    SymbolicBool sign;
    std::optional<uint32_t> record_id;
    std::optional<uint32_t> condition_id;
    std::optional<uint32_t> expectation_index;
    std::optional<uint32_t> anchor;

    bool operator==(const PendingPauliMeasurement&) const = default;
};

// A record whose value is already known symbolically (MPAD, herald bits).
struct PendingClassicalRecord {
    SymbolicBool value;
    std::optional<uint32_t> record_id;
    std::optional<uint32_t> condition_id;

    bool operator==(const PendingClassicalRecord&) const = default;
};

// Index = kind: 0 rotation, 1 measurement, 2 classical record.
using PendingOperation =
    std::variant<PendingPauliRotation, PendingPauliMeasurement, PendingClassicalRecord>;

// The Pauli, the sign and the anchor of a rotation or measurement; none for a record.
PauliString* pauli_of(PendingOperation& op);
const PauliString* pauli_of(const PendingOperation& op);
SymbolicBool* sign_of(PendingOperation& op);
const SymbolicBool* sign_of(const PendingOperation& op);
std::optional<uint32_t> anchor_of(const PendingOperation& op);

// What lowering accumulates. Every pending operation is stored in the frame's input
// coordinates with the error frame folded into its sign, so it is final when appended.
struct FrameFactoredState {
    CliffordFrame frame;
    ActivePauliFrame active_frame;
    std::vector<SymbolicBool> dormant_signs;  // one per dormant qubit, false = +Z
    uint64_t dormant_count = 0;
    SymbolicContext context;
    std::vector<PendingOperation> pending;  // circuit order
    uint64_t num_qubits = 0;
    uint64_t active_qubits = 0;
    // When present, rotations, measurements and requests on a body measured before take their
    // signs relative to the last such measurement (the planner's road); absent, every sign is
    // full.
    std::optional<SignAnchorIndex> anchors;

    // Identity frames and no operations. Throws KelvoError (InvalidInput) "active qubit count
    // exceeds total qubit count" when active_qubits > num_qubits.
    FrameFactoredState(uint64_t num_qubits, uint64_t active_qubits);
};

// Lowering's output: `records[r - 1]` is the value of record r, and `positions[i]` the
// length of `pending` after the first i instructions (positions[0] = 0).
struct CircuitLoweringResult {
    FrameFactoredState state;
    std::vector<SymbolicBool> records;
    std::vector<uint64_t> positions;
};

// The operations below take a Pauli over the state's num_qubits qubits (fatal otherwise:
// "Pauli string dimension does not match frame-factored state") and pull it back through the
// frame. The returned references stay valid until the next append.

// Records `pauli` as an error under `condition` (>= 1, else fatal "condition id must be
// positive"); the context's next id is raised past it even when the pulled-back Pauli is the
// identity and nothing is recorded.
void apply_pauli(FrameFactoredState& state, const PauliString& pauli, int32_t condition);
// `pauli` once per term of `value`: a constant true becomes a fresh condition of probability
// 1. Context errors pass through.
void apply_pauli_symbolic(FrameFactoredState& state, const PauliString& pauli,
                          const SymbolicBool& value);
// apply_pauli_symbolic of X_q, or of Z_q when `z`: their pull-backs are frame rows, so no
// Pauli is built. A qubit >= num_qubits is fatal ("qubit index out of range").
void apply_qubit_pauli_symbolic(FrameFactoredState& state, uint64_t q, bool z,
                                const SymbolicBool& value);
// The same for the value that is condition `condition` alone.
void apply_qubit_pauli(FrameFactoredState& state, uint64_t q, bool z, int32_t condition);
const PendingPauliRotation& apply_pauli_rotation(FrameFactoredState& state,
                                                 const PauliString& pauli, double angle);
// Takes no condition id itself: the caller draws `condition_id` from the context.
const PendingPauliMeasurement& apply_pauli_measurement_signed(FrameFactoredState& state,
                                                              const PauliString& pauli,
                                                              const SymbolicBool& sign,
                                                              std::optional<uint32_t> record_id,
                                                              std::optional<uint32_t> condition_id);
// Throws KelvoError (InvalidInput) "expectation value index must be nonnegative" for
// index < 0, appending nothing.
const PendingPauliMeasurement& apply_pauli_expectation(FrameFactoredState& state,
                                                       const PauliString& pauli, int32_t index);
const PendingClassicalRecord& apply_classical_record(FrameFactoredState& state,
                                                     const SymbolicBool& value,
                                                     std::optional<uint32_t> record_id,
                                                     std::optional<uint32_t> condition_id);

// The planner's working state. The anchor schedule, column tables, relation store,
// instructions and checkpoints start empty and belong to the planner, frame transforms and
// relations.
struct PendingFactoredState {
    DormantState dormant;
    // Its next id is above every id the operations and dormant signs name: the planner takes
    // fresh ids from it.
    SymbolicContext context;
    CliffordFrame frame;
    std::vector<PendingOperation> pending;
    AnchorSchedule anchor_schedule;
    AnchorChains anchor_chains;
    PendingColumns columns;
    std::vector<SymbolicBool> relations;
    std::vector<std::vector<uint64_t>> relation_words;
    std::vector<FactoredInstruction> instructions;
    std::vector<uint32_t> checkpoints;
    ConditionRelationIndex relations_by_condition;
    RelationWordMasks relation_masks;
    std::unordered_map<int32_t, SymbolicBool> substitutions;
    std::vector<uint64_t> substitution_keys;  // bit id set when `substitutions` has id
    RelationScratch relation_scratch;
    uint64_t num_qubits = 0;
    uint64_t initial_active_qubits = 0;
    uint64_t active_qubits = 0;
    uint64_t max_active_qubits = 0;
    uint64_t cursor = 0;       // the next operation to plan; those before it are done
    uint32_t next_record = 1;  // 1 + the largest record id of a pending measurement
    bool deferred_frame = false;
    bool optimized = false;
    bool in_order = false;  // some pending measurement requests an expectation value
    // The signs came relative (lowered with anchors): the anchor schedule also chains the
    // rotations of a body never measured before them. The full-sign road keeps them full.
    bool chain_rotations = false;
    // The instructions' evaluation plans are left empty for the assembly, which builds every
    // plan from the sign it reduces (the planning loop of a caller that assembles next).
    bool plans_left_to_assembly = false;

    // Takes over the dormant signs, context and operations; drops both frames (the operations
    // already carry them). An id below 0 is fatal ("condition id must be nonnegative").
    static PendingFactoredState from_frame_state(FrameFactoredState&& state);
};

}  // namespace kelvo
