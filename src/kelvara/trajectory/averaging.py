"""RDFs averaged over the frames of a trajectory, read a chunk at a time, with
standard errors from block averaging."""

from __future__ import annotations

import contextlib
import functools
import operator
import os
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

from kelvara._kelvara import Structure, TrajectoryReader, _frames_prdf
from kelvara._records import short_repr
from kelvara.trajectory.accumulate import (  # FrameCurves and frame_curves for the worker processes
    FrameCurves, TrajectoryAverager, default_cutoff, frame_curves, frame_facts)
from kelvara.trajectory.formats import NATIVE_FORMATS, open_trajectory, trajectory_format

if TYPE_CHECKING:  # NumPy is imported on first use, so importing kelvara stays cheap
    import numpy as np

    from kelvara.trajectory.blocking import BlockingLevel

__all__ = ["Frames", "TrajectoryRdf", "trajectory_rdf"]

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

    def open(self) -> tuple[Any, int]:
        """A reader of the selected frames and the checked chunk size."""
        every, start, stop, chunk = frame_selection(self.every, self.start, self.stop, self.chunk)
        return open_trajectory(self.path, self.fmt, every, start, stop, self.cell, self.types, self.topology), chunk


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
        coordination, coordination_err: ``(A, B) -> n_AB(r)``, the running
            coordination number (B neighbours of an A centre within the right edge of
            each bin), averaged over the frames, and its block-averaged standard error.
        block_size: frames per block: given, or chosen where the blocked standard
            error of ``g_total`` reaches its plateau (see ``blocking``).
        blocking: the blocking table behind the choice: block sizes 1, 2, 4, ... with
            their block count and the rms standard error of ``g_total``.
        densities: number density n_atoms / volume of every frame (atoms/A^3).
        volumes: cell volume of every frame (A^3).
        element_densities: mean number density of every element over the frames.
        frame_partials, frame_totals: with ``frames=True``, every frame's curves
            (``[frame, bin]`` arrays); otherwise None.
        cutoff: the cutoff the curves were counted to (Angstrom).
        minimum_image_limit: half the smallest box height over the frames (the
            smallest frame box): within it every pair is met once; farther pairs are
            copies of nearer ones through the periodic box. Each atom's own periodic
            images are never counted.
        warnings: what the caller should know (a cutoff past the minimum-image limit,
            too few frames for blocking, no plateau, a file that grew while it was read).
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
    coordination: dict[Pair, np.ndarray] = field(default_factory=dict)
    coordination_err: dict[Pair, np.ndarray] = field(default_factory=dict)
    block_size: int = 1
    blocking: list[BlockingLevel] = field(default_factory=list)
    densities: np.ndarray | None = None
    volumes: np.ndarray | None = None
    element_densities: dict[str, float] = field(default_factory=dict)
    frame_partials: dict[Pair, np.ndarray] | None = None
    frame_totals: np.ndarray | None = None
    cutoff: float | None = None
    minimum_image_limit: float = float("inf")
    warnings: list[str] = field(default_factory=list)

    @property
    def n_frames(self) -> int:
        """Number of frames averaged."""
        return len(self.frame_indices)

    @property
    def density(self) -> float:
        """Mean number density over the frames (atoms/A^3); NaN without frames."""
        return float(self.densities.mean()) if self.densities is not None and len(self.densities) else float("nan")


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


