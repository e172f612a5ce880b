#include "compiler/frame_transforms.h"

#include <gtest/gtest.h>

#include <random>

#include "bits.h"
#include "errors.h"
#include "testing/random_pauli.h"

namespace kelvo {
namespace {

// A random Hermitian Pauli with either sign.
PauliString random_hermitian(std::mt19937_64& rng, uint64_t n, uint64_t weight) {
    PauliString p = test_support::random_pauli_letters(rng, n, weight);
    p.phase = static_cast<uint8_t>((p.phase + 2 * (rng() & 1)) % 4);
    return p;
}

SymbolicBool random_sign(std::mt19937_64& rng) {
    return SymbolicBool{normalize_xor_conditions({1 + static_cast<int32_t>(rng() % 9)}),
                        (rng() & 1) != 0};
}

// A Clifford touching a few qubits, so that most operations miss it.
CliffordFrame random_frame(std::mt19937_64& rng, uint64_t n) {
    CliffordFrame f(n);
    for (int g = 0; g < 6; ++g) {
        const uint64_t a = rng() % n, b = (a + 1 + rng() % (n - 1)) % n;
        (rng() & 1) ? f.left_cx(a, b) : f.left_iswap(a, b);
        (rng() & 1) ? f.left_h_yz(b) : f.left_sqrt_x(a);
    }
    return f;
}

bool brute_anticommutes(const PauliString& a, const PauliString& b) {
    bool odd = false;
    for (uint64_t q = 0; q < a.num_qubits; ++q)
        odd ^= (a.xbit(q) && b.zbit(q)) != (a.zbit(q) && b.xbit(q));
    return odd;
}

// Records, measurements and rotations of weight 1 to 4 in consume mode.
PendingFactoredState random_pending(std::mt19937_64& rng, uint64_t n, uint64_t count) {
    PendingFactoredState state;
    state.num_qubits = n;
    state.frame = CliffordFrame(n);
    for (uint64_t j = 0; j < count; ++j) {
        const PauliString p = random_hermitian(rng, n, 1 + rng() % 4);
        if (j % 10 == 9) {
            state.pending.push_back(PendingClassicalRecord{random_sign(rng), j, std::nullopt});
        } else if (j % 3 == 0) {
            state.pending.push_back(PendingPauliMeasurement{p, random_sign(rng), j, {}, {}, {}});
        } else {
            state.pending.push_back(PendingPauliRotation{p, random_sign(rng), 0.1 * j, {}});
        }
    }
    return state;
}

// The same changes applied eagerly (consume mode) and by composition (in-order mode) must give
// the same operations once the composed frame is applied; every push in between must flip
// exactly the operations a qubit-by-qubit symplectic product says anticommute.
TEST(FrameTransforms, EagerAndComposedChangesAgree) {
    std::mt19937_64 rng(5);
    const uint64_t n = 70, count = 150;  // two words of qubits, three blocks of operations
    PendingFactoredState eager = random_pending(rng, n, count);
    PendingFactoredState composed = eager;
    composed.in_order = true;
    for (int round = 0; round < 8; ++round) {
        const CliffordFrame change = round % 4 == 3 ? CliffordFrame(n) : random_frame(rng, n);
        transform_pending_operations_by_frame(eager, change);
        transform_pending_operations_by_frame(composed, change);
        for (int push = 0; push < 6; ++push) {
            const PauliString p = push % 2 ? pauli_x(n, rng() % n) : random_hermitian(rng, n, 4);
            const SymbolicBool value = symbolic_bool(20 + round);
            composed.cursor = rng() % count;
            const uint64_t from = rng() % 3;
            const uint64_t start = (from == 0 ? 0 : from - 1) + composed.cursor;
            std::vector<PendingOperation> want = eager.pending;
            for (uint64_t j = start; j < count; ++j) {
                auto* r = std::get_if<PendingPauliRotation>(&want[j]);
                auto* m = std::get_if<PendingPauliMeasurement>(&want[j]);
                if (r && brute_anticommutes(r->pauli, p)) r->sign = xor_bool(r->sign, value);
                if (m && brute_anticommutes(m->pauli, p)) m->sign = xor_bool(m->sign, value);
            }
            push_symbolic_pauli_through_pending_from(eager, start + 1, p, value);
            push_symbolic_pauli_through_pending_from(composed, from, p, value);
            ASSERT_EQ(eager.pending, want);
        }
    }
    EXPECT_TRUE(composed.deferred_frame && composed.columns.built());
    EXPECT_EQ(composed.context.next_condition_id, 28u);
    for (uint64_t j = 0; j < count; ++j)
        ASSERT_EQ(transform_operation_by_frame(composed.pending[j], composed.frame),
                  eager.pending[j]);
}

// Replacements and promotions applied row by row must rewrite the operations from a moving
// cursor as the frames built from their rows do, one by one, and leave the column tables right
// for the pushes after them.
TEST(FrameTransforms, ReplacementAndPromotionMatchTheirFrames) {
    std::mt19937_64 rng(9);
    const uint64_t n = 70, count = 150;
    PendingFactoredState state = random_pending(rng, n, count);
    std::vector<PendingOperation> want = state.pending;
    for (int round = 0; round < 60; ++round) {
        // Often across the word boundary at 64, so that moved qubits carry between words.
        const uint64_t q = round % 4 == 0 ? n - 1 - rng() % 6 : rng() % n;
        const uint64_t k = round % 3 ? rng() % (q + 1) : q;
        const bool promotion = round % 2 == 0;
        PauliString b = random_hermitian(rng, n, 1 + rng() % 8);
        b.set_xbit(q, true);
        b.phase = static_cast<uint8_t>(b.y_count() % 4);
        const PauliString s = pauli_z(n, q);
        // The rows in the planner's order: the promoted qubit at k, the others kept in order.
        std::vector<PauliString> x_rows, z_rows;
        for (uint64_t i = 0; i < n; ++i) {
            if (promotion && i == k) {
                x_rows.push_back(b);
                z_rows.push_back(s);
            }
            if (i == q) {
                if (!promotion) {
                    x_rows.push_back(s);
                    z_rows.push_back(b);
                }
                continue;
            }
            x_rows.push_back(multiply_by_stabilizer_if_anticommutes(pauli_x(n, i), b, s));
            z_rows.push_back(multiply_by_stabilizer_if_anticommutes(pauli_z(n, i), b, s));
        }
        const CliffordFrame frame = CliffordFrame::from_xz_rows(n, x_rows, z_rows);

        state.cursor = rng() % count;
        if (promotion)
            transform_pending_operations_by_promotion(state, k, q, b);
        else
            transform_pending_operations_by_replacement(state, q, b);
        const PauliString pushed = round % 4 < 2 ? pauli_x(n, k) : random_hermitian(rng, n, 3);
        push_symbolic_pauli_through_pending_from(state, 1, pushed, symbolic_bool(30 + round));
        for (uint64_t j = state.cursor; j < count; ++j) {
            want[j] = transform_operation_by_frame(want[j], frame);
            auto* r = std::get_if<PendingPauliRotation>(&want[j]);
            auto* m = std::get_if<PendingPauliMeasurement>(&want[j]);
            SymbolicBool* sign = r ? &r->sign : m ? &m->sign : nullptr;
            if (sign && brute_anticommutes(r ? r->pauli : m->pauli, pushed))
                *sign = xor_bool(*sign, symbolic_bool(30 + round));
        }
        ASSERT_EQ(state.pending, want) << "round " << round;
    }
}

PauliString with_phase(const char* text, uint8_t phase) {
    PauliString p = pauli_string(text);
    p.phase = phase;
    return p;
}

TEST(FrameTransforms, RowsAndEdges) {
    const struct {
        PauliString got, want;
    } rows[] = {
        {positive_hermitian_body(with_phase("X", 2)), pauli_string("X")},
        {positive_hermitian_body(with_phase("Y", 1)), with_phase("Y", 1)},
        {positive_hermitian_body(with_phase("Y", 3)), with_phase("Y", 1)},
        {multiply_by_stabilizer_if_anticommutes(pauli_string("XI"), pauli_string("ZI"),
                                                pauli_string("ZZ")),
         with_phase("YZ", 1)},
        {multiply_by_stabilizer_if_anticommutes(pauli_string("IZ"), pauli_string("ZI"),
                                                pauli_string("ZZ")),
         pauli_string("IZ")},
    };
    for (const auto& row : rows)
        EXPECT_EQ(row.got, row.want) << row.got.str();
    EXPECT_THROW(positive_hermitian_body(with_phase("Z", 1)), KelvoError);

    std::mt19937_64 rng(1);
    const PendingOperation record = PendingClassicalRecord{symbolic_bool(3), 1, 4};
    EXPECT_EQ(transform_operation_by_frame(record, random_frame(rng, 2)), record);
    PendingFactoredState state;
    state.pending.push_back(record);
    push_symbolic_pauli_through_pending_from(state, 2, PauliString(0), symbolic_bool(40));
    EXPECT_EQ(state.context.next_condition_id, 41u);
}

}  // namespace
}  // namespace kelvo
