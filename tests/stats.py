"""Statistical bounds for sampled distributions: how many standard deviations a chi-square
statistic lies above its mean (Wilson-Hilferty), bins with few expected counts pooled."""

from __future__ import annotations

import math


def _sigmas(chi2: float, df: int) -> float:
    if df <= 0:
        return 0.0
    c = 2 / (9 * df)
    return ((chi2 / df) ** (1 / 3) - (1 - c)) / math.sqrt(c)


def chi_square_sigmas(observed: dict, probabilities: dict, shots: int) -> float:
    """Counts of each outcome against exact probabilities. An outcome of probability 0 that
    occurs is infinitely unlikely."""
    if any(probabilities.get(k, 0.0) <= 1e-12 for k in observed):
        return math.inf
    bins, pooled_o, pooled_e = [], 0.0, 0.0
    for key, p in probabilities.items():
        e, o = p * shots, observed.get(key, 0)
        if e < 5:
            pooled_o, pooled_e = pooled_o + o, pooled_e + e
        else:
            bins.append((o, e))
    if pooled_e > 0:
        bins.append((pooled_o, pooled_e))
    chi2 = sum((o - e) ** 2 / e for o, e in bins)
    return _sigmas(chi2, len(bins) - 1)


def two_sample_sigmas(a: dict, b: dict) -> float:
    """Two histograms of equally many samples drawn from one distribution?"""
    bins, pooled = [], [0, 0]
    for key in set(a) | set(b):
        x, y = a.get(key, 0), b.get(key, 0)
        if x + y < 10:
            pooled[0] += x
            pooled[1] += y
        else:
            bins.append((x, y))
    if sum(pooled):
        bins.append(tuple(pooled))
    chi2 = sum((x - y) ** 2 / (x + y) for x, y in bins)
    return _sigmas(chi2, len(bins) - 1)


def rates_agree(ones_a, ones_b, shots: int, sigmas: float = 5.0) -> bool:
    """Per-column counts of ones from two equally large samples, each pair within `sigmas`."""
    for x, y in zip(ones_a, ones_b):
        p = (x + y) / (2 * shots)
        if abs(x - y) / shots > sigmas * math.sqrt(2 * p * (1 - p) / shots) + 1e-12:
            return False
    return True
