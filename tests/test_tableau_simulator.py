"""What the Python layer adds to the tableau simulator; its semantics are checked in C++ and
against stim."""

import doctest
import inspect
import math

import numpy as np
import pytest

import kelvo
from threads import run_on_thread

TableauSimulator, MeasureResult, SimulatorError = kelvo.TableauSimulator, kelvo.MeasureResult, kelvo.SimulatorError
COS8, SIN8 = math.cos(math.pi / 8), math.sin(math.pi / 8)


def first_uniform(seed: int) -> float:
    """The first uniform of SplitMix64 from `seed`, written out independently."""
    mask = (1 << 64) - 1
    z = (seed + 0x9E3779B97F4A7C15) & mask
    z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & mask
    z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & mask
    return ((z ^ (z >> 31)) >> 11) * 2.0**-53


# name|parameters|docstring (after the text signature), entries separated by " ; "
SURFACE = """\
h|q|Hadamard on `q`. ; s|q|Phase gate S on `q`. ; s_dag|q|S dagger on `q`. ; x|q|Pauli X on `q`. ; y|q|Pauli Y on `q`.
z|q|Pauli Z on `q`. ; sqrt_x|q|Square-root X on `q`. ; sqrt_x_dag|q|Square-root X dagger on `q`.
sqrt_y|q|Square-root Y on `q`. ; sqrt_y_dag|q|Square-root Y dagger on `q`.
c_xyz|q|Order-three Pauli cycle X -> Y -> Z -> X. ; c_zyx|q|Inverse Pauli cycle X -> Z -> Y -> X.
h_xy|q|Hadamard-like exchange of X and Y. ; h_yz|q|Hadamard-like exchange of Y and Z.
cx|control, target|CNOT from `control` onto `target`.
cnot|control, target|Alias of `cx`: CNOT from `control` onto `target`.
cy|control, target|Controlled Y from `control` onto `target`. ; cz|a, b|Controlled Z on `a` and `b`.
xcx|control, target|X-controlled X. ; xcy|control, target|X-controlled Y. ; xcz|control, target|X-controlled Z.
ycx|control, target|Y-controlled X. ; ycy|control, target|Y-controlled Y. ; ycz|control, target|Y-controlled Z.
zcx|control, target|Z-controlled X, equivalent to CNOT. ; zcy|control, target|Z-controlled Y.
zcz|a, b|Z-controlled Z, equivalent to CZ. ; iswap|a, b|ISWAP on `a` and `b`.
iswap_dag|a, b|ISWAP dagger on `a` and `b`. ; swap|a, b|Swaps `a` and `b`.
pauli|pauli|Applies a Pauli operator to the state.
controlled_pauli|control, target|Applies commuting control and target Pauli axes. ; t|q|Applies T on `q`.
t_dag|q|Applies T dagger on `q`.
t_pauli|axis, adjoint|Applies a T rotation about `axis`; `adjoint=True` selects T dagger.
ccz|a, b, c|Applies CCZ to three distinct qubits. ; measure|q|Measures Z on `q` and collapses the state.
measure_observable|observable|Measures a Hermitian Pauli observable and collapses the state.
postselect_observable|observable, desired_value|Forces a Pauli measurement to `desired_value`.
postselect_z|q, desired_value|Forces a Z measurement on `q`.
postselect_x|q, desired_value|Forces an X measurement on `q`.
postselect_y|q, desired_value|Forces a Y measurement on `q`.
peek_observable_expectation|observable|Returns a Pauli expectation without collapsing the state.
peek_x|q|Returns the X expectation on `q` without measuring.
peek_y|q|Returns the Y expectation on `q` without measuring.
peek_z|q|Returns the Z expectation on `q` without measuring. ; reset|q|Resets `q` to |0>.
reset_z|q|Resets `q` to |0>. ; reset_x|q|Resets `q` to |+>. ; reset_y|q|Resets `q` to |+i>.
state_vector||Reconstructs the dense state vector; intended for small registers.
reseed_rng|seed|Reseeds outcome sampling without changing the state.
restore_rng_from|snapshot|Copies the RNG position from `snapshot` without changing the state.
"""


