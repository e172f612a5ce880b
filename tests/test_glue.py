"""Argument matching, conversion rules and the thread and borrow guards, seen through
PauliString (every class shares the same glue)."""

import gc
import inspect
import random
import sys

import numpy as np
import pytest

import kelvo
from threads import run_on_thread


class Index:
    """An object with __index__ that may run a callback first."""

    def __init__(self, value, callback=None):
        self.value = value
        self.callback = callback

    def __index__(self):
        if self.callback:
            self.callback()
        return self.value


def test_argument_matching_and_text_signatures():
    # The texts are the matcher's own (signature_test.cpp); here each entry path raises them.
    p = kelvo.PauliString(2)
    for call, text in [
        (lambda: p.xbit(), "missing 1 required positional argument: 'q'"),
        (lambda: kelvo.pauli_x(1, 0, 0), "takes 2 positional arguments but 3 were given"),
        (lambda: kelvo.PauliString(1, nqubits=1), "multiple values for argument 'nqubits'"),
        # A keyword name that has no UTF-8 form is still an unexpected keyword.
        (lambda: p.xbit(**{"\udc80": 0}), "unexpected keyword argument '\udc80'"),
        (lambda: kelvo.PauliString(**{"\udc80": 0}), "unexpected keyword argument '\udc80'"),
    ]:
        with pytest.raises(TypeError, match=text):
            call()
    assert p.set_xbit(value=True, q=1) is None
    assert p.xbit(q=1) is True
    assert kelvo.pauli_x(q=1, nqubits=2) == kelvo.pauli_string("IX")
    assert kelvo.PauliString(nqubits=3).nqubits == 3
    assert kelvo.PauliString().nqubits == 0
    for fn, signature in [(kelvo.PauliString.xbit, "(self, /, q)"),
                          (kelvo.PauliString.set_xbit, "(self, /, q, value)"),
                          (kelvo.pauli_x, "(nqubits, q)"), (kelvo.PauliString.from_text, "(text)"),
                          (kelvo.PauliString, "(nqubits=0)")]:
        assert str(inspect.signature(fn)) == signature
    assert kelvo.PauliString.xbit.__doc__ == "Returns whether qubit `q` has an X component."


def test_conversions():
    p = kelvo.PauliString(3)
    assert p.xbit(True) is False  # a bool counts as 1
    assert p.xbit(np.int64(2)) is False
    assert p.xbit(Index(1)) is False
    with pytest.raises(ValueError):  # the largest value converts; the range check refuses it
        p.xbit(2**64 - 1)
    for call, error, name in [
        (lambda: p.xbit(-1), OverflowError, "q"), (lambda: p.xbit(2**64), OverflowError, "q"),
        (lambda: p.xbit(1.0), TypeError, "q"), (lambda: kelvo.PauliString("3"), TypeError, "nqubits"),
        (lambda: p.phase_shift(0.5), TypeError, "delta"),
        (lambda: kelvo.pauli_string(b"X"), TypeError, "text"),
        (lambda: kelvo.PauliString(1).same_body(None), TypeError, "other"),
    ] + [(lambda b=b: p.set_xbit(0, b), TypeError, "value") for b in (1, 0, None, "x", np.int8(1))] + [
        (lambda v=v: p.set_phase(v), OverflowError, "phase_exponent") for v in (2**31, -(2**31) - 1, 2**100)
    ]:
        with pytest.raises(error, match=f"argument '{name}'"):
            call()
    with pytest.raises(TypeError, match="argument 'pauli'.*PauliString"):
        kelvo.neg("X")
    with pytest.raises(UnicodeEncodeError):
        kelvo.pauli_string("\ud800")
    # Strict bools accept NumPy's; phases reduce modulo four over the i32 range.
    p.set_xbit(0, np.bool_(True))
    assert p.xbit(0) is True
    p.set_xbit(0, np.True_ & np.False_)
    assert p.xbit(0) is False
    for value, expected in [(-1, 3), (5, 1), (2**31 - 1, 3), (-(2**31), 0), (Index(6), 2)]:
        p.set_phase(value)
        assert p.phase_exponent == expected


