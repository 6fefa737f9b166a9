"""RDFs of many structure files, or of the frame windows of one long trajectory,
on a local process pool or a Dask cluster.

Workers are handed file paths (and frame windows), not ``Structure`` objects
(a path is a few bytes where a pickled structure is its whole content): each
worker reads its file with kelvara's readers and sends back NumPy arrays and a
little metadata. Results come back in
input order and do not depend on how many workers ran them.

With no ``client`` the work runs on a ``concurrent.futures.ProcessPoolExecutor``
on this machine. With a ``distributed.Client`` (extra ``dask``) the same call runs
on the cluster; files are then opened by the workers, so the paths must be valid
where they run. Dask is never imported by this module. For example::

    from kelvara.batch import rdf_many
    records = rdf_many(sorted(glob.glob("screen/*.cif")), cutoff=8.0, errors="collect")
    for record in records:
        if record.ok:
            print(record.path, record.density, record.total.max())
"""

from __future__ import annotations

import operator
import os
from collections.abc import Callable, Iterator, Sequence
from contextlib import contextmanager
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

from kelvara.io import StrPath, format_of, read_structure
from kelvara._records import short_repr
from kelvara.trajectory.averaging import (
    FrameCurves,
    TrajectoryAverager,
    TrajectoryRdf,
    frame_curves,
    frame_selection,
    window_positions,
)

if TYPE_CHECKING:
    import multiprocessing.context

    import numpy as np

__all__ = ["BatchError", "RdfRecord", "rdf_many", "trajectory_rdf_many"]

Pair = tuple[str, str]


@dataclass(frozen=True, repr=False)
class RdfRecord:
    """The RDF of one structure file, as ``rdf_many`` returns it.

    Attributes:
        path: the file, as given (``str``).
        r: left bin edges in Angstrom, as ``Structure.prdf`` returns them.
        partials: ``(A, B) -> curve`` for every ordered pair of elements.
        total: the total curve.
        n_sites, n_atoms, volume, elements, composition: the structure's
            ``Structure`` properties of the same names.
        error: ``None`` when the file was read and its RDF computed; otherwise
            the failure as "ExceptionType: message" (only with ``errors="collect"``),
            and the curves are ``None`` / empty.
    """

    __repr__ = short_repr

    path: str
    r: np.ndarray | None = None
    partials: dict[Pair, np.ndarray] = field(default_factory=dict)
    total: np.ndarray | None = None
    n_sites: int = 0
    n_atoms: float = 0.0
    volume: float = 0.0
    elements: list[str] = field(default_factory=list)
    composition: dict[str, float] = field(default_factory=dict)
    error: str | None = None

    @property
    def ok(self) -> bool:
        """True when the RDF was computed (``error`` is ``None``)."""
        return self.error is None

    @property
    def density(self) -> float:
        """Bulk number density ``n_atoms / volume`` in atoms per cubic Angstrom."""
        return self.n_atoms / self.volume if self.volume else 0.0


class BatchError(Exception):
    """A file of a batch run failed.

    The message names the file, its position in the input and the original
    failure; the attributes ``path``, ``index`` (0-based position in the input)
    and ``error`` ("ExceptionType: message") carry the same for programs.
    """

    def __init__(self, path: str, index: int, error: str) -> None:
        super().__init__(f"{path} (file {index + 1} of the batch): {error}")
        self.path = path
        self.index = index
        self.error = error

    def __reduce__(self) -> tuple[type[BatchError], tuple[str, int, str]]:
        # Keeps the three fields when the error is pickled (from a worker, say).
        return (type(self), (self.path, self.index, self.error))


def _check_prdf_arguments(cutoff: float, bin_size: float, n_threads: int) -> None:
    """Raise the engine's own error for bad RDF arguments once, before any file is
    read, rather than once per file: ``prdf`` on one atom in a large cell costs nothing."""
    import math

    from kelvara._kelvara import Structure

    try:
        reach = float(cutoff)
    except (TypeError, ValueError):
        reach = 1.0  # let the engine name the bad argument
    if math.isfinite(reach) and reach > 1e100:
        return  # no cell could hold the lone atom apart from its images; the files will tell
    side = max(100.0, 2.0 * reach) if math.isfinite(reach) else 100.0
    cell = [[side, 0.0, 0.0], [0.0, side, 0.0], [0.0, 0.0, side]]
    lone = Structure(cell, [[0.0, 0.0, 0.0]], [{"H": 1.0}])
    lone.total_rdf(cutoff=cutoff, bin_size=bin_size, n_threads=n_threads)


