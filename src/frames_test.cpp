#include "frames.h"

#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>

#include "errors.h"
#include "testing/dense_gates.h"
#include "testing/error_text.h"

namespace kelvo {
namespace {

using testing::fatal_text;

using oracle::C;
using oracle::Mat;

struct Gate {
    std::string name;
    int arity;
    void (*apply)(CliffordFrame&, uint64_t, uint64_t);
    Mat (*matrix)(uint64_t n, uint64_t a, uint64_t b);
    std::string inverse;
};

// clang-format off
#define GATE1(f, inverse, code)                                                 \
    Gate{#f, 1, [](CliffordFrame& fr, uint64_t a, uint64_t) { fr.left_##f(a); }, \
         [](uint64_t n, uint64_t a, uint64_t b) {                               \
             return oracle::clifford_gate(CircuitGate::code, n, a, b); }, #inverse}
#define GATE2(f, inverse, code)                                                       \
    Gate{#f, 2, [](CliffordFrame& fr, uint64_t a, uint64_t b) { fr.left_##f(a, b); }, \
         [](uint64_t n, uint64_t a, uint64_t b) {                                     \
             return oracle::clifford_gate(CircuitGate::code, n, a, b); }, #inverse}
// clang-format on

const std::vector<Gate>& all_gates() {
    static const std::vector<Gate> gates = {
        GATE1(h_yz, h_yz, H_YZ),
        GATE1(h_nyz, h_nyz, H_NYZ),
        GATE1(c_nxyz, c_zynx, C_NXYZ),
        GATE1(c_nzyx, c_xynz, C_NZYX),
        GATE1(c_xynz, c_nzyx, C_XYNZ),
        GATE1(c_zynx, c_nxyz, C_ZYNX),
        GATE1(sqrt_x, sqrt_x_dag, SQRT_X),
        GATE1(sqrt_x_dag, sqrt_x, SQRT_X_DAG),
        GATE2(sqrt_xx, sqrt_xx_dag, SQRT_XX),
        GATE2(sqrt_xx_dag, sqrt_xx, SQRT_XX_DAG),
        GATE2(sqrt_yy, sqrt_yy_dag, SQRT_YY),
        GATE2(sqrt_yy_dag, sqrt_yy, SQRT_YY_DAG),
        GATE2(sqrt_zz, sqrt_zz_dag, SQRT_ZZ),
        GATE2(sqrt_zz_dag, sqrt_zz, SQRT_ZZ_DAG),
        GATE2(swap, swap, SWAP),
        GATE2(iswap, iswap_dag, ISWAP),
        GATE2(iswap_dag, iswap, ISWAP_DAG),
        GATE2(cxswap, swapcx, CXSWAP),
        GATE2(czswap, czswap, CZSWAP),
        GATE2(swapcx, cxswap, SWAPCX),
        GATE2(cx, cx, CX),
        GATE2(cy, cy, CY),
        GATE2(cz, cz, CZ),
        GATE2(xcx, xcx, XCX),
        GATE2(xcy, xcy, XCY),
        GATE2(xcz, xcz, XCZ),
        GATE2(ycx, ycx, YCX),
        GATE2(ycy, ycy, YCY),
        GATE2(ycz, ycz, YCZ),
    };
    return gates;
}

struct Step {
    const Gate* gate;
    uint64_t a, b;
    void apply(CliffordFrame& frame) const { gate->apply(frame, a, b); }
};

// A random gate on valid qubits of an n-qubit frame (n >= 2).
Step random_step(std::mt19937_64& rng, uint64_t n) {
    const Gate& g = all_gates()[rng() % all_gates().size()];
    const uint64_t a = rng() % n;
    uint64_t b = rng() % n;
    while (g.arity == 2 && b == a)
        b = rng() % n;
    return {&g, a, b};
}

void scramble(CliffordFrame& frame, std::mt19937_64& rng, int steps) {
    for (int i = 0; i < steps; ++i)
        random_step(rng, frame.num_qubits()).apply(frame);
}

// A random Pauli with `weight` random letters (some may be I) and a random phase.
PauliString random_pauli(std::mt19937_64& rng, uint64_t n, uint64_t weight) {
    PauliString p(n);
    for (uint64_t k = 0; k < weight; ++k) {
        const uint64_t q = rng() % n;
        p.set_xbit(q, rng() & 1);
        p.set_zbit(q, rng() & 1);
    }
    p.phase = static_cast<uint8_t>(rng() % 4);
    return p;
}

// The Pauli with X bits x and Z bits z (qubit q = bit q) on n qubits.
PauliString pauli_from_bits(uint64_t n, uint64_t x, uint64_t z, uint8_t phase) {
    PauliString p(n);
    for (uint64_t q = 0; q < n; ++q) {
        p.set_xbit(q, (x >> q) & 1);
        p.set_zbit(q, (z >> q) & 1);
    }
    p.phase = phase;
    return p;
}

// preimage(P) == U^dag P U for every Pauli body on n qubits (phases vary with the body).
void expect_frame_is(const CliffordFrame& frame, const Mat& u, const std::string& context) {
    const uint64_t n = frame.num_qubits(), bodies = uint64_t{1} << n;
    const Mat ud = oracle::adjoint(u);
    for (uint64_t x = 0; x < bodies; ++x) {
        for (uint64_t z = 0; z < bodies; ++z) {
            const PauliString p = pauli_from_bits(n, x, z, static_cast<uint8_t>((x + 3 * z) % 4));
            const PauliString image = frame.preimage(p);
            ASSERT_TRUE(oracle::near(oracle::pauli(image), ud * oracle::pauli(p) * u))
                << context << ": preimage of " << p.str() << " is " << image.str();
        }
    }
}

const Gate& gate_named(const std::string& name) {
    for (const Gate& g : all_gates())
        if (g.name == name) return g;
    throw std::runtime_error(name);
}

TEST(CliffordFrame, GatesMatchDenseConjugation) {
    const CliffordFrame identity_frame(3);
    for (const Gate& gate : all_gates()) {
        for (const auto& [a, b] : {std::pair<uint64_t, uint64_t>{0, 1}, {1, 0}, {2, 0}, {1, 2}}) {
            CliffordFrame frame(3);
            gate.apply(frame, a, b);
            expect_frame_is(frame, gate.matrix(3, a, b), gate.name);
            // The inverse restores the identity exactly, phases included.
            gate_named(gate.inverse).apply(frame, a, b);
            EXPECT_TRUE(std::ranges::equal(frame.rows(), identity_frame.rows())) << gate.name;
        }
    }
    std::mt19937_64 rng(3);
    for (uint64_t n = 2; n <= 3; ++n) {
        for (int trial = 0; trial < 12; ++trial) {
            CliffordFrame frame(n);
            Mat u = oracle::identity(uint64_t{1} << n);
            for (int step = 0; step < 25; ++step) {
                const Step s = random_step(rng, n);
                s.apply(frame);
                u = s.gate->matrix(n, s.a, s.b) * u;
                if (step % 6 == 5 || step == 24) expect_frame_is(frame, u, "sequence");
            }
        }
    }
}

TEST(CliffordFrame, GuardsFireBeforeAnyChange) {
    std::mt19937_64 rng(4);
    CliffordFrame frame(3);
    scramble(frame, rng, 10);
    const CliffordFrame before = frame;
    EXPECT_EQ(fatal_text([&] { frame.left_cx(2, 2); }),
              "assertion `left != right` failed: two-qubit Clifford gate requires distinct "
              "qubits\n  left: 2\n right: 2");
    EXPECT_EQ(fatal_text([&] { frame.left_sqrt_x(3); }), "qubit index out of range");
    EXPECT_EQ(fatal_text([&] { frame.left_cx(3, 3); }), "qubit index out of range");
    EXPECT_EQ(fatal_text([&] { frame.left_iswap(0, 7); }), "qubit index out of range");
    for (const Gate& g : all_gates()) {
        EXPECT_THROW(g.apply(frame, 3, 0), FatalError) << g.name;
        if (g.arity == 2) {
            EXPECT_THROW(g.apply(frame, 1, 1), FatalError) << g.name;
        }
    }
    EXPECT_TRUE(std::ranges::equal(frame.rows(), before.rows()));
    EXPECT_EQ(fatal_text([&] { (void)frame.preimage(PauliString(2)); }),
              "assertion `left == right` failed: Pauli string and Clifford frame have different "
              "numbers of qubits\n  left: 2\n right: 3");
    EXPECT_THROW((void)frame.coordinates_in_frame(PauliString(4)), FatalError);
}

TEST(CliffordFrame, FromXzRows) {
    std::mt19937_64 rng(8);
    CliffordFrame frame(4);
    scramble(frame, rng, 30);
    const auto rows = frame.rows();
    std::vector<PauliString> xs(rows.begin(), rows.begin() + 4), zs(rows.begin() + 4, rows.end());
    EXPECT_TRUE(std::ranges::equal(CliffordFrame::from_xz_rows(4, xs, zs).rows(), rows));

    // Rows that are no basis: some bodies cannot be produced, and the frame stays usable.
    std::vector<PauliString> bad_x = xs;
    bad_x[1] = bad_x[0];
    const CliffordFrame bad = CliffordFrame::from_xz_rows(4, bad_x, zs);
    int failures = 0;
    for (uint64_t i = 0; i < 256; ++i) {
        const PauliString p = pauli_from_bits(4, i % 16, i / 16, 0);
        try {
            EXPECT_EQ(bad.preimage(bad.coordinates_in_frame(p)), p);
        } catch (const KelvoError& e) {
            EXPECT_EQ(e.kind(), KelvoErrorKind::InvalidInput);
            EXPECT_STREQ(e.what(), "frame rows do not span the Pauli body");
            ++failures;
        }
    }
    EXPECT_GT(failures, 0);
    EXPECT_EQ(bad.preimage(pauli_x(4, 0)), xs[0]);

    // Wrong row counts, and rows of another width (which the word loops would cut or overrun).
    EXPECT_EQ(fatal_text([&] { CliffordFrame::from_xz_rows(4, {xs.begin(), xs.end() - 1}, zs); }),
              "assertion `left == right` failed\n  left: 3\n right: 4");
    EXPECT_THROW(CliffordFrame::from_xz_rows(4, xs, {zs.begin(), zs.end() - 1}), FatalError);
    std::vector<PauliString> wide = xs;
    wide[2] = PauliString(70);
    EXPECT_EQ(fatal_text([&] { CliffordFrame::from_xz_rows(4, wide, zs); }),
              "assertion `left == right` failed: Pauli string and Clifford frame have different "
              "numbers of qubits\n  left: 70\n right: 4");
    std::vector<PauliString> narrow = zs;
    narrow[0] = PauliString(3);
    EXPECT_THROW(CliffordFrame::from_xz_rows(4, xs, narrow), FatalError);
    std::vector<PauliString> malformed = zs;
    malformed[3].x.push_back(0);
    EXPECT_THROW(CliffordFrame::from_xz_rows(4, xs, malformed), FatalError);
}

// F(p) from the definition: i^phase times the rows in increasing qubit order, X before Z.
PauliString preimage_by_definition(std::span<const PauliString> rows, const PauliString& p) {
    const uint64_t n = p.num_qubits;
    PauliString acc(n);
    acc.phase = p.phase;
    for (uint64_t q = 0; q < n; ++q) {
        if (p.xbit(q)) acc = acc * rows[q];
        if (p.zbit(q)) acc = acc * rows[n + q];
    }
    return acc;
}

TEST(CliffordFrame, PreimageFollowsTheDefinitionAndCoordinatesInvertIt) {
    // With few gates per qubit most rows of a large frame touch one or two words (sparse
    // path); a hub qubit that interacts with everything grows dense rows (dense path).
    std::mt19937_64 rng(17);
    for (const uint64_t n : {3, 64, 65, 129, 300}) {
        CliffordFrame frame(n);
        for (int round = 0; round < 30; ++round) {
            for (int step = 0; step < 12; ++step) {
                Step s = random_step(rng, n);
                if (rng() % 4 == 0 && s.b != 0) s.a = 0;
                s.apply(frame);
            }
            for (int trial = 0; trial < 8; ++trial) {
                const PauliString p = random_pauli(rng, n, 1 + rng() % 6);
                const PauliString image = frame.preimage(p);
                ASSERT_EQ(image, preimage_by_definition(frame.rows(), p));
                ASSERT_EQ(frame.coordinates_in_frame(image), p);
                PauliString c = frame.coordinates_in_frame(p);
                ASSERT_EQ(frame.preimage(c), p);
                // -p has the coordinates of p, phase increased by 2.
                PauliString minus = p;
                minus.phase = static_cast<uint8_t>((p.phase + 2) % 4);
                c.phase = static_cast<uint8_t>((c.phase + 2) % 4);
                ASSERT_EQ(frame.coordinates_in_frame(minus), c);
            }
        }
        if (n < 128) continue;
        size_t sparse = 0, dense_rows = 0;
        for (uint64_t r = 0; r < 2 * n; ++r)
            (2 * frame.support_words(r).size() <= (n + 63) / 64 ? sparse : dense_rows) += 1;
        EXPECT_GT(sparse, 0u);
        EXPECT_GT(dense_rows, 0u);
    }
}

TEST(CliffordFrame, RowOperationsMatchPauliProductsAndKeepTheSupportCache) {
    // Random row products (including dst == a, dst == b, a == b), exchanges and sign flips
    // against the same operations on plain PauliString values. Rows mostly mix three qubits
    // of one word, so that they overlap while their supports stay small (sparse products).
    std::mt19937_64 rng(2);
    for (const uint64_t n : {5, 300}) {
        CliffordFrame frame(n);
        std::vector<PauliString> shadow(frame.rows().begin(), frame.rows().end());
        const uint64_t rows = 2 * n, words = (n + 63) / 64;
        const auto pick = [&](uint64_t w) {
            const uint64_t q = std::min(n - 1, 64 * w + rng() % 3);
            return rng() & 1 ? q : n + q;
        };
        for (int step = 0; step < 600; ++step) {
            const uint64_t w = rng() % words;
            const uint64_t d = pick(w), a = pick(w), b = pick(rng() % 8 ? w : rng() % words);
            switch (rng() % 5) {
                case 0:
                    frame.swap_rows(a, b);
                    std::swap(shadow[a], shadow[b]);
                    break;
                case 1:
                    frame.negate_row(a);
                    shadow[a].phase = static_cast<uint8_t>((shadow[a].phase + 2) % 4);
                    break;
                default: {
                    const uint64_t first = rng() % 3 == 0 ? d : a, second = rng() % 3 == 0 ? d : b;
                    const uint8_t k = static_cast<uint8_t>(rng() % 4);
                    frame.mul_rows(d, first, second, k);
                    shadow[d] = shadow[first] * shadow[second];
                    shadow[d].phase = static_cast<uint8_t>((shadow[d].phase + k) % 4);
                }
            }
            if (step % 9 == 0) {
                const PauliString p = random_pauli(rng, n, 3);
                ASSERT_EQ(frame.preimage(p), preimage_by_definition(shadow, p));
            }
            if (step % 23 != 0) continue;
            ASSERT_TRUE(std::ranges::equal(frame.rows(), shadow));
            for (uint64_t r = 0; r < rows; ++r) {
                std::vector<SupportWord> expected;
                for (uint64_t w = 0; w < shadow[r].x.size(); ++w) {
                    const uint64_t x = shadow[r].x[w], z = shadow[r].z[w];
                    if (x | z) expected.push_back({w, x, z});
                }
                ASSERT_TRUE(std::ranges::equal(frame.support_words(r), expected));
            }
        }
    }
}

}  // namespace
}  // namespace kelvo
