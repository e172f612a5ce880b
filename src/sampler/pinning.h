// Pinned measurement parities: a caller demands that the XOR of some measurement records take
// a fixed value in every shot. Each demand is met by forcing, instead of sampling, the branch
// of the last random measurement the parity depends on; the forced bit is the rest of the
// parity, evaluated per shot when that measurement runs.
#pragma once

#include <cstdint>
#include <span>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "compiler/program.h"
#include "sampler/batch/executor.h"
#include "symbolic.h"

namespace kelvo {

// The XOR of these measurement records (0-based, in the caller's order, repeats allowed) must
// equal `value`.
struct MeasurementParity {
    std::vector<uint64_t> records;
    bool value = false;
};

// Where a condition gets its value: it is the sampled branch of an ActiveMeasurement or
// RandomOutcome, or it stands for the outcome of instruction `instruction`.
struct SymbolSource {
    enum class Kind : uint8_t { Branch, Outcome };
    Kind kind = Kind::Branch;
    uint64_t instruction = 0;  // Outcome only
};

// The conditions and records of a program, and the expansion of outcome conditions into the
// branches and exogenous noise they depend on. Conditions without a source are exogenous; the
// compiler's certain flips among them are constants, not noise.
struct ProgramSymbols {
    std::unordered_map<int32_t, SymbolSource> sources;
    std::unordered_map<int32_t, uint64_t> branch_instructions;  // branch condition -> instruction
    std::unordered_map<int32_t, uint64_t> record_instructions;  // 1-based record -> writer
    std::unordered_map<int32_t, SymbolicBool> expansions;       // memo of expanded conditions
    std::unordered_set<int32_t> certain;                        // always-true conditions

    explicit ProgramSymbols(const FactoredInstructionProgram& program);

    // `value` with every outcome condition replaced, transitively, by its instruction's outcome
    // expression and every certain flip by the constant 1: what remains are branch conditions
    // and noise. Throws KelvoError (InvalidInput) for an outcome that depends on itself.
    SymbolicBool expand(const SymbolicBool& value, const FactoredInstructionProgram& program);

  private:
    // Adds `condition` to (ids, constant) unless it stands for an outcome (then false).
    bool add_leaf(int32_t condition, std::vector<int32_t>& ids, bool& constant) const;
    const SymbolicBool& expansion_of(int32_t condition, const FactoredInstructionProgram& program);
};

// The branches to force, in ascending instruction order, so that every pin holds in every
// shot's noiseless outcome; exogenous noise still flips the recorded parity. A parity the
// program already fixes forces nothing when it matches. Throws KelvoError (InvalidInput) for
// a record the program does not write and for a fixed parity that cannot take the value.
std::vector<ForcedBranch> plan_pinned_measurements(const FactoredInstructionProgram& program,
                                                   std::span<const MeasurementParity> pins);

}  // namespace kelvo
