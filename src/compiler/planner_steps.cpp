#include "compiler/planner_steps.h"

#include <algorithm>
#include <bit>
#include <utility>
#include <variant>
#include <vector>

#include "compiler/active_kernels.h"
#include "compiler/frame_transforms.h"
#include "compiler/relations.h"
#include "errors.h"

namespace kelvo {
namespace {

// A later outcome push starts after the operation being planned. (In consume mode the head
// entry is dropped right after planning, so whether it is covered makes no difference.)
constexpr uint64_t kAfterCurrent = 2;

[[noreturn]] void refuse(const char* message) {
    throw KelvoError::invalid_input(message);
}

int32_t largest_id(const SymbolicBool& sign) {
    return sign.conditions.empty() ? 0 : sign.conditions.back();
}

int32_t as_id(std::optional<uint32_t> id) {
    if (!id) return 0;
    KELVO_ASSERT(*id <= static_cast<uint32_t>(INT32_MAX), "condition id must be nonnegative");
    return static_cast<int32_t>(*id);
}

// The sign of s * m once m is written with coefficient +1: d = (phase - Y count) mod 4.
SymbolicBool sign_by_phase(const PauliString& m, const SymbolicBool& sign) {
    const uint64_t d = (m.phase + 4 - m.y_count() % 4) % 4;
    if (d % 2) refuse("Pauli measurement requires a Hermitian Pauli with real coefficient");
    return d == 2 ? xor_bool_constant(sign, true) : sign;
}

bool squares_to_identity(const PauliString& a) {
    return (a.phase + 4 - a.y_count() % 4) % 2 == 0;
}

bool same_body(const PauliString& a, const PauliString& b) {
    return a.num_qubits == b.num_qubits && a.x == b.x && a.z == b.z;
}

// The record an outcome writes: its own id (and later fresh ids go past it), a fresh id when
// it names neither a record nor a condition, none when only a condition stands for it.
std::optional<uint32_t> take_record(PendingFactoredState& state, std::optional<uint32_t> record,
                                    std::optional<uint32_t> condition) {
    if (record) {
        state.next_record = std::max(state.next_record, *record + 1);
        return record;
    }
    if (condition) return std::nullopt;
    return state.next_record++;
}

// Rows i of the new coordinates, as images in the current ones.
struct Tableau {
    std::vector<PauliString> x, z;

