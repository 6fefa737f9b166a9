"""Bond-angle distributions: the angles j-i-k between pairs of neighbours of a centre
within a cutoff, counted in the core over all periodic images, for one structure or
averaged over the frames of a trajectory with block-averaged standard errors."""

from __future__ import annotations

import contextlib
import os
from dataclasses import dataclass, field
from typing import Any

import numpy as np

from kelvara._kelvara import Structure, _frames_bond_angles
from kelvara._records import short_repr

__all__ = ["BondAngles", "bond_angles"]


@dataclass(frozen=True, repr=False)
class BondAngles:
    """The distribution of the angles first-centre-second, both neighbours within a
    cutoff of the centre.

    Attributes:
        angles: bin centres in degrees (the last bin ends at 180).
        p: the fraction of the angles in each bin (sums to 1); for a trajectory the
            mean over the frames of each frame's fractions.
        p_err: for a trajectory, the standard error of `p` from block averaging over
            the frames (NaN with fewer than two blocks); None for one structure.
        edges: bin edges in degrees, 0 to 180.
        triplet: (first neighbour, centre, second neighbour) elements.
        cutoff: neighbours lie within this distance of the centre (Angstrom).
        angles_per_centre: angles around one centre atom (occupancy-weighted), over
            all frames.
        n_frames: frames averaged (1 for a structure).
        block_size: frames per block of the standard errors.
        warnings: what the caller should know (frames without any angle, a cutoff
            past the minimum-image limit, too few frames for blocking).
    """

    __repr__ = short_repr

    angles: np.ndarray
    p: np.ndarray
    p_err: np.ndarray | None
    edges: np.ndarray
    triplet: tuple[str, str, str]
    cutoff: float
    angles_per_centre: float
    n_frames: int = 1
    block_size: int = 1
    warnings: list[str] = field(default_factory=list)

    @property
    def mean(self) -> float:
        """The mean angle in degrees (from the bin centres)."""
        return float(np.dot(self.p, self.angles))


def _triplet(center: str, neighbours: str | tuple[str, str]) -> tuple[str, str, str]:
    if isinstance(neighbours, str):
        return neighbours, center, neighbours
    first, second = neighbours
    return first, center, second


def bond_angles(
    source: Any,
    center: str,
    neighbours: str | tuple[str, str],
    cutoff: float,
    bin_deg: float = 1.0,
    n_threads: int = 0,
    block_size: int | None = None,
    **frames: Any,
) -> BondAngles:
    """The distribution of the angles j-i-k at centres i of element `center` between
    two neighbours j and k within `cutoff` (Angstrom) of it, in bins of `bin_deg`
    degrees, over all periodic images.

    `neighbours` is one element (every unordered pair of distinct neighbours of that
    element: ``bond_angles(s, "Si", "O", 2.0)`` gives O-Si-O) or a pair of elements
    (first, second): every (first, second) pair of neighbours. Partial occupancies
    weigh an angle by the product of the three occupancies.

    `source` is a ``Structure``, or a trajectory: a path or a
    ``kelvara.trajectory.Frames`` selection (`frames` then takes the selection
    keywords of ``Frames``, e.g. ``every=10, types={1: "Si", 2: "O"}``). A
    trajectory's frames are counted side by side on the pool (the same bits for any
    `n_threads`); each is a simulation box, so no atom is its own neighbour through
    the box. The result is the mean over frames of each frame's fractions, with
    standard errors from block averaging (`block_size` frames per block, default
    chosen from the plateau of the blocked error).
    """
    first, centre, second = triplet = _triplet(center, neighbours)
    if isinstance(source, Structure):
        if frames:
            raise TypeError(f"frame selection ({', '.join(sorted(frames))}) applies to a trajectory, "
                            "not to one Structure")
        edges, (counts,) = _frames_bond_angles([source], centre, first, second, cutoff, bin_deg, n_threads)
        total = float(counts.sum())
        if total <= 0:
            raise ValueError(_none_found(triplet, cutoff))
        centres = source.composition.get(centre, 0.0)
        return BondAngles(0.5 * (edges[:-1] + edges[1:]), counts / total, None, edges, triplet,
                          float(cutoff), total / centres)
    return _trajectory_angles(source, triplet, cutoff, bin_deg, n_threads, block_size, frames)


def _none_found(triplet: tuple[str, str, str], cutoff: float) -> str:
    return f"no {'-'.join(triplet)} angles within {cutoff:g} A: no {triplet[1]} has two such neighbours"


def _trajectory_angles(source: Any, triplet: tuple[str, str, str], cutoff: float, bin_deg: float,
                       n_threads: int, block_size: int | None, selection: dict[str, Any]) -> BondAngles:
    from kelvara.trajectory.accumulate import beyond_half_box, half_box
    from kelvara.trajectory.averaging import Frames, _Windows, count_window
    from kelvara.trajectory.blocking import BlockAverage

    if isinstance(source, Frames):
        if selection:
            raise TypeError("give the frame selection in the Frames object, not as keywords")
    elif isinstance(source, (str, bytes, os.PathLike)):
        source = Frames(source, **selection)
    else:
        raise TypeError(f"expected a Structure, a trajectory path or a kelvara.trajectory.Frames "
                        f"selection, not {type(source).__name__}")
    first, centre, second = triplet
    reader, chunk = source.open()
    blocks = BlockAverage(block_size)
    notes: list[str] = []
    edges = None
    total = centres = 0.0
    empty: list[int] = []
    limit = (float("inf"), -1)

    def count(frames: list[Structure], threads: int) -> list[np.ndarray]:
        nonlocal edges
        edges, counts = _frames_bond_angles(frames, centre, first, second, cutoff, bin_deg, threads,
                                            self_images=False)
        return counts

    def add(indices: list[int], counts: list[np.ndarray]) -> None:
        nonlocal total
        sums = np.array([c.sum() for c in counts])
        kept = sums > 0
        empty.extend(i for i, k in zip(indices, kept) if not k)
        if kept.any():
            blocks.add_many(["p"], (np.array(counts)[kept] / sums[kept, None])[:, None, :])
        total += float(sums.sum())

    previous: tuple[list[int], list[np.ndarray]] = ([], [])
    with contextlib.closing(_Windows(reader, chunk, notes, n_threads, ramp=True)) as windows:
        for structures, indices in windows:
            # The Python work comes while the next window is read, beside it.
            add(*previous)
            centres += sum(s.composition.get(centre, 0.0) for s in structures)
            limit = min(limit, *((half_box(s), i) for s, i in zip(structures, indices)))
            previous = (indices, count_window(windows, structures, count))
            del structures  # freed before the next window is read
    add(*previous)
    if blocks.n == 0:
        raise ValueError(_none_found(triplet, cutoff) + " in any frame")
    if empty:
        notes.append(f"{len(empty)} frame(s) have no {'-'.join(triplet)} angle (the first: frame "
                     f"{empty[0]}) and are left out of the average")
    if cutoff > limit[0]:
        notes.append(beyond_half_box(cutoff, limit[0], limit[1]))
    size, more = blocks.choose(["p"], "the angle distribution")
    return BondAngles(0.5 * (edges[:-1] + edges[1:]), blocks.mean()["p"], blocks.standard_error(size)["p"],
                      edges, triplet, float(cutoff), total / centres if centres else 0.0, blocks.n, size,
                      notes + more)
