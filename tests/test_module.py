"""Import surface of kelvo._core: names, order, exception classes, version."""

import pytest

import kelvo
import kelvo._core as core

# The module's full registration order.
FULL_ORDER = ("ParseError Circuit ReferenceSample Program SampleResult parse parse_file compile sample "
              "sample_survivors SimulatorError PauliString MeasureResult TableauSimulator pauli_identity "
              "pauli_x pauli_y pauli_z pauli_string neg __version__").split()


def test_all_lists_registered_names_in_order_with_version_last():
    assert core.__all__ == FULL_ORDER
    assert core.__name__ == "kelvo._core" and core.__version__ == kelvo.__version__ == "0.2.3"
    for name in FULL_ORDER[:-1]:
        assert getattr(kelvo, name) is getattr(core, name)
        assert (getattr(core, name).__module__, getattr(core, name).__qualname__) == ("kelvo._core", name)


def test_exception_classes_and_the_hidden_panic_exception():
    for cls, base, doc in [(core.ParseError, ValueError, "A circuit failed to parse."),
                           (core.SimulatorError, RuntimeError,
                            "A simulator operation failed on the live quantum state.")]:
        assert (cls.__bases__, cls.__doc__, cls.__module__) == ((base,), doc, "kelvo._core")
        assert cls.__dict__.keys() <= {"__module__", "__doc__", "__weakref__", "__dict__"}
        assert cls("m").args == ("m",)
    # The panic exception is a hidden BaseException.
    with pytest.raises(BaseException, match="Pauli strings act on different numbers of qubits") as info:
        kelvo.pauli_x(1, 0) * kelvo.pauli_x(2, 0)
    panic = type(info.value)
    assert panic.__bases__ == (BaseException,) and panic.__module__ == "kelvo._core"
    assert panic.__name__ not in core.__all__
