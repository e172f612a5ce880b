"""Clifford-only runs far beyond dense reach against stim's tableau simulator, crossing every label
width and calling every Clifford method under its own name on both. Random outcomes are forced to
the same value in both by postselection, so every measurement and expectation must agree exactly."""

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
    sign, ours = rng.choice(["", "-"]), kelvo.pauli_string("".join(letters))
    return (-ours if sign else ours), stim.PauliString(sign + "".join(letters))


def check_state(rng, ours, theirs, n):
    # The state is fixed by its n stabilizers: each must have expectation +1 in ours.
    for stabilizer in theirs.canonical_stabilizers():
        p = kelvo.pauli_string(str(stabilizer)[1:])
        assert ours.peek_observable_expectation(-p if str(stabilizer)[0] == "-" else p) == 1
    for q in rng.sample(range(n), 24):
        assert [getattr(ours, "peek_" + a)(q) for a in "xyz"] == [getattr(theirs, "peek_" + a)(q) for a in "xyz"]
    for _ in range(8):
        a, b = random_observable(rng, n)
        assert ours.peek_observable_expectation(a) == theirs.peek_observable_expectation(b)


def measure(rng, expected, measure_ours, postselect_ours, postselect_theirs, draw):
    """A measurement with stim's expectation: drawn when certain (if `draw`), else postselected on both."""
    if expected != 0 and draw:
        r = measure_ours()
        assert r.deterministic and r.probability == 1.0 and r.outcome == (expected == -1)
        return
    want = expected == -1 if expected != 0 else rng.random() < 0.5
    r = postselect_ours(want)
    assert r.outcome == want and r.probability == pytest.approx(0.5 if expected == 0 else 1.0)
    postselect_theirs(desired_value=want)


def measure_axis(rng, ours, theirs, axis, q):
    measure(rng, getattr(theirs, "peek_" + axis)(q), lambda: ours.measure(q),
            lambda want: getattr(ours, "postselect_" + axis)(q, want),
            lambda **kw: getattr(theirs, "postselect_" + axis)(q, **kw), axis == "z")


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
            measure(rng, theirs.peek_observable_expectation(b), lambda: ours.measure_observable(a),
                    lambda want: ours.postselect_observable(a, want),
                    lambda **kw: theirs.postselect_observable(b, **kw), kind < 0.97)
        if step % 500 == 499:
            check_state(rng, ours, theirs, n)
    assert ours.rank == 1 and ours.num_qubits == n
