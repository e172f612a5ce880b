#include "frames.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "testing/dense_gates.h"
#include "testing/error_text.h"
#include "testing/random_pauli.h"

namespace kelvo {
namespace {

using oracle::Mat;
using test_support::pauli_from_bits;
using test_support::random_pauli;
using testing::fatal_text;

struct Gate {
    const char* name;
    CircuitGate code;
    void (*apply)(CliffordFrame&, uint64_t, uint64_t);
};

// clang-format off
#define GATE1(f, code)         \
    Gate{#code, CircuitGate::code, \
         [](CliffordFrame& fr, uint64_t a, uint64_t) { fr.left_##f(a); }}
#define GATE2(f, code)         \
    Gate{#code, CircuitGate::code, \
         [](CliffordFrame& fr, uint64_t a, uint64_t b) { fr.left_##f(a, b); }}
const Gate kGates[] = {
    GATE1(h_yz, H_YZ), GATE1(h_nyz, H_NYZ), GATE1(c_nxyz, C_NXYZ), GATE1(c_nzyx, C_NZYX),
    GATE1(c_xynz, C_XYNZ), GATE1(c_zynx, C_ZYNX), GATE1(sqrt_x, SQRT_X),
    GATE1(sqrt_x_dag, SQRT_X_DAG), GATE2(sqrt_xx, SQRT_XX), GATE2(sqrt_xx_dag, SQRT_XX_DAG),
    GATE2(sqrt_yy, SQRT_YY), GATE2(sqrt_yy_dag, SQRT_YY_DAG), GATE2(sqrt_zz, SQRT_ZZ),
    GATE2(sqrt_zz_dag, SQRT_ZZ_DAG), GATE2(swap, SWAP), GATE2(iswap, ISWAP),
    GATE2(iswap_dag, ISWAP_DAG), GATE2(cxswap, CXSWAP), GATE2(czswap, CZSWAP),
    GATE2(swapcx, SWAPCX), GATE2(cx, CX), GATE2(cy, CY), GATE2(cz, CZ), GATE2(xcx, XCX),
    GATE2(xcy, XCY), GATE2(xcz, XCZ), GATE2(ycx, YCX), GATE2(ycy, YCY), GATE2(ycz, YCZ),
};
// clang-format on

struct Step {
    const Gate* gate;
    uint64_t a, b;
    void apply(CliffordFrame& frame) const { gate->apply(frame, a, b); }
    Mat matrix(uint64_t n) const { return oracle::clifford_gate(gate->code, n, a, b); }
};

// A random gate on valid qubits of an n-qubit frame (n >= 2).
Step random_step(std::mt19937_64& rng, uint64_t n) {
    const Gate& g = kGates[rng() % std::size(kGates)];
    const uint64_t a = rng() % n;
    uint64_t b = rng() % n;
    while (oracle::is_two_qubit_clifford(g.code) && b == a)
        b = rng() % n;
    return {&g, a, b};
}

// preimage(P) == U^dag P U for every Pauli body on n qubits (phases vary with the body).
void expect_frame_is(const CliffordFrame& frame, const Mat& u, const std::string& context) {
    const uint64_t n = frame.num_qubits(), bodies = uint64_t{1} << n;
    const Mat ud = oracle::adjoint(u);
    for (uint64_t i = 0; i < bodies * bodies; ++i) {
        const uint64_t x = i % bodies, z = i / bodies;
        const PauliString p = pauli_from_bits(n, x, z, static_cast<uint8_t>((x + 3 * z) % 4));
        const PauliString image = frame.preimage(p);
        ASSERT_TRUE(oracle::near(oracle::pauli(image), ud * oracle::pauli(p) * u))
            << context << ": preimage of " << p.str() << " is " << image.str();
    }
}

TEST(CliffordFrame, GatesMatchDenseConjugation) {
    // Each gate on several pairs, applied to the identity frame or after a few random gates.
    std::mt19937_64 rng(3);
    for (const Gate& gate : kGates) {
        for (const auto& [a, b] : {std::pair<uint64_t, uint64_t>{0, 1}, {1, 0}, {2, 0}, {1, 2}}) {
            CliffordFrame frame(3);
            Mat u = oracle::identity(8);
            for (uint64_t k = 1 + rng() % 6; k-- > 0;) {
                const Step s = k > 0 ? random_step(rng, 3) : Step{&gate, a, b};
                s.apply(frame);
                u = s.matrix(3) * u;
            }
            expect_frame_is(frame, u, gate.name);
        }
    }
}

TEST(CliffordFrame, FromXzRowsAndGuardsThatFireBeforeAnyChange) {
    std::mt19937_64 rng(8);
    CliffordFrame frame(4);
    for (int i = 0; i < 30; ++i)
        random_step(rng, 4).apply(frame);
    const auto rows = frame.rows();
    std::vector<PauliString> xs(rows.begin(), rows.begin() + 4), zs(rows.begin() + 4, rows.end());
    EXPECT_TRUE(std::ranges::equal(CliffordFrame::from_xz_rows(4, xs, zs).rows(), rows));

    const CliffordFrame before = frame;
    EXPECT_EQ(fatal_text([&] { frame.left_cx(2, 2); }),
              "assertion `left != right` failed: two-qubit Clifford gate requires distinct "
              "qubits\n  left: 2\n right: 2");
    EXPECT_EQ(fatal_text([&] { frame.left_cx(4, 4); }), "qubit index out of range");
    for (const Gate& g : kGates) {
        EXPECT_EQ(fatal_text([&] { g.apply(frame, 4, 0); }), "qubit index out of range") << g.name;
        if (!oracle::is_two_qubit_clifford(g.code)) continue;
        EXPECT_EQ(fatal_text([&] { g.apply(frame, 0, 7); }), "qubit index out of range") << g.name;
        EXPECT_THROW(g.apply(frame, 1, 1), FatalError) << g.name;
    }
    EXPECT_TRUE(std::ranges::equal(frame.rows(), before.rows()));
    EXPECT_EQ(fatal_text([&] { (void)frame.preimage(PauliString(2)); }),
              "assertion `left == right` failed: Pauli string and Clifford frame have different "
              "numbers of qubits\n  left: 2\n right: 4");
    EXPECT_THROW((void)frame.coordinates_in_frame(PauliString(5)), FatalError);

    // Wrong row counts, and rows of another width (which the word loops would cut or overrun).
    const auto refusal = [](std::vector<PauliString> x, std::vector<PauliString> z) {
        return fatal_text([&] { CliffordFrame::from_xz_rows(4, x, z); });
    };
    std::vector<PauliString> wide = xs, narrow = zs, malformed = zs;
    wide[2] = PauliString(70);
    narrow[0] = PauliString(3);
    malformed[3].x.push_back(0);
    EXPECT_EQ(refusal({xs.begin(), xs.end() - 1}, zs),
              "assertion `left == right` failed\n  left: 3\n right: 4");
    EXPECT_EQ(refusal(wide, zs),
              "assertion `left == right` failed: Pauli string and Clifford frame have different "
              "numbers of qubits\n  left: 70\n right: 4");
    for (const auto& [x, z] : {std::pair{xs, std::vector<PauliString>(zs.begin(), zs.end() - 1)},
                               std::pair{xs, narrow}, std::pair{xs, malformed}})
        EXPECT_NE(refusal(x, z), "no error");

    // Rows that are no basis: some bodies cannot be produced, and the frame stays usable.
    xs[1] = xs[0];
    const CliffordFrame bad = CliffordFrame::from_xz_rows(4, xs, zs);
    int failures = 0;
    for (uint64_t i = 0; i < 256; ++i) {
        const PauliString p = pauli_from_bits(4, i % 16, i / 16);
        const std::string text =
            testing::error_text([&] { EXPECT_EQ(bad.preimage(bad.coordinates_in_frame(p)), p); });
        EXPECT_TRUE(text == "no error" || text == "frame rows do not span the Pauli body");
        failures += text != "no error";
    }
    EXPECT_GT(failures, 0);
    EXPECT_EQ(bad.preimage(pauli_x(4, 0)), xs[0]);
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

TEST(CliffordFrame, PreimagesAndSupportCacheFollowGatesAndRowOperations) {
    // Gates first: most rows of a large frame touch one or two words (sparse path); a hub qubit
    // that meets every other grows dense rows. Then row products (dst == a, dst == b, a == b
    // included), exchanges and sign flips, mirrored on plain PauliStrings; they mostly mix
    // three qubits of one word, so rows overlap while their supports stay small.
    std::mt19937_64 rng(17);
    for (const uint64_t n : {5, 64, 65, 129, 300}) {
        CliffordFrame frame(n);
        for (int round = 0; round < 30; ++round) {
            for (int step = 0; step < 12; ++step) {
                Step s = random_step(rng, n);
                if (rng() % 4 == 0 && s.b != 0) s.a = 0;
                s.apply(frame);
            }
            for (int trial = 0; trial < 8; ++trial) {
                const PauliString p = random_pauli(rng, n, 1 + rng() % n);
                const PauliString image = frame.preimage(p);
                ASSERT_EQ(image, preimage_by_definition(frame.rows(), p));
                ASSERT_EQ(frame.coordinates_in_frame(image), p);
                ASSERT_EQ(frame.preimage(frame.coordinates_in_frame(p)), p);
                // Into a spare that still holds another Pauli, phase included.
                PauliString spare = random_pauli(rng, n, 2);
                spare.phase = 3;
                frame.coordinates_in_frame_into(image, spare);
                ASSERT_EQ(spare, p);
            }
        }
        const uint64_t words = (n + 63) / 64;
        size_t sparse = 0;
        for (uint64_t r = 0; r < 2 * n; ++r)
            sparse += 2 * frame.support_words(r).size() <= words;
        if (n > 128) {
            EXPECT_TRUE(sparse > 0 && sparse < 2 * n) << sparse;
        }

        std::vector<PauliString> shadow(frame.rows().begin(), frame.rows().end());
        const auto pick = [&](uint64_t w) {
            const uint64_t q = std::min(n - 1, 64 * w + rng() % 3);
            return rng() & 1 ? q : n + q;
        };
        for (int step = 0; step < 600; ++step) {
            const uint64_t w = rng() % words;
            const uint64_t d = pick(w), a = pick(w), b = pick(rng() % 8 ? w : rng() % words);
            if (const uint64_t op = rng() % 5; op == 0) {
                frame.swap_rows(a, b);
                std::swap(shadow[a], shadow[b]);
            } else if (op == 1) {
                frame.negate_row(a);
                shadow[a].phase = static_cast<uint8_t>((shadow[a].phase + 2) % 4);
            } else {
                const uint64_t first = rng() % 3 == 0 ? d : a, second = rng() % 3 == 0 ? d : b;
                const uint8_t k = static_cast<uint8_t>(rng() % 4);
                frame.mul_rows(d, first, second, k);
                shadow[d] = shadow[first] * shadow[second];
                shadow[d].phase = static_cast<uint8_t>((shadow[d].phase + k) % 4);
            }
            if (step % 9 == 0) {
                const PauliString p = random_pauli(rng, n, 1 + n / 3);
                ASSERT_EQ(frame.preimage(p), preimage_by_definition(shadow, p));
            }
            if (step % 23 != 0) continue;
            ASSERT_TRUE(std::ranges::equal(frame.rows(), shadow));
            for (uint64_t r = 0; r < 2 * n; ++r) {
                std::vector<SupportWord> expected;
                for (uint64_t v = 0; v < words; ++v) {
                    if (shadow[r].x[v] | shadow[r].z[v])
                        expected.push_back({v, shadow[r].x[v], shadow[r].z[v]});
                }
                ASSERT_TRUE(std::ranges::equal(frame.support_words(r), expected));
            }
        }
    }
}

}  // namespace
}  // namespace kelvo
