#include "circuit/ir.h"

#include <algorithm>

#include "circuit/parser.h"

namespace kelvo {

Circuit Circuit::from_text(std::string_view text, const CancellationCheck& cancel) {
    return parse_kelvo_circuit_text(text, cancel);
}

size_t Circuit::observable_count() const {
    size_t count = 0;
    for (const CircuitObservableInclude& o : observables)
        count = std::max(count, o.index + 1);
    return count;
}

}  // namespace kelvo
