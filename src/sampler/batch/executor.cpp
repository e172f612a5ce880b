#include "sampler/batch/executor.h"

#include <algorithm>
#include <new>
#include <utility>

#include "bits.h"
#include "errors.h"
#include "memory.h"
#include "sampler/batch/symbols.h"

namespace kelvo {
namespace {

constexpr const char* kTooLarge = "active qubit count is too large for machine basis indices";

KelvoError invalid(const char* message) {
    return KelvoError::invalid_input(message);
}

// Bytes a reset will hold, summed with checked arithmetic. Buffers are zero-filled as they
// are made and the system grants address space it cannot back, so a total beyond memory is
// refused before anything is allocated instead of ending the process while it is written.
class MemoryNeed {
  public:
    void add(uint64_t count, uint64_t element_size, uint64_t copies = 1) {
        uint64_t bytes = 0;
        if (__builtin_mul_overflow(count, element_size, &bytes) ||
            __builtin_mul_overflow(bytes, copies, &bytes) ||
            __builtin_add_overflow(total_, bytes, &total_)) {
            throw std::bad_alloc();
        }
    }
    // Only what goes beyond the buffers already held must fit in the memory available now.
    void check(uint64_t held) const {
        require_memory(total_ > held ? total_ - held : 0, "the batch executor's buffers");
    }

