"""A small dense state vector, the oracle for the simulator tests and benchmarks.

Entry j of the vector is the amplitude of the basis state in which qubit q holds bit q of j
(qubit 0 is the least significant index bit). Gate matrices of the Clifford gates come from
stim in little-endian order (first target = least significant bit), snapped to their exact values.
"""

from __future__ import annotations

import math

import numpy as np

COS8 = math.cos(math.pi / 8)
SIN8 = math.sin(math.pi / 8)

_EXACT_PARTS = np.array([0.0, 0.5, -0.5, 1.0, -1.0, math.sqrt(0.5), -math.sqrt(0.5)])

# Simulator method name -> stim gate name, for the Clifford gates.
ONE_QUBIT_GATES = {
    "h": "H",
    "s": "S",
    "s_dag": "S_DAG",
    "x": "X",
    "y": "Y",
    "z": "Z",
    "sqrt_x": "SQRT_X",
    "sqrt_x_dag": "SQRT_X_DAG",
    "sqrt_y": "SQRT_Y",
    "sqrt_y_dag": "SQRT_Y_DAG",
    "c_xyz": "C_XYZ",
    "c_zyx": "C_ZYX",
    "h_xy": "H_XY",
    "h_yz": "H_YZ",
}
TWO_QUBIT_GATES = {
    "cx": "CX",
    "cnot": "CX",
    "cy": "CY",
    "cz": "CZ",
    "xcx": "XCX",
    "xcy": "XCY",
    "xcz": "XCZ",
    "ycx": "YCX",
    "ycy": "YCY",
    "ycz": "YCZ",
    "zcx": "CX",
    "zcy": "CY",
    "zcz": "CZ",
    "swap": "SWAP",
    "iswap": "ISWAP",
    "iswap_dag": "ISWAP_DAG",
}

_matrix_cache: dict[str, np.ndarray] = {}


def _snap(values: np.ndarray) -> np.ndarray:
    nearest = _EXACT_PARTS[np.abs(values[..., None] - _EXACT_PARTS).argmin(axis=-1)]
    return nearest


def gate_matrix(method: str) -> np.ndarray:
    """The unitary of a simulator Clifford gate method, little-endian over its targets."""
    if method not in _matrix_cache:
        import stim

        name = ONE_QUBIT_GATES.get(method) or TWO_QUBIT_GATES[method]
        m = np.asarray(stim.Tableau.from_named_gate(name).to_unitary_matrix(endian="little"))
        m = m.astype(np.complex128)
        _matrix_cache[method] = _snap(m.real) + 1j * _snap(m.imag)
    return _matrix_cache[method]


def parity(values: np.ndarray) -> np.ndarray:
    """Parity of the set bits of each uint64 entry."""
    v = values.astype(np.uint64)
    for shift in (32, 16, 8, 4, 2, 1):
        v = v ^ (v >> np.uint64(shift))
    return (v & np.uint64(1)).astype(np.int64)


class Pauli:
    """i^phase * X^x * Z^z on the basis indices (Z acts first), the simulator's convention."""

    def __init__(self, x: int, z: int, phase: int):
        self.x, self.z, self.phase = x, z, phase % 4

    @staticmethod
    def from_text(text: str, sign: int = 0) -> "Pauli":
        """Parses letters I/X/Y/Z (qubit 0 first); sign 0 = +, 2 = -."""
        x = z = 0
        phase = sign
        for q, ch in enumerate(text.upper()):
            if ch in "XY":
                x |= 1 << q
            if ch in "ZY":
                z |= 1 << q
            if ch == "Y":
                phase += 1
        return Pauli(x, z, phase)

    def apply(self, psi: np.ndarray) -> np.ndarray:
        idx = np.arange(psi.shape[0], dtype=np.uint64)
        signs = 1 - 2 * parity(idx & np.uint64(self.z))
        out = np.empty_like(psi)
        out[idx ^ np.uint64(self.x)] = (1j**self.phase) * signs * psi
        return out


