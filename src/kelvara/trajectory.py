"""RDFs averaged over the frames of an XYZ trajectory, read a chunk at a time."""

from __future__ import annotations

import operator
import os
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

from kelvara._kelvara import Structure, TrajectoryReader
from kelvara.records import short_repr

if TYPE_CHECKING:  # NumPy is imported on first use, so importing kelvara stays cheap
    import numpy as np

__all__ = ["TrajectoryRdf", "trajectory_rdf"]

Pair = tuple[str, str]


@dataclass(frozen=True, repr=False)
class TrajectoryRdf:
    """Frame-averaged partial and total RDFs of a trajectory.

    Attributes:
        r: left bin edges in Angstrom, as returned by ``Structure.prdf``.
        partials: ``(A, B) -> g_AB`` averaged over the frames, keys in element order.
            A pair absent from some frames (their element sets differ) counts as a
            zero curve in those frames, so every curve is a sum over all frames
            divided by ``n_frames``.
        total: the total curve averaged over the frames.
        total_std: the population standard deviation (ddof=0) of the per-frame total
            curves, bin by bin; zeros for a single frame.
        frame_indices: 0-based file indices of the frames used, in file order.
    """

    __repr__ = short_repr

    r: np.ndarray
    partials: dict[Pair, np.ndarray]
    total: np.ndarray
    total_std: np.ndarray
    frame_indices: list[int] = field(default_factory=list)

    @property
    def n_frames(self) -> int:
        """Number of frames averaged."""
        return len(self.frame_indices)


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

    def result(self) -> TrajectoryRdf:
        """The averages over all frames added (at least one)."""
        import numpy as np

        n = self.n_frames
        if n == 0:
            raise ValueError("no frames to average")
        return TrajectoryRdf(
            r=self.r,
            partials={pair: self.partial_sums[pair] / n for pair in sorted(self.partial_sums)},
            total=self.total_mean,
            total_std=np.sqrt(self.total_m2 / n),
            frame_indices=list(self.frame_indices),
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
    path: str, every: int, start: int, stop: int | None, cell: Any, chunk: int
) -> list[tuple[int, int, tuple[int, int]]]:
    """(first, last, position) of every window of `chunk` kept frames: file frames
    [first, last) and the reader position where frame `first` starts, found by one
    scan that builds no frame. Raises the reader's own error when no frame matches."""
    span = chunk * every
    windows = []
    with TrajectoryReader(path, format="xyz", stop=stop, cell=cell) as reader:
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


def _windows(
    path: str, every: int, start: int, stop: int | None, cell: Any, chunk: int
) -> Iterator[tuple[list[Structure], list[int]]]:
    """Yields (structures, frame_indices) window by window from one pass over the
    file. The next window is read on a helper thread (the reader runs without the
    GIL) while the caller works on the current one, so at most two windows are in
    memory."""
    from concurrent.futures import ThreadPoolExecutor

    with TrajectoryReader(path, format="xyz", every=every, start=start, stop=stop, cell=cell) as reader, \
            ThreadPoolExecutor(max_workers=1, thread_name_prefix="kelvara-read") as prefetch:
        pending = prefetch.submit(reader.read, chunk)
        while True:
            structures, indices = pending.result()
            if not structures:
                return
            pending = prefetch.submit(reader.read, chunk)
            yield structures, indices
            del structures, indices  # let the caller free this window before the next


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
) -> TrajectoryRdf:
    """Partial and total RDFs averaged over the selected frames of an XYZ trajectory.

    Frames start, start + every, ... before stop are read ``chunk`` at a time by one
    ``TrajectoryReader`` pass over the file (so memory holds at most two chunks of
    structures: the one being averaged and the next, read meanwhile), and
    ``Structure.prdf(cutoff=..., bin_size=..., n_threads=...)`` runs on every frame
    with that frame's own cell (``Lattice=`` of the frame, else ``cell``). The curves
    are averaged with equal weight per frame; a pair of elements missing from some
    frames contributes zero curves for those frames.

    Args:
        path: the trajectory file.
        cutoff, bin_size, n_threads: passed to ``Structure.prdf``.
        every, start, stop, cell: frame selection and fallback cell, as in
            ``read_xyz_trajectory``.
        chunk: frames held in memory at once (at least 1).
        progress: called as ``progress(frames_done)`` after each frame.

    Returns:
        A ``TrajectoryRdf`` with ``r``, ``partials``, ``total``, ``total_std`` and
        ``frame_indices``.

    Raises:
        ValueError: with the message of ``read_xyz_trajectory`` or ``prdf``, or
            "chunk must be at least 1" / "every must be at least 1".
    """
    path = os.fspath(path)
    every, start, stop, chunk = frame_selection(every, start, stop, chunk)

    # Each window is summed on its own and merged in file order, exactly as
    # kelvara.batch.trajectory_rdf_many does with windows from workers, so both
    # give the same bits for the same chunk.
    sums = FrameSums()
    for structures, indices in _windows(path, every, start, stop, cell, chunk):
        window = window_sums(structures, indices, cutoff, bin_size, n_threads, progress, sums.n_frames)
        del structures  # free this window before reading the next
        sums.merge(window)
    return sums.result()


def window_sums(
    structures: Sequence[Structure],
    indices: Sequence[int],
    cutoff: float,
    bin_size: float,
    n_threads: int,
    progress: Callable[[int], object] | None = None,
    frames_before: int = 0,
) -> FrameSums:
    """The ``FrameSums`` of one window of frames (``prdf`` on each structure).

    `progress`, when given, is called as ``progress(frames_before + k)`` after the
    k-th frame of the window.
    """
    sums = FrameSums()
    for structure, index in zip(structures, indices):
        sums.add(index, *_frame_prdf(structure, cutoff, bin_size, n_threads))
        if progress is not None:
            progress(frames_before + sums.n_frames)
    return sums
