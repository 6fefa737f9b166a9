"""RDFs averaged over the frames of a trajectory, read a chunk at a time, with
standard errors from block averaging."""

from __future__ import annotations

import contextlib
import operator
import os
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, NamedTuple

from kelvara._kelvara import Structure, TrajectoryReader
from kelvara._records import short_repr
from kelvara.trajectory.formats import NATIVE_FORMATS, open_trajectory, trajectory_format

if TYPE_CHECKING:  # NumPy is imported on first use, so importing kelvara stays cheap
    import numpy as np

    from kelvara.trajectory.blocking import BlockingLevel

__all__ = ["Frames", "TrajectoryRdf", "trajectory_rdf"]

# Keys of the curves that are block averaged.
_TOTAL = ("total",)
_G_TOTAL = ("g", "total")

Pair = tuple[str, str]


@dataclass(frozen=True)
class Frames:
    """A selection of the frames of a trajectory file, for the functions that take a
    trajectory where they take a structure (``kelvara.pdf.total_pdf``,
    ``structure_factor``): ``Frames("md.lammpstrj", every=10, types={1: "Si", 2: "O"})``.
    The fields mean what the arguments of ``trajectory_rdf`` of the same names mean."""

    path: str | os.PathLike[str] | bytes
    every: int = 1
    start: int = 0
    stop: int | None = None
    fmt: str | None = None
    types: dict[Any, str] | None = None
    cell: Any = None
    topology: str | os.PathLike[str] | None = None
    chunk: int = 64


@dataclass(frozen=True, repr=False)
class TrajectoryRdf:
    """Frame-averaged partial and total RDFs of a trajectory, with standard errors.

    Attributes:
        r: left bin edges in Angstrom, as returned by ``Structure.prdf``.
        partials: ``(A, B) -> curve`` averaged over the frames (neighbour densities,
            atoms/A^3, as ``prdf`` returns them), keys in element order. A pair absent
            from some frames (their element sets differ) counts as a zero curve in
            those frames, so every curve is a sum over all frames divided by ``n_frames``.
        total: the total curve averaged over the frames.
        total_std: the population standard deviation (ddof=0) of the per-frame total
            curves, bin by bin; zeros for a single frame.
        frame_indices: 0-based file indices of the frames used, in file order.
        bin_size: the bin width in Angstrom.
        g_partials: ``(A, B) -> g_AB(r)`` normalised frame by frame (each frame's
            partial divided by that frame's density of B, then averaged), so the
            curves tend to 1 also when the cell changes from frame to frame.
        g_total: the total g(r), normalised frame by frame by n_atoms / volume.
        partials_err, total_err, g_partials_err, g_total_err: the standard error of
            each mean, from block averaging over frames with ``block_size`` frames per
            block (NaN when there are fewer than two blocks).
        block_size: frames per block: given, or chosen where the blocked standard
            error of ``g_total`` reaches its plateau (see ``blocking``).
        blocking: the blocking table behind the choice: block sizes 1, 2, 4, ... with
            their block count and the rms standard error of ``g_total``.
        densities: number density n_atoms / volume of every frame (atoms/A^3).
        volumes: cell volume of every frame (A^3).
        element_densities: mean number density of every element over the frames.
        frame_partials, frame_totals: with ``frames=True``, every frame's curves
            (``[frame, bin]`` arrays); otherwise None.
        warnings: what the caller should know (too few frames for blocking, no
            plateau, a file that grew while it was read).
    """

    __repr__ = short_repr

    r: np.ndarray
    partials: dict[Pair, np.ndarray]
    total: np.ndarray
    total_std: np.ndarray
    frame_indices: list[int] = field(default_factory=list)
    bin_size: float = 0.0
    g_partials: dict[Pair, np.ndarray] = field(default_factory=dict)
    g_total: np.ndarray | None = None
    partials_err: dict[Pair, np.ndarray] = field(default_factory=dict)
    total_err: np.ndarray | None = None
    g_partials_err: dict[Pair, np.ndarray] = field(default_factory=dict)
    g_total_err: np.ndarray | None = None
    block_size: int = 1
    blocking: list[BlockingLevel] = field(default_factory=list)
    densities: np.ndarray | None = None
    volumes: np.ndarray | None = None
    element_densities: dict[str, float] = field(default_factory=dict)
    frame_partials: dict[Pair, np.ndarray] | None = None
    frame_totals: np.ndarray | None = None
    warnings: list[str] = field(default_factory=list)

    @property
    def n_frames(self) -> int:
        """Number of frames averaged."""
        return len(self.frame_indices)

    @property
    def density(self) -> float:
        """Mean number density over the frames (atoms/A^3); NaN without frames."""
        return float(self.densities.mean()) if self.densities is not None and len(self.densities) else float("nan")


