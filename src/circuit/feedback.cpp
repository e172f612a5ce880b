#include "circuit/feedback.h"

#include "circuit/fail.h"
#include "circuit/targets.h"
#include "errors.h"

namespace kelvo {
namespace {

void append_ordinary_pair(KelvoCircuitBuilder& builder, const KelvoInstructionView& node,
                          std::string_view a, std::string_view b) {
    const QubitTarget qa = kelvo_qubit_target(a, node.line);
    const QubitTarget qb = kelvo_qubit_target(b, node.line);
    if (qa.inverted || qb.inverted) {
        fail(node.line, "two-qubit Clifford does not accept inverted qubit targets");
    }
    CircuitInstruction gate = make_instruction(node.op->gate, node.line);
    gate.qubits = {qa.index, qb.index};
    builder.push(std::move(gate));
}

void append_feedback(KelvoCircuitBuilder& builder, const KelvoInstructionView& node,
                     std::string_view record, std::string_view qubit) {
    const QubitTarget q = kelvo_qubit_target(qubit, node.line);
    if (q.inverted) {
        fail(node.line, "record-controlled feedback does not accept inverted qubit targets");
    }
    const size_t r = kelvo_record_index(record, builder.num_measurements, node.line);
    CircuitInstruction feedback = make_instruction(node.op->feedback_gate, node.line);
    feedback.feedback.push_back({r, q.index});
    builder.push(std::move(feedback));
}

}  // namespace

bool has_record_target(const KelvoInstructionView& node) {
    bool any = false;
    for (const std::string_view token : node.targets()) {
        if (is_sweep_target(token))
            fail(node.line, "sweep-controlled operations are not supported");
        any = any || record_offset(token).has_value();
    }
    return any;
}

void append_record_controlled(KelvoCircuitBuilder& builder, const KelvoInstructionView& node) {
    if (node.targets().size() % 2 != 0) {
        fail(node.line, "controlled two-qubit gate requires paired targets");
    }
    const FeedbackForm form = node.op->feedback;
    if (form == FeedbackForm::None) fail(node.line, "unsupported classically controlled gate");
    for (size_t i = 0; i < node.targets().size(); i += 2) {
        const std::string_view a = node.targets()[i], b = node.targets()[i + 1];
        const bool a_record = record_offset(a).has_value();
        const bool b_record = record_offset(b).has_value();
        if (form != FeedbackForm::ControlSecond && a_record) {
            append_feedback(builder, node, a, b);
        } else if (form != FeedbackForm::ControlFirst && b_record) {
            append_feedback(builder, node, b, a);
        } else {
            append_ordinary_pair(builder, node, a, b);
        }
    }
}

}  // namespace kelvo
