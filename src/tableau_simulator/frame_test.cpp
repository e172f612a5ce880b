#include "tableau_simulator/frame.h"

#include <gtest/gtest.h>

#include <bit>
#include <random>

#include "errors.h"

namespace kelvo::tableau_simulator {
namespace {

std::vector<uint64_t> bit_mask(uint64_t w, uint64_t q) {
    std::vector<uint64_t> m(w, 0);
    m[q / 64] |= uint64_t{1} << (q % 64);
    return m;
}

std::vector<uint64_t> x_half(const Frame& f, uint64_t r) {
    const auto row = f.row(r);
    return {row.begin(), row.begin() + f.stride()};
}

std::vector<uint64_t> z_half(const Frame& f, uint64_t r) {
    const auto row = f.row(r);
    return {row.begin() + f.stride(), row.end()};
}

// Applies a random Clifford circuit of `gates` gates on the given qubits.
void scramble(Frame& f, const std::vector<uint64_t>& qubits, int gates, std::mt19937_64& rng) {
    std::uniform_int_distribution<size_t> pick(0, qubits.size() - 1);
    for (int i = 0; i < gates; ++i) {
        const uint64_t a = qubits[pick(rng)];
        uint64_t b = qubits[pick(rng)];
        if (b == a)
            b = qubits[(std::find(qubits.begin(), qubits.end(), a) - qubits.begin() + 1) %
                       qubits.size()];
        switch (rng() % 7) {
            case 0:
                f.left_h(a);
                break;
            case 1:
                f.left_s(a, 1);
                break;
            case 2:
                f.left_root_x(a, 3);
                break;
            case 3:
                f.left_cx(a, b);
                break;
            case 4:
                f.left_cz(a, b);
                break;
            case 5:
                f.left_swap(a, b);
                break;
            default:
                f.negate_row(2 * a + rng() % 2);
                break;
        }
    }
}

bool anticommute(std::span<const uint64_t> a, std::span<const uint64_t> b, uint64_t w) {
    uint64_t acc = 0;
    for (uint64_t i = 0; i < w; ++i)
        acc ^= (a[i] & b[w + i]) ^ (a[w + i] & b[i]);
    return std::popcount(acc) & 1;
}

TEST(Frame, StrideRuleAndIdentity) {
    const std::pair<uint64_t, uint64_t> cases[] = {{0, 1},   {1, 1},   {64, 1},  {65, 2},
                                                   {128, 2}, {129, 4}, {256, 4}, {257, 8},
                                                   {512, 8}, {513, 9}, {600, 10}};
    for (const auto& [n, w] : cases)
        EXPECT_EQ(stride_for(n), w) << n;
    const Frame empty = Frame::identity(0);
    EXPECT_EQ(empty.num_qubits(), 0u);
    EXPECT_EQ(empty.stride(), 1u);
    const Frame f = Frame::identity(70);
    for (uint64_t q = 0; q < 70; ++q) {
        EXPECT_EQ(x_half(f, 2 * q), bit_mask(2, q));
        EXPECT_EQ(z_half(f, 2 * q), std::vector<uint64_t>(2, 0));
        EXPECT_EQ(z_half(f, 2 * q + 1), bit_mask(2, q));
        EXPECT_EQ(f.sign(2 * q) + f.sign(2 * q + 1), 0);
    }
}

TEST(Frame, GrowthRelaysRowsAndShrinkChecksDroppedQubits) {
    Frame f = Frame::identity(64);
    f.left_h(3);
    f.negate_row(7);
    f.resize(65);
    EXPECT_EQ(f.stride(), 2u);
    EXPECT_EQ(f.row(6)[2], uint64_t{1} << 3);  // Z_3 row after H holds X_3 -> moved to word 2
    EXPECT_EQ(f.row(7)[0], uint64_t{1} << 3);
    EXPECT_EQ(f.row(7)[1] | f.row(7)[3], 0u);
    EXPECT_EQ(f.sign(7), 2);
    EXPECT_EQ(x_half(f, 128), bit_mask(2, 64));
    EXPECT_EQ(z_half(f, 129), bit_mask(2, 64));

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
    try {
        s.resize(3);
        FAIL();
    } catch (const FatalError& e) {
        EXPECT_STREQ(e.what(), "cannot drop qubit 4: its preimages are not X/Z");
    }
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
            std::vector<uint64_t> a = {1, 0};        // X
            const std::vector<uint64_t> b = {0, 1};  // Z
            uint8_t s = sa;
            mul_row_left(a, s, b, sb);
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

TEST(Frame, PrimitiveUpdates) {
    Frame f = Frame::identity(2);
    f.left_root_x(0, 1);
    EXPECT_EQ(f.row(1)[0] & f.row(1)[1], 1u);
    EXPECT_EQ(f.sign(1), 1);  // +Y
    f.left_root_x(0, 1);
    EXPECT_EQ(f.row(1)[0], 0u);
    EXPECT_EQ(f.sign(1), 2);  // -Z
    f.left_root_x(0, 3);
    f.left_root_x(0, 3);
    EXPECT_EQ(f.row(1)[1], 1u);
    EXPECT_EQ(f.sign(1), 0);

    std::mt19937_64 rng(5);
    Frame base = Frame::identity(4);
    scramble(base, {0, 1, 2, 3}, 40, rng);
    for (int kind = 0; kind < 4; ++kind) {
        Frame g = base;
        for (int rep = 0; rep < 2; ++rep) {
            if (kind == 0) g.left_h(1);
            if (kind == 1) g.left_swap(1, 3);
            if (kind == 2) g.left_cx(2, 0);
            if (kind == 3) g.left_cz(0, 3);
        }
        for (uint64_t r = 0; r < 8; ++r) {
            EXPECT_TRUE(std::ranges::equal(g.row(r), base.row(r)));
            EXPECT_EQ(g.sign(r), base.sign(r));
        }
    }
    Frame p = Frame::identity(1);
    p.left_pauli(pauli_string("Y"));
    EXPECT_EQ(p.sign(0), 2);
    EXPECT_EQ(p.sign(1), 2);
    EXPECT_THROW(p.left_cx(0, 0), FatalError);
    EXPECT_THROW(p.left_cz(0, 0), FatalError);
    EXPECT_THROW(p.left_h(1), FatalError);
    EXPECT_THROW(p.left_s(uint64_t{1} << 63, 1), FatalError);  // 2q would wrap to row 0
    EXPECT_THROW(p.left_root_x(uint64_t{1} << 63, 1), FatalError);
    EXPECT_THROW(p.left_cx(0, uint64_t{1} << 63), FatalError);
    p.left_swap(0, 0);
}

TEST(Frame, ReachableFramesStayValid) {
    std::mt19937_64 rng(9);
    for (const uint64_t n : {5, 70, 300, 600}) {
        Frame f = Frame::identity(n);
        std::vector<uint64_t> qubits;
        for (uint64_t q = 0; q < n; q += std::max<uint64_t>(n / 7, 1))
            qubits.push_back(q);
        scramble(f, qubits, 200, rng);
        const uint64_t w = f.stride();
        for (uint64_t r = 0; r < 2 * n; ++r) {
            const auto row = f.row(r);
            uint64_t y = 0;
            for (uint64_t i = 0; i < w; ++i)
                y += std::popcount(row[i] & row[w + i]);
            EXPECT_EQ((f.sign(r) + y) % 2, 0u);
        }
        for (const uint64_t a : qubits) {
            for (const uint64_t b : qubits) {
                for (uint64_t i = 0; i < 2; ++i) {
                    for (uint64_t j = 0; j < 2; ++j) {
                        const bool expect = a == b && i != j;
                        EXPECT_EQ(anticommute(f.row(2 * a + i), f.row(2 * b + j), w), expect);
                    }
                }
            }
        }
    }
}

TEST(Frame, PreimagesOnKnownFrames) {
    Frame f = Frame::identity(3);
    std::vector<uint64_t> flip(1), z(1);
    EXPECT_EQ(f.preimage_into(pauli_string("YXZ"), flip, z), 1);
    EXPECT_EQ(flip[0], 3u);
    EXPECT_EQ(z[0], 5u);
    PauliString identity = pauli_identity(3);
    identity.phase = 3;
    EXPECT_EQ(f.preimage_into(identity, flip, z), 0);
    EXPECT_EQ(flip[0] | z[0], 0u);

    f.left_h(1);
    EXPECT_EQ(f.preimage_into(pauli_x(3, 1), flip, z), 0);
    EXPECT_EQ(flip[0], 0u);
    EXPECT_EQ(z[0], 2u);
    EXPECT_EQ(f.preimage_into(pauli_y(3, 1), flip, z), 3);
    EXPECT_EQ(flip[0] & z[0], 2u);
    EXPECT_EQ(f.preimage_basis_into(Axis::Y, 1, flip, z), 3);
    EXPECT_EQ(flip[0] & z[0], 2u);

    try {
        f.preimage_basis_into(Axis::X, 3, flip, z);
        FAIL();
    } catch (const FatalError& e) {
        EXPECT_STREQ(e.what(), "qubit 3 out of range for 3 qubits");
    }
    try {
        f.right_pauli_z(3);
        FAIL();
    } catch (const FatalError& e) {
        EXPECT_STREQ(e.what(), "pivot 3 out of range for 3 qubits");
    }
    Frame wide = Frame::identity(100);
    try {
        wide.preimage_into(pauli_x(100, 1), flip, z);
        FAIL();
    } catch (const FatalError& e) {
        EXPECT_NE(std::string(e.what()).find("output width must match the frame's"),
                  std::string::npos);
    }
    EXPECT_THROW(wide.right_pauli_exp(flip, z, 0), FatalError);
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
                const unsigned sign = (p.phase + 4 - p.y_count() % 4) % 4;
                EXPECT_EQ((k + sign) % 4, 0u);
                EXPECT_EQ(flip, of_x ? bit_mask(w, q) : std::vector<uint64_t>(w));
                EXPECT_EQ(z, of_x ? std::vector<uint64_t>(w) : bit_mask(w, q));
            }
        }
    }
    Frame s = Frame::identity(2);
    s.left_s(1, 1);
    const RowPauli ix = s.image_x(1);
    EXPECT_EQ(ix.x[0], 2u);
    EXPECT_EQ(ix.z[0], 2u);
    EXPECT_EQ(ix.phase, 1);
    const RowPauli iz = s.image_z(1);
    EXPECT_EQ(iz.x[0], 0u);
    EXPECT_EQ(iz.z[0], 2u);
    EXPECT_EQ(iz.phase, 0);
}

