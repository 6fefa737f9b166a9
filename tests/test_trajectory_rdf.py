"""trajectory_rdf: chunked reading, frame selection and frame-averaged curves."""

from __future__ import annotations

from pathlib import Path

import numpy as np
import pytest

import kelvara.trajectory as trajectory_module
from kelvara import read_xyz_trajectory
from kelvara._kelvara import TrajectoryReader
from kelvara.batch import trajectory_rdf_many
from kelvara.trajectory import trajectory_rdf


def write_trajectory(path, n_frames: int, seed: int = 3, mixed_elements: bool = False) -> str:
    """Frames with their own cell; with `mixed_elements`, frame i has Ni only when i % 3 == 0."""
    rng = np.random.default_rng(seed)
    with open(path, "w") as f:
        for i in range(n_frames):
            cell = np.diag(rng.uniform(6.0, 7.0, 3)) + rng.uniform(-0.3, 0.3, (3, 3))
            symbols = ["Fe", "Fe", "O", "O", "O"]
            if mixed_elements and i % 3 == 0:
                symbols[0] = "Ni"
            positions = rng.uniform(0.0, 1.0, (len(symbols), 3)) @ cell
            f.write(f"{len(symbols)}\nLattice=\"{' '.join(map(repr, cell.ravel().tolist()))}\" step={i}\n")
            f.writelines(f"{s} {x!r} {y!r} {z!r}\n" for s, (x, y, z) in zip(symbols, positions.tolist()))
    return str(path)


def reference(path, cutoff, bin_size, **selection):
    """Plain NumPy means over every selected frame's prdf, from one full read."""
    structures, indices, _ = read_xyz_trajectory(path, **selection)
    curves = [s.prdf(cutoff=cutoff, bin_size=bin_size, n_threads=1) for s in structures]
    pairs = sorted({pair for _, partials, _ in curves for pair in partials})
    zeros = np.zeros_like(curves[0][2])
    partials = {p: np.mean([c[1].get(p, zeros) for c in curves], axis=0) for p in pairs}
    totals = np.array([c[2] for c in curves])
    return curves[0][0], partials, totals.mean(axis=0), totals.std(axis=0), indices


def assert_same_average(result, reference) -> None:
    assert result.frame_indices == reference.frame_indices
    np.testing.assert_array_equal(result.r, reference.r)
    assert list(result.partials) == list(reference.partials)
    for pair in reference.partials:
        np.testing.assert_array_equal(result.partials[pair], reference.partials[pair])
    np.testing.assert_array_equal(result.total, reference.total)
    np.testing.assert_array_equal(result.total_std, reference.total_std)


@pytest.mark.parametrize(
    "selection, chunk",
    [
        ({}, 64),
        ({}, 1),
        ({}, 7),  # 23 frames: the file ends inside the last window
        ({"every": 3, "start": 2}, 2),
        ({"every": 2, "start": 1, "stop": 17}, 3),
        ({"every": 4, "stop": 200}, 1),
        ({"start": 22}, 4),
    ],
)
@pytest.mark.parametrize("mixed_elements", [False, True])
def test_matches_frame_by_frame_average(tmp_path, selection, chunk, mixed_elements):
    path = write_trajectory(tmp_path / "t.xyz", 23, mixed_elements=mixed_elements)
    r, partials, total, std, indices = reference(path, 3.0, 0.25, **selection)
    result = trajectory_rdf(path, cutoff=3.0, bin_size=0.25, chunk=chunk, n_threads=1, **selection)
    assert result.frame_indices == indices and result.n_frames == len(indices)
    np.testing.assert_array_equal(result.r, r)
    assert list(result.partials) == list(partials)
    for pair in partials:
        np.testing.assert_allclose(result.partials[pair], partials[pair], rtol=1e-12, atol=1e-15)
    np.testing.assert_allclose(result.total, total, rtol=1e-12, atol=1e-15)
    np.testing.assert_allclose(result.total_std, std, rtol=1e-9, atol=1e-12)
    if mixed_elements:  # the windows spread over worker processes give the same bits
        parallel = trajectory_rdf_many(path, 3.0, 0.25, chunk=chunk, n_workers=2, **selection)
        assert_same_average(parallel, result)


@pytest.fixture
def window_sizes(monkeypatch):
    """The frames of every read of the trajectory readers that get opened (a list per reader)."""
    import kelvara.trajectory.formats as formats_module

    opened: list[list[int]] = []

    class CountingReader:
        warnings: list[str] = []

        def __init__(self, *args, **kwargs):
            self.inner = TrajectoryReader(*args, **kwargs)
            opened.append([])

        def __enter__(self):
            return self

        def __exit__(self, *exc):
            self.inner.close()

        def read(self, n):
            result = self.inner.read(n)
            opened[-1].append(len(result[0]))
            return result

    monkeypatch.setattr(formats_module, "TrajectoryReader", CountingReader)
    return opened


