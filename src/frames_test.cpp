#include "frames.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <functional>
#include <random>
#include <string>

#include "errors.h"

namespace kelvo {
namespace {

// Dense 2^n x 2^n matrices, qubit 0 as the least significant index bit: the oracle.
using Cx = std::complex<double>;
struct Matrix {
    uint64_t dim = 0;
    std::vector<Cx> v;
    Cx& at(uint64_t i, uint64_t j) { return v[i * dim + j]; }
    Cx at(uint64_t i, uint64_t j) const { return v[i * dim + j]; }
};

Matrix identity(uint64_t n) {
    Matrix m{uint64_t{1} << n, {}};
    m.v.assign(m.dim * m.dim, 0);
    for (uint64_t i = 0; i < m.dim; ++i)
        m.at(i, i) = 1;
    return m;
}

Matrix operator*(const Matrix& a, const Matrix& b) {
    Matrix m{a.dim, std::vector<Cx>(a.dim * a.dim, 0)};
    for (uint64_t i = 0; i < a.dim; ++i)
        for (uint64_t k = 0; k < a.dim; ++k)
            for (uint64_t j = 0; j < a.dim; ++j)
                m.at(i, j) += a.at(i, k) * b.at(k, j);
    return m;
}

Matrix operator+(Matrix a, const Matrix& b) {
    for (size_t i = 0; i < a.v.size(); ++i)
        a.v[i] += b.v[i];
    return a;
}

Matrix operator*(Cx c, Matrix a) {
    for (Cx& x : a.v)
        x *= c;
    return a;
}

Matrix dagger(const Matrix& a) {
    Matrix m = a;
    for (uint64_t i = 0; i < a.dim; ++i)
        for (uint64_t j = 0; j < a.dim; ++j)
            m.at(i, j) = std::conj(a.at(j, i));
    return m;
}

bool near(const Matrix& a, const Matrix& b) {
    for (size_t i = 0; i < a.v.size(); ++i)
        if (std::abs(a.v[i] - b.v[i]) > 1e-9) return false;
    return true;
}

// i^phase * prod_q X^x Z^z.
Matrix dense(const PauliString& p) {
    Matrix m = identity(p.num_qubits);
    for (uint64_t col = 0; col < m.dim; ++col) {
        for (uint64_t row = 0; row < m.dim; ++row)
            m.at(row, col) = 0;
        // X^x Z^z |col>: Z gives the sign, X flips the bits.
        int sign = 1;
        uint64_t row = col;
        for (uint64_t q = 0; q < p.num_qubits; ++q) {
            if (p.zbit(q) && ((col >> q) & 1)) sign = -sign;
            if (p.xbit(q)) row ^= uint64_t{1} << q;
        }
        static const Cx kPhase[4] = {1, Cx(0, 1), -1, Cx(0, -1)};
        m.at(row, col) = double(sign) * kPhase[p.phase];
    }
    return m;
}

// Hermitian single-qubit letter on qubit q of n.
Matrix letter(uint64_t n, uint64_t q, char c) {
    return dense(c == 'X' ? pauli_x(n, q) : c == 'Y' ? pauli_y(n, q) : pauli_z(n, q));
}

// Gates from their physical definitions on n qubits.
Matrix rotation(uint64_t n, char p, char pb, uint64_t a, uint64_t b, double sign) {
    // (I - i*sign*P_a P_b) / sqrt2; pb == 0 for a single-qubit rotation.
    const Matrix pp = pb ? letter(n, a, p) * letter(n, b, pb) : letter(n, a, p);
    return (1 / std::sqrt(2.0)) * (identity(n) + Cx(0, -sign) * pp);
}

Matrix controlled(uint64_t n, char p, char q, uint64_t a, uint64_t b) {
    // (I + P_a + Q_b - P_a Q_b) / 2: Q on b when P on a reads -1.
    const Matrix pa = letter(n, a, p), qb = letter(n, b, q);
    return 0.5 * (identity(n) + pa + qb + Cx(-1) * (pa * qb));
}

Matrix swap_gate(uint64_t n, uint64_t a, uint64_t b) {
    Matrix m = identity(n);
    for (const char c : {'X', 'Y', 'Z'})
        m = m + letter(n, a, c) * letter(n, b, c);
    return 0.5 * m;
}

// Rotation by 2pi/3 about (sx, sy, sz): (I - i(sx X + sy Y + sz Z)) / 2.
Matrix cycle(uint64_t n, uint64_t q, int sx, int sy, int sz) {
    const Matrix axis = double(sx) * letter(n, q, 'X') + double(sy) * letter(n, q, 'Y') +
                        double(sz) * letter(n, q, 'Z');
    return 0.5 * (identity(n) + Cx(0, -1) * axis);
}

struct Gate {
    std::string name;
    std::function<void(CliffordFrame&, uint64_t, uint64_t)> apply;
    std::function<Matrix(uint64_t, uint64_t, uint64_t)> matrix;  // (n, a, b)
    std::string inverse;
};

std::vector<Gate> all_gates() {
    using F = CliffordFrame;
    const auto one = [](void (F::*f)(uint64_t)) {
        return [f](F& frame, uint64_t a, uint64_t) { (frame.*f)(a); };
    };
    const auto two = [](void (F::*f)(uint64_t, uint64_t)) {
        return [f](F& frame, uint64_t a, uint64_t b) { (frame.*f)(a, b); };
    };
    const double r2 = 1 / std::sqrt(2.0);
    return {
        {"h_yz", one(&F::left_h_yz),
         [=](uint64_t n, uint64_t a, uint64_t) {
             return r2 * (letter(n, a, 'Y') + letter(n, a, 'Z'));
         },
         "h_yz"},
        {"h_nyz", one(&F::left_h_nyz),
         [=](uint64_t n, uint64_t a, uint64_t) {
             return r2 * (letter(n, a, 'Z') + Cx(-1) * letter(n, a, 'Y'));
         },
         "h_nyz"},
        {"c_nxyz", one(&F::left_c_nxyz),
         [](uint64_t n, uint64_t a, uint64_t) { return cycle(n, a, 1, -1, -1); }, "c_zynx"},
        {"c_nzyx", one(&F::left_c_nzyx),
         [](uint64_t n, uint64_t a, uint64_t) { return cycle(n, a, 1, 1, -1); }, "c_xynz"},
        {"c_xynz", one(&F::left_c_xynz),
         [](uint64_t n, uint64_t a, uint64_t) { return cycle(n, a, -1, -1, 1); }, "c_nzyx"},
        {"c_zynx", one(&F::left_c_zynx),
         [](uint64_t n, uint64_t a, uint64_t) { return cycle(n, a, -1, 1, 1); }, "c_nxyz"},
        {"sqrt_x", one(&F::left_sqrt_x),
         [](uint64_t n, uint64_t a, uint64_t) { return rotation(n, 'X', 0, a, 0, 1); },
         "sqrt_x_dag"},
        {"sqrt_x_dag", one(&F::left_sqrt_x_dag),
         [](uint64_t n, uint64_t a, uint64_t) { return rotation(n, 'X', 0, a, 0, -1); }, "sqrt_x"},
        {"sqrt_xx", two(&F::left_sqrt_xx),
         [](uint64_t n, uint64_t a, uint64_t b) { return rotation(n, 'X', 'X', a, b, 1); },
         "sqrt_xx_dag"},
        {"sqrt_xx_dag", two(&F::left_sqrt_xx_dag),
         [](uint64_t n, uint64_t a, uint64_t b) { return rotation(n, 'X', 'X', a, b, -1); },
         "sqrt_xx"},
        {"sqrt_yy", two(&F::left_sqrt_yy),
         [](uint64_t n, uint64_t a, uint64_t b) { return rotation(n, 'Y', 'Y', a, b, 1); },
         "sqrt_yy_dag"},
        {"sqrt_yy_dag", two(&F::left_sqrt_yy_dag),
         [](uint64_t n, uint64_t a, uint64_t b) { return rotation(n, 'Y', 'Y', a, b, -1); },
         "sqrt_yy"},
        {"sqrt_zz", two(&F::left_sqrt_zz),
         [](uint64_t n, uint64_t a, uint64_t b) { return rotation(n, 'Z', 'Z', a, b, 1); },
         "sqrt_zz_dag"},
        {"sqrt_zz_dag", two(&F::left_sqrt_zz_dag),
         [](uint64_t n, uint64_t a, uint64_t b) { return rotation(n, 'Z', 'Z', a, b, -1); },
         "sqrt_zz"},
        {"swap", two(&F::left_swap), swap_gate, "swap"},
        {"iswap", two(&F::left_iswap),
         [](uint64_t n, uint64_t a, uint64_t b) {
             return rotation(n, 'X', 'X', a, b, -1) * rotation(n, 'Y', 'Y', a, b, -1);
         },
         "iswap_dag"},
        {"iswap_dag", two(&F::left_iswap_dag),
         [](uint64_t n, uint64_t a, uint64_t b) {
             return rotation(n, 'X', 'X', a, b, 1) * rotation(n, 'Y', 'Y', a, b, 1);
         },
         "iswap"},
        {"cxswap", two(&F::left_cxswap),
         [](uint64_t n, uint64_t a, uint64_t b) {
             return swap_gate(n, a, b) * controlled(n, 'Z', 'X', a, b);
         },
         "swapcx"},
        {"czswap", two(&F::left_czswap),
         [](uint64_t n, uint64_t a, uint64_t b) {
             return swap_gate(n, a, b) * controlled(n, 'Z', 'Z', a, b);
         },
         "czswap"},
        {"swapcx", two(&F::left_swapcx),
         [](uint64_t n, uint64_t a, uint64_t b) {
             return controlled(n, 'Z', 'X', a, b) * swap_gate(n, a, b);
         },
         "cxswap"},
        {"cx", two(&F::left_cx),
         [](uint64_t n, uint64_t a, uint64_t b) { return controlled(n, 'Z', 'X', a, b); }, "cx"},
        {"cy", two(&F::left_cy),
         [](uint64_t n, uint64_t a, uint64_t b) { return controlled(n, 'Z', 'Y', a, b); }, "cy"},
        {"cz", two(&F::left_cz),
         [](uint64_t n, uint64_t a, uint64_t b) { return controlled(n, 'Z', 'Z', a, b); }, "cz"},
        {"xcx", two(&F::left_xcx),
         [](uint64_t n, uint64_t a, uint64_t b) { return controlled(n, 'X', 'X', a, b); }, "xcx"},
        {"xcy", two(&F::left_xcy),
         [](uint64_t n, uint64_t a, uint64_t b) { return controlled(n, 'X', 'Y', a, b); }, "xcy"},
        {"xcz", two(&F::left_xcz),
         [](uint64_t n, uint64_t a, uint64_t b) { return controlled(n, 'X', 'Z', a, b); }, "xcz"},
        {"ycx", two(&F::left_ycx),
         [](uint64_t n, uint64_t a, uint64_t b) { return controlled(n, 'Y', 'X', a, b); }, "ycx"},
        {"ycy", two(&F::left_ycy),
         [](uint64_t n, uint64_t a, uint64_t b) { return controlled(n, 'Y', 'Y', a, b); }, "ycy"},
        {"ycz", two(&F::left_ycz),
         [](uint64_t n, uint64_t a, uint64_t b) { return controlled(n, 'Y', 'Z', a, b); }, "ycz"},
    };
}

PauliString pauli_from_index(uint64_t n, uint64_t index, uint8_t phase) {
    PauliString p(n);
    for (uint64_t q = 0; q < n; ++q) {
        p.set_xbit(q, (index >> (2 * q)) & 1);
        p.set_zbit(q, (index >> (2 * q + 1)) & 1);
    }
    p.phase = phase;
    return p;
}

// preimage(P) == U^dag P U for every Pauli on n qubits (every phase for the first few).
void expect_frame_is(const CliffordFrame& frame, const Matrix& u, const std::string& context) {
    const uint64_t n = frame.num_qubits();
    const Matrix ud = dagger(u);
    for (uint64_t index = 0; index < (uint64_t{1} << (2 * n)); ++index) {
        const PauliString p = pauli_from_index(n, index, static_cast<uint8_t>(index % 4));
        const PauliString image = frame.preimage(p);
        ASSERT_TRUE(near(dense(image), ud * dense(p) * u))
            << context << ": preimage of " << p.str() << " is " << image.str();
    }
}

TEST(CliffordFrame, EveryGateMatchesDenseConjugation) {
    const std::vector<std::pair<uint64_t, uint64_t>> pairs = {{0, 1}, {1, 0}, {2, 0}, {1, 2}};
    for (const Gate& gate : all_gates()) {
        for (const auto& [a, b] : pairs) {
            CliffordFrame frame(3);
            gate.apply(frame, a, b);
            expect_frame_is(frame, gate.matrix(3, a, b), gate.name);
        }
    }
}

bool is_single(const Gate& g) {
    return g.name[0] == 'h' || g.name.rfind("c_", 0) == 0 || g.name == "sqrt_x" ||
           g.name == "sqrt_x_dag";
}

struct Step {
    const Gate* gate;
    uint64_t a, b;
};

// A random gate on valid qubits of an n-qubit frame (n >= 2).
Step random_step(std::mt19937_64& rng, uint64_t n) {
    static const std::vector<Gate> gates = all_gates();
    const Gate& g = gates[rng() % gates.size()];
    const uint64_t a = rng() % n;
    uint64_t b = rng() % n;
    while (!is_single(g) && b == a)
        b = rng() % n;
    return {&g, a, b};
}

// Brings a frame to a random Clifford.
void scramble(CliffordFrame& frame, std::mt19937_64& rng, int steps) {
    for (int i = 0; i < steps; ++i) {
        const Step s = random_step(rng, frame.num_qubits());
        s.gate->apply(frame, s.a, s.b);
    }
}

TEST(CliffordFrame, RandomSequencesMatchDenseConjugation) {
    std::mt19937_64 rng(3);
    for (uint64_t n = 2; n <= 3; ++n) {
        for (int trial = 0; trial < 12; ++trial) {
            CliffordFrame frame(n);
            Matrix u = identity(n);
            for (int step = 0; step < 25; ++step) {
                const Step s = random_step(rng, n);
                s.gate->apply(frame, s.a, s.b);
                u = s.gate->matrix(n, s.a, s.b) * u;
                if (step % 6 == 5) expect_frame_is(frame, u, "sequence");
            }
            expect_frame_is(frame, u, "sequence end");
        }
    }
}

const Gate& gate_named(const std::vector<Gate>& gates, const std::string& name) {
    for (const Gate& g : gates)
        if (g.name == name) return g;
    throw std::runtime_error(name);
}

std::string fatal_text(const std::function<void()>& f) {
    try {
        f();
    } catch (const FatalError& e) {
        return e.what();
    }
    return "no fatal error";
}

TEST(CliffordFrame, InversePairsRestoreTheIdentity) {
    const std::vector<Gate> gates = all_gates();
    const CliffordFrame identity_frame(3);
    std::mt19937_64 rng(9);
    for (const Gate& g : gates) {
        const Gate& inverse = gate_named(gates, g.inverse);
        EXPECT_EQ(gate_named(gates, inverse.inverse).name, g.name);
        for (const auto& [a, b] : {std::pair<uint64_t, uint64_t>{0, 2}, {2, 1}}) {
            CliffordFrame frame(3);
            g.apply(frame, a, b);
            inverse.apply(frame, a, b);
            EXPECT_TRUE(std::equal(frame.rows().begin(), frame.rows().end(),
                                   identity_frame.rows().begin(), identity_frame.rows().end()))
                << g.name;
            // Also on a scrambled frame: G^-1 G U = U.
            CliffordFrame scrambled(3);
            scramble(scrambled, rng, 20);
            CliffordFrame copy = scrambled;
            g.apply(copy, a, b);
            inverse.apply(copy, a, b);
            EXPECT_TRUE(std::equal(copy.rows().begin(), copy.rows().end(), scrambled.rows().begin(),
                                   scrambled.rows().end()))
                << g.name;
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
        if (!is_single(g)) {
            EXPECT_THROW(g.apply(frame, 1, 1), FatalError) << g.name;
        }
    }
    EXPECT_TRUE(std::equal(frame.rows().begin(), frame.rows().end(), before.rows().begin(),
                           before.rows().end()));
    EXPECT_EQ(fatal_text([&] { (void)frame.preimage(PauliString(2)); }),
              "assertion `left == right` failed: Pauli string and Clifford frame have different "
              "numbers of qubits\n  left: 2\n right: 3");
    EXPECT_THROW((void)frame.coordinates_in_frame(PauliString(4)), FatalError);
}

TEST(CliffordFrame, PreimageExamples) {
    const CliffordFrame identity_frame(5);
    const PauliString p = pauli_string("XYZ_Y");
    EXPECT_EQ(identity_frame.preimage(p), p);
    EXPECT_EQ(identity_frame.coordinates_in_frame(p), p);

    CliffordFrame h(2);
    h.left_h_yz(1);
    EXPECT_EQ(h.preimage(pauli_z(2, 1)), pauli_y(2, 1));
    EXPECT_EQ(h.preimage(pauli_y(2, 1)), pauli_z(2, 1));

    CliffordFrame cx(2);
    cx.left_cx(0, 1);
    EXPECT_EQ(cx.preimage(pauli_z(2, 1)).str(), "ZZ");
    // A query right after an update sees the update.
    cx.left_cx(0, 1);
    EXPECT_EQ(cx.preimage(pauli_z(2, 1)).str(), "IZ");
    cx.negate_row(3);
    EXPECT_EQ(cx.preimage(pauli_z(2, 1)).str(), "-IZ");
}

TEST(CliffordFrame, CoordinatesInvertPreimage) {
    std::mt19937_64 rng(21);
    for (const uint64_t n : {2, 3, 5, 64, 65}) {
        CliffordFrame frame(n);
        for (int round = 0; round < 6; ++round) {
            scramble(frame, rng, 15);
            for (int trial = 0; trial < 20; ++trial) {
                PauliString p(n);
                for (uint64_t q = 0; q < n; ++q) {
                    p.set_xbit(q, rng() % 3 == 0);
                    p.set_zbit(q, rng() % 3 == 0);
                }
                p.phase = static_cast<uint8_t>(rng() % 4);
                EXPECT_EQ(frame.coordinates_in_frame(frame.preimage(p)), p);
                EXPECT_EQ(frame.preimage(frame.coordinates_in_frame(p)), p);
                // Phase 2 on the input adds 2 to the coordinates' phase.
                PauliString minus = p;
                minus.phase = static_cast<uint8_t>((p.phase + 2) % 4);
                PauliString expected = frame.coordinates_in_frame(p);
                expected.phase = static_cast<uint8_t>((expected.phase + 2) % 4);
                EXPECT_EQ(frame.coordinates_in_frame(minus), expected);
            }
        }
    }
}

TEST(CliffordFrame, FromXzRows) {
    std::mt19937_64 rng(8);
    CliffordFrame frame(4);
    scramble(frame, rng, 30);
    const auto rows = frame.rows();
    std::vector<PauliString> xs(rows.begin(), rows.begin() + 4), zs(rows.begin() + 4, rows.end());
    const CliffordFrame rebuilt = CliffordFrame::from_xz_rows(4, xs, zs);
    for (uint64_t index = 0; index < 256; ++index) {
        const PauliString p = pauli_from_index(4, index, static_cast<uint8_t>(index % 4));
        EXPECT_EQ(rebuilt.preimage(p), frame.preimage(p));
        EXPECT_EQ(rebuilt.coordinates_in_frame(p), frame.coordinates_in_frame(p));
    }

    // Rows that are no basis: some bodies cannot be produced, and the frame stays usable.
    std::vector<PauliString> bad_x = xs;
    bad_x[1] = bad_x[0];
    const CliffordFrame bad = CliffordFrame::from_xz_rows(4, bad_x, zs);
    int failures = 0;
    for (uint64_t index = 0; index < 256; ++index) {
        const PauliString p = pauli_from_index(4, index, 0);
        try {
            const PauliString c = bad.coordinates_in_frame(p);
            EXPECT_EQ(bad.preimage(c), p);
        } catch (const KelvoError& e) {
            EXPECT_EQ(e.kind(), KelvoErrorKind::InvalidInput);
            EXPECT_STREQ(e.what(), "frame rows do not span the Pauli body");
            ++failures;
        }
    }
    EXPECT_GT(failures, 0);
    EXPECT_EQ(bad.preimage(pauli_x(4, 0)), xs[0]);

    // Wrong row counts and rows of another width are fatal.
    EXPECT_EQ(fatal_text([&] {
                  CliffordFrame::from_xz_rows(4, {xs.begin(), xs.end() - 1}, zs);
              }),
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
PauliString preimage_by_definition(const CliffordFrame& frame, const PauliString& p) {
    const uint64_t n = frame.num_qubits();
    PauliString acc(n);
    acc.phase = p.phase;
    for (uint64_t q = 0; q < n; ++q) {
        if (p.xbit(q)) acc = acc * frame.row(q);
        if (p.zbit(q)) acc = acc * frame.row(n + q);
    }
    return acc;
}

TEST(CliffordFrame, SparseAndDensePathsAgreeOnLargeFrames) {
    // With few gates per qubit most rows touch one or two words (sparse path); a hub qubit
    // that interacts with everything grows dense rows (dense path).
    std::mt19937_64 rng(17);
    for (const uint64_t n : {129, 300}) {
        CliffordFrame frame(n);
        for (int round = 0; round < 40; ++round) {
            for (int step = 0; step < 12; ++step) {
                Step s = random_step(rng, n);
                if (rng() % 4 == 0 && s.b != 0) s.a = 0;
                s.gate->apply(frame, s.a, s.b);
            }
            for (int trial = 0; trial < 8; ++trial) {
                PauliString p(n);
                const int weight = 1 + static_cast<int>(rng() % 6);
                for (int k = 0; k < weight; ++k) {
                    const uint64_t q = rng() % n;
                    p.set_xbit(q, rng() & 1);
                    p.set_zbit(q, rng() & 1);
                }
                p.phase = static_cast<uint8_t>(rng() % 4);
                const PauliString image = frame.preimage(p);
                ASSERT_EQ(image, preimage_by_definition(frame, p));
                ASSERT_EQ(frame.coordinates_in_frame(image), p);
            }
        }
        // Both paths were exercised.
        size_t sparse = 0, dense_rows = 0;
        const uint64_t words = (n + 63) / 64;
        for (uint64_t r = 0; r < 2 * n; ++r) {
            (2 * frame.support_words(r).size() <= words ? sparse : dense_rows) += 1;
        }
        EXPECT_GT(sparse, 0u);
        EXPECT_GT(dense_rows, 0u);
    }
}

TEST(CliffordFrame, LargeFramesMatchTheirSmallCopies) {
    // Gates on three qubits of a 300-qubit frame, spread over several words, must give the
    // rows of the same gates on a 3-qubit frame (whose updates the dense oracle checks). The
    // large frame runs its row products through the sparse path.
    std::mt19937_64 rng(31);
    const uint64_t n = 300;
    for (int trial = 0; trial < 30; ++trial) {
        const uint64_t qubits[3] = {rng() % 64, 64 + rng() % 64, 192 + rng() % 108};
        CliffordFrame big(n), small(3);
        for (int step = 0; step < 40; ++step) {
            const Step s = random_step(rng, 3);
            s.gate->apply(small, s.a, s.b);
            s.gate->apply(big, qubits[s.a], qubits[s.b]);
            if (step % 3 == 0) (void)big.preimage(pauli_x(n, qubits[0]));  // refresh stale rows
            for (uint64_t r = 0; r < 6; ++r) {
                const uint64_t q = qubits[r % 3];
                const PauliString& expected = small.row(r);
                const PauliString& got = big.row(r < 3 ? q : n + q);
                PauliString embedded(n);
                for (uint64_t i = 0; i < 3; ++i) {
                    embedded.set_xbit(qubits[i], expected.xbit(i));
                    embedded.set_zbit(qubits[i], expected.zbit(i));
                }
                embedded.phase = expected.phase;
                ASSERT_EQ(got, embedded) << s.gate->name;
            }
        }
    }
}

TEST(CliffordFrame, SupportCacheFollowsEveryRowChange) {
    std::mt19937_64 rng(2);
    CliffordFrame frame(140);
    frame.ensure_support_words();
    for (int step = 0; step < 200; ++step) {
        switch (rng() % 4) {
            case 0:
                frame.swap_rows(rng() % 280, rng() % 280);
                break;
            case 1:
                frame.negate_row(rng() % 280);
                break;
            case 2:
                frame.mul_rows(rng() % 280, rng() % 280, rng() % 280,
                               static_cast<uint8_t>(rng() % 4));
                break;
            default:
                scramble(frame, rng, 1);
        }
        if (step % 7 == 0) {
            for (uint64_t r = 0; r < 280; ++r) {
                std::vector<SupportWord> expected;
                const PauliString& row = frame.row(r);
                for (uint64_t w = 0; w < row.x.size(); ++w)
                    if (row.x[w] | row.z[w]) expected.push_back({w, row.x[w], row.z[w]});
                const auto got = frame.support_words(r);
                ASSERT_TRUE(std::equal(got.begin(), got.end(), expected.begin(), expected.end()));
            }
        }
    }
}

}  // namespace
}  // namespace kelvo