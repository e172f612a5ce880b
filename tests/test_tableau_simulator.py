"""TableauSimulator and MeasureResult from Python, checked against a dense state vector."""

from __future__ import annotations

import doctest
import gc
import inspect
import math
import random
import sys
import threading

import numpy as np
import pytest

import kelvo
from dense import COS8, ONE_QUBIT_GATES, SIN8, TWO_QUBIT_GATES, Dense, Pauli, equal_up_to_phase
from memory import available_memory
from threads import run_on_thread

TableauSimulator = kelvo.TableauSimulator
MeasureResult = kelvo.MeasureResult
SimulatorError = kelvo.SimulatorError

MASK64 = (1 << 64) - 1


class SplitMix64:
    """The simulator's generator, written out independently."""

    def __init__(self, seed: int):
        self.state = seed & MASK64

    def uniform(self) -> float:
        self.state = (self.state + 0x9E3779B97F4A7C15) & MASK64
        z = self.state
        z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & MASK64
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & MASK64
        z ^= z >> 31
        return (z >> 11) * 2.0**-53


def raises_panic(fn, *args, **kwargs) -> BaseException:
    """Runs fn and returns the binding layer's panic exception (a BaseException, not an Exception)."""
    with pytest.raises(BaseException) as info:
        fn(*args, **kwargs)
    assert not isinstance(info.value, Exception), repr(info.value)
    return info.value


def kelvo_pauli(text: str, negative: bool = False):
    p = kelvo.pauli_string(text)
    return kelvo.neg(p) if negative else p


def random_pauli_text(rng: random.Random, n: int) -> str:
    length = rng.randint(1, n)
    return "".join(rng.choice("IXYZ") for _ in range(length))


def assert_state(sim, dense: Dense, atol: float = 1e-9) -> None:
    assert sim.num_qubits == dense.n
    vec = sim.state_vector()
    assert isinstance(vec, list) and all(isinstance(v, complex) for v in vec)
    assert equal_up_to_phase(vec, dense.psi, atol), (np.round(vec, 4), np.round(dense.psi, 4))


class Driver:
    """Applies the same random operations to a TableauSimulator and to a Dense oracle."""

    def __init__(self, rng: random.Random, n: int, seed: int):
        self.rng = rng
        self.sim = TableauSimulator(n, seed=seed)
        self.dense = Dense(n)
        self.draws = SplitMix64(seed)

    def random_unitary(self, n: int) -> None:
        rng, sim, dense = self.rng, self.sim, self.dense
        kind = rng.random()
        if kind < 0.35:
            name = rng.choice(sorted(ONE_QUBIT_GATES))
            q = rng.randrange(n)
            getattr(sim, name)(q)
            dense.gate(name, q)
        elif kind < 0.6 and n >= 2:
            name = rng.choice(sorted(TWO_QUBIT_GATES))
            a, b = rng.sample(range(n), 2)
            getattr(sim, name)(a, b)
            dense.gate(name, a, b)
        elif kind < 0.75:
            q = rng.randrange(n)
            adjoint = rng.random() < 0.5
            (sim.t_dag if adjoint else sim.t)(q)
            dense.t(q, adjoint)
        elif kind < 0.9:
            text = random_pauli_text(rng, n)
            negative = rng.random() < 0.3
            adjoint = rng.random() < 0.5
            sim.t_pauli(kelvo_pauli(text, negative), adjoint)
            pauli = Pauli.from_text(text, 2 if negative else 0)
            support = pauli.x | pauli.z
            if support:
                dense.grow(support.bit_length())
            dense.rotate(pauli, adjoint)
        elif n >= 3:
            a, b, c = rng.sample(range(n), 3)
            sim.ccz(a, b, c)
            dense.ccz(a, b, c)

    def measure(self, pauli_text: str | None, q: int | None, negative: bool = False):
        """Measures Z_q (q given) or an observable; checks probability and the seeded outcome."""
        if q is not None:
            self.dense.grow(q + 1)
            pauli = Pauli(0, 1 << q, 0)
            result = self.sim.measure(q)
        else:
            pauli = Pauli.from_text(pauli_text, 2 if negative else 0)
            support = pauli.x | pauli.z
            if support:
                self.dense.grow(support.bit_length())
            result = self.sim.measure_observable(kelvo_pauli(pauli_text, negative))
        assert isinstance(result, MeasureResult)
        p0 = self.dense.probability(pauli, False)
        u = self.draws.uniform()
        if abs(u - p0) > 1e-7:
            assert result.outcome == (u >= p0)
        expected = 1.0 - p0 if result.outcome else p0
        assert result.probability == pytest.approx(expected, abs=1e-9)
        if p0 < 1e-9 - 1e-12 or p0 > 0.999999999 + 1e-12:
            assert result.deterministic
        elif 1e-9 + 1e-12 < p0 < 0.999999999 - 1e-12:
            assert not result.deterministic
        self.dense.project(pauli, result.outcome)
        return result


