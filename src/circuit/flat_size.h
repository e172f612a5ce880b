// Estimated memory of a circuit once its REPEAT blocks are unrolled, gathered while scanning so
// that hostile nesting is refused before any unrolling starts.
#pragma once

#include <cstdint>

#include "circuit/names.h"
#include "memory.h"

namespace kelvo {

// Estimated size of a subtree once unrolled: `base` bytes plus `products` dense Pauli products
// (whose size depends on the final qubit count) over `lines` instruction lines. Saturating.
struct FlatSize {
    uint64_t base = 0;
    uint64_t products = 0;
    uint64_t lines = 0;

    void add(const FlatSize& other);
    FlatSize times(uint64_t count) const;
    // base + products * product_bytes, saturating.
    uint64_t bytes(uint64_t product_bytes) const;
};

// The FlatSize of one instruction line.
FlatSize line_flat_size(const OpInfo& op, uint64_t targets, uint64_t args);

}  // namespace kelvo
