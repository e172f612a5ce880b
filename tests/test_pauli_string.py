"""The PauliString class and the Pauli functions, against 2x2 matrix products."""

import numpy as np
import pytest

import kelvo
from memory import available_memory

I2 = np.eye(2, dtype=complex)
X = np.array([[0, 1], [1, 0]], dtype=complex)
Z = np.array([[1, 0], [0, -1]], dtype=complex)


def matrix(p):
    """i^phase * kron over qubits of X^x Z^z (qubit 0 first)."""
    m = np.eye(1, dtype=complex)
    for q in range(p.nqubits):
        f = (X if p.xbit(q) else I2) @ (Z if p.zbit(q) else I2)
        m = np.kron(m, f)
    return (1j ** p.phase_exponent) * m


def random_pauli(rng, n):
    p = kelvo.PauliString(n)
    for q in range(n):
        p.set_xbit(q, bool(rng.integers(2)))
        p.set_zbit(q, bool(rng.integers(2)))
    p.set_phase(int(rng.integers(4)))
    return p


def test_products_match_matrices():
    rng = np.random.default_rng(7)
    for n in range(0, 5):
        for _ in range(30):
            a, b = random_pauli(rng, n), random_pauli(rng, n)
            a_before, b_before = str(a), str(b)
            c = a * b
            assert np.allclose(matrix(c), matrix(a) @ matrix(b))
            assert (str(a), str(b)) == (a_before, b_before)
            assert c is not a and c is not b


def test_product_examples_and_errors():
    x, z, y = (kelvo.pauli_string(t) for t in "XZY")
    assert str(x * z) == "-i*Y"
    assert str(z * x) == "i*Y"
    assert str(y * y) == "I" and (y * y).phase_exponent == 0
    p = x
    p *= z
    assert str(p) == "-i*Y" and str(x) == "X"
    one, two = kelvo.PauliString(1), kelvo.PauliString(2)
    with pytest.raises(BaseException, match="Pauli strings act on different numbers of qubits") as info:
        one * two
    assert not isinstance(info.value, Exception)
    assert "1" in str(info.value) and "2" in str(info.value)
    with pytest.raises(TypeError):
        one * 2
    with pytest.raises(TypeError):
        2 * one
    with pytest.raises(TypeError):
        one * "X"


def test_zero_qubits_and_word_boundaries():
    p = kelvo.PauliString()
    assert (p.nqubits, p.x, p.z, p.phase_exponent) == (0, [], [], 0)
    assert str(p) == "I" and repr(p) == 'PauliString("I")' and str(-p) == "-I"
    assert len(kelvo.PauliString(64).x) == 1
    assert len(kelvo.PauliString(65).z) == 2
    assert kelvo.pauli_x(64, 63).x == [2**63]
    assert kelvo.pauli_z(129, 128).z == [0, 0, 1]
    assert str(kelvo.pauli_identity(0)) == "I"


def test_parsing():
    assert kelvo.pauli_string("") == kelvo.PauliString(0)
    assert kelvo.pauli_string("") != kelvo.pauli_string("I")
    lower, upper = kelvo.pauli_string("xyz"), kelvo.PauliString.from_text("XYZ")
    assert lower == upper and str(lower) == "XYZ" and lower.phase_exponent == 1
    assert str(-lower) == "-XYZ" and (-lower).phase_exponent == 3
    assert str(kelvo.pauli_string("iX")) == "IX"
    assert str(kelvo.pauli_string("X_Z")) == "XIZ"
    for bad in ["-X", "+X", "X Y", "1", "é", "XИ"]:
        with pytest.raises(ValueError, match="^unsupported Pauli character$"):
            kelvo.pauli_string(bad)
        with pytest.raises(ValueError, match="^unsupported Pauli character$"):
            kelvo.PauliString.from_text(bad)


