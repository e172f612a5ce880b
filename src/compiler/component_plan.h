// The active state split into components: groups of active qubits that have interacted,
// each stored as its own small vector and merged (tensor product) only when one operation
// touches several. The plan is simulated once at compile time; the executor replays it.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "cancellation.h"
#include "compiler/active_kernels.h"

namespace kelvo {

enum class ActiveComponentStepKind : uint8_t {
    None = 0,
    UntouchedRotation = 1,  // a rotation that is the identity on every component
    Rotation = 2,
    Promotion = 3,
    Measurement = 4,
};

// Step of one program instruction; `index` points into the list of its kind.
struct ActiveComponentInstructionStep {
    uint64_t index = 0;
    ActiveComponentStepKind kind = ActiveComponentStepKind::None;

    bool operator==(const ActiveComponentInstructionStep&) const = default;
};

// A merge order is the slice [merge_start, merge_start + merge_count) of the plan's `merges`:
// the target first, then the sources merged into it one by one. Length 1 means no merge.
struct ActiveComponentRotationStep {
    uint64_t component = 0;
    uint64_t merge_start = 0;
    uint64_t merge_count = 0;
    PrecomputedActivePauliRotationKernel kernel;  // over the target's local coordinates

    bool operator==(const ActiveComponentRotationStep&) const = default;
};

struct ActiveComponentMeasurementStep {
    uint64_t component = 0;
    uint64_t merge_start = 0;
    uint64_t merge_count = 0;
    PrecomputedActivePauliMeasurementKernel kernel;  // local, before the pivot leaves
    bool emptied = false;                            // the measured qubit was the component's last

    bool operator==(const ActiveComponentMeasurementStep&) const = default;
};

struct ActiveComponentPlan {
    std::vector<uint64_t> component_widths;  // per component, its largest width
    std::vector<ActiveComponentInstructionStep> instruction_steps;  // one per instruction
    std::vector<uint64_t> merges;
    std::vector<ActiveComponentRotationStep> rotation_steps;
    std::vector<uint64_t> promotion_targets;  // component created by each promotion
    std::vector<ActiveComponentMeasurementStep> measurement_steps;
    uint64_t initial_active_qubits = 0;
    uint64_t component_count = 0;
    double dense_cost = 0;
    double component_cost = 0;
    uint64_t dense_storage = 0;  // amplitudes of the dense scheme
    uint64_t peak_storage = 0;   // most amplitudes alive at once, saturating
    uint64_t storage = 0;        // amplitudes of every component at its widest, saturating
    bool enabled = false;

    bool operator==(const ActiveComponentPlan&) const = default;
};

struct FactoredInstructionProgram;

// Replays the program's coordinates once: every active qubit gets a coordinate number when it
// becomes active (the initial qubits 0.., then one per promotion); the active list holds the
// current coordinates in basis-index order. Programs below 8 active qubits or with
// expectation values get an empty, disabled plan. Throws KelvoError (InvalidInput) when the
// program is inconsistent or 62 or more qubits are active; Cancelled when `cancel`, polled
// between instructions, asks it to stop.
ActiveComponentPlan build_active_component_plan(const FactoredInstructionProgram& program,
                                                const CancellationCheck& cancel = {});

// Whether the component scheme pays for itself: enough steps, and a clear saving in work
// without much more storage.
bool component_plan_pays(uint64_t steps, double dense_cost, double component_cost,
                         uint64_t dense_storage, uint64_t storage);

// The building blocks of the replay.

struct PlanningComponent {
    std::vector<uint64_t> coordinates;  // position j is bit j of the local basis index
    bool alive = true;
};

// Per coordinate: its component, or its position in the active list.
using CoordinateTable = std::vector<std::optional<uint64_t>>;

// Components holding a support bit of the masks, in first-touch order; when nothing is
// touched, the component of the first active coordinate.
std::vector<uint64_t> touched_components(uint64_t x_mask, uint64_t z_mask,
                                         std::span<const uint64_t> active,
                                         const CoordinateTable& component_of);

// The target, then the other touched components ascending, each once.
std::vector<uint64_t> ordered_merge_sources(uint64_t target, std::vector<uint64_t> touched);

// Merges order[1..] into order[0] one by one and returns the cost (2 * 2^width per source).
double merge_planning_components(std::vector<PlanningComponent>& components,
                                 std::span<const uint64_t> order, CoordinateTable& component_of,
                                 std::vector<uint64_t>& component_widths);

// The action over the target's local coordinates.
ActivePauliAction remap_action(const ActivePauliAction& action,
                               std::span<const uint64_t> target_coordinates,
                               const CoordinateTable& active_position_of);

}  // namespace kelvo
