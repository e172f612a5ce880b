"""Lowering and whole-compilation time of noisy surface-code memory circuits against stim's
detector_error_model(), and compilation time of T-heavy circuits.

Writes the circuits as stim text files, runs the C++ benchmark binary on them (it lowers each
file's circuit and reports its own time, memory and sizes), times stim's detector error model
of the same circuits in this process, and prints the ratios kelvo / stim (at most 1.0 means
kelvo is no slower). Both sides propagate every error through the whole circuit. Also prints
the cost per Clifford gate of brick layers at growing widths, then plan_circuit (lowering,
optimizer, planner and assembly) on the same kind of circuits up to distance 25 with its peak
memory, and plan_circuit on 10^3 and 10^4 T gates between random Clifford layers.

Build the benchmark binary first:
    cmake -S . -B build/bench -G Ninja -DKELVO_BUILD_BENCH=ON && ninja -C build/bench kelvo_bench
    python3 bench/compile.py [--bench build/bench/kelvo_bench] [--repeats N]
"""

import argparse
import json
import os
import subprocess
import tempfile
import time

import stim

NOISE = dict(
    after_clifford_depolarization=0.001,
    before_round_data_depolarization=0.001,
    before_measure_flip_probability=0.001,
    after_reset_flip_probability=0.001,
)
DISTANCES = (5, 9, 15)


def write_circuits(folder, distances=DISTANCES):
    circuits = {}
    for d in distances:
        circuit = stim.Circuit.generated(
            "surface_code:rotated_memory_z", distance=d, rounds=d, **NOISE)
        name = f"rotated_memory_z_d{d}"
        with open(os.path.join(folder, name + ".stim"), "w") as f:
            f.write(str(circuit))
        circuits[name] = circuit
    return circuits


def run_bench(binary, folder, pattern, repeats):
    """Best time (ms) and the counters of each benchmark matching `pattern`."""
    out = subprocess.run(
        [binary, f"--benchmark_filter={pattern}", "--benchmark_format=json",
         f"--benchmark_repetitions={repeats}"],
        env=dict(os.environ, KELVO_COMPILE_BENCH_DIR=folder),
        check=True, capture_output=True, text=True).stdout
    best = {}
    for b in json.loads(out)["benchmarks"]:
        if b.get("run_type") != "iteration":
            continue
        scale = {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1e3}[b["time_unit"]]
        ms = b["real_time"] * scale
        name = b["run_name"]
        if name not in best or ms < best[name][0]:
            best[name] = (ms, b)
    return best


def stim_best_ms(circuit, repeats):
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        circuit.detector_error_model()
        best = min(best, time.perf_counter() - start)
    return best * 1e3


PLAN_DISTANCES = (5, 9, 15, 25)


def plan_circuits(binary, repeats):
    """plan_circuit on memory circuits against stim's detector error model, each circuit in a
    fresh process so that its peak memory is its own."""
    with tempfile.TemporaryDirectory() as folder:
        print()
        print(f"{'plan_circuit':24} {'kelvo ms':>9} {'stim ms':>8} {'ratio':>6} {'peak MB':>8}")
        for name, circuit in write_circuits(folder, PLAN_DISTANCES).items():
            runs = repeats if circuit.num_qubits < 1000 else 1
            ms, b = run_bench(binary, folder, f"BM_PlanCircuitFile/{name}$", runs)[
                f"BM_PlanCircuitFile/{name}"]
            s = stim_best_ms(circuit, repeats)
            print(f"{name:24} {ms:9.2f} {s:8.2f} {ms / s:6.2f} {b['peak_MB']:8.2f}")


def plan_t_heavy(binary, repeats):
    """T gates between random Clifford layers on 30 qubits: time should grow linearly."""
    base = None
    print()
    print(f"{'T gates':>8} {'ms':>9} {'growth':>7} {'peak MB':>8}")
    for count in (1000, 10000):
        name = f"BM_PlanTHeavy/{count}"
        ms, b = run_bench(binary, "", name + "$", repeats)[name]
        base = base or ms
        print(f"{count:>8} {ms:9.2f} {ms / base:7.2f} {b['peak_MB']:8.2f}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bench", default="build/bench/kelvo_bench")
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as folder:
        circuits = write_circuits(folder)
        kelvo = run_bench(args.bench, folder, "BM_LowerCircuitFile", args.repeats)
        print(f"{'circuit':24} {'qubits':>6} {'errors':>7} {'kelvo ms':>9} {'stim ms':>8}"
              f" {'ratio':>6} {'MB':>7} {'E*n/4 MB':>9}")
        for name, circuit in circuits.items():
            ms, b = kelvo[f"BM_LowerCircuitFile/{name}"]
            s = stim_best_ms(circuit, args.repeats)
            print(f"{name:24} {b['qubits']:6.0f} {b['errors']:7.0f} {ms:9.2f} {s:8.2f}"
                  f" {ms / s:6.2f} {b['MB']:7.2f} {b['En/4_MB']:9.2f}")

    bricks = run_bench(args.bench, "", "BM_BrickLayerCliffords", args.repeats)
    base = None
    print()
    print(f"{'qubits':>8} {'ns/gate':>8} {'growth':>7}")
    for name in sorted(bricks, key=lambda k: int(k.split("/")[1])):
        ns = bricks[name][1]["ns_per_gate"]
        base = base or ns
        print(f"{name.split('/')[1]:>8} {ns:8.2f} {ns / base:7.2f}")

    plan_circuits(args.bench, args.repeats)
    plan_t_heavy(args.bench, args.repeats)


if __name__ == "__main__":
    main()