def test_hand_built_y_and_phase():
    p = kelvo.PauliString(1)
    p.set_xbit(0, True)
    p.set_zbit(0, True)
    y = kelvo.pauli_y(1, 0)
    assert str(p) == "-i*Y" and p.phase_exponent == 0
    assert p != y and p.same_body(y)
    p.phase_shift(1)
    assert p == y
    assert str(y) == "Y" and y.x == [1] and y.z == [1] and y.phase_exponent == 1
    q = kelvo.PauliString(1)
    q.phase_shift(-3)
    assert q.phase_exponent == 1


def test_index_checks():
    with pytest.raises(ValueError, match="^qubit index is out of range$"):
        kelvo.PauliString(0).set_xbit(0, True)
    p = kelvo.PauliString(3)
    for call in (lambda: p.xbit(3), lambda: p.zbit(3), lambda: p.set_zbit(3, False)):
        with pytest.raises(ValueError, match="^qubit index is out of range$"):
            call()
    for f in (kelvo.pauli_x, kelvo.pauli_y, kelvo.pauli_z):
        with pytest.raises(ValueError, match="^qubit index is out of range$"):
            f(0, 0)
        with pytest.raises(OverflowError):
            f(-1, 0)
    # Conversion errors come before the range check, left to right.
    with pytest.raises(TypeError, match="'value'"):
        p.set_xbit(7, 1)
    with pytest.raises(OverflowError, match="'q'"):
        p.set_xbit(-1, 1)


def test_values_are_not_shared():
    p = kelvo.pauli_string("XZ")
    words = p.x
    words[0] = 0
    assert p.x == [1]
    n = kelvo.neg(p)
    assert str(p) == "XZ" and str(n) == "-XZ" and str(-p) == "-XZ"
    n.set_phase(0)
    assert str(p) == "XZ"


def test_comparison_and_hash():
    p = kelvo.pauli_string("XY")
    assert (p == "XY") is False and (p != "XY") is True
    assert (p == 3) is False and (p != 3) is True
    assert p == kelvo.pauli_string("XY") and not (p != kelvo.pauli_string("XY"))
    assert p.__eq__("XY") is NotImplemented

    class Refusing:
        def __eq__(self, other):
            raise KeyError("refused")

    with pytest.raises(KeyError):  # != negates the interpreter's ==, errors included
        p != Refusing()
    assert kelvo.PauliString.__hash__ is None
    with pytest.raises(TypeError):
        hash(p)
    for op in ("__lt__", "__le__", "__gt__", "__ge__"):
        with pytest.raises(TypeError):
            getattr(__import__("operator"), op.strip("_"))(p, p)


def test_class_is_final_and_closed():
    p = kelvo.PauliString(1)
    for attr in ("x", "z", "nqubits", "phase_exponent", "other"):
        with pytest.raises(AttributeError):
            setattr(p, attr, 1)
    with pytest.raises(TypeError):
        type("Sub", (kelvo.PauliString,), {})
    with pytest.raises(TypeError):
        __import__("weakref").ref(p)
    assert not hasattr(p, "__dict__")


def test_has_nonidentity_body():
    p = kelvo.PauliString(70)
    p.set_phase(2)
    assert p.has_nonidentity_body() is False
    p.set_zbit(69, True)
    assert p.has_nonidentity_body() is True


def test_impossible_sizes_raise_memory_error():
    # Two word vectors of half the available memory each, and a byte more: both allocations
    # would be granted, and zeroing them would end the process.
    for n in (4 * available_memory() + 64, 2**62 + 1, 2**63, 2**64 - 1):
        for make in (kelvo.PauliString, kelvo.pauli_identity, lambda k: kelvo.pauli_x(k, 0),
                     lambda k: kelvo.pauli_y(k, k - 1), lambda k: kelvo.pauli_z(k, 0)):
            with pytest.raises(MemoryError):
                make(n)
    # Conversions and the index check still come first.
    with pytest.raises(TypeError, match="'q'"):
        kelvo.pauli_x(2**63, "0")
    with pytest.raises(ValueError, match="out of range"):
        kelvo.pauli_z(2**63, 2**63)