# ---------------------------------------------------------------------------------------------
# Unitary evolution against the dense oracle


@pytest.mark.parametrize("case", range(120))
def test_random_clifford_t_circuits_match_dense(case):
    rng = random.Random(1000 + case)
    n = rng.randint(1, 10)
    driver = Driver(rng, n, seed=case)
    for _ in range(rng.randint(1, 40)):
        driver.random_unitary(n)
    assert_state(driver.sim, driver.dense)
    assert driver.sim.rank <= 1 << driver.sim.num_qubits
    for q in range(driver.sim.num_qubits):
        for axis in "XYZ":
            expect = driver.dense.expectation(Pauli.from_text("I" * q + axis))
            assert getattr(driver.sim, "peek_" + axis.lower())(q) == pytest.approx(expect, abs=1e-9)
    for _ in range(4):
        text = random_pauli_text(rng, driver.sim.num_qubits)
        negative = rng.random() < 0.5
        expect = driver.dense.expectation(Pauli.from_text(text, 2 if negative else 0))
        got = driver.sim.peek_observable_expectation(kelvo_pauli(text, negative))
        assert got == pytest.approx(expect, abs=1e-9)


def test_t_convention_has_no_global_phase():
    sim = TableauSimulator(1, seed=0)
    sim.t(0)
    assert sim.state_vector() == pytest.approx([complex(COS8, -SIN8), 0])
    sim = TableauSimulator(1, seed=0)
    sim.t_dag(0)
    assert sim.state_vector() == pytest.approx([complex(COS8, SIN8), 0])
    sim = TableauSimulator(1, seed=0)
    sim.t_pauli(kelvo.pauli_identity(1), False)
    assert sim.state_vector() == pytest.approx([complex(COS8, -SIN8), 0])
    sim = TableauSimulator(1, seed=0)
    sim.t_pauli(kelvo.neg(kelvo.pauli_identity(1)), False)
    assert sim.state_vector() == pytest.approx([complex(COS8, SIN8), 0])


def test_non_hermitian_axis_is_rejected_without_growth():
    sim = TableauSimulator(3, seed=0)
    axis = kelvo.PauliString(10)
    axis.set_xbit(9, True)
    axis.set_phase(1)
    for call in (
        lambda: sim.t_pauli(axis, False),
        lambda: sim.measure_observable(axis),
        lambda: sim.postselect_observable(axis, False),
    ):
        with pytest.raises(ValueError, match="^measurement and rotation axes must be Hermitian Paulis$"):
            call()
        assert sim.num_qubits == 3
    sim.h(0)  # the refused measurements drew nothing: the next one takes the seed's first uniform
    assert sim.measure(0).outcome == (SplitMix64(0).uniform() >= 0.5)
    axis.set_phase(0)
    sim.t_pauli(axis, False)
    assert sim.num_qubits == 10
    i_identity = kelvo.pauli_identity(1)
    i_identity.set_phase(1)
    with pytest.raises(ValueError, match="Hermitian"):
        sim.t_pauli(i_identity, False)


def test_ccz_on_plus_states():
    sim = TableauSimulator(3, seed=0)
    for q in range(3):
        sim.h(q)
    sim.ccz(0, 1, 2)
    assert sim.rank == 8
    dense = Dense(3)
    for q in range(3):
        dense.gate("h", q)
    dense.ccz(0, 1, 2)
    assert_state(sim, dense)
    signs = np.sign(np.real(np.array(sim.state_vector()) / sim.state_vector()[0]))
    assert list(signs) == [1, 1, 1, 1, 1, 1, 1, -1]


