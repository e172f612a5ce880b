"""Thread scaling: shots per second at 1, 2, 4 and 8 threads, and the speed-up over one thread,
for counts-only calls and for calls that return bit-packed records.

1. stim's rotated_memory_z circuits, p = 0.001 on all four noise options: d=5 r=5 (10^7 shots)
   and d=15 r=15 (10^6 shots).
2. A Clifford+T circuit with every detector discarding: a Steane-code |0>, T on every data
   qubit, a cat state (its root carrying an injected T) controlling X on every data qubit,
   T_DAG on every data qubit, the cat uncomputed; every Z check and every cat qubit is a
   detector. 15 qubits.

Speed-ups need an idle machine: the load average is printed beside every row, and so is the
process CPU time of the call against one thread's (1.00: the workers together spend no more
time per shot than one worker alone, whatever other work shares the machine).

    python3 bench/threads.py [--scale 1.0] [--only surface|magic]
"""

import argparse
import math
import os
import time

import kelvo
from sample import surface_circuit

THREADS = (1, 2, 4, 8)


def magic_text(p=0.001):
    data, cat = list(range(7)), list(range(7, 15))
    checks = [(0, 2, 4, 6), (1, 2, 5, 6), (3, 4, 5, 6)]
    q = lambda qs: " ".join(map(str, qs))
    lines = ["R " + q(data + cat), "H 0 1 3"]
    lines += [f"CX {c[0]} {t}" for c in checks for t in c[1:]]
    lines += [f"DEPOLARIZE1({p}) " + q(data), "T " + q(data), "H 7", "T 7"]
    lines += [f"CX 7 {t}" for t in cat[1:]]
    lines += [f"DEPOLARIZE1({p}) " + q(cat)]
    lines += [f"CX {c} {d}" for c, d in zip(cat, data)]
    lines += [f"DEPOLARIZE1({p}) " + q(data), "T_DAG " + q(data)]
    lines += [f"CX 7 {t}" for t in reversed(cat[1:])]
    measured = data + cat[1:]
    lines += [f"X_ERROR({p}) " + q(data + cat), "M " + q(measured), "MX 7"]
    rec = lambda qubit: f"rec[{measured.index(qubit) - len(measured) - 1}]"
    lines += ["DISCARD " + " ".join(rec(d) for d in c) for c in checks]
    lines += [f"DISCARD {rec(c)}" for c in cat[1:]]
    lines += ["OBSERVABLE_INCLUDE(0) rec[-1]"]
    return "\n".join(lines)


def best_call(fn, repeats=3):
    """The best wall-clock and the best process CPU seconds of `repeats` calls of fn()."""
    wall = cpu = math.inf
    for _ in range(repeats):
        w, c = time.perf_counter(), time.process_time()
        fn()
        wall, cpu = min(wall, time.perf_counter() - w), min(cpu, time.process_time() - c)
    return wall, cpu


def scaling(label, text, shots):
    for keep_records in (False, True):
        kind = "records" if keep_records else "counts"
        base = None
        for n in THREADS:
            program = kelvo.compile(text, threads=n)
            program.sample(50_000, seed=1)  # enough chunks to build every worker's workspace
            load = os.getloadavg()[0]
            wall, cpu = best_call(lambda: kelvo.sample_survivors(
                program, shots, seed=1, keep_records=keep_records, bit_packed=True))
            base = base or (wall, cpu)
            print(f"{label:22} {kind:7} {shots:>9} shots, {n} threads: {shots / wall / 1e6:8.3f}"
                  f" M shots/s, speed-up {base[0] / wall:5.2f}, CPU time x{cpu / base[1]:5.2f}"
                  f" (load {load:4.1f})", flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scale", type=float, default=1.0, help="multiplies every shot count")
    parser.add_argument("--only", choices=["surface", "magic"])
    args = parser.parse_args()
    shots = lambda n: max(int(n * args.scale), 1)
    print(f"{os.cpu_count()} cores")
    if args.only in (None, "surface"):
        scaling("surface d=5 r=5", str(surface_circuit(5, 5)), shots(10_000_000))
        scaling("surface d=15 r=15", str(surface_circuit(15, 15)), shots(1_000_000))
    if args.only in (None, "magic"):
        scaling("colour code T, discard", magic_text(), shots(4_000_000))


if __name__ == "__main__":
    main()
