#include "sampler/pinning.h"

#include <algorithm>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <unordered_set>
#include <utility>

#include "bits.h"
#include "errors.h"

namespace kelvo {
namespace {

// The sign of an outcome instruction; rotations, promotions and detectors have none.
const SymbolicBool* outcome_expression(const FactoredInstruction& instruction) {
    return std::visit(
        [](const auto& kind) -> const SymbolicBool* {
            using T = std::decay_t<decltype(kind)>;
            if constexpr (std::is_same_v<T, DeterministicOutcome> ||
                          std::is_same_v<T, ActiveMeasurement> ||
                          std::is_same_v<T, RandomOutcome>) {
                return &kind.sign;
            } else {
                return nullptr;
            }
        },
        instruction);
}

template <typename Kind>
void register_outcome(ProgramSymbols& symbols, const Kind& kind, uint64_t index) {
    if (kind.exp_index) return;
    if constexpr (!std::is_same_v<Kind, DeterministicOutcome>) {
        symbols.sources[kind.outcome_condition] = {SymbolSource::Kind::Branch, 0};
        symbols.branch_instructions[kind.outcome_condition] = index;
    }
    if (kind.condition)
        symbols.sources.try_emplace(static_cast<int32_t>(*kind.condition),
                                    SymbolSource{SymbolSource::Kind::Outcome, index});
    if (kind.record) symbols.record_instructions[static_cast<int32_t>(*kind.record)] = index;
}

std::string record_list_text(std::span<const uint64_t> records) {
    std::string text = "[";
    for (uint64_t i = 0; i < records.size(); ++i) {
        if (i > 0) text += ", ";
        text += std::to_string(records[i]);
    }
    return text + "]";
}

// The branch condition of `value` whose instruction comes last (ties to the larger id).
std::optional<std::pair<uint64_t, int32_t>> last_branch(const SymbolicBool& value,
                                                        const ProgramSymbols& symbols) {
    std::optional<std::pair<uint64_t, int32_t>> best;
    for (const int32_t c : value.conditions) {
        const auto found = symbols.branch_instructions.find(c);
        if (found == symbols.branch_instructions.end()) continue;
        const std::pair<uint64_t, int32_t> candidate{found->second, c};
        if (!best || candidate > *best) best = candidate;
    }
    return best;
}

}  // namespace

ProgramSymbols::ProgramSymbols(const FactoredInstructionProgram& program)
    : certain(program.context.certain_conditions.begin(),
              program.context.certain_conditions.end()) {
    for (uint64_t i = 0; i < program.instructions.size(); ++i) {
        std::visit(
            [&](const auto& kind) {
                using T = std::decay_t<decltype(kind)>;
                if constexpr (std::is_same_v<T, DeterministicOutcome> ||
                              std::is_same_v<T, ActiveMeasurement> ||
                              std::is_same_v<T, RandomOutcome>) {
                    register_outcome(*this, kind, i);
                }
            },
            program.instructions[i]);
    }
}

bool ProgramSymbols::add_leaf(int32_t condition, std::vector<int32_t>& ids, bool& constant) const {
    const auto source = sources.find(condition);
    if (source != sources.end() && source->second.kind == SymbolSource::Kind::Outcome) return false;
    if (source == sources.end() && certain.contains(condition))
        constant = !constant;
    else
        ids.push_back(condition);
    return true;
}

const SymbolicBool& ProgramSymbols::expansion_of(int32_t condition,
                                                 const FactoredInstructionProgram& program) {
    // Depth first on an explicit stack: chains of outcomes can be as long as the program.
    struct Frame {
        int32_t condition;
        const SymbolicBool* expression;
        uint64_t next = 0;
        std::vector<int32_t> ids;
        bool constant = false;
    };
    std::unordered_set<int32_t> in_progress;
    std::vector<Frame> stack;
    // Starts the expansion of an outcome condition, or returns its finished expansion.
    const auto open = [&](int32_t c) -> const SymbolicBool* {
        if (const auto memo = expansions.find(c); memo != expansions.end()) return &memo->second;
        if (!in_progress.insert(c).second)
            throw KelvoError::invalid_input("measurement record expression is cyclic");
        const SymbolicBool* expression =
            outcome_expression(program.instructions[sources.at(c).instruction]);
        if (expression == nullptr)
            throw KelvoError::invalid_input("record condition has no outcome expression");
        stack.push_back({c, expression, 0, {}, expression->constant});
        return nullptr;
    };
    if (const SymbolicBool* done = open(condition)) return *done;
    for (;;) {
        Frame& top = stack.back();
        if (top.next < top.expression->conditions.size()) {
            const int32_t c = top.expression->conditions[top.next++];
            if (add_leaf(c, top.ids, top.constant)) continue;
            if (const SymbolicBool* done = open(c)) {  // pushes nothing when done
                Frame& same = stack.back();
                same.ids.insert(same.ids.end(), done->conditions.begin(), done->conditions.end());
                same.constant ^= done->constant;
            }
            continue;
        }
        SymbolicBool finished{normalize_xor_conditions(std::move(top.ids)), top.constant};
        const int32_t c = top.condition;
        in_progress.erase(c);
        stack.pop_back();
        const SymbolicBool& stored = expansions.emplace(c, std::move(finished)).first->second;
        if (stack.empty()) return stored;
        Frame& parent = stack.back();
        parent.ids.insert(parent.ids.end(), stored.conditions.begin(), stored.conditions.end());
        parent.constant ^= stored.constant;
    }
}

SymbolicBool ProgramSymbols::expand(const SymbolicBool& value,
                                    const FactoredInstructionProgram& program) {
    std::vector<int32_t> ids;
    bool constant = value.constant;
    for (const int32_t c : value.conditions) {
        if (add_leaf(c, ids, constant)) continue;
        const SymbolicBool& expansion = expansion_of(c, program);
        ids.insert(ids.end(), expansion.conditions.begin(), expansion.conditions.end());
        constant ^= expansion.constant;
    }
    return {normalize_xor_conditions(std::move(ids)), constant};
}

std::vector<ForcedBranch> plan_pinned_measurements(const FactoredInstructionProgram& program,
                                                   std::span<const MeasurementParity> pins) {
    if (pins.empty()) return {};
    ProgramSymbols symbols(program);
    // Forced instruction -> (its branch condition, the parity equation that must be 0).
    std::map<uint64_t, std::pair<int32_t, SymbolicBool>> equations;
    for (const MeasurementParity& pin : pins) {
        SymbolicBool equation{{}, pin.value};
        for (const uint64_t r : pin.records) {
            // Checked before adding 1, so that 2^64 - 1 cannot wrap to record 0.
            if (r >= static_cast<uint64_t>(std::numeric_limits<int32_t>::max()))
                throw KelvoError::invalid_input("pinned measurement record index is out of range");
            const auto writer = symbols.record_instructions.find(static_cast<int32_t>(r + 1));
            if (writer == symbols.record_instructions.end())
                throw KelvoError::invalid_input("pinned measurement record " + std::to_string(r) +
                                                " is not written by this circuit");
            const SymbolicBool* outcome = outcome_expression(program.instructions[writer->second]);
            if (outcome == nullptr)
                throw KelvoError::invalid_input(
                    "measurement instruction has no outcome expression");
            equation = xor_bool(equation, symbols.expand(*outcome, program));
        }
        bool stored = false;
        while (const auto branch = last_branch(equation, symbols)) {
            const auto taken = equations.find(branch->first);
            if (taken == equations.end()) {
                equations.emplace(branch->first, std::make_pair(branch->second, equation));
                stored = true;
                break;
            }
            equation = xor_bool(equation, taken->second.second);
        }
        // Only the constant decides: exogenous noise never makes a parity free.
        if (!stored && equation.constant)
            throw KelvoError::invalid_input(
                "pinned measurement parity over " + record_list_text(pin.records) +
                " is deterministic and cannot be " + (pin.value ? "1" : "0"));
    }
    std::vector<ForcedBranch> forced;
    forced.reserve(equations.size());
    for (const auto& [instruction, equation] : equations) {
        // The branch takes the noiseless rest of the parity: exogenous conditions are dropped
        // (the batch symbol table never holds them), so noise still flips the recorded parity.
        SymbolicBool rest{{}, equation.second.constant};
        for (const int32_t c : equation.second.conditions)
            if (c != equation.first && symbols.branch_instructions.contains(c))
                rest.conditions.push_back(c);
        forced.push_back({SymbolicBoolEvaluationPlan(rest), instruction});
    }
    return forced;
}

}  // namespace kelvo
