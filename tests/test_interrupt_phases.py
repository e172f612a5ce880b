"""Ctrl-C reaches every long phase of a call: parsing text or a file after its read, lowering,
the optimizer, assembly, the sampler's preparation and the reference run. Each case runs in a
child process that takes SIGINT while the call runs (test_interrupts.run_interrupted); the
call must raise KeyboardInterrupt long before it would have ended, and the next call equals a
fresh one. A call of a few seconds must stop in under a fifth of the time it takes
uninterrupted in the same child, so that a loaded machine slows both alike; one of tens of
seconds within a margin. bench/interrupt_latency.py prints the times (about 0.05 s here)."""

import pytest

from test_interrupts import run_interrupted

MARGIN = 5.0  # seconds, for calls that take 15 s or more uninterrupted


def check_prompt(elapsed, lines):
    """`lines` ends with the child's uninterrupted time of the call (PRELUDE's `timed`)."""
    uninterrupted = float(lines.pop())
    assert elapsed < uninterrupted / 5, (elapsed, uninterrupted)

QUBITS = " ".join(map(str, range(30)))
PAIRS = " ".join(f"{q} {q + 1}" for q in range(0, 29, 2))
# Three million measurements: each phase of its compilation takes seconds.
LARGE = (f"M {QUBITS}\nREPEAT 100000 {{\nX_ERROR(0.01) {QUBITS}\nCX {PAIRS}\nM {QUBITS}\n"
         "DETECTOR rec[-1] rec[-31]\n}\n")
# A noisy feedback loop with a T gate: its planner steps and assembly take seconds.
T_LOOP = ("H 0\nREPEAT 12000 {\nT 0\nCX 0 1\nM 1\nCX rec[-1] 0\nH 0\nDEPOLARIZE1(0.01) 0 1\n"
          "DETECTOR rec[-1]\n}\n")
# About 250 MB of valid lines, which take seconds to parse.
FLAT = "H 0 1 2\nCX 0 1\n# a comment line\n" * 8_000_000

SMALL = "H 0\nT 0\nDEPOLARIZE1(0.1) 0\nM 0\nDETECTOR rec[-1]"
AFTER = f"""
print((kelvo.compile({SMALL!r}).sample(500, seed=4).detectors
       == kelvo.Circuit({SMALL!r}).compile().sample(500, seed=4).detectors).all())
"""


@pytest.mark.parametrize("setup,call", [
    (f"circuit = kelvo.Circuit({LARGE!r})", "circuit.compile()"),
    (f"circuit = kelvo.Circuit({LARGE!r})", "circuit.reference_sample()"),
    ("circuit = kelvo.Circuit('M 0')", f"kelvo.compile({T_LOOP!r})"),
], ids=["compile", "reference_sample", "compile_t_loop"])
def test_ctrl_c_stops_every_phase_of_a_compile(setup, call, tmp_path):
    script = f"{setup}\ninterrupted(lambda: {call})\n{AFTER}\nprint(circuit.num_measurements)\n"
    if "REPEAT" in setup:
        elapsed, lines = run_interrupted(script, tmp_path)
        assert elapsed < MARGIN
    else:
        elapsed, lines = run_interrupted(script + f"timed(lambda: {call})\n", tmp_path)
        check_prompt(elapsed, lines)
    assert lines == ["True", "3000030" if "REPEAT" in setup else "1"]


@pytest.fixture(scope="module")
def flat_file(tmp_path_factory):
    path = tmp_path_factory.mktemp("flat") / "flat.kelvo"
    path.write_text(FLAT)
    return path


@pytest.mark.parametrize("call", ["kelvo.parse(text)", "kelvo.Circuit(text)",
                                  "kelvo.parse_file(sys.argv[1])"])
def test_ctrl_c_stops_a_long_parse(call, flat_file, tmp_path):
    setup = "text = open(sys.argv[1]).read()\n" if "file" not in call else ""
    script = f"{setup}interrupted(lambda: {call})\n{AFTER}timed(lambda: {call})\n"
    elapsed, lines = run_interrupted(script, tmp_path, str(flat_file))
    check_prompt(elapsed, lines)
    assert lines == ["True"]


# One batch of this program runs for seconds: 600,000 rotations on a three-qubit state.
LONG_BATCH = "H 0 1 2\nREPEAT 200000 {\nT 0 1 2\nH 0 1 2\nCZ 0 1 1 2\n}\nM 0 1 2\nDETECTOR rec[-1]"


@pytest.mark.parametrize("threads", [1, 2])
def test_ctrl_c_stops_a_sample_inside_a_long_batch(threads, tmp_path):
    script = f"""
text = {LONG_BATCH!r}
program = kelvo.compile(text, threads={threads})
interrupted(lambda: program.sample(4096))
print((program.sample(2, seed=3).measurements
       == kelvo.compile(text, threads={threads}).sample(2, seed=3).measurements).all())
"""
    elapsed, lines = run_interrupted(script, tmp_path)
    assert elapsed < MARGIN
    assert lines == ["True"]
