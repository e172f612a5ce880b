"""Circuit files that never end or block: each case runs in a child process bounded in time."""

import os
import resource
import signal
import subprocess
import sys
import time

import pytest

TIMEOUT = 60


def child(script, *args, **kwargs):
    """Starts `python -c script args`, whose stdout and stderr are pipes."""
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


def test_other_threads_run_while_a_fifo_is_read(tmp_path):
    fifo = tmp_path / "circuit.fifo"
    os.mkfifo(fifo)
    script = """
import sys, threading, time, kelvo
count, stop = 0, False
def spin():
    global count
    while not stop:
        count += 1
        time.sleep(0.001)
thread = threading.Thread(target=spin)
thread.start()
before = count
circuit = kelvo.parse_file(sys.argv[1])
after = count
stop = True
thread.join()
print(circuit.num_measurements, after - before)
"""
    proc = child(script, str(fifo))
    try:
        with open(fifo, "w") as writer:  # returns once the child has opened the FIFO
            time.sleep(0.5)
            writer.write("H 0\nM 0 1\n")
        out, err = proc.communicate(timeout=TIMEOUT)
    finally:
        proc.kill()
    assert proc.returncode == 0, err
    # About 500 spins while the read waits; none if the read held the interpreter lock.
    measurements, spins = map(int, out.split())
    assert measurements == 2 and spins >= 10


@pytest.mark.parametrize("with_writer", [False, True])
def test_ctrl_c_interrupts_a_blocked_open_or_read(tmp_path, with_writer):
    fifo = tmp_path / "circuit.fifo"
    os.mkfifo(fifo)
    proc = child("import sys, kelvo\nprint('ready', flush=True)\nkelvo.parse_file(sys.argv[1])",
                 str(fifo))
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
        _, err = proc.communicate(timeout=TIMEOUT)
    finally:
        proc.kill()
        if writer is not None:
            os.close(writer)
    # An uncaught KeyboardInterrupt ends the interpreter by SIGINT, after the traceback.
    assert proc.returncode == -signal.SIGINT
    assert err.strip().splitlines()[-1] == "KeyboardInterrupt"
    # Raised by the parse_file call (line 3), not after a failed or finished read.
    assert 'File "<string>", line 3,' in err and "failed to read" not in err