def test_signatures_and_docstrings():
    methods = [entry.split("|", 2) for entry in SURFACE.replace("\n", " ; ").split(" ; ") if entry]
    assert {name for name, _, _ in methods} == {
        name for name in vars(TableauSimulator) if not name.startswith("_")} - {"num_qubits", "rank"}
    for name, params, doc in methods:
        method = getattr(TableauSimulator, name)
        assert (method.__text_signature__, str(inspect.signature(method)), method.__doc__) == (
            f"($self{', ' if params else ''}{params})", f"(self, /{', ' if params else ''}{params})", doc)
    assert str(inspect.signature(TableauSimulator)) == "(num_qubits, seed=None)"
    assert TableauSimulator.__doc__.startswith(
        "Operations apply immediately. Qubit-writing operations grow the register;\n"
        "measurements return `MeasureResult`; non-collapsing `peek_*` calls reject\n"
        "qubits outside the current register.\n\nExamples:\n")
    assert [TableauSimulator.num_qubits.__doc__, TableauSimulator.rank.__doc__, MeasureResult.__doc__,
            MeasureResult.probability.__doc__, MeasureResult.outcome.__doc__, MeasureResult.deterministic.__doc__] == [
        "Current register size.", "Number of live amplitude terms.", "Result of a Pauli measurement.",
        "Probability assigned to this outcome before projection.",
        "Observed eigenvalue bit: `False` is +1 and `True` is -1.", "Whether the state forced the outcome."]
    parser, runner = doctest.DocTestParser(), doctest.DocTestRunner()
    runner.run(parser.get_doctest(TableauSimulator.__doc__, {}, "TableauSimulator", None, 0))
    assert runner.summarize(verbose=False) == doctest.TestResults(failed=0, attempted=5)


def test_rotation_and_pauli_methods_reach_their_core_operations():
    # T and T dagger keep the amplitude's phase; t_pauli's flag selects the adjoint.
    identity = kelvo.pauli_identity(1)
    for call, sign in [(lambda s: s.t(0), -1), (lambda s: s.t_dag(0), 1), (lambda s: s.t_pauli(identity, False), -1),
                       (lambda s: s.t_pauli(identity, True), 1), (lambda s: s.t_pauli(-identity, False), 1)]:
        sim = TableauSimulator(1, seed=0)
        call(sim)
        assert sim.state_vector() == pytest.approx([complex(COS8, sign * SIN8), 0])
    sim = TableauSimulator(3, seed=0)
    for q in range(3):
        sim.h(q)
    sim.ccz(0, 1, 2)
    vec = np.array(sim.state_vector())
    assert list(np.sign(np.real(vec / vec[0]))) == [1] * 7 + [-1] and sim.rank == 8
    sim = TableauSimulator(2, seed=0)
    sim.h(0)
    sim.controlled_pauli(kelvo.pauli_string("ZI"), kelvo.pauli_string("IX"))
    sim.pauli(kelvo.pauli_string("XI"))
    assert [sim.peek_observable_expectation(kelvo.pauli_string(p)) for p in ("ZZ", "XX")] == [-1.0, 1.0]


def test_results_and_reprs():
    sim = TableauSimulator(3)
    assert repr(sim) == "TableauSimulator(num_qubits=3, rank=1)"
    vec = sim.state_vector()
    assert vec == [1, 0, 0, 0, 0, 0, 0, 0] and all(type(v) is complex for v in vec)
    r = sim.measure(0)
    assert repr(r) == "MeasureResult(outcome=False, probability=1.0, deterministic=True)"
    assert type(r.probability) is float and type(r.outcome) is bool and type(r.deterministic) is bool
    for gate in (sim.h, sim.t, sim.h):
        gate(1)
    r2 = sim.postselect_z(1, True)
    assert repr(r2) == f"MeasureResult(outcome=True, probability={r2.probability!r}, deterministic=False)"
    assert r2.probability == pytest.approx(SIN8**2)
    sim.measure(1)
    assert (r.outcome, r.probability, r.deterministic) == (False, 1.0, True)  # a copy, not a view
    sim.h(2)
    sim.t(2)
    assert repr(sim) == "TableauSimulator(num_qubits=3, rank=2)"
    with pytest.raises(AttributeError):
        r.outcome = True
    assert TableauSimulator(0).state_vector() == [1 + 0j]


