"""The Python surface of compiling and sampling: signatures, argument errors in their order,
result arrays and counters, reproducibility across threads and SIMD levels, and the
interpreter lock."""

import doctest
import gc
import inspect
import os
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import kelvo

TWO_DETECTORS = "H 0\nCX 0 1\nM 0 1\nDETECTOR rec[-1] rec[-2]\nDETECTOR rec[-1]\nOBSERVABLE_INCLUDE(0) rec[-1]"
TEN = "H 0 1 2 3 4\nT 0 2\nCX 0 5 1 6 2 7 3 8 4 9\nX_ERROR(0.1) 0 1 2 3 4 5 6 7 8 9\nM 0 1 2 3 4 5 6 7 8 9"
MAGIC = "H 0 1 2\nT 0 1\nCX 0 2\nT_DAG 2\nH 0 2\nDEPOLARIZE1(0.05) 0 1 2\nM 0 1 2\nEXP_VAL X1\nDETECTOR rec[-1]\nOBSERVABLE_INCLUDE(0) rec[-2]"


def test_signatures():
    for fn, text in [
        (kelvo.compile, "(stim_text, postselection_mask=None, expected_detectors=None, "
                        "expected_observables=None, normalize_syndromes=False, *, pin_measurements=None, "
                        "backend='cpu', observable=0, threads=1, sample_chunk_shots=0, batch_size=0, "
                        "gpu_chunk_shots=1048576)"),
        (kelvo.Circuit.compile, "(self, /, postselection_mask=None, *, normalize_syndromes=False, "
                                "expected_detectors=None, expected_observables=None, pin_measurements=None, "
                                "backend='cpu', observable=0, threads=1, sample_chunk_shots=0, batch_size=0, "
                                "gpu_chunk_shots=1048576)"),
        (kelvo.sample, "(program, shots, seed=None, *, bit_packed=False)"),
        (kelvo.sample_survivors, "(program, shots, seed=None, keep_records=True, *, bit_packed=False)"),
        (kelvo.Program.sample, "(self, /, shots, seed=None, *, bit_packed=False)"),
        (kelvo.Circuit.reference_sample, "(self, /)"),
    ]:
        assert str(inspect.signature(fn)) == text
    assert kelvo.SampleResult.__doc__ == "Per-shot records, aggregate counters, and timing from one sampling call."
    for obj in (kelvo, kelvo.compile, kelvo.sample, kelvo.parse, kelvo.Circuit):
        for test in doctest.DocTestFinder(recurse=False).find(obj, obj.__name__):
            assert doctest.DocTestRunner().run(test).failed == 0, obj


PROGRAM = kelvo.compile(TWO_DETECTORS)
C = kelvo.Circuit(TWO_DETECTORS)

# (call, exception type, message pattern): conversions left to right, parsing before the
# option checks, then the checks in their order.
ERRORS = [
    (lambda: kelvo.compile("H x", threads=0), kelvo.ParseError, "^line 1: "),
    (lambda: kelvo.compile(TWO_DETECTORS, [1], threads=0), ValueError, "^threads must be positive$"),
    (lambda: kelvo.compile(TWO_DETECTORS, [1], [1]), ValueError,
     "^postselection_mask has length 1, expected 2$"),
    (lambda: kelvo.compile(TWO_DETECTORS, [], [1], [0, 0]), ValueError,
     "^expected_detectors has length 1, expected 2$"),
    (lambda: kelvo.compile(TWO_DETECTORS, None, None, [0], True), ValueError,
     "^normalize_syndromes cannot be combined with expected_detectors or expected_observables$"),
    (lambda: C.compile(normalize_syndromes=True, expected_observables=[0, 1, 1]), ValueError,
     "^normalize_syndromes cannot be combined"),
    (lambda: C.compile(expected_observables=[0, 1]), ValueError,
     "^expected_observables has length 2, expected 1$"),
    (lambda: C.compile(backend="gPu", pin_measurements=[([0], True)]), ValueError,
     "^pinned measurement parities are a CPU-backend feature$"),
    (lambda: C.compile(backend="GPU"), RuntimeError, "gpu backend is not available"),
    (lambda: C.compile(backend="TPU\n"), ValueError, r"""^unknown backend "tpu\\n"; expected 'cpu' or 'gpu'$"""),
    (lambda: C.compile(backend=""), ValueError, '^unknown backend ""; '),
    # The backend quoted as a Rust debug string: C1 controls, format characters, separators,
    # private-use and unassigned code points escaped, other text as it is.
    (lambda: C.compile(backend="\x85\u200b\u2028\ue000\u0378 \xe9\u0301"), ValueError,
     r'^unknown backend "\\u\{85\}\\u\{200b\}\\u\{2028\}\\u\{e000\}\\u\{378\} \xe9\\u\{301\}"; '),
    # Refusals of the compiler.
    (lambda: kelvo.compile("PAULI_CHANNEL_1(0.5,0.5,0.5) 0"), ValueError,
     "^Pauli channel probabilities sum to more than 1$"),
    (lambda: kelvo.compile("HERALDED_PAULI_CHANNEL_1(0.5,0.2,0.2,0.2) 0"), ValueError,
     "^heralded channel probabilities sum to more than 1$"),
    (lambda: kelvo.compile("MPAD 0 2"), ValueError, "^MPAD targets must be 0 or 1$"),
    (lambda: kelvo.compile(TWO_DETECTORS, "ab", threads=-1), TypeError, "postselection_mask"),
    (lambda: kelvo.compile(TWO_DETECTORS, None, "ab", None, 1), TypeError, "expected_detectors"),
    (lambda: C.compile(None, expected_detectors="ab", normalize_syndromes=1), TypeError, "normalize_syndromes"),
    (lambda: C.compile(pin_measurements=[([-1], True)]), OverflowError, "pin_measurements"),
    (lambda: C.compile(gpu_chunk_shots=-1, threads=0), OverflowError, "gpu_chunk_shots"),
    (lambda: C.compile(backend=b"cpu"), TypeError, "backend"),
    (lambda: PROGRAM.sample(0), ValueError, "^shots must be positive$"),
    (lambda: PROGRAM.sample(-1), OverflowError, "shots"),
    (lambda: kelvo.sample(PROGRAM, 2**64), OverflowError, "shots"),
    (lambda: kelvo.sample(PROGRAM, 0, seed=-1), OverflowError, "seed"),
    (lambda: kelvo.sample(C, 1), TypeError, "program"),
    # Far more threads than chunks cost nothing; output beyond memory is refused before sampling.
    (lambda: kelvo.compile("M 0", threads=2**40).sample(2**64 - 1, seed=2**64 - 1), MemoryError, None),
    (lambda: kelvo.sample_survivors(PROGRAM, 1, None, 1), TypeError, "keep_records"),
    (lambda: kelvo.sample_survivors(PROGRAM, 0, None, True, bit_packed=0), TypeError, "bit_packed"),
    (lambda: kelvo.Program(), TypeError, "cannot create"),
    (lambda: kelvo.SampleResult(), TypeError, "cannot create"),
]


