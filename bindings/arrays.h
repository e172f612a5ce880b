// NumPy arrays that take over a C++ buffer without copying: the buffer moves into a small
// owner object exporting it through the buffer protocol, and `numpy.frombuffer` views it.
// The array keeps its owner alive; nothing else references the buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "memory.h"
#include "ref.h"

namespace kelvo::py {

// Imports NumPy and makes what the arrays below need, once per process. The module calls it
// while it is imported, so that no call imports anything: an import that Ctrl-C interrupts
// cannot be retried (NumPy refuses a second start), and a fork while another thread imports
// leaves the child waiting for that thread's import lock forever.
void prepare_arrays();

// A 2-D C-contiguous array of shape (rows, columns). RuntimeError when the buffer does not hold
// exactly rows × columns values.
Ref array2(UninitializedVector<uint8_t>&& values, size_t rows, size_t columns);  // uint8
Ref array2(UninitializedVector<double>&& values, size_t rows, size_t columns);   // float64

// A 1-D uint64 array of the buffer's length.
Ref array1(std::vector<uint64_t>&& values);

}  // namespace kelvo::py