def _frame_prdf(
    structure: Structure, cutoff: float, bin_size: float, n_threads: int
) -> tuple[np.ndarray, dict[Pair, np.ndarray], np.ndarray]:
    """The per-frame computation (a seam for tests)."""
    return structure.prdf(cutoff=cutoff, bin_size=bin_size, n_threads=n_threads)


class FrameSums:
    """Running sums of per-frame curves, the state behind a frame average.

    Holds the sum of every partial curve, the mean and the sum of squared
    deviations (M2) of the total curves, and the frame indices seen. Frames are
    added one at a time (Welford's update) and whole sums of disjoint frame sets
    are merged with Chan's pairwise update, so a trajectory split into windows
    and merged in window order gives the one-pass averages up to rounding, and
    the same bits for any assignment of windows to workers. Instances pickle
    (plain NumPy arrays), so a window's sums can travel back from a worker.
    """

    def __init__(self) -> None:
        import numpy as np

        # The arrays take their length from the first frame.
        self.r: np.ndarray = np.zeros(0)
        self.partial_sums: dict[Pair, np.ndarray] = {}
        self.total_mean: np.ndarray = np.zeros(0)
        self.total_m2: np.ndarray = np.zeros(0)
        self.frame_indices: list[int] = []

    @property
    def n_frames(self) -> int:
        """Number of frames added so far."""
        return len(self.frame_indices)

    def add(
        self, index: int, r: np.ndarray, partials: dict[Pair, np.ndarray], total: np.ndarray
    ) -> None:
        """Add one frame's ``prdf`` result; `index` is its 0-based file index."""
        import numpy as np

        total = np.asarray(total, dtype=float)
        if not self.frame_indices:
            self.r = np.asarray(r, dtype=float)
            self.total_mean = np.zeros_like(total)
            self.total_m2 = np.zeros_like(total)
        self._add_partials(partials)
        self.frame_indices.append(index)
        delta = total - self.total_mean
        self.total_mean += delta / len(self.frame_indices)
        self.total_m2 += delta * (total - self.total_mean)

    def _add_partials(self, partials: dict[Pair, np.ndarray]) -> None:
        """Adds curves pair by pair; a pair not seen before starts from a copy."""
        import numpy as np

        for pair, curve in partials.items():
            if pair in self.partial_sums:
                self.partial_sums[pair] += curve
            else:
                self.partial_sums[pair] = np.array(curve, dtype=float)

    def merge(self, other: FrameSums) -> None:
        """Add the frames of `other` (frames disjoint from, and after, this one's)."""
        if not other.frame_indices:
            return
        if not self.frame_indices:
            self.r = other.r.copy()
            self.partial_sums = {pair: curve.copy() for pair, curve in other.partial_sums.items()}
            self.total_mean = other.total_mean.copy()
            self.total_m2 = other.total_m2.copy()
            self.frame_indices = list(other.frame_indices)
            return
        self._add_partials(other.partial_sums)
        n_a, n_b = self.n_frames, other.n_frames
        n = n_a + n_b
        delta = other.total_mean - self.total_mean
        self.total_mean += delta * (n_b / n)
        self.total_m2 += other.total_m2 + delta * delta * (n_a * n_b / n)
        self.frame_indices.extend(other.frame_indices)

    def means(self) -> tuple[dict[Pair, np.ndarray], np.ndarray, np.ndarray]:
        """(partials, total, total_std) over all frames added (at least one)."""
        import numpy as np

        n = self.n_frames
        if n == 0:
            raise ValueError("no frames to average")
        partials = {pair: self.partial_sums[pair] / n for pair in sorted(self.partial_sums)}
        return partials, self.total_mean, np.sqrt(self.total_m2 / n)


