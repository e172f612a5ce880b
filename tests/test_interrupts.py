"""Ctrl-C stops long sampling and compiling calls. Each case runs in a child process that takes
SIGINT itself; the parent sends it while the call runs. The call must raise KeyboardInterrupt
long before it would have ended, the process stays alive with every worker thread joined, and
the program then gives what a fresh program gives."""

import os
import resource
import signal
import subprocess
import sys
import threading
import time

import pytest

TIMEOUT = 120
# Seconds from the signal to KeyboardInterrupt: about 0.1 here (bench/interrupt_latency.py
# prints it), the margin is for loaded machines. Every call below runs for minutes or forever.
PROMPT = 10.0

QUBITS = " ".join(map(str, range(10)))
CHAIN = " ".join(f"{q} {q + 1}" for q in range(9))
# About 25 microseconds a shot on one thread: the calls below take minutes.
SLOW = "\n".join([f"H {QUBITS}\nT {QUBITS}\nCZ {CHAIN}"] * 3 + [
    f"DEPOLARIZE1(0.01) {QUBITS}", f"M {QUBITS}", "DETECTOR rec[-1]", "OBSERVABLE_INCLUDE(0) rec[-2]"])
# Planning takes minutes (20 s for 100 rounds here, growing faster than the rounds); parsing
# and lowering are quick.
WIDE = " ".join(map(str, range(50)))
WIDE_CHAIN = " ".join(f"{q} {q + 1}" for q in range(49))
LONG_COMPILE = f"REPEAT 400 {{\nH {WIDE}\nT {WIDE}\nCZ {WIDE_CHAIN}\nM {WIDE}\nDETECTOR rec[-1]\n}}"

PRELUDE = """
import os, signal, sys, time, kelvo
# The child takes Ctrl-C itself even when this run was started with SIGINT ignored.
signal.signal(signal.SIGINT, signal.default_int_handler)
def interrupted(call):
    print("ready", flush=True)
    try:
        call()
    except KeyboardInterrupt:
        print("interrupted", flush=True)
    else:
        print("finished", flush=True)
def timed(call):
    start = time.perf_counter()
    call()
    print(time.perf_counter() - start, flush=True)
"""


def run_interrupted(script, tmp_path, *args, **popen_options):
    """Runs PRELUDE + script in a child (with `args` after it), sends SIGINT half a second after
    it says "ready"; returns the seconds from the signal to "interrupted" and the words printed
    after it."""
    with open(tmp_path / "stderr", "w+") as err:
        proc = subprocess.Popen([sys.executable, "-c", PRELUDE + script, *args],
                                stdout=subprocess.PIPE, stderr=err, text=True,
                                env=dict(os.environ, OPENBLAS_NUM_THREADS="1"), **popen_options)
        watchdog = threading.Timer(TIMEOUT, proc.kill)  # a hung child fails, never hangs the run
        watchdog.start()
        try:
            assert proc.stdout.readline() == "ready\n"
            time.sleep(0.5)
            sent = time.monotonic()
            proc.send_signal(signal.SIGINT)
            line = proc.stdout.readline()
            elapsed = time.monotonic() - sent
            rest = proc.stdout.read()
            proc.wait()
        finally:
            watchdog.cancel()
            proc.kill()
            proc.wait()
        err.seek(0)
        assert (line, proc.returncode) == ("interrupted\n", 0), err.read()
    return elapsed, rest.split()


SAMPLE = """
program = kelvo.compile({text!r}, threads={threads})
tasks = len(os.listdir("/proc/self/task"))
interrupted(lambda: {call})
print(len(os.listdir("/proc/self/task")) == tasks)  # every worker joined
fresh = kelvo.compile({text!r}, threads={threads})
for keep in (True, False):
    a = kelvo.sample_survivors(program, 20000, 11, keep)
    b = kelvo.sample_survivors(fresh, 20000, 11, keep)
    print(all((x == y).all() for x, y in zip(a, b)) and (a.exp_vals == b.exp_vals).all()
          and (a.observable_ones == b.observable_ones).all()
          and (a.total_shots, a.logical_errors, a.active_threads)
          == (b.total_shots, b.logical_errors, b.active_threads) == (20000, b.logical_errors, {threads}))
"""


@pytest.mark.parametrize("call,threads", [
    ("kelvo.sample_survivors(program, 10**12, keep_records=False)", 4),
    ("program.sample(10**7)", 4),
    ("kelvo.sample(program, 10**7, seed=3, bit_packed=True)", 1),  # on the calling thread
], ids=["counts", "records", "records_one_thread"])
def test_ctrl_c_stops_a_long_sample_and_the_program_stays_usable(call, threads, tmp_path):
    elapsed, lines = run_interrupted(SAMPLE.format(text=SLOW, threads=threads, call=call), tmp_path)
    assert elapsed < PROMPT
    assert lines == ["True", "True", "True"]


