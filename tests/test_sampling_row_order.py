"""Rows, expectation values and counters of seeded calls are pinned bit for bit, for every
thread count: digests of arrays produced by an earlier, independently written merge (one thread
copying every worker's rows after the workers finished). Any change to where rows land, to
the chunk and batch seeds, or to the active-state kernels shows up here."""

import hashlib
import os
import subprocess
import sys

import numpy as np
import pytest

import kelvo

stim = pytest.importorskip("stim")

THREADS = (1, 2, 3, 8)
MODES = ("rows", "packed", "counts")


def surface_text():
    p = 0.01
    return str(stim.Circuit.generated(
        "surface_code:rotated_memory_z", distance=3, rounds=3, after_clifford_depolarization=p,
        before_round_data_depolarization=p, before_measure_flip_probability=p,
        after_reset_flip_probability=p))


def first_round_mask(text):
    coords = stim.Circuit(text).get_detector_coordinates()
    return [int(c[-1] == 0) for _, c in sorted(coords.items())]


def colour_t_text(p=0.01):
    """Steane |0>_L, T on every data qubit, a cat state (its root carrying an injected T)
    controlling X on every data qubit, T_DAG on every data qubit, every Z check and every
    uncomputed cat qubit a discarding detector."""
    data, cat = list(range(7)), list(range(7, 15))
    checks = [(0, 2, 4, 6), (1, 2, 5, 6), (3, 4, 5, 6)]
    q = lambda qs: " ".join(map(str, qs))
    lines = ["R " + q(data + cat), "H 0 1 3"]
    lines += [f"CX {c[0]} {t}" for c in ((0, 2, 4, 6), (1, 2, 5, 6), (3, 4, 5, 6)) for t in c[1:]]
    lines += [f"DEPOLARIZE1({p}) " + q(data), "T " + q(data), "H 7", "T 7"]
    lines += [f"CX 7 {t}" for t in cat[1:]]
    lines += [f"DEPOLARIZE1({p}) " + q(cat)]
    lines += [f"CX {c} {d}" for c, d in zip(cat, data)]
    lines += ["T_DAG " + q(data)]
    lines += [f"CX 7 {t}" for t in reversed(cat[1:])]
    lines += [f"X_ERROR({p}) " + q(data + cat), "M " + q(data + cat[1:]), "MX 7"]
    rec = lambda qubit: f"rec[{(data + cat[1:]).index(qubit) - 15}]"
    lines += ["DISCARD " + " ".join(rec(d) for d in c) for c in checks]
    lines += [f"DISCARD {rec(c)}" for c in cat[1:]]
    lines += ["OBSERVABLE_INCLUDE(0) rec[-1]", "OBSERVABLE_INCLUDE(1) " + " ".join(rec(d) for d in (0, 1, 2))]
    return "\n".join(lines)


def wide_text(n=10, discard=False):
    """A T-heavy circuit whose active state reaches n qubits, one mid-circuit measurement,
    noise, expectation values; with `discard`, that measurement postselects half the shots."""
    q = " ".join(map(str, range(n)))
    lines = ["H " + q]
    for layer in range(3):
        lines += ["T " + q] + [f"CX {i} {(i + 1) % n}" for i in range(n)] + ["H " + q]
        if layer == 0:
            lines += ["MX 0", "DISCARD rec[-1]" if discard else "DETECTOR rec[-1]"]
        lines += [f"DEPOLARIZE1(0.02) " + q]
    lines += ["EXP_VAL X0*X1 Z2 Y3*Z4", "MX " + q, "DETECTOR rec[-1] rec[-2]",
              "OBSERVABLE_INCLUDE(0) rec[-3]"]
    return "\n".join(lines)


PINS = "H 0 1\nT 0 1\nM 0\nH 2\nM 2\nDISCARD rec[-1]\nM 1\nH 3\nCX 3 4\nM 3 4"

# name -> (text, compile options, shots)
CASES = {
    "surface": (surface_text, dict(sample_chunk_shots=256, batch_size=100), 3000),
    "surface_defaults": (surface_text, {}, 20000),
    "surface_post": (surface_text, dict(sample_chunk_shots=256, batch_size=100, post=True), 3000),
    "colour_t": (colour_t_text, dict(sample_chunk_shots=200, batch_size=64), 2000),
    "pins": (lambda: PINS, dict(sample_chunk_shots=100, batch_size=30,
                               pin_measurements=[([0, 2], True), ([3], False)]), 1500),
    "wide": (wide_text, dict(sample_chunk_shots=40, batch_size=16), 300),
    "wide_post": (lambda: wide_text(discard=True), dict(sample_chunk_shots=40, batch_size=16), 300),
}


