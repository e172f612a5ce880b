"""Per-call overhead of the binding layer: kelvo.PauliString against stim.PauliString.

Times `p.xbit(q)` (stim has no bit getter; its nearest call is `p[q]`) and `a * b` on small
strings and prints ours/stim (lower is better; at most 1.0 means no slower than stim).
"""

import timeit

import kelvo
import stim

N = 8
REPEAT = 7
NUMBER = 200_000


def best(stmt, env):
    return min(timeit.repeat(stmt, globals=env, repeat=REPEAT, number=NUMBER)) / NUMBER * 1e9


def main():
    env = {
        "kp": kelvo.pauli_string("XYZXYZXY"[:N]),
        "ka": kelvo.pauli_string("XXZZYYIX"[:N]),
        "kb": kelvo.pauli_string("ZYXIZYXZ"[:N]),
        "sp": stim.PauliString("XYZXYZXY"[:N]),
        "sa": stim.PauliString("XXZZYYIX"[:N]),
        "sb": stim.PauliString("ZYXIZYXZ"[:N]),
        "q": 3,
    }
    rows = [
        ("p.xbit(q)  vs  p[q]", best("kp.xbit(q)", env), best("sp[q]", env)),
        ("a * b", best("ka * kb", env), best("sa * sb", env)),
    ]
    print(f"{'call':<22}{'kelvo ns':>10}{'stim ns':>10}{'ratio':>8}")
    for name, ours, theirs in rows:
        print(f"{name:<22}{ours:>10.1f}{theirs:>10.1f}{ours / theirs:>8.2f}")


if __name__ == "__main__":
    main()
