"""Warren-Cowley short-range order parameters, counted per neighbour shell by the RDF
engine's pair pass.

alpha_ij(k) = 1 - P(j | i, k) / c_j, with P(j | i, k) the share of j among the
neighbours of i atoms in shell k and c_j the share of j among the atoms counted: 0 for
a random arrangement, negative where i attracts j, up to 1 where it repels it.
"""

from __future__ import annotations

import warnings
from collections.abc import Iterable, Sequence
from typing import TYPE_CHECKING, Any

import numpy as np

if TYPE_CHECKING:
    from kelvara._kelvara import Structure

__all__ = ["ShortRangeOrder", "warren_cowley"]


class ShortRangeOrder(dict):
    """``{(i, j): [alpha per shell]}`` in element order, with the shells used.

    Attributes:
        radii: distance of each shell in Angstrom (its shortest pair, to 0.0005 A when
            found from a structure; as given otherwise).
        bounds: 0, then the upper end of each shell: shell k holds the pairs with
            bounds[k] <= d < bounds[k + 1].
        n_frames: structures averaged over (their pair counts are summed).
        note: why the values mean less than they seem (occupancy-weighted input), or "".
    """

    radii: list[float]
    bounds: list[float]
    n_frames: int
    note: str


_DISORDERED_NOTE = ("the structure has partial occupancies: its pair counts are weighted by "
                    "them, so alpha is 0 by construction on a site that mixes elements; expand "
                    "it first (Structure.expand_occupancies) to measure an ordering")


def _bounds_from_radii(radii: Sequence[float]) -> list[float]:
    radii = [float(r) for r in radii]
    if not radii or any(not (b > a) for a, b in zip([0.0] + radii, radii)):
        raise ValueError("radii must be positive shell distances in increasing order")
    gaps = [b - a for a, b in zip(radii, radii[1:])] or [0.2 * radii[0]]
    return [0.0] + [0.5 * (a + b) for a, b in zip(radii, radii[1:])] + [radii[-1] + 0.5 * gaps[-1]]


def _selected(structure: Structure, elements: set[str] | None) -> Structure:
    """The sites that hold one of `elements` (all sites when None)."""
    if elements is None:
        return structure
    from kelvara._kelvara import Structure as _Structure

    keep = [i for i, sp in enumerate(structure.species) if elements.intersection(sp)]
    if not keep:
        raise ValueError(f"no site holds any of {', '.join(sorted(elements))}")
    frac = structure.frac_coords
    return _Structure(structure.lattice_matrix, [frac[i] for i in keep],
                      [{e: o for e, o in structure.species[i].items() if e in elements} for i in keep])


def _frames(source: Any) -> Iterable[Structure]:
    from kelvara._kelvara import Structure as _Structure

    if isinstance(source, _Structure):
        return [source]
    from kelvara.trajectory import Frames

    if isinstance(source, Frames):
        reader, _ = source.open()
        return (frame for _, frame in reader)
    return source


def warren_cowley(
    structure: Any,
    shells: int = 3,
    *,
    radii: Sequence[float] | None = None,
    parent: Structure | None = None,
    elements: Iterable[str] | None = None,
    n_threads: int = 0,
) -> ShortRangeOrder:
    """Warren-Cowley alpha per neighbour shell for every pair of elements.

    `structure` is a ``Structure``, a ``kelvara.trajectory.Frames`` selection or any
    iterable of structures (their pair counts are summed, so the result is the frame
    average weighted by pairs). The shells are the first `shells` distinct pair
    distances between the sites counted: found in `parent` when given (the
    disordered structure a model was expanded from), else in the (first) structure;
    or given as `radii`, the shell distances in Angstrom (needed for frames with
    thermal motion, where distances do not group into shells). `elements` restricts
    the count to the sites holding those elements (one sublattice: ``("Ba", "Sr")``
    for the A site of a perovskite); the shares c_j are then taken among those sites.

    Returns a ``ShortRangeOrder`` dict ``{(i, j): [alpha per shell]}`` (NaN where i
    has no neighbour in a shell), with ``radii`` and ``bounds``. A structure with
    partial occupancies gives alpha = 0 by construction on its mixed sites; that is
    said in ``note`` and as a UserWarning.
    """
    chosen = None if elements is None else {str(e) for e in elements}
    if isinstance(shells, bool) or not isinstance(shells, (int, np.integer)) or shells < 1:
        raise ValueError(f"shells must be a whole number of at least 1, not {shells!r}")
    bounds: list[float] | None = _bounds_from_radii(radii) if radii is not None else None
    shell_radii = [float(r) for r in radii] if radii is not None else []
    if bounds is None and parent is not None:
        shell_radii, bounds = _selected(parent, chosen)._neighbour_shells(int(shells), n_threads=n_threads)

    total: dict[tuple[str, str], np.ndarray] = {}
    amounts: dict[str, float] = {}
    n_frames, disordered = 0, False
    for frame in _frames(structure):
        part = _selected(frame, chosen)
        if bounds is None:
            shell_radii, bounds = part._neighbour_shells(int(shells), n_threads=n_threads)
        names, flat = part._shell_pair_counts(bounds, n_threads=n_threads)
        counts = np.asarray(flat).reshape(len(names), len(names), len(bounds) - 1)
        for p, a in enumerate(names):
            for q, b in enumerate(names):
                total[(a, b)] = total.get((a, b), 0.0) + counts[p, q]
        for element, amount in part.composition.items():
            amounts[element] = amounts.get(element, 0.0) + amount
        disordered |= not part.is_ordered
        n_frames += 1
    if n_frames == 0:
        raise ValueError("no structure to count: the frame selection is empty")

    names = sorted(amounts, key=lambda e: e.encode())
    n_total = sum(amounts.values())
    result = ShortRangeOrder()
    with np.errstate(divide="ignore", invalid="ignore"):
        for a in names:
            around = sum(total.get((a, c), 0.0) for c in names)
            for b in names:
                share = amounts[b] / n_total
                alpha = 1.0 - total.get((a, b), 0.0) / around / share
                result[(a, b)] = [float(x) if np.isfinite(x) else float("nan") for x in np.atleast_1d(alpha)]
    result.radii, result.bounds, result.n_frames = list(shell_radii), list(bounds or []), n_frames
    result.note = _DISORDERED_NOTE if disordered else ""
    if disordered:
        warnings.warn(_DISORDERED_NOTE, UserWarning, stacklevel=2)
    return result
