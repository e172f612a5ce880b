// Record-controlled gates: a CX / CY / CZ / XCZ / YCZ line with `rec[-k]` targets, read pair by
// pair into feedback instructions (a Pauli applied when a record is 1) and ordinary gates.
#pragma once

#include "circuit/builder.h"
#include "circuit/syntax.h"

namespace kelvo {

// True when any target is a measurement record; refuses sweep targets on the way.
bool has_record_target(const KelvoInstructionView& node);

void append_record_controlled(KelvoCircuitBuilder& builder, const KelvoInstructionView& node);

}  // namespace kelvo
