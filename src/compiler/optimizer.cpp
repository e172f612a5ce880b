#include "compiler/optimizer.h"

#include <algorithm>
#include <array>
#include <bit>
#include <iterator>
#include <optional>
#include <utility>

#include "background_release.h"
#include "errors.h"
#include "splitmix64.h"

namespace kelvo {
namespace {

constexpr uint64_t kNone = ~uint64_t{0};

// (phase - Y count) mod 4: 0 for +P, 2 for -P, odd for an imaginary coefficient.
unsigned coefficient_exponent(const PauliString& p) {
    return (p.phase + 4 - static_cast<unsigned>(p.y_count() % 4)) % 4;
}

bool same_words(const PauliString& a, const PauliString& b) {
    return a.num_qubits == b.num_qubits && a.x == b.x && a.z == b.z;
}

// What the tests of one segment read, in arrays beside the operations, built in one pass over
// the Paulis' words so that the scans rarely touch those words again: each support folded
// modulo 64 (disjoint folds commute), the letters of Paulis on at most four qubits, and the
// hash of each rotation's merge key (body words and sign conditions).
class Sketches {
  public:
    // Throws for a rotation whose Pauli is not Hermitian. `sign_hashes` are the operations'
    // FullSigns hashes.
    Sketches(std::span<const PendingOperation> ops, std::span<const uint64_t> sign_hashes)
        : folds_(ops.size()), letters_(ops.size()), hashes_(ops.size()) {
        std::optional<uint64_t> width;
        bool one_width = true;
        for (uint64_t i = 0; i < ops.size(); ++i) {
            const PauliString* p = pauli_of(ops[i]);
            if (p == nullptr) continue;
            one_width = one_width && p->num_qubits == width.value_or(p->num_qubits);
            width = p->num_qubits;
            const uint64_t y = sketch(*p, folds_[i], letters_[i], hashes_[i]);
            if (const auto* r = std::get_if<PendingPauliRotation>(&ops[i])) {
                if ((p->phase + y) % 2 == 1) (void)canonical_rotation(*r);
                hashes_[i] = mix(hashes_[i], sign_hashes[i]);
            }
        }
        if (!one_width) {  // the full test refuses mixed widths
            std::fill(folds_.begin(), folds_.end(), ~uint64_t{0});
            for (Letters& l : letters_)
                l.count = kWide;
        }
    }

    uint64_t key_hash(uint64_t i) const { return hashes_[i]; }

    // False when either is a record. Paulis rewritten since keep their body.
    bool anticommute(std::span<const PendingOperation> ops, uint64_t a, uint64_t b) const {
        if ((folds_[a] & folds_[b]) == 0) return false;
        const Letters& la = letters_[a];
        const Letters& lb = letters_[b];
        if (la.count == kWide || lb.count == kWide) {
            const PauliString* pa = pauli_of(ops[a]);
            const PauliString* pb = pauli_of(ops[b]);
            return pa != nullptr && pb != nullptr && pauli_anticommutes(*pa, *pb);
        }
        unsigned odd = 0;
        for (uint8_t i = 0; i < la.count; ++i) {
            for (uint8_t j = 0; j < lb.count; ++j) {
                if (la.qubits[i] != lb.qubits[j]) continue;
                const unsigned x = la.xz[i], z = lb.xz[j];  // bit 0 X, bit 1 Z
                odd ^= ((x & 1) & (z >> 1)) ^ ((x >> 1) & (z & 1));
            }
        }
        return odd != 0;
    }

    bool same_body(std::span<const PendingOperation> ops, uint64_t a, uint64_t b) const {
        if (folds_[a] != folds_[b]) return false;
        const Letters& la = letters_[a];
        const Letters& lb = letters_[b];
        if (la.count == kWide || lb.count == kWide)
            return same_words(*pauli_of(ops[a]), *pauli_of(ops[b]));
        return la.count == lb.count &&
               std::equal(la.qubits.begin(), la.qubits.begin() + la.count, lb.qubits.begin()) &&
               std::equal(la.xz.begin(), la.xz.begin() + la.count, lb.xz.begin());
    }

  private:
    static constexpr uint8_t kWide = 0xff;  // too many qubits for `Letters`, or mixed widths

    struct Letters {
        std::array<uint64_t, 4> qubits{};
        std::array<uint8_t, 4> xz{};
        uint8_t count = 0;
    };

    static uint64_t mix(uint64_t h, uint64_t v) { return (h ^ v) * 0x9e3779b97f4a7c15 + (h >> 29); }