def test_ccz_on_fresh_state_keeps_rank_one_and_grows():
    sim = TableauSimulator(1, seed=0)
    sim.ccz(0, 1, 2)
    assert sim.num_qubits == 3 and sim.rank == 1
    vec = sim.state_vector()
    assert abs(vec[0]) == pytest.approx(1.0)


@pytest.mark.parametrize("qubits,repeated", [((1, 1, 2), 1), ((2, 0, 2), 2), ((0, 2, 2), 2)])
def test_ccz_repeated_qubits(qubits, repeated):
    sim = TableauSimulator(1, seed=0)
    with pytest.raises(ValueError, match=f"^gate received repeated qubit index {repeated}$"):
        sim.ccz(*qubits)
    assert sim.num_qubits == 1 and sim.rank == 1


def hadamard_t_rounds(sim, qubits):
    for q in qubits:
        sim.h(q)
        sim.t(q)


def test_rank_doubles_per_round_and_the_cap_refuses_the_21st():
    sim = TableauSimulator(0, seed=0)
    for k in range(1, 21):
        hadamard_t_rounds(sim, [k - 1])
        assert sim.rank == 1 << k
    sim.h(20)
    with pytest.raises(SimulatorError, match="^stabilizer rank 2097152 exceeds cap 1048576$"):
        sim.t(20)
    assert sim.rank == 1 << 20
    assert sim.num_qubits == 21
    assert sim.peek_x(20) == pytest.approx(1.0)
    assert sim.peek_x(0) == pytest.approx(math.cos(math.pi / 4))


# ---------------------------------------------------------------------------------------------
# Measurement, postselection and reset against the dense oracle


@pytest.mark.parametrize("case", range(80))
def test_random_measurements_match_born_rule_and_projection(case):
    rng = random.Random(5000 + case)
    n = rng.randint(1, 8)
    driver = Driver(rng, n, seed=rng.getrandbits(64))
    for _ in range(6):
        for _ in range(rng.randint(0, 10)):
            driver.random_unitary(n)
        if rng.random() < 0.5:
            driver.measure(None, rng.randrange(n + 1))
        else:
            driver.measure(random_pauli_text(rng, n), None, negative=rng.random() < 0.3)
        assert_state(driver.sim, driver.dense)


@pytest.mark.parametrize("case", range(60))
def test_random_postselections_match_dense(case):
    rng = random.Random(9000 + case)
    n = rng.randint(1, 8)
    driver = Driver(rng, n, seed=case)
    sim, dense = driver.sim, driver.dense
    for _ in range(6):
        for _ in range(rng.randint(0, 8)):
            driver.random_unitary(n)
        desired = rng.random() < 0.5
        kind = rng.choice("XYZO")
        if kind == "O":
            text = random_pauli_text(rng, n)
            negative = rng.random() < 0.3
            pauli = Pauli.from_text(text, 2 if negative else 0)
            call = lambda: sim.postselect_observable(kelvo_pauli(text, negative), desired)  # noqa: E731
        else:
            q = rng.randrange(n)
            pauli = Pauli.from_text("I" * q + kind)
            call = lambda: getattr(sim, "postselect_" + kind.lower())(q, desired)  # noqa: E731
        support = pauli.x | pauli.z
        if support:
            dense.grow(support.bit_length())
        prob = dense.probability(pauli, desired)
        if prob < 1e-9 - 1e-12:
            before, rank = sim.state_vector(), sim.rank
            with pytest.raises(
                SimulatorError, match=f"^cannot post-select outcome {str(desired).lower()} with probability "
            ):
                call()
            assert sim.rank == rank and sim.state_vector() == before
        elif prob > 1e-9 + 1e-12:
            result = call()
            assert result.outcome == desired
            assert result.probability == pytest.approx(prob, abs=1e-9)
            dense.project(pauli, desired)
            assert_state(sim, dense)
    # Postselections draw nothing: the next measurement uses the seed's first uniform.
    driver.measure(None, 0)


