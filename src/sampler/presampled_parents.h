// The parent of each block expression of a presampled-expression plan: the earlier one it is
// computed from by the fewest row operations.
#pragma once

#include <vector>

#include "cancellation.h"
#include "sampler/presampled_expression.h"

namespace kelvo {

// Gives each of `blocks` (their `conditions` and `constant` set) its `parent`,
// `delta_conditions` and `delta_constant`. The parent is the earliest of the cheapest earlier
// block expressions that share an id with it (or, for a constant-true one, the first empty
// true one), when that costs strictly less than no parent; the cost is the size of the id
// difference plus one when the constants differ. Polls `cancel` between expressions.
void choose_presampled_parents(std::vector<PresampledExpression>& blocks,
                               const CancellationCheck& cancel = {});

}  // namespace kelvo