def test_errors_of_index_pass_through():
    p = kelvo.PauliString(3)
    with pytest.raises(ZeroDivisionError):
        p.xbit(Index(0, lambda: 1 / 0))

    class OwnError(TypeError):  # even one whose class cannot be built from a message alone
        def __init__(self, a, b):
            super().__init__(a, b)

    raised = OwnError("a", "b")

    def throw():
        raise raised

    with pytest.raises(OwnError) as info:
        p.xbit(Index(0, throw))
    assert info.value is raised


def test_borrow_guards_refuse_reentrant_use_and_release_on_every_path():
    p = kelvo.PauliString(2)
    # Exclusive access is held while set_xbit converts its arguments.
    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        p.set_xbit(Index(0, lambda: p.xbit(0)), True)
    # Shared access is held while xbit converts its argument.
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        p.xbit(Index(0, lambda: p.set_phase(1)))
    # Two shared uses at once are fine.
    assert p.same_body(p)
    assert p.xbit(Index(0, lambda: p.zbit(0))) is False
    # Every failed call released its access.
    p.set_xbit(0, True)
    assert str(p) == "XI"
    with pytest.raises(ValueError):
        p.set_xbit(5, True)
    p.set_phase(2)
    assert str(p) == "-XI"


def test_use_from_another_thread_panics_and_changes_nothing(capfd):
    gc.collect()  # garbage of earlier tests must not be dropped on the threads below
    p = kelvo.pauli_string("XY")
    for call in (lambda: p.set_phase(0), lambda: p.xbit(0), lambda: str(p), lambda: p.x,
                 lambda: -p, lambda: p * p, lambda: p == p, lambda: kelvo.neg(p)):
        error = run_on_thread(call)["error"]
        assert not isinstance(error, Exception)
        assert isinstance(error, BaseException)
        assert "PauliString is unsendable, but sent to another thread" in str(error)
    assert "unsendable" in capfd.readouterr().err
    assert p.phase_exponent == 1
    # Objects made on another thread work there; constructors run anywhere.
    assert run_on_thread(lambda: str(kelvo.pauli_string("Z") * kelvo.pauli_string("X")))["value"] == "i*Y"


def test_last_reference_dropped_on_another_thread_is_reported(monkeypatch):
    gc.collect()  # garbage of earlier tests must not be reported here
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: seen.append(u.exc_value))
    holder = {}
    run_on_thread(lambda: holder.setdefault("p", kelvo.pauli_string("XYZ")))
    # The owner thread has ended; a later thread (which may get the same system thread id)
    # does not inherit its objects.
    error = run_on_thread(lambda: str(holder["p"]))["error"]
    assert "unsendable" in str(error) and not isinstance(error, Exception)
    del holder["p"]
    gc.collect()
    assert len(seen) == 1
    assert type(seen[0]) is RuntimeError
    assert "PauliString is unsendable" in str(seen[0])


def test_random_arguments_fail_cleanly_and_change_nothing():
    pool = [0, 1, 2, -1, 2**45, -(2**31) - 1, 2**64, True, np.bool_(True), np.int64(1), 1.5, None,
            "XZ", "-X", b"X", [1], kelvo.PauliString(1), kelvo.pauli_string("XY"), Index(1),
            Index(0, lambda: 1 / 0), Index("a")]
    calls = {"xbit": ["q"], "zbit": ["q"], "set_xbit": ["q", "value"], "set_zbit": ["q", "value"],
             "set_phase": ["phase_exponent"], "phase_shift": ["delta"], "same_body": ["other"],
             kelvo.PauliString: ["nqubits"], kelvo.pauli_x: ["nqubits", "q"],
             kelvo.pauli_string: ["text"], kelvo.neg: ["pauli"]}
    rng = random.Random(5)
    for _ in range(3000):
        p = kelvo.pauli_string(rng.choice(["", "X", "YZ", "XYZ"]))
        before = (p.x, p.z, p.phase_exponent)
        target, params = rng.choice(list(calls.items()))
        fn = getattr(p, target) if isinstance(target, str) else target
        values = [rng.choice(pool) for _ in params]
        split = rng.randrange(len(params) + 1)
        try:
            fn(*values[:split], **dict(zip(params[split:], values[split:])))
        except (TypeError, ValueError, OverflowError, MemoryError, ZeroDivisionError):
            assert (p.x, p.z, p.phase_exponent) == before
        assert 0 <= p.phase_exponent <= 3 and len(p.x) == len(before[0])
