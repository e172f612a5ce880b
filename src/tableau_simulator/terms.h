// The amplitude table of one label width together with the scratch lists that rewrites reuse.
//
// A pair rewrite (T rotation, measurement) works in two passes over `map` without changing it in
// between: the staging pass appends to `scratch.staged` one amplitude per live entry in the map's
// iteration order (and, for measurements, the partner amplitudes to `scratch.partners`), and
// collects labels to create in `scratch.new_pairs`; the commit then walks the map in the same
// order with `AmplitudeTable::update_or_erase`, reserves room, and inserts the new pairs with
// `AmplitudeTable::insert_new`. Between operations the lists are empty and keep their capacity.
#pragma once

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "memory.h"
#include "tableau_simulator/amplitude_table.h"
#include "tableau_simulator/complex.h"
#include "tableau_simulator/decomposition.h"
#include "tableau_simulator/label.h"

namespace kelvo::tableau_simulator {

// Bytes one more label of `width` words may cost a table, counted generously: a slot array
// keeps up to 8/3 slots per entry and is rebuilt beside the old one when it grows, and a
// Label's words live on the heap.
template <LabelKey K>
uint64_t bytes_per_label(uint64_t width) {
    constexpr uint64_t slot = sizeof(K) + sizeof(Complex) + 1;
    return 6 * slot + (fixed_width_v<K> == 0 ? 8 * width : 0);
}

template <LabelKey K>
struct RotationScratch {
    std::vector<Complex> staged;
    std::vector<std::pair<K, Complex>> new_pairs;
    std::vector<std::optional<Complex>> partners;

    // Empties the lists, keeping their storage (Label keys in new_pairs are released).
    void clear() {
        staged.clear();
        new_pairs.clear();
        partners.clear();
    }
};

template <LabelKey K>
struct Terms {
    RotationScratch<K> scratch;
    AmplitudeTable<K> map;

    // A table holding every term of `source` with its label widened to `width` words; the
    // amplitudes are copied bit for bit and the scratch starts empty.
    template <LabelKey From>
    static Terms rekeyed(const AmplitudeTable<From>& source, uint64_t width) {
        require_memory(source.size(), bytes_per_label<K>(width), "the amplitude table");
        Terms out;
        out.map.reserve(source.size());
        for (const auto [key, amp] : source)
            out.map.insert_new(K::from_words(key.words(), width), amp);
        return out;
    }

    // Sum over the table of conj(a_j) a_k <j|coefficient X^flip Z^z|k>, i.e. <psi|P|psi> for the
    // decomposed P, summed in map order and not divided by the table's weight.
    double expectation_of_inner(const Decomp<K>& d) const {
        double e = 0;
        if (d.flip.is_zero()) {
            for (const auto [key, amp] : map) {
                const double v = key.and_parity(d.z) ? -d.coefficient.re : d.coefficient.re;
                e += norm2(amp) * v;
            }
            return e;
        }
        K partner = d.flip;
        for (const auto [key, amp] : map) {
            partner.assign_xor(key, d.flip);
            const Complex* b = map.find(partner);
            if (b == nullptr) continue;
            const Complex w = d.coefficient * (key.and_parity(d.z) ? -1.0 * amp : amp);
            e += b->re * w.re + b->im * w.im;
        }
        return e;
    }
};

}  // namespace kelvo::tableau_simulator
