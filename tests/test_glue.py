"""Argument matching, conversion rules and the thread and borrow guards, seen through
PauliString (every class shares the same glue)."""

import gc
import inspect
import sys

import numpy as np
import pytest

import kelvo
from threads import run_on_thread


class Index:
    """An object with __index__ that first runs a callback or raises an exception."""

    def __init__(self, value, before=lambda: None):
        self.value, self.before = value, before

    def __index__(self):
        if isinstance(self.before, BaseException):
            raise self.before
        self.before()
        return self.value


class OwnError(TypeError):  # a class that cannot be rebuilt from a message alone
    def __init__(self, a, b):
        super().__init__(a, b)


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
    assert p.set_xbit(value=True, q=1) is None and p.xbit(q=1) is True
    assert kelvo.pauli_x(q=1, nqubits=2) == kelvo.pauli_string("IX")
    assert kelvo.PauliString(nqubits=3).nqubits == 3 and kelvo.PauliString().nqubits == 0
    for fn, signature in [(kelvo.PauliString.set_xbit, "(self, /, q, value)"),
                          (kelvo.PauliString, "(nqubits=0)"), (kelvo.pauli_x, "(nqubits, q)"),
                          (kelvo.PauliString.from_text, "(text)")]:
        assert str(inspect.signature(fn)) == signature
    assert kelvo.PauliString.xbit.__doc__ == "Returns whether qubit `q` has an X component."


def test_conversions():
    p = kelvo.pauli_string("IXZ")
    p.set_phase(1)
    # Each failure names its argument, keeps its type and changes nothing; values convert left
    # to right before any range check (qubit 7 is out of range).
    for call, error, name in [
        (lambda: p.xbit(-1), OverflowError, "q"), (lambda: p.xbit(2**64), OverflowError, "q"),
        (lambda: p.xbit(1.0), TypeError, "q"), (lambda: kelvo.PauliString("3"), TypeError, "nqubits"),
        (lambda: p.set_xbit(-1, 1), OverflowError, "q"), (lambda: p.phase_shift(0.5), TypeError, "delta"),
        (lambda: kelvo.pauli_string(b"X"), TypeError, "text"),
        (lambda: kelvo.PauliString(1).same_body(None), TypeError, "other"),
    ] + [(lambda b=b: p.set_xbit(7, b), TypeError, "value") for b in (1, 0, None, "x", np.int8(1))] + [
        (lambda v=v: p.set_phase(v), OverflowError, "phase_exponent") for v in (2**31, -(2**31) - 1, 2**100)
    ]:
        with pytest.raises(error, match=f"argument '{name}'"):
            call()
    assert (str(p), p.phase_exponent) == ("i*IXZ", 1)
    with pytest.raises(TypeError, match="argument 'pauli'.*PauliString"):
        kelvo.neg("X")
    with pytest.raises(UnicodeEncodeError):
        kelvo.pauli_string("\ud800")
    with pytest.raises(ValueError):  # the largest value converts; the range check refuses it
        p.xbit(2**64 - 1)
    # A bool counts as 1; NumPy integers and __index__ convert.
    assert (p.xbit(True), p.xbit(np.int64(2)), p.xbit(Index(1))) == (True, False, True)
    # Strict bools accept NumPy's; phases reduce modulo four over the i32 range.
    for value in (np.bool_(True), np.True_ & np.False_):
        p.set_xbit(0, value)
        assert p.xbit(0) is bool(value)
    for value, expected in [(-1, 3), (5, 1), (2**31 - 1, 3), (-(2**31), 0), (Index(6), 2)]:
        p.set_phase(value)
        assert p.phase_exponent == expected
    # Errors of __index__ pass through, even a TypeError subclass, which is not renamed.
    for raised in (ZeroDivisionError(), OwnError("a", "b")):
        with pytest.raises(type(raised)) as info:
            p.xbit(Index(0, raised))
        assert info.value is raised


def test_borrow_guards_refuse_reentrant_use_and_release_on_every_path():
    p = kelvo.PauliString(2)
    # Exclusive access is held while set_xbit converts its arguments, shared access while xbit does.
    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        p.set_xbit(Index(0, lambda: p.xbit(0)), True)
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        p.xbit(Index(0, lambda: p.set_phase(1)))
    # Two shared uses at once are fine.
    assert p.same_body(p) and p.xbit(Index(0, lambda: p.zbit(0))) is False
    # Every failed call released its access.
    with pytest.raises(ValueError):
        p.set_xbit(5, True)
    p.set_xbit(0, True)
    p.set_phase(2)
    assert str(p) == "-XI"


def test_other_threads_panic_change_nothing_and_report_dropping(capfd, monkeypatch):
    gc.collect()  # garbage of earlier tests must not be dropped or reported on the threads below
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: seen.append(u.exc_value))
    p = kelvo.pauli_string("XY")
    for call in (lambda: p.set_phase(0), lambda: p.xbit(0), lambda: str(p), lambda: p.x,
                 lambda: -p, lambda: p * p, lambda: p == p, lambda: kelvo.neg(p)):
        error = run_on_thread(call)["error"]
        assert not isinstance(error, Exception)
        assert "PauliString is unsendable, but sent to another thread" in str(error)
    assert "unsendable" in capfd.readouterr().err and p.phase_exponent == 1
    # Constructors run anywhere; objects work on the thread that made them.
    assert run_on_thread(lambda: str(kelvo.pauli_string("Z") * kelvo.pauli_string("X")))["value"] == "i*Y"
    q = run_on_thread(lambda: kelvo.pauli_string("Z"))["value"]
    # The owner thread has ended; a later thread (which may get the same system thread id)
    # does not inherit its objects, and dropping one elsewhere is reported.
    assert "unsendable" in str(run_on_thread(lambda: str(q))["error"])
    del q
    gc.collect()
    assert [type(e) for e in seen] == [RuntimeError] and "PauliString is unsendable" in str(seen[0])