def test_argument_matching_and_conversion():
    sim = TableauSimulator(num_qubits=1, seed=None)
    sim.cx(control=0, target=1)
    sim.cz(b=2, a=0)
    sim.t_pauli(axis=kelvo.pauli_string("X"), adjoint=True)
    for call in (lambda: sim.h(), lambda: sim.h(0, 1), lambda: sim.h(0, q=0), lambda: sim.h(qubit=0),
                 lambda: sim.t_pauli(kelvo.pauli_string("X")), lambda: TableauSimulator(), lambda: MeasureResult()):
        with pytest.raises(TypeError):
            call()
    wrong = [(lambda: sim.h(-1), OverflowError, "q"), (lambda: sim.h(2**64), OverflowError, "q"),
             (lambda: sim.h(1.0), TypeError, "q"), (lambda: sim.h("0"), TypeError, "q"),
             (lambda: sim.t_pauli(kelvo.pauli_string("Z"), 1), TypeError, "adjoint"),
             (lambda: sim.postselect_z(0, 0), TypeError, "desired_value"),
             (lambda: sim.t_pauli("Z", True), TypeError, "axis"), (lambda: sim.reseed_rng(None), TypeError, "seed"),
             (lambda: sim.restore_rng_from(42), TypeError, "snapshot"),
             (lambda: TableauSimulator(1, seed=2**64), OverflowError, "seed"),
             (lambda: TableauSimulator(-1), OverflowError, "num_qubits"),
             # Conversions go left to right: the first bad argument is reported.
             (lambda: sim.cx(-1, "x"), OverflowError, "control")]
    for call, error, name in wrong:
        with pytest.raises(error, match=f"'{name}'"):
            call()
    sim.h(True)
    sim.h(np.int64(2))
    sim.t_pauli(kelvo.pauli_string("Z"), np.bool_(True))
    sim.postselect_z(0, np.bool_(False))
    TableauSimulator(1, seed=2**64 - 1)
    assert sim.num_qubits == 3


def test_error_classes():
    sim = TableauSimulator(3, seed=0)
    i_x = kelvo.pauli_x(1, 0)
    i_x.set_phase(1)
    for call, error, message in [
        (lambda: sim.cx(1, 1), ValueError, "gate received repeated qubit index 1"),
        (lambda: sim.ccz(0, 2, 2), ValueError, "gate received repeated qubit index 2"),
        (lambda: sim.peek_z(20), ValueError, "observable qubit index 20 is outside a 3-qubit register"),
        (lambda: sim.t_pauli(i_x, False), ValueError, "measurement and rotation axes must be Hermitian Paulis"),
        (lambda: sim.postselect_z(0, True), SimulatorError, "cannot post-select outcome true with probability 0e0"),
        # A fatal error is a BaseException, not an Exception.
        (TableauSimulator(64, seed=0).state_vector, BaseException,
         "state-vector reconstruction needs a 2^64 length that fits a usize"),
    ]:
        with pytest.raises(BaseException) as info:
            call()
        assert str(info.value) == message
        assert type(info.value) is error or (error is BaseException and not isinstance(info.value, Exception))
    with pytest.raises(MemoryError):
        TableauSimulator(2**63)


def test_generator_controls():
    # The seed, a reseed and a copied position all reach the draws (a fair coin: u >= 1/2).
    for seed in (0, 1, 2**64 - 1, 123456789):
        a, b, c = (TableauSimulator(1, seed=s) for s in (seed, (seed + 1) % 2**64, 7))
        b.reseed_rng(seed)
        c.h(0)
        c.t(0)
        before = (c.rank, c.num_qubits, c.state_vector())
        assert c.restore_rng_from(a) is None
        assert (c.rank, c.num_qubits, c.state_vector()) == before
        c.t_dag(0)  # back to |+>
        for sim in (a, b):
            sim.h(0)
        assert [s.measure(0).outcome for s in (a, b, c)] == [first_uniform(seed) >= 0.5] * 3


def test_borrow_and_thread_guards():
    sim = TableauSimulator(1, seed=0)

    class Reenter:
        def __init__(self, action):
            self.action = action

        def __index__(self):
            self.action()
            return 0

    for call, message in [(lambda: sim.h(Reenter(lambda: sim.x(0))), "Already borrowed"),
                          (lambda: sim.h(Reenter(lambda: sim.peek_z(0))), "Already mutably borrowed"),
                          (lambda: sim.peek_z(Reenter(lambda: sim.x(0))), "Already borrowed"),
                          (lambda: sim.restore_rng_from(sim), "Already mutably borrowed")]:
        with pytest.raises(RuntimeError, match=f"^{message}$"):
            call()
    seen = []
    assert sim.peek_z(Reenter(lambda: seen.append(sim.peek_x(0)))) == 1.0 and seen == [0.0]
    # Access is released on every path; the simulator still works and is unchanged.
    sim.h(0)
    assert sim.num_qubits == 1 and sim.peek_x(0) == pytest.approx(1.0)
    # Only the owning thread may touch the simulator; any thread may read a result.
    result = sim.postselect_z(0, False)
    for call in (lambda: sim.h(0), lambda: sim.peek_z(0), lambda: sim.rank, lambda: repr(sim)):
        assert isinstance(error := run_on_thread(call)["error"], BaseException) and not isinstance(error, Exception)
    assert run_on_thread(lambda: result.outcome) == {"value": False}
    assert sim.peek_z(0) == 1.0 and sim.num_qubits == 1
