// Instruction dispatch: checks one line's arguments and targets by its name and appends what
// it means to the builder.
#pragma once

#include "circuit/builder.h"
#include "circuit/syntax.h"

namespace kelvo {

// Throws KelvoError (Parse kind, "line N: ...") for a refused line.
void append_instruction(KelvoCircuitBuilder& builder, const KelvoInstructionView& node);

}  // namespace kelvo
