"""The one accumulator of trajectory averages: every frame's curves counted in the core
(frames side by side on the pool), then added in frame order to one block average,
and the minimum-image limit of a simulation box."""

from __future__ import annotations

import math
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any, NamedTuple

from kelvara._kelvara import Structure, _frames_prdf

if TYPE_CHECKING:  # NumPy is imported on first use, so importing kelvara stays cheap
    import numpy as np

    from kelvara.trajectory.averaging import TrajectoryRdf

Pair = tuple[str, str]

# Keys of the curves that are block averaged.
TOTAL = ("total",)
G_TOTAL = ("g", "total")

#: The cutoff of trajectory RDFs when the box allows it (Angstrom).
DEFAULT_CUTOFF = 10.0


def half_box(structure: Structure) -> float:
    """Half the smallest height of the cell (Angstrom): the minimum-image limit. Within
    it every pair is met once; beyond it a pair is also met again through the periodic
    box, and in a simulation box those images are copies of the same atoms."""
    (a, b, c) = structure.lattice_matrix
    volume = structure.volume
    heights = [volume / math.sqrt(sum(x * x for x in _cross(u, v))) for u, v in ((b, c), (c, a), (a, b))]
    return 0.5 * min(heights)


def _cross(u: Sequence[float], v: Sequence[float]) -> tuple[float, float, float]:
    return (u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2], u[0] * v[1] - u[1] * v[0])


def box_cutoff(limit: float, bin_size: float, default: float) -> float:
    """The largest whole number of bins within `limit`, at most `default`: the cutoff
    of a simulation box when none is given. A box less than a bin across is refused."""
    if not (bin_size > 0 and math.isfinite(bin_size)):
        raise ValueError("bin_size must be positive and no larger than the cutoff")
    if limit >= default:
        return default
    n = math.floor(limit / bin_size)
    while n > 0 and n * bin_size > limit:
        n -= 1
    if n < 1:
        raise ValueError(f"half the smallest box height is {limit:.4g} A, less than one bin of "
                         f"{bin_size:g} A: the box is too small for these bins")
    return n * bin_size


def default_cutoff(structures: Sequence[Structure], bin_size: float) -> float:
    """The cutoff of a trajectory when none is given: `box_cutoff` of the smallest half
    box of `structures` (the first chunk of frames), at most `DEFAULT_CUTOFF`."""
    if not structures:
        return DEFAULT_CUTOFF
    return box_cutoff(min(half_box(s) for s in structures), bin_size, DEFAULT_CUTOFF)


def beyond_half_box(cutoff: float, limit: float, frame: int, what: str = "cutoff") -> str:
    """The warning for a cutoff past the minimum-image limit."""
    return (f"{what} {cutoff:g} A reaches beyond half the smallest box height ({limit:.4g} A, frame "
            f"{frame}), the minimum-image limit: pairs farther apart are copies of nearer ones seen "
            "through the periodic box and are counted again (each atom's own images are left out)")


class FrameCurves(NamedTuple):
    """One frame's RDF and what normalising it needs (plain data: it pickles)."""

    index: int
    r: np.ndarray
    partials: dict[Pair, np.ndarray]
    total: np.ndarray
    volume: float
    n_atoms: float
    composition: dict[str, float]
    half_box: float


def frame_curves(
    structures: Sequence[Structure],
    indices: Sequence[int],
    cutoff: float,
    bin_size: float,
    n_threads: int,
) -> list[FrameCurves]:
    """The RDF of every frame of a window, counted in the core with the frames side by
    side on the pool (the same bits for any thread count). A frame is a simulation
    box: each atom's own periodic images are left out."""
    counted = _frames_prdf(structures, cutoff, bin_size, n_threads, self_images=False)
    return [FrameCurves(i, *c, *frame_facts(s)) for s, i, c in zip(structures, indices, counted)]


def frame_facts(structure: Structure) -> tuple[float, float, dict[str, float], float]:
    """What the averaging needs to know of a frame besides its curves: its volume,
    atoms, composition and half box (the last four fields of ``FrameCurves``)."""
    return structure.volume, structure.n_atoms, structure.composition, half_box(structure)


