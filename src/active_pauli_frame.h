// Conditional Pauli errors recorded while a circuit is lowered, and the conjugation of a
// Pauli by all of them at once.
#pragma once

#include <cstdint>
#include <variant>
#include <vector>

#include "pauli.h"
#include "record_columns.h"
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

// The records in the order they were added: their conditions and phases, and their X and Z
// bits by qubit (record_columns.h), in dense columns over all records on frames of few qubits
// and in sparse ones on wide frames, where a query's cost then follows the records that touch
// its support rather than the number of records.
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

    // Frames of this many qubits and more keep sparse columns. Below, a qubit's dense column
    // (a bit per record) costs less to write and to stream than the blocks that touch it.
    static constexpr uint64_t kSparseFromQubits = 512;

  private:
    void check_pauli(const PauliString& p) const;

    std::vector<int32_t> conditions_;  // per record, packed for queries
    std::vector<uint8_t> phases_;
    std::variant<DenseRecordColumns, SparseRecordColumns> columns_;
    uint64_t n_ = 0;
};

}  // namespace kelvo
