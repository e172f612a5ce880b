"""Long circuits: hundreds of measurements of the same few Paulis, where the compiler takes
each sign relative to the last measurement of its body, and hundreds of rounds of noisy loops
with rotations whose signs grow round after round. Random ones against the exact law of every
window of consecutive records, and a long memory experiment against stim."""

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
    coins, pins, records = coins_discard_and_pins(records)
    suffix += coins
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


def coins_discard_and_pins(records):
    """Suffix lines with fair coins on qubit N that one DISCARD and two pins condition on, the
    pins, and the record count after them."""
    coin = f"RX {N}\nM {N}"
    records += 3
    pins = {records - 2: ([records - 3, records - 2], 1), records - 1: ([records - 1], 0)}
    return [coin, "DISCARD rec[-1] rec[-2]", coin, coin], pins, records


def expect_exact_windows(text, pins, records, seed, exp_vals):
    """Samples the circuit and holds the law of every window of records, the pins and the mean
    expectation values to the exact ones."""
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


@pytest.mark.parametrize("seed,exp_vals", [(1, False), (2, False), (3, True), (4, True)])
def test_every_window_of_records_keeps_its_exact_law(seed, exp_vals):
    text, pins, records = long_circuit(seed, exp_vals)
    assert records >= 200
    expect_exact_windows(text, pins, records, seed, exp_vals)


def loop_circuit(seed, exp_vals):
    """(text, pins, record count): 200-260 rounds of a noisy loop around a rotation whose sign
    grows round after round, with a few random lines on qubit 2 and qubit 1 (heralds, resets,
    measurements, products, feedback, more rotations). Even seeds: T-like rotations on qubit 0,
    whose Z no measurement of the loop reads alone (only Z0*Z1 products), under X errors. Odd
    seeds: a feedback loop (T 0, CX 0 1, M 1, CX rec[-1] 0, H 0)."""
    rng = random.Random(seed)
    prob = lambda: rng.choice([0.01, 0.03, 0.1])  # noqa: E731
    angle = lambda: f"{rng.uniform(-1, 1):.3f}"  # noqa: E731
    rotation = lambda q: rng.choice([f"T {q}", f"T_DAG {q}", f"R_Z({angle()}) {q}"])  # noqa: E731
    prefix = ["R 0 1 2", "H 0", "T 0", "CX 0 1", "H 1", "T 1", "MPP Z0*Z1", "MRX 2", "MPAD 0"]
    if exp_vals:
        prefix.append("EXP_VAL X0*X1")
    if seed % 2 == 0:
        body = [rotation(0), f"X_ERROR({prob()}) 0", f"DEPOLARIZE1({prob()}) 1", "MPP Z0*Z1",
                "DETECTOR rec[-1] rec[-2]"]
    else:
        body = [rotation(0), "CX 0 1", "M 1", "CX rec[-1] 0", "H 0",
                f"DEPOLARIZE1({prob()}) 0 1", "DETECTOR rec[-1]"]
    extras = [
        (f"HERALDED_ERASE({prob()}) 2", 1), ("HERALDED_PAULI_CHANNEL_1(0.01, 0.02, 0.0, 0.03) 2", 1),
        (rng.choice(["MR 2", "MRX 2", "M 2"]), 1), (rng.choice(["R 2", "RX 2"]), 0),
        ("MPP X1*X2", 1), (f"R_ZZ({angle()}) 1 2", 0), (rotation(2), 0), ("H 2", 0),
        (f"CZ rec[-{rng.randint(1, WINDOW)}] 2", 0), (f"DEPOLARIZE2({prob()}) 1 2", 0),
        ("MPAD 1", 1), ("CX 1 2", 0),
    ]
    per_round = 1
    for line, count in rng.sample(extras, rng.randint(3, 5)):
        body.insert(rng.randint(1, len(body)), line)
        per_round += count
    rounds = rng.randint(200, 260)
    records = 3 + per_round * rounds
    suffix = ["M 0 1", "DETECTOR rec[-1] rec[-2] rec[-3]"]
    records += 2
    coins, pins, records = coins_discard_and_pins(records)
    suffix += coins
    if exp_vals:
        suffix.append("EXP_VAL Z0 X1*Z2")
    text = "\n".join(prefix + [f"REPEAT {rounds} {{"] + body + ["}"] + suffix) + "\n"
    return text, pins, records


@pytest.mark.parametrize("seed,exp_vals", [(10, False), (11, False), (12, True), (13, True)])
def test_noisy_rotation_loops_keep_the_exact_law_of_every_window(seed, exp_vals):
    text, pins, records = loop_circuit(seed, exp_vals)
    assert records >= 200
    expect_exact_windows(text, pins, records, seed, exp_vals)


def feedback_product_loop(seed):
    """(text, pins, record count): 150-250 rounds of a rotation on qubit 0, a herald or a
    depolarizing error with a noisy measurement whose record is fed back onto qubit 1, a product
    of the rotation's axis with a Pauli of qubit 1, and a measurement of qubit 0 that
    anticommutes with the rotation, all chosen at random. Most such products have signs naming
    every record fed back so far, whose reductions now and then ripple down the rounds."""
    rng = random.Random(seed)
    axis = rng.choice("XYZ")
    across = rng.choice([p for p in "XYZ" if p != axis])
    error = rng.choice([["HERALDED_PAULI_CHANNEL_1(0.05, 0, 0, 0) 0"], ["HERALDED_ERASE(0.05) 0"],
                        ["HERALDED_PAULI_CHANNEL_1(0.02, 0.02, 0.01, 0.01) 0"],
                        ["DEPOLARIZE1(0.05) 0", "M(0.02) 0"]])
    body = error + [f"{rng.choice(['CX', 'CY', 'CZ'])} rec[-1] 1",
                    f"R_{axis}({rng.uniform(-1, 1):.3f}) 0",
                    f"MPP {axis}0*{rng.choice('XYZ')}1", f"MPP {across}0"]
    rounds = rng.randint(150, 250)
    records = 1 + 3 * rounds + 1
    coins, pins, records = coins_discard_and_pins(records)
    lines = ["R 0 1", "H 0 1", "MPAD 0", f"REPEAT {rounds} {{"] + body + ["}", "M 1"] + coins
    return "\n".join(lines) + "\n", pins, records


@pytest.mark.parametrize("seed", [20, 21, 22, 23])
def test_rotation_loops_with_fed_back_products_keep_the_exact_law_of_every_window(seed):
    text, pins, records = feedback_product_loop(seed)
    expect_exact_windows(text, pins, records, seed, False)


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
