#include "pauli.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "memory.h"
#include "testing/dense_oracle.h"
#include "testing/error_text.h"
#include "testing/random_pauli.h"

namespace kelvo {
namespace {

TEST(PauliString, ProductsPrintingAndSignsMatchDenseMatrices) {
    static const std::string kPrefixes[4] = {"", "i*", "-", "-i*"};
    std::mt19937_64 rng(7);
    for (int trial = 0; trial < 400; ++trial) {
        const uint64_t n = 1 + trial % 4;
        const PauliString a = test_support::random_pauli(rng, n),
                          b = test_support::random_pauli(rng, n);
        const oracle::Mat ab = oracle::pauli(a) * oracle::pauli(b),
                          ba = oracle::pauli(b) * oracle::pauli(a);
        EXPECT_TRUE(oracle::near(oracle::pauli(a * b), ab)) << a.str() << " * " << b.str();
        EXPECT_EQ(pauli_anticommutes(a, b), !oracle::near(ab, ba));

        // The printed form read back (prefix times Hermitian letters) is the same operator.
        const std::string text = a.str(), prefix = text.substr(0, text.size() - n);
        const auto k = std::find(kPrefixes, kPrefixes + 4, prefix) - kPrefixes;
        ASSERT_LT(k, 4) << text;
        PauliString letters = pauli_string(text.substr(prefix.size()));
        letters.phase = static_cast<uint8_t>((letters.phase + k) % 4);
        EXPECT_TRUE(oracle::near(oracle::pauli(letters), oracle::pauli(a))) << text;
        if (k % 2) {
            EXPECT_THROW(measurement_phase_sign(a), KelvoError);
        } else {
            EXPECT_EQ(measurement_phase_sign(a), k == 2);
        }
    }
}

TEST(PauliString, WordBoundaries) {
    for (const uint64_t n : {0, 1, 63, 64, 65, 128, 129}) {
        PauliString p(n);
        EXPECT_EQ(p.x.size(), (n + 63) / 64);
        EXPECT_TRUE(p.words_are_consistent());
        EXPECT_FALSE(p.max_support().has_value());
        EXPECT_EQ(p.str(), n == 0 ? "I" : std::string(n, 'I'));
        if (n == 0) continue;
        p.set_zbit(n - 1, true);
        EXPECT_EQ(p.max_support(), n - 1);
        EXPECT_TRUE(p.has_nonidentity_body());
        EXPECT_THROW(p.xbit(n), FatalError);
        const PauliString q = pauli_x(n, n - 1);
        EXPECT_TRUE(pauli_anticommutes(p, q));
        EXPECT_EQ((p * q).str(), "i*" + std::string(n - 1, 'I') + "Y");
    }
    EXPECT_THROW(PauliString(~uint64_t{0}), std::bad_alloc);
    // Two word vectors of half the available memory each, and a byte more: both would be
    // granted, and zeroing them would end the process.
    EXPECT_THROW(PauliString(4 * available_memory_bytes() + 64), std::bad_alloc);
    EXPECT_THROW(pauli_y(uint64_t{1} << 62, 0), std::bad_alloc);
}

TEST(PauliString, LiteralsAndFatalSizes) {
    EXPECT_EQ(pauli_string("").str(), "I");
    EXPECT_EQ(pauli_string("xyz_"), pauli_string("XYZI"));
    EXPECT_EQ(pauli_x(3, 0) * pauli_y(3, 1) * pauli_z(3, 2), pauli_string("XYZ"));
    for (const char* bad : {"+X", "-X", "X Y", "X1", "\xc3\x89"}) {
        EXPECT_EQ(testing::error_text([&] { pauli_string(bad); }, KelvoErrorKind::Unsupported),
                  "unsupported Pauli character");
    }
    EXPECT_THROW(pauli_x(3, 3), FatalError);
    EXPECT_EQ(testing::fatal_text([] { (void)(PauliString(3) * PauliString(4)); }),
              "assertion `left == right` failed: Pauli strings act on different numbers of "
              "qubits\n  left: 3\n right: 4");
    EXPECT_THROW(pauli_anticommutes(PauliString(1), PauliString(2)), FatalError);
}

}  // namespace
}  // namespace kelvo