    // Fills fold, letters and the body part of the hash; returns the Y count.
    static uint64_t sketch(const PauliString& p, uint64_t& fold, Letters& letters, uint64_t& hash) {
        uint64_t y = 0;
        hash = p.num_qubits;
        for (size_t w = 0; w < p.x.size(); ++w) {
            const uint64_t support = p.x[w] | p.z[w];
            fold |= support;
            y += static_cast<uint64_t>(std::popcount(p.x[w] & p.z[w]));
            hash = mix(mix(hash, p.x[w]), p.z[w]);
            for (uint64_t bits = support; bits != 0 && letters.count != kWide; bits &= bits - 1) {
                if (letters.count == 4) {
                    letters.count = kWide;
                    break;
                }
                const auto b = static_cast<unsigned>(std::countr_zero(bits));
                letters.qubits[letters.count] = 64 * w + b;
                letters.xz[letters.count] =
                    static_cast<uint8_t>(((p.x[w] >> b) & 1) | (((p.z[w] >> b) & 1) << 1));
                ++letters.count;
            }
        }
        return y;
    }

    std::vector<uint64_t> folds_;
    std::vector<Letters> letters_;
    std::vector<uint64_t> hashes_;
};

// Rotations merge when their full signs name the same conditions. A relative sign
// (sign_anchors.h) is the anchor measurement's full sign XOR its own, and the measurements of
// one body anchor each other in list order, so two operations of one body differ in full by
// their own signs and those of the measurements of that body between them.
class FullSigns {
  public:
    // `ops` in lowering order, each anchor before the operations that name it.
    FullSigns(std::span<const PendingOperation> ops, uint32_t next_condition_id)
        : hashes_(ops.size(), 0), anchor_constants_(ops.size(), 0) {
        for (uint64_t i = 0; i < ops.size(); ++i) {
            const SymbolicBool* sign = sign_of(ops[i]);
            if (sign == nullptr) continue;
            for (const int32_t c : sign->conditions)
                hashes_[i] ^= condition_hash(c);
            if (const std::optional<uint32_t> a = anchor_of(ops[i])) {
                const uint64_t m = measurement_index(*a);
                hashes_[i] ^= hashes_[m];
                anchor_constants_[i] = anchor_constants_[m] ^ sign_of(ops[m])->constant;
            }
            const auto* measurement = std::get_if<PendingPauliMeasurement>(&ops[i]);
            if (measurement != nullptr && measurement->condition_id) {
                const uint64_t c = *measurement->condition_id;
                if (c >= measurements_.size())
                    measurements_.resize(std::max<uint64_t>(c + 1, next_condition_id), kNone);
                measurements_[c] = i;
            }
        }
    }

    // XOR of a hash per condition of operation i's full sign.
    std::span<const uint64_t> hashes() const { return hashes_; }
    // The constant of operation i's anchor's full sign (false without an anchor).
    bool anchor_constant(uint64_t i) const { return anchor_constants_[i] != 0; }

    // Whether operations i < j (indices into the list given at construction, read again as
    // `ops`), of one body, have full signs naming the same conditions.
    bool same_conditions(std::span<const PendingOperation> ops, uint64_t i, uint64_t j) const {
        const std::optional<uint32_t> stop = anchor_of(ops[i]);
        std::optional<uint32_t> a = anchor_of(ops[j]);
        if (a == stop) return sign_of(ops[i])->conditions == sign_of(ops[j])->conditions;
        std::vector<int32_t> ids = sign_of(ops[i])->conditions;
        const auto append = [&ids](const SymbolicBool& sign) {
            ids.insert(ids.end(), sign.conditions.begin(), sign.conditions.end());
        };
        append(*sign_of(ops[j]));
        for (; a != stop; a = anchor_of(ops[measurement_index(*a)])) {
            if (!a) return false;
            append(*sign_of(ops[measurement_index(*a)]));
        }
        return normalize_xor_conditions(std::move(ids)).empty();
    }

  private:
    static uint64_t condition_hash(int32_t c) {
        uint64_t state = static_cast<uint64_t>(c);
        return splitmix64_next(state);
    }
    uint64_t measurement_index(uint32_t condition) const {
        KELVO_ASSERT(condition < measurements_.size() && measurements_[condition] != kNone,
                     "an anchor precedes its operations");
        return measurements_[condition];
    }