def test_postselect_examples():
    sim = TableauSimulator(1, seed=3)
    with pytest.raises(SimulatorError, match="^cannot post-select outcome true with probability 0e0$"):
        sim.postselect_z(0, True)
    r = sim.postselect_z(0, False)
    assert (r.probability, r.outcome, r.deterministic) == (1.0, False, True)
    r = sim.postselect_x(0, True)
    assert (r.probability, r.outcome, r.deterministic) == (pytest.approx(0.5), True, False)
    assert sim.peek_x(0) == pytest.approx(-1.0)
    r = sim.postselect_y(0, False)
    assert r.probability == pytest.approx(0.5)
    assert sim.peek_y(0) == pytest.approx(1.0)


def test_measure_examples_and_draw_count():
    sim = TableauSimulator(2, seed=11)
    rng = SplitMix64(11)
    r = sim.measure(0)
    rng.uniform()
    assert (r.probability, r.outcome, r.deterministic) == (1.0, False, True)
    r = sim.measure(7)
    rng.uniform()
    assert sim.num_qubits == 8 and not r.outcome
    sim.h(0)
    r = sim.measure(0)
    assert r.probability == pytest.approx(0.5) and not r.deterministic
    assert r.outcome == (rng.uniform() >= 0.5)
    again = sim.measure(0)
    rng.uniform()
    assert again.outcome == r.outcome and again.probability == 1.0
    assert sim.rank == 1
    # Peeks and postselections do not draw.
    sim.h(1)
    sim.peek_x(1)
    sim.state_vector()
    sim.postselect_z(0, r.outcome)
    assert sim.measure(1).outcome == (rng.uniform() >= 0.5)


def test_seeded_outcome_sequences_follow_splitmix64():
    for seed in (0, 1, 2**64 - 1, 123456789):
        sim = TableauSimulator(4, seed=seed)
        rng = SplitMix64(seed)
        for _ in range(30):
            sim.h(0)
            sim.h(1)
            sim.t(1)
            sim.h(1)
            dense_p0_q1 = COS8**2
            u0 = rng.uniform()
            u1 = rng.uniform()
            assert sim.measure(0).outcome == (u0 >= 0.5)
            assert sim.measure(1).outcome == (u1 >= dense_p0_q1)
            sim.reset(0)
            sim.reset(1)
            rng.uniform()
            rng.uniform()


def test_outcome_frequencies_over_seeds():
    shots = 4000
    ones = 0
    parity_ones = 0
    for seed in range(shots):
        sim = TableauSimulator(3, seed=seed)
        sim.h(0)
        sim.t(0)
        sim.h(0)
        ones += sim.measure(0).outcome
        sim.h(1)
        sim.cx(1, 2)
        a = sim.measure(1).outcome
        b = sim.measure(2).outcome
        assert a == b
        parity_ones += a
    p1 = SIN8**2
    sigma = math.sqrt(shots * p1 * (1 - p1))
    assert abs(ones - shots * p1) < 6 * sigma
    sigma = math.sqrt(shots * 0.25)
    assert abs(parity_ones - shots / 2) < 6 * sigma


@pytest.mark.parametrize("case", range(30))
def test_resets_match_dense(case):
    rng = random.Random(7000 + case)
    n = rng.randint(1, 6)
    driver = Driver(rng, n, seed=case)
    sim, dense = driver.sim, driver.dense
    for _ in range(4):
        for _ in range(rng.randint(1, 10)):
            driver.random_unitary(n)
        kind = rng.choice(["reset", "reset_z", "reset_x", "reset_y"])
        q = rng.randrange(n)
        axis = {"reset": "Z", "reset_z": "Z", "reset_x": "X", "reset_y": "Y"}[kind]
        pauli = Pauli.from_text("I" * q + axis)
        p0 = dense.probability(pauli, False)
        u = driver.draws.uniform()
        assert getattr(sim, kind)(q) is None
        if abs(u - p0) < 1e-7:
            return  # the outcome is not predictable from the oracle's rounding; stop here
        outcome = u >= p0
        dense.project(pauli, outcome)
        if outcome:
            dense.gate("x" if axis == "Z" else "z", q)
        assert dense.expectation(pauli) == pytest.approx(1.0)
        assert getattr(sim, "peek_" + axis.lower())(q) == pytest.approx(1.0)
        assert_state(sim, dense)