class _Windows:
    """The windows of a trajectory, ``(structures, frame_indices)`` one after another
    from one pass over the file (iterate, then ``close()``).

    With more than one thread, the next window is read on a helper thread (the native
    reader runs without the GIL) while the caller counts the current one, so at most
    two windows are in memory: the one just counted is let go of on the helper thread
    before the next is read. While that read goes on, ``reading()`` is true, and the
    caller counts on one thread fewer (``count_window``), so the reader has a core of
    its own and no thread waits for it. With one thread (``n_threads=1``, or 0 with a
    shared pool of one thread) the windows are read on the caller's thread, one after
    the other, so a call asked to use one thread keeps to one core. With `ramp` (for
    callers that need no whole first window) and a helper thread, the windows start
    at an eighth of `chunk` and double up to it, so counting starts after a few
    frames instead of a whole chunk. The reader's warnings are appended to `notes`
    at the end.

    Close it when the loop over it ends early (``contextlib.closing``): a read in
    progress on the helper thread is then abandoned within a fraction of a second (a
    thread never runs signal handlers, so Ctrl-C reaches it this way), as it is when
    waiting for a window is interrupted. What the reader notes on the way is issued on
    the caller's thread, pointing at the caller's line."""

    def __init__(self, source: Any, chunk: int, notes: list[str], n_threads: int = 0,
                 ramp: bool = False) -> None:
        self.n_threads = n_threads
        #: the threads counting may use: `n_threads`, or the shared pool's size for 0
        self.threads = n_threads or Structure.available_threads()
        source.__enter__()
        self._source: Any = source
        self._native = isinstance(source, TrajectoryReader)
        self._chunk = chunk
        self._size = max(1, chunk // 8) if ramp and self.threads > 1 else chunk
        # With a helper thread the first window is read from here on, while the caller
        # gets ready (its imports, say).
        self._pending: _Task | None = _Task(self._read, []) if self.threads > 1 else None
        self._run = self._windows(notes)

    def __iter__(self) -> Iterator[tuple[list[Structure], list[int]]]:
        return self._run

    def close(self) -> None:
        self._run.close()
        self._stop(cancel=True)  # the loop may never have started

    def reading(self) -> bool:
        """Whether the window after the current one is still being read."""
        return self._pending is not None and not self._pending.done()

    def _read(self, done: list[Any]) -> tuple[list[Structure], list[int]]:
        done.clear()  # the window the caller is through with, freed here first
        n = self._size  # one read at a time changes it
        self._size = min(self._chunk, 2 * n)
        return self._source.read(n, warn=False) if self._native else self._source.read(n)

    def _stop(self, cancel: bool) -> None:
        """Ends the reading once: a read in progress is abandoned (`cancel`) and waited
        for, so that the source is not closed under it; then the source is closed."""
        source, self._source = self._source, None
        if source is None:
            return
        try:
            if cancel and getattr(source, "cancel", None) is not None:
                source.cancel()
            if self._pending is not None:
                self._pending.join()
                self._pending = None
        finally:
            source.__exit__(None, None, None)

    def _windows(self, notes: list[str]) -> Iterator[tuple[list[Structure], list[int]]]:
        source, said, helper = self._source, [0, 0], self.threads > 1
        try:
            done: list[Any] = []  # the window before the current one
            while True:
                structures, indices = self._pending.result() if helper else self._read(done)
                if self._native:
                    _issue_notes(source, said)
                if not structures:
                    notes.extend(source.warnings)
                    self._stop(cancel=False)
                    return
                if helper:  # the caller is through with the window in `done`
                    self._pending = _Task(self._read, done)
                done = [structures]
                del structures
                yield done[0], indices
                del indices
        except BaseException:
            self._stop(cancel=True)
            raise


class _Task:
    """A call run on a thread of its own (a window read beside the counting), whose
    result or exception ``result()`` hands over. Lighter than an executor, whose
    import alone costs several milliseconds of every call. Waiting is on an event,
    which Ctrl-C interrupts cleanly (``Thread.join`` interrupted can stop waiting
    for good)."""

    def __init__(self, function: Callable[..., Any], *args: Any, name: str = "kelvara-read") -> None:
        import threading

        self._out: Any = None
        self._error: BaseException | None = None
        self._finished = threading.Event()
        threading.Thread(target=self._run, args=(function, args), name=name, daemon=True).start()

    def _run(self, function: Callable[..., Any], args: tuple[Any, ...]) -> None:
        try:
            self._out = function(*args)
        except BaseException as error:  # handed to the caller's thread
            self._error = error
        finally:
            self._finished.set()

    def done(self) -> bool:
        return self._finished.is_set()

    def join(self) -> None:
        self._finished.wait()

    def result(self) -> Any:
        self._finished.wait()
        if self._error is not None:
            error, self._error = self._error, None
            raise error
        out, self._out = self._out, None  # the caller holds the window alone
        return out


def count_window(windows: _Windows, structures: list[Structure], count: Callable[[list[Structure], int], list[Any]],
                 meanwhile: Callable[[], object] | None = None) -> list[Any]:
    """``count(frames, n_threads)`` over the frames of a window, in order: while the
    next window is being read, a few frames at a time on one thread fewer than
    `windows` may use, so the reader has a core; then the rest on all of them. Each
    frame is counted alone, so its bits do not depend on the split.

    `meanwhile` (the caller's Python work around the window) runs first, beside the
    read of the next window; when nothing is left to read (the last window), on a
    thread of its own beside the counting, which stays on the caller's thread so that
    Ctrl-C stops it."""
    if meanwhile is not None:
        if windows.threads > 1 and not windows.reading():
            beside = _Task(meanwhile, name="kelvara-average")
            try:
                return count(structures, windows.n_threads)
            finally:
                beside.result()  # short: Python work; its error, if any, is raised
        meanwhile()
    out: list[Any] = []
    k, fewer = 0, windows.threads - 1
    while fewer and k < len(structures) and windows.reading():
        out += count(structures[k:k + fewer], fewer)
        k += fewer
    # Frames go to the threads one each; those left over when they do not divide
    # evenly, with some threads idle, are counted by all of them together instead.
    rest = len(structures) - k
    even = len(structures) - (rest % windows.threads if rest > 1 else 0)
    if even > k:
        out += count(structures[k:even], windows.n_threads)
    for frame in structures[even:]:
        out += count([frame], windows.n_threads)
    return out


def _bookkeeping(averager: TrajectoryAverager, previous: list[FrameCurves], structures: list[Structure],
                 facts: list[Any]) -> None:
    """Averages the window before and notes the facts of this one."""
    averager.add_window(previous)
    facts.extend(frame_facts(s) for s in structures)


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
    cutoff: float | None = None,
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

    Frames start, start + every, ... before stop are read at most ``chunk`` at a time
    in one pass over the file (so memory holds at most two chunks of structures: the
    one being counted and, with more than one thread, the next, read meanwhile on a
    thread of its own while the counting uses one thread fewer; one thread reads and
    counts in turn), and ``Structure.prdf(cutoff=..., bin_size=...)``
    runs on every frame with that frame's own cell, frames side by side on the pool
    when it has more than one thread (the same bits for any number). Each frame is a
    simulation box: an atom's own periodic images are not counted. The curves are
    averaged with equal weight per frame; a pair of elements missing from some frames
    contributes zero curves for those frames. g(r) is normalised frame by frame, so a
    cell that changes (NpT) is handled.

    Args:
        path: the trajectory: extended XYZ, LAMMPS text dump or XDATCAR (read by
            kelvara), ASE ``.traj`` (needs ASE), XTC/TRR/DCD/NetCDF/H5MD (needs
            MDAnalysis and `topology`).
        cutoff: the largest distance (Angstrom). Default: the largest whole number of
            bins within half the smallest box height of the first `chunk` frames
            (the minimum-image limit), at most 10 A. A longer cutoff is counted
            with a warning: beyond the limit pairs are met again through the box.
        bin_size, n_threads: as in ``Structure.prdf``.
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
    notes: list[str] = []
    done = 0
    previous: list[FrameCurves] = []
    with contextlib.closing(_Windows(source, chunk, notes, n_threads, cutoff is not None)) as windows:
        averager = TrajectoryAverager(bin_size, block_size, frames, cutoff)  # while the first window is read
        for structures, indices in windows:
            if cutoff is None:  # the box of the first frames decides
                cutoff = averager.cutoff = default_cutoff(structures, bin_size)
            facts: list[Any] = []
            meanwhile = functools.partial(_bookkeeping, averager, previous, structures, facts)
            counted = count_window(windows, structures, lambda frames, threads: _frames_prdf(
                frames, cutoff, bin_size, threads, self_images=False), meanwhile)
            del structures, meanwhile  # freed before the next window is read
            previous = [FrameCurves(i, *c, *f) for i, c, f in zip(indices, counted, facts)]
            if progress is not None:
                for k in range(len(indices)):
                    progress(done + k + 1)
            done += len(indices)
    averager.add_window(previous)
    # The reader's notes were raised as RuntimeWarning when they arose; they are
    # kept in the result beside those of the block averaging.
    averager.warnings[:0] = notes
    return averager.result()
