// The one way the circuit readers refuse a line.
#pragma once

#include <cstddef>
#include <string_view>

#include "errors.h"

namespace kelvo {

// Throws KelvoError::parse: "line {line}: {message}".
[[noreturn]] inline void fail(size_t line, std::string_view message) {
    throw KelvoError::parse(line, message);
}

}  // namespace kelvo