def _rdf_file(path: str, kind: str, cutoff: float, bin_size: float, n_threads: int) -> RdfRecord:
    """Worker: read one file and compute its RDF. Failures come back as a record
    (their text), so one bad file never takes a worker or the other results down."""
    try:
        structure = read_structure(path, kind)
        r, partials, total = structure.prdf(cutoff=cutoff, bin_size=bin_size, n_threads=n_threads)
        return RdfRecord(
            path=path,
            r=r,
            partials=partials,
            total=total,
            n_sites=structure.n_sites,
            n_atoms=structure.n_atoms,
            volume=structure.volume,
            elements=structure.elements,
            composition=structure.composition,
        )
    except Exception as failure:  # noqa: BLE001 - every failure is reported with its file
        return RdfRecord(path=path, error=f"{type(failure).__name__}: {failure}")


def _rdf_files(
    files: list[tuple[str, str]], cutoff: float, bin_size: float, n_threads: int
) -> list[RdfRecord]:
    """Worker: ``_rdf_file`` on each (path, reader) of one task, in order."""
    return [_rdf_file(path, kind, cutoff, bin_size, n_threads) for path, kind in files]


def _in_order(futures: Sequence[Any], client: Any, block: int = 256) -> Iterator[Any]:
    """The futures' results in submission order. A Dask client fetches them a block
    at a time (one round trip per block, not per task)."""
    if client is None:
        for future in futures:
            yield future.result()
        return
    for first in range(0, len(futures), block):
        yield from client.gather(list(futures[first : first + block]))


def _positive_count(value: Any, name: str) -> int:
    count = operator.index(value)
    if count < 1:
        raise ValueError(f"{name} must be at least 1")
    return count


@contextmanager
def _submitter(
    client: Any,
    n_workers: int | None,
    max_tasks: int,
    mp_context: multiprocessing.context.BaseContext | None,
) -> Iterator[Callable[..., Any]]:
    """A ``submit(fn, *args) -> future`` on the Dask client or on a local process pool
    of ``min(n_workers, max_tasks)`` processes (``n_workers`` defaults to the CPU count)."""
    if client is not None:
        if n_workers is not None:
            raise ValueError(
                "n_workers sizes the local pool; with a Dask client the cluster's workers run the tasks"
            )
        yield lambda fn, *args: client.submit(fn, *args, pure=False)
        return
    from concurrent.futures import ProcessPoolExecutor

    workers = (os.cpu_count() or 1) if n_workers is None else _positive_count(n_workers, "n_workers")
    with ProcessPoolExecutor(max_workers=max(1, min(workers, max_tasks)), mp_context=mp_context,
                             initializer=_watch_parent, initargs=(os.getpid(),)) as pool:
        try:
            yield pool.submit
        except BaseException:
            # The tasks not started are dropped; a running one finishes. Ending a worker
            # part-way (terminate) can cut a result short in the pipe, and the pool's
            # thread then waits for its end for good.
            pool.shutdown(wait=True, cancel_futures=True)
            raise


def _watch_parent(parent: int) -> None:
    """Worker start-up: a thread that ends this worker as soon as the process that made
    the pool is gone (killed, say, by SIGTERM or SIGKILL, so that it could not stop its
    workers itself); otherwise the worker would wait on its task queue for good,
    holding the parent's stdout and stderr open. The parent is watched through the pipe
    it holds for this process (closed when it dies) and its process id (a worker whose
    parent died is given to another process).

    Ctrl-C at a terminal reaches the workers too; they leave it to the parent (which
    drops the tasks not started), since a KeyboardInterrupt while a worker sends its
    result would leave half a message in the pipe, which the pool then waits on for good."""
    import multiprocessing
    import signal
    import threading
    from multiprocessing.connection import wait

    signal.signal(signal.SIGINT, signal.SIG_IGN)

    parent_process = multiprocessing.parent_process()
    sentinel = parent_process.sentinel if parent_process is not None else None

    def watch() -> None:
        while True:
            if sentinel is not None:
                try:
                    gone = bool(wait([sentinel], timeout=0.2))
                except OSError:
                    gone = True
            else:
                gone = False
                threading.Event().wait(0.2)
            if gone or os.getppid() != parent:
                os._exit(1)

    threading.Thread(target=watch, name="kelvara-parent-watch", daemon=True).start()


def _cancel(futures: Sequence[Any]) -> None:
    for future in futures:
        future.cancel()