def digest(result):
    h = hashlib.sha256()
    for array in (result.measurements, result.detectors, result.observables, result.exp_vals,
                  result.observable_ones):
        h.update(str((array.shape, array.dtype.str)).encode())
        h.update(np.ascontiguousarray(array).tobytes())
    h.update(str((result.total_shots, result.discards, result.passed_shots,
                  result.logical_errors)).encode())
    return h.hexdigest()[:16]


def digests(names=tuple(CASES)):
    """Digest of every case, mode and thread count, keyed 'case/mode/threads'."""
    out = {}
    for name in names:
        make, options, shots = CASES[name]
        options = dict(options)
        text = make()
        if options.pop("post", False):
            options["postselection_mask"] = first_round_mask(text)
        for threads in THREADS:
            program = kelvo.compile(text, threads=threads, **options)
            for mode in MODES:
                result = kelvo.sample_survivors(program, shots, seed=11 + threads,
                                                keep_records=mode != "counts",
                                                bit_packed=mode == "packed")
                out[f"{name}/{mode}/{threads}"] = digest(result)
    return out


# Produced by the merge that copied rows on one thread after the workers, with the vector
# kernels.
REFERENCE = {
    'surface/rows/1': 'f1a951e35b96c693',
    'surface/packed/1': '454a951e14efc6ca',
    'surface/counts/1': '0d3ba6c4d451cc2a',
    'surface/rows/2': '0e6e3f310005b740',
    'surface/packed/2': '688269bc34fe684c',
    'surface/counts/2': 'e448d67a71be832e',
    'surface/rows/3': 'efd41612ce5ac7da',
    'surface/packed/3': '70b9c2f439b92f70',
    'surface/counts/3': 'd84c88734acc338c',
    'surface/rows/8': 'df27bc578b486235',
    'surface/packed/8': '6ddcb71380b76d19',
    'surface/counts/8': '758013753259b396',
    'surface_defaults/rows/1': 'e663fd0169e9dfd2',
    'surface_defaults/packed/1': 'f013bad04d7c729a',
    'surface_defaults/counts/1': '8ce7c2bdfd1bb3e2',
    'surface_defaults/rows/2': 'fa0f7f295cddc121',
    'surface_defaults/packed/2': 'a2db162eab47e1e1',
    'surface_defaults/counts/2': '6caa553f46542bb4',
    'surface_defaults/rows/3': '1ef58c7e2c2e3d57',
    'surface_defaults/packed/3': '644660edebc4e45d',
    'surface_defaults/counts/3': '33d9ec214a18399c',
    'surface_defaults/rows/8': 'e92187e261cdbd86',
    'surface_defaults/packed/8': 'f95c35659aedf7e7',
    'surface_defaults/counts/8': '29bbf109ebb3bd82',
    'surface_post/rows/1': '8e2cc2698029cbb1',
    'surface_post/packed/1': '00fba9c45d578918',
    'surface_post/counts/1': 'e64ff9c6ece84b77',
    'surface_post/rows/2': '17620e86e8fce5e8',
    'surface_post/packed/2': '6ceda64162fa268e',
    'surface_post/counts/2': '4d64f605676c551c',
    'surface_post/rows/3': 'df9b85aeeb1d225f',
    'surface_post/packed/3': '95365d40be41d821',
    'surface_post/counts/3': '3c4d86745e2dc76a',
    'surface_post/rows/8': '3f99fbc2f8a7c97f',
    'surface_post/packed/8': '178736bebcaa3c44',
    'surface_post/counts/8': 'a28e719cb89b753c',
    'colour_t/rows/1': 'a4d7f3de5d0372ea',
    'colour_t/packed/1': '569ec5ce7a521a5a',
    'colour_t/counts/1': 'f641b84f01c47309',
    'colour_t/rows/2': '4585573773631c10',
    'colour_t/packed/2': '4a8150e7352c2a5c',
    'colour_t/counts/2': '6786da71522f5156',
    'colour_t/rows/3': 'bf58f9e3d7df5d92',
    'colour_t/packed/3': '828d6e9ef810ee94',
    'colour_t/counts/3': '05da7592bdf1f00e',
    'colour_t/rows/8': 'de45ba3c769a5a61',
    'colour_t/packed/8': '3c7630b728e2b097',
    'colour_t/counts/8': 'b120b5bccb4bb55d',
    'pins/rows/1': 'e80069c3812918a6',
    'pins/packed/1': 'faa5f868a54d5957',
    'pins/counts/1': '9dee3856574c4df2',
    'pins/rows/2': 'f3c814a9d7f01012',
    'pins/packed/2': 'c255d8d9eb47ab95',
    'pins/counts/2': '30ef8aa18b31f992',
    'pins/rows/3': '4b60537f805c1496',
    'pins/packed/3': '872df76ac9c2a7f1',
    'pins/counts/3': 'dd6a9bc346c106df',
    'pins/rows/8': '881e885227e9122e',
    'pins/packed/8': '692d034fa1dd5615',
    'pins/counts/8': 'd0802d72dd91baf2',
    'wide/rows/1': 'b0619922f2238ea3',
    'wide/packed/1': '57a4ad128b1630cd',
    'wide/counts/1': '62ae9cd8061e098d',
    'wide/rows/2': 'a0f998f0769a4cc2',
    'wide/packed/2': '679260f109a2cd90',
    'wide/counts/2': '192e0a1b8b26d09a',
    'wide/rows/3': '66ce7504165401a5',
    'wide/packed/3': '2c7e877019a845ea',
    'wide/counts/3': '62ae9cd8061e098d',
    'wide/rows/8': '19159111c458612e',
    'wide/packed/8': '54da647625e57214',
    'wide/counts/8': 'dfe6b6b35c2a5fcc',
    'wide_post/rows/1': '2bacb5c30505ad74',
    'wide_post/packed/1': '2d23436af87640f9',
    'wide_post/counts/1': 'e30a1cd94e6fd5a4',
    'wide_post/rows/2': 'f8141e235a7f5f14',
    'wide_post/packed/2': '0420fc979f602863',
    'wide_post/counts/2': '54483de7e616c72d',
    'wide_post/rows/3': '4f1fc8f99e781ace',
    'wide_post/packed/3': '0670533364be01a7',
    'wide_post/counts/3': '29bc6e33e65dede5',
    'wide_post/rows/8': '92dc997857424adc',
    'wide_post/packed/8': 'f10795e1bb304c21',
    'wide_post/counts/8': '3f41c396ecef80c5',
}

