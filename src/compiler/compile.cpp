#include "compiler/compile.h"

#include <algorithm>
#include <numeric>
#include <utility>

#include "active_pauli_frame.h"
#include "background_release.h"
#include "bits.h"
#include "compiler/lowering.h"
#include "compiler/optimizer.h"
#include "compiler/planner.h"
#include "errors.h"

namespace kelvo {
namespace {

// Instructions interleaved with the detectors between polls of the caller's check.
constexpr uint64_t kInstructionsPerPoll = 1024;

[[noreturn]] void refuse(const char* message) {
    throw KelvoError::invalid_input(message);
}

// The detector as a checkpoint: its parity over the record signs, and where it goes. Its plan
// is left to the assembly, which reduces the parity first.
RecordDetector record_detector(const LoweredDetector& d, uint64_t i,
                               const std::vector<SymbolicBool>& record_signs,
                               std::span<const uint8_t> mask) {
    // The XOR of the record signs: their ids gathered in one list, where those named an even
    // number of times cancel.
    RecordDetector out;
    std::vector<int32_t> ids;
    for (const uint64_t r : d.records) {
        if (r == 0 || r - 1 >= record_signs.size())
            refuse("detector references an out-of-range measurement record");
        const SymbolicBool& sign = record_signs[r - 1];
        ids.insert(ids.end(), sign.conditions.begin(), sign.conditions.end());
        out.parity.constant = out.parity.constant != sign.constant;
    }
    out.parity.conditions = normalize_xor_conditions(std::move(ids));
    out.records.reserve(d.records.size());
    for (const uint64_t r : d.records)
        out.records.push_back(static_cast<int32_t>(r));
    out.postselect = d.discard || (i < mask.size() && mask[i] != 0);
    out.id = static_cast<uint32_t>(i + 1);
    return out;
}

// The number of planner instructions after which the detector at pending position p runs.
uint64_t checkpoint_of(uint64_t p, const PendingFactoredState& planned) {
    if (p == 0 && planned.checkpoints.empty()) return 0;
    if (p >= planned.checkpoints.size())
        refuse("detector pending-operation position is out of range");
    // The table's entries are read as the program's i32 checkpoints.
    const auto c = static_cast<int32_t>(planned.checkpoints[p]);
    if (c < 0 || static_cast<uint64_t>(c) > planned.instructions.size())
        refuse("detector instruction checkpoint is out of range");
    return static_cast<uint64_t>(c);
}

}  // namespace

std::vector<LoweredDetector> detectors_with_lowered_positions(
    const std::vector<CircuitDetector>& detectors, const CircuitLoweringResult& lowering) {
    std::vector<LoweredDetector> out;
    out.reserve(detectors.size());
    for (const CircuitDetector& d : detectors) {
        if (d.source_position >= lowering.positions.size())
            refuse("detector source position is out of range");
        out.push_back({d.records, lowering.positions[d.source_position], d.discard});
    }
    return out;
}

FactoredInstructionProgram plan_circuit(const Circuit& circuit,
                                        std::span<const uint8_t> postselection_mask,
                                        const CancellationCheck& cancel) {
    CircuitLoweringResult lowering = lower_circuit_with_anchors(circuit, cancel);
    return plan_lowered_circuit(circuit, std::move(lowering), postselection_mask, cancel);
}

FactoredInstructionProgram plan_lowered_circuit(const Circuit& circuit,
                                                CircuitLoweringResult lowering,
                                                std::span<const uint8_t> postselection_mask,
                                                const CancellationCheck& cancel) {
    std::vector<LoweredDetector> detectors =
        detectors_with_lowered_positions(circuit.detectors, lowering);

    // Every pending operation already carries the error frame in its sign; nothing reads the
    // frame again, so it is released before the planner's state is built.
    lowering.state.active_frame = ActivePauliFrame();
    PendingFactoredState state = PendingFactoredState::from_frame_state(std::move(lowering.state));
    const ReleaseOnUnwind release(lowering, detectors, state);

    std::vector<uint64_t> preserved;
    preserved.reserve(detectors.size());
    for (const LoweredDetector& d : detectors)
        preserved.push_back(d.position);
    const OptimizationResult optimized = optimize_pending_operations(state, preserved, cancel);
    for (LoweredDetector& d : detectors) {
        const auto& map = optimized.position_map;
        if (d.position >= map.size() || map[d.position] < 0)
            refuse("detector pending-operation prefix was not preserved by optimization");
        d.position = static_cast<uint64_t>(map[d.position]);
    }

    if (detectors.empty()) return plan_factored_updates(std::move(state), cancel);
    // With detectors the planner's instructions are assembled once, the detectors between them:
    // assembling its program first would reduce every sign and build every plan twice.
    plan_pending_operations(state, cancel);

    // Each detector runs after the planner instruction that completes its records; detectors
    // after the same instruction keep their circuit order.
    std::vector<RecordDetector> checks;
    std::vector<uint64_t> after(detectors.size());
    checks.reserve(detectors.size());
    for (uint64_t i = 0; i < detectors.size(); ++i) {
        cancel.check();
        checks.push_back(record_detector(detectors[i], i, lowering.records, postselection_mask));
        after[i] = checkpoint_of(detectors[i].position, state);
    }
    std::vector<uint64_t> order(detectors.size());
    std::iota(order.begin(), order.end(), uint64_t{0});
    std::ranges::stable_sort(order, {}, [&after](uint64_t i) { return after[i]; });

    std::vector<FactoredInstruction> interleaved;
    const ReleaseOnUnwind release_interleaved(checks, interleaved);
    interleaved.reserve(state.instructions.size() + detectors.size());
    auto next = order.begin();
    for (uint64_t k = 0; k <= state.instructions.size(); ++k) {
        if (k % kInstructionsPerPoll == 0) cancel.check();
        for (; next != order.end() && after[*next] == k; ++next)
            interleaved.push_back(Detector{std::move(checks[*next])});
        if (k < state.instructions.size()) interleaved.push_back(std::move(state.instructions[k]));
    }
    const uint64_t num_qubits = state.num_qubits, initial = state.initial_active_qubits,
                   active = state.max_active_qubits;
    SymbolicContext context = std::move(state.context);
    // Released before the program is assembled; the operations and relations of a long circuit
    // take about a second to free, so a slice at a time (a stop leaves the rest to `release`).
    release_polling(state.pending, cancel);
    release_polling(state.relations, cancel);
    release_polling(state.relation_words, cancel);
    state = PendingFactoredState();
    return FactoredInstructionProgram::with_context(num_qubits, initial, std::move(interleaved),
                                                    active, std::move(context), {}, cancel);
}

}  // namespace kelvo
