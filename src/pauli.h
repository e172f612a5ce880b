// A Pauli operator i^phase * prod_q X_q^x_q Z_q^z_q over packed 64-bit words.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kelvo {

// X is written left of Z on each qubit, so Y = i*X*Z: a Y costs one unit of phase.
// Invariants: x and z hold word_count(num_qubits) words, bits at and above num_qubits are
// zero, phase is in 0..3.
struct PauliString {
    std::vector<uint64_t> x;
    std::vector<uint64_t> z;
    uint64_t num_qubits = 0;
    uint8_t phase = 0;

    // The identity on n qubits. Throws std::bad_alloc when the storage cannot exist.
    explicit PauliString(uint64_t n = 0);

    // Bit accessors; a qubit at or above num_qubits is a fatal "qubit index out of range".
    bool xbit(uint64_t q) const;
    bool zbit(uint64_t q) const;
    void set_xbit(uint64_t q, bool value);
    void set_zbit(uint64_t q, bool value);

    // Highest qubit carrying X or Z, if any.
    std::optional<uint64_t> max_support() const;
    bool has_nonidentity_body() const;
    // Number of qubits carrying Y.
    uint64_t y_count() const;
    // The invariants above on the word arrays: their lengths and no bit at or above num_qubits.
    // Code that indexes per-qubit tables by the set bits relies on it.
    bool words_are_consistent() const;

    // Prefix ("", "i*", "-", "-i*") of the Hermitian-letter coefficient, then I/X/Y/Z per qubit.
    std::string str() const;

    bool operator==(const PauliString&) const = default;
};

// Operator product a*b (a on the left); different qubit counts are fatal.
PauliString operator*(const PauliString& a, const PauliString& b);

// Parses a dense literal such as "IXYZ" ('_' is identity, either letter case); throws
// KelvoError (Unsupported) "unsupported Pauli character" on any other byte.
PauliString pauli_string(std::string_view text);
PauliString pauli_identity(uint64_t n);
PauliString pauli_x(uint64_t n, uint64_t q);
PauliString pauli_y(uint64_t n, uint64_t q);
PauliString pauli_z(uint64_t n, uint64_t q);

bool pauli_anticommutes(const PauliString& a, const PauliString& b);

// Sign of a Hermitian Pauli with real coefficient: false for +, true for -. Throws KelvoError
// (InvalidInput) when the coefficient is imaginary.
bool measurement_phase_sign(const PauliString& p);

}  // namespace kelvo
