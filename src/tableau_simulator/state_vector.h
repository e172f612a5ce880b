// Dense state-vector reconstruction of the sum of a_k F|k> for registers below 64 qubits.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "tableau_simulator/amplitude_table.h"
#include "tableau_simulator/complex.h"
#include "tableau_simulator/frame.h"
#include "tableau_simulator/label.h"

namespace kelvo::tableau_simulator {

// Entry j is the amplitude of the basis state with qubit q = bit q of j. The global phase is
// fixed by the reference state F|0...0>, whose entry at its smallest basis index is made real
// and positive. Fatal when that state is spread over 2^30 or more basis states; throws
// std::bad_alloc when the vectors would not fit in the memory available now.
std::vector<Complex> reconstruct_state_vector(const Frame& frame,
                                              const AmplitudeTable<Key<1>>& table);

namespace detail {

struct ReferenceSupport {
    uint64_t smallest;   // smallest basis index carrying amplitude
    uint64_t dimension;  // the support holds 2^dimension basis states
};

// Support of the state stabilized by n commuting, independent Paulis on n < 64 qubits: the
// affine space a + V with V spanned by the X parts of the stabilizer group and a fixed by its
// Z-only members.
ReferenceSupport reference_support(std::span<const RowPauli> stabilizers, uint64_t n);

}  // namespace detail
}  // namespace kelvo::tableau_simulator
