"""Long circuits: hundreds of measurements of the same few Paulis, where the compiler takes
each sign relative to the last measurement of its body. Random ones against the exact law of
every window of consecutive records, and a long memory experiment against stim."""

import random
import re

import numpy as np
import pytest

from dense import WindowedRun
from stats import chi_square_sigmas, rates_agree

import kelvo

WINDOW = 3
N = 3  # qubits of the random part; qubit N only ever holds fair coins
ONE = ["H", "S", "SQRT_X", "SQRT_Y_DAG", "H_YZ", "C_XYZ", "X", "Z"]
TWO = ["CX", "CZ", "CY", "ISWAP", "SQRT_XX", "CXSWAP"]
INVERSE = {"S": "S_DAG", "SQRT_X": "SQRT_X_DAG", "SQRT_Y_DAG": "SQRT_Y", "C_XYZ": "C_ZYX",
           "ISWAP": "ISWAP_DAG", "SQRT_XX": "SQRT_XX_DAG", "CXSWAP": "SWAPCX"}


def flat(text):
    """The text with its (one level of) REPEAT blocks written out."""
    def repeat(match):
        return "\n".join([match.group(2).strip()] * int(match.group(1)))
    return re.sub(r"REPEAT (\d+) \{\n(.*?)\n\}", repeat, text, flags=re.S)


def long_circuit(seed, exp_vals):
    """(text, pins, record count): a random prefix, a random body repeated 70-100 times (for odd
    seeds one that undoes its own Clifford gates), and a suffix with fair coins on qubit N that
    one DISCARD and two pins condition on."""
    rng = random.Random(seed)
    qubit = lambda: rng.randrange(N)  # noqa: E731
    pair = lambda: " ".join(map(str, rng.sample(range(N), 2)))  # noqa: E731
    prob = lambda: rng.choice([0.01, 0.03, 0.1])  # noqa: E731

    def product():
        return "*".join(rng.choice("XYZ") + str(q) for q in rng.sample(range(N), rng.randint(1, N)))

    def lines(count, records):
        out = []
        while len(out) < count:
            kind = rng.choice(["one", "one", "two", "two", "rot", "measure", "measure", "mpp",
                               "pad", "noise", "noise", "herald", "feedback", "detector"])
            if kind == "one":
                out.append(f"{rng.choice(ONE)} {qubit()}")
            elif kind == "two":
                out.append(f"{rng.choice(TWO)} {pair()}")
            elif kind == "rot":
                out.append(rng.choice([f"T {qubit()}", f"T_DAG {qubit()}",
                                       f"R_X({rng.uniform(-1, 1):.3f}) {qubit()}"]))
            elif kind == "measure":
                flip = f"({prob()})" if rng.random() < 0.3 else ""
                out.append(f"{rng.choice(['M', 'MX', 'MY', 'MR', 'MRX'])}{flip} {qubit()}")
                records += 1
            elif kind == "mpp":
                out.append(f"MPP {product()}")
                records += 1
            elif kind == "pad":
                out.append(f"MPAD {rng.randint(0, 1)}")
                records += 1
            elif kind == "noise":
                out.append(rng.choice([f"X_ERROR({prob()}) {qubit()}", f"Z_ERROR({prob()}) {qubit()}",
                                       f"DEPOLARIZE1({prob()}) {qubit()}",
                                       f"DEPOLARIZE2({prob()}) {pair()}",
                                       f"E({prob()}) {product().replace('*', ' ')}"]))
            elif kind == "herald":
                out.append(rng.choice([f"HERALDED_ERASE({prob()}) {qubit()}",
                                       f"HERALDED_PAULI_CHANNEL_1(0.01, 0.02, 0.0, 0.03) {qubit()}"]))
                records += 1
            elif kind == "feedback" and records:
                back = rng.randint(1, min(WINDOW, records))
                out.append(f"{rng.choice(['CX', 'CY', 'CZ'])} rec[-{back}] {qubit()}")
            elif kind == "detector" and records >= 2:
                out.append("DETECTOR rec[-1] rec[-2]")
        return out, records

    prefix, records = lines(6, 0)
    if exp_vals:
        prefix.append(f"EXP_VAL {product()}")
    body, per_round = lines(9, 0)
    # Noise every round, so that the full signs of repeated measurements grow long.
    body += [f"DEPOLARIZE2({prob()}) {pair()}", f"DEPOLARIZE1({prob()}) {qubit()}"]
    if seed % 2:
        # Undo the body's Clifford gates, so that every round measures the same Paulis as the
        # one before it and each measurement's sign is relative to the last round's.
        cliffords = [b.split(" ", 1) for b in body if b.split(" ")[0] in ONE + TWO]
        body += [f"{INVERSE.get(g, g)} {q}" for g, q in reversed(cliffords)]
    if per_round == 0:
        body.append(f"M {qubit()}")
        per_round = 1
    rounds = rng.randint(70, 100)
    records += per_round * rounds
    suffix, records = lines(5, records)
    pins = {}
    coin = f"RX {N}\nM {N}"
    suffix += [coin, "DISCARD rec[-1] rec[-2]", coin, coin]
    records += 3
    pins[records - 2] = ([records - 3, records - 2], 1)
    pins[records - 1] = ([records - 1], 0)
    if exp_vals:
        suffix.append(f"EXP_VAL {product()}")
    text = "\n".join(prefix + [f"REPEAT {rounds} {{"] + body + ["}"] + suffix) + "\n"
    return text, pins, records


