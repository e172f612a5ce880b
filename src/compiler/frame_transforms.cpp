#include "compiler/frame_transforms.h"

#include <bit>
#include <type_traits>
#include <utility>
#include <vector>

#include "bits.h"
#include "errors.h"

namespace kelvo {
namespace {

// Is `row` exactly the generator X_q (Z_q when `z_row`) with coefficient +1?
bool is_generator(const PauliString& row, uint64_t q, bool z_row) {
    if (row.phase != 0) return false;
    const std::vector<uint64_t>& on = z_row ? row.z : row.x;
    const std::vector<uint64_t>& off = z_row ? row.x : row.z;
    for (size_t w = 0; w < on.size(); ++w) {
        const uint64_t expected = w == q / 64 ? uint64_t{1} << (q % 64) : 0;
        if (on[w] != expected || off[w] != 0) return false;
    }
    return true;
}

// The qubits whose X or Z row differs from the identity frame's, as the nonzero words of a
// packed qubit mask. A Pauli supported elsewhere is its own image, so its coordinates are
// itself.
struct MovedQubits {
    uint64_t words = 0;                                // word count of the frame's Paulis
    std::vector<std::pair<uint64_t, uint64_t>> masks;  // (word index, moved bits), nonzero

    explicit MovedQubits(const CliffordFrame& frame) : words(word_count(frame.num_qubits())) {
        const uint64_t n = frame.num_qubits();
        for (uint64_t q = 0; q < n; ++q) {
            if (is_generator(frame.row(q), q, false) && is_generator(frame.row(n + q), q, true))
                continue;
            if (masks.empty() || masks.back().first != q / 64) masks.emplace_back(q / 64, 0);
            masks.back().second |= uint64_t{1} << (q % 64);
        }
    }

