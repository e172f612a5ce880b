#include "compiler/frame_transforms.h"

#include <algorithm>
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

// The qubits whose X or Z row differs from the identity frame's. A Pauli supported elsewhere
// is its own image, so its coordinates are itself.
std::vector<uint64_t> moved_qubits(const CliffordFrame& frame) {
    const uint64_t n = frame.num_qubits();
    std::vector<uint64_t> moved;
    for (uint64_t q = 0; q < n; ++q) {
        if (!is_generator(frame.row(q), q, false) || !is_generator(frame.row(n + q), q, true))
            moved.push_back(q);
    }
    return moved;
}

template <class Visit>
void for_each_set_bit(const std::vector<uint64_t>& words, Visit visit) {
    for (size_t w = 0; w < words.size(); ++w) {
        for (uint64_t bits = words[w]; bits != 0; bits &= bits - 1)
            visit(64 * w + static_cast<uint64_t>(std::countr_zero(bits)));
    }
}

// sign XOR value. A value of a few ids (an outcome is usually one) is toggled into the sign's
// list where it stands instead of merging the whole list into a new one.
void xor_in_place(SymbolicBool& sign, const SymbolicBool& value) {
    if (value.conditions.size() > 4) {
        sign = xor_bool(sign, value);
        return;
    }
    std::vector<int32_t>& ids = sign.conditions;
    for (const int32_t c : value.conditions) {
        // A fresh coin is past every id of the sign: no search into a long sign for it.
        if (ids.empty() || ids.back() < c) {
            ids.push_back(c);
            continue;
        }
        const auto it = std::lower_bound(ids.begin(), ids.end(), c);
        if (it != ids.end() && *it == c)
            ids.erase(it);
        else
            ids.insert(it, c);
    }
    sign.constant = sign.constant != value.constant;
}

// Calls visit(j) for every operation j >= start in the column tables whose bit is set in the
// block word that block_word(xc, zc) computes from a block's X and Z tables.
template <class BlockWord, class Visit>
void for_each_marked(PendingFactoredState& state, uint64_t start, BlockWord block_word,
                     Visit visit) {
    build_pending_columns(state);
    state.columns.for_each_marked(start, state.pending.size(), block_word, visit);
}

// The block word of the operations that anticommute with p: those whose Z column meets p's X
// or whose X column meets p's Z.
struct Anticommuting {
    std::vector<uint64_t> x_support, z_support;

    explicit Anticommuting(const PauliString& p) {
        for_each_set_bit(p.x, [&](uint64_t q) { x_support.push_back(q); });
        for_each_set_bit(p.z, [&](uint64_t q) { z_support.push_back(q); });
    }
    uint64_t operator()(const uint64_t* xc, const uint64_t* zc) const {
        uint64_t acc = 0;
        for (const uint64_t q : x_support)
            acc ^= zc[q];
        for (const uint64_t q : z_support)
            acc ^= xc[q];
        return acc;
    }
};

void push_by_columns(PendingFactoredState& state, uint64_t start, const PauliString& p,
                     const SymbolicBool& value) {
    KELVO_ASSERT_EQ(p.num_qubits, state.num_qubits,
                    "Pauli strings act on different numbers of qubits");
    for_each_marked(state, start, Anticommuting(p), [&](uint64_t j) {
        if (SymbolicBool* sign = sign_of(state.pending[j])) xor_in_place(*sign, value);
    });
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
        // Operations before the cursor are planned already and never read again; of the
        // others only those with a part on a moved qubit change, found through the tables.
        KELVO_ASSERT_EQ(frame.num_qubits(), state.num_qubits,
                        "Pauli strings act on different numbers of qubits");
        const std::vector<uint64_t> qubits = moved_qubits(frame);
        const auto touched = [&](const uint64_t* xc, const uint64_t* zc) {
            uint64_t acc = 0;
            for (const uint64_t q : qubits)
                acc |= xc[q] | zc[q];
            return acc;
        };
        // The new Pauli is built in a spare whose words are reused from operation to operation.
        PauliString next(state.num_qubits);
        for_each_marked(state, state.cursor, touched, [&](uint64_t j) {
            PauliString* p = pauli_of(state.pending[j]);
            if (p == nullptr) return;
            frame.coordinates_in_frame_into(*p, next);
            state.columns.update(j, *p, next);
            std::swap(*p, next);
        });
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
    // In the in-order mode the stored operations are still in the coordinates before the
    // deferred changes.
    if (state.in_order && state.deferred_frame) {
        push_by_columns(state, start, state.frame.preimage(pauli), value);
    } else {
        push_by_columns(state, start, pauli, value);
    }
}