COMPILE = """
short = "H 0\\nT 0\\nDEPOLARIZE1(0.1) 0\\nM 0\\nDETECTOR rec[-1]"
before = kelvo.compile(short).sample(1000, seed=2).detectors
circuit = kelvo.Circuit({text!r})
interrupted(lambda: {call})
print(circuit.num_measurements, circuit.num_detectors)
print((kelvo.Circuit(short).compile().sample(1000, seed=2).detectors == before).all())
"""


@pytest.mark.parametrize("call", ["circuit.compile(threads=2)", "kelvo.compile(circuit_text)",
                                  "circuit.reference_sample()"])
def test_ctrl_c_stops_a_long_compile(call, tmp_path):
    script = "circuit_text = " + repr(LONG_COMPILE) + COMPILE.format(text=LONG_COMPILE, call=call)
    elapsed, lines = run_interrupted(script, tmp_path)
    assert elapsed < PROMPT
    assert lines == ["20000", "400", "True"]


def test_a_flowing_endless_read_ends_on_ctrl_c(tmp_path):
    fifo = tmp_path / "circuit.fifo"
    os.mkfifo(fifo)
    small = tmp_path / "small.kelvo"
    small.write_text("H 0\nM 0\n")
    written = [0]

    def feed():  # valid text, as fast as the child takes it, until it closes the FIFO
        chunk = b"# comment\n" * 100_000
        with open(fifo, "wb") as f:
            try:
                while True:
                    written[0] += f.write(chunk)
            except BrokenPipeError:
                pass

    writer = threading.Thread(target=feed, daemon=True)
    writer.start()
    # 4 GiB of address space: without the check the read would end in MemoryError instead.
    limit = lambda: resource.setrlimit(resource.RLIMIT_AS, (4 << 30, 4 << 30))  # noqa: E731
    script = "interrupted(lambda: kelvo.parse_file(sys.argv[1]))\n" \
             "print(kelvo.parse_file(sys.argv[2]).num_measurements, flush=True)\n"
    try:
        elapsed, lines = run_interrupted(script, tmp_path, str(fifo), str(small),
                                         preexec_fn=limit)
    finally:
        writer.join(TIMEOUT)
    assert lines == ["1"]
    assert elapsed < PROMPT and written[0] > 10 << 20  # it was flowing when the signal came


def test_a_call_waiting_for_the_programs_lock_stops_on_ctrl_c(tmp_path):
    # Another thread holds the program for minutes; the waiting call must look for the signal.
    script = f"""
import threading, time
program = kelvo.compile({SLOW!r}, threads=1)
busy = threading.Event()
def hold():
    busy.set()
    try:
        program.sample(10**8)
    except BaseException:
        pass
threading.Thread(target=hold, daemon=True).start()
busy.wait()
time.sleep(0.3)  # the holder is inside its call by now
interrupted(lambda: program.sample(10, seed=1))
print(kelvo.compile("H 0\\nM 0").sample(10).total_shots)
"""
    elapsed, lines = run_interrupted(script, tmp_path)
    assert elapsed < PROMPT
    assert lines == ["10"]


def test_a_signal_handler_that_reenters_the_running_program_is_refused(tmp_path):
    # The handler runs inside the outer call's poll, on the thread that holds the program.
    script = f"""
import os, signal, threading, kelvo
program = kelvo.compile({SLOW!r}, threads=2)
other = kelvo.compile("H 0\\nM 0")
seen = []
def handler(*args):
    try:
        program.sample(10, seed=1)
    except RuntimeError as e:
        seen.append(str(e))
    seen.append(other.sample(10, seed=1).total_shots)
signal.signal(signal.SIGINT, handler)
threading.Timer(0.2, lambda: os.kill(os.getpid(), signal.SIGINT)).start()
result = program.sample(100_000, seed=9)
print(result.total_shots, repr(seen))
print((result.measurements == kelvo.compile({SLOW!r}, threads=2).sample(100_000, seed=9).measurements).all())
"""
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                         timeout=TIMEOUT, env=dict(os.environ, OPENBLAS_NUM_THREADS="1"))
    assert run.returncode == 0, run.stderr
    first, second = run.stdout.splitlines()
    message = ("the program is busy in a call that this thread is running (a signal handler "
               "cannot use it until that call returns)")
    assert first == f"100000 {[message, 10]!r}"
    assert second == "True"


def test_ctrl_c_during_the_first_call_of_a_process_is_not_lost(tmp_path):
    # The first look for signals in a process once ran Python code, whose pending handler
    # raised there and was cleared: the call then returned as if no signal had come.
    text = "REPEAT 1000000 {\nH 0\nT 0\nCX 0 1\nM 0\nDETECTOR rec[-1]\n}"
    script = f"interrupted(lambda: kelvo.compile({text!r}))\nprint('alive')\n"
    elapsed, lines = run_interrupted(script, tmp_path)
    assert elapsed < PROMPT
    assert lines == ["alive"]
