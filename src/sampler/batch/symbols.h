// The per-batch tables of an executor state: one row of shot bits per random condition (with
// the set of conditions assigned so far), per measurement record and per detector; and the
// evaluation of symbolic Booleans against them.
//
// Rows have words_per_batch words and are clean past the live shots. Ids are 1-based and
// compared as signed 32-bit values, so an id below 1 (or above 2^31 - 1) is invalid.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "sampler/batch/executor.h"
#include "symbolic.h"

namespace kelvo {

// Gives condition `condition` its shot bits. A condition already assigned must receive the
// same live bits. Throws KelvoError (InvalidInput) for an id outside the table, a second value
// that differs, or `bits` shorter than the live words (the condition is then marked assigned).
void assign_batch_symbol(BatchFactoredExecutorState& state, uint32_t condition,
                         std::span<const uint64_t> bits);

// Hands out the rows of every condition the program's instructions give a value (measurement
// conditions and sampled outcomes), so that running its batches allocates nothing. Throws
// std::bad_alloc, changing nothing, when the rows cannot exist.
void reserve_batch_symbol_rows(BatchFactoredExecutorState& state,
                               const FactoredInstructionProgram& program);

// The row (words_per_batch words) of a condition that has a value in this batch. Throws
// KelvoError (InvalidInput) as check_condition_assigned does.
std::span<const uint64_t> batch_symbol_row(const BatchFactoredExecutorState& state,
                                           uint32_t condition);

// Throws KelvoError (InvalidInput) unless condition `condition` is in the table and assigned.
void check_condition_assigned(const BatchFactoredExecutorState& state, uint32_t condition);

// Throws KelvoError (InvalidInput) unless every condition of `plan` is assigned.
void check_batch_symbolic_plan_assigned(const SymbolicBoolEvaluationPlan& plan,
                                        const BatchFactoredExecutorState& state);

// out = the plan's value on every live shot (zero past them). Throws KelvoError (InvalidInput)
// when a condition has no value in this batch.
void eval_symbolic_bool_batch(std::vector<uint64_t>& out, const SymbolicBoolEvaluationPlan& plan,
                              const BatchFactoredExecutorState& state);

// bits ^= the plan's value on every live shot; `bits` is grown to words_per_batch words.
void xor_symbolic_bool_batch_into(std::vector<uint64_t>& bits,
                                  const SymbolicBoolEvaluationPlan& plan,
                                  const BatchFactoredExecutorState& state);

// Writes record `record` (growing the table when it is beyond it), then assigns `condition`
// the same bits. Without a record only the condition is assigned. Throws KelvoError
// (InvalidInput) for a record id below 1 and as assign_batch_symbol does.
void write_batch_measurement_record(BatchFactoredExecutorState& state,
                                    std::optional<uint32_t> record, std::span<const uint64_t> bits,
                                    std::optional<uint32_t> condition);

// ORs the bits into detector_any and, when detectors are recorded, writes row `detector`
// (growing the table when needed). Throws KelvoError (InvalidInput) for an id below 1.
void write_batch_detector_record(BatchFactoredExecutorState& state, uint32_t detector,
                                 std::span<const uint64_t> bits);

// A measurement whose sign is its outcome condition alone (possibly inverted) writes the branch
// bits straight into its record: `branch` is inverted in place on live shots when the sign's
// constant is set. Returns false, writing nothing, for any other sign; the caller evaluates the
// sign itself then.
bool write_direct_branch_measurement_record(BatchFactoredExecutorState& state,
                                            std::span<uint64_t> branch, uint32_t outcome_condition,
                                            const SymbolicBoolEvaluationPlan& sign_plan,
                                            std::optional<uint32_t> record,
                                            std::optional<uint32_t> condition);

}  // namespace kelvo
