// The X and Z bits of an active Pauli frame's records, by qubit, in two layouts: dense bit
// columns over every record, cheapest for few qubits, and sparse columns that hold only the
// blocks of records touching each qubit, for many qubits of which a record touches one or
// two. Both find the records from a first one on that anticommute with a Pauli.
#pragma once

#include <algorithm>
#include <cstdint>
#include <new>
#include <span>
#include <vector>

#include "memory.h"
#include "pauli.h"

namespace kelvo {

// Grows v's capacity to hold `size` elements, geometrically so that appends stay amortised,
// after require_memory: called before anything changes, so a refusal changes nothing.
template <typename T>
void reserve_for(std::vector<T>& v, uint64_t size) {
    if (size > v.max_size()) throw std::bad_alloc();
    if (size <= v.capacity()) return;
    require_memory(std::max<uint64_t>(size, 2 * v.capacity()), sizeof(T),
                   "the error frame's records");
    v.reserve(std::max<uint64_t>(size, 2 * v.capacity()));
}

// Both layouts share this interface. Records are numbered 0, 1, ... in the order they are
// added; `conditions` holds one id per record added so far.
//   prepare(e): allocates what adding record e needs; on std::bad_alloc nothing changed.
//   add(p, e): adds p's bits as record e, after prepare(e). Allocates nothing.
//   append_anticommuting(p, first, conditions, out): for `first` below the record count,
//     appends the condition of every record from `first` on that anticommutes with p; a
//     record may be listed an even number of times extra (pairs cancel when the list is
//     normalised).
//   scatter(bodies): ORs each record's X and Z bits into bodies[e].

// Blocks of 64 records are grouped into chunks of chunk_blocks_ blocks. Within a chunk, qubit
// q's column is the chunk_blocks_ words from q * chunk_blocks_: bit e % 64 of the word of e's
// block is set when record e has X (respectively Z) on q. A query streams one column per
// qubit of its support over its record range.
class DenseRecordColumns {
  public:
    explicit DenseRecordColumns(uint64_t num_qubits);
    void prepare(uint64_t e);
    void add(const PauliString& p, uint64_t e);
    void append_anticommuting(const PauliString& p, uint64_t first,
                              std::span<const int32_t> conditions, std::vector<int32_t>& out) const;
    void scatter(std::span<PauliString> bodies) const;

  private:
    struct Chunk {
        std::vector<uint64_t> x;
        std::vector<uint64_t> z;
    };

    std::vector<Chunk> chunks_;
    uint64_t chunk_blocks_ = 1;
    uint64_t n_ = 0;
};

// Per qubit, the 64-record blocks in which some record touches it, with those records' bits.
// A query reads only the blocks of its own qubits from its first record on, so its cost
// follows the records that touch its support rather than the number of records.
class SparseRecordColumns {
  public:
    explicit SparseRecordColumns(uint64_t num_qubits);
    void prepare(uint64_t e);
    void add(const PauliString& p, uint64_t e);
    void append_anticommuting(const PauliString& p, uint64_t first,
                              std::span<const int32_t> conditions, std::vector<int32_t>& out) const;
    void scatter(std::span<PauliString> bodies) const;

    // Records 64 index .. 64 index + 63 on one qubit: bit i of x (z) is set when record
    // 64 index + i has X (Z) there.
    struct Block {
        uint64_t index = 0;
        uint64_t x = 0;
        uint64_t z = 0;
    };

  private:
    // A query qubit's column from the query's first block on, and the masks selecting the
    // record bits that anticommute with the query there: its Z bits where the query has X,
    // its X bits where the query has Z.
    struct Cursor {
        const Block* next = nullptr;
        const Block* end = nullptr;
        uint64_t z_mask = 0;
        uint64_t x_mask = 0;
    };
    // Up to this many of a query's qubits are merged at once (on the stack); a wider query
    // is merged in groups whose lists are concatenated.
    static constexpr uint64_t kMergeWidth = 32;

    // Moves the open block of every qubit it touches to the qubit's column.
    void close_open_block(uint64_t index);
    // Appends the conditions of the records from `first` on whose symplectic product with
    // the query, summed over the cursors' qubits, is odd.
    static void merge_cursors(std::span<Cursor> cursors, uint64_t first,
                              std::span<const int32_t> conditions, std::vector<int32_t>& out);

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