@pytest.mark.parametrize("cutoff, n_threads, expected", [
    (1.0, 0, [1, 2, 4, 8, 5, 0]),  # counting starts early; the windows grow to the chunk
    (None, 0, [8, 8, 4, 0]),  # the first chunk of boxes decides the cutoff
    (1.0, 1, [8, 8, 4, 0]),  # read on the caller's thread: nothing to overlap
])
def test_windows_grow_to_the_chunk(tmp_path, window_sizes, cutoff, n_threads, expected):
    path = write_trajectory(tmp_path / "t.xyz", 20)
    result = trajectory_rdf(path, cutoff=cutoff, bin_size=0.25, chunk=8, n_threads=n_threads)
    assert window_sizes == [expected] and result.n_frames == 20


def test_windows_hold_at_most_chunk_frames(tmp_path, window_sizes):
    path = write_trajectory(tmp_path / "t.xyz", 20)
    calls = []
    trajectory_rdf(Path(path), cutoff=1.0, bin_size=0.5, every=3, start=1, chunk=2, n_threads=1,
                   progress=calls.append)
    assert window_sizes == [[2, 2, 2, 1, 0]]  # frames 1 4 | 7 10 | 13 16 | 19, then the end; one pass
    assert calls == [1, 2, 3, 4, 5, 6, 7]  # frames done, counted across the windows


@pytest.mark.parametrize("n_threads, pool, helper", [(1, 2, False), (2, 2, True), (0, 2, True), (0, 1, False)])
def test_one_thread_reads_on_the_callers_thread(tmp_path, monkeypatch, n_threads, pool, helper):
    """One thread (n_threads=1, or the shared pool of one) keeps a call to one core, as
    each worker of trajectory_rdf_many is; otherwise the next window is read on a
    helper thread while this one is counted."""
    import threading

    from kelvara import Structure
    from kelvara.trajectory import averaging

    monkeypatch.setattr(Structure, "available_threads", staticmethod(lambda: pool), raising=False)
    path = write_trajectory(tmp_path / "t.xyz", 6)
    readers = []

    class Task(averaging._Task):
        def _run(self, function, args):
            readers.append(threading.current_thread().name)
            super()._run(function, args)

    monkeypatch.setattr(averaging, "_Task", Task)
    result = trajectory_rdf(path, cutoff=2.0, bin_size=0.5, chunk=2, n_threads=n_threads)
    assert result.n_frames == 6
    # 1, 2, 2 and 1 frames, then the end; the window before the last is averaged beside the last
    assert readers == (["kelvara-read"] * 5 + ["kelvara-average"] if helper else [])


@pytest.mark.parametrize("n_threads", [1, 2])
def test_at_most_two_windows_are_alive(tmp_path, monkeypatch, n_threads):
    """When the next window is read, only the one being counted is still held: the one
    before it is let go of first, on whichever thread reads."""
    import sys

    import kelvara.trajectory.formats as formats_module

    path = write_trajectory(tmp_path / "t.xyz", 12)
    returned, alive = [], []

    class Reader:
        warnings: list[str] = []

        def __init__(self, *args, **kwargs):
            self.inner = TrajectoryReader(*args, **kwargs)

        def __enter__(self):
            return self

        def __exit__(self, *exc):
            self.inner.close()

        def read(self, n):
            alive.append(sum(sys.getrefcount(s) > 3 for s in returned))  # held besides `returned`, `s`, the argument
            structures, indices = self.inner.read(n)
            returned.extend(structures)
            return structures, indices

    monkeypatch.setattr(formats_module, "TrajectoryReader", Reader)
    result = trajectory_rdf(path, cutoff=2.0, bin_size=0.5, chunk=3, n_threads=n_threads)
    assert result.n_frames == 12 and len(alive) > 4
    assert max(alive) <= 3 and alive[-1] <= 3


@pytest.mark.parametrize("n_threads, windows_taken", [(1, 0), (2, 0), (2, 1), (2, 9)])
def test_windows_closed_at_any_point_close_the_file(tmp_path, n_threads, windows_taken):
    """With more threads the first window is read from the start: closing before the
    loop, in it or after it still waits for that read and closes the file."""
    from kelvara.trajectory.averaging import _Windows

    reader = TrajectoryReader(write_trajectory(tmp_path / "t.xyz", 8))
    windows = _Windows(reader, 2, [], n_threads)
    taken = [window for _, window in zip(range(windows_taken), windows)]
    windows.close()
    assert len(taken) == min(windows_taken, 4)
    assert reader.closed and not windows.reading()


def test_reader_notes_point_at_the_callers_line(tmp_path):
    """The frames are read on a helper thread; what the reader notes is still issued
    where the caller can act on it (its own line), not in the thread that read it."""
    from kelvara import ReadWarning
    from kelvara.pdf import total_pdf
    from kelvara.trajectory import Frames

    path = tmp_path / "t.xyz"
    path.write_text('2\nLattice="5 0 0 0 5 0 0 0 5"\nSi 0 0 0\nOï 1 1 1\n' * 3)  # read as O, and said
    for call in (lambda: trajectory_rdf(str(path), cutoff=2.0), lambda: total_pdf(Frames(str(path)), r_max=2.0)):
        with pytest.warns(ReadWarning, match="'Oï'") as record:
            call()
        assert [(w.filename, w.category) for w in record] == [(__file__, ReadWarning)]