  private:
    uint64_t total_ = 0;
};

uint64_t checked_product(uint64_t a, uint64_t b) {
    uint64_t r = 0;
    if (__builtin_mul_overflow(a, b, &r)) throw std::bad_alloc();
    return r;
}

template <class T>
void release(std::vector<T>& v) {
    std::vector<T>().swap(v);
}

// v.resize(n), filling the new elements a slice at a time and polling `cancel` between
// slices: the record planes of a long program reach gigabytes, whose first writes take
// seconds.
template <class T>
void resize_polling(std::vector<T>& v, uint64_t n, const CancellationCheck& cancel) {
    constexpr uint64_t kSliceBytes = uint64_t{64} << 20;
    constexpr uint64_t kSlice = kSliceBytes / sizeof(T);
    if (n <= v.size() || n - v.size() <= kSlice) {
        v.resize(n);
        return;
    }
    v.reserve(n);
    while (v.size() < n) {
        cancel.check();
        v.resize(std::min<uint64_t>(n, v.size() + kSlice));
    }
}

// v.assign(n, 0), polling as resize_polling does.
template <class T>
void assign_zeros_polling(std::vector<T>& v, uint64_t n, const CancellationCheck& cancel) {
    v.clear();
    resize_polling(v, n, cancel);
}

// Amplitude slot of basis b of shot s for a per-shot block of `block` slots.
inline uint64_t slot(bool shot_major, uint64_t stride, uint64_t block, uint64_t b, uint64_t s) {
    return shot_major ? s * block + b : b * stride + s;
}

// Bytes the state's buffers hold now.
uint64_t held_bytes(const BatchFactoredExecutorState& state) {
    uint64_t bytes = 0;
    const auto add = [&]<class T>(const std::vector<T>& v) { bytes += v.capacity() * sizeof(T); };
    for (const BatchActiveComponent& c : state.components) {
        add(c.amplitude_re), add(c.amplitude_im), add(c.scratch_re), add(c.scratch_im);
    }
    add(state.amplitude_re), add(state.amplitude_im), add(state.scratch_re);
    add(state.scratch_im), add(state.symbol_table), add(state.symbol_slots);
    add(state.assigned_symbols);
    add(state.measurement_records), add(state.detector_records), add(state.detector_any);
    add(state.exp_values), add(state.work_bits);
    add(state.shot_scalars_a), add(state.shot_scalars_b), add(state.shot_scalars_c);
    return bytes;
}

// What a reset will build, worked out before anything changes.
struct ResetLayout {
    const ActiveComponentPlan* plan = nullptr;
    bool rebuild_components = false;
    std::vector<uint64_t> component_capacities;  // per component, when rebuilt
};

ResetLayout plan_reset(const BatchFactoredExecutorState& state,
                       const FactoredInstructionProgram& program, uint64_t stride) {
    ResetLayout layout;
    MemoryNeed need;
    const uint64_t initial = program.initial_active_qubits;
    KELVO_ASSERT(initial <= program.num_qubits && initial <= program.active_qubits,
                 "initially active qubits exceed the program's qubits");
    if (program.component_plan_enabled) {
        const ActiveComponentPlan* plan = program.component_plan.get();
        if (plan == nullptr || plan->instruction_steps.size() != program.instructions.size())
            throw invalid("program does not contain an executable active component plan");
        layout.plan = plan;
        layout.rebuild_components =
            !(state.components_enabled && state.components.size() == plan->component_count);
        std::vector<uint64_t> capacities;
        if (layout.rebuild_components) {
            if (plan->component_widths.size() != plan->component_count)
                throw invalid("active component plan has inconsistent component capacities");
            for (const uint64_t width : plan->component_widths) {
                if (width >= 62) throw invalid(kTooLarge);
                capacities.push_back(uint64_t{1} << width);
            }
        } else {
            for (const BatchActiveComponent& c : state.components)
                capacities.push_back(c.basis_capacity);
        }
        if (plan->initial_active_qubits != initial || initial > capacities.size())
            throw invalid("active component plan has the wrong initial component count");
        for (uint64_t c = 0; c < initial; ++c) {
            if (capacities[c] < 2)
                throw invalid("initial active component has insufficient storage");
        }
        for (const uint64_t capacity : capacities)
            need.add(checked_product(stride, capacity), sizeof(double), 4);
        if (layout.rebuild_components) layout.component_capacities = std::move(capacities);
    } else {
        if (program.active_qubits >= 62) throw invalid(kTooLarge);
        need.add(checked_product(stride, uint64_t{1} << program.active_qubits), sizeof(double), 4);
    }
    const uint64_t words = word_count(state.batch_capacity);
    // Condition rows are handed out (and checked) as conditions take values; here only the
    // map from condition to row and the assigned set.
    need.add(program.num_symbols, sizeof(uint32_t));
    need.add(word_count(program.num_symbols), sizeof(uint64_t));
    need.add(checked_product(words, program.num_records), sizeof(uint64_t));
    if (state.record_detectors)
        need.add(checked_product(words, program.num_detectors), sizeof(uint64_t));
    need.add(words, sizeof(uint64_t), 2);
    need.add(checked_product(state.batch_capacity, program.num_exp_vals), sizeof(double));
    need.add(std::max<uint64_t>(stride, state.shot_scalars_a.size()), sizeof(double), 3);
    need.check(held_bytes(state));
    return layout;
}

void build_components(BatchFactoredExecutorState& state, const std::vector<uint64_t>& capacities) {
    state.components_enabled = true;
    state.components.resize(capacities.size());
    for (size_t c = 0; c < capacities.size(); ++c) {
        BatchActiveComponent& component = state.components[c];
        const uint64_t slots = state.shot_stride * capacities[c];
        component.basis_capacity = capacities[c];
        component.amplitude_re.resize(slots);
        component.amplitude_im.resize(slots);
        component.scratch_re.resize(slots);
        component.scratch_im.resize(slots);
    }
    release(state.amplitude_re);
    release(state.amplitude_im);
    release(state.scratch_re);
    release(state.scratch_im);
}

// The first `initial` components each hold one qubit in |0>.
void start_components(BatchFactoredExecutorState& state, uint64_t initial) {
    for (BatchActiveComponent& component : state.components) {
        component.active = false;
        component.active_qubits = 0;
    }
    for (uint64_t c = 0; c < initial; ++c) {
        BatchActiveComponent& component = state.components[c];
        component.active = true;
        component.active_qubits = 1;
        for (uint64_t s = 0; s < state.live_shots; ++s) {
            for (uint64_t b = 0; b < 2; ++b) {
                const uint64_t i =
                    slot(state.shot_major, state.shot_stride, component.basis_capacity, b, s);
                component.amplitude_re[i] = b == 0 ? 1.0 : 0.0;
                component.amplitude_im[i] = 0.0;
            }
        }
    }
}

// Every live shot in |0...0> over the flat state's active qubits.
void start_flat_state(BatchFactoredExecutorState& state) {
    const uint64_t rows = uint64_t{1} << state.active_qubits;
    if (state.shot_major) {
        for (uint64_t s = 0; s < state.live_shots; ++s) {
            const uint64_t base = s * state.basis_capacity;
            std::fill_n(state.amplitude_re.begin() + base, rows, 0.0);
            std::fill_n(state.amplitude_im.begin() + base, rows, 0.0);
            state.amplitude_re[base] = 1.0;
        }
        return;
    }
    std::fill_n(state.amplitude_re.begin(), rows * state.shot_stride, 0.0);
    std::fill_n(state.amplitude_im.begin(), rows * state.shot_stride, 0.0);
    std::fill_n(state.amplitude_re.begin(), state.live_shots, 1.0);
}

}  // namespace

BatchFactoredExecutorState::BatchFactoredExecutorState(const FactoredInstructionProgram& program,
                                                       uint64_t batch_shots, uint64_t seed,
                                                       const CancellationCheck& cancel)
    : batch_capacity(batch_shots == 0 ? default_batch_count(program.active_qubits) : batch_shots),
      rng_state(seed) {
    reset_batch_executor(*this, program, batch_capacity, cancel);
    reserve_batch_symbol_rows(*this, program);
}

uint64_t default_batch_count(uint64_t active_qubits) {
    if (active_qubits >= 62) throw invalid(kTooLarge);
    return std::clamp<uint64_t>(uint64_t{32768} >> active_qubits, 1, 2048);
}

uint64_t batch_shot_stride(uint64_t batch_capacity) {
    if (batch_capacity == 0) return 1;
    if (batch_capacity <= 2) return batch_capacity;
    if (batch_capacity > UINT64_MAX - 3) throw std::bad_alloc();
    return (batch_capacity + 3) & ~uint64_t{3};
}

void reset_batch_executor(BatchFactoredExecutorState& state,
                          const FactoredInstructionProgram& program, uint64_t shots,
                          const CancellationCheck& cancel) {
    if (shots > state.batch_capacity) throw invalid("active batch shot count is out of range");
    const uint64_t stride = batch_shot_stride(state.batch_capacity);
    const ResetLayout layout = plan_reset(state, program, stride);

    state.num_qubits = program.num_qubits;
    state.active_qubits = program.initial_active_qubits;
    state.dormant_qubits = program.num_qubits - program.initial_active_qubits;
    state.live_shots = shots;
    state.shot_stride = stride;
    state.symbol_count = program.num_symbols;
    state.measurement_count = program.num_records;
    state.detector_count = program.num_detectors;
    state.exp_count = program.num_exp_vals;
    state.max_active_qubits = program.active_qubits;
    state.words_per_batch = word_count(state.batch_capacity);

    if (layout.plan != nullptr) {
        if (layout.rebuild_components) build_components(state, layout.component_capacities);
    } else {
        if (state.components_enabled) {
            state.components_enabled = false;
            state.components.clear();
        }
        state.basis_capacity = uint64_t{1} << state.max_active_qubits;
        const uint64_t slots = stride * state.basis_capacity;
        state.amplitude_re.resize(slots);
        state.amplitude_im.resize(slots);
        state.scratch_re.resize(slots);
        state.scratch_im.resize(slots);
    }

    const uint64_t words = state.words_per_batch;
    // Rows are overwritten on assignment and handed out on first use; they keep their
    // conditions from batch to batch (the same program assigns the same ones) unless the row
    // width changed.
    if (state.symbol_rows * words > state.symbol_table.size()) {
        state.symbol_slots.clear();
        state.symbol_rows = 0;
    }
    if (state.symbol_slots.size() < state.symbol_count)
        state.symbol_slots.resize(state.symbol_count, 0);
    state.assigned_symbols.assign(word_count(state.symbol_count), 0);
    assign_zeros_polling(state.measurement_records, words * state.measurement_count, cancel);
    if (state.record_detectors) {
        assign_zeros_polling(state.detector_records, words * state.detector_count, cancel);
    }
    state.detector_any.assign(words, 0);
    state.exp_values.assign(state.batch_capacity * state.exp_count, 0.0);
    state.work_bits.assign(words, 0);
    for (std::vector<double>* scalars :
         {&state.shot_scalars_a, &state.shot_scalars_b, &state.shot_scalars_c}) {
        if (scalars->size() < stride) scalars->resize(stride);
    }

    if (layout.plan != nullptr) {
        start_components(state, program.initial_active_qubits);
    } else {
        start_flat_state(state);
    }
}

void swap_batch_component_buffers(BatchFactoredExecutorState& state, uint64_t component) {
    KELVO_ASSERT(component < state.components.size(), "component index out of range");
    BatchActiveComponent& c = state.components[component];
    std::swap(state.amplitude_re, c.amplitude_re);
    std::swap(state.amplitude_im, c.amplitude_im);
    std::swap(state.scratch_re, c.scratch_re);
    std::swap(state.scratch_im, c.scratch_im);
}

namespace {

// target <- target (x) source for every live shot: new index (b_u << t) | b_t. Source blocks
// run from the top down so that no target amplitude is overwritten before it is read.
void tensor_into(const BatchFactoredExecutorState& state, BatchActiveComponent& target,
                 const BatchActiveComponent& source) {
    const uint64_t t = target.active_qubits, u = source.active_qubits;
    const uint64_t tn = uint64_t{1} << t, un = uint64_t{1} << u;
    const uint64_t stride = state.shot_stride, shots = state.live_shots;
    const bool shot_major = state.shot_major;
    const uint64_t tb = target.basis_capacity, sb = source.basis_capacity;
    KELVO_ASSERT(un <= sb && target.amplitude_re.size() >= stride * tb &&
                     target.amplitude_im.size() >= stride * tb &&
                     source.amplitude_re.size() >= stride * sb &&
                     source.amplitude_im.size() >= stride * sb && shots <= stride,
                 "component storage does not match its capacity");
    double* tre = target.amplitude_re.data();
    double* tim = target.amplitude_im.data();
    const double* sre = source.amplitude_re.data();
    const double* sim = source.amplitude_im.data();
    const auto product = [&](uint64_t bu, uint64_t bt, uint64_t s) {
        const uint64_t si = slot(shot_major, stride, sb, bu, s);
        const uint64_t ti = slot(shot_major, stride, tb, bt, s);
        const uint64_t out = slot(shot_major, stride, tb, (bu << t) | bt, s);
        const double sr = sre[si], sm = sim[si], tr = tre[ti], tm = tim[ti];
        tre[out] = tr * sr - tm * sm;
        tim[out] = tm * sr + tr * sm;
    };
    if (shot_major) {
        for (uint64_t s = 0; s < shots; ++s) {
            for (uint64_t bu = un; bu-- > 0;) {
                for (uint64_t bt = 0; bt < tn; ++bt)
                    product(bu, bt, s);
            }
        }
        return;
    }
    for (uint64_t bu = un; bu-- > 0;) {
        for (uint64_t bt = 0; bt < tn; ++bt) {
            for (uint64_t s = 0; s < shots; ++s)
                product(bu, bt, s);
        }
    }
}

}  // namespace

void merge_batch_components(BatchFactoredExecutorState& state, std::span<const uint64_t> merges,
                            uint64_t start, uint64_t count, uint64_t target) {
    if (count == 0 || start > merges.size() || count > merges.size() - start)
        throw invalid("active component instruction has an invalid merge range");
    if (merges[start] != target || target >= state.components.size())
        throw invalid("active component merge has an invalid target");
    BatchActiveComponent& into = state.components[target];
    if (!into.active) throw invalid("active component merge target is inactive");
    for (uint64_t i = 1; i < count; ++i) {
        const uint64_t j = merges[start + i];
        if (j == target || j >= state.components.size())
            throw invalid("active component merge has an invalid source");
        BatchActiveComponent& source = state.components[j];
        if (!source.active) throw invalid("active component merge source is inactive");
        const uint64_t t = into.active_qubits, u = source.active_qubits;
        if (t >= 62 || u >= 62 || t + u >= 62) throw invalid(kTooLarge);
        if (into.basis_capacity < (uint64_t{1} << (t + u)))
            throw invalid("active component merge target has insufficient storage");
        tensor_into(state, into, source);
        into.active_qubits = t + u;
        source.active_qubits = 0;
        source.active = false;
    }
}

void copy_batch_bits(std::vector<uint64_t>& destination, std::span<const uint64_t> source,
                     uint64_t live_shots, uint64_t words_per_batch) {
    const uint64_t live_words = word_count(live_shots);
    if (source.size() < live_words) throw invalid("batch bit vector is too short");
    if (destination.size() < std::max(words_per_batch, live_words))
        destination.resize(std::max(words_per_batch, live_words));
    for (uint64_t j = 0; j < live_words; ++j)
        destination[j] = source[j] & live_word_mask(j, live_shots);
    std::fill(destination.begin() + live_words, destination.end(), 0);
}

void fill_batch_bits(std::vector<uint64_t>& destination, const BatchFactoredExecutorState& state,
                     bool value) {
    const uint64_t live_words = word_count(state.live_shots);
    if (destination.size() < std::max(state.words_per_batch, live_words))
        destination.resize(std::max(state.words_per_batch, live_words));
    for (uint64_t j = 0; j < live_words; ++j)
        destination[j] = value ? live_word_mask(j, state.live_shots) : 0;
    std::fill(destination.begin() + live_words, destination.end(), 0);
}

}  // namespace kelvo
