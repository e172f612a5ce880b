// The noiseless reference shot of a circuit: its detector and observable bits with every noise
// condition false. Sampling with normalized syndromes reports changes from it.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "cancellation.h"
#include "circuit/ir.h"
#include "compiler/program.h"
#include "sampler/batch/executor.h"

namespace kelvo {

// For each observable index, its OBSERVABLE_INCLUDE record lists in circuit order (1-based
// record numbers).
using LogicalRecords = std::vector<std::vector<std::vector<int32_t>>>;

// One byte (0 or 1) per detector and per observable index.
struct ReferenceSample {
    std::vector<uint8_t> detectors;
    std::vector<uint8_t> observables;
};

// The circuit's observables grouped by index: 1 + the largest index of them.
LogicalRecords circuit_logical_records(const Circuit& circuit);

// Compiles the circuit (no postselection mask) and runs its reference shot. Throws KelvoError;
// Cancelled when `cancel` asks the call to stop.
ReferenceSample circuit_reference_sample(const Circuit& circuit,
                                         const CancellationCheck& cancel = {});

// Runs one shot of `program` with noise off and the given forced branches, randomness (if any)
// from generator state 1. Conditions the compiler made certain are read as true; every other
// exogenous condition, user noise of probability 1 included, as false. Throws KelvoError;
// Cancelled when `cancel`, polled as the run is prepared and between its instructions, asks it
// to stop.
ReferenceSample reference_sample_for_program(const FactoredInstructionProgram& program,
                                             const LogicalRecords& logical_records,
                                             std::span<const ForcedBranch> forced_branches,
                                             const CancellationCheck& cancel = {});

// words = one row per observable (the executor's words per row each): the XOR of the
// measurement record rows its lists name, over the live shots. Throws KelvoError
// (InvalidInput) for a record number outside 1 ..= the executor's measurement count.
void fill_observable_words(std::vector<uint64_t>& words, const BatchFactoredExecutorState& state,
                           const LogicalRecords& logical_records);

}  // namespace kelvo