class Dense:
    """A dense state vector of n qubits, starting in |0...0>."""

    def __init__(self, n: int):
        self.n = n
        self.psi = np.zeros(1 << n, dtype=np.complex128)
        self.psi[0] = 1.0

    def grow(self, n: int) -> None:
        if n > self.n:
            psi = np.zeros(1 << n, dtype=np.complex128)
            psi[: self.psi.shape[0]] = self.psi
            self.psi, self.n = psi, n

    def apply_matrix(self, matrix: np.ndarray, qubits: list[int]) -> None:
        """Applies a 2^k x 2^k matrix whose index bit i belongs to qubits[i] (distinct qubits)."""
        self.grow(max(qubits) + 1)
        k = len(qubits)
        # View the vector with one axis of length 2 per target qubit, in descending qubit order.
        order = sorted(qubits, reverse=True)
        shape, prev = [], self.n
        for q in order:
            shape += [1 << (prev - q - 1), 2]
            prev = q
        shape.append(1 << prev)
        view = self.psi.reshape(shape)

        def part(index: int):
            sel = [slice(None)] * len(shape)
            for i, q in enumerate(qubits):
                sel[2 * order.index(q) + 1] = (index >> i) & 1
            return tuple(sel)

        parts = [view[part(j)].copy() for j in range(1 << k)]
        for i in range(1 << k):
            acc = None
            for j in range(1 << k):
                m = matrix[i, j]
                if m != 0:
                    term = parts[j] if m == 1 else m * parts[j]
                    acc = term.copy() if acc is None and m == 1 else (term if acc is None else acc + term)
            view[part(i)] = 0 if acc is None else acc

    def gate(self, method: str, *qubits: int) -> None:
        self.apply_matrix(gate_matrix(method), list(qubits))

    def rotate(self, pauli: Pauli, adjoint: bool) -> None:
        """exp(-i pi/8 P) for T, exp(+i pi/8 P) for T dagger."""
        s = SIN8 if adjoint else -SIN8
        self.psi = COS8 * self.psi + 1j * s * pauli.apply(self.psi)

    def t(self, q: int, adjoint: bool = False) -> None:
        s = SIN8 if adjoint else -SIN8
        self.apply_matrix(np.diag([complex(COS8, s), complex(COS8, -s)]), [q])

    def ccz(self, a: int, b: int, c: int) -> None:
        self.grow(max(a, b, c) + 1)
        idx = np.arange(self.psi.shape[0])
        mask = (1 << a) | (1 << b) | (1 << c)
        self.psi = np.where((idx & mask) == mask, -self.psi, self.psi)

    def project(self, pauli: Pauli, outcome: bool) -> float:
        """Projects onto the eigenvalue (-1)^outcome of P; returns the Born probability."""
        sign = -1.0 if outcome else 1.0
        projected = 0.5 * (self.psi + sign * pauli.apply(self.psi))
        prob = float(np.vdot(projected, projected).real)
        if prob > 0:
            self.psi = projected / math.sqrt(prob)
        return prob

    def probability(self, pauli: Pauli, outcome: bool) -> float:
        sign = -1.0 if outcome else 1.0
        projected = 0.5 * (self.psi + sign * pauli.apply(self.psi))
        return float(np.vdot(projected, projected).real)

    def expectation(self, pauli: Pauli) -> float:
        return float(np.vdot(self.psi, pauli.apply(self.psi)).real)


def equal_up_to_phase(a, b, atol: float = 1e-9) -> bool:
    """Whether two vectors agree up to one global phase."""
    a = np.asarray(a, dtype=np.complex128)
    b = np.asarray(b, dtype=np.complex128)
    if a.shape != b.shape:
        return False
    i = int(np.argmax(np.abs(b)))
    if abs(b[i]) < atol:
        return bool(np.allclose(a, 0, atol=atol))
    if abs(a[i]) < atol:
        return False
    phase = a[i] / b[i]
    phase /= abs(phase)
    return bool(np.allclose(a, phase * b, atol=atol))
