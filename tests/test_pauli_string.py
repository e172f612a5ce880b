"""What the Python layer adds to PauliString and the Pauli functions: the operators and getters,
the index checks, exception classes, value semantics. Products, printing and parsing are checked
against dense matrices in C++ (pauli_test.cpp)."""

import weakref

import pytest

import kelvo


def test_operators_make_new_values_and_getters_copy():
    x, z = kelvo.pauli_string("XI"), kelvo.pauli_string("ZI")
    p = x * z
    assert (str(p), str(x), str(z)) == ("-i*YI", "XI", "ZI")
    p *= z
    assert str(p) == "XI" and p == x and p is not x
    assert (str(kelvo.neg(p)), str(-p), str(p), repr(p)) == ("-XI", "-XI", "XI", 'PauliString("XI")')
    p.x[0] = 0  # the words are a copy
    assert p.x == [1]
    for bad in (lambda: x * 2, lambda: 2 * x, lambda: x * "X"):
        with pytest.raises(TypeError):
            bad()
    # Getters of empty and multi-word strings.
    e = kelvo.PauliString()
    assert (e.nqubits, e.x, e.z, e.phase_exponent, str(e), str(-e)) == (0, [], [], 0, "I", "-I")
    assert kelvo.pauli_x(64, 63).x == [2**63] and kelvo.pauli_z(129, 128).z == [0, 0, 1]
    assert str(kelvo.pauli_identity(2)) == "II"


def test_parsing_entries():
    assert kelvo.pauli_string("") == kelvo.PauliString(0) != kelvo.pauli_string("I")
    assert kelvo.PauliString.from_text("XZ") == kelvo.pauli_x(2, 0) * kelvo.pauli_z(2, 1)
    for parse, bad in [(kelvo.pauli_string, "-X"), (kelvo.PauliString.from_text, "XИ")]:
        with pytest.raises(ValueError, match="^unsupported Pauli character$"):
            parse(bad)


def test_bits_phase_and_bodies():
    p, y = kelvo.PauliString(1), kelvo.pauli_y(1, 0)
    p.set_xbit(0, True)
    p.set_zbit(0, True)
    assert str(p) == "-i*Y" and p.xbit(0) and p.zbit(0)
    assert p != y and p.same_body(y)
    assert not p.same_body(kelvo.pauli_x(1, 0)) and not p.same_body(kelvo.PauliString(2))
    p.phase_shift(1)
    assert p == y
    p.phase_shift(-5)
    assert p.phase_exponent == 0
    assert (-kelvo.pauli_identity(70)).has_nonidentity_body() is False
    assert kelvo.pauli_z(70, 69).has_nonidentity_body() is True


def test_argument_checks_come_before_any_allocation():
    p = kelvo.PauliString(3)
    for call in (lambda: kelvo.PauliString(0).set_xbit(0, True), lambda: p.xbit(3), lambda: p.zbit(3),
                 lambda: p.set_zbit(3, False), lambda: kelvo.pauli_x(0, 0), lambda: kelvo.pauli_y(2, 2),
                 lambda: kelvo.pauli_z(1, 5), lambda: kelvo.pauli_z(2**63, 2**63)):
        with pytest.raises(ValueError, match="^qubit index is out of range$"):
            call()
    with pytest.raises(TypeError, match="'q'"):  # conversions come first as well
        kelvo.pauli_x(2**63, "0")
    with pytest.raises(MemoryError):
        kelvo.pauli_y(2**63, 0)


def test_comparison_hash_and_closed_class():
    p = kelvo.pauli_string("XY")
    for other in ("XY", 3):
        assert (p == other, p != other, p.__eq__(other)) == (False, True, NotImplemented)
    assert p == kelvo.pauli_string("XY") and not (p != kelvo.pauli_string("XY"))

    class Refusing:
        def __eq__(self, other):
            raise KeyError("refused")

    with pytest.raises(KeyError):  # != negates the interpreter's ==, errors included
        p != Refusing()
    for op in (hash, lambda q: q < q, lambda q: q <= q, lambda q: q > q, lambda q: q >= q,
               weakref.ref, lambda q: type("Sub", (kelvo.PauliString,), {})):
        with pytest.raises(TypeError):
            op(p)
    for attr in ("x", "z", "nqubits", "phase_exponent", "other"):  # read-only, no __dict__
        with pytest.raises(AttributeError):
            setattr(p, attr, 1)
