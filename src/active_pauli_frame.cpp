#include "active_pauli_frame.h"

#include <algorithm>
#include <new>
#include <utility>

#include "bits.h"
#include "errors.h"

namespace kelvo {
namespace {

std::variant<DenseRecordColumns, SparseRecordColumns> columns_for(uint64_t num_qubits) {
    if (num_qubits >= ActivePauliFrame::kSparseFromQubits) return SparseRecordColumns(num_qubits);
    return DenseRecordColumns(num_qubits);
}

}  // namespace

void ActivePauliFrame::check_pauli(const PauliString& p) const {
    constexpr const char* kMismatch = "Pauli string dimension does not match active Pauli frame";
    KELVO_ASSERT_EQ(p.num_qubits, n_, kMismatch);
    KELVO_ASSERT(p.words_are_consistent(), kMismatch);
}

ActivePauliFrame::ActivePauliFrame(uint64_t num_qubits)
    : columns_(columns_for(num_qubits)), n_(num_qubits) {}

ConditionalPauliString ActivePauliFrame::add_pauli(const PauliString& p, int32_t condition,
                                                   SymbolicContext& context) {
    record_pauli(p, condition, context);
    return {p, condition};
}

void ActivePauliFrame::record_pauli(const PauliString& p, int32_t condition,
                                    SymbolicContext& context) {
    // Every check and every allocation comes first, so a failure leaves the frame as it was.
    check_pauli(p);
    KELVO_ASSERT(condition >= 1, "condition id must be positive");
    const uint64_t e = conditions_.size();
    reserve_for(conditions_, e + 1);
    reserve_for(phases_, e + 1);
    std::visit(
        [&](auto& columns) {
            columns.prepare(e);
            columns.add(p, e);
        },
        columns_);
    conditions_.push_back(condition);
    phases_.push_back(p.phase);
    context.raise_next_condition_id_past(condition);
}

std::vector<ConditionalPauliString> ActivePauliFrame::entries() const {
    const uint64_t count = conditions_.size();
    std::vector<ConditionalPauliString> out;
    out.reserve(count);
    if (count > kBodyLimit) {
        for (const int32_t condition : conditions_)
            out.push_back({PauliString(), condition});
        return out;
    }
    std::vector<PauliString> bodies;
    bodies.reserve(count);
    for (uint64_t e = 0; e < count; ++e) {
        bodies.emplace_back(n_);
        bodies.back().phase = phases_[e];
    }
    std::visit([&](const auto& columns) { columns.scatter(bodies); }, columns_);
    for (uint64_t e = 0; e < count; ++e)
        out.push_back({std::move(bodies[e]), conditions_[e]});
    return out;
}

SymbolicPauliString ActivePauliFrame::conjugate_by(const PauliString& p) const {
    return {p, anticommutation_sign(p)};
}

SymbolicBool ActivePauliFrame::anticommutation_sign(const PauliString& p,
                                                    uint64_t first_record) const {
    check_pauli(p);
    if (first_record >= conditions_.size()) return SymbolicBool{};
    std::vector<int32_t> conditions;
    std::visit(
        [&](const auto& columns) {
            columns.append_anticommuting(p, first_record, conditions_, conditions);
        },
        columns_);
    return SymbolicBool{normalize_xor_conditions(std::move(conditions)), false};
}

}  // namespace kelvo