def test_measurement_collapses_rank():
    sim = TableauSimulator(0, seed=2)
    hadamard_t_rounds(sim, range(8))
    assert sim.rank == 256
    for q in range(8):
        sim.measure(q)
    assert sim.rank == 1


# ---------------------------------------------------------------------------------------------
# The Python surface


SIGNATURES = {
    **{name: "(q)" for name in ONE_QUBIT_GATES},
    **{name: "(control, target)" for name in TWO_QUBIT_GATES},
    "cz": "(a, b)",
    "zcz": "(a, b)",
    "swap": "(a, b)",
    "iswap": "(a, b)",
    "iswap_dag": "(a, b)",
    "pauli": "(pauli)",
    "controlled_pauli": "(control, target)",
    "t": "(q)",
    "t_dag": "(q)",
    "t_pauli": "(axis, adjoint)",
    "ccz": "(a, b, c)",
    "measure": "(q)",
    "measure_observable": "(observable)",
    "postselect_observable": "(observable, desired_value)",
    "postselect_x": "(q, desired_value)",
    "postselect_y": "(q, desired_value)",
    "postselect_z": "(q, desired_value)",
    "peek_observable_expectation": "(observable)",
    "peek_x": "(q)",
    "peek_y": "(q)",
    "peek_z": "(q)",
    "reset": "(q)",
    "reset_z": "(q)",
    "reset_x": "(q)",
    "reset_y": "(q)",
    "state_vector": "()",
    "reseed_rng": "(seed)",
    "restore_rng_from": "(snapshot)",
}

DOCS = {
    "h": "Hadamard on `q`.",
    "s": "Phase gate S on `q`.",
    "s_dag": "S dagger on `q`.",
    "x": "Pauli X on `q`.",
    "y": "Pauli Y on `q`.",
    "z": "Pauli Z on `q`.",
    "sqrt_x": "Square-root X on `q`.",
    "sqrt_x_dag": "Square-root X dagger on `q`.",
    "sqrt_y": "Square-root Y on `q`.",
    "sqrt_y_dag": "Square-root Y dagger on `q`.",
    "c_xyz": "Order-three Pauli cycle X -> Y -> Z -> X.",
    "c_zyx": "Inverse Pauli cycle X -> Z -> Y -> X.",
    "h_xy": "Hadamard-like exchange of X and Y.",
    "h_yz": "Hadamard-like exchange of Y and Z.",
    "cx": "CNOT from `control` onto `target`.",
    "cy": "Controlled Y from `control` onto `target`.",
    "cz": "Controlled Z on `a` and `b`.",
    "swap": "Swaps `a` and `b`.",
    "iswap": "ISWAP on `a` and `b`.",
    "iswap_dag": "ISWAP dagger on `a` and `b`.",
    "xcx": "X-controlled X.",
    "xcy": "X-controlled Y.",
    "xcz": "X-controlled Z.",
    "ycx": "Y-controlled X.",
    "ycy": "Y-controlled Y.",
    "ycz": "Y-controlled Z.",
    "zcx": "Z-controlled X, equivalent to CNOT.",
    "zcy": "Z-controlled Y.",
    "zcz": "Z-controlled Z, equivalent to CZ.",
    "pauli": "Applies a Pauli operator to the state.",
    "controlled_pauli": "Applies commuting control and target Pauli axes.",
    "t": "Applies T on `q`.",
    "t_dag": "Applies T dagger on `q`.",
    "t_pauli": "Applies a T rotation about `axis`; `adjoint=True` selects T dagger.",
    "ccz": "Applies CCZ to three distinct qubits.",
    "measure": "Measures Z on `q` and collapses the state.",
    "measure_observable": "Measures a Hermitian Pauli observable and collapses the state.",
    "postselect_observable": "Forces a Pauli measurement to `desired_value`.",
    "postselect_z": "Forces a Z measurement on `q`.",
    "postselect_x": "Forces an X measurement on `q`.",
    "postselect_y": "Forces a Y measurement on `q`.",
    "peek_observable_expectation": "Returns a Pauli expectation without collapsing the state.",
    "peek_x": "Returns the X expectation on `q` without measuring.",
    "peek_y": "Returns the Y expectation on `q` without measuring.",
    "peek_z": "Returns the Z expectation on `q` without measuring.",
    "reset": "Resets `q` to |0>.",
    "reset_z": "Resets `q` to |0>.",
    "reset_x": "Resets `q` to |+>.",
    "reset_y": "Resets `q` to |+i>.",
    "state_vector": "Reconstructs the dense state vector; intended for small registers.",
    "reseed_rng": "Reseeds outcome sampling without changing the state.",
    "restore_rng_from": "Copies the RNG position from `snapshot` without changing the state.",
}