@pytest.mark.parametrize("index", range(len(ERRORS)))
def test_errors(index):
    call, error, pattern = ERRORS[index]
    with pytest.raises(error, match=pattern):
        call()


def test_programs_and_results():
    program = kelvo.compile(TEN, threads=1)
    assert repr(kelvo.compile("M 0")) == 'Program(backend="cpu", num_qubits=1, num_detectors=0, num_observables=0)'
    assert (program.backend, program.num_qubits, program.num_measurements, program.num_detectors,
            program.num_observables, program.num_exp_vals, program.observable,
            program.has_postselection) == ("cpu", 10, 10, 0, 0, 0, 0, False)
    start = time.perf_counter()
    a = program.sample(20, seed=5)
    elapsed = time.perf_counter() - start
    b = kelvo.sample(program, 20, seed=5)
    assert (a.measurements == b.measurements).all() and a.measurements.shape == (20, 10)
    assert (a.total_shots, a.passed_shots, a.discards) == (a.shots, a.accepted, a.discarded) == (20, 20, 0)
    assert repr(a) == "SampleResult(total_shots=20, passed_shots=20, discards=0, logical_errors=0)"
    assert (a.discard_rate, a.observable, a.bit_packed, a.active_threads) == (0.0, 0, False, 1)
    assert a.compile_s == b.compile_s > 0
    # One worker on the calling thread: its timers lie inside the call's, which lies inside ours.
    assert 0 <= a.presample_s and 0 <= a.execute_s and a.presample_s + a.execute_s <= a.sample_s
    assert 0 < a.sample_s <= elapsed
    packed = program.sample(20, seed=5, bit_packed=True)
    assert packed.measurements.shape == (20, 2) and packed.measurements.dtype == np.uint8
    assert (packed.measurements == np.packbits(a.measurements, axis=1, bitorder="little")).all()
    m, d, o = a
    assert m is a.measurements is a.measurements and d is a.detectors and o is a.observables
    assert d.shape == (20, 0) and o.shape == (20, 0) and a.exp_vals.shape == (20, 0)
    assert a.observable_ones.dtype == np.uint64 and a.observable_ones.shape == (0,)
    assert gc.is_tracked(a) and any(r is a.measurements for r in gc.get_referents(a))
    assert kelvo.compile(TEN, threads=2**40).sample(20, seed=5).active_threads == 1
    counts = kelvo.sample_survivors(program, 50, 3, keep_records=False, bit_packed=True)
    assert (counts.total_shots, counts.passed_shots, counts.bit_packed) == (50, 50, True)
    assert counts.measurements.shape[0] == 0 and counts.exp_vals.shape == (0, 0)


