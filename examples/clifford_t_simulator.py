"""Parse a small Clifford+T circuit and drive the same gates through the TableauSimulator."""

import kelvo

text = """
H 0
T 0
CX 0 1
H 2
T 2
CX 2 1
M 0 1 2
DETECTOR rec[-1] rec[-2]
OBSERVABLE_INCLUDE(0) rec[-3]
"""
circuit = kelvo.parse(text)
print(circuit)



def prepare(seed):
    """The circuit's gates, one call at a time; each T at most doubles the stabilizer rank."""
    sim = kelvo.TableauSimulator(3, seed=seed)
    sim.h(0)
    sim.t(0)
    sim.cx(0, 1)
    sim.h(2)
    sim.t(2)
    sim.cx(2, 1)
    return sim


sim = prepare(2026)
print(sim)
print("<Z1>           =", sim.peek_z(1))
print("<X0 X1 X2>     =", sim.peek_observable_expectation(kelvo.pauli_string("XXX")))
print("|amplitudes|^2 =", [round(abs(a) ** 2, 4) for a in sim.state_vector()])
for q in range(3):
    r = sim.measure(q)
    print(f"measure({q}) ->", r)

# Sample many fresh runs and count how often qubit 1 reads 1 (its Born probability is 1/2).
ones = 0
shots = 2000
for seed in range(shots):
    ones += prepare(seed).measure(1).outcome
print(f"qubit 1 read 1 in {ones} of {shots} shots")
