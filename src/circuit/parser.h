// Entry points of the circuit language: text or a UTF-8 file in, a flattened Circuit out.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "cancellation.h"
#include "circuit/ir.h"

namespace kelvo {

// Parses circuit text. Throws KelvoError (Parse kind, "line N: ...") for the first refused
// line (also for a REPEAT block whose passes together cannot fit in memory), and
// std::bad_alloc when a single instruction's dense Pauli products cannot fit in the memory
// available now. `cancel` is polled while the text is scanned and while the circuit is
// built (Cancelled when it asks to stop).
Circuit parse_kelvo_circuit_text(std::string_view text, const CancellationCheck& cancel = {});

// Reads the file with read_circuit_file (circuit/file_read.h), then parses it: a missing or
// unreadable file, or contents that are not UTF-8, throw KelvoError (Io kind) "failed to read
// circuit file: {path}". `cancel` as for the read and the parse.
Circuit parse_kelvo_circuit_file(std::string_view path, const CancellationCheck& cancel = {});

namespace detail {

// As parse_kelvo_circuit_text, with an explicit bound in bytes on the flattened circuit's
// estimated size; without one, the estimate must fit in the memory available now.
Circuit parse_kelvo_circuit_text(std::string_view text, std::optional<uint64_t> memory_budget,
                                 const CancellationCheck& cancel = {});

}  // namespace detail
}  // namespace kelvo