def test_results_of_a_magic_circuit():
    circuit = kelvo.Circuit(MAGIC)
    reference = circuit.reference_sample()
    assert len(reference.detectors) == 1 and reference.observables in ([False], [True])
    # Each read builds a new list of the same bits.
    known = kelvo.Circuit("X 0\nM 0 1\nDETECTOR rec[-2]\nDETECTOR rec[-1]\nOBSERVABLE_INCLUDE(1) rec[-2]")
    reference = known.reference_sample()
    first = reference.detectors
    assert first == [True, False] and reference.observables == [False, True]
    first.append(None)
    assert reference.detectors == [True, False] and reference.detectors is not reference.detectors
    result = circuit.compile(observable=0, threads=1).sample(1000, seed=1)
    assert result.exp_vals.dtype == np.float64 and result.exp_vals.shape == (1000, 1)
    assert result.logical_errors == result.observable_ones[0] == result.observables.sum()
    assert result.logical_error_rate == result.logical_errors / 1000
    # An observable index beyond the circuit's counts nothing.
    assert circuit.compile(observable=7).sample(100, seed=1).logical_errors == 0


def test_rates_of_no_passed_shots_are_nan():
    program = kelvo.compile("X 0\nM 0\nDETECTOR rec[-1]", [1])
    result = program.sample(10, seed=1)
    assert (result.passed_shots, result.discards, result.discard_rate) == (0, 10, 1.0)
    assert np.isnan(result.logical_error_rate) and result.measurements.shape == (0, 1)


def rows(result):
    return sorted(map(bytes, np.concatenate([result.measurements, result.detectors], axis=1)))


def test_same_seed_same_shots_at_every_thread_count():
    results = [kelvo.compile(MAGIC + "\n" + TEN.replace("M ", "MR "), threads=t, sample_chunk_shots=300,
                             batch_size=64).sample(3000, seed=9) for t in (1, 2, 4, 8)]
    assert [r.active_threads for r in results] == [1, 2, 4, 8]
    for r in results[1:]:
        assert (r.passed_shots, r.logical_errors, list(r.observable_ones)) == (
            results[0].passed_shots, results[0].logical_errors, list(results[0].observable_ones))
        assert rows(r) == rows(results[0])


def test_scalar_kernels_give_identical_arrays():
    script = ("import kelvo, hashlib, sys\n"
              f"r = kelvo.compile({MAGIC + chr(10) + TEN!r}).sample(5000, seed=4)\n"
              "print(hashlib.sha256(r.measurements.tobytes() + r.exp_vals.tobytes()).hexdigest())\n")
    digests = [subprocess.run([sys.executable, "-c", script], env={**os.environ, "KELVO_SIMD": level},
                              capture_output=True, text=True, check=True).stdout for level in ("scalar", "")]
    assert digests[0] == digests[1]


def test_sampling_releases_the_interpreter_lock_and_shares_programs():
    program = kelvo.compile(MAGIC, threads=1)
    ticks, stop = [0], threading.Event()

    def ticker():
        while not stop.is_set():
            ticks[0] += 1
            time.sleep(0.001)

    interval = sys.getswitchinterval()
    sys.setswitchinterval(100)  # the ticker runs only while this thread waits or releases the lock
    thread = threading.Thread(target=ticker)
    try:
        thread.start()
        time.sleep(0.05)
        before = ticks[0]
        program.sample(400_000, seed=1)
        during = ticks[0] - before
    finally:
        stop.set()
        sys.setswitchinterval(interval)
        thread.join()
    assert during > 0

    expected = [program.sample(20_000, seed=s).measurements for s in range(4)]
    got = {}
    workers = [threading.Thread(target=lambda s=s: got.__setitem__(s, program.sample(20_000, seed=s).measurements))
               for s in range(4)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    assert all((got[s] == expected[s]).all() for s in range(4))


def test_a_refused_worker_thread_is_an_error_that_leaves_the_program_usable():
    # Under an address-space limit just above what the process holds, most of 200 thread
    # stacks cannot be mapped: MemoryError with the system's text, the started workers joined,
    # and the program not poisoned.
    script = """
import os, resource, kelvo
program = kelvo.compile("H 0\\nM 0", threads=200, sample_chunk_shots=1)
program.sample(200, seed=1)  # every workspace built, while memory is plentiful
expected = program.sample(4, seed=9)
tasks = len(os.listdir("/proc/self/task"))
size = next(int(line.split()[1]) for line in open("/proc/self/status") if line.startswith("VmSize:"))
resource.setrlimit(resource.RLIMIT_AS, ((size << 10) + (48 << 20),) * 2)
# The workers that did start are stopped at once, or the first call would run for hours.
for call in (lambda: kelvo.sample_survivors(program, 10**11, keep_records=False),
             lambda: program.sample(200, seed=1)):
    try:
        call()
        print("sampled")
    except MemoryError as e:
        print(type(e).__name__, str(e).startswith("failed to spawn thread: "))
print(len(os.listdir("/proc/self/task")) == tasks)
again = program.sample(4, seed=9)
print(again.active_threads, (again.measurements == expected.measurements).all())
"""
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120,
                         env=dict(os.environ, OPENBLAS_NUM_THREADS="1"))
    assert run.returncode == 0, run.stderr
    assert run.stdout.split("\n") == ["MemoryError True", "MemoryError True", "True", "4 True", ""]
