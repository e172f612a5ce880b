"""The interpreter ends cleanly around the module: at exit with live objects, with daemon threads
inside sampling, compiling or reading a file, after a KeyboardInterrupt that ends the script,
and under an address-space limit. Each case runs in a child interpreter (the one running these
tests) and checks its exit status: a crash shows up as a signal or a status the same script
without kelvo would not give."""

import os
import pathlib
import signal
import subprocess
import sys
import textwrap

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
ENV = dict(os.environ, OPENBLAS_NUM_THREADS="1")

SLOW = ("H 0 1 2 3 4 5 6 7\nT 0 1 2 3 4 5 6 7\nCZ 0 1 2 3 4 5 6 7\nH 0 1 2 3 4 5 6 7\n"
        "T 0 1 2 3 4 5 6 7\nDEPOLARIZE1(0.01) 0 1 2 3 4 5 6 7\nM 0 1 2 3 4 5 6 7\n"
        "DETECTOR rec[-1]\nOBSERVABLE_INCLUDE(0) rec[-2]")


def run_child(script, *args, timeout=120):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(script), *map(str, args)],
                          capture_output=True, text=True, timeout=timeout, env=ENV, cwd=ROOT)


def assert_clean(run, status=0):
    assert run.returncode == status, (run.returncode, run.stderr[-2000:])
    assert "panicked" not in run.stderr and "FATAL" not in run.stderr, run.stderr[-2000:]


def assert_clean_run(script, *args):
    run = run_child(script, *args)
    assert_clean(run)
    return run


def test_readme_example_exits_cleanly():
    run = subprocess.run([sys.executable, "examples/sample_clifford_t.py"], capture_output=True,
                         text=True, timeout=300, env=ENV, cwd=ROOT)
    assert_clean(run)
    assert "logical error rate:" in run.stdout


def test_live_objects_at_exit():
    # Objects of every class alive at exit, some in a reference cycle that only the final
    # collection frees, and arrays that outlive their results.
    run = assert_clean_run("""
        import gc, kelvo
        circuit = kelvo.Circuit("H 0\\nT 0\\nCX 0 1\\nM 0 1\\nDETECTOR rec[-1]\\nEXP_VAL X0")
        program = circuit.compile()
        result = program.sample(1000, seed=3)
        arrays = [result.measurements, result.detectors, result.exp_vals]
        reference = circuit.reference_sample()
        sim = kelvo.TableauSimulator(3, seed=1)
        sim.h(0); sim.t(0); sim.cx(0, 1)
        outcome = sim.measure(1)
        pauli = kelvo.PauliString.from_text("XYZ")
        cycle = [program, result, sim, pauli]
        cycle.append(cycle)
        gc.disable()
        print(result.total_shots, sum(arrays[0][:, 0]) > 0, outcome.outcome in (True, False))
    """)
    assert run.stdout.split() == ["1000", "True", "True"]


DAEMON = """
    import os, signal, sys, threading, time, kelvo
    kind, workers, interrupt = sys.argv[1], int(sys.argv[2]), sys.argv[3] == "1"
    program = kelvo.compile({slow!r}, threads=workers)
    started = threading.Barrier(3)

    def sampling(keep_records, shots):
        # Short calls ask for the lock often; long ones are inside the sampler at the end.
        started.wait()
        while True:
            if keep_records:
                program.sample(shots)
            else:
                kelvo.sample_survivors(program, shots, keep_records=False)

    def compiling():
        text = "REPEAT 2000 {{\\nH 0 1\\nT 0\\nCX 0 1\\nDEPOLARIZE1(0.01) 0 1\\nM 1\\nDETECTOR rec[-1]\\n}}"
        started.wait()
        while True:
            kelvo.compile(text)

    def reading():
        path = sys.argv[4]
        os.mkfifo(path)
        started.wait()
        kelvo.parse_file(path)  # no writer ever comes: blocks until the end

    if kind == "reading":
        targets = [reading, lambda: sampling(True, 200_000)]
    elif kind == "compiling":
        targets = [compiling, lambda: sampling(False, 1000)]
    else:
        targets = [lambda: sampling(True, 1000), lambda: sampling(False, 200_000)]
    for target in targets:
        threading.Thread(target=target, daemon=True).start()
    started.wait()
    time.sleep(0.3)
    if interrupt:
        os.kill(os.getpid(), signal.SIGINT)
        threading.Event().wait()
    print("main done", flush=True)
""".format(slow=SLOW)


@pytest.mark.parametrize("kind, workers", [("sampling", 1), ("sampling", 4), ("compiling", 2),
                                           ("reading", 3)])
@pytest.mark.parametrize("interrupt", [False, True])
def test_daemon_threads_inside_calls_at_exit(kind, workers, interrupt, tmp_path):
    # The interpreter ends a daemon thread that asks for the interpreter lock after finalization
    # by unwinding it; that must pass through the module and leave the process's own status:
    # 0, or death by SIGINT for a KeyboardInterrupt nobody caught (as without kelvo).
    for attempt in range(3):
        run = run_child(DAEMON, kind, workers, int(interrupt), tmp_path / f"fifo{attempt}")
        assert_clean(run, -signal.SIGINT if interrupt else 0)
        assert ("main done" in run.stdout) != interrupt


ADDRESS_SPACE = """
    import resource, sys, numpy, kelvo
    text = "H 0 1 2 3\\nT 0 1\\nCX 0 1 2 3\\nDEPOLARIZE1(0.1) 0 1 2 3\\nM 0 1 2 3\\n{discard}"
    text += "DETECTOR rec[-2]\\nOBSERVABLE_INCLUDE(0) rec[-3]\\nEXP_VAL Z0\\n"
    _, hard = resource.getrlimit(resource.RLIMIT_AS)
    outcomes = []
    for gigabytes in (1, 2, 3, 4):
        for threads in (16, 64, 128, 256):
            for discard in ("", "DISCARD rec[-1]\\n"):
                program = kelvo.compile(text.format(discard=discard), threads=threads)
                limit = gigabytes << 30
                resource.setrlimit(resource.RLIMIT_AS, (limit, hard))
                for shots in (threads * 2048, threads * 16384):
                    try:
                        program.sample(shots, seed=5)
                        outcomes.append("result")
                    except MemoryError:
                        outcomes.append("MemoryError")
                    except RuntimeError as e:
                        assert str(e).startswith("failed to spawn thread: "), e
                        outcomes.append("spawn")
                resource.setrlimit(resource.RLIMIT_AS, (hard, hard))
                del program
    print(" ".join(outcomes))
"""


def test_address_space_limits_end_in_errors_not_aborts():
    # A worker whose memory runs out under a limit must raise, and the process must live on.
    run = run_child(ADDRESS_SPACE, timeout=600)
    assert_clean(run)
    outcomes = run.stdout.split()
    assert len(outcomes) == 4 * 4 * 2 * 2
    assert "result" in outcomes and "MemoryError" in outcomes
