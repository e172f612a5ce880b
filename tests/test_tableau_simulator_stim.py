"""Clifford-only runs far beyond dense reach, checked against stim's tableau simulator.

Every label width is crossed (1, 2, 4, 8 words and heap labels), and every Clifford method of
the Python class is called under its own name on both simulators. Random outcomes are forced to
the same value in both by postselection, so the two states stay equal and every deterministic
measurement, peek and observable expectation must agree exactly.
"""

import random

import pytest
import stim

import kelvo

ONE_QUBIT = ["h", "s", "s_dag", "x", "y", "z", "sqrt_x", "sqrt_x_dag", "sqrt_y", "sqrt_y_dag",
             "c_xyz", "c_zyx", "h_xy", "h_yz"]
TWO_QUBIT = ["cx", "cnot", "cy", "cz", "xcx", "xcy", "xcz", "ycx", "ycy", "ycz", "zcx", "zcy", "zcz",
             "swap", "iswap", "iswap_dag"]


def random_observable(rng, n):
    letters = ["I"] * n
    for q in rng.sample(range(n), 4):
        letters[q] = rng.choice("XYZ")
    text = "".join(letters)
    sign = rng.choice(["", "-"])
    ours = kelvo.pauli_string(text)
    return (-ours if sign else ours), stim.PauliString(sign + text)


def check_state(rng, ours, theirs, n):
    # The state is fixed by its n stabilizers: each must have expectation +1 in ours.
    for stabilizer in theirs.canonical_stabilizers():
        text = str(stabilizer)
        p = kelvo.pauli_string(text[1:])
        assert ours.peek_observable_expectation(-p if text[0] == "-" else p) == 1
    for q in rng.sample(range(n), 24):
        assert ours.peek_x(q) == theirs.peek_x(q)
        assert ours.peek_y(q) == theirs.peek_y(q)
        assert ours.peek_z(q) == theirs.peek_z(q)
    for _ in range(8):
        a, b = random_observable(rng, n)
        assert ours.peek_observable_expectation(a) == theirs.peek_observable_expectation(b)


def measure_axis(rng, ours, theirs, axis, q):
    """A measurement of X, Y or Z on q: drawn when certain, postselected on both otherwise."""
    expected = getattr(theirs, "peek_" + axis)(q)
    if expected != 0 and axis == "z":
        r = ours.measure(q)
        assert r.deterministic and r.probability == 1.0 and r.outcome == (expected == -1)
        return
    want = expected == -1 if expected != 0 else rng.random() < 0.5
    r = getattr(ours, "postselect_" + axis)(q, want)
    assert r.outcome == want and r.probability == pytest.approx(0.5 if expected == 0 else 1.0)
    getattr(theirs, "postselect_" + axis)(q, desired_value=want)


@pytest.mark.parametrize("n", [40, 100, 200, 400, 600])
def test_clifford_runs_match_stim(n):
    rng = random.Random(n)
    ours = kelvo.TableauSimulator(n, seed=n)
    theirs = stim.TableauSimulator()
    theirs.set_num_qubits(n)
    for step in range(1500):
        kind = rng.random()
        q = rng.randrange(n)
        if kind < 0.4:
            method = rng.choice(ONE_QUBIT)
            getattr(ours, method)(q)
            getattr(theirs, method)(q)
        elif kind < 0.8:
            method = rng.choice(TWO_QUBIT)
            a, b = rng.sample(range(n), 2)
            getattr(ours, method)(a, b)
            getattr(theirs, method)(a, b)
        elif kind < 0.83:
            a, b = random_observable(rng, n)
            ours.pauli(a)
            theirs.do_pauli_string(b)
        elif kind < 0.9:
            measure_axis(rng, ours, theirs, rng.choice("xyz"), q)
        elif kind < 0.94:
            # After a shared outcome the reset's own measurement is certain in both.
            method = rng.choice(["reset", "reset_x", "reset_y", "reset_z"])
            measure_axis(rng, ours, theirs, method[-1] if method != "reset" else "z", q)
            getattr(ours, method)(q)
            getattr(theirs, method)(q)
        else:
            a, b = random_observable(rng, n)
            expected = theirs.peek_observable_expectation(b)
            if expected != 0 and kind < 0.97:
                r = ours.measure_observable(a)
                assert r.deterministic and r.outcome == (expected == -1)
                continue
            want = expected == -1 if expected != 0 else rng.random() < 0.5
            r = ours.postselect_observable(a, want)
            assert r.outcome == want
            assert r.probability == pytest.approx(1.0 if expected != 0 else 0.5)
            theirs.postselect_observable(b, desired_value=want)
        if step % 500 == 499:
            check_state(rng, ours, theirs, n)
    assert ours.rank == 1
    assert ours.num_qubits == n
