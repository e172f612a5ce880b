// The Clifford frame: for an n-qubit Clifford U (latest gate on the left) it stores the 2n
// Paulis U^dag X_q U and U^dag Z_q U, absorbs gates by left multiplication and pulls Paulis
// back through U.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "pauli.h"

namespace kelvo {

// One nonzero word of a row: its index and the row's X and Z words there.
struct SupportWord {
    uint64_t word = 0;
    uint64_t x = 0;
    uint64_t z = 0;

    bool operator==(const SupportWord&) const = default;
};

// Rows 0..n-1 are the images of X_0..X_{n-1}, rows n..2n-1 those of Z_0..Z_{n-1}. For a Pauli
// P = i^k prod_q X_q^x_q Z_q^z_q, F(P) is i^k times the product, in increasing q, of row(X_q)
// (if x_q) then row(Z_q) (if z_q). Queries are const but fill caches, so a frame must not be
// queried from two threads at once.
class CliffordFrame {
  public:
    // The identity frame on n qubits.
    explicit CliffordFrame(uint64_t n = 0);
    // Rows given as the images of X_q and of Z_q. Each list must hold n rows of n qubits
    // (fatal otherwise); the rows are not checked for commutation relations.
    static CliffordFrame from_xz_rows(uint64_t n, std::vector<PauliString> x_rows,
                                      std::vector<PauliString> z_rows);

    uint64_t num_qubits() const { return n_; }
    std::span<const PauliString> rows() const { return rows_; }
    const PauliString& row(uint64_t r) const;

    // rows[dst] = rows[a] * rows[b] * i^k; dst may equal a or b.
    void mul_rows(uint64_t dst, uint64_t a, uint64_t b, uint8_t k);
    // Exchanges two rows (moves, no word copies).
    void swap_rows(uint64_t a, uint64_t b);
    // Multiplies a row by -1. Phases are not cached, so the caches stay valid.
    void negate_row(uint64_t r);

    // U <- G U for the gate each is named after. A qubit >= n is fatal ("qubit index out of
    // range"), and so are equal qubits of a two-qubit gate ("two-qubit Clifford gate requires
    // distinct qubits"); both are checked before any change.
    void left_h_yz(uint64_t q);
    void left_h_nyz(uint64_t q);
    void left_c_nxyz(uint64_t q);
    void left_c_nzyx(uint64_t q);
    void left_c_xynz(uint64_t q);
    void left_c_zynx(uint64_t q);
    void left_sqrt_x(uint64_t q);
    void left_sqrt_x_dag(uint64_t q);
    void left_sqrt_xx(uint64_t a, uint64_t b);
    void left_sqrt_xx_dag(uint64_t a, uint64_t b);
    void left_sqrt_yy(uint64_t a, uint64_t b);
    void left_sqrt_yy_dag(uint64_t a, uint64_t b);
    void left_sqrt_zz(uint64_t a, uint64_t b);
    void left_sqrt_zz_dag(uint64_t a, uint64_t b);
    void left_swap(uint64_t a, uint64_t b);
    void left_iswap(uint64_t a, uint64_t b);
    void left_iswap_dag(uint64_t a, uint64_t b);
    void left_cxswap(uint64_t a, uint64_t b);
    void left_czswap(uint64_t a, uint64_t b);
    void left_swapcx(uint64_t a, uint64_t b);
    void left_cx(uint64_t a, uint64_t b);
    void left_cy(uint64_t a, uint64_t b);
    void left_cz(uint64_t a, uint64_t b);
    void left_xcx(uint64_t a, uint64_t b);
    void left_xcy(uint64_t a, uint64_t b);
    void left_xcz(uint64_t a, uint64_t b);
    void left_ycx(uint64_t a, uint64_t b);
    void left_ycy(uint64_t a, uint64_t b);
    void left_ycz(uint64_t a, uint64_t b);

    // F(p) = U^dag p U, phase included. p must act on n qubits (fatal otherwise).
    PauliString preimage(const PauliString& p) const;
    // The C with F(C) = p, phase included. p must act on n qubits (fatal otherwise). Throws
    // KelvoError (InvalidInput) "frame rows do not span the Pauli body" when the rows cannot
    // produce p's body.
    PauliString coordinates_in_frame(const PauliString& p) const;
    // The same C written into `out` (of n qubits already, fatal otherwise), whose words are
    // reused: the planner rewrites many short operations per basis change.
    void coordinates_in_frame_into(const PauliString& p, PauliString& out) const;

    // Brings the per-row support lists up to date.
    void ensure_support_words() const;
    // The nonzero words of row r, in increasing word order (brings the lists up to date).
    std::span<const SupportWord> support_words(uint64_t r) const;

  private:
    // Per-row nonzero words. Rows are refreshed one by one: a bit change marks only its row
    // stale, so a query after a gate costs that gate's rows, not all 2n.
    struct SupportCache {
        std::vector<std::vector<SupportWord>> words;
        std::vector<uint8_t> stale;
        std::vector<uint64_t> stale_rows;
        std::vector<SupportWord> scratch;  // merge buffer of the sparse row product
        bool valid = false;                // built and no row stale
    };
    // Per-qubit bitsets over the 2n rows: R = word_count(2n) words per qubit.
    struct ColumnCache {
        std::vector<uint64_t> x_columns;
        std::vector<uint64_t> z_columns;
        bool valid = false;
    };

    void check_qubit(uint64_t q) const;
    void check_pair(uint64_t a, uint64_t b) const;
    void check_pauli(const PauliString& p) const;
    void row_bits_changed(uint64_t r);
    // Row product through the support of src when it is fresh and small; false otherwise.
    bool mul_rows_sparse(uint64_t dst, uint64_t src, bool src_on_right, uint8_t k);
    void rebuild_support_row(uint64_t r) const;
    void ensure_columns() const;
    // XORs the rows that F(p) multiplies into ax, az (zeroed, n bits each, support lists up to
    // date) and returns the phase exponent of the product (mod 4 not yet taken).
    unsigned preimage_words(const PauliString& p, uint64_t* ax, uint64_t* az) const;

    std::vector<PauliString> rows_;
    uint64_t n_ = 0;
    mutable SupportCache support_;
    mutable ColumnCache columns_;
};

}  // namespace kelvo
