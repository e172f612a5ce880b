#!/usr/bin/env python3
"""Crash-only sweep: random circuits over the whole instruction set, up to 30 qubits and as many
rotations as the compiler admits, compiled and sampled with random options. Every call must end
with a result or one of the module's documented exceptions (ValueError, ParseError, RuntimeError,
MemoryError); a PanicException or a dead worker process is a fault, reported with its circuit.

    python3 scripts/crash_sweep.py [--circuits N] [--seed S] [--jobs J] [--timeout SECONDS]

Circuits run in child processes (J at a time); a child that dies by a signal or outlives the
timeout is reported too (a timeout is slowness, not a fault: the widest states are large).
Exits non-zero when some fault was found.
"""

from __future__ import annotations

import argparse
import multiprocessing as mp
import random
import sys

ONE = ["H", "H_XY", "H_YZ", "S", "S_DAG", "SQRT_X", "SQRT_X_DAG", "SQRT_Y", "SQRT_Y_DAG", "X",
       "Y", "Z", "C_XYZ", "C_ZYX", "R", "RX", "RY"]
TWO = ["CX", "CY", "CZ", "SWAP", "ISWAP", "ISWAP_DAG", "SQRT_XX", "SQRT_YY_DAG", "SQRT_ZZ",
       "CXSWAP", "XCZ", "YCX", "XCX"]
MEASURE = ["M", "MX", "MY", "MR", "MRX", "MRY"]
NOISE1 = ["X_ERROR", "Y_ERROR", "Z_ERROR", "DEPOLARIZE1"]


def random_circuit(rng: random.Random) -> tuple[str, int]:
    """(text, number of detectors). Wide products and rotations on fresh qubits make many
    active components; REPEAT blocks make long ones."""
    n = rng.choice([rng.randint(1, 12), rng.randint(9, 20), rng.randint(16, 30)])
    q = lambda: rng.randrange(n)  # noqa: E731
    pair = lambda: " ".join(map(str, rng.sample(range(n), 2))) if n > 1 else "0"  # noqa: E731
    angle = lambda: f"{rng.uniform(-2, 2):.4f}"  # noqa: E731
    prob = lambda hi=0.3: f"{rng.uniform(0, hi):.4f}"  # noqa: E731

    def product(most: int) -> str:
        qs = rng.sample(range(n), rng.randint(1, min(n, most)))
        return rng.choice(["", "", "!"]) + "*".join(rng.choice("XYZ") + str(x) for x in qs)

    lines: list[str] = []
    records = detectors = 0
    for _ in range(rng.randint(5, 120)):
        kind = rng.choice("ccccrrrrrrwmmmnnffdxpb")
        if kind == "c":
            lines.append(f"{rng.choice(ONE)} {q()}" if rng.random() < 0.6 or n < 2
                         else f"{rng.choice(TWO)} {pair()}")
        elif kind == "r":
            lines.append(rng.choice([f"T {q()}", f"T_DAG {q()}", f"R_X({angle()}) {q()}",
                                     f"R_Y({angle()}) {q()}", f"R_Z({angle()}) {q()}",
                                     f"U3({angle()},{angle()},{angle()}) {q()}",
                                     f"R_ZZ({angle()}) {pair()}", f"SPP {product(4)}"]))
        elif kind == "w":
            lines.append(f"R_PAULI({angle()}) {product(n)}")
        elif kind == "m":
            flip = f"({prob(0.1)})" if rng.random() < 0.3 else ""
            if rng.random() < 0.3:
                lines.append(f"MPP{flip} {product(n)}")
            else:
                lines.append(f"{rng.choice(MEASURE)}{flip} {rng.choice(['', '!'])}{q()}")
            records += 1
        elif kind == "n":
            lines.append(rng.choice([f"{rng.choice(NOISE1)}({prob()}) {q()}",
                                     f"DEPOLARIZE2({prob()}) {pair()}",
                                     f"PAULI_CHANNEL_1({prob(0.1)},{prob(0.1)},{prob(0.1)}) {q()}",
                                     f"E({prob()}) {product(3)}",
                                     f"HERALDED_ERASE({prob()}) {q()}"]))
            records += lines[-1].startswith("HERALDED")
        elif kind == "f" and records:
            lines.append(f"{rng.choice(['CX', 'CY', 'CZ'])} rec[-{rng.randint(1, records)}] {q()}")
        elif kind == "d" and records:
            recs = " ".join(f"rec[-{rng.randint(1, records)}]" for _ in range(rng.randint(1, 3)))
            lines.append(f"{rng.choice(['DETECTOR', 'DETECTOR', 'DISCARD'])} {recs}")
            detectors += 1
            if rng.random() < 0.3:
                lines.append(f"OBSERVABLE_INCLUDE({rng.randint(0, 2)}) rec[-1]")
        elif kind == "x":
            lines.append(f"EXP_VAL {product(n)}")
        elif kind == "p":
            lines.append(f"MPAD {rng.randint(0, 1)}")
            records += 1
        elif kind == "b" and lines:
            # The last few lines repeated: records and detectors multiply.
            body = lines[-rng.randint(1, min(5, len(lines))):]
            reps = rng.randint(1, 30)
            del lines[-len(body):]
            lines += [f"REPEAT {reps} {{", *body, "}"]
            records += sum(l.startswith(("M", "HERALDED")) for l in body) * (reps - 1)
            detectors += sum(l.startswith(("DETECTOR", "DISCARD")) for l in body) * (reps - 1)
    return "\n".join(lines) + "\n", detectors