def window_counts(measurements, end):
    """Counts of each value of records end - WINDOW + 1 .. end among the rows."""
    columns = measurements[:, end - WINDOW + 1:end + 1].astype(np.int64)
    codes = columns @ (1 << np.arange(WINDOW))
    counts = np.bincount(codes, minlength=1 << WINDOW)
    return {tuple((c >> k) & 1 for k in range(WINDOW)): int(n) for c, n in enumerate(counts) if n}


@pytest.mark.parametrize("seed,exp_vals", [(1, False), (2, False), (3, True), (4, True)])
def test_every_window_of_records_keeps_its_exact_law(seed, exp_vals):
    text, pins, records = long_circuit(seed, exp_vals)
    assert records >= 200
    pin_list = [(list(recs), bool(v)) for recs, v in pins.values()]
    program = kelvo.compile(text, pin_measurements=pin_list, threads=2)
    result = program.sample(40_000, seed=seed)
    shots = result.measurements.shape[0]
    assert result.measurements.shape[1] == records and shots > 15_000

    exact = WindowedRun(flat(text), N + 1, WINDOW, pins)
    assert len(exact.windows) == records
    for end in range(WINDOW - 1, records):
        sigmas = chi_square_sigmas(window_counts(result.measurements, end), exact.windows[end], shots)
        assert sigmas < 5, (end, text)
    for recs, value in pin_list:
        assert (result.measurements[:, recs].sum(axis=1) % 2 == value).all()
    if exp_vals:
        means, values = exact.mean_exp_vals(), result.exp_vals
        assert values.shape == (shots, len(means))
        for column, mean in zip(values.T, means):
            spread = max(column.std(), 1e-3)
            assert abs(column.mean() - mean) < 5 * spread / np.sqrt(shots) + 1e-9, text


def test_long_memory_experiment_keeps_stims_detector_rates_and_reference():
    stim = pytest.importorskip("stim")
    circuit = stim.Circuit.generated(
        "surface_code:rotated_memory_z", distance=3, rounds=300,
        after_clifford_depolarization=0.004, before_round_data_depolarization=0.003,
        before_measure_flip_probability=0.002, after_reset_flip_probability=0.005)
    shots = 20_000
    ours = kelvo.compile(str(circuit), threads=2).sample(shots, seed=5)
    events, flips = circuit.compile_detector_sampler(seed=5).sample(shots, separate_observables=True)
    assert rates_agree(ours.detectors.sum(axis=0), events.sum(axis=0), shots)
    assert rates_agree(ours.observables.sum(axis=0), flips.sum(axis=0), shots)

    reference = kelvo.Circuit(str(circuit)).reference_sample()
    detectors, observables = circuit.reference_detector_and_observable_signs()
    assert list(reference.detectors) == [bool(b) for b in detectors]
    assert list(reference.observables) == [bool(b) for b in observables]