    bool touched_by(const PauliString& p) const {
        if (p.x.size() != words) return true;  // let the transform report the mismatch
        for (const auto& [w, mask] : masks) {
            if ((p.x[w] | p.z[w]) & mask) return true;
        }
        return false;
    }
};

// The Pauli of a rotation or measurement; none for a record.
const PauliString* pauli_of(const PendingOperation& op) {
    if (const auto* r = std::get_if<PendingPauliRotation>(&op)) return &r->pauli;
    if (const auto* m = std::get_if<PendingPauliMeasurement>(&op)) return &m->pauli;
    return nullptr;
}

SymbolicBool* sign_of(PendingOperation& op) {
    if (auto* r = std::get_if<PendingPauliRotation>(&op)) return &r->sign;
    if (auto* m = std::get_if<PendingPauliMeasurement>(&op)) return &m->sign;
    return nullptr;
}

template <class Visit>
void for_each_set_bit(const std::vector<uint64_t>& words, Visit visit) {
    for (size_t w = 0; w < words.size(); ++w) {
        for (uint64_t bits = words[w]; bits != 0; bits &= bits - 1)
            visit(64 * w + static_cast<uint64_t>(std::countr_zero(bits)));
    }
}

// Block b of each table holds n words: bit j % 64 of word (j / 64) * n + q is set when
// operation j has X (respectively Z) on qubit q.
void build_columns(PendingFactoredState& state) {
    const uint64_t n = state.num_qubits;
    const uint64_t words = word_count(state.pending.size()) * n;
    state.x_columns.assign(words, 0);
    state.z_columns.assign(words, 0);
    for (uint64_t j = 0; j < state.pending.size(); ++j) {
        const PauliString* p = pauli_of(state.pending[j]);
        if (p == nullptr) continue;
        KELVO_ASSERT_EQ(p->num_qubits, n, "Pauli strings act on different numbers of qubits");
        const uint64_t base = (j / 64) * n;
        const uint64_t bit = uint64_t{1} << (j % 64);
        for_each_set_bit(p->x, [&](uint64_t q) { state.x_columns[base + q] |= bit; });
        for_each_set_bit(p->z, [&](uint64_t q) { state.z_columns[base + q] |= bit; });
    }
    state.columns_built = true;
}

void push_by_columns(PendingFactoredState& state, uint64_t start, const PauliString& p,
                     const SymbolicBool& value) {
    const uint64_t n = state.num_qubits;
    KELVO_ASSERT_EQ(p.num_qubits, n, "Pauli strings act on different numbers of qubits");
    if (!state.columns_built) build_columns(state);
    // Operation j anticommutes with p when the Z column of j meets p's X or vice versa.
    std::vector<uint64_t> x_support, z_support;
    for_each_set_bit(p.x, [&](uint64_t q) { x_support.push_back(q); });
    for_each_set_bit(p.z, [&](uint64_t q) { z_support.push_back(q); });
    const uint64_t count = state.pending.size();
    const uint64_t blocks = word_count(count);
    for (uint64_t b = start / 64; b < blocks; ++b) {
        const uint64_t* zc = state.z_columns.data() + b * n;
        const uint64_t* xc = state.x_columns.data() + b * n;
        uint64_t acc = 0;
        for (const uint64_t q : x_support)
            acc ^= zc[q];
        for (const uint64_t q : z_support)
            acc ^= xc[q];
        if (b == start / 64) acc &= ~uint64_t{0} << (start % 64);
        for (; acc != 0; acc &= acc - 1) {
            const uint64_t j = 64 * b + static_cast<uint64_t>(std::countr_zero(acc));
            if (j >= count) break;
            if (SymbolicBool* sign = sign_of(state.pending[j])) *sign = xor_bool(*sign, value);
        }
    }
}

void push_by_list(PendingFactoredState& state, uint64_t start, const PauliString& p,
                  const SymbolicBool& value) {
    // A lone X on qubit q anticommutes exactly with the Paulis that have Z on q.
    uint64_t x_count = 0;
    bool has_z = false;
    for (size_t w = 0; w < p.x.size(); ++w) {
        x_count += static_cast<uint64_t>(std::popcount(p.x[w]));
        has_z = has_z || p.z[w] != 0;
    }
    const std::optional<uint64_t> lone_x =
        (!has_z && x_count == 1) ? p.max_support() : std::nullopt;
    for (uint64_t j = start; j < state.pending.size(); ++j) {
        PendingOperation& op = state.pending[j];
        const PauliString* q = pauli_of(op);
        if (q == nullptr) continue;
        const bool anticommutes = lone_x ? q->zbit(*lone_x) : pauli_anticommutes(*q, p);
        if (anticommutes) {
            SymbolicBool* sign = sign_of(op);
            *sign = xor_bool(*sign, value);
        }
    }
}

}  // namespace

PendingOperation transform_operation_by_frame(const PendingOperation& operation,
                                              const CliffordFrame& frame) {
    return std::visit(
        [&](const auto& op) -> PendingOperation {
            auto out = op;
            if constexpr (!std::is_same_v<std::decay_t<decltype(op)>, PendingClassicalRecord>)
                out.pauli = frame.coordinates_in_frame(op.pauli);
            return out;
        },
        operation);
}

void transform_pending_operations_by_frame(PendingFactoredState& state,
                                           const CliffordFrame& frame) {
    if (!state.in_order) {
        // Operations before the cursor are planned already and never read again.
        const MovedQubits moved(frame);
        for (uint64_t j = state.cursor; j < state.pending.size(); ++j) {
            PendingOperation& op = state.pending[j];
            const PauliString* p = pauli_of(op);
            if (p != nullptr && moved.touched_by(*p)) op = transform_operation_by_frame(op, frame);
        }
        return;
    }
    // Stored operations stay in the oldest coordinates; the state's frame maps the current
    // basis back to them, so the new frame is the state's frame applied to each new row.
    const uint64_t n = frame.num_qubits();
    std::vector<PauliString> x_rows, z_rows;
    x_rows.reserve(n);
    z_rows.reserve(n);
    for (uint64_t q = 0; q < n; ++q) {
        x_rows.push_back(state.frame.preimage(frame.row(q)));
        z_rows.push_back(state.frame.preimage(frame.row(n + q)));
    }
    state.frame = CliffordFrame::from_xz_rows(n, std::move(x_rows), std::move(z_rows));
    state.deferred_frame = true;
}

void push_symbolic_pauli_through_pending_from(PendingFactoredState& state, uint64_t from,
                                              const PauliString& pauli, const SymbolicBool& value) {
    if (!value.conditions.empty()) {
        KELVO_ASSERT(value.conditions.back() >= 0, "condition id must be nonnegative");
        state.context.raise_next_condition_id_past(value.conditions.back());
    }
    // `from` is 1-based; 0 is read as 1 rather than wrapping around.
    uint64_t start = (from == 0 ? 0 : from - 1) + state.cursor;
    if (start >= state.pending.size()) return;
    if (state.in_order) {
        // The stored operations are still in the coordinates before the deferred changes.
        if (state.deferred_frame) {
            push_by_columns(state, start, state.frame.preimage(pauli), value);
        } else {
            push_by_columns(state, start, pauli, value);
        }
        return;
    }
    push_by_list(state, start, pauli, value);
}

PauliString positive_hermitian_body(PauliString pauli) {
    const uint64_t y = pauli.y_count();
    if ((pauli.phase + 4 - y % 4) % 2 == 1) {
        throw KelvoError::invalid_input("Pauli frame row requires a Hermitian Pauli body");
    }
    pauli.phase = static_cast<uint8_t>(y % 4);
    return pauli;
}

PauliString multiply_by_stabilizer_if_anticommutes(PauliString row, const PauliString& test,
                                                   const PauliString& multiplier) {
    if (!pauli_anticommutes(row, test)) return row;
    PauliString product = row * multiplier;
    product.phase = static_cast<uint8_t>(product.y_count() % 4);
    return product;
}

}  // namespace kelvo
