#include "tableau_simulator/decomposition.h"

#include <string>

#include "errors.h"
#include "tableau_simulator/simulator.h"

namespace kelvo::tableau_simulator {

template <LabelKey K>
Decomp<K> Core::decompose(const PauliString& pauli) const {
    if (const auto top = pauli.max_support(); top && *top >= num_qubits) {
        throw SimError::qubit_out_of_range(*top, num_qubits);
    }
    const uint8_t sign = letter_phase(pauli);
    if (sign % 2 != 0) throw SimError::non_hermitian_axis();
    Decomp<K> d{.coefficient = {}, .flip = K::zero(key_words), .z = K::zero(key_words)};
    uint8_t k = 0;
    if constexpr (constexpr size_t n = fixed_width_v<K>; n != 0) {
        if (n != frame.stride()) {
            fatal(
                "assertion `left == right` failed: output width must match the frame's\n  left: " +
                std::to_string(n) + "\n right: " + std::to_string(frame.stride()));
        }
        k = frame.preimage_into_w<n>(pauli, d.flip.words_mut(), d.z.words_mut());
    } else {
        k = frame.preimage_into(pauli, d.flip.words_mut(), d.z.words_mut());
    }
    d.phase = static_cast<uint8_t>((k + sign) & 3);
    d.coefficient = i_pow(d.phase);
    return d;
}

template <LabelKey K>
Decomp<K> Core::decompose_basis(Axis axis, uint64_t q) const {
    Decomp<K> d{.coefficient = {}, .flip = K::zero(key_words), .z = K::zero(key_words)};
    d.phase = frame.preimage_basis_into(axis, q, d.flip.words_mut(), d.z.words_mut());
    d.coefficient = i_pow(d.phase);
    return d;
}

#define KELVO_DECOMPOSE_FOR(K)                                       \
    template Decomp<K> Core::decompose<K>(const PauliString&) const; \
    template Decomp<K> Core::decompose_basis<K>(Axis, uint64_t) const;
KELVO_DECOMPOSE_FOR(Key<1>)
KELVO_DECOMPOSE_FOR(Key<2>)
KELVO_DECOMPOSE_FOR(Key<4>)
KELVO_DECOMPOSE_FOR(Key<8>)
KELVO_DECOMPOSE_FOR(Label)
#undef KELVO_DECOMPOSE_FOR

}  // namespace kelvo::tableau_simulator
