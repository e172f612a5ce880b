// Basis changes and outcome pushes on the planner's pending operations: rewriting operations
// into a new frame (at once, or deferred by composing frames), XORing a symbolic value into
// the signs of the later operations that anticommute with a Pauli, and the row arithmetic
// used to build replacement frames.
#pragma once

#include <cstdint>

#include "compiler/pending.h"
#include "frames.h"
#include "pauli.h"
#include "symbolic.h"

namespace kelvo {

// The operation written in `frame`'s coordinates: its Pauli becomes the C, phase included,
// whose preimage through the frame is the old Pauli. Records come back unchanged; the
// variant never changes. Throws what coordinates_in_frame throws.
PendingOperation transform_operation_by_frame(const PendingOperation& operation,
                                              const CliffordFrame& frame);

// Rewrites every pending operation from the cursor on into `frame`'s coordinates, or, in the
// in-order mode, composes `frame` into the state's own frame and leaves the operations for the
// planner to transform when it reaches them. On an error the operations before it stay rewritten.
// In consume mode the column tables are built on first use and follow every rewrite, so only
// the operations with a part on a qubit the frame moves are read.
void transform_pending_operations_by_frame(PendingFactoredState& state, const CliffordFrame& frame);

// The frame of a dormant measurement replacement keeps every row but these: X_q -> Z_q,
// Z_q -> b (the measured body, with an X part on q, fatal otherwise), and X_i, Z_i (i != q)
// times Z_q where they anticommute with b. coordinates_after_replacement(p, q, b) equals
// transform_operation_by_frame's Pauli for that frame, without building it.
PauliString coordinates_after_replacement(PauliString p, uint64_t q, const PauliString& b);
// transform_pending_operations_by_frame with that frame, consume mode only: just the
// operations with a part on q or anticommuting with b change.
void transform_pending_operations_by_replacement(PendingFactoredState& state, uint64_t q,
                                                 const PauliString& b);

// The frame of a dormant rotation promotion (k active qubits, body b with an X part on q >= k):
// X_k -> b, Z_k -> Z_q, qubits k..q-1 move up to k+1..q, and every other row times Z_q where it
// anticommutes with b. The same pair of functions as for a replacement.
PauliString coordinates_after_promotion(PauliString p, uint64_t k, uint64_t q,
                                        const PauliString& b);
void transform_pending_operations_by_promotion(PendingFactoredState& state, uint64_t k, uint64_t q,
                                               const PauliString& b);

// XORs `value` into the sign of every pending rotation and measurement at or after `from`
// (1 is the current operation, 2 the one after it, counted from the cursor) that
// anticommutes with `pauli`, given in the current basis. Raises the context's next id
// past `value`'s ids.
void push_symbolic_pauli_through_pending_from(PendingFactoredState& state, uint64_t from,
                                              const PauliString& pauli, const SymbolicBool& value);

// The Pauli's body with coefficient +1. Throws KelvoError (InvalidInput) "Pauli frame row
// requires a Hermitian Pauli body" when its coefficient is imaginary.
PauliString positive_hermitian_body(PauliString pauli);

// row * multiplier with coefficient +1 when row anticommutes with `test`, else row.
PauliString multiply_by_stabilizer_if_anticommutes(PauliString row, const PauliString& test,
                                                   const PauliString& multiplier);

}  // namespace kelvo
