"""Sampling Clifford circuits against stim: detection-event and observable-flip rates, the
number of events per shot, and reference samples."""

import numpy as np
import pytest

import kelvo
from stats import rates_agree, two_sample_sigmas

stim = pytest.importorskip("stim")

SHOTS = 100_000
NOISE = dict(after_clifford_depolarization=0.004, before_round_data_depolarization=0.003,
             before_measure_flip_probability=0.002, after_reset_flip_probability=0.005)
CASES = [("repetition_code:memory", 5, 3), ("surface_code:rotated_memory_x", 3, 3),
         ("surface_code:rotated_memory_z", 3, 2), ("surface_code:unrotated_memory_x", 3, 2),
         ("surface_code:unrotated_memory_z", 3, 3), ("color_code:memory_xyz", 3, 3)]


def invert_some_measurements(circuit):
    """The flat circuit with every third target of each M/MR/MX inverted."""
    out = stim.Circuit()
    for inst in circuit.flattened():
        targets = inst.targets_copy()
        if inst.name in ("M", "MR", "MX"):
            targets = [stim.target_inv(t.value) if i % 3 == 1 else t for i, t in enumerate(targets)]
        out.append(inst.name, targets, inst.gate_args_copy())
    return out


def assert_samples_agree(circuit, normalize):
    program = kelvo.compile(str(circuit), normalize_syndromes=normalize, threads=2)
    ours = program.sample(SHOTS, seed=11)
    events, flips = circuit.compile_detector_sampler(seed=11).sample(SHOTS, separate_observables=True)
    assert rates_agree(ours.detectors.sum(axis=0), events.sum(axis=0), SHOTS)
    assert rates_agree(ours.observables.sum(axis=0), flips.sum(axis=0), SHOTS)
    assert list(ours.observable_ones) == list(ours.observables.sum(axis=0))
    per_shot = [dict(zip(*np.unique(d.sum(axis=1), return_counts=True))) for d in (ours.detectors, events)]
    assert two_sample_sigmas(*per_shot) < 5


@pytest.mark.parametrize("task,distance,rounds", CASES)
def test_detection_events_match_stim(task, distance, rounds):
    assert_samples_agree(stim.Circuit.generated(task, distance=distance, rounds=rounds, **NOISE), False)


def test_normalized_syndromes_of_inverted_measurements_match_stim():
    circuit = invert_some_measurements(
        stim.Circuit.generated("surface_code:rotated_memory_z", distance=3, rounds=3, **NOISE))
    assert any(circuit.reference_detector_and_observable_signs()[0])
    assert_samples_agree(circuit, True)


REFERENCE_CASES = [
    # Reset-measurements of inverted targets and feedback from a padded record are no noise.
    "MR !0\nM 0\nDETECTOR rec[-1]\nDETECTOR rec[-2]",
    "RX 0 1\nMRX !0 1\nMX 0 1\nDETECTOR rec[-2]\nDETECTOR rec[-4]\nOBSERVABLE_INCLUDE(2) rec[-1]",
    "MPAD 1\nCX rec[-1] 0\nM 0\nDETECTOR rec[-1]\nOBSERVABLE_INCLUDE(0) rec[-2]",
    # Noise of probability 1 stays noise: the reference ignores it.
    "X_ERROR(1) 0\nM 0\nDETECTOR rec[-1]\nM(1) 1\nDETECTOR rec[-1]",
    "",
]


@pytest.mark.parametrize("text", REFERENCE_CASES + [
    str(invert_some_measurements(stim.Circuit.generated(task, distance=3, rounds=2, **NOISE)))
    for task, _, _ in CASES])
def test_reference_sample_matches_stim(text):
    detectors, observables = stim.Circuit(text).reference_detector_and_observable_signs()
    reference = kelvo.Circuit(text).reference_sample()
    assert reference.detectors == list(detectors)
    assert reference.observables == list(observables)