namespace {

// The part the replacement and promotion frames share: rows X_i -> X_i Z_q^(b.z_i) and
// Z_i -> Z_i Z_q^(b.x_i) for i != q, with Z_q and b taking the two rows of q. Every bit off q
// becomes p's, times b when p.x_q; then p = i^c * (those letters, times Z_q^t) * b with
// t = (p.z ^ b.z)_q, so the sign is the parity of the new Z crossing b's X, counted with t at
// q. Returns p.x_q and <b, p>; the bits of q are left to the caller.
std::pair<bool, bool> fold_body_off_qubit(PauliString& p, uint64_t q, const PauliString& b) {
    KELVO_ASSERT_EQ(p.num_qubits, b.num_qubits, "Pauli strings act on different numbers of qubits");
    KELVO_ASSERT(b.xbit(q), "the body must have an X part on the dormant qubit");
    const bool x_on_q = p.xbit(q), anticommutes = pauli_anticommutes(p, b);
    if (x_on_q) {
        uint64_t crossings = 0;
        for (size_t i = 0; i < p.x.size(); ++i) {
            p.x[i] ^= b.x[i];
            p.z[i] ^= b.z[i];
            crossings ^= p.z[i] & b.x[i];
        }
        p.phase =
            static_cast<uint8_t>((p.phase + 4 - b.phase + 2 * (std::popcount(crossings) & 1)) % 4);
    }
    return {x_on_q, anticommutes};
}

// Bits k..q-1 move up to k+1..q and bit k becomes `bit` (k <= q).
void insert_bit_moving_up(std::vector<uint64_t>& v, uint64_t k, uint64_t q, bool bit) {
    for (uint64_t w = q / 64 + 1; w-- > k / 64;) {
        const uint64_t lo = w == k / 64 ? k % 64 : 0, hi = w == q / 64 ? q % 64 : 63;
        const uint64_t range = (~uint64_t{0} >> (63 - hi)) & (~uint64_t{0} << lo);
        const uint64_t carry = w == k / 64 ? bit : v[w - 1] >> 63;
        const uint64_t moved = ((v[w] << 1) & ~(uint64_t{1} << lo)) | (carry << lo);
        v[w] = (v[w] & ~range) | (moved & range);
    }
}

// Consume mode: rewrites by `coordinates` the operations from the cursor that anticommute with
// b or have a part on qubits k..q, the only ones a replacement (k = q) or promotion changes.
template <class Coordinates>
void rewrite_touched(PendingFactoredState& state, uint64_t k, uint64_t q, const PauliString& b,
                     Coordinates coordinates) {
    KELVO_ASSERT(!state.in_order, "only consume mode rewrites the operations at once");
    KELVO_ASSERT_EQ(b.num_qubits, state.num_qubits,
                    "Pauli strings act on different numbers of qubits");
    const Anticommuting anticommuting(b);
    const auto touched = [&](const uint64_t* xc, const uint64_t* zc) {
        uint64_t acc = anticommuting(xc, zc);
        for (uint64_t i = k; i <= q; ++i)
            acc |= xc[i] | zc[i];
        return acc;
    };
    // The new Pauli is built in a copy whose words are reused from operation to operation.
    PauliString next;
    for_each_marked(state, state.cursor, touched, [&](uint64_t j) {
        PauliString* p = pauli_of(state.pending[j]);
        if (p == nullptr) return;
        next = *p;
        coordinates(next);
        state.columns.update(j, *p, next);
        std::swap(*p, next);
    });
}

// X_q -> Z_q, Z_q -> b: z_q = <Z_q, p> = p.x_q and x_q = <b, p>.
void replace_in_place(PauliString& p, uint64_t q, const PauliString& b) {
    const auto [x_on_q, anticommutes] = fold_body_off_qubit(p, q, b);
    p.set_zbit(q, x_on_q);
    p.set_xbit(q, anticommutes);
}

// X_k -> b, Z_k -> Z_q: x_k = p.x_q and z_k = <b, p>, b now standing left of Z_q^z_k, which
// costs a sign when both are set.
void promote_in_place(PauliString& p, uint64_t k, uint64_t q, const PauliString& b) {
    KELVO_ASSERT(k <= q, "the promoted qubit must be dormant");
    const auto [x_on_q, anticommutes] = fold_body_off_qubit(p, q, b);
    if (x_on_q && anticommutes) p.phase = static_cast<uint8_t>((p.phase + 2) % 4);
    insert_bit_moving_up(p.x, k, q, x_on_q);
    insert_bit_moving_up(p.z, k, q, anticommutes);
}

}  // namespace

PauliString coordinates_after_replacement(PauliString p, uint64_t q, const PauliString& b) {
    replace_in_place(p, q, b);
    return p;
}

PauliString coordinates_after_promotion(PauliString p, uint64_t k, uint64_t q,
                                        const PauliString& b) {
    promote_in_place(p, k, q, b);
    return p;
}

void transform_pending_operations_by_replacement(PendingFactoredState& state, uint64_t q,
                                                 const PauliString& b) {
    rewrite_touched(state, q, q, b, [&](PauliString& p) { replace_in_place(p, q, b); });
}

void transform_pending_operations_by_promotion(PendingFactoredState& state, uint64_t k, uint64_t q,
                                               const PauliString& b) {
    rewrite_touched(state, k, q, b, [&](PauliString& p) { promote_in_place(p, k, q, b); });
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