def rdf_many(
    paths: Sequence[StrPath],
    cutoff: float = 10.0,
    bin_size: float = 0.1,
    fmt: str | None = None,
    n_threads: int = 1,
    n_workers: int | None = None,
    client: Any = None,
    errors: str = "raise",
    files_per_task: int = 1,
    mp_context: multiprocessing.context.BaseContext | None = None,
) -> list[RdfRecord]:
    """Partial and total RDFs of many structure files, one task per file.

    Each worker reads its file with kelvara's readers (``Structure.from_cif``,
    ``from_poscar`` or ``from_xyz``, chosen by ``fmt`` or by the file name as the
    ``kelvara`` command does) and runs ``Structure.prdf(cutoff, bin_size, n_threads)``
    on it. The records come back in the order of `paths`, with the same arrays
    whatever the number of workers.

    Args:
        paths: structure files (``str`` or path-like). With a Dask client they are
            opened by the cluster's workers.
        cutoff, bin_size: passed to ``Structure.prdf``; checked once, before any
            file is read.
        fmt: "cif", "poscar" (also "contcar", "vasp") or "xyz" (also "extxyz") for
            every file; ``None`` guesses each file's format from its name.
        n_threads: engine threads per task (default 1: the processes give the
            parallelism; 0 means the worker's shared pool).
        n_workers: processes of the local pool (default: the CPU count, and never
            more than there are files). Not allowed together with `client`.
        client: a ``distributed.Client``; the tasks then run on its cluster.
        errors: "raise" (default) raises ``BatchError`` for the first failing file
            in input order and cancels the rest; "collect" returns a record with
            ``error`` set for every failing file and goes on with the others.
        files_per_task: consecutive files handled by one task (default 1). Raise it
            when files take milliseconds each, so that scheduling costs less than
            the work (Dask spends about a millisecond per task).
        mp_context: a ``multiprocessing`` context for the local pool (default:
            Python's default start method).

    Returns:
        A list of ``RdfRecord``, one per path, in input order.

    Raises:
        BatchError: a file could not be read or its RDF computed (``errors="raise"``);
            the message names the file and gives the original failure.
        ValueError: bad `cutoff`/`bin_size`/`n_threads` (the engine's message), an
            unknown `fmt` or `errors`, or (``errors="raise"``) a file whose format
            cannot be told from its name, before any work starts.
    """
    if errors not in ("raise", "collect"):
        raise ValueError(f"errors must be 'raise' or 'collect', not {errors!r}")
    if isinstance(paths, (str, bytes, os.PathLike)):
        raise TypeError("paths must be a sequence of files; for one file pass [path]")
    n_threads = operator.index(n_threads)
    files_per_task = _positive_count(files_per_task, "files_per_task")
    _check_prdf_arguments(cutoff, bin_size, n_threads)
    names = [os.fspath(path) for path in paths]
    if fmt is not None:
        format_of("", fmt)  # an unknown fmt is the caller's mistake, not a file's

    records: list[RdfRecord | None] = [None] * len(names)
    tasks: list[tuple[int, str]] = []
    for index, name in enumerate(names):
        try:
            tasks.append((index, format_of(name, fmt)))
        except ValueError as unknown:
            if errors == "raise":
                raise BatchError(name, index, f"ValueError: {unknown}") from None
            records[index] = RdfRecord(path=name, error=f"ValueError: {unknown}")
    if not tasks:
        return records  # type: ignore[return-value]

    groups = [tasks[first : first + files_per_task] for first in range(0, len(tasks), files_per_task)]
    with _submitter(client, n_workers, len(groups), mp_context) as submit:
        futures = [
            submit(_rdf_files, [(names[index], kind) for index, kind in group], cutoff, bin_size, n_threads)
            for group in groups
        ]
        try:
            for group, group_records in zip(groups, _in_order(futures, client)):
                for (index, _), record in zip(group, group_records):
                    if record.error is not None and errors == "raise":
                        raise BatchError(record.path, index, record.error)
                    records[index] = record
        finally:
            _cancel(futures)
    return records  # type: ignore[return-value]


def _trajectory_window(
    path: str,
    fmt: str | None,
    types: Any,
    every: int,
    start: int,
    stop: int,
    position: tuple[int, int],
    cell: Any,
    cutoff: float,
    bin_size: float,
    n_threads: int,
) -> list[FrameCurves]:
    """Worker: the curves of the kept frames in file frames [start, stop), read from
    `position` (where frame `start` begins) on."""
    from kelvara._kelvara import TrajectoryReader

    with TrajectoryReader(path, format=fmt, every=every, start=start, stop=stop, cell=cell,
                          types=types, position=position) as reader:
        structures, indices = reader.read(stop - start)
    return frame_curves(structures, indices, cutoff, bin_size, n_threads)