class TrajectoryAverager:
    """The averages of windows of frames added in file order.

    Every frame's neighbour densities, its frame-normalised g(r) and its running
    coordination numbers go, in frame order, into one ``BlockAverage``, which gives
    the means, the spread of the total curve and the standard errors; the result does
    not depend on which process computed a window.
    """

    def __init__(self, bin_size: float, block_size: int | None = None, keep_frames: bool = False,
                 cutoff: float | None = None) -> None:
        import kelvara.analysis  # noqa: F401  (for add_window; imported here, while a caller may still read)
        from kelvara.trajectory.blocking import BlockAverage

        self.bin_size = float(bin_size)
        self.cutoff = cutoff
        self.blocks = BlockAverage(block_size, keep_frames)
        self.frame_indices: list[int] = []
        self.r: np.ndarray | None = None
        self.volumes: list[float] = []
        self.n_atoms: list[float] = []
        self.element_sums: dict[str, float] = {}
        self.limit = (math.inf, -1)  # the smallest half box and its frame
        self.warnings: list[str] = []

    @property
    def n_frames(self) -> int:
        """Frames added so far."""
        return len(self.frame_indices)

    def add_window(self, window: Sequence[FrameCurves]) -> None:
        """Add the frames of a window, the next in file order."""
        import numpy as np

        from kelvara.analysis import shell_volumes

        if not window:
            return
        if self.r is None:
            self.r = np.asarray(window[0].r, dtype=float)
        shells = shell_volumes(self.r, self.bin_size, self.cutoff)
        keys: dict[Any, int] = {}
        rows: list[list[tuple[int, np.ndarray]]] = []
        for frame in window:
            volume = frame.volume
            density = {el: amount / volume for el, amount in frame.composition.items()}
            curves: list[tuple[Any, np.ndarray]] = [
                (TOTAL, frame.total), (G_TOTAL, frame.total * (volume / frame.n_atoms))]
            for (a, b), curve in frame.partials.items():
                curves.append((("partial", a, b), curve))
                curves.append((("cn", a, b), np.cumsum(curve * shells)))
                rho = density.get(b, 0.0)
                if rho > 0:
                    curves.append((("g", a, b), curve / rho))
            rows.append([(keys.setdefault(key, len(keys)), curve) for key, curve in curves])
            self.frame_indices.append(frame.index)
            self.volumes.append(volume)
            self.n_atoms.append(frame.n_atoms)
            for el, rho in density.items():
                self.element_sums[el] = self.element_sums.get(el, 0.0) + rho
            self.limit = min(self.limit, (frame.half_box, frame.index))
        stacked = np.zeros((len(window), len(keys), len(self.r)))
        for f, frame_rows in enumerate(rows):
            for j, curve in frame_rows:
                stacked[f, j] = curve
        self.blocks.add_many(list(keys), stacked)

    def result(self) -> TrajectoryRdf:
        """The averages, spreads and errors of every frame added ("no frames to average"
        without any)."""
        import numpy as np

        from kelvara.trajectory.averaging import TrajectoryRdf

        means = self.blocks.mean()
        block_size, notes = self.blocks.choose([G_TOTAL], "g(r)")
        errors = self.blocks.standard_error(block_size)
        pairs = sorted(key[1:] for key in means if key[0] == "partial")
        zeros = np.zeros(len(self.r))

        def pick(source: dict[Any, np.ndarray], kind: str) -> dict[Pair, np.ndarray]:
            return {pair: source.get((kind, *pair), zeros) for pair in pairs}

        frames = self.blocks.frames()
        volumes = np.asarray(self.volumes)
        limit, frame = self.limit
        box_notes = ([beyond_half_box(self.cutoff, limit, frame)]
                     if self.cutoff is not None and self.cutoff > limit else [])
        return TrajectoryRdf(
            r=self.r,
            partials=pick(means, "partial"),
            total=means[TOTAL],
            total_std=self.blocks.spread()[TOTAL],
            frame_indices=list(self.frame_indices),
            bin_size=self.bin_size,
            g_partials=pick(means, "g"),
            g_total=means[G_TOTAL],
            partials_err=pick(errors, "partial"),
            total_err=errors[TOTAL],
            g_partials_err=pick(errors, "g"),
            g_total_err=errors[G_TOTAL],
            coordination=pick(means, "cn"),
            coordination_err=pick(errors, "cn"),
            block_size=block_size,
            blocking=self.blocks.levels([G_TOTAL]),
            densities=np.asarray(self.n_atoms) / volumes,
            volumes=volumes,
            element_densities={el: self.element_sums[el] / self.n_frames for el in sorted(self.element_sums)},
            frame_partials=None if frames is None else pick(frames, "partial"),
            frame_totals=None if frames is None else frames[TOTAL],
            cutoff=self.cutoff,
            minimum_image_limit=limit,
            warnings=self.warnings + box_notes + notes,
        )
