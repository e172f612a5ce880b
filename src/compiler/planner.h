// The planner: decides, operation by operation, how the sampler carries out each pending
// rotation, measurement, expectation request and classical record, and emits the program's
// instructions.
//
// Operations are planned strictly in list order. Without expectation requests (consume mode)
// every basis change is applied at once to the operations still waiting; with them (in-order
// mode) basis changes are composed into the state's frame and each operation receives them
// when its turn comes, so that operations are never reordered and the list is never rewritten.
#pragma once

#include "cancellation.h"
#include "compiler/pending.h"
#include "compiler/program.h"

namespace kelvo {

// Plans every pending operation (running the optimizer first when nobody has) and assembles
// the program, with the checkpoint table: entry i is the number of instructions emitted before
// operation i, and one more entry holds the total (empty when there was no operation). Throws
// KelvoError; Cancelled when `cancel`, polled between operations, asks planning to stop.
FactoredInstructionProgram plan_factored_updates(PendingFactoredState state,
                                                 const CancellationCheck& cancel = {});

// Plans every operation left, polling `cancel` before each (Cancelled when it asks to stop),
// for a caller that assembles the program next: the instructions' plans are left empty.
void plan_pending_operations(PendingFactoredState& state, const CancellationCheck& cancel);

// Plans the next operation. Returns the last instruction it emitted, complete with the
// evaluation plan of its sign (valid until the next call), or nullptr when it emitted nothing
// or no operation was left. On an error the operation stays unplanned and no checkpoint is
// added.
const FactoredInstruction* process_next_pending_operation(PendingFactoredState& state);

}  // namespace kelvo