class FrameCurves(NamedTuple):
    """One frame's RDF and what normalising it needs (plain data: it pickles)."""

    index: int
    r: np.ndarray
    partials: dict[Pair, np.ndarray]
    total: np.ndarray
    volume: float
    n_atoms: float
    composition: dict[str, float]


def frame_curves(
    structures: Sequence[Structure],
    indices: Sequence[int],
    cutoff: float,
    bin_size: float,
    n_threads: int,
    progress: Callable[[int], object] | None = None,
    frames_before: int = 0,
) -> list[FrameCurves]:
    """``prdf`` of every frame of a window. `progress`, when given, is called as
    ``progress(frames_before + k)`` after the k-th frame."""
    out = []
    for structure, index in zip(structures, indices):
        r, partials, total = _frame_prdf(structure, cutoff, bin_size, n_threads)
        out.append(FrameCurves(index, r, partials, total, structure.volume, structure.n_atoms,
                               structure.composition))
        if progress is not None:
            progress(frames_before + len(out))
    return out


class TrajectoryAverager:
    """The averages of windows of frames added in file order.

    Means of the neighbour densities are summed window by window exactly as
    ``FrameSums`` does (so the result does not depend on which process computed a
    window); every frame also goes, in order, into a ``BlockAverage`` of its
    curves and of its frame-normalised g(r), which gives the standard errors.
    """

    def __init__(self, bin_size: float, block_size: int | None = None, keep_frames: bool = False) -> None:
        self.bin_size = float(bin_size)
        from kelvara.trajectory.blocking import BlockAverage

        self.sums = FrameSums()
        self.blocks = BlockAverage(block_size, keep_frames)
        self.volumes: list[float] = []
        self.n_atoms: list[float] = []
        self.element_sums: dict[str, float] = {}
        self.warnings: list[str] = []

    @property
    def n_frames(self) -> int:
        return self.sums.n_frames

    def add_window(self, window: Sequence[FrameCurves]) -> None:
        import numpy as np

        sums = FrameSums()
        keys: dict[Any, int] = {}
        rows: list[list[tuple[int, np.ndarray]]] = []
        for frame in window:
            sums.add(frame.index, frame.r, frame.partials, frame.total)
            volume = frame.volume
            density = {el: amount / volume for el, amount in frame.composition.items()}
            curves: list[tuple[Any, np.ndarray]] = [
                (_TOTAL, frame.total), (_G_TOTAL, frame.total * (volume / frame.n_atoms))]
            for (a, b), curve in frame.partials.items():
                curves.append((("partial", a, b), curve))
                rho = density.get(b, 0.0)
                if rho > 0:
                    curves.append((("g", a, b), curve / rho))
            rows.append([(keys.setdefault(key, len(keys)), curve) for key, curve in curves])
            self.volumes.append(volume)
            self.n_atoms.append(frame.n_atoms)
            for el, rho in density.items():
                self.element_sums[el] = self.element_sums.get(el, 0.0) + rho
        if window:
            stacked = np.zeros((len(window), len(keys), len(window[0].total)))
            for f, frame_rows in enumerate(rows):
                for j, curve in frame_rows:
                    stacked[f, j] = curve
            self.blocks.add_many(list(keys), stacked)
        self.sums.merge(sums)

    def result(self) -> TrajectoryRdf:
        import numpy as np

        partials, total, total_std = self.sums.means()
        block_size, notes = self.blocks.choose([_G_TOTAL])
        means = self.blocks.mean()
        errors = self.blocks.standard_error(block_size)
        n = self.n_frames
        zeros = np.zeros_like(total)

        def pick(source: dict[Any, np.ndarray], kind: str) -> dict[Pair, np.ndarray]:
            return {pair: source.get((kind, *pair), zeros) for pair in partials}

        frames = self.blocks.frames()
        volumes = np.asarray(self.volumes)
        return TrajectoryRdf(
            r=self.sums.r,
            partials=partials,
            total=total,
            total_std=total_std,
            frame_indices=list(self.sums.frame_indices),
            bin_size=self.bin_size,
            g_partials=pick(means, "g"),
            g_total=means[_G_TOTAL],
            partials_err=pick(errors, "partial"),
            total_err=errors[_TOTAL],
            g_partials_err=pick(errors, "g"),
            g_total_err=errors[_G_TOTAL],
            block_size=block_size,
            blocking=self.blocks.levels([_G_TOTAL]),
            densities=np.asarray(self.n_atoms) / volumes,
            volumes=volumes,
            element_densities={el: self.element_sums[el] / n for el in sorted(self.element_sums)},
            frame_partials=None if frames is None else pick(frames, "partial"),
            frame_totals=None if frames is None else frames[_TOTAL],
            warnings=self.warnings + notes,
        )


