"""Dense oracles: a state vector for the simulator tests and benchmarks, and an exact
interpreter of small noisy circuit texts for the sampler tests.

Entry j of a vector is the amplitude of the basis state in which qubit q holds bit q of j
(qubit 0 is the least significant index bit). Gate matrices of the Clifford gates come from
stim in little-endian order (first target = least significant bit), snapped to their exact values.
"""

from __future__ import annotations

import math
import re

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


def stim_gate_matrix(name: str) -> np.ndarray:
    """The unitary of a named Clifford gate, little-endian over its targets."""
    if name not in _matrix_cache:
        import stim

        m = np.asarray(stim.Tableau.from_named_gate(name).to_unitary_matrix(endian="little"))
        m = m.astype(np.complex128)
        _matrix_cache[name] = _snap(m.real) + 1j * _snap(m.imag)
    return _matrix_cache[name]


def gate_matrix(method: str) -> np.ndarray:
    """The unitary of a simulator Clifford gate method, little-endian over its targets."""
    return stim_gate_matrix(ONE_QUBIT_GATES.get(method) or TWO_QUBIT_GATES[method])


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
        """P @ psi, for a vector or for the columns of a matrix."""
        idx = np.arange(psi.shape[0], dtype=np.uint64)
        signs = (1 - 2 * parity(idx & np.uint64(self.z))).reshape((-1,) + (1,) * (psi.ndim - 1))
        out = np.empty_like(psi)
        out[idx ^ np.uint64(self.x)] = (1j**self.phase) * signs * psi
        return out

    def products(self, rho: np.ndarray) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        """(P rho, rho P, P rho P) for a Hermitian P and a Hermitian rho."""
        p_rho = self.apply(rho)
        return p_rho, p_rho.conj().T, self.apply(p_rho.conj().T)


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


# Exact interpreter of small circuit texts ---------------------------------------------------
#
# Runs the circuit on unnormalised density matrices, one per distinct measurement record so
# far: measurements branch, noise channels mix, records that coincide (after a noisy
# measurement) merge. Feedback reads each branch's own records. The result is the exact joint
# distribution of the records and, in every branch, the expectation values requested so far.

_BASIS_FLIP = {"X": "Z", "Y": "X", "Z": "X"}  # a Pauli that flips an eigenstate of the key
_MEASURE_BASIS = {"M": "Z", "MZ": "Z", "MX": "X", "MY": "Y", "MR": "Z", "MRZ": "Z", "MRX": "X",
                  "MRY": "Y"}
_RESET_BASIS = {"R": "Z", "RZ": "Z", "RX": "X", "RY": "Y"}
_ERROR_PAULI = {"X_ERROR": "X", "Y_ERROR": "Y", "Z_ERROR": "Z"}


def _pauli_on(n: int, letters: dict[int, str], sign: int = 0) -> Pauli:
    text = ["I"] * n
    for q, letter in letters.items():
        text[q] = letter
    return Pauli.from_text("".join(text), sign)


def _product(n: int, target: str) -> Pauli:
    """A product target such as !X0*Z1 (a negated product for !)."""
    letters, sign = {}, 0
    for factor in target.split("*"):
        if factor.startswith("!"):
            sign ^= 2
            factor = factor[1:]
        letters[int(factor[1:])] = factor[0].upper()
    return _pauli_on(n, letters, sign)


def _apply_left(m: np.ndarray, u: np.ndarray, qubits: list[int], n: int) -> np.ndarray:
    """u @ m where u acts on `qubits` (index bit i of u belongs to qubits[i])."""
    k = len(qubits)
    t = m.reshape((2,) * n + (m.shape[1],))
    axes = [n - 1 - qubits[j] for j in reversed(range(k))]
    t = np.tensordot(u.reshape((2,) * (2 * k)), t, axes=(list(range(k, 2 * k)), axes))
    return np.moveaxis(t, list(range(k)), axes).reshape(m.shape)


