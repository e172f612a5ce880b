#include "compiler/component_plan.h"

#include <algorithm>

#include "compiler/program.h"
#include "errors.h"
#include "memory.h"

namespace kelvo {
namespace {

constexpr uint64_t kMinPlannedActiveQubits = 8;

KelvoError invalid(const char* message) {
    return KelvoError::invalid_input(message);
}

double amplitudes(uint64_t width) {
    return static_cast<double>(active_length(width));
}

// The replay's mutable state.
class Planner {
  public:
    Planner(ActiveComponentPlan& plan, uint64_t initial, uint64_t coordinates)
        : plan_(plan), component_of_(coordinates), position_of_(coordinates) {
        for (uint64_t c = 0; c < initial; ++c)
            add_component(c);
        peak();
    }

    // Positions of the current active list; entries of coordinates that left are cleared.
    void index_positions() {
        for (const uint64_t c : indexed_)
            position_of_[c].reset();
        for (uint64_t p = 0; p < active_.size(); ++p) {
            if (active_[p] >= position_of_.size()) {
                throw invalid("component planner encountered an invalid active coordinate");
            }
            position_of_[active_[p]] = p;
        }
        indexed_ = active_;
    }

    uint64_t width() const { return active_.size(); }

    void rotation(const PrecomputedActivePauliRotationKernel& kernel,
                  ActiveComponentInstructionStep& step) {
        if (kernel.action.k != width()) {
            throw invalid("component planner saw a rotation with the wrong active width");
        }
        plan_.dense_cost += amplitudes(width());
        const std::vector<uint64_t> touched =
            touched_components(kernel.action.x_mask, kernel.action.z_mask, active_, component_of_);
        if (touched.empty()) {
            step.kind = ActiveComponentStepKind::UntouchedRotation;
            return;
        }
        const auto [target, start, count] = merge(touched);
        const ActivePauliAction local =
            remap_action(kernel.action, components_[target].coordinates, position_of_);
        step = {plan_.rotation_steps.size(), ActiveComponentStepKind::Rotation};
        plan_.rotation_steps.push_back(
            {target, start, count, PrecomputedActivePauliRotationKernel(local, kernel.theta)});
        plan_.component_cost += amplitudes(components_[target].coordinates.size()) + 32;
        peak();
    }

    void promotion(ActiveComponentInstructionStep& step) {
        plan_.dense_cost += 2 * amplitudes(width());
        const uint64_t coordinate = next_coordinate_;
        if (coordinate >= component_of_.size()) {
            throw invalid("component planner encountered an invalid active coordinate");
        }
        step = {plan_.promotion_targets.size(), ActiveComponentStepKind::Promotion};
        plan_.promotion_targets.push_back(components_.size());
        add_component(coordinate);
        plan_.component_cost += 34;
        peak();
    }

    void measurement(const PrecomputedActivePauliMeasurementKernel& kernel,
                     ActiveComponentInstructionStep& step) {
        if (kernel.k != width()) {
            throw invalid("component planner saw a measurement with the wrong active width");
        }
        plan_.dense_cost += 2 * amplitudes(width());
        const std::vector<uint64_t> touched =
            touched_components(kernel.x_mask, kernel.z_mask, active_, component_of_);
        if (touched.empty()) throw invalid("active measurement has no component support");
        const auto [target, start, count] = merge(touched);
        std::vector<uint64_t>& coordinates = components_[target].coordinates;
        const ActivePauliAction local = remap_action(kernel.action(), coordinates, position_of_);
        if (kernel.pivot >= width()) {
            throw invalid("component planner saw an invalid measurement pivot");
        }
        const uint64_t pivot_coordinate = active_[kernel.pivot];
        const auto local_pivot =
            std::find(coordinates.begin(), coordinates.end(), pivot_coordinate);
        if (local_pivot == coordinates.end()) {
            throw invalid("component measurement pivot is not in its target component");
        }
        const auto local_kernel = PrecomputedActivePauliMeasurementKernel::with_pivot(
            local, static_cast<uint64_t>(local_pivot - coordinates.begin()));
        plan_.component_cost += 2 * amplitudes(coordinates.size()) + 32;

        alive_storage_ -= active_length(coordinates.size());
        coordinates.erase(local_pivot);
        active_.erase(active_.begin() + static_cast<std::ptrdiff_t>(kernel.pivot));
        component_of_[pivot_coordinate].reset();
        const bool emptied = coordinates.empty();
        if (emptied) {
            components_[target].alive = false;
        } else {
            alive_storage_ += active_length(coordinates.size());
        }
        step = {plan_.measurement_steps.size(), ActiveComponentStepKind::Measurement};
        plan_.measurement_steps.push_back({target, start, count, local_kernel, emptied});
        peak();
    }

