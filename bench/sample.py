"""Sampling throughput on one thread, as ratios (above 1 means kelvo is faster).

1. Detection events of rotated surface-code memory circuits (p = 0.001) against stim's
   `compile_detector_sampler().sample(shots, bit_packed=True)`; kelvo samples bit-packed records.
2. A low-magic 24-qubit circuit (a noisy graph state with a few T gates) against a dense NumPy
   trajectory sampler that runs every shot on the full 2^24 state vector.
3. End to end, as a user meets it: parse + compile + 10^6 detection-event shots, against stim's
   parse + `compile_detector_sampler` + the same shots.
4. Threads: 8 threads against one on 10^7 shots of d=5 r=5, counts calls and records calls.
5. Memory: a counts call's peak resident memory from 10^5 to 10^7 shots, and a records call's
   against the size of its output (each measured in a child interpreter).
6. Postselection discarding half the shots, against the same circuit without it, per attempted
   shot.

    python3 bench/sample.py [--shots N] [--only SECTION]
"""

import argparse
import math
import os
import subprocess
import sys
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


def surface_circuit(distance, rounds, p=0.001):
    return stim.Circuit.generated(
        "surface_code:rotated_memory_z", distance=distance, rounds=rounds,
        after_clifford_depolarization=p, before_round_data_depolarization=p,
        before_measure_flip_probability=p, after_reset_flip_probability=p)


def surface_code(distance, rounds, shots):
    circuit = surface_circuit(distance, rounds)
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


def end_to_end(distance, rounds, shots=1_000_000):
    text = str(surface_circuit(distance, rounds))

    def ours():
        kelvo.compile(text, threads=1).sample(shots, seed=1, bit_packed=True)

    def theirs():
        stim.Circuit(text).compile_detector_sampler(seed=1).sample(shots, bit_packed=True)

    ours_s = 1 / best_rate(lambda _: ours(), 1, repeats=2)
    theirs_s = 1 / best_rate(lambda _: theirs(), 1, repeats=2)
    print(f"end to end d={distance} r={rounds}, {shots} shots: kelvo {ours_s:8.3f} s, "
          f"stim {theirs_s:8.3f} s, ratio {theirs_s / ours_s:6.2f}")


def threads(shots=10_000_000):
    text = str(surface_circuit(5, 5))
    print(f"threads: {os.cpu_count()} cores")
    for keep_records in (False, True):
        rates = {}
        for n in (1, 8):
            program = kelvo.compile(text, threads=n)
            rates[n] = best_rate(
                lambda k: kelvo.sample_survivors(program, k, seed=1, keep_records=keep_records,
                                                 bit_packed=True), shots, repeats=2)
        kind = "records" if keep_records else "counts "
        print(f"  d=5 r=5 {kind} calls, {shots} shots: 1 thread {rates[1]:12.0f} shots/s, "
              f"8 threads {rates[8]:12.0f} shots/s, speed-up {rates[8] / rates[1]:5.2f}")


# A child interpreter that reports its peak resident memory before and after one call. The
# peak is the process's own (VmHWM); getrusage would also count the parent's peak before exec.
PEAK = """
import sys, kelvo

def peak():
    with open("/proc/self/status") as status:
        line = next(l for l in status if l.startswith("VmHWM:"))
    return int(line.split()[1]) * 1024

text, shots, keep = sys.stdin.read(), int(sys.argv[1]), sys.argv[2] == "1"
program = kelvo.compile(text, threads=int(sys.argv[3]))
program.sample(1000, seed=1, bit_packed=True)
before = peak()
r = kelvo.sample_survivors(program, shots, seed=1, keep_records=keep, bit_packed=True)
out = r.measurements.nbytes + r.detectors.nbytes + r.observables.nbytes
print(before, peak(), out)
"""


def peak_memory(text, shots, keep_records, n_threads=1):
    run = subprocess.run([sys.executable, "-c", PEAK, str(shots), "1" if keep_records else "0",
                          str(n_threads)], input=text, capture_output=True, text=True, check=True)
    before, after, out = map(int, run.stdout.split())
    return after, after - before, out


def memory():
    text = str(surface_circuit(5, 5))
    mib = 1 << 20
    for shots in (100_000, 1_000_000, 10_000_000):
        peak, growth, _ = peak_memory(text, shots, False)
        print(f"memory: counts call, {shots:>9} shots: peak {peak / mib:8.1f} MiB, "
              f"growth during the call {growth / mib:8.1f} MiB")
    for n_threads in (1, 8):
        peak, growth, out = peak_memory(text, 1_000_000, True, n_threads)
        print(f"memory: records call, 10^6 shots, {n_threads} threads: growth {growth / mib:8.1f} "
              f"MiB for {out / mib:8.1f} MiB of rows, {(growth - out) / mib:8.1f} MiB beyond")


def half_discard_mask(circuit, shots=20_000):
    """Postselect the first detectors until about half of stim's shots would be discarded."""
    events = circuit.compile_detector_sampler(seed=1).sample(shots)
    fired = np.cumsum(events, axis=1) > 0
    k = int(np.searchsorted(fired.mean(axis=0), 0.5)) + 1
    return [1] * k + [0] * (events.shape[1] - k), fired[:, k - 1].mean()


def postselection(shots):
    circuit = surface_circuit(5, 5, p=0.004)
    mask, rate = half_discard_mask(circuit)
    text = str(circuit)
    plain = kelvo.compile(text, threads=1)
    masked = kelvo.compile(text, postselection_mask=mask, threads=1)
    for keep_records in (True, False):
        rates = [best_rate(lambda n: kelvo.sample_survivors(
            p, n, seed=1, keep_records=keep_records, bit_packed=True), shots) for p in (plain, masked)]
        discards = kelvo.sample_survivors(masked, shots, seed=1, keep_records=False).discards
        kind = "records" if keep_records else "counts "
        print(f"postselection {kind} calls, d=5 r=5 p=0.004, {sum(mask)} detectors, "
              f"{discards / shots:5.1%} discarded (stim {rate:5.1%}): "
              f"time per attempted shot {rates[0] / rates[1]:5.2f} x the unpostselected")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--shots", type=int, default=100_000)
    parser.add_argument("--only", choices=["rates", "end_to_end", "threads", "memory",
                                           "postselection"])
    args = parser.parse_args()
    run = lambda section: args.only in (None, section)
    if run("rates"):
        surface_code(5, 5, args.shots)
        surface_code(15, 15, args.shots // 10)
        low_magic(args.shots)
    if run("end_to_end"):
        end_to_end(5, 5)
        end_to_end(15, 15)
    if run("threads"):
        threads()
    if run("memory"):
        memory()
    if run("postselection"):
        postselection(args.shots)


if __name__ == "__main__":
    main()
