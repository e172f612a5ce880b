#include "circuit/file_read.h"

#include <gtest/gtest.h>

#include <new>

#include "errors.h"

namespace kelvo {
namespace {

// Blocking opens and reads (FIFOs, Ctrl-C) are exercised through the bindings, in
// tests/test_circuit_file_reads.py.
TEST(CircuitFileRead, EndlessSourcesEndAtTheMemoryBound) {
    EXPECT_THROW(detail::read_circuit_file("/dev/zero", {}, uint64_t{1} << 20), std::bad_alloc);
    // Random bytes are not UTF-8 for long: refused as they arrive, well within the bound.
    EXPECT_THROW(detail::read_circuit_file("/dev/urandom", {}, uint64_t{1} << 20), KelvoError);
}

}  // namespace
}  // namespace kelvo
