"""Circuit files that never end or block: each case runs in a child process bounded in time."""

import os
import resource
import signal
import subprocess
import sys
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
