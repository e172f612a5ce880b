"""Build, print and multiply Pauli strings with kelvo."""

import kelvo

p = kelvo.pauli_string("XYZ")
q = kelvo.pauli_string("ZII")
print("p      =", p)
print("q      =", q)
print("-p     =", -p)
print("p * q  =", p * q)
print("q * p  =", q * p)

# Bits can be set one by one; a Y written by hand (X and Z bits set) is -i*Y until the phase
# is shifted by one.
r = kelvo.PauliString(3)
r.set_xbit(1, True)
r.set_zbit(1, True)
print("hand-built:", r, "phase", r.phase_exponent)
r.phase_shift(1)
print("shifted:   ", r, "== IYI:", r == kelvo.pauli_string("IYI"))
print("X words of", kelvo.pauli_x(70, 65), "=", kelvo.pauli_x(70, 65).x)
