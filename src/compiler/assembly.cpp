#include "compiler/assembly.h"

#include <algorithm>
#include <array>
#include <bit>
#include <functional>
#include <limits>
#include <map>
#include <memory>

#include "background_release.h"
#include "compiler/component_plan.h"
#include "compiler/relations.h"
#include "errors.h"

namespace kelvo {
namespace {

void mix(uint64_t& seed, uint64_t value) {
    seed ^= value + 0x9e3779b97f4a7c15 + (seed << 6) + (seed >> 2);
}

// std::hash agrees with == on floats: -0.0 and +0.0 hash alike.
void mix(uint64_t& seed, double value) {
    mix(seed, std::hash<double>{}(value));
}

uint64_t rare_key(const SymbolicCategoricalDistribution& distribution, const RareInfo& info) {
    uint64_t seed = distribution.width;
    mix(seed, info.mass);
    for (const std::vector<uint64_t>& row : distribution.assignments()) {
        mix(seed, row.size());
        for (const uint64_t word : row)
            mix(seed, word);
    }
    for (const double p : distribution.probabilities())
        mix(seed, p);
    for (const uint64_t j : info.outcomes)
        mix(seed, j);
    for (const double p : info.probabilities)
        mix(seed, p);
    return seed;
}

// Vector equality compares the floats with ==, as the groups require.
bool joins(const RareCategoricalSampleGroup& group,
           const SymbolicCategoricalDistribution& distribution, const RareInfo& info) {
    return group.rare_mass == info.mass && group.width == distribution.width &&
           group.assignments == distribution.assignments() &&
           group.probabilities == distribution.probabilities() &&
           group.rare_outcomes == info.outcomes && group.rare_probabilities == info.probabilities;
}

// The slot holding a probability equal to p, else the free slot where p goes.
BernoulliGroupIndex::Slot* free_slot(BernoulliGroupIndex& index, double p) {
    // == treats -0.0 and +0.0 as one value, so they must hash alike.
    const uint64_t bits = std::bit_cast<uint64_t>(p == 0 ? 0.0 : p);
    const uint64_t mask = index.slots.size() - 1;
    for (uint64_t i = (bits * 0x9e3779b97f4a7c15) >> 20;; ++i) {
        BernoulliGroupIndex::Slot& s = index.slots[i & mask];
        if (s.group == 0 || s.probability == p) return &s;
    }
}

// Every id an instruction references must be a nonnegative i32.
int64_t checked_id(int64_t id) {
    KELVO_ASSERT(id >= 0 && id <= std::numeric_limits<int32_t>::max(),
                 "condition id must be nonnegative");
    return id;
}

struct Counts {
    int64_t largest_condition = 0;
    uint64_t records = 0;
    uint64_t detectors = 0;
    uint64_t exp_vals = 0;
};

template <typename Outcome>
void count_outcome(const Outcome& outcome, Counts& counts) {
    if (outcome.condition) {
        counts.largest_condition =
            std::max(counts.largest_condition, checked_id(int64_t{*outcome.condition}));
    }
    if (outcome.record) counts.records = std::max<uint64_t>(counts.records, *outcome.record);
    if (outcome.exp_index) {
        counts.exp_vals = std::max(counts.exp_vals, uint64_t{*outcome.exp_index} + 1);
    }
    if constexpr (requires { outcome.outcome_condition; }) {
        counts.largest_condition =
            std::max(counts.largest_condition, checked_id(outcome.outcome_condition));
    }
}

// Reduces the instruction's sign by what the earlier ones taught `reducer`, then teaches it
// this one's outcome.
void reduce_and_learn(SymbolicRelationReducer& reducer, FactoredInstruction& instruction) {
    SymbolicBool& sign = instruction_sign(instruction);
    sign = reducer.reduce(std::move(sign));
    std::visit(
        [&](const auto& kind) {
            if constexpr (requires { kind.condition; }) {
                if (kind.condition) reducer.add(*kind.condition, kind.sign);
            }
        },
        instruction);
}

// Rebuilds the instruction's plan from its reduced sign and counts what it references.
void settle(FactoredInstruction& instruction, Counts& counts) {
    std::visit(
        [&](auto& kind) {
            using Kind = std::decay_t<decltype(kind)>;
            const SymbolicBool& sign = instruction_sign(instruction);
            if (!sign.conditions.empty()) {
                counts.largest_condition =
                    std::max(counts.largest_condition, checked_id(sign.conditions.back()));
            }
            if constexpr (std::is_same_v<Kind, Detector>) {
                kind.detector.plan.assign(sign);
                counts.detectors = std::max<uint64_t>(counts.detectors, kind.detector.id);
            } else {
                kind.sign_plan.assign(sign);
                if constexpr (requires { kind.record; }) count_outcome(kind, counts);
            }
        },
        instruction);
}

// The map's entries in key order. Walking a large std::map waits on memory at every node when
// the nodes lie scattered (a copied map lays them out in tree order), so cursors over
// consecutive key ranges advance together and overlap their misses.
std::vector<std::pair<int32_t, double>> in_id_order(const std::map<int32_t, double>& map) {
    constexpr int64_t kCursors = 8;
    if (map.size() < 1024) return {map.begin(), map.end()};
    using Iterator = std::map<int32_t, double>::const_iterator;
    const int64_t first = map.begin()->first, span = int64_t{map.rbegin()->first} - first + 1;
    std::array<Iterator, kCursors> cursor, end;
    std::array<std::vector<std::pair<int32_t, double>>, kCursors> parts;
    for (int64_t k = 0; k < kCursors; ++k) {
        cursor[k] = k == 0 ? map.begin() : end[k - 1];
        end[k] = k + 1 == kCursors
                     ? map.end()
                     : map.lower_bound(static_cast<int32_t>(first + span * (k + 1) / kCursors));
        parts[k].reserve(map.size() / kCursors);
    }
    for (bool more = true; more;) {
        more = false;
        for (int64_t k = 0; k < kCursors; ++k) {
            if (cursor[k] == end[k]) continue;
            parts[k].push_back(*cursor[k]++);
            more = true;
        }
    }
    std::vector<std::pair<int32_t, double>> out;
    out.reserve(map.size());
    for (const auto& part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

void group_conditions(FactoredInstructionProgram& program, const CancellationCheck& cancel) {
    // Whether a distribution is rare and the group it joins depend on its table and width
    // alone, so a run of distributions sharing a table is sorted by its first member.
    RareGroupIndex rare_index;
    const SymbolicCategoricalDistribution* last = nullptr;
    constexpr uint64_t kNotRare = std::numeric_limits<uint64_t>::max();
    uint64_t last_group = kNotRare;  // the group `last` joined
    for (const SymbolicCategoricalDistribution& distribution : program.context.categoricals) {
        cancel.check();
        const bool same = last != nullptr && last->table != nullptr &&
                          last->table == distribution.table && last->width == distribution.width;
        if (!same) {
            last_group = kNotRare;
            if (const std::optional<RareInfo> info = rare_categorical_sample_info(distribution)) {
                last_group = push_rare_categorical_sample_group(program.rare_categorical_groups,
                                                                rare_index, distribution, *info);
            }
        } else if (last_group != kNotRare) {
            program.rare_categorical_groups[last_group].condition_lists.push_back(
                distribution.conditions);
        }
        if (last_group == kNotRare) program.categoricals.push_back(distribution);
        last = &distribution;
    }
    // The groups are found first and filled once their sizes are known, so that each list is
    // allocated once.
    std::vector<BernoulliSampleGroup>& groups = program.bernoulli_groups;
    BernoulliGroupIndex bernoulli_index;
    const std::vector<std::pair<int32_t, double>> bernoulli =
        in_id_order(program.context.bernoulli);
    std::vector<uint64_t> group_of, sizes;
    for (const auto& [id, p] : bernoulli) {
        cancel.check();
        if (p < kRareProbability) {
            group_of.push_back(bernoulli_sample_group(groups, bernoulli_index, p));
            sizes.resize(groups.size());
            ++sizes[group_of.back()];
        } else {
            program.dense_bernoulli_conditions.push_back(id);
            program.dense_bernoulli_probabilities.push_back(p);
        }
    }
    for (uint64_t g = 0; g < groups.size(); ++g)
        groups[g].conditions.reserve(sizes[g]);
    auto next_group = group_of.begin();
    for (const auto& [id, p] : bernoulli) {
        if (p < kRareProbability) groups[*next_group++].conditions.push_back(id);
    }
}

}  // namespace

FactoredInstructionProgram FactoredInstructionProgram::with_context(
    uint64_t num_qubits, uint64_t initial_active_qubits,
    std::vector<FactoredInstruction> instructions, uint64_t active_qubits, SymbolicContext context,
    std::vector<int32_t> checkpoints, const CancellationCheck& cancel) {
    if (initial_active_qubits > active_qubits || initial_active_qubits > num_qubits ||
        active_qubits > num_qubits) {
        throw KelvoError::invalid_input("invalid factored instruction program dimensions");
    }
    FactoredInstructionProgram program;
    const ReleaseOnUnwind release(program);
    program.instructions = std::move(instructions);
    program.checkpoints = std::move(checkpoints);
    program.context = std::move(context);
    program.num_qubits = num_qubits;
    program.initial_active_qubits = initial_active_qubits;
    program.active_qubits = active_qubits;

    // Reducing a sign needs only the earlier instructions, so one walk reduces and rebuilds.
    SymbolicRelationReducer reducer;
    Counts counts;
    for (FactoredInstruction& instruction : program.instructions) {
        cancel.check();
        reduce_and_learn(reducer, instruction);
        settle(instruction, counts);
    }
    uint32_t& next = program.context.next_condition_id;
    next = static_cast<uint32_t>(std::max<int64_t>(next, counts.largest_condition + 1));
    program.num_symbols = next > 0 ? next - 1 : 0;
    program.num_records = counts.records;
    program.num_detectors = counts.detectors;
    program.num_exp_vals = counts.exp_vals;

    group_conditions(program, cancel);
    auto plan =
        std::make_shared<const ActiveComponentPlan>(build_active_component_plan(program, cancel));
    program.component_plan_enabled = plan->enabled;
    program.component_plan = std::move(plan);
    return program;
}

void reduce_program_symbolic_expressions(std::vector<FactoredInstruction>& instructions) {
    SymbolicRelationReducer reducer;
    for (FactoredInstruction& instruction : instructions)
        reduce_and_learn(reducer, instruction);
}

uint64_t bernoulli_sample_group(std::vector<BernoulliSampleGroup>& groups,
                                BernoulliGroupIndex& index, double probability) {
    using Slot = BernoulliGroupIndex::Slot;
    if (2 * (index.used + 1) > index.slots.size()) {
        std::vector<Slot> old = std::move(index.slots);
        index.slots.assign(std::max<uint64_t>(64, 2 * old.size()), Slot{});
        for (const Slot& s : old) {
            if (s.group != 0) *free_slot(index, s.probability) = s;
        }
    }
    Slot* slot = free_slot(index, probability);
    if (slot->group == 0) {
        *slot = {probability, groups.size() + 1};
        ++index.used;
        groups.push_back({{}, probability});
    }
    return slot->group - 1;
}

void push_bernoulli_sample_group(std::vector<BernoulliSampleGroup>& groups,
                                 BernoulliGroupIndex& index, int32_t condition,
                                 double probability) {
    groups[bernoulli_sample_group(groups, index, probability)].conditions.push_back(condition);
}

std::optional<RareInfo> rare_categorical_sample_info(
    const SymbolicCategoricalDistribution& distribution) {
    const uint64_t width = distribution.width;
    const auto all_false = [&](const std::vector<uint64_t>& row) {
        for (uint64_t w = 0; w < row.size() && w * 64 < width; ++w) {
            const uint64_t bits = width - w * 64;
            const uint64_t mask = bits >= 64 ? ~uint64_t{0} : (uint64_t{1} << bits) - 1;
            if (row[w] & mask) return false;
        }
        return true;
    };
    const auto& rows = distribution.assignments();
    const std::vector<double>& probabilities = distribution.probabilities();
    const auto found = std::find_if(rows.begin(), rows.end(), all_false);
    if (found == rows.end()) return std::nullopt;
    const uint64_t quiet = static_cast<uint64_t>(found - rows.begin());
    if (quiet >= probabilities.size()) return std::nullopt;
    RareInfo info;
    info.mass = 1 - probabilities[quiet];
    if (!(info.mass < kRareProbability)) return std::nullopt;
    if (info.mass > 0) {
        const double scale = 1 / info.mass;
        for (uint64_t j = 0; j < probabilities.size(); ++j) {
            const double p = probabilities[j];
            if (j == quiet || !(p > 0)) continue;
            info.outcomes.push_back(j);
            info.probabilities.push_back(p * scale);
        }
    }
    return info;
}

uint64_t push_rare_categorical_sample_group(std::vector<RareCategoricalSampleGroup>& groups,
                                            RareGroupIndex& index,
                                            const SymbolicCategoricalDistribution& distribution,
                                            const RareInfo& info) {
    std::vector<uint64_t>& candidates = index.groups_of[rare_key(distribution, info)];
    for (const uint64_t g : candidates) {
        if (joins(groups[g], distribution, info)) {
            groups[g].condition_lists.push_back(distribution.conditions);
            return g;
        }
    }
    candidates.push_back(groups.size());
    groups.push_back({{distribution.conditions},
                      distribution.assignments(),
                      distribution.probabilities(),
                      info.outcomes,
                      info.probabilities,
                      info.mass,
                      distribution.width});
    return groups.size() - 1;
}

}  // namespace kelvo
