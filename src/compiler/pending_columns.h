// The pending operations' Paulis as bit columns: for block b of 64 operations and qubit q, one
// word of the X table (and one of the Z table) whose bit j % 64 is set when operation j has X
// (Z) on q. The planner finds the operations a basis change touches, or that anticommute with a
// pushed outcome, with a few word operations per block instead of a test per operation. Blocks
// holding no operation with a Pauli in the tables (records, operations waiting for their anchor)
// are skipped through one bit each.
#pragma once

#include <bit>
#include <cstdint>
#include <span>
#include <vector>

#include "bits.h"
#include "pauli.h"

namespace kelvo {

struct PendingFactoredState;

class PendingColumns {
  public:
    bool built() const { return built_; }

    // Operation j (not in the tables yet) joins them with Pauli p.
    void add(uint64_t j, const PauliString& p);
    // Operation j's Pauli changes from `before` to `after`.
    void update(uint64_t j, const PauliString& before, const PauliString& after);

    // visit(j) for every operation start <= j < count of a block in the tables whose bit is set
    // in block_word(x words, z words) (each pointing at the block's n qubit words).
    template <class BlockWord, class Visit>
    void for_each_marked(uint64_t start, uint64_t count, BlockWord block_word, Visit visit) const {
        const uint64_t blocks = word_count(count);
        for (uint64_t w = start / 64 / 64; w < live_.size(); ++w) {
            uint64_t live = live_[w];
            if (w == start / 64 / 64) live &= ~uint64_t{0} << (start / 64 % 64);
            for (; live != 0; live &= live - 1) {
                const uint64_t b = 64 * w + static_cast<uint64_t>(std::countr_zero(live));
                if (b >= blocks) return;
                uint64_t acc = block_word(x_.data() + b * n_, z_.data() + b * n_);
                if (b == start / 64) acc &= ~uint64_t{0} << (start % 64);
                for (; acc != 0; acc &= acc - 1) {
                    const uint64_t j = 64 * b + static_cast<uint64_t>(std::countr_zero(acc));
                    if (j >= count) return;
                    visit(j);
                }
            }
        }
    }

  private:
    friend void build_pending_columns(PendingFactoredState& state);

    std::vector<uint64_t> x_, z_;
    std::vector<uint64_t> live_;  // bit b: block b holds an operation that joined the tables
    uint64_t n_ = 0;
    bool built_ = false;
};

// Builds the state's tables from its pending list once, on first need, leaving out the
// operations that wait for their anchor (anchor_schedule.h), which it builds first.
void build_pending_columns(PendingFactoredState& state);

}  // namespace kelvo