def frame_selection(every: int, start: int, stop: int | None, chunk: int) -> tuple[int, int, int | None, int]:
    """The frame-selection arguments as integers, checked: "chunk must be at least 1",
    "every must be at least 1"."""
    every, start, chunk = operator.index(every), operator.index(start), operator.index(chunk)
    stop = None if stop is None else operator.index(stop)
    if chunk < 1:
        raise ValueError("chunk must be at least 1")
    if every < 1:
        raise ValueError("every must be at least 1")
    return every, start, stop, chunk


def window_positions(
    path: str, every: int, start: int, stop: int | None, cell: Any, chunk: int,
    fmt: str | None = None, types: Any = None,
) -> list[tuple[int, int, tuple[int, int]]]:
    """(first, last, position) of every window of `chunk` kept frames: file frames
    [first, last) and the reader position where frame `first` starts, found by one
    scan that builds no frame. Raises the reader's own error when no frame matches."""
    kind = trajectory_format(path, fmt)
    if kind not in (None, *NATIVE_FORMATS):
        raise ValueError(f"frame windows can be read in parallel from xyz, lammps-dump and xdatcar "
                         f"files; use trajectory_rdf for this {kind} trajectory")
    span = chunk * every
    windows = []
    with TrajectoryReader(path, format=kind, stop=stop, cell=cell, types=types) as reader:
        reader.skip(start)
        while True:
            position = reader.position
            passed = reader.skip(span)
            if passed == 0:
                break
            windows.append((position[1], position[1] + passed, position))
            if passed < span:
                break
        frames = reader.frames_read
    if not windows:
        if frames == 0:
            raise ValueError("no frames found in the file")
        raise ValueError(f"the file has {frames} frame(s) but none matched start/every/stop")
    return windows


def _windows(source: Any, chunk: int, notes: list[str]) -> Iterator[tuple[list[Structure], list[int]]]:
    """Yields (structures, frame_indices) window by window from one pass over the
    file. The next window is read on a helper thread (the native reader runs without
    the GIL) while the caller works on the current one, so at most two windows are
    in memory. The reader's warnings are appended to `notes` at the end.

    Close the generator when the loop over it ends early (``contextlib.closing``): a
    read in progress on the helper thread is then abandoned within a fraction of a
    second (a thread never runs signal handlers, so Ctrl-C reaches it this way), as it
    is when waiting for a window is interrupted. What the reader notes on the way is
    issued on the caller's thread, pointing at the caller's line."""
    from concurrent.futures import ThreadPoolExecutor

    native = isinstance(source, TrajectoryReader)
    said = [0, 0]

    def read() -> tuple[list[Structure], list[int]]:
        return source.read(chunk, warn=False) if native else source.read(chunk)

    with source, ThreadPoolExecutor(max_workers=1, thread_name_prefix="kelvara-read") as prefetch:
        try:
            pending = prefetch.submit(read)
            while True:
                structures, indices = pending.result()
                if native:
                    _issue_notes(source, said)
                if not structures:
                    notes.extend(source.warnings)
                    return
                pending = prefetch.submit(read)
                yield structures, indices
                del structures, indices  # let the caller free this window before the next
        except BaseException:
            cancel = getattr(source, "cancel", None)
            if cancel is not None:
                cancel()
            raise


