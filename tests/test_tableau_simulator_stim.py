"""Clifford-only runs far beyond dense reach, checked against stim's tableau simulator.

Every label width is crossed (1, 2, 4, 8 words and heap labels). Random outcomes are forced to
the same value in both simulators by postselection, so the two states stay equal and every
deterministic measurement, peek and observable expectation must agree exactly.
"""

import random

import pytest
import stim

import kelvo
from dense import ONE_QUBIT_GATES, TWO_QUBIT_GATES


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


@pytest.mark.parametrize("n", [40, 100, 200, 400, 600])
def test_clifford_runs_match_stim(n):
    rng = random.Random(n)
    ours = kelvo.TableauSimulator(n, seed=n)
    theirs = stim.TableauSimulator()
    theirs.do(stim.Circuit(f"I {n - 1}"))
    one = sorted(ONE_QUBIT_GATES.items())
    two = sorted(TWO_QUBIT_GATES.items())
    for step in range(1500):
        kind = rng.random()
        if kind < 0.45:
            method, gate = rng.choice(one)
            q = rng.randrange(n)
            getattr(ours, method)(q)
            theirs.do(stim.Circuit(f"{gate} {q}"))
        elif kind < 0.9:
            method, gate = rng.choice(two)
            a, b = rng.sample(range(n), 2)
            getattr(ours, method)(a, b)
            theirs.do(stim.Circuit(f"{gate} {a} {b}"))
        elif kind < 0.96:
            q = rng.randrange(n)
            expected = theirs.peek_z(q)
            if expected != 0:
                r = ours.measure(q)
                assert r.deterministic and r.probability == 1.0
                assert r.outcome == (expected == -1)
                theirs.measure(q)
            else:
                want = rng.random() < 0.5
                r = ours.postselect_z(q, want)
                assert r.probability == pytest.approx(0.5) and r.outcome == want
                theirs.postselect_z(q, desired_value=want)
        else:
            a, b = random_observable(rng, n)
            expected = theirs.peek_observable_expectation(b)
            want = expected == -1 if expected != 0 else rng.random() < 0.5
            r = ours.postselect_observable(a, want)
            assert r.outcome == want
            assert r.probability == pytest.approx(1.0 if expected != 0 else 0.5)
            theirs.postselect_observable(b, desired_value=want)
        if step % 500 == 499:
            check_state(rng, ours, theirs, n)
    assert ours.rank == 1
    assert ours.num_qubits == n