class ExactRun:
    """The exact outcome of a circuit text on n qubits (see the comment above)."""

    def __init__(self, text: str, n: int):
        self.n = n
        rho = np.zeros((1 << n, 1 << n), dtype=np.complex128)
        rho[0, 0] = 1
        self.branches = {(): (rho, ())}  # records -> (unnormalised rho, expectation values)
        for line in text.splitlines():
            line = line.split("#")[0].strip()
            if line:
                self._line(line)

    def distribution(self) -> dict[tuple, float]:
        return {key: float(np.trace(rho).real) for key, (rho, _) in self.branches.items()}

    def exp_vals(self) -> dict[tuple, tuple]:
        return {key: vals for key, (_, vals) in self.branches.items()}

    # Each transformation maps (records, rho) to a list of (records, rho, new expectation values).
    def _each(self, fn) -> None:
        out: dict = {}
        for key, (rho, vals) in self.branches.items():
            for new_key, new_rho, extra in fn(key, rho):
                if np.trace(new_rho).real <= 1e-15:
                    continue
                if new_key in out:  # merged records no longer pin the expectation values
                    out[new_key] = (out[new_key][0] + new_rho, None)
                else:
                    out[new_key] = (new_rho, vals + extra if vals is not None else None)
        self.branches = out

    def _map(self, fn) -> None:
        self._each(lambda key, rho: [(key, fn(rho, key), ())])

    def _unitary(self, u: np.ndarray, qubits: list[int]) -> None:
        def conj(rho, _):
            left = _apply_left(rho, u, qubits, self.n)
            return _apply_left(left.conj().T, u, qubits, self.n).conj().T
        self._map(conj)

    def _rotate(self, p: Pauli, angle: float) -> None:
        c, s = math.cos(angle), math.sin(angle)

        def rotate(rho, _):
            p_rho, rho_p, p_rho_p = p.products(rho)
            return c * c * rho + s * s * p_rho_p + 1j * c * s * (rho_p - p_rho)
        self._map(rotate)

    def _mix(self, terms: list[tuple[float, Pauli]]) -> None:
        rest = 1 - sum(prob for prob, _ in terms)
        self._map(lambda rho, _: rest * rho + sum(prob * p.products(rho)[2] for prob, p in terms))

    def _measure(self, p: Pauli, flip: float = 0.0, reset: Pauli | None = None,
                 invert: int = 0) -> None:
        """Records the outcome bit of P (XOR `invert`), flipped with probability `flip`; a reset
        then takes the -1 outcome's state back to the +1 eigenstate."""
        def measure(key, rho):
            p_rho, rho_p, p_rho_p = p.products(rho)
            out = []
            for bit in (0, 1):
                sign = -1 if bit else 1
                part = (rho + sign * (p_rho + rho_p) + p_rho_p) / 4
                if reset is not None and bit:
                    part = reset.products(part)[2]
                out.append((key + (bit ^ invert,), (1 - flip) * part, ()))
                if flip:
                    out.append((key + (1 - (bit ^ invert),), flip * part, ()))
            return out
        self._each(measure)

    def _line(self, line: str) -> None:
        name, arg_text, rest = re.fullmatch(r"(\w+)(?:\(([^)]*)\))?\s*(.*)", line).groups()
        args = [float(a) for a in arg_text.split(",")] if arg_text else []
        targets = rest.split()
        n = self.n
        if name in ("TICK", "DETECTOR", "OBSERVABLE_INCLUDE", "QUBIT_COORDS", "SHIFT_COORDS"):
            return
        if name in ("T", "T_DAG"):
            for q in targets:
                self._rotate(_pauli_on(n, {int(q): "Z"}), math.pi / 8 * (-1 if name == "T_DAG" else 1))
        elif name in ("R_X", "R_Y", "R_Z"):
            for q in targets:
                self._rotate(_pauli_on(n, {int(q): name[2]}), args[0] * math.pi / 2)
        elif name in ("R_XX", "R_YY", "R_ZZ"):
            for a, b in zip(targets[::2], targets[1::2]):
                self._rotate(_pauli_on(n, {int(a): name[2], int(b): name[2]}), args[0] * math.pi / 2)
        elif name in ("R_PAULI", "SPP", "SPP_DAG"):
            angle = {"SPP": math.pi / 4, "SPP_DAG": -math.pi / 4}.get(name) or args[0] * math.pi / 2
            for t in targets:
                self._rotate(_product(n, t), angle)
        elif name in ("U", "U3"):
            theta, phi, lam = (a * math.pi / 2 for a in args)
            for letter, angle in (("Z", lam), ("Y", theta), ("Z", phi)):
                for q in targets:
                    self._rotate(_pauli_on(n, {int(q): letter}), angle)
        elif name in _MEASURE_BASIS:
            basis = _MEASURE_BASIS[name]
            for t in targets:
                q = int(t.lstrip("!"))
                reset = _pauli_on(n, {q: _BASIS_FLIP[basis]}) if name.startswith("MR") else None
                self._measure(_pauli_on(n, {q: basis}), args[0] if args else 0.0, reset,
                              int(t.startswith("!")))
        elif name in ("MPP", "MXX", "MYY", "MZZ"):
            products = targets if name == "MPP" else [
                f"{name[1]}{a}*{name[1]}{b}" for a, b in zip(targets[::2], targets[1::2])]
            for t in products:
                self._measure(_product(n, t), args[0] if args else 0.0)
        elif name == "MPAD":
            self._each(lambda key, rho: [(key + tuple(int(t) for t in targets), rho, ())])
        elif name in _RESET_BASIS:
            basis = _RESET_BASIS[name]
            for q in targets:
                self._reset(int(q), basis)
        elif name in _ERROR_PAULI:
            for q in targets:
                self._mix([(args[0], _pauli_on(n, {int(q): _ERROR_PAULI[name]}))])
        elif name == "DEPOLARIZE1":
            for q in targets:
                self._mix([(args[0] / 3, _pauli_on(n, {int(q): c})) for c in "XYZ"])
        elif name == "DEPOLARIZE2":
            for a, b in zip(targets[::2], targets[1::2]):
                self._mix([(args[0] / 15, _pauli_on(n, {int(a): ca, int(b): cb}))
                           for ca in "IXYZ" for cb in "IXYZ" if ca + cb != "II"])
        elif name == "PAULI_CHANNEL_1":
            for q in targets:
                self._mix([(p, _pauli_on(n, {int(q): c})) for p, c in zip(args, "XYZ")])
        elif name in ("E", "CORRELATED_ERROR"):
            self._mix([(args[0], _product(n, "*".join(targets)))])
        elif name == "EXP_VAL":
            products = [_product(n, t) for t in targets]
            self._each(lambda key, rho: [(key, rho, tuple(
                float(np.trace(p.apply(rho)).real / np.trace(rho).real) for p in products))])
        elif targets and targets[0].startswith("rec["):
            for r, q in zip(targets[::2], targets[1::2]):
                self._feedback(int(r[4:-1]), _pauli_on(n, {int(q): name[1]}))
        else:
            matrix = stim_gate_matrix(name)
            k = 1 if matrix.shape[0] == 2 else 2
            for i in range(0, len(targets), k):
                self._unitary(matrix, [int(q) for q in targets[i:i + k]])

    def _reset(self, q: int, basis: str) -> None:
        keep = _pauli_on(self.n, {q: basis})
        flip = _pauli_on(self.n, {q: _BASIS_FLIP[basis]})

        def reset(rho, _):
            p_rho, rho_p, p_rho_p = keep.products(rho)
            plus = (rho + p_rho + rho_p + p_rho_p) / 4
            minus = (rho - p_rho - rho_p + p_rho_p) / 4
            return plus + flip.products(minus)[2]
        self._map(reset)

    def _feedback(self, offset: int, p: Pauli) -> None:
        self._map(lambda rho, key: p.products(rho)[2] if key[offset] else rho)