    void add(PauliString x_row, PauliString z_row) {
        x.push_back(std::move(x_row));
        z.push_back(std::move(z_row));
    }
    CliffordFrame frame(uint64_t n) {
        return CliffordFrame::from_xz_rows(n, std::move(x), std::move(z));
    }
};

}  // namespace

PauliString project_active_body(const PauliString& pauli, uint64_t k) {
    KELVO_ASSERT(k <= pauli.num_qubits, "qubit index out of range");
    PauliString a(k);
    const uint64_t words = a.x.size();
    uint64_t y = 0;
    for (uint64_t w = 0; w < words; ++w) {
        const uint64_t mask = (w + 1) * 64 <= k ? ~uint64_t{0} : (uint64_t{1} << (k % 64)) - 1;
        a.x[w] = pauli.x[w] & mask;
        a.z[w] = pauli.z[w] & mask;
        y += std::popcount(a.x[w] & a.z[w]);
    }
    a.phase = static_cast<uint8_t>(y % 4);
    return a;
}

void set_planning_active_count(PendingFactoredState& state, uint64_t k) {
    if (k > state.num_qubits) refuse("active qubit count exceeds total qubit count");
    state.active_qubits = k;
    state.max_active_qubits = std::max(state.max_active_qubits, k);
    // Planning never gives a dormant qubit a sign (outcomes are pushed into later operations
    // instead), so every entry is already false and only the length changes.
    state.dormant.signs.resize(state.num_qubits - k);
    state.dormant.count = state.num_qubits - k;
}

const FactoredInstruction& push_instruction(PendingFactoredState& state,
                                            FactoredInstruction instruction) {
    int32_t m = largest_id(instruction_sign(instruction));
    std::visit(
        [&m](const auto& kind) {
            if constexpr (requires { kind.outcome_condition; })
                m = std::max(m, kind.outcome_condition);
            if constexpr (requires { kind.condition; }) m = std::max(m, as_id(kind.condition));
        },
        instruction);
    KELVO_ASSERT(m >= 0, "condition id must be nonnegative");
    state.context.raise_next_condition_id_past(m);
    if (!state.plans_left_to_assembly) {
        std::visit(
            [](auto& kind) {
                if constexpr (requires { kind.sign_plan; }) kind.sign_plan.assign(kind.sign);
            },
            instruction);
    }
    state.instructions.push_back(std::move(instruction));
    return state.instructions.back();
}

std::optional<uint64_t> highest_dormant_x(const PauliString& pauli, uint64_t k) {
    for (uint64_t w = pauli.x.size(); w-- > 0;) {
        if (pauli.x[w] == 0) continue;
        const uint64_t q = w * 64 + 63 - std::countl_zero(pauli.x[w]);
        return q >= k ? std::optional<uint64_t>(q) : std::nullopt;
    }
    return std::nullopt;
}

void plan_dormant_rotation_promotion(PendingFactoredState& state,
                                     const PendingPauliRotation& rotation, uint64_t q) {
    const uint64_t n = state.num_qubits, k = state.active_qubits;
    const PauliString s = pauli_z(n, q);
    const PauliString b = positive_hermitian_body(rotation.pauli);
    KELVO_ASSERT(s.num_qubits == b.num_qubits, "Pauli strings act on different numbers of qubits");
    if (!pauli_anticommutes(s, b))
        refuse("dormant rotation promotion requires an anti-commuting fixed stabilizer");

    // The promoted qubit moves to position k; the other dormant qubits follow in order. In
    // consume mode that frame is applied row by row without being built.
    if (q < k) refuse("dormant rotation promotion frame did not repack dormant rows");
    // Only the Pauli is rewritten: the sign, which may name every earlier error, is not copied.
    PauliString promoted;
    if (state.in_order) {
        Tableau t;
        auto keep = [&](uint64_t i) {
            t.add(multiply_by_stabilizer_if_anticommutes(pauli_x(n, i), b, s),
                  multiply_by_stabilizer_if_anticommutes(pauli_z(n, i), b, s));
        };
        for (uint64_t i = 0; i < k; ++i)
            keep(i);
        t.add(b, s);
        for (uint64_t i = k; i < n; ++i)
            if (i != q) keep(i);
        const CliffordFrame frame = t.frame(n);
        promoted = frame.coordinates_in_frame(rotation.pauli);
        transform_pending_operations_by_frame(state, frame);
    } else {
        promoted = coordinates_after_promotion(rotation.pauli, k, q, b);
        transform_pending_operations_by_promotion(state, k, q, b);
    }
    if (!same_body(promoted, pauli_x(n, k)))
        refuse("dormant rotation tableau reduction did not expose promoted X");

    SymbolicBool sign = xor_bool_constant(rotation.sign, measurement_phase_sign(promoted));
    push_instruction(
        state, DormantPromotion{std::move(sign), SymbolicBoolEvaluationPlan{}, rotation.angle});
    set_planning_active_count(state, k + 1);
}

void plan_active_rotation(PendingFactoredState& state, const PendingPauliRotation& rotation) {
    const PauliString a = project_active_body(rotation.pauli, state.active_qubits);
    SymbolicBool sign = sign_by_phase(rotation.pauli, rotation.sign);
    if (!a.has_nonidentity_body()) return;
    if (!squares_to_identity(a)) refuse("active rotation Pauli must square to identity");
    PrecomputedActivePauliRotationKernel kernel(ActivePauliAction(a), rotation.angle);
    push_instruction(
        state, ActiveRotation{std::move(sign), SymbolicBoolEvaluationPlan{}, std::move(kernel)});
}

void plan_dormant_measurement_replacement(PendingFactoredState& state,
                                          const PendingPauliMeasurement& measurement, uint64_t q) {
    const uint64_t n = state.num_qubits;
    const PauliString s = pauli_z(n, q);
    const PauliString b = positive_hermitian_body(measurement.pauli);
    if (!pauli_anticommutes(s, b))
        refuse("dormant measurement replacement requires an anti-commuting fixed stabilizer");

    // The measured operator takes the place of Z_q's partner; Z_q stays the stabilizer. In
    // consume mode that frame is applied row by row without being built.
    PendingPauliMeasurement replaced = measurement;
    if (state.in_order) {
        Tableau t;
        for (uint64_t i = 0; i < n; ++i) {
            if (i == q) {
                t.add(s, b);
            } else {
                t.add(multiply_by_stabilizer_if_anticommutes(pauli_x(n, i), b, s),
                      multiply_by_stabilizer_if_anticommutes(pauli_z(n, i), b, s));
            }
        }
        const CliffordFrame frame = t.frame(n);
        replaced.pauli = frame.coordinates_in_frame(measurement.pauli);
        transform_pending_operations_by_frame(state, frame);
    } else {
        replaced.pauli = coordinates_after_replacement(measurement.pauli, q, b);
        transform_pending_operations_by_replacement(state, q, b);
    }
    if (!same_body(replaced.pauli, s))
        refuse("dormant measurement tableau reduction did not expose fixed Z");

    const SymbolicBool sign =
        xor_bool_constant(replaced.sign, measurement_phase_sign(replaced.pauli));
    const int32_t id = state.context.fresh_condition_id();
    const SymbolicBool coin = symbolic_bool(id);
    // The outcome's randomness leaves the dormant qubit: later operations that anticommute
    // with X_q take the coin into their signs, and q stays +Z_q.
    push_symbolic_pauli_through_pending_from(state, kAfterCurrent, pauli_x(n, q), coin);
    SymbolicBool outcome = xor_bool(sign, coin);
    const std::optional<uint32_t> record =
        take_record(state, measurement.record_id, measurement.condition_id);
    const FactoredInstruction& pushed =
        push_instruction(state, RandomOutcome{std::move(outcome), SymbolicBoolEvaluationPlan{},
                                              record, measurement.condition_id, std::nullopt, id});
    reduce_pending_signs_by_measurement_relation(state, measurement.condition_id,
                                                 instruction_sign(pushed));
}

void plan_active_measurement(PendingFactoredState& state,
                             const PendingPauliMeasurement& measurement) {
    const uint64_t n = state.num_qubits, k = state.active_qubits;
    const SymbolicBool sign = sign_by_phase(measurement.pauli, measurement.sign);
    const PauliString a = project_active_body(measurement.pauli, k);
    if (!squares_to_identity(a)) refuse("active measurement Pauli must square to identity");
    PrecomputedActivePauliMeasurementKernel kernel =
        PrecomputedActivePauliMeasurementKernel::from_pauli(a);
    const uint64_t p = kernel.pivot;
    const bool diagonal = kernel.kind == ActiveMeasurementKind::Diagonal;

    // The remaining active qubits keep their order (those above the pivot move down by one),
    // the pivot goes to k - 1, where the measured operator becomes Z_{k-1}.
    Tableau t;
    for (uint64_t i = 0; i < k; ++i) {
        if (i == p) continue;
        if (diagonal) {
            t.add(a.zbit(i) ? pauli_x(n, i) * pauli_x(n, p) : pauli_x(n, i), pauli_z(n, i));
        } else {
            t.add(a.zbit(i) ? pauli_x(n, i) * pauli_z(n, p) : pauli_x(n, i),
                  a.xbit(i) ? pauli_z(n, i) * pauli_z(n, p) : pauli_z(n, i));
        }
    }
    if (t.x.size() + 1 != k)
        refuse("active measurement tableau dropped the wrong number of qubits");
    PauliString measured(n);
    for (uint64_t i = 0; i < k; ++i) {
        measured.set_xbit(i, a.xbit(i));
        measured.set_zbit(i, a.zbit(i));
    }
    measured.phase = a.phase;
    t.add(diagonal ? pauli_x(n, p) : pauli_z(n, p), std::move(measured));
    for (uint64_t i = k; i < n; ++i)
        t.add(pauli_x(n, i), pauli_z(n, i));
    transform_pending_operations_by_frame(state, t.frame(n));

    const int32_t id = state.context.fresh_condition_id();
    const SymbolicBool branch = symbolic_bool(id);
    push_symbolic_pauli_through_pending_from(state, kAfterCurrent, pauli_x(n, k - 1), branch);
    SymbolicBool outcome = xor_bool(sign, branch);
    const std::optional<uint32_t> record =
        take_record(state, measurement.record_id, measurement.condition_id);
    const FactoredInstruction& pushed = push_instruction(
        state, ActiveMeasurement{std::move(outcome), SymbolicBoolEvaluationPlan{}, record,
                                 measurement.condition_id, std::nullopt, std::move(kernel), id});
    reduce_pending_signs_by_measurement_relation(state, measurement.condition_id,
                                                 instruction_sign(pushed));
    set_planning_active_count(state, k - 1);
}

void plan_active_expectation(PendingFactoredState& state, const PendingPauliMeasurement& request) {
    SymbolicBool sign = sign_by_phase(request.pauli, request.sign);
    const PauliString a = project_active_body(request.pauli, state.active_qubits);
    if (!squares_to_identity(a)) refuse("active expectation Pauli must square to identity");
    PrecomputedActivePauliMeasurementKernel kernel =
        PrecomputedActivePauliMeasurementKernel::from_pauli(a);
    push_instruction(
        state, ActiveMeasurement{std::move(sign), SymbolicBoolEvaluationPlan{}, std::nullopt,
                                 std::nullopt, request.expectation_index, std::move(kernel), 0});
}

void plan_zero_expectation(PendingFactoredState& state, const PendingPauliMeasurement& request) {
    push_instruction(state,
                     RandomOutcome{SymbolicBool{}, SymbolicBoolEvaluationPlan{}, std::nullopt,
                                   std::nullopt, request.expectation_index, 0});
}

void plan_deterministic_outcome(PendingFactoredState& state,
                                const PendingPauliMeasurement& measurement) {
    SymbolicBool sign = sign_by_phase(measurement.pauli, measurement.sign);
    const bool request = measurement.expectation_index.has_value();
    const std::optional<uint32_t> record =
        request ? std::nullopt
                : take_record(state, measurement.record_id, measurement.condition_id);
    const FactoredInstruction& pushed = push_instruction(
        state, DeterministicOutcome{std::move(sign), SymbolicBoolEvaluationPlan{}, record,
                                    measurement.condition_id, measurement.expectation_index});
    reduce_pending_signs_by_measurement_relation(state, measurement.condition_id,
                                                 instruction_sign(pushed));
}

void plan_classical_record(PendingFactoredState& state, const PendingClassicalRecord& record) {
    const std::optional<uint32_t> id = take_record(state, record.record_id, record.condition_id);
    push_instruction(state, DeterministicOutcome{record.value, SymbolicBoolEvaluationPlan{}, id,
                                                 record.condition_id, std::nullopt});
}

}  // namespace kelvo