def test_signatures_and_docstrings():
    assert str(inspect.signature(TableauSimulator)) == "(num_qubits, seed=None)"
    assert TableauSimulator.__module__ == "kelvo._core"
    assert MeasureResult.__module__ == "kelvo._core"
    for name, sig in SIGNATURES.items():
        method = getattr(TableauSimulator, name)
        assert method.__text_signature__ == ("($self, " + sig[1:] if sig != "()" else "($self)"), name
        params = list(inspect.signature(method).parameters.values())[1:]
        assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in params), name
        assert method.__doc__ == DOCS.get(name, method.__doc__), name
    assert "CNOT" in TableauSimulator.cnot.__doc__
    doc = TableauSimulator.__doc__
    assert doc.startswith(
        "Operations apply immediately. Qubit-writing operations grow the register;\n"
        "measurements return `MeasureResult`; non-collapsing `peek_*` calls reject\n"
        "qubits outside the current register.\n\nExamples:\n"
    )
    assert "kelvo.TableauSimulator(2, seed=7)" in doc and "1.0" in doc
    assert TableauSimulator.num_qubits.__doc__ == "Current register size."
    assert TableauSimulator.rank.__doc__ == "Number of live amplitude terms."
    assert MeasureResult.__doc__ == "Result of a Pauli measurement."
    assert MeasureResult.probability.__doc__ == "Probability assigned to this outcome before projection."
    assert MeasureResult.outcome.__doc__ == "Observed eigenvalue bit: `False` is +1 and `True` is -1."
    assert MeasureResult.deterministic.__doc__ == "Whether the state forced the outcome."


def test_docstring_example():
    parser, runner = doctest.DocTestParser(), doctest.DocTestRunner()
    runner.run(parser.get_doctest(TableauSimulator.__doc__, {}, "TableauSimulator", None, 0))
    assert runner.summarize(verbose=False) == doctest.TestResults(failed=0, attempted=5)


def test_reprs_and_results():
    sim = TableauSimulator(3)
    assert repr(sim) == "TableauSimulator(num_qubits=3, rank=1)"
    vec = sim.state_vector()
    assert len(vec) == 8 and vec[0] == 1 and all(v == 0 for v in vec[1:])
    r = sim.measure(0)
    assert repr(r) == "MeasureResult(outcome=False, probability=1.0, deterministic=True)"
    assert type(r.probability) is float and type(r.outcome) is bool and type(r.deterministic) is bool
    sim.h(1)
    r2 = sim.measure(1)
    assert repr(r2) == f"MeasureResult(outcome={r2.outcome}, probability=0.5, deterministic=False)"
    sim.measure(1)
    assert (r.outcome, r.probability, r.deterministic) == (False, 1.0, True)  # a copy, not a view
    sim.h(2)
    sim.t(2)
    assert repr(sim) == "TableauSimulator(num_qubits=3, rank=2)"
    with pytest.raises(AttributeError):
        r.outcome = True
    with pytest.raises(TypeError):
        MeasureResult()
    sim = TableauSimulator(2)
    sim.x(0)
    assert [abs(v) for v in sim.state_vector()] == [0, 1, 0, 0]
    assert TableauSimulator(0).state_vector() == [1 + 0j]


def test_measure_result_repr_prints_the_shortest_probability():
    sim = TableauSimulator(1, seed=0)
    sim.h(0)
    sim.t(0)
    sim.h(0)
    r = sim.postselect_z(0, True)
    text = repr(r)
    assert text == f"MeasureResult(outcome=True, probability={r.probability!r}, deterministic=False)"


