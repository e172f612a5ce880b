// Test oracle: the assembly reducer's rule written out plainly, over lists of relations and a
// map of fixed conditions, with nothing of the reducer's indexes, scans or resumed passes.
#pragma once

#include <algorithm>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "compiler/relations.h"
#include "symbolic.h"

namespace kelvo::testing {

// What the reducer has learned, kept as plainly as the rule states it.
struct PlainRelations {
    std::vector<SymbolicBool> relations;
    std::unordered_map<int32_t, bool> fixed;

    // The reducer's adding rule for condition `c` and its (reduced) outcome.
    void add(int32_t c, const SymbolicBool& outcome) {
        const SymbolicBool r = measurement_relation(c, outcome);
        if (r.conditions.size() == 1) fixed[r.conditions[0]] = r.constant;
        if (r.conditions.size() >= 2) relations.push_back(r);
    }
};

// Fixed conditions out, then each relation naming a condition left, in order, applied when
// cheaper, the passes repeated until one changes nothing. `passes`, when given, receives the
// number of passes.
inline SymbolicBool plain_reduction(SymbolicBool plain, const PlainRelations& known,
                                    uint64_t* passes = nullptr) {
    if (passes != nullptr) *passes = 0;
    for (bool changed = !plain.conditions.empty(); changed;) {
        if (passes != nullptr) ++*passes;
        SymbolicBool kept{{}, plain.constant};
        for (const int32_t c : plain.conditions) {
            const auto it = known.fixed.find(c);
            if (it == known.fixed.end())
                kept.conditions.push_back(c);
            else
                kept.constant = kept.constant != it->second;
        }
        changed = kept != plain;
        const SymbolicBool start = kept;
        for (const SymbolicBool& r : known.relations) {
            const bool named =
                std::any_of(r.conditions.begin(), r.conditions.end(), [&](int32_t c) {
                    return std::binary_search(start.conditions.begin(), start.conditions.end(), c);
                });
            if (named) kept = reduce_by_relation_once(kept, r);
        }
        changed = (changed || kept != start) && !kept.conditions.empty();
        plain = kept;
    }
    return plain;
}

}  // namespace kelvo::testing