    uint64_t components() const { return components_.size(); }

  private:
    struct Merge {
        uint64_t target, start, count;
    };

    Merge merge(const std::vector<uint64_t>& touched) {
        uint64_t target = touched[0];
        for (const uint64_t t : touched) {
            const uint64_t size = components_[t].coordinates.size();
            const uint64_t best = components_[target].coordinates.size();
            if (size > best || (size == best && t < target)) target = t;
        }
        const std::vector<uint64_t> order = ordered_merge_sources(target, touched);
        for (const uint64_t c : order) {
            if (components_[c].alive)
                alive_storage_ -= active_length(components_[c].coordinates.size());
        }
        plan_.component_cost +=
            merge_planning_components(components_, order, component_of_, plan_.component_widths);
        alive_storage_ += active_length(components_[target].coordinates.size());
        const uint64_t start = plan_.merges.size();
        plan_.merges.insert(plan_.merges.end(), order.begin(), order.end());
        return {target, start, order.size()};
    }

    void add_component(uint64_t coordinate) {
        component_of_[coordinate] = components_.size();
        components_.push_back({{coordinate}, true});
        plan_.component_widths.push_back(1);
        active_.push_back(coordinate);
        alive_storage_ += 2;
        next_coordinate_ = coordinate + 1;
    }

    // Every alive component has 1 <= width and the widths sum to at most the active count,
    // so this running sum cannot overflow.
    void peak() { plan_.peak_storage = std::max(plan_.peak_storage, alive_storage_); }

