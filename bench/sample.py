"""Sampling throughput on one thread, as ratios (above 1 means kelvo is faster).

1. Detection events of rotated surface-code memory circuits (p = 0.001) against stim's
   `compile_detector_sampler().sample(shots, bit_packed=True)`; kelvo samples bit-packed records.
2. A low-magic 24-qubit circuit (a noisy graph state with a few T gates) against a dense NumPy
   trajectory sampler that runs every shot on the full 2^24 state vector.

    python3 bench/sample.py [--shots N]
"""

import argparse
import math
import time

import numpy as np
import stim

import kelvo


def best_rate(fn, shots, repeats=3):
    """The best shots per second of `repeats` calls of fn(shots)."""
    best = math.inf
    for _ in range(repeats):
        start = time.perf_counter()
        fn(shots)
        best = min(best, time.perf_counter() - start)
    return shots / best


def surface_code(distance, rounds, shots):
    p = 0.001
    circuit = stim.Circuit.generated(
        "surface_code:rotated_memory_z", distance=distance, rounds=rounds,
        after_clifford_depolarization=p, before_round_data_depolarization=p,
        before_measure_flip_probability=p, after_reset_flip_probability=p)
    sampler = circuit.compile_detector_sampler(seed=1)
    program = kelvo.compile(str(circuit), threads=1)
    stim_rate = best_rate(lambda n: sampler.sample(n, bit_packed=True), shots)
    kelvo_rate = best_rate(lambda n: program.sample(n, seed=1, bit_packed=True), shots)
    print(f"surface code d={distance} r={rounds}: kelvo {kelvo_rate:12.0f} shots/s, "
          f"stim {stim_rate:12.0f} shots/s, ratio {kelvo_rate / stim_rate:6.2f}")


# Low-magic circuit: H on every qubit, a CZ chain (a graph state), T on a few qubits, then
# depolarizing noise and an X-basis measurement of every qubit.
N = 24
T_QUBITS = [3, 7, 11, 15, 19, 23]
P = 0.001


def low_magic_text():
    lines = [f"H {' '.join(map(str, range(N)))}"]
    lines += [f"CZ {q} {q + 1}" for q in range(N - 1)]
    lines += [f"T {' '.join(map(str, T_QUBITS))}"]
    lines += [f"DEPOLARIZE1({P}) {' '.join(map(str, range(N)))}"]
    lines += [f"MX {' '.join(map(str, range(N)))}"]
    return "\n".join(lines)


class DenseTrajectory:
    """One shot at a time on a dense 2^N vector: gates, sampled Pauli noise, Born sampling."""

    def __init__(self, seed):
        self.rng = np.random.default_rng(seed)

    @staticmethod
    def on(psi, q):
        """psi viewed as (high bits, bit q, low bits)."""
        return psi.reshape(-1, 2, 1 << q)

    def h(self, psi, q):
        v = self.on(psi, q)
        a, b = v[:, 0, :].copy(), v[:, 1, :]
        v[:, 0, :] += b
        v[:, 1, :] = a - b
        v *= 1 / math.sqrt(2)

    def shot(self):
        psi = np.zeros(1 << N, dtype=np.complex128)
        psi[0] = 1
        for q in range(N):
            self.h(psi, q)
        for q in range(N - 1):
            psi.reshape(-1, 2, 2, 1 << q)[:, 1, 1, :] *= -1
        for q in T_QUBITS:
            self.on(psi, q)[:, 1, :] *= complex(math.cos(math.pi / 4), math.sin(math.pi / 4))
        for q in range(N):
            if self.rng.random() < P:
                pauli = self.rng.integers(3)
                v = self.on(psi, q)
                if pauli != 2:  # X or Y flips the bit
                    v[:] = v[:, ::-1, :].copy()
                if pauli != 0:  # Z or Y: a sign (Y's global phase does not matter)
                    v[:, 1, :] *= -1
        for q in range(N):
            self.h(psi, q)
        cdf = np.cumsum(np.abs(psi) ** 2)
        outcome = int(np.searchsorted(cdf, self.rng.random() * cdf[-1], side="right"))
        return [(outcome >> q) & 1 for q in range(N)]


def low_magic(shots):
    program = kelvo.compile(low_magic_text(), threads=1)
    kelvo_rate = best_rate(lambda n: program.sample(n, seed=1, bit_packed=True), shots)
    dense = DenseTrajectory(seed=1)
    dense_rate = best_rate(lambda n: [dense.shot() for _ in range(n)], 2, repeats=1)
    print(f"low-magic {N} qubits, {len(T_QUBITS)} T: kelvo {kelvo_rate:12.0f} shots/s, "
          f"dense {dense_rate:12.3f} shots/s, ratio {kelvo_rate / dense_rate:10.0f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--shots", type=int, default=100_000)
    args = parser.parse_args()
    surface_code(5, 5, args.shots)
    surface_code(15, 15, args.shots // 10)
    low_magic(args.shots)


if __name__ == "__main__":
    main()