def test_argument_matching():
    sim = TableauSimulator(num_qubits=1, seed=None)
    sim.cx(control=0, target=1)
    sim.cz(b=2, a=0)
    sim.t_pauli(axis=kelvo.pauli_string("X"), adjoint=True)
    with pytest.raises(TypeError):
        sim.h()
    with pytest.raises(TypeError):
        sim.h(0, 1)
    with pytest.raises(TypeError):
        sim.h(0, q=0)
    with pytest.raises(TypeError):
        sim.h(qubit=0)
    with pytest.raises(TypeError):
        sim.t_pauli(kelvo.pauli_string("X"))
    with pytest.raises(TypeError):
        TableauSimulator()
    assert sim.num_qubits == 3


def test_argument_conversion():
    sim = TableauSimulator(1, seed=1)
    with pytest.raises(OverflowError) as info:
        sim.h(-1)
    assert "q" in str(info.value)
    with pytest.raises(OverflowError):
        sim.h(2**64)
    with pytest.raises(TypeError) as info:
        sim.h(1.0)
    assert "q" in str(info.value)
    with pytest.raises(TypeError):
        sim.h("0")
    sim.h(True)
    sim.h(np.int64(2))
    assert sim.num_qubits == 3
    p = kelvo.pauli_string("Z")
    with pytest.raises(TypeError) as info:
        sim.t_pauli(p, 1)
    assert "adjoint" in str(info.value)
    with pytest.raises(TypeError):
        sim.postselect_z(0, 0)
    sim.t_pauli(p, np.bool_(True))
    sim.postselect_z(0, np.bool_(False))
    with pytest.raises(TypeError) as info:
        sim.t_pauli("Z", True)
    assert "axis" in str(info.value)
    with pytest.raises(TypeError) as info:
        sim.restore_rng_from(42)
    assert "snapshot" in str(info.value)
    with pytest.raises(TypeError):
        sim.reseed_rng(None)
    with pytest.raises(OverflowError):
        TableauSimulator(1, seed=2**64)
    with pytest.raises(OverflowError):
        TableauSimulator(-1)
    TableauSimulator(1, seed=2**64 - 1)
    # Conversions go left to right: the first bad argument is reported.
    with pytest.raises(OverflowError) as info:
        sim.cx(-1, "x")
    assert "control" in str(info.value)
    assert sim.num_qubits == 3


def test_error_classes_and_messages():
    sim = TableauSimulator(3, seed=0)
    with pytest.raises(ValueError, match="^gate received repeated qubit index 1$"):
        sim.cx(1, 1)
    with pytest.raises(ValueError, match="^gate received repeated qubit index 1$"):
        sim.cnot(1, 1)
    assert sim.swap(2, 2) is None
    with pytest.raises(ValueError, match="^observable qubit index 20 is outside a 3-qubit register$"):
        sim.peek_z(20)
    with pytest.raises(ValueError, match="^observable qubit index 5 is outside a 3-qubit register$"):
        sim.peek_observable_expectation(kelvo.pauli_z(6, 5))
    assert sim.num_qubits == 3
    sim.h(10)
    assert sim.num_qubits == 11


def test_rng_control():
    a = TableauSimulator(1, seed=42)
    b = TableauSimulator(1, seed=99)
    b.restore_rng_from(a)
    outcomes = []
    for sim in (a, b):
        seq = []
        for _ in range(20):
            sim.h(0)
            seq.append(sim.measure(0).outcome)
        outcomes.append(seq)
    assert outcomes[0] == outcomes[1]
    sim = TableauSimulator(2, seed=1)
    sim.h(0)
    sim.t(0)
    before = (sim.rank, sim.num_qubits, sim.state_vector())
    assert sim.reseed_rng(2**64 - 1) is None
    assert (sim.rank, sim.num_qubits, sim.state_vector()) == before
    rng = SplitMix64(2**64 - 1)
    sim.h(1)
    assert sim.measure(1).outcome == (rng.uniform() >= 0.5)


