#include "tableau_simulator/frame.h"

#include <gtest/gtest.h>

#include "errors.h"
#include "testing/error_text.h"

namespace kelvo::tableau_simulator {
namespace {

using testing::fatal_text;

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

TEST(Frame, RowProductPhaseRule) {
    // X and Z multiplied either way round: ZX = iY takes two more quarter turns than XZ = -iY.
    for (uint8_t sa = 0; sa < 4; ++sa) {
        for (uint8_t sb = 0; sb < 4; ++sb) {
            for (const bool a_is_x : {true, false}) {
                std::vector<uint64_t> a = {a_is_x, !a_is_x};  // b is on the left
                uint8_t s = sa;
                mul_row_left(a, s, std::vector<uint64_t>{!a_is_x, a_is_x}, sb);
                EXPECT_EQ(a, (std::vector<uint64_t>{1, 1}));
                EXPECT_EQ(s, (sa + sb + 2 * a_is_x) % 4);
                std::array<uint64_t, 8> ax{a_is_x}, az{!a_is_x}, bx{!a_is_x}, bz{a_is_x};
                s = sa;
                mul_right(ax, az, s, bx, bz, sb);  // b is on the right
                EXPECT_EQ(ax[0] & az[0], 1u);
                EXPECT_EQ(s, (sa + sb + 2 * !a_is_x) % 4);
            }
        }
    }
}

TEST(Frame, GuardsHugeRegistersAndMessages) {
    Frame f = Frame::identity(5);
    f.left_h(2);
    for (const uint64_t n : {~uint64_t{0}, uint64_t{1} << 62, uint64_t{1} << 33}) {
        EXPECT_THROW(f.resize(n), std::bad_alloc) << n;
        EXPECT_EQ(f.num_qubits(), 5u);
        EXPECT_TRUE(std::ranges::equal(f.row(4), std::vector<uint64_t>{0, 4}));
    }
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

}  // namespace
}  // namespace kelvo::tableau_simulator
