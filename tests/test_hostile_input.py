"""Sizes and record numbers at the edges of their ranges: each call runs in its own interpreter,
so that a crash or a hang shows as one, and must end in MemoryError or the stated ValueError."""

import subprocess
import sys

import pytest

def wide(n):
    """A circuit whose n qubits end up active and entangled in one state."""
    qubits = " ".join(map(str, range(n)))
    chain = " ".join(f"{q} {q + 1}" for q in range(n - 1))
    return "\n".join([f"H {qubits}\nT {qubits}\nCZ {chain}"] * 3 + [f"M {qubits}"])


SMALL = "H 0\nM 0\nM 1\nDETECTOR rec[-1]"

CASES = [
    ("batch", f"kelvo.compile({SMALL!r}, batch_size=2**62).sample(10, seed=1)", None),
    ("chunk", f"kelvo.compile({SMALL!r}, sample_chunk_shots=2**62).sample(10, seed=1)", "ok"),
    ("threads", f"kelvo.compile({SMALL!r}, threads=2**40).sample(10, seed=1)", "ok"),
    ("active40", f"kelvo.compile({wide(40)!r}).sample(2, seed=1)", None),
    ("active61", f"kelvo.compile({wide(61)!r}).sample(2, seed=1)", None),
    ("active62", f"kelvo.compile({wide(62)!r})",
     "ValueError: active qubit count is too large for machine basis indices"),
    ("shots", f"kelvo.compile({SMALL!r}).sample(2**63, seed=1)", None),
    ("pin_max", f"kelvo.compile({SMALL!r}, pin_measurements=[([2**64 - 1], True)])",
     "ValueError: pinned measurement record index is out of range"),
    ("pin_n", f"kelvo.compile({SMALL!r}, pin_measurements=[([2], True)])",
     "ValueError: pinned measurement record 2 is not written by this circuit"),
    ("pin_fixed", f"kelvo.compile({SMALL!r}, pin_measurements=[([0, 1], True), ([1], True)])",
     "ValueError: pinned measurement parity over [1] is deterministic and cannot be 1"),
]

RUNNER = """
import kelvo
try:
    {call}
    print("ok")
except (MemoryError, ValueError) as e:
    print(f"{{type(e).__name__}}: {{e}}")
"""


@pytest.mark.parametrize("name,call,expected", CASES, ids=[c[0] for c in CASES])
def test_hostile_input_fails_cleanly(name, call, expected):
    run = subprocess.run([sys.executable, "-c", RUNNER.format(call=call)], capture_output=True,
                         text=True, timeout=300)
    assert run.returncode == 0, run.stderr
    out = run.stdout.strip()
    if expected is None:  # refused for memory, or for an output size beyond the machine
        assert out.startswith("MemoryError") or \
            out == "ValueError: sampling output size exceeds usize", out
    else:
        assert out == expected
