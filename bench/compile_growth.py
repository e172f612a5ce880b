"""How `Circuit.compile` (parse excluded) grows with the length of the circuit, as ratios.

1. stim's d=3 rotated memory (p = 0.001 on all four noise options) at R = 500 ... 8000 rounds and
   at 10^4: kelvo's compile time, its growth per doubling of R (linear is 2x), and its ratio to
   stim's `detector_error_model()` of the flattened circuit timed in the same run (at most 1
   means kelvo is no slower).
2. Rounds about 3d: d = 5, 15, 21 with R = 3d against stim's flattened model, and d = 15 R = 15
   against stim's `detector_error_model()` of the circuit as generated (loops folded).
3. Small circuits repeated N = 10^3 ... 10^5 times: growth per tenfold N (linear is 10x).
4. Peak memory of compile (one thread) at d=3, R = 1000 ... 10^4 and its growth per doubling,
   each measured in a child interpreter (its peak resident size after compiling minus that after
   parsing).
5. Noisy non-Clifford loops: two qubits with a T gate on a body that is never measured, a
   feedback loop, and two loops of a rotation with a herald fed back onto the second factor of a
   product measured every round (X0*Z1 after CX, X0*X1 after CZ) at R = 1000 ... 8000 rounds, and
   wide T layers (REPEAT R { H, T on 50 qubits; CZ line; M all; DETECTOR }) at R = 40 ... 240.
   Compile time, the size of the compiled program (condition ids over every instruction's sign),
   time per id and growth per doubling (constant time per id is linear in what compile
   produces). The size comes from bench/expression_size.cpp, built against the core library of
   --build (the test build of the README); without it the size columns stay empty.

Sizes whose compile would pass --budget seconds (by the last growth seen) are skipped, so the
script also runs against slower builds. Prints the load average beside the times.

    python3 bench/compile_growth.py [--repeats N] [--budget S] [--only 1,2,3,4,5] [--build DIR]
"""

import argparse
import math
import os
import pathlib
import subprocess
import sys
import tempfile
import time

import stim

import kelvo

NOISE = dict(
    after_clifford_depolarization=0.001,
    before_round_data_depolarization=0.001,
    before_measure_flip_probability=0.001,
    after_reset_flip_probability=0.001,
)


def memory_circuit(distance, rounds):
    return stim.Circuit.generated(
        "surface_code:rotated_memory_z", distance=distance, rounds=rounds, **NOISE)


def best_seconds(fn, repeats):
    best = math.inf
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def compile_seconds(text, repeats):
    circuit = kelvo.parse(text)
    return best_seconds(circuit.compile, repeats)


def load():
    return "load {:.1f} {:.1f} {:.1f}".format(*os.getloadavg())


def rounds_section(args):
    print(f"d=3 rotated memory        ({load()})")
    print(f"{'R':>6} {'kelvo s':>9} {'growth':>7} {'stim flat s':>11} {'ratio':>6}")
    last = None
    for rounds in (500, 1000, 2000, 4000, 8000, 10000):
        if last and last[1] * (rounds / last[0]) ** 3 > args.budget * 8:
            print(f"{rounds:>6} skipped (over budget)")
            continue
        circuit = memory_circuit(3, rounds)
        seconds = compile_seconds(str(circuit), args.repeats)
        flat = circuit.flattened()
        stim_seconds = best_seconds(flat.detector_error_model, args.repeats)
        growth = f"{seconds / last[1]:7.2f}" if last and rounds == 2 * last[0] else " " * 7
        print(f"{rounds:>6} {seconds:9.3f} {growth} {stim_seconds:11.3f}"
              f" {seconds / stim_seconds:6.2f}")
        last = (rounds, seconds)


def distance_section(args):
    print(f"\nrounds = 3d                ({load()})")
    print(f"{'d':>3} {'R':>4} {'kelvo s':>9} {'stim s':>8} {'stim model of':>14} {'ratio':>6}")
    for distance, rounds, flatten in ((5, 15, True), (15, 45, True), (21, 63, True),
                                      (15, 15, False)):
        circuit = memory_circuit(distance, rounds)
        seconds = compile_seconds(str(circuit), args.repeats)
        model_of = circuit.flattened() if flatten else circuit
        stim_seconds = best_seconds(model_of.detector_error_model, args.repeats)
        print(f"{distance:>3} {rounds:>4} {seconds:9.3f} {stim_seconds:8.3f}"
              f" {'flattened' if flatten else 'generated':>14} {seconds / stim_seconds:6.2f}")