def trajectory_rdf_many(
    path: StrPath,
    cutoff: float | None = None,
    bin_size: float = 0.1,
    every: int = 1,
    start: int = 0,
    stop: int | None = None,
    cell: Sequence[Sequence[float]] | np.ndarray | None = None,
    chunk: int = 64,
    client: Any = None,
    n_workers: int | None = None,
    n_threads: int = 1,
    mp_context: multiprocessing.context.BaseContext | None = None,
    fmt: str | None = None,
    types: dict[Any, str] | None = None,
    topology: StrPath | None = None,
    block_size: int | None = None,
    frames: bool = False,
) -> TrajectoryRdf:
    """Frame-averaged RDFs of a trajectory (extended XYZ, LAMMPS dump or XDATCAR),
    its frame windows run in parallel.

    The same result as ``kelvara.trajectory_rdf`` with the same arguments (bit for
    bit for the same `chunk`): frames start, start + every, ... before stop, each
    with its own cell (``Lattice=``, else `cell`), averaged with equal weight; a
    pair of elements missing from a frame counts as a zero curve there;
    ``total_std`` is the population standard deviation.

    A first task scans the file once (building no frame) for the byte position of
    every window of `chunk` kept frames; each task then reads its window from that
    position and returns the summed curves of its frames, and the windows are
    merged in file order, so the result does not depend on the number of workers
    and the file is read about twice in all, however many windows there are.

    Args:
        path: the trajectory file; with a Dask client it is opened by the workers.
        cutoff, bin_size: as in ``kelvara.trajectory_rdf`` (the default cutoff comes
            from the boxes of the first window, read once more for it).
        every, start, stop, cell: frame selection and fallback cell, as in
            ``read_xyz_trajectory``.
        chunk: kept frames per task (at least 1); a worker holds one window in memory.
        client: a ``distributed.Client``; the tasks then run on its cluster.
        n_workers: processes of the local pool (default: the CPU count). Not
            allowed together with `client`.
        n_threads: engine threads per task (default 1, unlike ``trajectory_rdf``'s 0: the
            processes give the parallelism, and every one of them on all cores would
            oversubscribe the machine; 0 means the worker's shared pool).
        mp_context: a ``multiprocessing`` context for the local pool.
        fmt, types, block_size, frames: as in ``kelvara.trajectory_rdf``.
        topology: as in ``kelvara.trajectory_rdf``, for the formats read through
            MDAnalysis; their windows cannot be read in parallel, so it is refused
            (``trajectory_rdf`` reads such a file).

    Returns:
        A ``TrajectoryRdf`` (``r``, ``partials``, ``total``, ``total_std``,
        ``frame_indices``).

    Raises:
        ValueError: the message of ``read_xyz_trajectory`` or ``prdf`` for the
            first failing window in file order, or "chunk must be at least 1" /
            "every must be at least 1".
    """
    name = os.fspath(path)
    every, start, stop, chunk = frame_selection(every, start, stop, chunk)
    n_threads = operator.index(n_threads)
    if cell is not None:
        cell = [[float(x) for x in row] for row in cell]  # plain lists travel to any worker

    from kelvara._kelvara import TrajectoryReader
    from kelvara.trajectory.accumulate import default_cutoff
    from kelvara.trajectory.formats import NATIVE_FORMATS, atom_types, trajectory_format

    kind = trajectory_format(name, fmt)
    if kind not in (None, *NATIVE_FORMATS) or topology is not None:
        raise ValueError(f"frame windows can be read in parallel from xyz, lammps-dump and xdatcar files; "
                         f"use trajectory_rdf for {name}" + (f" (a {kind} trajectory)" if kind else "")
                         + (", which takes the topology" if topology is not None else ""))
    types = atom_types(types)  # plain str keys travel to any worker; two keys for one type are refused
    if cutoff is None:  # as trajectory_rdf chooses it: from the first window's boxes
        with TrajectoryReader(name, format=kind, every=every, start=start, stop=stop, cell=cell,
                              types=types) as reader:
            cutoff = default_cutoff(reader.read(chunk)[0], bin_size)
    _check_prdf_arguments(cutoff, bin_size, n_threads)
    averager = TrajectoryAverager(bin_size, block_size, frames, cutoff)
    with _submitter(client, n_workers, 2**31, mp_context) as submit:
        windows = submit(window_positions, name, every, start, stop, cell, chunk, kind, types).result()
        futures = [
            submit(_trajectory_window, name, kind, types, every, first, last, position, cell, cutoff,
                   bin_size, n_threads)
            for first, last, position in windows
        ]
        try:
            for window in _in_order(futures, client, block=1):  # one window in memory at a time
                averager.add_window(window)
        finally:
            _cancel(futures)
    return averager.result()