class WindowedRun(ExactRun):
    """The exact law of long circuits, window by window: the branches are keyed by the last
    `window` records only (older ones are summed over), so any number of records fits, and
    right after each record the joint law of it and the window - 1 records before it is kept.
    Feedback and DISCARD look back at most `window` records. A DISCARD and a pin (record list,
    value) are honoured where their last record is written (a DISCARD right after it), so each
    must end on a fair coin that nothing else depends on: conditioning on it scales every branch
    by 1/2 alike, which leaves the law of every window without the coin as it was. EXP_VAL keeps, per slot, the branch matrices
    weighted by the branch's value, so that mean_exp_vals() is the mean over the surviving shots.
    Text without REPEAT blocks (see `flat`)."""

    def __init__(self, text: str, n: int, window: int, pins: dict | None = None):
        self.n, self.window, self.count = n, window, 0
        self.pins = pins or {}  # record index written last -> (record indices, value)
        self.windows: list[dict[tuple, float]] = []  # record j -> law of records j-window+1..j
        rho = np.zeros((1 << n, 1 << n), dtype=np.complex128)
        rho[0, 0] = 1
        self.branches = {(): [rho]}  # last records -> [rho, then rho * value per EXP_VAL slot]
        for line in text.splitlines():
            line = line.split("#")[0].strip()
            if line:
                self._windowed_line(line)

    def mean_exp_vals(self) -> list[float]:
        mats = [sum(column) for column in zip(*self.branches.values())]
        total = np.trace(mats[0]).real
        return [float(np.trace(m).real / total) for m in mats[1:]]

    def _each(self, fn) -> None:
        out: dict = {}
        for key, mats in self.branches.items():
            results = [fn(key, m) for m in mats]
            for i, (new_key, new_rho, _) in enumerate(results[0]):
                if np.trace(new_rho).real <= 1e-15:
                    continue
                new = [r[i][1] for r in results]
                out[new_key] = [a + b for a, b in zip(out[new_key], new)] if new_key in out else new
        self.branches = out

    def _map(self, fn) -> None:
        self.branches = {key: [fn(m, key) for m in mats] for key, mats in self.branches.items()}

    def _keep(self, accept) -> None:
        self.branches = {k: mats for k, mats in self.branches.items() if accept(k)}

    def _windowed_line(self, line: str) -> None:
        name, arg_text, rest = re.fullmatch(r"(\w+)(?:\(([^)]*)\))?\s*(.*)", line).groups()
        args = [float(a) for a in arg_text.split(",")] if arg_text else []
        targets = rest.split()
        if name == "DISCARD":
            offsets = [int(t[4:-1]) for t in targets]
            self._keep(lambda key: sum(key[o] for o in offsets) % 2 == 0)
            self.windows.pop()  # the law of the coin's own window, now conditioned
            self._log_window(len(next(iter(self.branches))) - 1)
        elif name == "EXP_VAL":
            for t in targets:
                p = _product(self.n, t)
                self.branches = {key: mats + [np.trace(p.apply(mats[0])).real
                                              / np.trace(mats[0]).real * mats[0]]
                                 for key, mats in self.branches.items()}
        elif name in ("HERALDED_ERASE", "HERALDED_PAULI_CHANNEL_1"):
            probs = [args[0] / 4] * 4 if name == "HERALDED_ERASE" else args
            for q in targets:
                paulis = [_pauli_on(self.n, {int(q): c}) if c != "I" else None for c in "IXYZ"]

                def herald(key, rho, paulis=paulis):
                    out = [(key + (0,), (1 - sum(probs)) * rho, ())]
                    for prob, p in zip(probs, paulis):
                        out.append((key + (1,), prob * (p.products(rho)[2] if p else rho), ()))
                    return out
                self._each(herald)
        else:
            self._line(line)
        before = min(self.count, self.window)
        for i in range(len(next(iter(self.branches))) - before):
            self._written(before + i)
        self.count += len(next(iter(self.branches))) - before
        merged: dict = {}
        for key, mats in self.branches.items():
            short = key[len(key) - min(len(key), self.window):]
            merged[short] = [a + b for a, b in zip(merged[short], mats)] if short in merged else mats
        self.branches = merged

    def _written(self, position: int) -> None:
        """The record at key position `position` was just written: its pin holds from here on,
        then the law of its window is logged."""
        index = self.count + position - min(self.count, self.window)
        if index in self.pins:
            records, value = self.pins[index]
            spots = [position - (index - r) for r in records]
            assert min(spots) >= 0, "a pin looks back past the window"
            self._keep(lambda key: sum(key[s] for s in spots) % 2 == value)
        self._log_window(position)

    def _log_window(self, position: int) -> None:
        if position + 1 >= self.window:
            law: dict[tuple, float] = {}
            for key, mats in self.branches.items():
                w = key[position + 1 - self.window:position + 1]
                law[w] = law.get(w, 0.0) + float(np.trace(mats[0]).real)
            total = sum(law.values())
            self.windows.append({w: v / total for w, v in law.items()})
        else:
            self.windows.append({})