def test_borrow_errors():
    sim = TableauSimulator(1, seed=0)
    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        sim.restore_rng_from(sim)

    class Reenter:
        def __init__(self, action):
            self.action = action

        def __index__(self):
            self.action()
            return 0

    with pytest.raises(RuntimeError, match="Already borrowed"):
        sim.h(Reenter(lambda: sim.x(0)))
    with pytest.raises(RuntimeError, match="Already mutably borrowed"):
        sim.h(Reenter(lambda: sim.peek_z(0)))
    with pytest.raises(RuntimeError, match="Already borrowed"):
        sim.peek_z(Reenter(lambda: sim.x(0)))
    seen = []
    assert sim.peek_z(Reenter(lambda: seen.append(sim.peek_x(0)))) == 1.0
    assert seen == [0.0]
    # Access is released on every path; the simulator still works and is unchanged.
    assert sim.num_qubits == 1 and sim.peek_z(0) == 1.0
    sim.h(0)
    assert sim.peek_x(0) == pytest.approx(1.0)


def test_thread_affinity():
    sim = TableauSimulator(1, seed=0)
    result = sim.measure(0)
    for call in (lambda: sim.h(0), lambda: sim.peek_z(0), lambda: sim.rank, lambda: repr(sim)):
        error = run_on_thread(call)["error"]
        assert isinstance(error, BaseException) and not isinstance(error, Exception)
    assert run_on_thread(lambda: result.outcome) == {"value": False}  # any thread may read it
    assert sim.peek_z(0) == 1.0 and sim.num_qubits == 1


def test_drop_on_foreign_thread_reports_unraisable():
    reports = []
    old_hook = sys.unraisablehook
    sys.unraisablehook = lambda info: reports.append(info.exc_type)
    try:
        holder = [TableauSimulator(1, seed=0)]
        t = threading.Thread(target=holder.clear)
        t.start()
        t.join()
        gc.collect()
    finally:
        sys.unraisablehook = old_hook
    assert reports == [RuntimeError]


# ---------------------------------------------------------------------------------------------
# Sizes from user input: clean exceptions, never a crash


HUGE = [2**64 - 1, 2**63, 2**40]


@pytest.mark.parametrize("q", HUGE)
def test_huge_qubit_indices_raise_cleanly(q):
    sim = TableauSimulator(2, seed=0)
    sim.h(0)
    sim.t(0)
    before = sim.state_vector()
    for call in (
        lambda: sim.h(q),
        lambda: sim.t(q),
        lambda: sim.measure(q),
        lambda: sim.reset_x(q),
        lambda: sim.postselect_z(q, False),
        lambda: sim.cx(0, q),
        lambda: sim.ccz(0, 1, q),
        lambda: sim.swap(q, q),
    ):
        with pytest.raises((MemoryError, OverflowError, ValueError)):
            call()
        assert sim.num_qubits == 2 and sim.rank == 2
    assert sim.state_vector() == before
    with pytest.raises((MemoryError, OverflowError, ValueError)):
        TableauSimulator(q)


def test_registers_beyond_available_memory_raise_cleanly():
    # A tableau of n qubits holds about n^2/16 words; the smallest one beyond the available
    # memory would be granted and then end the process while its rows are zeroed.
    memory = available_memory()
    n = math.isqrt(memory)
    while 32 * n * (-(-n // 64)) <= memory:
        n += 1
    sim = TableauSimulator(3, seed=0)
    sim.h(0)
    sim.t(0)
    with pytest.raises(MemoryError):
        sim.h(n)
    assert sim.num_qubits == 3 and sim.rank == 2
    with pytest.raises(MemoryError):
        TableauSimulator(n)


def test_state_vector_on_huge_registers():
    sim = TableauSimulator(64, seed=0)
    e = raises_panic(sim.state_vector)
    assert "state-vector reconstruction needs a 2^64 length that fits a usize" in str(e)
    assert sim.num_qubits == 64 and sim.peek_z(63) == 1.0
    sim = TableauSimulator(1000, seed=0)
    e = raises_panic(sim.state_vector)
    assert "2^1000" in str(e)
    # Four vectors of 2^n amplitudes beyond the available memory are refused before they are
    # zeroed, which would otherwise end the process.
    beyond_memory = next(n for n in range(64) if 64 << n > available_memory())
    for n in (beyond_memory, 45, 60, 63):
        sim = TableauSimulator(n, seed=0)
        with pytest.raises(MemoryError):
            sim.state_vector()
        assert sim.num_qubits == n
