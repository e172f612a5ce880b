// The active state split into components: groups of active qubits that have interacted,
// each stored as its own small vector and merged (tensor product) only when one operation
// touches several. The plan is simulated once at compile time; the executor replays it.
#pragma once

#include <cstdint>
#include <vector>

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

}  // namespace kelvo
