// Test oracle: dense matrices on a few qubits, written from the textbook
// definitions and independent of the tableau code. Only the tests include this header.
#pragma once

#include <bit>
#include <cmath>
#include <complex>
#include <cstdint>
#include <vector>

#include "pauli.h"

namespace kelvo::oracle {

using C = std::complex<double>;
inline const C kI{0, 1};
inline const double kR = 1 / std::sqrt(2.0);

struct Mat {
    uint64_t dim = 0;
    std::vector<C> a;  // row-major

    explicit Mat(uint64_t d = 0) : dim(d), a(d * d) {}
    C& at(uint64_t r, uint64_t c) { return a[r * dim + c]; }
    C at(uint64_t r, uint64_t c) const { return a[r * dim + c]; }
};

inline Mat identity(uint64_t dim) {
    Mat m(dim);
    for (uint64_t i = 0; i < dim; ++i)
        m.at(i, i) = 1;
    return m;
}

inline Mat operator*(const Mat& x, const Mat& y) {
    Mat m(x.dim);
    for (uint64_t r = 0; r < x.dim; ++r) {
        for (uint64_t k = 0; k < x.dim; ++k) {
            if (x.at(r, k) == C{}) continue;
            for (uint64_t c = 0; c < x.dim; ++c)
                m.at(r, c) += x.at(r, k) * y.at(k, c);
        }
    }
    return m;
}

inline Mat operator+(const Mat& x, const Mat& y) {
    Mat m(x.dim);
    for (size_t i = 0; i < m.a.size(); ++i)
        m.a[i] = x.a[i] + y.a[i];
    return m;
}

inline Mat operator*(C s, const Mat& x) {
    Mat m(x.dim);
    for (size_t i = 0; i < m.a.size(); ++i)
        m.a[i] = s * x.a[i];
    return m;
}

inline Mat adjoint(const Mat& x) {
    Mat m(x.dim);
    for (uint64_t r = 0; r < x.dim; ++r) {
        for (uint64_t c = 0; c < x.dim; ++c)
            m.at(c, r) = std::conj(x.at(r, c));
    }
    return m;
}

inline bool near(const Mat& x, const Mat& y, double tol = 1e-9) {
    for (size_t i = 0; i < x.a.size(); ++i) {
        if (std::abs(x.a[i] - y.a[i]) > tol) return false;
    }
    return true;
}

// i^phase X^x Z^z on n qubits, Z acting first: |b> -> i^phase (-1)^|z AND b| |b XOR x>.
inline Mat pauli(uint64_t n, uint64_t x, uint64_t z, unsigned phase) {
    static const C kPow[4] = {1, kI, -1, -kI};
    Mat m(uint64_t{1} << n);
    for (uint64_t b = 0; b < m.dim; ++b) {
        m.at(b ^ x, b) = kPow[phase % 4] * C(std::popcount(z & b) % 2 ? -1.0 : 1.0);
    }
    return m;
}

// A PauliString of at most 64 qubits as its matrix.
inline Mat pauli(const PauliString& p) {
    return pauli(p.num_qubits, p.x.empty() ? 0 : p.x[0], p.z.empty() ? 0 : p.z[0], p.phase);
}

// A one-qubit matrix u (u[row][col]) acting on qubit q of n.
inline Mat on1(uint64_t n, uint64_t q, const C (&u)[2][2]) {
    Mat m(uint64_t{1} << n);
    for (uint64_t c = 0; c < m.dim; ++c) {
        for (uint64_t bit = 0; bit < 2; ++bit) {
            const uint64_t r = (c & ~(uint64_t{1} << q)) | (bit << q);
            m.at(r, c) += u[bit][(c >> q) & 1];
        }
    }
    return m;
}

// A two-qubit matrix u acting on qubits a (low index bit) and b (high index bit).
inline Mat on2(uint64_t n, uint64_t a, uint64_t b, const C (&u)[4][4]) {
    Mat m(uint64_t{1} << n);
    const uint64_t mask = (uint64_t{1} << a) | (uint64_t{1} << b);
    for (uint64_t c = 0; c < m.dim; ++c) {
        const uint64_t cin = ((c >> a) & 1) | (((c >> b) & 1) << 1);
        for (uint64_t rin = 0; rin < 4; ++rin) {
            const uint64_t r = (c & ~mask) | ((rin & 1) << a) | ((rin >> 1) << b);
            m.at(r, c) += u[rin][cin];
        }
    }
    return m;
}

// One-qubit Pauli of axis 0 (X), 1 (Y) or 2 (Z) on qubit q.
inline Mat axis_pauli(uint64_t n, unsigned axis, uint64_t q) {
    const uint64_t bit = uint64_t{1} << q;
    if (axis == 0) return pauli(n, bit, 0, 0);
    if (axis == 1) return pauli(n, bit, bit, 1);
    return pauli(n, 0, bit, 0);
}

// The P-controlled Q gate for commuting P and Q: Q where P has eigenvalue -1.
inline Mat controlled(const Mat& p, const Mat& q) {
    const Mat id = identity(p.dim);
    return C(0.5) * (id + p) + C(0.5) * ((id + C(-1) * p) * q);
}

// exp(-i angle P) for a Hermitian Pauli P.
inline Mat pauli_rotation(const Mat& p, double angle) {
    return C(std::cos(angle)) * identity(p.dim) + C(0, -std::sin(angle)) * p;
}

// State vectors: entry j is the amplitude of the basis state with qubit q = bit q of j.
using Vec = std::vector<C>;

inline Vec operator*(const Mat& m, const Vec& v) {
    Vec out(v.size());
    for (uint64_t r = 0; r < m.dim; ++r) {
        for (uint64_t c = 0; c < m.dim; ++c)
            out[r] += m.at(r, c) * v[c];
    }
    return out;
}

inline double weight(const Vec& v) {
    double w = 0;
    for (const C& c : v)
        w += std::norm(c);
    return w;
}

// v projected onto the eigenvalue (-1)^outcome of the Hermitian Pauli p, not renormalised: its
// weight is the probability of that outcome.
inline Vec projected(const Mat& p, const Vec& v, bool outcome) {
    Vec out = p * v;
    for (size_t i = 0; i < v.size(); ++i)
        out[i] = 0.5 * (v[i] + (outcome ? -1.0 : 1.0) * out[i]);
    return out;
}

}  // namespace kelvo::oracle
