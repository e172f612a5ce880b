// Complex amplitudes as (re, im) pairs, with the arithmetic written out.
#pragma once

#include <cstdint>

namespace kelvo::tableau_simulator {

struct Complex {
    double re = 0;
    double im = 0;

    bool operator==(const Complex&) const = default;
};

inline Complex operator+(Complex a, Complex b) {
    return {a.re + b.re, a.im + b.im};
}
inline Complex operator-(Complex a, Complex b) {
    return {a.re - b.re, a.im - b.im};
}
inline Complex operator*(Complex a, Complex b) {
    return {a.re * b.re - a.im * b.im, a.re * b.im + a.im * b.re};
}
inline Complex operator*(double s, Complex a) {
    return {s * a.re, s * a.im};
}
inline Complex conj(Complex a) {
    return {a.re, -a.im};
}
inline double norm2(Complex a) {
    return a.re * a.re + a.im * a.im;
}

// i^k, exactly, from the four-entry tables.
inline Complex i_pow(uint8_t k) {
    static constexpr double kRe[4] = {1, 0, -1, 0};
    static constexpr double kIm[4] = {0, 1, 0, -1};
    return {kRe[k & 3], kIm[k & 3]};
}

}  // namespace kelvo::tableau_simulator
