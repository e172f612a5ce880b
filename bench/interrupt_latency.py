"""Ctrl-C latency: seconds from SIGINT to KeyboardInterrupt for each long phase of a call, beside
the time the same call takes uninterrupted where it ends at all, and their ratio. The cases are
the interrupt tests' own (tests/test_interrupts.py, tests/test_interrupt_phases.py), each run in
a child that takes the signal half a second into the call. A responsive build stops every phase
in about 0.1 s; the tests only ask for a fifth of the uninterrupted time (or a wide margin), so
that a loaded machine cannot fail them.

    python3 bench/interrupt_latency.py [--only compile,parse,batch,sample]
"""

import argparse
import os
import pathlib
import sys
import tempfile

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))

import test_interrupt_phases as phases  # noqa: E402
from test_interrupts import SAMPLE, SLOW, run_interrupted  # noqa: E402


def cases(flat_file):
    """(group, label, script, args); a script ending in `timed(...)` prints its uninterrupted
    time last."""
    for setup, call, label in [
        (f"circuit = kelvo.Circuit({phases.LARGE!r})", "circuit.compile()", "compile 3M records"),
        (f"circuit = kelvo.Circuit({phases.LARGE!r})", "circuit.reference_sample()",
         "reference_sample 3M records"),
        ("", f"kelvo.compile({phases.T_LOOP!r})", "compile T feedback loop"),
    ]:
        yield "compile", label, f"{setup}\ninterrupted(lambda: {call})\ntimed(lambda: {call})\n", ()
    for call in ["kelvo.parse(text)", "kelvo.Circuit(text)", "kelvo.parse_file(sys.argv[1])"]:
        setup = "text = open(sys.argv[1]).read()\n" if "file" not in call else ""
        script = f"{setup}interrupted(lambda: {call})\ntimed(lambda: {call})\n"
        yield "parse", call + " 250 MB", script, (str(flat_file),)
    for threads in (1, 2):
        script = (f"program = kelvo.compile({phases.LONG_BATCH!r}, threads={threads})\n"
                  "interrupted(lambda: program.sample(4096))\ntimed(lambda: program.sample(4096))\n")
        yield "batch", f"one long batch, {threads} thread(s)", script, ()
    for call, threads in [("kelvo.sample_survivors(program, 10**12, keep_records=False)", 4),
                          ("program.sample(10**7)", 4)]:
        script = SAMPLE.format(text=SLOW, threads=threads, call=call)
        yield "sample", f"{call.split('(')[0]}, {threads} threads", script, ()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--only", default="compile,parse,batch,sample")
    args = parser.parse_args()
    groups = set(args.only.split(","))
    with tempfile.TemporaryDirectory() as tmp:
        tmp = pathlib.Path(tmp)
        flat_file = tmp / "flat.kelvo"
        if "parse" in groups:
            flat_file.write_text(phases.FLAT)
        print(f"load average {os.getloadavg()[0]:.2f}")
        print(f"{'case':<42} {'latency s':>10} {'whole call s':>13} {'ratio':>7}")
        for group, label, script, extra in cases(flat_file):
            if group not in groups:
                continue
            latency, lines = run_interrupted(script, tmp, *extra)
            whole = float(lines[-1]) if "timed(" in script else None
            ratio = f"{latency / whole:7.3f}" if whole else "      -"
            whole_text = f"{whole:13.2f}" if whole else f"{'(minutes)':>13}"
            print(f"{label:<42} {latency:10.3f} {whole_text} {ratio}", flush=True)


if __name__ == "__main__":
    main()
