#include "circuit/flat_size.h"

#include "circuit/ir.h"

namespace kelvo {

void FlatSize::add(const FlatSize& other) {
    base = saturating_add(base, other.base);
    products = saturating_add(products, other.products);
    lines = saturating_add(lines, other.lines);
}

FlatSize FlatSize::times(uint64_t count) const {
    // A body without instruction lines is never iterated, so it costs nothing.
    if (lines == 0) return {};
    return {saturating_mul(base, count), saturating_mul(products, count),
            saturating_mul(lines, count)};
}

uint64_t FlatSize::bytes(uint64_t product_bytes) const {
    return saturating_add(base, saturating_mul(products, product_bytes));
}

FlatSize line_flat_size(const OpInfo& op, uint64_t targets, uint64_t args) {
    return {sizeof(CircuitInstruction) + 16 * targets + 8 * args,
            dense_product_count(op.kind, targets), 1};
}

}  // namespace kelvo