    std::vector<uint64_t> hashes_;
    std::vector<uint8_t> anchor_constants_;
    std::vector<uint64_t> measurements_;  // condition id -> the measurement carrying it
};

// For each rotation, the next rotation of the segment with the same merge key, or kNone: an
// open-addressing table of positions filled walking backwards.
// `all` is the whole list, of which `ops` is the segment from `offset`.
std::vector<uint64_t> next_same_key(std::span<const PendingOperation> all, uint64_t offset,
                                    std::span<const PendingOperation> ops, const Sketches& sketches,
                                    const FullSigns& signs) {
    auto same_key = [&](uint64_t later, uint64_t earlier) {
        const auto& ra = std::get<PendingPauliRotation>(ops[later]);
        const auto& rb = std::get<PendingPauliRotation>(ops[earlier]);
        return same_words(ra.pauli, rb.pauli) &&
               signs.same_conditions(all, offset + earlier, offset + later);
    };
    std::vector<uint64_t> next(ops.size(), kNone);
    const uint64_t capacity = std::bit_ceil(2 * ops.size() + 2);
    std::vector<uint64_t> slots(capacity, kNone);  // positions
    for (uint64_t j = ops.size(); j-- > 0;) {
        if (!std::holds_alternative<PendingPauliRotation>(ops[j])) continue;
        const uint64_t h = sketches.key_hash(j);
        for (uint64_t s = (h ^ (h >> 32)) & (capacity - 1);; s = (s + 1) & (capacity - 1)) {
            if (slots[s] == kNone) {
                slots[s] = j;
                break;
            }
            if (sketches.key_hash(slots[s]) == h && same_key(slots[s], j)) {
                next[j] = slots[s];
                slots[s] = j;
                break;
            }
        }
    }
    return next;
}

struct SegmentCounts {
    uint64_t merged = 0;
    uint64_t cancelled = 0;
    uint64_t moved = 0;
};

// Folds each rotation into the next one with its key when nothing between them
// anticommutes with it; a chain collapses into its last member. Returns the removed marks.
std::vector<uint8_t> merge_rotations(std::span<const PendingOperation> all, uint64_t offset,
                                     std::span<PendingOperation> ops, const Sketches& sketches,
                                     const FullSigns& signs, SegmentCounts& counts,
                                     const CancellationCheck& cancel) {
    const std::vector<uint64_t> next = next_same_key(all, offset, ops, sketches, signs);
    std::vector<uint8_t> removed(ops.size(), 0);
    for (uint64_t i = 0; i < ops.size(); ++i) {
        if (removed[i] || !std::holds_alternative<PendingPauliRotation>(ops[i])) continue;
        cancel.check();
        uint64_t j = next[i];
        while (j != kNone && removed[j])
            j = next[j];
        if (j == kNone) continue;
        bool blocked = false;
        for (uint64_t k = i + 1; k < j && !blocked; ++k) {
            blocked = sketches.anticommute(ops, k, i) && !removed[k];
        }
        if (blocked) continue;
        const auto& ri = std::get<PendingPauliRotation>(ops[i]);
        auto& rj = std::get<PendingPauliRotation>(ops[j]);
        CanonicalRotation kj = canonical_rotation(rj);
        const bool same_sign =
            (canonical_rotation(ri).sign.constant != signs.anchor_constant(offset + i)) ==
            (kj.sign.constant != signs.anchor_constant(offset + j));
        const double angle = same_sign ? rj.angle + ri.angle : rj.angle - ri.angle;
        removed[i] = 1;
        ++counts.merged;
        if (angle == 0.0) {
            removed[j] = 1;
            ++counts.cancelled;
        } else {
            rj = PendingPauliRotation{std::move(kj.body), std::move(kj.sign), angle, rj.anchor};
        }
    }
    return removed;
}

// Moves each measurement earlier past the rotations that commute with it: as far as they
// reach when the segment merged something, otherwise only onto the nearest of them that
// has the measured Pauli's own body. `order` lists the kept operations by their index in
// `ops`; only the order moves.
void hoist_measurements(std::span<const PendingOperation> ops, const Sketches& sketches,
                        std::vector<uint64_t>& order, bool merged, SegmentCounts& counts,
                        const CancellationCheck& cancel) {
    for (uint64_t m = 1; m < order.size(); ++m) {
        const uint64_t measured = order[m];
        if (!std::holds_alternative<PendingPauliMeasurement>(ops[measured])) continue;
        cancel.check();
        uint64_t k = m;
        for (uint64_t j = m; j-- > 0;) {
            const uint64_t r = order[j];
            if (!std::holds_alternative<PendingPauliRotation>(ops[r]) ||
                sketches.anticommute(ops, r, measured))
                break;
            if (merged) {
                k = j;
            } else if (sketches.same_body(ops, r, measured)) {
                k = j;
                break;
            }
        }
        if (k == m) continue;
        std::rotate(order.begin() + static_cast<std::ptrdiff_t>(k),
                    order.begin() + static_cast<std::ptrdiff_t>(m),
                    order.begin() + static_cast<std::ptrdiff_t>(m + 1));
        counts.moved += m - k;
    }
}

}  // namespace

CanonicalRotation canonical_rotation(const PendingPauliRotation& rotation) {
    const unsigned d = coefficient_exponent(rotation.pauli);
    if (d % 2 == 1) {
        throw KelvoError::invalid_input("pending Pauli rotation must have a Hermitian generator");
    }
    CanonicalRotation out{rotation.pauli, xor_bool_constant(rotation.sign, d == 2)};
    out.body.phase = static_cast<uint8_t>(out.body.y_count() % 4);
    return out;
}

OptimizationResult optimize_pending_operations(PendingFactoredState& state,
                                               std::span<const uint64_t> preserved,
                                               const CancellationCheck& cancel) {
    if (!state.instructions.empty() || !state.checkpoints.empty()) {
        throw KelvoError::invalid_input("pending-operation optimization must run before planning");
    }
    const uint64_t n = state.pending.size();
    OptimizationResult result;
    result.count_before = n;
    result.position_map.assign(n + 1, -1);
    result.position_map[0] = 0;

    const bool has_request =
        std::any_of(state.pending.begin(), state.pending.end(), [](const PendingOperation& op) {
            const auto* m = std::get_if<PendingPauliMeasurement>(&op);
            return m != nullptr && m->expectation_index.has_value();
        });
    if (has_request) {
        for (uint64_t p = 0; p <= n; ++p)
            result.position_map[p] = static_cast<int32_t>(p);
        result.count_after = n;
        state.optimized = true;
        state.in_order = true;
        return result;
    }

    std::vector<uint64_t> barriers;
    barriers.reserve(preserved.size() + 1);
    for (const uint64_t p : preserved) {
        if (p > n)
            throw KelvoError::invalid_input("preserved pending-operation prefix is out of range");
        if (p != 0) barriers.push_back(p);
    }
    barriers.push_back(n);
    std::sort(barriers.begin(), barriers.end());
    barriers.erase(std::unique(barriers.begin(), barriers.end()), barriers.end());

    // Only rotations merge and measurements move only past rotations: without one the list
    // stays as it is, and nothing needs hashing.
    const bool has_rotation =
        std::any_of(state.pending.begin(), state.pending.end(), [](const PendingOperation& op) {
            return std::holds_alternative<PendingPauliRotation>(op);
        });
    if (!has_rotation) {
        for (const uint64_t end : barriers)
            result.position_map[end] = static_cast<int32_t>(end);
        result.count_after = n;
        state.optimized = true;
        state.in_order = false;
        return result;
    }

    const FullSigns signs(state.pending, state.context.next_condition_id);
    std::vector<PendingOperation> optimized;
    const ReleaseOnUnwind release(optimized);
    optimized.reserve(n);
    uint64_t begin = 0;
    for (const uint64_t end : barriers) {
        cancel.check();
        const std::span<PendingOperation> segment =
            std::span<PendingOperation>(state.pending).subspan(begin, end - begin);
        SegmentCounts counts;
        const Sketches sketches(segment, signs.hashes().subspan(begin, end - begin));
        const std::vector<uint8_t> removed =
            merge_rotations(state.pending, begin, segment, sketches, signs, counts, cancel);
        std::vector<uint64_t> order;
        order.reserve(segment.size());
        for (uint64_t i = 0; i < segment.size(); ++i) {
            if (!removed[i]) order.push_back(i);
        }
        hoist_measurements(segment, sketches, order, counts.merged > 0, counts, cancel);
        for (const uint64_t i : order)
            optimized.push_back(std::move(segment[i]));
        result.position_map[end] = static_cast<int32_t>(optimized.size());
        result.merged_rotations += counts.merged;
        result.cancelled_rotations += counts.cancelled;
        result.moved_positions += counts.moved;
        begin = end;
    }
    result.count_after = optimized.size();
    state.pending = std::move(optimized);
    state.optimized = true;
    state.in_order = false;
    return result;
}

}  // namespace kelvo
