// Test oracle: the circuit language's Clifford gates as dense matrices, each written from its
// physical definition (axis of a half turn, quarter turn about a Pauli, controlled Pauli).
// Only the tests include this header.
#pragma once

#include <cstdint>
#include <stdexcept>

#include "circuit/ir.h"
#include "testing/dense_oracle.h"

namespace kelvo::oracle {

// The one-qubit Pauli 'X', 'Y' or 'Z' on qubit q of n.
inline Mat letter(uint64_t n, char p, uint64_t q) {
    return axis_pauli(n, p == 'X' ? 0 : p == 'Y' ? 1 : 2, q);
}
// exp(-i s pi/4 P) = (I - i s P) / sqrt2.
inline Mat quarter_turn(const Mat& p, double s) {
    return C(kR) * (identity(p.dim) + C(0, -s) * p);
}
// The half turn about the axis (P + s Q) / sqrt2.
inline Mat half_turn(uint64_t n, uint64_t q, char p, char second, double s) {
    return C(kR) * (letter(n, p, q) + C(s) * letter(n, second, q));
}
// The turn by 2pi/3 about (sx, sy, sz): (I - i (sx X + sy Y + sz Z)) / 2.
inline Mat third_turn(uint64_t n, uint64_t q, double sx, double sy, double sz) {
    const Mat axis =
        C(sx) * letter(n, 'X', q) + C(sy) * letter(n, 'Y', q) + C(sz) * letter(n, 'Z', q);
    return C(0.5) * (identity(axis.dim) + C(0, -1) * axis);
}
inline Mat swap_gate(uint64_t n, uint64_t a, uint64_t b) {
    Mat m = identity(uint64_t{1} << n);
    for (const char c : {'X', 'Y', 'Z'})
        m = m + letter(n, c, a) * letter(n, c, b);
    return C(0.5) * m;
}
// Q on b where P on a reads -1.
inline Mat controlled_letter(uint64_t n, char p, char q, uint64_t a, uint64_t b) {
    return controlled(letter(n, p, a), letter(n, q, b));
}
inline Mat letter_pair(uint64_t n, char p, uint64_t a, uint64_t b) {
    return letter(n, p, a) * letter(n, p, b);
}

inline bool is_two_qubit_clifford(CircuitGate gate) {
    return gate >= CircuitGate::CX && gate <= CircuitGate::YCZ;
}

// The unitary (up to a global phase) of Clifford gate code 1 to 44 on qubit a, or on the pair
// (a, b) for the two-qubit codes (a is the control of the controlled gates).
inline Mat clifford_gate(CircuitGate gate, uint64_t n, uint64_t a, uint64_t b = 0) {
    using G = CircuitGate;
    switch (gate) {
        case G::H:
            return half_turn(n, a, 'X', 'Z', 1);
        case G::H_NXY:
            return half_turn(n, a, 'X', 'Y', -1);
        case G::H_NXZ:
            return half_turn(n, a, 'Z', 'X', -1);
        case G::H_NYZ:
            return half_turn(n, a, 'Z', 'Y', -1);
        case G::H_XY:
            return half_turn(n, a, 'X', 'Y', 1);
        case G::H_YZ:
            return half_turn(n, a, 'Y', 'Z', 1);
        case G::C_NXYZ:
            return third_turn(n, a, 1, -1, -1);
        case G::C_NZYX:
            return third_turn(n, a, 1, 1, -1);
        case G::C_XNYZ:
            return third_turn(n, a, -1, 1, -1);
        case G::C_XYNZ:
            return third_turn(n, a, -1, -1, 1);
        case G::C_XYZ:
            return third_turn(n, a, 1, 1, 1);
        case G::C_ZNYX:
            return third_turn(n, a, 1, -1, 1);
        case G::C_ZYNX:
            return third_turn(n, a, -1, 1, 1);
        case G::C_ZYX:
            return third_turn(n, a, -1, -1, -1);
        case G::S:
            return quarter_turn(letter(n, 'Z', a), 1);
        case G::S_DAG:
            return quarter_turn(letter(n, 'Z', a), -1);
        case G::SQRT_X:
            return quarter_turn(letter(n, 'X', a), 1);
        case G::SQRT_X_DAG:
            return quarter_turn(letter(n, 'X', a), -1);
        case G::SQRT_Y:
            return quarter_turn(letter(n, 'Y', a), 1);
        case G::SQRT_Y_DAG:
            return quarter_turn(letter(n, 'Y', a), -1);
        case G::X:
            return letter(n, 'X', a);
        case G::Y:
            return letter(n, 'Y', a);
        case G::Z:
            return letter(n, 'Z', a);
        case G::CX:
            return controlled_letter(n, 'Z', 'X', a, b);
        case G::CY:
            return controlled_letter(n, 'Z', 'Y', a, b);
        case G::CZ:
            return controlled_letter(n, 'Z', 'Z', a, b);
        case G::SWAP:
            return swap_gate(n, a, b);
        case G::CXSWAP:
            return swap_gate(n, a, b) * controlled_letter(n, 'Z', 'X', a, b);
        case G::CZSWAP:
            return swap_gate(n, a, b) * controlled_letter(n, 'Z', 'Z', a, b);
        case G::ISWAP:
            return quarter_turn(letter_pair(n, 'X', a, b), -1) *
                   quarter_turn(letter_pair(n, 'Y', a, b), -1);
        case G::ISWAP_DAG:
            return quarter_turn(letter_pair(n, 'X', a, b), 1) *
                   quarter_turn(letter_pair(n, 'Y', a, b), 1);
        case G::SQRT_XX:
            return quarter_turn(letter_pair(n, 'X', a, b), 1);
        case G::SQRT_XX_DAG:
            return quarter_turn(letter_pair(n, 'X', a, b), -1);
        case G::SQRT_YY:
            return quarter_turn(letter_pair(n, 'Y', a, b), 1);
        case G::SQRT_YY_DAG:
            return quarter_turn(letter_pair(n, 'Y', a, b), -1);
        case G::SQRT_ZZ:
            return quarter_turn(letter_pair(n, 'Z', a, b), 1);
        case G::SQRT_ZZ_DAG:
            return quarter_turn(letter_pair(n, 'Z', a, b), -1);
        case G::SWAPCX:
            return controlled_letter(n, 'Z', 'X', a, b) * swap_gate(n, a, b);
        case G::XCX:
            return controlled_letter(n, 'X', 'X', a, b);
        case G::XCY:
            return controlled_letter(n, 'X', 'Y', a, b);
        case G::XCZ:
            return controlled_letter(n, 'X', 'Z', a, b);
        case G::YCX:
            return controlled_letter(n, 'Y', 'X', a, b);
        case G::YCY:
            return controlled_letter(n, 'Y', 'Y', a, b);
        case G::YCZ:
            return controlled_letter(n, 'Y', 'Z', a, b);
        default:
            throw std::logic_error("not a Clifford gate code");
    }
}

}  // namespace kelvo::oracle
