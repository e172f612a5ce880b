"""Parse time of large flat QEC circuits: kelvo.Circuit(text) against stim.Circuit(text).

Prints, per circuit, the best-of-N wall time of each parser on the same text and the ratio
kelvo / stim (at most 1.0 means kelvo is no slower), then the resident memory each parsed
circuit holds, per instruction line of the flat text.

    python3 bench/parse.py [--repeats N]
"""

import argparse
import gc
import os
import subprocess
import sys
import time

import stim

import kelvo

NOISE = dict(
    after_clifford_depolarization=0.001,
    before_round_data_depolarization=0.001,
    before_measure_flip_probability=0.001,
    after_reset_flip_probability=0.001,
)

CIRCUITS = [
    ("surface_code:rotated_memory_x", 15, 1000),
    ("surface_code:unrotated_memory_z", 11, 500),
    ("color_code:memory_xyz", 9, 1000),
    ("repetition_code:memory", 101, 2000),
]


def flat_text(task, distance, rounds):
    flat = stim.Circuit.generated(task, distance=distance, rounds=rounds, **NOISE).flattened()
    return str(flat), len(flat)


def best_time(parse, text, repeats):
    best = float("inf")
    for _ in range(repeats):
        gc.collect()
        start = time.perf_counter()
        result = parse(text)
        best = min(best, time.perf_counter() - start)
        del result
    return best


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def memory_probe(which, task, distance, rounds):
    """Run in a fresh process: resident bytes held by one parsed circuit."""
    text, lines = flat_text(task, distance, rounds)
    parse = kelvo.Circuit if which == "kelvo" else stim.Circuit
    parse("H 0")  # warm up code paths and allocator
    gc.collect()
    before = resident_bytes()
    circuit = parse(text)
    after = resident_bytes()
    print(after - before, lines)
    del circuit


def memory_of(which, task, distance, rounds):
    out = subprocess.run(
        [sys.executable, __file__, "--probe", which, task, str(distance), str(rounds)],
        check=True, capture_output=True, text=True).stdout.split()
    return int(out[0]), int(out[1])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeats", type=int, default=7)
    parser.add_argument("--probe", nargs=4)
    args = parser.parse_args()
    if args.probe:
        which, task, distance, rounds = args.probe
        memory_probe(which, task, int(distance), int(rounds))
        return

    print(f"{'circuit':44} {'MB':>6} {'kelvo s':>9} {'stim s':>9} {'ratio':>6}")
    for task, distance, rounds in CIRCUITS:
        text, lines = flat_text(task, distance, rounds)
        # Alternate the two parsers so drifting machine load affects both alike.
        k = s = float("inf")
        for _ in range(args.repeats):
            k = min(k, best_time(kelvo.Circuit, text, 1))
            s = min(s, best_time(stim.Circuit, text, 1))
        name = f"{task} d={distance} r={rounds}"
        print(f"{name:44} {len(text) / 1e6:6.1f} {k:9.4f} {s:9.4f} {k / s:6.2f}")

    print()
    print(f"{'circuit':44} {'lines':>8} {'kelvo B/line':>13} {'stim B/line':>12}")
    for task, distance, rounds in CIRCUITS:
        kb, lines = memory_of("kelvo", task, distance, rounds)
        sb, _ = memory_of("stim", task, distance, rounds)
        name = f"{task} d={distance} r={rounds}"
        print(f"{name:44} {lines:8} {kb / lines:13.0f} {sb / lines:12.0f}")


if __name__ == "__main__":
    main()
