"""Speed of kelvo.TableauSimulator against peers, printed side by side in one run.

(a) Clifford gate calls and measurements on 100-1000 qubits against stim.TableauSimulator making
    the same calls; (b) Clifford+T circuits on 16-24 qubits against a dense NumPy state vector
    applying the same gates; (c) one T rotation at rank 2^16 and 2^20, as time per live term.

Run: python3 bench/simulator.py [--quick]
"""

from __future__ import annotations

import argparse
import os
import random
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

import kelvo  # noqa: E402
import numpy as np  # noqa: E402
import stim  # noqa: E402
from dense import Dense  # noqa: E402

ONE = ["h", "s", "s_dag", "x", "y", "z", "sqrt_x", "sqrt_x_dag"]
TWO = ["cx", "cz", "cy", "swap", "iswap"]


def best_of(repeats: int, fn) -> float:
    best = float("inf")
    for _ in range(repeats):
        t0 = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t0)
    return best


def clifford_calls(n: int, count: int, seed: int):
    rng = random.Random(seed)
    calls = []
    for _ in range(count):
        r = rng.random()
        if r < 0.45:
            calls.append((rng.choice(ONE), (rng.randrange(n),)))
        elif r < 0.9:
            calls.append((rng.choice(TWO), tuple(rng.sample(range(n), 2))))
        else:
            calls.append(("measure", (rng.randrange(n),)))
    return calls


def bench_clifford(quick: bool) -> None:
    print("(a) Clifford gate calls and measurements, time per call (target: kelvo/stim <= 1)")
    print(f"{'qubits':>8} {'calls':>7} {'kelvo us':>10} {'stim us':>10} {'kelvo/stim':>11}")
    count = 4000 if quick else 20000
    for n in (100, 300, 1000):
        calls = clifford_calls(n, count, n)

        def run_kelvo():
            sim = kelvo.TableauSimulator(n, seed=1)
            for name, args in calls:
                getattr(sim, name)(*args)

        def run_stim():
            sim = stim.TableauSimulator(seed=1)
            sim.set_num_qubits(n)
            for name, args in calls:
                getattr(sim, name)(*args)

        tk = best_of(3, run_kelvo) / count
        ts = best_of(3, run_stim) / count
        print(f"{n:>8} {count:>7} {tk * 1e6:>10.2f} {ts * 1e6:>10.2f} {tk / ts:>11.2f}")


def clifford_t_circuit(n: int, t_count: int, layers: int, seed: int):
    """Clifford layers with t_count T gates spread among them; rank stays <= 2^t_count."""
    rng = random.Random(seed)
    ops = [("h", (q,)) for q in range(n)]
    t_layers = set(rng.sample(range(layers), min(t_count, layers)))
    for layer in range(layers):
        for _ in range(n // 2):
            ops.append((rng.choice(["cx", "cz"]), tuple(rng.sample(range(n), 2))))
        for _ in range(n // 4):
            ops.append((rng.choice(["h", "s", "sqrt_x"]), (rng.randrange(n),)))
        if layer in t_layers:
            ops.append(("t", (rng.randrange(n),)))
    return ops


def apply_dense(dense: Dense, ops) -> None:
    for name, args in ops:
        if name == "t":
            dense.t(args[0])
        else:
            dense.gate(name, *args)


def bench_clifford_t(quick: bool) -> None:
    print()
    print("(b) Clifford+T circuits with 12 T gates (rank <= 2^12), whole circuit")
    print("    (target: dense/kelvo >= 10 at 20 qubits)")
    print(f"{'qubits':>8} {'gates':>7} {'rank':>6} {'kelvo ms':>10} {'dense ms':>10} {'dense/kelvo':>12}")
    sizes = (16, 20) if quick else (16, 20, 24)
    for n in sizes:
        layers = 12 if n >= 24 else 16
        ops = clifford_t_circuit(n, 12, layers, seed=n)
        ranks = []

        def run_kelvo():
            sim = kelvo.TableauSimulator(n, seed=1)
            for name, args in ops:
                getattr(sim, name)(*args)
            ranks.append(sim.rank)

        # At 24 qubits one dense gate takes about a second: time a prefix and scale it up.
        dense_ops = ops if n < 24 else ops[:48]

        def run_dense():
            apply_dense(Dense(n), dense_ops)

        tk = best_of(3, run_kelvo)
        td = best_of(1 if n >= 24 else 2, run_dense) * len(ops) / len(dense_ops)
        mark = "*" if dense_ops is not ops else " "
        print(
            f"{n:>8} {len(ops):>7} {ranks[-1]:>6} {tk * 1e3:>10.2f} {td * 1e3:>9.1f}{mark}"
            f" {td / tk:>12.1f}"
        )
    print("    * dense time of the first 48 gates, scaled to the whole circuit")


def bench_rotation(quick: bool) -> None:
    print()
    print("(c) one T rotation over a full table, time per live term (target: < 50 ns)")
    print(f"{'rank':>10} {'rotations':>10} {'ms each':>9} {'ns/term':>9}")
    for k in (16,) if quick else (16, 20):
        sim = kelvo.TableauSimulator(k, seed=1)
        for q in range(k):
            sim.h(q)
            sim.t(q)
        rank = sim.rank
        assert rank == 1 << k
        # t, t, t_dag, t_dag on a qubit at T^1 walks T^2, T^3, T^2, T^1: every pair stays live.
        cycle = [sim.t, sim.t, sim.t_dag, sim.t_dag]
        rotations = 8 if k >= 20 else 40

        def run():
            for i in range(rotations):
                cycle[i % 4](0)

        elapsed = best_of(3, run)
        assert sim.rank == rank
        per = elapsed / rotations
        print(f"{'2^' + str(k):>10} {rotations:>10} {per * 1e3:>9.2f} {per / rank * 1e9:>9.1f}")


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="smaller sizes, for a smoke run")
    args = parser.parse_args()
    print(f"kelvo {kelvo.__version__}, stim {stim.__version__}, numpy {np.__version__}")
    bench_clifford(args.quick)
    bench_clifford_t(args.quick)
    bench_rotation(args.quick)


if __name__ == "__main__":
    main()
