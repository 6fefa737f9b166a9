"""Normalised curves, coordination numbers and shell positions on top of prdf."""

from __future__ import annotations

import numpy as np
import pytest
from conftest import FCC, cubic, nickel, rock_salt

from kelvara import Structure
from kelvara.analysis import (
    cumulative_count,
    first_minimum,
    first_peak,
    first_shell,
    normalised_partials,
    normalised_total,
    refine_peaks,
    shell_volumes,
)

DIAMOND = cubic(3.567, FCC + [[x + 0.25, y + 0.25, z + 0.25] for x, y, z in FCC], [{"C": 1.0}] * 8)
ROCK_SALT, NICKEL = rock_salt(), nickel()


@pytest.mark.parametrize(("cutoff", "bin_size"), [(4.0, 0.1), (5.03, 0.1), (2.0, 0.3), (0.7, 0.7)])
def test_shells_match_the_engine_grid(cutoff, bin_size):
    assert shell_volumes(np.arange(40) * 0.1, 0.1)[30] == 11.690913461558832  # [3.0, 3.1)
    s = cubic(3.0, [[0, 0, 0]], [{"X": 1.0}])
    r, _, total = s.prdf(cutoff=cutoff, bin_size=bin_size)
    _, counts, shells = s._pair_counts(cutoff=cutoff, bin_size=bin_size)
    np.testing.assert_array_equal(shell_volumes(r, bin_size, cutoff), shells)  # a last bin cut at the cutoff
    np.testing.assert_allclose(cumulative_count(total, r, bin_size, cutoff), np.cumsum(counts["X", "X"]),
                               rtol=1e-14)
    if cutoff == 4.0:
        assert cumulative_count(total, r, 0.1)[30] == pytest.approx(6.0, rel=1e-14)


@pytest.mark.parametrize(("s", "pair", "coordination", "distance"), [
    (DIAMOND, ("C", "C"), 4, 3.567 * np.sqrt(3) / 4),
    (ROCK_SALT, ("Na", "Cl"), 6, 5.64 / 2),
    (NICKEL, ("Ni", "Ni"), 12, 3.524 / np.sqrt(2)),
])
def test_first_shell_of_known_crystals(s, pair, coordination, distance):
    r, partials, _ = s.prdf(cutoff=6.0, bin_size=0.05)
    shell = first_shell(partials[pair], normalised_partials(partials, s)[pair], r, 0.05)
    assert shell.coordination == pytest.approx(coordination, rel=1e-12)
    assert abs(shell.peak_r - distance) <= 0.025 + 1e-12
    # Refined within the bin, to half a fine bin.
    peak = int(round(shell.peak_r / 0.05 - 0.5))
    assert abs(refine_peaks(s, {pair: peak}, 0.05)[pair] - distance) <= 0.5e-4 + 1e-12
    assert abs(refine_peaks(s, {pair: peak}, 0.05, subdivisions=10)[pair] - distance) <= 0.0025 + 1e-12


def test_refine_peaks_averages_the_pairs_in_the_bin():
    # Two distances in one 0.1 A bin, weighted 1 : 3 by occupancy; a pair without
    # weight in its bin keeps the bin centre.
    s = Structure(np.eye(3) * 20.0, [[0, 0, 0], [0.100525, 0, 0], [0, 0.104025, 0]],
                  [{"A": 1.0}, {"B": 0.25}, {"B": 0.75}])
    refined = refine_peaks(s, {("A", "B"): 20, ("A", "A"): 3}, 0.1, subdivisions=100)
    assert refined[("A", "B")] == pytest.approx(0.25 * 2.0105 + 0.75 * 2.0805, abs=1e-12)
    assert refined[("A", "A")] == pytest.approx(0.35)


def test_coordination_counts_up_to_the_minimum():
    # A broad peak at 2 A, a shallow dip, then a plateau: every bin holds neighbours.
    r = np.arange(80) * 0.05
    centres = r + 0.025
    density = 0.1 * np.exp(-(((centres - 2.0) / 0.2) ** 2)) + 0.02 * (centres > 2.6)
    shell = first_shell(density, density / 0.02, r, 0.05)
    assert 2.4 < shell.minimum_r < 2.75 and shell.peak_r == pytest.approx(2.025)
    inside = r + 0.05 <= shell.minimum_r + 1e-9
    shells = 4 / 3 * np.pi * ((r[inside] + 0.05) ** 3 - r[inside] ** 3)
    assert shell.coordination == pytest.approx(np.sum(density[inside] * shells), rel=1e-12)


def test_random_gas_approaches_one(rng):
    n = 4000
    # B half-filled: the bulk density counts atoms, not sites.
    s = Structure(np.eye(3) * 30.0, rng.random((n, 3)), [{"A": 1.0}] * (n // 2) + [{"B": 0.5}] * (n // 2))
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


@pytest.mark.parametrize(("curve", "peak", "minimum"), [
    ([0, 0, 3, 0, 0, 0, 2, 0], 2, 3),  # isolated spikes of a perfect crystal
    ([0, 1, 4, 4, 2, 1, 1.5, 3, 2], 3, 5),  # plateau: its last bin; then a dip
    ([0, 0.1, 5, 0.2, 6, 0], 2, 3),  # a lower first peak still counts
    ([0, 5, 4, 3, 2, 1], 1, None),  # falls to its end
    ([0.0, 0.0], None, None),  # empty
])
def test_first_peak_and_minimum(curve, peak, minimum):
    assert first_peak(curve) == peak
    if peak is not None:
        assert first_minimum(curve, peak, smooth=1) == minimum


def test_result_records_print_short():
    from kelvara.batch import RdfRecord
    from kelvara.pdf import structure_factor, total_pdf

    r, partials, total = ROCK_SALT.prdf(cutoff=30.0, bin_size=0.001)
    records = [RdfRecord("x.cif", r, partials, total, elements=["Cl", "Na"]),
               total_pdf(ROCK_SALT, r_max=30.0), structure_factor(ROCK_SALT)]
    for record in records:
        text = repr(record)
        assert len(text) < 400 and "<array (" in text, text
    assert repr(records[0]).startswith("RdfRecord(path='x.cif', r=<array (30000,) 0..30>")
