// Conditional Pauli errors recorded while a circuit is lowered, and the conjugation of a
// Pauli by all of them at once.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "pauli.h"
#include "symbolic.h"

namespace kelvo {

// `pauli` applied when condition `condition` (>= 1) is 1, the identity otherwise.
struct ConditionalPauliString {
    PauliString pauli;
    int32_t condition = 0;

    bool operator==(const ConditionalPauliString&) const = default;
};

// (-1)^sign * pauli, the sign known only per shot.
struct SymbolicPauliString {
    PauliString pauli;
    SymbolicBool sign;

    bool operator==(const SymbolicPauliString&) const = default;
};

// The records in the order they were added: their conditions and phases, and per qubit a sparse
// column of the records' X and Z bits on it, 64 records per block, holding only the blocks in
// which some record touches the qubit. A query reads the columns of its own qubits from its
// first record on, so its cost follows the records that touch its support rather than the
// number of records; a qubit that most records touch keeps what is in effect a dense column.
class ActivePauliFrame {
  public:
    // Past this many records, entries() lists them without bodies.
    static constexpr uint64_t kBodyLimit = 200000;

    explicit ActivePauliFrame(uint64_t num_qubits = 0);

    // Records p under `condition` and returns the record with a full copy of p (even when the
    // stored record keeps no body). Raises context.next_condition_id past `condition`. A p of
    // another qubit count ("Pauli string dimension does not match active Pauli frame") and a
    // condition below 1 ("condition id must be positive") are fatal and change nothing.
    ConditionalPauliString add_pauli(const PauliString& p, int32_t condition,
                                     SymbolicContext& context);
    // The same without the returned copy.
    void record_pauli(const PauliString& p, int32_t condition, SymbolicContext& context);

    // p unchanged, signed by the XOR of the conditions of every record anticommuting with p.
    SymbolicPauliString conjugate_by(const PauliString& p) const;
    // That sign alone, over the records from `first_record` on (all of them by default).
    SymbolicBool anticommutation_sign(const PauliString& p, uint64_t first_record = 0) const;

    uint64_t num_qubits() const { return n_; }
    uint64_t size() const { return conditions_.size(); }
    // The records in order, each body rebuilt from the columns (no body past kBodyLimit
    // records). Builds a new list on every call.
    std::vector<ConditionalPauliString> entries() const;

  private:
    // Records 64 index .. 64 index + 63 on one qubit: bit i of x (z) is set when record
    // 64 index + i has X (Z) there.
    struct Block {
        uint64_t index = 0;
        uint64_t x = 0;
        uint64_t z = 0;
    };
    // Up to this many of a query's qubits are merged at once (on the stack); a wider query
    // is merged in groups whose signs are XORed.
    static constexpr uint64_t kMergeWidth = 32;

    // A query qubit's column from the query's first block on, and the masks selecting the
    // record bits that anticommute with the query there: its Z bits where the query has X,
    // its X bits where the query has Z.
    struct Cursor {
        const Block* next = nullptr;
        const Block* end = nullptr;
        uint64_t z_mask = 0;
        uint64_t x_mask = 0;
    };

    void check_pauli(const PauliString& p) const;
    // Appends the conditions of the records from first_record on whose symplectic product
    // with the query, summed over the cursors' qubits, is odd.
    void merge_cursors(std::span<Cursor> cursors, uint64_t first_record,
                       std::vector<int32_t>& out) const;

    std::vector<int32_t> conditions_;  // per record, packed for queries
    std::vector<uint8_t> phases_;
    // Moves the open block of every qubit it touches to the qubit's column.
    void close_open_block();

    // Per qubit, the closed blocks by ascending index. The newest block of records is open:
    // its bits are kept per qubit in open_x_ and open_z_ (qubits it touches marked in
    // open_qubits_), written in place as records arrive and moved to the columns when the
    // next block begins.
    std::vector<std::vector<Block>> columns_;
    std::vector<uint64_t> open_x_;
    std::vector<uint64_t> open_z_;
    std::vector<uint64_t> open_qubits_;
    uint64_t n_ = 0;
};

}  // namespace kelvo