_PACKAGE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def _issue_notes(reader: TrajectoryReader, said: list[int]) -> None:
    """Issues the findings (ReadWarning) and notes (RuntimeWarning) the reader made
    since `said` (counts of both, updated), pointing at the first line outside kelvara."""
    import sys
    import warnings

    from kelvara._kelvara import ReadWarning

    findings, notes = reader.findings, reader.warnings
    if len(findings) == said[0] and len(notes) == said[1]:
        return
    frame, level = sys._getframe(0), 1
    while frame is not None and os.path.abspath(frame.f_code.co_filename).startswith(_PACKAGE + os.sep):
        frame, level = frame.f_back, level + 1
    for text in findings[said[0]:]:
        warnings.warn(text, ReadWarning, stacklevel=level)
    for text in notes[said[1]:]:
        warnings.warn(text, RuntimeWarning, stacklevel=level)
    said[:] = [len(findings), len(notes)]


def trajectory_rdf(
    path: str | os.PathLike[str],
    cutoff: float = 10.0,
    bin_size: float = 0.1,
    every: int = 1,
    start: int = 0,
    stop: int | None = None,
    cell: Sequence[Sequence[float]] | np.ndarray | None = None,
    chunk: int = 64,
    n_threads: int = 0,
    progress: Callable[[int], object] | None = None,
    fmt: str | None = None,
    types: dict[Any, str] | None = None,
    topology: str | os.PathLike[str] | None = None,
    block_size: int | None = None,
    frames: bool = False,
) -> TrajectoryRdf:
    """Partial and total RDFs averaged over the selected frames of a trajectory, with
    standard errors from block averaging.

    Frames start, start + every, ... before stop are read ``chunk`` at a time in one
    pass over the file (so memory holds at most two chunks of structures: the one
    being averaged and the next, read meanwhile), and ``Structure.prdf(cutoff=...,
    bin_size=..., n_threads=...)`` runs on every frame with that frame's own cell.
    The curves are averaged with equal weight per frame; a pair of elements missing
    from some frames contributes zero curves for those frames. g(r) is normalised
    frame by frame, so a cell that changes (NpT) is handled.

    Args:
        path: the trajectory: extended XYZ, LAMMPS text dump or XDATCAR (read by
            kelvara), ASE ``.traj`` (needs ASE), XTC/TRR/DCD/NetCDF/H5MD (needs
            MDAnalysis and `topology`).
        cutoff, bin_size, n_threads: passed to ``Structure.prdf``.
        every, start, stop: frame selection, as in ``read_xyz_trajectory``.
        cell: the cell of XYZ frames without a ``Lattice=`` field.
        chunk: frames held in memory at once (at least 1).
        progress: called as ``progress(frames_done)`` after each frame.
        fmt: the format ("xyz", "lammps-dump", "xdatcar", "ase", "mdanalysis");
            default from the name, else from the first lines.
        types: elements of atom types: LAMMPS types ({1: "Si", 2: "O"}), the species
            of an XDATCAR without names, or MDAnalysis atom types.
        topology: the file naming the atoms of an XTC/TRR/DCD/NetCDF/H5MD trajectory.
        block_size: frames per block for the standard errors; default: chosen
            from the plateau of the blocked standard error (``kelvara.trajectory.blocking``).
        frames: also return every frame's curves (memory grows with the frames).

    Returns:
        A ``TrajectoryRdf``: mean curves, frame-normalised g(r), standard errors,
        the block size, per-frame densities and volumes.

    Raises:
        ValueError: with the reader's or ``prdf``'s message, or "chunk must be at
            least 1" / "every must be at least 1".
        OSError: the file cannot be opened or read.
    """
    every, start, stop, chunk = frame_selection(every, start, stop, chunk)
    source = open_trajectory(path, fmt, every, start, stop, cell, types, topology)
    averager = TrajectoryAverager(bin_size, block_size, frames)
    notes: list[str] = []
    with contextlib.closing(_windows(source, chunk, notes)) as windows:
        for structures, indices in windows:
            window = frame_curves(structures, indices, cutoff, bin_size, n_threads, progress,
                                  averager.n_frames)
            del structures  # free this window before reading the next
            averager.add_window(window)
    # The reader's notes were raised as RuntimeWarning when they arose; they are
    # kept in the result beside those of the block averaging.
    averager.warnings[:0] = notes
    return averager.result()
