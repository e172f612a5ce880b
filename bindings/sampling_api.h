// The Circuit members that compile and run a circuit; circuit_api.cpp lists them in its table.
#pragma once

#include "circuit/ir.h"
#include "py_class.h"

namespace kelvo::py {

// Circuit.compile(self, postselection_mask=None, *, normalize_syndromes=False, ...)
Ref compile_circuit_method(const Circuit& circuit, const Args& a);
// Circuit.reference_sample(self)
Ref reference_sample_method(const Circuit& circuit, const Args& a);

}  // namespace kelvo::py
