// Conversions of Python arguments into C++ values. Each names its parameter in the error it
// raises and keeps the error's type (TypeError for a wrong type, OverflowError for a range).
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "ref.h"

namespace kelvo::py {

// One matched argument: the object (borrowed) and the parameter's name.
struct Arg {
    PyObject* obj;
    const char* name;

    bool is_none() const { return obj == Py_None; }
};

// Any int or object with __index__, 0 to 2^64-1 (a bool counts as 0 or 1).
uint64_t to_u64(Arg arg);
// None, or as to_u64.
std::optional<uint64_t> to_optional_u64(Arg arg);
// Python bool or NumPy bool scalar only; the ints 0 and 1 are refused.
bool to_bool(Arg arg);
// Signed 32-bit integer, reduced modulo 4 into 0..3 (-1 gives 3).
uint8_t to_phase(Arg arg);
// A str as UTF-8; the view lives as long as the argument object.
std::string_view to_str(Arg arg);
// A str naming a file, as the bytes the operating system sees (the file-system encoding, so
// undecodable bytes that Python carries as surrogate escapes come back unchanged).
std::string to_path(Arg arg);
// None (empty) or a sequence other than str of integers 0..255.
std::vector<uint8_t> to_byte_list(Arg arg);

// One pinned parity: measurement record indices and the value their parity must take.
struct Pin {
    std::vector<uint64_t> records;
    bool value;
};
// None (empty) or a sequence other than str of 2-tuples (sequence of indices, bool).
std::vector<Pin> to_pins(Arg arg);

// Raises TypeError "argument '<name>': expected <expected>, got '<type>'".
[[noreturn]] void raise_wrong_type(Arg arg, const char* expected);

}  // namespace kelvo::py
