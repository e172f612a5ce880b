"""Compile a small noisy Clifford+T circuit once and sample it many times.

A T-rotated qubit is spread over a three-qubit repetition code, three rounds of noisy parity
checks watch it (their detectors fire when a bit flips), then the encoding and the rotation are
undone: a noiseless run reads 0, so the observable counts shots in which noise reached the
logical qubit (nothing here corrects the errors the detectors see).
"""

import numpy as np

import kelvo

text = """
H 0
T 0                  # the non-Clifford part: (|0> + e^(i pi/4) |1>) / sqrt(2), up to phase
EXP_VAL X0 Y0        # per-shot expectation values, taken before any noise
CX 0 1 0 2           # encode into the repetition code a|000> + b|111>

X_ERROR(0.02) 0 1 2  # first round: the parities Z0 Z1 and Z1 Z2 start out even
CX 0 3 1 3 1 4 2 4
MR(0.01) 3 4
DETECTOR rec[-2]
DETECTOR rec[-1]

REPEAT 2 {           # later rounds compare each parity with the round before
    X_ERROR(0.02) 0 1 2
    CX 0 3 1 3 1 4 2 4
    MR(0.01) 3 4
    DETECTOR rec[-2] rec[-4]
    DETECTOR rec[-1] rec[-3]
}

CX 0 2 0 1           # decode and undo the rotation: a noiseless run measures 0
T_DAG 0
H 0
M 0
OBSERVABLE_INCLUDE(0) rec[-1]
"""

circuit = kelvo.Circuit(text)
print(circuit)
print("reference sample:", circuit.reference_sample().detectors)

program = circuit.compile()
print(program)

result = program.sample(100_000, seed=2026)
print(result)
print("detector firing rates:", np.round(result.detectors.mean(axis=0), 3))
print("shots with a detection event:", int(result.detectors.any(axis=1).sum()))
print(f"logical error rate: {result.logical_error_rate:.4f}")
print("<X0>, <Y0> of the first shot:", np.round(result.exp_vals[0], 6))

# The same seed gives the same shots; bit_packed=True packs eight columns into each byte.
packed = program.sample(100_000, seed=2026, bit_packed=True)
unpacked = np.unpackbits(packed.detectors, axis=1, bitorder="little")[:, : program.num_detectors]
print("bit-packed rows agree:", bool((unpacked == result.detectors).all()))
