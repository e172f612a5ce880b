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

TEST(CliffordFrame, RandomSequencesMatchDenseConjugation) {
    const std::vector<Gate> gates = all_gates();
    std::mt19937_64 rng(3);
    for (uint64_t n = 1; n <= 3; ++n) {
        for (int trial = 0; trial < 12; ++trial) {
            CliffordFrame frame(n);
            Matrix u = identity(n);
            for (int step = 0; step < 25; ++step) {
                const Gate& g = gates[rng() % gates.size()];
                const bool single = g.name[0] == 'h' || g.name.rfind("c_", 0) == 0 ||
                                    g.name == "sqrt_x" || g.name == "sqrt_x_dag";
                if (!single && n < 2) continue;
                const uint64_t a = rng() % n;
                uint64_t b = rng() % n;
                while (!single && b == a)
                    b = rng() % n;
                g.apply(frame, a, b);
                u = g.matrix(n, a, b) * u;
                if (step % 6 == 5) expect_frame_is(frame, u, "sequence");
            }
            expect_frame_is(frame, u, "sequence end");
        }
    }
}

}  // namespace
}  // namespace kelvo
