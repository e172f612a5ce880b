// Assembly of a FactoredInstructionProgram (`FactoredInstructionProgram::with_context`) and its
// parts: the reduction of every sign by the outcome relations learned along the program, and
// the sorting of the random conditions into sample groups for presampling.
#pragma once

#include <cstdint>
#include <optional>
#include <unordered_map>
#include <vector>

#include "compiler/program.h"
#include "symbolic.h"

namespace kelvo {

// Below this probability (or rare mass) conditions are drawn by group, not one by one.
inline constexpr double kRareProbability = 0.02;

// Rewrites each instruction's sign (a detector's parity) by the relations that the outcomes
// of earlier instructions carrying a condition id imply. Values are unchanged in every shot
// consistent with those outcomes.
void reduce_program_symbolic_expressions(std::vector<FactoredInstruction>& instructions);

// Groups by probability compared with ==. The index is an open-addressing table from a
// probability to its group that hashes -0.0 as +0.0 and matches by ==, so it finds what a scan
// of the groups would (a NaN joins no group).
struct BernoulliGroupIndex {
    struct Slot {
        double probability = 0;
        uint64_t group = 0;  // 1 + index in the groups; 0 marks a free slot
    };
    std::vector<Slot> slots;  // a power of two long, at most half used
    uint64_t used = 0;
};
void push_bernoulli_sample_group(std::vector<BernoulliSampleGroup>& groups,
                                 BernoulliGroupIndex& index, int32_t condition, double probability);
// The index of the group of `probability`, appended empty when there is none yet.
uint64_t bernoulli_sample_group(std::vector<BernoulliSampleGroup>& groups,
                                BernoulliGroupIndex& index, double probability);

// The outcomes of a rare distribution other than its first all-false one.
struct RareInfo {
    std::vector<uint64_t> outcomes;     // positive-probability ones, in index order
    std::vector<double> probabilities;  // each p * (1 / mass)
    double mass = 0;                    // 1 - P(all-false outcome)
};

// Present when the distribution's first all-false outcome leaves a mass below 0.02.
std::optional<RareInfo> rare_categorical_sample_info(
    const SymbolicCategoricalDistribution& distribution);

// Distributions join a group when every shared field is equal (floats by ==); the index finds
// candidate groups by a hash of those fields.
struct RareGroupIndex {
    std::unordered_map<uint64_t, std::vector<uint64_t>> groups_of;
};
// Returns the index of the group the distribution joined.
uint64_t push_rare_categorical_sample_group(std::vector<RareCategoricalSampleGroup>& groups,
                                            RareGroupIndex& index,
                                            const SymbolicCategoricalDistribution& distribution,
                                            const RareInfo& info);

}  // namespace kelvo