# The scalar kernels sum probabilities in another order: expectation values differ in their
# last bits, everything else is the same.
SCALAR_REFERENCE = dict(REFERENCE, **{
    'wide/rows/1': 'f5d13d7e7f7328ea',
    'wide/packed/1': 'd1871af8f697e186',
    'wide/rows/2': '284293d1be0e0e75',
    'wide/packed/2': '91a568e5d2fa04ec',
    'wide/rows/3': '28367c8b133df306',
    'wide/packed/3': '8819d67ef764a7c8',
    'wide/rows/8': '596ec2eba4437929',
    'wide/packed/8': 'a0e3f26a4878cc4e',
    'wide_post/rows/1': '26845bfe49751c5e',
    'wide_post/packed/1': '8218c433b3312766',
    'wide_post/rows/2': 'bd7d66f83af3187b',
    'wide_post/packed/2': '2753cd5f524ad557',
    'wide_post/rows/3': '12259234698f2499',
    'wide_post/packed/3': '833bbec88450036a',
    'wide_post/rows/8': '0da786b9fd771fa3',
    'wide_post/packed/8': '3979b0c7c04596ed',
})


@pytest.mark.parametrize("name", list(CASES))
def test_seeded_calls_match_the_reference(name):
    level = os.environ.get("KELVO_SIMD", "")
    table = SCALAR_REFERENCE if level.isascii() and level.lower() == "scalar" else REFERENCE
    got = digests([name])
    want = {k: v for k, v in table.items() if k.startswith(name + "/")}
    assert len(want) == len(THREADS) * len(MODES)
    assert got == want


def test_scalar_kernels_match_the_reference():
    code = ("import sys; sys.path.insert(0, %r); import test_sampling_row_order as t; "
            "print(repr(t.digests(['colour_t', 'wide', 'wide_post'])))" % os.path.dirname(__file__))
    env = dict(os.environ, KELVO_SIMD="scalar")
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True,
                         check=True).stdout
    got = eval(out)
    assert got == {k: SCALAR_REFERENCE[k] for k in got} and len(got) == 3 * len(THREADS) * len(MODES)


def test_rows_follow_worker_order():
    # Worker w emits chunks w, w + W, ...: with 3 workers and no postselection the rows of
    # one thread's call regroup into those of three.
    make, options, shots = CASES["surface"]
    text, chunk = make(), options["sample_chunk_shots"]
    one = kelvo.compile(text, threads=1, **options).sample(shots, seed=4).measurements
    three = kelvo.compile(text, threads=3, **options).sample(shots, seed=4).measurements
    chunks = [one[c * chunk:(c + 1) * chunk] for c in range(-(-shots // chunk))]
    regrouped = np.concatenate([chunks[c] for w in range(3) for c in range(w, len(chunks), 3)])
    assert np.array_equal(three, regrouped)


if __name__ == "__main__":
    for key, value in digests().items():
        print(f"    {key!r}: {value!r},")
