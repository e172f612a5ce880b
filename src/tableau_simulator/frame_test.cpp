#include "tableau_simulator/frame.h"

#include <gtest/gtest.h>

#include <random>

#include "errors.h"
#include "testing/error_text.h"

namespace kelvo::tableau_simulator {
namespace {

using testing::fatal_text;

std::vector<uint64_t> bit_mask(uint64_t w, uint64_t q) {
    std::vector<uint64_t> m(w, 0);
    m[q / 64] |= uint64_t{1} << (q % 64);
    return m;
}

// Random H, S, sqrt(X), CX, CZ, SWAP and sign flips on the given qubits (at least two).
void scramble(Frame& f, const std::vector<uint64_t>& qubits, int gates, std::mt19937_64& rng) {
    using Step = void (*)(Frame&, uint64_t, uint64_t);
    const Step steps[] = {
        [](Frame& f, uint64_t a, uint64_t) { f.left_h(a); },
        [](Frame& f, uint64_t a, uint64_t) { f.left_s(a, 1); },
        [](Frame& f, uint64_t a, uint64_t) { f.left_root_x(a, 3); },
        [](Frame& f, uint64_t a, uint64_t b) { f.left_cx(a, b); },
        [](Frame& f, uint64_t a, uint64_t b) { f.left_cz(a, b); },
        [](Frame& f, uint64_t a, uint64_t b) { f.left_swap(a, b); },
        [](Frame& f, uint64_t a, uint64_t b) { f.negate_row(2 * a + b % 2); },
    };
    for (int i = 0; i < gates; ++i) {
        const size_t ia = rng() % qubits.size(), ib = ia + 1 + rng() % (qubits.size() - 1);
        steps[rng() % 7](f, qubits[ia], qubits[ib % qubits.size()]);
    }
}

TEST(Frame, StrideRuleGrowthAndShrink) {
    const std::pair<uint64_t, uint64_t> strides[] = {{0, 1},   {1, 1},   {64, 1},  {65, 2},
                                                     {128, 2}, {129, 4}, {256, 4}, {257, 8},
                                                     {512, 8}, {513, 9}, {600, 10}};
    for (const auto& [n, w] : strides)
        EXPECT_EQ(stride_for(n), w) << n;
    // Growth moves every row to the wider stride and gives new qubits identity rows.
    Frame f = Frame::identity(64);
    f.left_h(3);
    f.negate_row(7);
    f.resize(65);
    EXPECT_EQ(f.stride(), 2u);
    EXPECT_EQ(f.row(6)[2], uint64_t{1} << 3);  // Z_3's row holds X_3 after H: now in word 2
    EXPECT_EQ(f.row(7)[0], uint64_t{1} << 3);
    EXPECT_EQ(f.sign(7), 2);
    EXPECT_TRUE(std::ranges::equal(f.row(128), std::vector<uint64_t>{0, 1, 0, 0}));
    EXPECT_TRUE(std::ranges::equal(f.row(129), std::vector<uint64_t>{0, 0, 0, 1}));
    // Shrinking drops only qubits whose rows are still +X and +Z.
    Frame g = Frame::identity(70);
    g.left_h(1);
    g.resize(3);
    EXPECT_EQ(g.stride(), 1u);
    EXPECT_EQ(g.row(3)[0], 2u);
    Frame h = Frame::identity(6);
    h.left_h(5);
    EXPECT_THROW(h.resize(3), FatalError);
    EXPECT_EQ(h.num_qubits(), 6u);
    Frame s = Frame::identity(6);
    s.negate_row(9);
    EXPECT_EQ(fatal_text([&] { s.resize(3); }), "cannot drop qubit 4: its preimages are not X/Z");
}

TEST(Frame, HugeRegistersFailCleanly) {
    Frame f = Frame::identity(5);
    f.left_h(2);
    for (const uint64_t n : {~uint64_t{0}, uint64_t{1} << 62, uint64_t{1} << 33}) {
        EXPECT_THROW(f.resize(n), std::bad_alloc) << n;
        EXPECT_EQ(f.num_qubits(), 5u);
        EXPECT_EQ(f.row(4)[0], 0u);
        EXPECT_EQ(f.row(4)[1], 4u);
    }
}

TEST(Frame, RowProductPhaseRule) {
    for (uint8_t sa = 0; sa < 4; ++sa) {
        for (uint8_t sb = 0; sb < 4; ++sb) {
            std::vector<uint64_t> a = {1, 0};  // X times Z on the left: ZX = iY
            uint8_t s = sa;
            mul_row_left(a, s, std::vector<uint64_t>{0, 1}, sb);
            EXPECT_EQ(a, (std::vector<uint64_t>{1, 1}));
            EXPECT_EQ(s, (sa + sb + 2) % 4);
            std::array<uint64_t, 8> ax{1}, az{}, bx{}, bz{1};
            s = sa;
            mul_right(ax, az, s, bx, bz, sb);
            EXPECT_EQ(ax[0] & az[0], 1u);
            EXPECT_EQ(s, (sa + sb) % 4);
        }
    }
}

TEST(Frame, GuardsAndTheirMessages) {
    Frame p = Frame::identity(3);
    EXPECT_THROW(p.left_cx(0, 0), FatalError);
    EXPECT_THROW(p.left_cz(0, 0), FatalError);
    EXPECT_THROW(p.left_h(3), FatalError);
    EXPECT_THROW(p.left_s(uint64_t{1} << 63, 1), FatalError);  // 2q would wrap to row 0
    EXPECT_THROW(p.left_root_x(uint64_t{1} << 63, 1), FatalError);
    EXPECT_THROW(p.left_cx(0, uint64_t{1} << 63), FatalError);
    std::vector<uint64_t> flip(1), z(1);
    EXPECT_EQ(fatal_text([&] { p.preimage_basis_into(Axis::X, 3, flip, z); }),
              "qubit 3 out of range for 3 qubits");
    EXPECT_EQ(fatal_text([&] { p.right_pauli_z(3); }), "pivot 3 out of range for 3 qubits");
    const Frame wide = Frame::identity(100);
    EXPECT_NE(fatal_text([&] {
                  wide.preimage_into(pauli_x(100, 1), flip, z);
              }).find("output width must match the frame's"),
              std::string::npos);
}

TEST(Frame, ImagesInvertPreimagesAtEveryWidth) {
    std::mt19937_64 rng(3);
    for (const uint64_t n : {3, 64, 65, 200, 300, 600}) {
        Frame f = Frame::identity(n);
        std::vector<uint64_t> qubits;
        for (uint64_t q = 0; q < n; q += std::max<uint64_t>(n / 6, 1))
            qubits.push_back(q);
        scramble(f, qubits, 150, rng);
        const uint64_t w = f.stride();
        for (const uint64_t q : qubits) {
            for (const bool of_x : {true, false}) {
                const RowPauli image = of_x ? f.image_x(q) : f.image_z(q);
                PauliString p(n);
                std::copy(image.x.begin(), image.x.end(), p.x.begin());
                std::copy(image.z.begin(), image.z.end(), p.z.begin());
                p.phase = image.phase;
                std::vector<uint64_t> flip(w), z(w), flip0(w), z0(w);
                const unsigned k = f.preimage_into(p, flip, z);
                // The any-width instance agrees with the fixed-width one.
                EXPECT_EQ(f.preimage_into_w<0>(p, flip0, z0), k);
                EXPECT_EQ(flip0, flip);
                EXPECT_EQ(z0, z);
                EXPECT_EQ((k + p.phase + 4 - p.y_count() % 4) % 4, 0u);
                EXPECT_EQ(flip, of_x ? bit_mask(w, q) : std::vector<uint64_t>(w));
                EXPECT_EQ(z, of_x ? std::vector<uint64_t>(w) : bit_mask(w, q));
            }
        }
    }
}

}  // namespace
}  // namespace kelvo::tableau_simulator