SMALL = {
    "H T CX M DETECTOR": "H 0\nT 0\nCX 0 1\nM 0\nDETECTOR rec[-1]",
    "H CX M DETECTOR": "H 0\nCX 0 1\nM 0\nDETECTOR rec[-1]",
    "X_ERROR M": "X_ERROR(0.01) 0\nM 0",
    "H M DETECTOR": "H 0\nM 0\nDETECTOR rec[-1]",
    # After H 0, every outcome equals the first: one coin named by every outcome relation.
    "H; CX M R DETECTOR": ("H 0", "CX 0 1\nM 1\nR 1\nDETECTOR rec[-1]"),
}


def small_section(args):
    print(f"\nsmall circuits repeated    ({load()})")
    print(f"{'body':20} {'N':>7} {'kelvo s':>9} {'growth':>7}")
    for name, body in SMALL.items():
        prefix, body = body if isinstance(body, tuple) else ("", body)
        last = None
        for count in (1000, 10000, 100000):
            if last and last[1] * (count / last[0]) ** 2 > args.budget:
                print(f"{name:20} {count:>7} skipped (over budget)")
                continue
            seconds = compile_seconds(f"{prefix}\nREPEAT {count} {{\n{body}\n}}\n", args.repeats)
            growth = f"{seconds / last[1]:7.2f}" if last else " " * 7
            print(f"{name:20} {count:>7} {seconds:9.3f} {growth}")
            last = (count, seconds)


# The child's peak resident size (VmHWM, in kB) after parsing and after compiling. ru_maxrss
# would do on a fresh process, but on Linux it keeps the peak of the parent it was forked from.
CHILD = """
import sys, stim, kelvo
def peak_kb():
    with open("/proc/self/status") as f:
        return int(next(line for line in f if line.startswith("VmHWM")).split()[1])
c = stim.Circuit.generated("surface_code:rotated_memory_z", distance=3, rounds=int(sys.argv[1]),
    after_clifford_depolarization=0.001, before_round_data_depolarization=0.001,
    before_measure_flip_probability=0.001, after_reset_flip_probability=0.001)
circuit = kelvo.parse(str(c))
del c
before = peak_kb()
program = circuit.compile(threads=1)
print(before, peak_kb())
"""


def memory_section(args):
    print(f"\ncompile peak memory, d=3  ({load()})")
    print(f"{'R':>6} {'parsed MB':>10} {'compiled MB':>12} {'compile MB':>11} {'growth':>7}")
    last = None
    for rounds in (1000, 2000, 4000, 8000, 10000):
        out = subprocess.run([sys.executable, "-c", CHILD, str(rounds)], check=True,
                             capture_output=True, text=True, timeout=args.budget * 20).stdout
        before, after = (int(v) / 1024 for v in out.split())
        extra = after - before
        growth = f"{extra / last[1]:7.2f}" if last and rounds == 2 * last[0] else " " * 7
        print(f"{rounds:>6} {before:10.1f} {after:12.1f} {extra:11.1f} {growth}")
        last = (rounds, extra)


LOOPS = {
    # T on Z0, which only Z0*Z1 products ever measure: its sign names every earlier X error.
    "two qubits, T 0": lambda rounds: f"""R 0 1
H 0
T 0
CX 0 1
H 1
T 1
MPP Z0*Z1
REPEAT {rounds} {{
T 0
X_ERROR(0.02) 0
DEPOLARIZE1(0.01) 1
MPP Z0*Z1
DETECTOR rec[-1] rec[-2]
}}
M 0 1
DETECTOR rec[-1] rec[-2] rec[-3]
OBSERVABLE_INCLUDE(0) rec[-1]
""",
    "feedback": lambda rounds: f"""H 0
REPEAT {rounds} {{
T 0
CX 0 1
M 1
CX rec[-1] 0
H 0
DEPOLARIZE1(0.01) 0 1
DETECTOR rec[-1]
}}
""",
}


