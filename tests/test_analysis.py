"""Normalised curves, coordination numbers and shell positions on top of prdf."""

from __future__ import annotations

import numpy as np
import pytest
from conftest import cubic

from kelvara import Structure
from kelvara.analysis import (
    bin_centres,
    cumulative_count,
    first_minimum,
    first_peak,
    first_shell,
    normalised_partials,
    normalised_total,
    shell_volumes,
)

FCC = [[0, 0, 0], [0, 0.5, 0.5], [0.5, 0, 0.5], [0.5, 0.5, 0]]


def diamond(a: float = 3.567) -> Structure:
    frac = FCC + [[x + 0.25, y + 0.25, z + 0.25] for x, y, z in FCC]
    return cubic(a, frac, [{"C": 1.0}] * 8)


def rock_salt(a: float = 5.64) -> Structure:
    return cubic(a, FCC + [[(x + 0.5) % 1, y, z] for x, y, z in FCC], [{"Na": 1.0}] * 4 + [{"Cl": 1.0}] * 4)


def fcc_nickel(a: float = 3.524) -> Structure:
    return cubic(a, FCC, [{"Ni": 1.0}] * 4)


def test_centres_and_shells_match_the_engine_grid():
    r = np.arange(40) * 0.1
    assert np.allclose(bin_centres(r, 0.1), r + 0.05)
    volumes = shell_volumes(r, 0.1)
    assert volumes[30] == 11.690913461558832  # the engine's shell for [3.0, 3.1)
    s = cubic(3.0, [[0, 0, 0]], [{"X": 1.0}])
    r, _, total = s.prdf(cutoff=4.0, bin_size=0.1)
    assert cumulative_count(total, r, 0.1)[30] == pytest.approx(6.0, rel=1e-14)


@pytest.mark.parametrize(
    ("build", "pair", "coordination", "distance"),
    [
        (diamond, ("C", "C"), 4, 3.567 * np.sqrt(3) / 4),
        (rock_salt, ("Na", "Cl"), 6, 5.64 / 2),
        (rock_salt, ("Cl", "Na"), 6, 5.64 / 2),
        (fcc_nickel, ("Ni", "Ni"), 12, 3.524 / np.sqrt(2)),
    ],
)
def test_first_shell_of_known_crystals(build, pair, coordination, distance):
    s = build()
    r, partials, _ = s.prdf(cutoff=6.0, bin_size=0.05)
    g = normalised_partials(partials, s)
    shell = first_shell(partials[pair], g[pair], r, 0.05)
    assert shell is not None
    assert shell.coordination == pytest.approx(coordination, rel=1e-12)
    assert abs(shell.peak_r - distance) <= 0.025 + 1e-12


def test_random_gas_approaches_one(rng):
    n = 4000
    s = Structure(np.eye(3) * 30.0, rng.random((n, 3)), [{"A": 1.0}] * (n // 2) + [{"B": 1.0}] * (n // 2))
    r, partials, total = s.prdf(cutoff=8.0, bin_size=0.5)
    far = r >= 3.0
    assert np.allclose(normalised_total(total, s)[far], 1.0, atol=0.08)
    for curve in normalised_partials(partials, s).values():
        assert np.allclose(curve[far], 1.0, atol=0.12)


def test_zero_density_partner_gives_zero_curve():
    s = cubic(4.0, [[0, 0, 0], [0.5, 0.5, 0.5]], [{"A": 1.0}, {"B": 0.0}])
    r, partials, _ = s.prdf(cutoff=5.0, bin_size=0.1)
    g = normalised_partials(partials, s)
    assert not np.any(g[("A", "B")]) and not np.any(np.isnan(g[("A", "B")]))


@pytest.mark.parametrize(
    ("curve", "peak", "minimum"),
    [
        ([0, 0, 3, 0, 0, 0, 2, 0], 2, 3),            # isolated spikes of a perfect crystal
        ([0, 1, 4, 4, 2, 1, 1.5, 3, 2], 3, 5),       # plateau: its last bin; then a dip
        ([0, 0.1, 5, 0.2, 6, 0], 2, 3),              # a lower first peak still counts
    ],
)
def test_first_peak_and_minimum(curve, peak, minimum):
    assert first_peak(curve) == peak
    assert first_minimum(curve, peak, smooth=1) == minimum


def test_peak_of_empty_curve_and_monotone_tail():
    assert first_peak([0.0, 0.0]) is None
    assert first_minimum([0, 5, 4, 3, 2, 1], 1, smooth=1) is None
