"""Time per amplitude of each active-state kernel on wide states (10 to 12 active qubits), one
thread, against a memory-bandwidth bound: the bytes the kernel must read and write per
amplitude over the machine's copy bandwidth at the same state size (so from the same cache
level). Reads the C++ benchmarks of src/sampler/contiguous_bench.cpp.

    cmake -S . -B build/bench -G Ninja -DKELVO_BUILD_BENCH=ON && ninja -C build/bench kelvo_bench
    python3 bench/kernels.py [--binary build/bench/kelvo_bench] [--sizes 10,11,12]

A kernel at its bound moves data as fast as a copy does; the ratio printed is time / bound.
"""

import argparse
import json
import os
import subprocess

# Bytes read and written per benchmark item (an amplitude of the state, or for the run an
# amplitude times a rotation): re and im are 8 bytes each.
BYTES_PER_ITEM = {
    "rotate_diagonal": 32,
    "rotate_diagonal_run": 32 / 11,  # one pass for eleven rotations
    "rotate_z_free": 32,
    "rotate_z_free_run": 16,         # one pass for two rotations
    "rotate_general": 32,
    "promote": 24,                  # items are the 2D entries: read D, write 2D
    "project_diagonal": 16,         # read and write half the state
    "project_nondiagonal": 24,      # read all, write half
    "diagonal_probability": 8,      # read half
    "nondiagonal_probability": 16,  # read all
}


def run(binary, sizes, min_time):
    pattern = "BM_.*/(%s)/[01]?$" % "|".join(map(str, sizes))
    out = subprocess.run(
        [binary, "--benchmark_filter=" + pattern, "--benchmark_format=json",
         f"--benchmark_min_time={min_time}"],
        capture_output=True, text=True, check=True).stdout
    rates = {}
    for b in json.loads(out)["benchmarks"]:
        parts = b["name"].split("/")
        name, k = parts[0][3:], int(parts[1])
        level = "vector" if len(parts) > 2 and parts[2] == "1" else "scalar"
        rates[(name, k, level)] = b["items_per_second"]
    return rates


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary", default="build/bench/kelvo_bench")
    parser.add_argument("--sizes", default="10,11,12")
    parser.add_argument("--min-time", default="0.3")
    args = parser.parse_args()
    sizes = [int(s) for s in args.sizes.split(",")]
    print(f"load average {os.getloadavg()[0]:.2f}, binary {args.binary}")
    rates = run(args.binary, sizes, args.min_time)
    print(f"{'kernel':26} {'k':>3} {'level':7} {'ns/amp':>8} {'bound':>8} {'x bound':>8}")
    for k in sizes:
        copy_bytes_per_s = rates[("copy", k, "scalar")] * 32
        for name, per_item in BYTES_PER_ITEM.items():
            for level in ("scalar", "vector"):
                if (name, k, level) not in rates:
                    continue
                ns = 1e9 / rates[(name, k, level)]
                bound = 1e9 * per_item / copy_bytes_per_s
                print(f"{name:26} {k:3} {level:7} {ns:8.3f} {bound:8.3f} {ns / bound:8.1f}")
        print(f"{'copy bandwidth':26} {k:3} {'':7} {copy_bytes_per_s / 1e9:8.1f} GB/s")


if __name__ == "__main__":
    main()
