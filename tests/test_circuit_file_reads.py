"""Circuit files that never end or block: each case runs in a child process bounded in time."""

import os
import resource
import signal
import subprocess
import sys
import threading
import time

import pytest

TIMEOUT = 60


def child(script, *args, **kwargs):  # python -c script args, with pipes for stdout and stderr
    return subprocess.Popen([sys.executable, "-c", script, *args], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True,
                            env=dict(os.environ, OPENBLAS_NUM_THREADS="1"), **kwargs)


def test_an_endless_file_ends_in_memory_error():
    # 1 GiB of address space: the read ends soon, well before a shared machine runs low.
    limit = lambda: resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))  # noqa: E731
    proc = child("import kelvo\nkelvo.parse_file('/dev/zero')", preexec_fn=limit)
    _, err = proc.communicate(timeout=TIMEOUT)
    assert proc.returncode == 1
    assert err.strip().splitlines()[-1] == "MemoryError"


@pytest.mark.parametrize("with_writer", [False, True])
def test_a_blocked_open_or_read_lets_threads_run_and_ends_on_ctrl_c(tmp_path, with_writer):
    fifo = tmp_path / "circuit.fifo"
    os.mkfifo(fifo)
    # The child takes Ctrl-C itself even when this run was started with SIGINT ignored.
    script = """
import signal, sys, threading, time, kelvo
signal.signal(signal.SIGINT, signal.default_int_handler)
spins = []
def spin():
    while True:
        spins.append(time.sleep(0.001))
threading.Thread(target=spin, daemon=True).start()
print('ready', flush=True)
before = len(spins)
try:
    kelvo.parse_file(sys.argv[1])
finally:
    print(len(spins) - before, flush=True)
"""
    proc = child(script, str(fifo))
    # Without a writer the child waits in open(); with one that sends nothing, in read().
    writer = os.open(fifo, os.O_RDWR) if with_writer else None
    try:
        assert proc.stdout.readline() == "ready\n"
        time.sleep(0.3)
        # A signal that arrives just before the call blocks is not seen by it: send until the
        # child ends, while the FIFO stays silent and open.
        deadline = time.monotonic() + TIMEOUT
        while proc.poll() is None and time.monotonic() < deadline:
            proc.send_signal(signal.SIGINT)
            time.sleep(0.1)
        out, err = proc.communicate(timeout=TIMEOUT)
    finally:
        proc.kill()
        if writer is not None:
            os.close(writer)
    # About 300 spins while the call waits; none if it held the interpreter lock.
    assert int(out) >= 10
    # An uncaught KeyboardInterrupt ends the interpreter by SIGINT, after the traceback.
    assert proc.returncode == -signal.SIGINT
    assert err.strip().splitlines()[-1] == "KeyboardInterrupt"
    # Raised by the parse_file call (line 12), not after a failed or finished read.
    assert 'File "<string>", line 12,' in err and "failed to read" not in err


def test_a_flowing_endless_read_ends_on_ctrl_c(tmp_path):
    fifo = tmp_path / "circuit.fifo"
    os.mkfifo(fifo)
    small = tmp_path / "small.kelvo"
    small.write_text("H 0\nM 0\n")
    script = """
import signal, sys, kelvo
signal.signal(signal.SIGINT, signal.default_int_handler)
print('ready', flush=True)
try:
    kelvo.parse_file(sys.argv[1])
except KeyboardInterrupt:
    print('interrupted', flush=True)
print(kelvo.parse_file(sys.argv[2]).num_measurements, flush=True)
"""
    # 4 GiB of address space: without the check the read would end in MemoryError instead.
    limit = lambda: resource.setrlimit(resource.RLIMIT_AS, (4 << 30, 4 << 30))  # noqa: E731
    proc = child(script, str(fifo), str(small), preexec_fn=limit)
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
    watchdog = threading.Timer(TIMEOUT, proc.kill)  # a hung child fails, never hangs the run
    watchdog.start()
    try:
        assert proc.stdout.readline() == "ready\n"
        time.sleep(0.5)
        sent = time.monotonic()
        proc.send_signal(signal.SIGINT)
        line = proc.stdout.readline()
        elapsed = time.monotonic() - sent
        out, err = proc.stdout.read(), proc.stderr.read()  # not communicate: lines were read
        proc.wait()
    finally:
        watchdog.cancel()
        proc.kill()
        writer.join(TIMEOUT)
    assert (line, out, proc.returncode) == ("interrupted\n", "1\n", 0), err
    assert elapsed < 5 and written[0] > 10 << 20  # it was flowing when the signal came