# A rotation every round on a body no measurement fixes, a herald whose record is fed back onto a
# second qubit, and a product of the rotation's axis with that qubit measured every round: the
# product's sign names every herald so far, and now and then its reduction ripples down the
# rounds one relation per pass.
FEEDBACK_LOOP = """R 0 1
H {h}
MPAD 0
REPEAT {rounds} {{
HERALDED_PAULI_CHANNEL_1(0.05, 0, 0, 0) 0
{gate} rec[-1] 1
R_X(0.25) 0
MPP X0*{pauli}1
MPP Z0
}}
M 1
OBSERVABLE_INCLUDE(0) rec[-1]
"""
LOOPS["herald CX, X0*Z1"] = lambda rounds: FEEDBACK_LOOP.format(
    h="0", gate="CX", pauli="Z", rounds=rounds)
LOOPS["herald CZ, X0*X1"] = lambda rounds: FEEDBACK_LOOP.format(
    h="0 1", gate="CZ", pauli="X", rounds=rounds)


def wide_layers(rounds, qubits=50):
    line = " ".join(map(str, range(qubits)))
    pairs = " ".join(f"{q} {q + 1}" for q in range(qubits - 1))
    return (f"REPEAT {rounds} {{\nH {line}\nT {line}\nCZ {pairs}\nM {line}\n"
            "DETECTOR rec[-1]\n}\n")


LOOP_ROUNDS = (1000, 2000, 4000, 8000)
LOOPS["wide T layers"] = wide_layers


def expression_size_tool(build):
    """The path of bench/expression_size.cpp built against `build`'s core library, or None."""
    root = pathlib.Path(__file__).resolve().parent.parent
    library = pathlib.Path(build) / "libkelvo_core.a"
    if not library.exists():
        return None
    tool = pathlib.Path(tempfile.mkdtemp()) / "expression_size"
    subprocess.run(["c++", "-std=c++20", "-O2", f"-I{root / 'src'}",
                    str(root / "bench" / "expression_size.cpp"), str(library), "-lpthread",
                    "-o", str(tool)], check=True)
    return tool


def loops_section(args):
    print(f"\nnon-Clifford loops         ({load()})")
    print(f"{'loop':18} {'R':>5} {'kelvo s':>9} {'growth':>7} {'ids':>11} {'growth':>7}"
          f" {'ns per id':>10}")
    tool = expression_size_tool(args.build)
    for name, text_of in LOOPS.items():
        last = None
        for rounds in ((40, 80, 120, 240) if name == "wide T layers" else LOOP_ROUNDS):
            if last and last[1] * (rounds / last[0]) ** 3 > args.budget:
                print(f"{name:18} {rounds:>5} skipped (over budget)")
                continue
            text = text_of(rounds)
            seconds = compile_seconds(text, args.repeats)
            ids = (int(subprocess.run([tool], input=text, capture_output=True, text=True,
                                      check=True).stdout) if tool else None)
            doubled = last and rounds == 2 * last[0]
            growth = f"{seconds / last[1]:7.2f}" if doubled else " " * 7
            size = f"{ids:>11}" if ids else f"{'-':>11}"
            size_growth = f"{ids / last[2]:7.2f}" if ids and doubled else " " * 7
            per_id = f"{seconds / ids * 1e9:10.1f}" if ids else f"{'-':>10}"
            print(f"{name:18} {rounds:>5} {seconds:9.3f} {growth} {size} {size_growth} {per_id}")
            last = (rounds, seconds, ids)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--budget", type=float, default=60.0)
    parser.add_argument("--only", default="1,2,3,4,5")
    parser.add_argument("--build", default=str(pathlib.Path(__file__).resolve().parent.parent
                                               / "build" / "py"))
    args = parser.parse_args()
    sections = {"1": rounds_section, "2": distance_section, "3": small_section,
                "4": memory_section, "5": loops_section}
    for key in args.only.split(","):
        sections[key](args)


if __name__ == "__main__":
    main()
