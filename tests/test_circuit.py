"""What the Python layer adds to the circuit language: the Circuit class and the parse functions,
their counts, reprs, docstrings, argument types, exception classes and thread affinity. Parsing
itself is checked in C++ (src/circuit/*_test.cpp) and against stim's counts."""

import doctest
import inspect
import os
import pathlib

import pytest

import kelvo
from threads import run_on_thread

TEXT = ("MPP X0*Z1 Y2\nDISCARD rec[-1]\nDETECTOR rec[-2]\nOBSERVABLE_INCLUDE(5) rec[-1]\n"
        "EXP_VAL X0 Z1\nEXP_VAL Y0\nREPEAT 2 {\n  M 3\n}")


def test_every_road_gives_the_same_circuit(tmp_path):
    path = tmp_path / "c.kelvo"
    path.write_text(TEXT, encoding="utf-8")
    for c in [kelvo.parse(TEXT), kelvo.Circuit(TEXT), kelvo.Circuit(stim_text=TEXT),
              kelvo.Circuit.from_text(TEXT), kelvo.Circuit.from_text(stim_text=TEXT),
              kelvo.parse_file(str(path)), kelvo.Circuit.from_file(str(path)),
              kelvo.parse_file(path=str(path))]:
        assert type(c) is kelvo.Circuit
        assert (c.num_qubits, c.num_measurements, c.num_detectors, c.num_observables,
                c.num_exp_vals) == (4, 4, 2, 6, 3)
        assert repr(c) == (
            "Circuit(num_qubits=4, num_measurements=4, num_detectors=2, num_observables=6)")
    assert repr(kelvo.Circuit()) == (
        "Circuit(num_qubits=0, num_measurements=0, num_detectors=0, num_observables=0)")
    with pytest.raises(AttributeError):
        c.num_qubits = 3


def test_signatures_and_docstrings():
    for fn, signature, doc in [
        (kelvo.Circuit, "(stim_text='')", None), (kelvo.parse, "(text)", None),
        (kelvo.parse_file, "(path)", "Parses a quantum circuit from a UTF-8 file."),
        (kelvo.Circuit.from_text, "(stim_text)", "Parses a circuit from source text."),
        (kelvo.Circuit.from_file, "(path)", "Parses a circuit from a UTF-8 file."),
        (kelvo.Circuit.compile, None, "Compiles this circuit into a reusable `Program`."),
        (kelvo.Circuit.reference_sample, None, "Computes the full noiseless detector and observable sample."),
        (kelvo.Circuit.num_qubits, None, "Number of qubits named by the circuit."),
        (kelvo.Circuit.num_measurements, None, "Number of measurement records produced by the circuit."),
        (kelvo.Circuit.num_detectors, None, "Number of detector declarations."),
        (kelvo.Circuit.num_observables, None, "Number of observable indices."),
        (kelvo.Circuit.num_exp_vals, None, "Number of expectation values produced by the circuit."),
    ]:
        assert signature is None or str(inspect.signature(fn)) == signature
        assert doc is None or fn.__doc__ == doc
    assert kelvo.parse.__doc__.startswith("Parses a quantum circuit from source text.")
    assert "Call `circuit.compile(...)` when the circuit will be sampled." in kelvo.Circuit.__doc__
    parser, runner = doctest.DocTestParser(), doctest.DocTestRunner()
    for name, doc in (("Circuit", kelvo.Circuit.__doc__), ("parse", kelvo.parse.__doc__)):
        runner.run(parser.get_doctest(doc, {}, name, None, 0))
    assert runner.summarize(verbose=False) == doctest.TestResults(failed=0, attempted=5)


def test_argument_types_and_errors(tmp_path):
    for call, match in [(lambda: kelvo.parse(b"H 0"), "'text'"), (lambda: kelvo.parse(), None),
                        (lambda: kelvo.Circuit(3), "'stim_text'"), (lambda: kelvo.Circuit("", ""), None),
                        (lambda: kelvo.parse_file(pathlib.Path("x")), "'path'")]:
        with pytest.raises(TypeError, match=match):
            call()
    path = tmp_path / "syntax.kelvo"
    path.write_text("H 0\n\nfoo 1")
    for call in (kelvo.parse, kelvo.Circuit, kelvo.Circuit.from_text,
                 lambda _: kelvo.parse_file(str(path))):
        with pytest.raises(kelvo.ParseError) as info:
            call("H 0\n\nfoo 1")
        assert isinstance(info.value, ValueError)
        assert info.value.args == ("line 3: unsupported Kelvo operation: FOO",)
    with pytest.raises(MemoryError):
        kelvo.parse("MPP Z99999999999999")
    # Reading failures (their causes are checked in C++), a NUL in the name included.
    for name in (str(tmp_path / "missing.kelvo"), "a\x00b"):
        with pytest.raises(OSError) as info:
            kelvo.Circuit.from_file(name)
        assert str(info.value) == f"failed to read circuit file: {name}"
        assert info.value.errno is None


def test_undecodable_file_names_are_read_and_reported_lossily(tmp_path):
    raw = os.fsencode(str(tmp_path)) + b"/bad\xffname.kelvo"
    with open(raw, "wb") as f:
        f.write(b"M 0 1\n")
    name = os.fsdecode(raw)
    assert kelvo.parse_file(name).num_measurements == 2
    os.remove(raw)
    with pytest.raises(OSError) as info:
        kelvo.parse_file(name)
    assert str(info.value) == f"failed to read circuit file: {tmp_path}/bad\ufffdname.kelvo"


def test_circuits_stay_on_their_thread(capfd):
    c = kelvo.Circuit("M 0")
    for call in (lambda: c.num_qubits, lambda: repr(c), lambda: c.num_exp_vals):
        error = run_on_thread(call)["error"]
        assert not isinstance(error, Exception)
        assert "Circuit is unsendable, but sent to another thread" in str(error)
    capfd.readouterr()
    assert c.num_measurements == 1
    # The constructors run on any thread.
    assert run_on_thread(lambda: kelvo.parse("M 0 1").num_measurements)["value"] == 2
