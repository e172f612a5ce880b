"""Detector postselection and pinned parities from Python: discarding shots against stim's samples
filtered on the same detectors, and pins that hold in every returned shot."""

import numpy as np
import pytest

import kelvo
from stats import rates_agree

stim = pytest.importorskip("stim")

SHOTS = 100_000
NOISE = dict(after_clifford_depolarization=0.004, before_round_data_depolarization=0.003,
             before_measure_flip_probability=0.002, after_reset_flip_probability=0.005)


def first_round_mask(circuit):
    """Nonzero for every detector of the first round (time coordinate 0)."""
    return [int(coords[-1] == 0) for _, coords in sorted(circuit.get_detector_coordinates().items())]


def as_discards(text, mask):
    """The circuit text with the masked DETECTOR lines written as DISCARD."""
    out, index = [], 0
    for line in text.splitlines():
        if line.lstrip().startswith("DETECTOR"):
            if mask[index]:
                line = line.replace("DETECTOR", "DISCARD", 1)
            index += 1
        out.append(line)
    return "\n".join(out)


@pytest.mark.parametrize("task,distance,rounds,form", [
    ("surface_code:rotated_memory_z", 3, 3, "mask"),
    ("repetition_code:memory", 5, 3, "discard"),
])
def test_postselection_matches_filtered_stim_samples(task, distance, rounds, form):
    circuit = stim.Circuit.generated(task, distance=distance, rounds=rounds, **NOISE).flattened()
    mask = first_round_mask(circuit)
    if form == "mask":
        program = kelvo.compile(str(circuit), postselection_mask=mask, threads=2, batch_size=300)
    else:
        program = kelvo.compile(as_discards(str(circuit), mask), threads=2, batch_size=300)
    ours = program.sample(SHOTS, seed=5)
    events, flips = circuit.compile_detector_sampler(seed=5).sample(SHOTS, separate_observables=True)
    kept = ~events[:, np.array(mask, dtype=bool)].any(axis=1)
    assert ours.total_shots == SHOTS and ours.passed_shots + ours.discards == SHOTS
    assert rates_agree([ours.discards], [int((~kept).sum())], SHOTS)
    # Accepted rows: the masked detectors are quiet; the others fire at stim's accepted rates.
    assert not ours.detectors[:, np.array(mask, dtype=bool)].any()
    n = min(ours.passed_shots, int(kept.sum()))
    assert rates_agree(ours.detectors[:n].sum(axis=0), events[kept][:n].sum(axis=0), n)
    assert rates_agree(ours.observables[:n].sum(axis=0), flips[kept][:n].sum(axis=0), n)
    counts = kelvo.sample_survivors(program, SHOTS, seed=5, keep_records=False)
    assert counts.discards == ours.discards and counts.passed_shots == ours.passed_shots


def test_pins_hold_in_every_shot_and_survivor():
    # Fair coins, a T-rotated pair and a discard between the two pinned measurements.
    text = "H 0 1\nT 0 1\nM 0\nH 2\nM 2\nDISCARD rec[-1]\nM 1\nH 3\nCX 3 4\nM 3 4"
    program = kelvo.compile(text, pin_measurements=[([0, 2], True), ([3], False)], threads=2)
    result = program.sample(20_000, seed=3)
    m = result.measurements
    assert result.discards > 0 and len(m) == result.passed_shots
    assert (m[:, 0] ^ m[:, 2]).all() and not m[:, 3].any() and not m[:, 4].any()