def run_one(seed: int) -> tuple[str, str] | None:
    """Compiles and samples circuit `seed`; None when every call ended as documented, else
    (kind of fault, text)."""
    import kelvo

    rng = random.Random(seed)
    text, detectors = random_circuit(rng)
    options: dict = {"threads": rng.randint(1, 3), "batch_size": rng.choice([0, 1, 7, 64, 300]),
                     "sample_chunk_shots": rng.choice([0, 1, 50, 1000])}
    if detectors and rng.random() < 0.3:
        options["postselection_mask"] = [rng.randint(0, 1) for _ in range(detectors)]
    if rng.random() < 0.2:
        options["normalize_syndromes"] = True
    if rng.random() < 0.2:
        options["pin_measurements"] = [([rng.randint(0, 20)], rng.random() < 0.5)]
    documented = (ValueError, RuntimeError, MemoryError)
    try:
        program = kelvo.compile(text, **options)
        program.sample(rng.choice([1, 63, 200]), seed=seed, bit_packed=rng.random() < 0.5)
        kelvo.sample(program, 100, seed=seed)
    except documented:
        pass
    except BaseException as e:  # noqa: BLE001  (PanicException derives from BaseException)
        return f"{type(e).__name__}: {e}", text
    return None


def _child(seed: int, out) -> None:
    out.send(run_one(seed))


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--circuits", type=int, default=2000)
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--jobs", type=int, default=4)
    parser.add_argument("--timeout", type=float, default=60)
    args = parser.parse_args()
    faults = slow = 0
    running: list[tuple[int, mp.Process, object]] = []
    seeds = iter(range(args.seed, args.seed + args.circuits))
    ctx = mp.get_context("fork")

    def report(seed: int, what: str) -> None:
        text, _ = random_circuit(random.Random(seed))
        print(f"--- seed {seed}: {what}\n{text}", flush=True)

    done = 0
    while True:
        while len(running) < args.jobs:
            seed = next(seeds, None)
            if seed is None:
                break
            receive, send = ctx.Pipe(duplex=False)
            process = ctx.Process(target=_child, args=(seed, send))
            process.start()
            running.append((seed, process, receive))
        if not running:
            break
        seed, process, receive = running.pop(0)
        process.join(args.timeout)
        done += 1
        if process.is_alive():
            process.kill()
            process.join()
            slow += 1
            print(f"--- seed {seed}: slower than {args.timeout} s", flush=True)
        elif process.exitcode != 0:
            faults += 1
            report(seed, f"child died with exit code {process.exitcode}")
        else:
            outcome = receive.recv()
            if outcome is not None:
                faults += 1
                report(seed, outcome[0])
        if done % 200 == 0:
            print(f"{done} circuits, {faults} faults, {slow} slow", flush=True)
    print(f"{done} circuits, {faults} faults, {slow} slow")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
