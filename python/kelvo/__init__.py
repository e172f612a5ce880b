"""Fast sampling of noisy Clifford+T circuits, and an interactive Clifford+T simulator.

A circuit is text in Stim's line syntax, extended with non-Clifford rotations (`T`, `T_DAG`,
`R_X`/`R_Y`/`R_Z`, `R_XX`/`R_YY`/`R_ZZ`, `U3`, `R_PAULI`) and `EXP_VAL` requests. Parse it
once, compile it once, then sample it as often as needed:

    >>> import kelvo
    >>> circuit = kelvo.Circuit("H 0\\nT 0\\nCX 0 1\\nX_ERROR(0.1) 1\\nM 0 1\\nDETECTOR rec[-1] rec[-2]")
    >>> program = circuit.compile()
    >>> result = program.sample(1000, seed=7)
    >>> result.measurements.shape, result.detectors.shape
    ((1000, 2), (1000, 1))

- `parse`, `parse_file`, `Circuit`: the circuit model (counts of qubits, measurements,
  detectors, observables and expectation values).
- `compile` / `Circuit.compile` give a `Program`: the circuit compiled once, sampled by
  `Program.sample`, `sample` and `sample_survivors` into a `SampleResult` (NumPy arrays of
  measurement, detector and observable bits per shot, optionally bit-packed; expectation
  values; shot, discard and logical-error counters). Sampling releases the interpreter lock and
  may use several worker threads (`threads=`); a fixed seed makes it reproducible.
- `Circuit.reference_sample` gives the noiseless detector and observable bits
  (`ReferenceSample`); `normalize_syndromes=True` reports sampled bits relative to them.
- `TableauSimulator` (with `MeasureResult`): a Clifford+T state driven one gate at a time, with
  measurements, postselection, expectation values and the dense state vector.
- `PauliString` and `pauli_identity`, `pauli_x`, `pauli_y`, `pauli_z`, `pauli_string`, `neg`.
- `ParseError` (a `ValueError`) for rejected circuit text, `SimulatorError` (a `RuntimeError`)
  for simulator operations that fail on the live state.
"""

from kelvo import _core
from kelvo._core import *  # noqa: F401,F403
from kelvo._core import __all__, __version__  # noqa: F401
