"""Curves the way the field reads them, computed from the engine's arrays.

``Structure.prdf`` returns neighbour densities per spherical shell (atoms per
cubic Angstrom, not divided by the bulk density) on left bin edges. The helpers
here turn them into bin centres, g(r) that tends to 1, running coordination
numbers and the first peak and minimum of a curve, located to a fraction of a
bin by `refine_peaks`.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import TYPE_CHECKING

import numpy as np
import numpy.typing as npt

from kelvara.angles import BondAngles, bond_angles  # noqa: F401  (bond-angle distributions)

if TYPE_CHECKING:
    from kelvara._kelvara import Structure
    from kelvara.trajectory import TrajectoryRdf

FloatArray = npt.NDArray[np.float64]

def bin_edges(r: npt.ArrayLike, bin_size: float) -> FloatArray:
    """The n + 1 bin edges k * bin_size behind n left edges `r`."""
    n = len(np.asarray(r))
    return np.arange(n + 1, dtype=np.float64) * float(bin_size)


def bin_centres(r: npt.ArrayLike, bin_size: float) -> FloatArray:
    """Centre of every bin: left edge plus half a bin."""
    edges = bin_edges(r, bin_size)
    return 0.5 * (edges[:-1] + edges[1:])


def shell_volumes(r: npt.ArrayLike, bin_size: float, cutoff: float | None = None) -> FloatArray:
    """Volume of every spherical shell, as the engine normalises by it: with the
    `cutoff` of the curves, a last bin reaching past it keeps only its part inside."""
    from kelvara._kelvara import _shell_volumes

    return _shell_volumes(len(np.asarray(r)), float(bin_size), cutoff)


def number_density(structure: Structure) -> float:
    """Bulk number density ``n_atoms / volume`` in atoms per cubic Angstrom: the value
    the total curve approaches at large r."""
    return structure.n_atoms / structure.volume


def partner_densities(structure: Structure) -> dict[str, float]:
    """Number density of every element (summed occupancy per cubic Angstrom): the
    value its partial curves approach at large r."""
    volume = structure.volume
    return {element: amount / volume for element, amount in structure.composition.items()}


def normalised_partials(
    partials: dict[tuple[str, str], FloatArray], structure: Structure
) -> dict[tuple[str, str], FloatArray]:
    """g_ab(r): each partial divided by the density of its neighbour element b,
    so that the curves approach 1 at large r in a homogeneous structure."""
    density = partner_densities(structure)
    out = {}
    for (centre, neighbour), curve in partials.items():
        rho = density.get(neighbour, 0.0)
        out[(centre, neighbour)] = np.asarray(curve) / rho if rho > 0 else np.zeros_like(curve)
    return out


def normalised_total(total: npt.ArrayLike, structure: Structure) -> FloatArray:
    """g(r) of the total curve: divided by the bulk density n_atoms / volume."""
    return np.asarray(total, dtype=np.float64) / number_density(structure)


def cumulative_count(curve: npt.ArrayLike, r: npt.ArrayLike, bin_size: float,
                     cutoff: float | None = None) -> FloatArray:
    """Running coordination number: neighbours within the right edge of each bin,
    the sum of density times shell volume (the curve must be a density, as the
    engine returns it; give the `cutoff` when it is not a multiple of bin_size)."""
    return np.cumsum(np.asarray(curve, dtype=np.float64) * shell_volumes(r, bin_size, cutoff))


def first_peak(curve: npt.ArrayLike, threshold: float = 0.3) -> int | None:
    """Index of the first local maximum that reaches `threshold` times the curve's
    maximum, or None for a curve without positive values."""
    y = np.asarray(curve, dtype=np.float64)
    if y.size == 0 or not np.any(y > 0):
        return None
    limit = threshold * float(y.max())
    for k in range(y.size):
        if y[k] >= limit and (k == 0 or y[k] >= y[k - 1]) and (k + 1 == y.size or y[k] >= y[k + 1]):
            # On a plateau take its last bin, where the curve starts to fall.
            while k + 1 < y.size and y[k + 1] == y[k]:
                k += 1
            return k
    return int(np.argmax(y))


def first_minimum(curve: npt.ArrayLike, peak: int, smooth: int = 5) -> int | None:
    """Index of the first minimum after `peak`: the first bin after it where the
    (lightly smoothed) curve stops falling. None when the curve falls to its end."""
    y = np.asarray(curve, dtype=np.float64)
    if smooth > 1 and y.size >= smooth:
        y = np.convolve(y, np.ones(smooth) / smooth, mode="same")
        # Smoothing spreads a sharp peak; start after the smoothed maximum nearby.
        window = slice(peak, min(y.size, peak + smooth))
        peak = peak + int(np.argmax(y[window]))
    for k in range(peak + 1, y.size - 1):
        if y[k] <= y[k + 1] and y[k] < y[peak]:
            return k
    return None


@dataclass(frozen=True)
class ShellSummary:
    """First coordination shell of one curve."""

    peak_r: float
    """Centre of the bin holding the first peak, in Angstrom (for a trajectory, the
    vertex of the parabola through that bin and its two neighbours)."""
    peak_g: float
    """Normalised g(r) at the first peak (dimensionless)."""
    minimum_r: float | None
    """Right edge of the bin at the first minimum, in Angstrom (None if not found)."""
    coordination: float | None
    """Neighbours within the first minimum (None if not found)."""
    peak_r_err: float | None = None
    """For a trajectory: standard error of `peak_r`, from the block-averaged errors of
    g(r) in the three bins (taken as independent)."""
    peak_g_err: float | None = None
    """For a trajectory: block-averaged standard error of `peak_g`."""
    coordination_err: float | None = None
    """For a trajectory: block-averaged standard error of `coordination` (the running
    coordination number of every frame is blocked at the first minimum)."""


def first_shell(
    density_curve: npt.ArrayLike | TrajectoryRdf, g_curve: npt.ArrayLike | tuple[str, str] | None = None,
    r: npt.ArrayLike | None = None, bin_size: float | None = None,
) -> ShellSummary | dict[tuple[str, str], ShellSummary | None] | None:
    """First peak, first minimum and the coordination number up to it.

    ``first_shell(density, g, r, bin_size)`` for one curve (a neighbour density and
    its g(r)); ``first_shell(result)`` for every pair of a ``TrajectoryRdf`` (a dict),
    or ``first_shell(result, ("Si", "O"))`` for one, with block-averaged standard
    errors. None where a curve has no neighbours."""
    if hasattr(density_curve, "coordination_err"):
        result = density_curve
        if g_curve is None:
            return {pair: _trajectory_shell(result, pair) for pair in result.partials}
        return _trajectory_shell(result, tuple(g_curve))
    peak = first_peak(g_curve)
    if peak is None:
        return None
    centres = bin_centres(r, bin_size)
    minimum = first_minimum(density_curve, peak)
    if minimum is None:
        return ShellSummary(float(centres[peak]), float(np.asarray(g_curve)[peak]), None, None)
    counts = cumulative_count(density_curve, r, bin_size)
    return ShellSummary(
        float(centres[peak]),
        float(np.asarray(g_curve)[peak]),
        float(bin_edges(r, bin_size)[minimum + 1]),
        float(counts[minimum]),
    )


def _trajectory_shell(result: TrajectoryRdf, pair: tuple[str, str]) -> ShellSummary | None:
    if pair not in result.partials:
        raise KeyError(f"{pair[0]}-{pair[1]} is not a pair of this trajectory's elements")
    g, g_err = result.g_partials[pair], result.g_partials_err[pair]
    peak = first_peak(g)
    if peak is None:
        return None
    h = result.bin_size
    centre = (peak + 0.5) * h
    r_peak, r_err = centre, None
    if 0 < peak < len(g) - 1:
        # The vertex of the parabola through the three bins, and its error from theirs.
        def vertex(y0: float, y1: float, y2: float) -> float:
            curvature = y0 - 2.0 * y1 + y2
            return centre + 0.5 * h * (y0 - y2) / curvature if curvature < 0 else centre

        y = [float(v) for v in g[peak - 1 : peak + 2]]
        r_peak = vertex(*y)
        sq = 0.0
        for k in range(3):
            step = max(abs(y[k]), 1.0) * 1e-6
            moved = list(y)
            moved[k] += step
            sq += ((vertex(*moved) - r_peak) / step * float(g_err[peak - 1 + k])) ** 2
        r_err = math.sqrt(sq)
    minimum = first_minimum(result.partials[pair], peak)
    if minimum is None:
        return ShellSummary(r_peak, float(g[peak]), None, None, r_err, float(g_err[peak]))
    return ShellSummary(r_peak, float(g[peak]), float((minimum + 1) * h),
                        float(result.coordination[pair][minimum]), r_err, float(g_err[peak]),
                        float(result.coordination_err[pair][minimum]))


def refine_peaks(
    structure: Structure,
    peaks: dict[tuple[str, str], int],
    bin_size: float,
    subdivisions: int | None = None,
    n_threads: int = 0,
) -> dict[tuple[str, str], float]:
    """Sub-bin positions of peaks found on a grid of `bin_size`.

    `peaks` maps an element pair to the index of the bin holding its peak. One more
    pair pass, with bins `subdivisions` times finer and a cutoff just past the
    farthest of those bins, gives the mean distance of the pairs inside each peak
    bin (to within bin_size / subdivisions): 2.820 A for the nearest Na-Cl pairs of
    rock salt, where the bin of 0.1 A holding them is centred on 2.85 A. A pair
    with no weight in its bin keeps the bin centre. By default the fine bins are
    1e-4 A wide, made coarser where the fine curves would hold over 4 million values.
    """
    if not peaks:
        return {}
    if subdivisions is None:
        n_curves = len(structure.elements) ** 2
        subdivisions = max(1, min(round(bin_size / 1e-4),
                                  4_000_000 // (n_curves * (max(peaks.values()) + 1))))
    fine = bin_size / subdivisions
    top = (max(peaks.values()) + 1) * subdivisions + 1
    r, counts, _ = structure._pair_counts(cutoff=top * fine, bin_size=fine, n_threads=n_threads)
    centres = bin_centres(r, fine)
    out = {}
    for pair, k in peaks.items():
        window = slice(k * subdivisions, (k + 1) * subdivisions)
        weight = counts[pair][window]
        total = float(weight.sum())
        out[pair] = float((weight * centres[window]).sum() / total) if total > 0 else (k + 0.5) * bin_size
    return out


# Short-range order lives beside the curves it is read with.
from kelvara.sro import ShortRangeOrder, warren_cowley  # noqa: E402
