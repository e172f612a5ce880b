#include "pauli.h"

#include <gtest/gtest.h>

#include <array>
#include <random>

#include "errors.h"

namespace kelvo {
namespace {

// Dense 2^n x 2^n complex matrices as an independent oracle.
struct C {
    double re = 0, im = 0;
};
using Matrix = std::vector<std::vector<C>>;

C mul(C a, C b) {
    return {a.re * b.re - a.im * b.im, a.re * b.im + a.im * b.re};
}

Matrix kron(const Matrix& a, const Matrix& b) {
    const size_t n = a.size(), m = b.size();
    Matrix out(n * m, std::vector<C>(n * m));
    for (size_t i = 0; i < n; ++i)
        for (size_t j = 0; j < n; ++j)
            for (size_t k = 0; k < m; ++k)
                for (size_t l = 0; l < m; ++l)
                    out[i * m + k][j * m + l] = mul(a[i][j], b[k][l]);
    return out;
}

Matrix matmul(const Matrix& a, const Matrix& b) {
    const size_t n = a.size();
    Matrix out(n, std::vector<C>(n));
    for (size_t i = 0; i < n; ++i)
        for (size_t k = 0; k < n; ++k)
            for (size_t j = 0; j < n; ++j) {
                const C p = mul(a[i][k], b[k][j]);
                out[i][j].re += p.re;
                out[i][j].im += p.im;
            }
    return out;
}

// i^phase * prod X^x Z^z, qubit 0 as the least significant tensor factor.
Matrix dense(const PauliString& p) {
    const Matrix I = {{{1, 0}, {0, 0}}, {{0, 0}, {1, 0}}};
    const Matrix X = {{{0, 0}, {1, 0}}, {{1, 0}, {0, 0}}};
    const Matrix Z = {{{1, 0}, {0, 0}}, {{0, 0}, {-1, 0}}};
    Matrix m = {{{1, 0}}};
    for (uint64_t q = 0; q < p.num_qubits; ++q) {
        Matrix f = I;
        if (p.xbit(q)) f = matmul(f, X);
        if (p.zbit(q)) f = matmul(f, Z);
        m = kron(f, m);
    }
    static constexpr std::array<C, 4> kPhase = {C{1, 0}, C{0, 1}, C{-1, 0}, C{0, -1}};
    for (auto& row : m)
        for (auto& c : row)
            c = mul(c, kPhase[p.phase]);
    return m;
}

bool same(const Matrix& a, const Matrix& b) {
    for (size_t i = 0; i < a.size(); ++i)
        for (size_t j = 0; j < a.size(); ++j)
            if (a[i][j].re != b[i][j].re || a[i][j].im != b[i][j].im) return false;
    return true;
}

PauliString random_pauli(std::mt19937_64& rng, uint64_t n) {
    PauliString p(n);
    for (uint64_t q = 0; q < n; ++q) {
        p.set_xbit(q, rng() & 1);
        p.set_zbit(q, rng() & 1);
    }
    p.phase = static_cast<uint8_t>(rng() % 4);
    return p;
}

TEST(PauliString, ProductsAndCommutationMatchDenseMatrices) {
    std::mt19937_64 rng(7);
    for (int trial = 0; trial < 400; ++trial) {
        const uint64_t n = 1 + trial % 4;
        const PauliString a = random_pauli(rng, n), b = random_pauli(rng, n);
        const Matrix ab = matmul(dense(a), dense(b)), ba = matmul(dense(b), dense(a));
        EXPECT_TRUE(same(dense(a * b), ab)) << a.str() << " * " << b.str();
        EXPECT_EQ(pauli_anticommutes(a, b), !same(ab, ba));
    }
}

TEST(PauliString, PrintedCoefficientAndMeasurementSignMatchDenseMatrices) {
    std::mt19937_64 rng(11);
    for (int trial = 0; trial < 300; ++trial) {
        const PauliString p = random_pauli(rng, 1 + trial % 4);
        // Rebuild the operator from its printed form: prefix times the Hermitian letters.
        const std::string text = p.str();
        const size_t letters = text.size() - p.num_qubits;
        PauliString body = pauli_string(text.substr(letters));
        const std::string prefix = text.substr(0, letters);
        const uint8_t k = prefix == "" ? 0 : prefix == "i*" ? 1 : prefix == "-" ? 2 : 3;
        EXPECT_EQ(prefix, (std::array<std::string, 4>{"", "i*", "-", "-i*"}[k]));
        body.phase = static_cast<uint8_t>((body.phase + k) % 4);
        EXPECT_TRUE(same(dense(body), dense(p))) << text;
        if (k % 2) {
            EXPECT_THROW(measurement_phase_sign(p), KelvoError);
        } else {
            EXPECT_EQ(measurement_phase_sign(p), k == 2);
        }
    }
}

TEST(PauliString, WordBoundaries) {
    for (const uint64_t n : {0, 1, 63, 64, 65, 128, 129}) {
        PauliString p(n);
        EXPECT_EQ(p.x.size(), (n + 63) / 64);
        EXPECT_FALSE(p.max_support().has_value());
        EXPECT_EQ(p.str(), n == 0 ? "I" : std::string(n, 'I'));
        if (n == 0) continue;
        p.set_zbit(n - 1, true);
        EXPECT_EQ(p.max_support(), n - 1);
        EXPECT_EQ(p.str().back(), 'Z');
        EXPECT_TRUE(p.has_nonidentity_body());
        EXPECT_THROW(p.xbit(n), FatalError);
        const PauliString q = pauli_x(n, n - 1);
        EXPECT_EQ(pauli_anticommutes(p, q), true);
        EXPECT_EQ((p * q).str(), "i*" + std::string(n - 1, 'I') + "Y");
    }
    EXPECT_EQ(pauli_z(130, 64).max_support(), 64);
}

TEST(PauliString, LiteralsAndPrinting) {
    EXPECT_EQ(pauli_string("").str(), "I");
    PauliString empty = pauli_string("");
    empty.phase = 2;
    EXPECT_EQ(empty.str(), "-I");
    const PauliString p = pauli_string("xyz_");
    EXPECT_EQ(p.str(), "XYZI");
    EXPECT_EQ(p.phase, 1);
    EXPECT_EQ(pauli_string("iX").str(), "IX");
    for (const char* bad : {"+X", "-X", "X Y", "X1", "\xc3\x89"}) {
        try {
            pauli_string(bad);
            FAIL() << bad;
        } catch (const KelvoError& e) {
            EXPECT_EQ(e.kind(), KelvoErrorKind::Unsupported);
            EXPECT_STREQ(e.what(), "unsupported Pauli character");
        }
    }
    const PauliString X = pauli_x(1, 0), Z = pauli_z(1, 0), Y = pauli_y(1, 0);
    EXPECT_EQ((X * Z).str(), "-i*Y");
    EXPECT_EQ((Z * X).str(), "i*Y");
    EXPECT_EQ((Y * Y).str(), "I");
    EXPECT_EQ((Y * Y).phase, 0);
    PauliString s = Y;
    s.set_xbit(0, false);
    EXPECT_EQ(s.str(), "i*Z");
    EXPECT_THROW(pauli_x(3, 3), FatalError);
}

TEST(PauliString, MismatchedSizesAreFatal) {
    try {
        (void)(PauliString(3) * PauliString(4));
        FAIL();
    } catch (const FatalError& e) {
        const std::string what = e.what();
        EXPECT_NE(what.find("Pauli strings act on different numbers of qubits"), std::string::npos);
        EXPECT_NE(what.find('3'), std::string::npos);
        EXPECT_NE(what.find('4'), std::string::npos);
    }
    EXPECT_THROW(pauli_anticommutes(PauliString(1), PauliString(2)), FatalError);
}

TEST(PauliString, WordsAreConsistent) {
    for (const uint64_t n : {0, 1, 63, 64, 65}) EXPECT_TRUE(PauliString(n).words_are_consistent());
    PauliString p = pauli_y(65, 64);
    EXPECT_TRUE(p.words_are_consistent());
    p.x[1] |= 2;  // qubit 65 of a 65-qubit string
    EXPECT_FALSE(p.words_are_consistent());
    PauliString q(64);
    q.z.push_back(0);
    EXPECT_FALSE(q.words_are_consistent());
}

TEST(PauliString, ImpossibleStorageFailsCleanly) {
    EXPECT_THROW(PauliString(~uint64_t{0}), std::bad_alloc);
}

}  // namespace
}  // namespace kelvo
