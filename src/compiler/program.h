// The compiled program: the one value the compiler hands to the sampler. Read-only once
// assembled; every worker reads it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <variant>
#include <vector>

#include "cancellation.h"
#include "compiler/active_kernels.h"
#include "compiler/component_plan.h"
#include "symbolic.h"

namespace kelvo {

// Every kind but Detector starts with `sign` and `sign_plan`, the evaluation form of `sign`.
// Record ids are 1-based; `condition` is the id that stands for the outcome in later
// expressions; `exp_index` is a 0-based expectation slot.

// exp(-i angle P) on the active state, the angle negated in shots where `sign` is true.
struct ActiveRotation {
    SymbolicBool sign;
    SymbolicBoolEvaluationPlan sign_plan;
    PrecomputedActivePauliRotationKernel kernel;

    bool operator==(const ActiveRotation&) const = default;
};

// The first dormant qubit becomes active, then the rotation by `angle` (negated where `sign`).
struct DormantPromotion {
    SymbolicBool sign;
    SymbolicBoolEvaluationPlan sign_plan;
    double angle = 0;

    bool operator==(const DormantPromotion&) const = default;
};

// An outcome with no randomness of its own: `sign` is the outcome.
struct DeterministicOutcome {
    SymbolicBool sign;
    SymbolicBoolEvaluationPlan sign_plan;
    std::optional<uint32_t> record;
    std::optional<uint32_t> condition;
    std::optional<uint32_t> exp_index;

    bool operator==(const DeterministicOutcome&) const = default;
};

struct RecordDetector {
    SymbolicBool parity;  // XOR of the signs of the detector's records
    std::vector<int32_t> records;
    SymbolicBoolEvaluationPlan plan;
    uint32_t id = 0;  // 1-based
    bool postselect = false;

    bool operator==(const RecordDetector&) const = default;
};

// A detector checkpoint; its parity and plan play the roles of sign and sign_plan.
struct Detector {
    RecordDetector detector;

    bool operator==(const Detector&) const = default;
};

// Measures a Pauli on the active state; the sampled branch is `outcome_condition` and `sign`
// (which contains it) is the outcome. With `exp_index` and outcome_condition 0 it
// accumulates an expectation value instead.
struct ActiveMeasurement {
    SymbolicBool sign;
    SymbolicBoolEvaluationPlan sign_plan;
    std::optional<uint32_t> record;
    std::optional<uint32_t> condition;
    std::optional<uint32_t> exp_index;
    PrecomputedActivePauliMeasurementKernel kernel;
    int32_t outcome_condition = 0;

    bool operator==(const ActiveMeasurement&) const = default;
};

// A fair-coin outcome: `outcome_condition` is drawn uniformly per shot and `sign` contains
// it. With `exp_index` and outcome_condition 0 the slot receives 0.
struct RandomOutcome {
    SymbolicBool sign;
    SymbolicBoolEvaluationPlan sign_plan;
    std::optional<uint32_t> record;
    std::optional<uint32_t> condition;
    std::optional<uint32_t> exp_index;
    int32_t outcome_condition = 0;

    bool operator==(const RandomOutcome&) const = default;
};

// The alternative's index is the instruction kind, 0 to 5.
using FactoredInstruction = std::variant<ActiveRotation, DormantPromotion, DeterministicOutcome,
                                         Detector, ActiveMeasurement, RandomOutcome>;

// The sign of an instruction; a detector's parity.
const SymbolicBool& instruction_sign(const FactoredInstruction& instruction);
SymbolicBool& instruction_sign(FactoredInstruction& instruction);

// Independent conditions that share exactly this probability.
struct BernoulliSampleGroup {
    std::vector<int32_t> conditions;
    double probability = 0;

    bool operator==(const BernoulliSampleGroup&) const = default;
};

// Categorical distributions whose all-false outcome is nearly certain, with one shared
// outcome table; only the condition ids differ between members.
struct RareCategoricalSampleGroup {
    std::vector<std::vector<int32_t>> condition_lists;  // one per member
    std::vector<std::vector<uint64_t>> assignments;     // packed row of `width` bits per outcome
    std::vector<double> probabilities;
    std::vector<uint64_t> rare_outcomes;     // other outcomes of positive probability
    std::vector<double> rare_probabilities;  // theirs, rescaled by 1 / rare_mass
    double rare_mass = 0;                    // 1 - P(all-false outcome)
    uint64_t width = 0;

    bool operator==(const RareCategoricalSampleGroup&) const = default;
};

struct FactoredInstructionProgram {
    std::vector<FactoredInstruction> instructions;
    // For each pending-operation position, the number of instructions emitted before it.
    std::vector<int32_t> checkpoints;
    SymbolicContext context;
    std::vector<SymbolicCategoricalDistribution> categoricals;  // the ones that are not rare
    std::vector<RareCategoricalSampleGroup> rare_categorical_groups;
    std::vector<int32_t> dense_bernoulli_conditions;  // p >= 0.02, ascending id
    std::vector<double> dense_bernoulli_probabilities;
    std::vector<BernoulliSampleGroup> bernoulli_groups;  // p < 0.02
    uint64_t num_qubits = 0;
    uint64_t initial_active_qubits = 0;
    uint64_t active_qubits = 0;  // the most active qubits at any point
    uint64_t num_symbols = 0;    // largest condition id in use
    uint64_t num_records = 0;
    uint64_t num_detectors = 0;
    uint64_t num_exp_vals = 0;
    std::shared_ptr<const ActiveComponentPlan> component_plan;
    bool component_plan_enabled = false;

    // The only way to build a program: checks the sizes, reduces the
    // signs by the outcome relations, rebuilds every plan, counts, groups the conditions for
    // presampling and attaches the component plan. Throws KelvoError; Cancelled when
    // `cancel`, polled as the instructions and conditions are worked through, asks it to stop.
    static FactoredInstructionProgram with_context(uint64_t num_qubits,
                                                   uint64_t initial_active_qubits,
                                                   std::vector<FactoredInstruction> instructions,
                                                   uint64_t active_qubits, SymbolicContext context,
                                                   std::vector<int32_t> checkpoints,
                                                   const CancellationCheck& cancel = {});
};

}  // namespace kelvo
