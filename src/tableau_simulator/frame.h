// The simulator's Clifford frame F as a tableau of signed Pauli rows.
//
// Row 2q holds F^dagger X_q F and row 2q+1 holds F^dagger Z_q F. A row is i^s X^x Z^z over the
// label bits (X left of Z on each qubit, so a Y costs one unit of phase); it is stored as W
// X-words followed by W Z-words, W being the stride, with its sign exponent s in a byte.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "pauli.h"

namespace kelvo::tableau_simulator {

// Single-qubit axis codes, as the simulator's axis arguments use them.
enum class Axis : uint8_t { X = 0, Y = 1, Z = 2 };

// Words per half-row for n qubits: ceil(n/64) raised to 1, 2, 4 or 8 while it is at most 8,
// exact beyond.
uint64_t stride_for(uint64_t num_qubits);

// i^phase X^x Z^z over physical qubits (same conventions as PauliString).
struct RowPauli {
    std::vector<uint64_t> x;
    std::vector<uint64_t> z;
    uint8_t phase = 0;
};

// Two distinct rows of length `row_len` of `words`, in the order asked; i == j is fatal.
std::pair<std::span<uint64_t>, std::span<uint64_t>> rows2_mut(std::span<uint64_t> words,
                                                              uint64_t row_len, uint64_t i,
                                                              uint64_t j);

// a <- b*a for rows of 2W words (W = a.size() / 2); `extra` is b's sign exponent.
void mul_row_left(std::span<uint64_t> a, uint8_t& sign_a, std::span<const uint64_t> b,
                  uint8_t extra);

// a <- a*b on 8-word halves.
void mul_right(std::span<uint64_t, 8> ax, std::span<uint64_t, 8> az, uint8_t& sign_a,
               std::span<const uint64_t, 8> bx, std::span<const uint64_t, 8> bz, uint8_t extra);

class Frame {
  public:
    // The identity tableau. Throws std::bad_alloc when the rows cannot exist.
    static Frame identity(uint64_t num_qubits);
    // Words of the rows of an n-qubit frame, 4*n*stride_for(n); throws std::bad_alloc when that
    // cannot be an array.
    static uint64_t word_count_for(uint64_t num_qubits);

    uint64_t num_qubits() const { return num_qubits_; }
    uint64_t stride() const { return stride_; }
    // Row r: stride X-words, then stride Z-words.
    std::span<const uint64_t> row(uint64_t r) const;
    uint8_t sign(uint64_t r) const;

    // Writes +X_q into row 2q and +Z_q into row 2q+1; the rows must be zero already.
    void set_identity_rows(uint64_t q);

    // Makes the frame cover exactly n qubits. Growth gives the new qubits identity rows;
    // shrinking is fatal unless every dropped qubit still has rows +X_q and +Z_q. Throws
    // std::bad_alloc, leaving the frame unchanged, when the rows cannot exist.
    void resize(uint64_t num_qubits);

    // A zeroed array of rows*2*new_stride words holding, for each row, the first
    // `copy_words` words of its old X and Z halves.
    static std::vector<uint64_t> restride(std::span<const uint64_t> words, uint64_t old_stride,
                                          uint64_t rows, uint64_t new_stride, uint64_t copy_words);

    // Row r <- b*row r, for strides 2, 4 and 8. `b` has exactly 2W words.
    void mul_row_left_by(uint64_t r, std::span<const uint64_t> b, uint8_t extra);
    // Row r <- row r*b, any stride.
    void mul_row_right_by(uint64_t r, std::span<const uint64_t> b, uint8_t extra);
    // Adds 2 to the sign exponent of row r.
    void negate_row(uint64_t r);

    // Left updates F <- G*F. Qubits must be below num_qubits().
    void left_pauli(const PauliString& p);
    void left_root_x(uint64_t q, uint8_t k);  // sqrt(X) for k = 1, its inverse for k = 3
    void left_s(uint64_t q, uint8_t k);       // S for k = 1, S^dagger for k = 3
    void left_h(uint64_t q);
    void left_cx(uint64_t control, uint64_t target);
    void left_cz(uint64_t a, uint64_t b);
    void left_swap(uint64_t a, uint64_t b);
    // U = (I + C + T - C*T)/2 for commuting, positive Hermitian C and T (caller checks).
    void left_controlled_pauli(const PauliString& control, const PauliString& target);

    // F^dagger B(P) F = i^k X^flip Z^z, B(P) being P's Hermitian body (its phase left out).
    // Returns k; `flip` and `z` must hold exactly stride() words.
    uint8_t preimage_into(const PauliString& pauli, std::span<uint64_t> flip,
                          std::span<uint64_t> z) const;
    // The same at a fixed width W (0: any stride). Instances: 0, 1, 2, 4, 8.
    template <size_t W>
    uint8_t preimage_into_w(const PauliString& pauli, std::span<uint64_t> flip,
                            std::span<uint64_t> z) const;
    // Preimage of X_q, Y_q or Z_q.
    uint8_t preimage_basis_into(Axis axis, uint64_t qubit, std::span<uint64_t> flip,
                                std::span<uint64_t> z) const;

    // F X_q F^dagger and F Z_q F^dagger.
    RowPauli image_x(uint64_t qubit) const;
    RowPauli image_z(uint64_t qubit) const;

    // F <- F Z_pivot.
    void right_pauli_z(uint64_t pivot);
    // F <- F exp(i pi/4 Q) with Hermitian Q = i^p X^x_mask Z^z_mask.
    void right_pauli_exp(std::span<const uint64_t> x_mask, std::span<const uint64_t> z_mask,
                         uint8_t p);

  private:
    std::span<uint64_t> row_mut(uint64_t r);
    // q, or fatal when it is outside the register.
    uint64_t checked_qubit(uint64_t q) const;
    RowPauli image(uint64_t qubit, bool of_x) const;
    template <size_t W>
    void left_controlled_pauli_w(const PauliString& control, const PauliString& target);
    template <size_t W>
    uint8_t preimage_basis_w(Axis axis, uint64_t qubit, std::span<uint64_t> flip,
                             std::span<uint64_t> z) const;

    std::vector<uint64_t> words_;
    std::vector<uint8_t> signs_;
    std::vector<uint64_t> scratch_words_ = std::vector<uint64_t>(4, 0);
    std::array<uint8_t, 2> scratch_signs_{};
    uint64_t num_qubits_ = 0;
    uint64_t stride_ = 1;
};

}  // namespace kelvo::tableau_simulator
