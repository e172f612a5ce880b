"""Sampling random noisy Clifford+T circuits against their exact record distributions."""

import random

import numpy as np
import pytest

from dense import ExactRun
from stats import chi_square_sigmas

import kelvo

SHOTS = 100_000
ONE = ["H", "S", "S_DAG", "SQRT_X", "SQRT_Y_DAG", "X", "Y", "Z", "H_YZ", "C_XYZ"]
TWO = ["CX", "CY", "CZ", "SWAP", "ISWAP", "SQRT_XX", "CXSWAP"]
MEASURE = ["M", "MX", "MY", "MR", "MRX"]


def random_circuit(seed, noisy):
    """(text, qubit count): gates, rotations, measurements, MPP, feedback and, when noisy,
    noise channels; few records, so that every outcome is seen often and the exact run stays
    small (one density matrix per record history)."""
    rng = random.Random(seed)
    n = rng.randint(2, 8 if seed % 4 == 0 else 5)
    qubit = lambda: rng.randrange(n)  # noqa: E731
    pair = lambda: " ".join(map(str, rng.sample(range(n), 2)))  # noqa: E731
    angle = lambda: round(rng.uniform(-1, 1), 3)  # noqa: E731

    def product():
        factors = [rng.choice("XYZ") + str(q) for q in rng.sample(range(n), rng.randint(1, min(3, n)))]
        return rng.choice(["", "!"]) + "*".join(factors)

    lines, records, max_records = [f"H {' '.join(map(str, range(n)))}"], 0, 7 if n <= 5 else 5
    while len(lines) < 30:
        kind = rng.choice(["one", "one", "two", "two", "t", "rot", "rot", "measure", "mpp",
                           "feedback", "noise", "noise", "exp", "reset"])
        if kind == "one":
            lines.append(f"{rng.choice(ONE)} {qubit()}")
        elif kind == "two":
            lines.append(f"{rng.choice(TWO)} {pair()}")
        elif kind == "t":
            lines.append(f"{rng.choice(['T', 'T_DAG'])} {qubit()}")
        elif kind == "rot":
            lines.append(rng.choice([f"R_X({angle()}) {qubit()}", f"R_Z({angle()}) {qubit()}",
                                     f"R_ZZ({angle()}) {pair()}", f"R_PAULI({angle()}) {product()}",
                                     f"U3({angle()}, {angle()}, {angle()}) {qubit()}",
                                     f"SPP {product()}"]))
        elif kind in ("measure", "mpp") and records < max_records:
            flip = f"({rng.choice([0.05, 0.1])})" if noisy and rng.random() < 0.3 else ""
            target = rng.choice(["", "!"]) + str(qubit())
            lines.append(f"{rng.choice(MEASURE)}{flip} {target}" if kind == "measure"
                         else f"MPP{flip} {product()}")
            records += 1
        elif kind == "feedback" and records:
            lines.append(f"{rng.choice(['CX', 'CY', 'CZ'])} rec[-{rng.randint(1, records)}] {qubit()}")
        elif kind == "noise" and noisy:
            p = rng.choice([0.05, 0.1, 0.2])
            lines.append(rng.choice([f"X_ERROR({p}) {qubit()}", f"Z_ERROR({p}) {qubit()}",
                                     f"DEPOLARIZE1({p}) {qubit()}", f"DEPOLARIZE2({p}) {pair()}",
                                     f"PAULI_CHANNEL_1(0.05, 0.1, 0.02) {qubit()}",
                                     f"E({p}) {product().lstrip('!').replace('*', ' ')}"]))
        elif kind == "exp" and not noisy:
            lines.append(f"EXP_VAL {product()}")
        elif kind == "reset" and noisy:  # a reset hides a measurement outcome
            lines.append(f"{rng.choice(['R', 'RX'])} {qubit()}")
    lines.append(f"MPP {product()}")
    return "\n".join(lines), n


def records_of(result):
    keys, counts = np.unique(result.measurements, axis=0, return_counts=True)
    return {tuple(int(b) for b in k): int(c) for k, c in zip(keys, counts)}


@pytest.mark.parametrize("seed", range(10))
def test_noisy_record_distribution_is_exact(seed):
    text, n = random_circuit(seed, noisy=True)
    result = kelvo.compile(text, threads=2).sample(SHOTS, seed=seed)
    exact = ExactRun(text, n).distribution()
    assert chi_square_sigmas(records_of(result), exact, SHOTS) < 5, text


@pytest.mark.parametrize("seed", range(100, 106))
def test_noiseless_exp_vals_follow_each_shots_outcomes(seed):
    text, n = random_circuit(seed, noisy=False)
    program = kelvo.compile(text)
    result = program.sample(SHOTS, seed=seed)
    run = ExactRun(text, n)
    assert chi_square_sigmas(records_of(result), run.distribution(), SHOTS) < 5, text
    expected = run.exp_vals()
    rows = np.array([expected[tuple(int(b) for b in row)] for row in result.measurements[:2000]])
    assert rows.shape == (2000, program.num_exp_vals)
    np.testing.assert_allclose(result.exp_vals[:2000], rows.reshape(2000, -1), rtol=0, atol=1e-12)