    ActiveComponentPlan& plan_;
    std::vector<PlanningComponent> components_;
    CoordinateTable component_of_;
    CoordinateTable position_of_;
    std::vector<uint64_t> active_;
    std::vector<uint64_t> indexed_;  // the active list position_of_ describes
    uint64_t next_coordinate_ = 0;
    uint64_t alive_storage_ = 0;
};

}  // namespace

ActiveComponentPlan build_active_component_plan(const FactoredInstructionProgram& program,
                                                const CancellationCheck& cancel) {
    const uint64_t k = program.active_qubits;
    ActiveComponentPlan plan;
    plan.dense_storage = active_length(k);
    plan.initial_active_qubits = program.initial_active_qubits;
    if (k < kMinPlannedActiveQubits || program.num_exp_vals > 0) return plan;

    uint64_t coordinates = program.initial_active_qubits;
    for (const FactoredInstruction& instruction : program.instructions)
        coordinates += std::holds_alternative<DormantPromotion>(instruction);
    plan.instruction_steps.resize(program.instructions.size());
    Planner planner(plan, program.initial_active_qubits, coordinates);
    uint64_t steps = 0;
    for (size_t i = 0; i < program.instructions.size(); ++i) {
        cancel.check();
        planner.index_positions();
        ActiveComponentInstructionStep& step = plan.instruction_steps[i];
        const FactoredInstruction& instruction = program.instructions[i];
        if (const auto* rotation = std::get_if<ActiveRotation>(&instruction)) {
            planner.rotation(rotation->kernel, step);
            ++steps;
        } else if (std::holds_alternative<DormantPromotion>(instruction)) {
            planner.promotion(step);
            ++steps;
        } else if (const auto* measurement = std::get_if<ActiveMeasurement>(&instruction)) {
            if (measurement->exp_index) continue;
            planner.measurement(measurement->kernel, step);
            ++steps;
        }
    }
    plan.component_count = planner.components();
    for (const uint64_t w : plan.component_widths)
        plan.storage = saturating_add(plan.storage, active_length(w));
    plan.enabled = component_plan_pays(steps, plan.dense_cost, plan.component_cost,
                                       plan.dense_storage, plan.storage);
    return plan;
}

bool component_plan_pays(uint64_t steps, double dense_cost, double component_cost,
                         uint64_t dense_storage, uint64_t storage) {
    return steps >= 4 && dense_cost >= 1.8 * component_cost &&
           dense_cost - component_cost >= 8192 &&
           static_cast<double>(dense_storage) * 1.25 >= static_cast<double>(storage);
}

std::vector<uint64_t> touched_components(uint64_t x_mask, uint64_t z_mask,
                                         std::span<const uint64_t> active,
                                         const CoordinateTable& component_of) {
    std::vector<uint64_t> touched;
    const uint64_t support = x_mask | z_mask;
    for (uint64_t p = 0; p < active.size() && p < 64; ++p) {
        if (!((support >> p) & 1)) continue;
        const std::optional<uint64_t> component = component_of[active[p]];
        if (!component) {
            throw invalid("component planner found an active coordinate without a component");
        }
        if (std::find(touched.begin(), touched.end(), *component) == touched.end()) {
            touched.push_back(*component);
        }
    }
    if (touched.empty() && !active.empty() && component_of[active[0]]) {
        touched.push_back(*component_of[active[0]]);
    }
    return touched;
}

std::vector<uint64_t> ordered_merge_sources(uint64_t target, std::vector<uint64_t> touched) {
    std::sort(touched.begin(), touched.end());
    touched.erase(std::unique(touched.begin(), touched.end()), touched.end());
    std::erase(touched, target);
    touched.insert(touched.begin(), target);
    return touched;
}

double merge_planning_components(std::vector<PlanningComponent>& components,
                                 std::span<const uint64_t> order, CoordinateTable& component_of,
                                 std::vector<uint64_t>& component_widths) {
    if (order.empty()) return 0;
    PlanningComponent& target = components[order[0]];
    if (!target.alive) throw invalid("component merge target is inactive");
    double cost = 0;
    for (const uint64_t s : order.subspan(1)) {
        PlanningComponent& source = components[s];
        if (!source.alive) throw invalid("component merge source is inactive");
        cost += 2 * amplitudes(target.coordinates.size() + source.coordinates.size());
        for (const uint64_t c : source.coordinates)
            component_of[c] = order[0];
        target.coordinates.insert(target.coordinates.end(), source.coordinates.begin(),
                                  source.coordinates.end());
        source.coordinates.clear();
        source.alive = false;
    }
    uint64_t& widest = component_widths[order[0]];
    widest = std::max<uint64_t>(widest, target.coordinates.size());
    return cost;
}

ActivePauliAction remap_action(const ActivePauliAction& action,
                               std::span<const uint64_t> target_coordinates,
                               const CoordinateTable& active_position_of) {
    ActivePauliAction local = action;
    local.k = target_coordinates.size();
    local.x_mask = 0;
    local.z_mask = 0;
    for (uint64_t j = 0; j < target_coordinates.size(); ++j) {
        const std::optional<uint64_t> p = active_position_of[target_coordinates[j]];
        if (!p) throw invalid("component planner tried to remap an inactive coordinate");
        local.x_mask |= ((action.x_mask >> *p) & 1) << j;
        local.z_mask |= ((action.z_mask >> *p) & 1) << j;
    }
    local.y_parity = std::popcount(local.x_mask & local.z_mask) % 2 != 0;
    return local;
}

}  // namespace kelvo