TEST(Frame, RightUpdates) {
    Frame f = Frame::identity(3);
    f.right_pauli_z(1);
    for (uint64_t r = 0; r < 6; ++r)
        EXPECT_EQ(f.sign(r), r == 2 ? 2 : 0);
    Frame g = Frame::identity(1);
    const std::vector<uint64_t> x0 = {1}, none = {0};
    g.right_pauli_exp(x0, none, 0);
    EXPECT_EQ(g.row(0)[0], 1u);
    EXPECT_EQ(g.sign(0), 0);
    EXPECT_EQ(g.row(1)[0] & g.row(1)[1], 1u);
    EXPECT_EQ(g.sign(1), 3);

    // Twice the same Hermitian Q conjugates by Q: bits kept, anticommuting rows negated.
    std::mt19937_64 rng(11);
    Frame h = Frame::identity(300);
    scramble(h, {0, 40, 100, 299}, 100, rng);
    const Frame before = h;
    std::vector<uint64_t> xm(8, 0), zm(8, 0);
    xm[0] = 1;
    zm[0] = 1;
    xm[1] = 1u << 5;
    zm[4] = 1u << 3;
    h.right_pauli_exp(xm, zm, 1);
    h.right_pauli_exp(xm, zm, 1);
    std::vector<uint64_t> mask(16, 0);
    std::copy(xm.begin(), xm.end(), mask.begin());
    std::copy(zm.begin(), zm.end(), mask.begin() + 8);
    for (uint64_t r = 0; r < 600; ++r) {
        EXPECT_TRUE(std::ranges::equal(h.row(r), before.row(r)));
        const int flip = anticommute(before.row(r), mask, 8) ? 2 : 0;
        EXPECT_EQ(h.sign(r), (before.sign(r) + flip) % 4);
    }
}

}  // namespace
}  // namespace kelvo::tableau_simulator
