"""Batch RDF runs: many files and trajectory windows, on a process pool and on Dask."""

from __future__ import annotations

import os
import pathlib
import pickle
import signal
import subprocess
import sys
import time

import numpy as np
import pytest
from conftest import random_triclinic
from test_trajectory_rdf import assert_same_average, write_trajectory

from kelvara import Structure, trajectory_rdf
from kelvara.batch import BatchError, RdfRecord, rdf_many, trajectory_rdf_many
from kelvara.io import write_structure

DATA = pathlib.Path(__file__).parents[1] / "src" / "kelvara" / "data"
CUTOFF, BIN = 4.0, 0.2
READERS = {".cif": Structure.from_cif, ".vasp": Structure.from_poscar, ".xyz": Structure.from_xyz}


@pytest.fixture(scope="module")
def screening_set(tmp_path_factory) -> list[str]:
    """Ten small ordered structures in all three formats plus the bundled examples
    (one of them disordered)."""
    folder = tmp_path_factory.mktemp("screen")
    rng = np.random.default_rng(11)
    paths = []
    for i in range(10):
        structure = random_triclinic(rng, 6 + i, elements=("Fe", "O", "Ni")[: 1 + i % 3])
        path = folder / f"s{i}{('.cif', '.vasp', '.xyz')[i % 3]}"
        write_structure(structure, path)
        paths.append(str(path))
    return paths + [str(DATA / "SrBaTiO3.cif"), str(DATA / "Si.poscar")]


def read(path: str) -> Structure:
    suffix = pathlib.Path(path).suffix
    return READERS.get(suffix, Structure.from_poscar)(path)


def assert_same_record(record: RdfRecord, path: str) -> None:
    """The record holds exactly what reading the file and calling prdf gives."""
    structure = read(path)
    r, partials, total = structure.prdf(cutoff=CUTOFF, bin_size=BIN, n_threads=1)
    assert record.ok and record.path == path
    np.testing.assert_array_equal(record.r, r)
    np.testing.assert_array_equal(record.total, total)
    assert list(record.partials) == list(partials)
    for pair, curve in partials.items():
        np.testing.assert_array_equal(record.partials[pair], curve)
    assert (record.n_sites, record.n_atoms, record.volume, record.elements) == (
        structure.n_sites, structure.n_atoms, structure.volume, structure.elements)
    assert record.composition == structure.composition
    assert record.density == structure.n_atoms / structure.volume


@pytest.mark.parametrize("n_workers, files_per_task", [(1, 1), (2, 1), (2, 5)])
def test_matches_prdf_file_by_file_in_input_order(screening_set, n_workers, files_per_task):
    paths = screening_set[::-1] + screening_set[:2]  # reversed, with repeats
    records = rdf_many(paths, cutoff=CUTOFF, bin_size=BIN, n_workers=n_workers,
                       files_per_task=files_per_task)  # fmt: skip
    assert [record.path for record in records] == paths
    for record, path in zip(records, paths):
        assert_same_record(record, path)


def failing_set(tmp_path, screening_set) -> list[str]:
    broken = tmp_path / "broken.cif"
    broken.write_text("data_x\n_cell_length_a 4\n")
    return [screening_set[0], str(tmp_path / "missing.vasp"), str(broken), str(tmp_path / "notes.txt")]


def test_collect_keeps_going_and_names_each_failure(tmp_path, screening_set):
    paths = failing_set(tmp_path, screening_set)
    records = rdf_many(paths, cutoff=CUTOFF, bin_size=BIN, n_workers=2, errors="collect")
    assert [record.path for record in records] == paths
    assert_same_record(records[0], paths[0])
    missing, broken, unknown = records[1:]
    assert missing.error.startswith("OSError: ") and "missing.vasp" in missing.error
    assert broken.error.startswith("ValueError: ")
    assert unknown.error.startswith("ValueError: cannot tell the format of")
    for record in records[1:]:
        assert not record.ok and record.r is None and record.partials == {}


@pytest.mark.parametrize("files_per_task", [1, 2])
def test_raise_names_the_first_failing_file(tmp_path, screening_set, files_per_task):
    paths = failing_set(tmp_path, screening_set)
    with pytest.raises(BatchError) as caught:
        rdf_many(paths[:3], cutoff=CUTOFF, bin_size=BIN, n_workers=2, files_per_task=files_per_task)
    error = caught.value
    assert (error.path, error.index) == (paths[1], 1)
    assert str(error).startswith(f"{paths[1]} (file 2 of the batch): OSError: ")
    assert pickle.loads(pickle.dumps(error)).error == error.error
    # A name whose format cannot be guessed fails before any file is read.
    with pytest.raises(BatchError, match="notes.txt.*cannot tell the format"):
        rdf_many([paths[0], paths[3]], cutoff=CUTOFF, bin_size=BIN, n_workers=1)


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"cutoff": -1.0}, "cutoff must be positive"),
        ({"bin_size": 0.0}, "bin_size must be positive"),
        ({"fmt": "pdb"}, "unknown format 'pdb'"),
        ({"errors": "ignore"}, "errors must be 'raise' or 'collect'"),
        ({"n_workers": 0}, "n_workers must be at least 1"),
        ({"files_per_task": 0}, "files_per_task must be at least 1"),
    ],
)
def test_bad_arguments_raise_once_before_any_work(screening_set, kwargs, message):
    with pytest.raises(ValueError, match=message):
        rdf_many(screening_set[:2], **{"cutoff": CUTOFF, "bin_size": BIN, **kwargs})


def test_paths_and_the_format_override(tmp_path, screening_set):
    with pytest.raises(TypeError, match="sequence of files"):
        rdf_many(screening_set[0])
    assert rdf_many([]) == []
    renamed = tmp_path / "structure.txt"  # a path object, and a name that tells no format
    renamed.write_text(pathlib.Path(screening_set[0]).read_text())
    (record,) = rdf_many([renamed], cutoff=CUTOFF, bin_size=BIN, fmt="CIF", n_workers=1)
    assert record.path == str(renamed)
    np.testing.assert_array_equal(record.total, read(screening_set[0]).prdf(cutoff=CUTOFF, bin_size=BIN)[2])


# The windows' bits against trajectory_rdf, selection by selection: test_trajectory_rdf.py.
@pytest.fixture(scope="module")
def trajectory(tmp_path_factory) -> str:
    return write_trajectory(tmp_path_factory.mktemp("traj") / "t.xyz", 23, mixed_elements=True)


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"start": 23}, "the file has 23 frame(s) but none matched start/every/stop"),
        ({"start": 4, "stop": 4}, "the file has 4 frame(s) but none matched start/every/stop"),
        ({"stop": 0}, "no frames found in the file"),
        ({"chunk": 0}, "chunk must be at least 1"),
        ({"every": 0}, "every must be at least 1"),
        ({"cutoff": 0.0}, "cutoff must be positive"),
        # Two keys that read as one type: which wins would be an accident of order.
        ({"types": {1: "Fe", "1": "O"}}, "types: type 1 is given twice ('Fe' and 'O'); give each type one element"),
    ],
)
def test_trajectory_errors_match_trajectory_rdf(trajectory, kwargs, message):
    arguments = {"cutoff": 3.0, "bin_size": 0.25, **kwargs}
    with pytest.raises(ValueError) as expected:
        trajectory_rdf(trajectory, **arguments)
    with pytest.raises(ValueError) as caught:
        trajectory_rdf_many(trajectory, n_workers=2, **arguments)
    assert str(caught.value) == str(expected.value) == message


def test_trajectory_error_in_a_later_window(tmp_path, trajectory):
    """A broken frame in the middle is reported with the reader's message."""
    lines = pathlib.Path(trajectory).read_text().splitlines(keepends=True)
    lines[7 * 15 + 2] = "Fe 0.0 zero 0.0\n"  # frame 15: 7 lines per frame
    broken = tmp_path / "broken.xyz"
    broken.write_text("".join(lines))
    with pytest.raises(ValueError) as expected:
        trajectory_rdf(str(broken), cutoff=3.0, bin_size=0.25, chunk=4)
    with pytest.raises(ValueError) as caught:
        trajectory_rdf_many(broken, 3.0, 0.25, chunk=4, n_workers=2)
    assert str(caught.value) == str(expected.value) == "expected a number, found 'zero'"


# The Dask tests come last: the local pool forks, and forking is safest before the
# cluster's threads exist in this process.


@pytest.fixture(scope="module")
def client():
    distributed = pytest.importorskip("distributed")
    pytest.importorskip("dask")
    cluster = distributed.LocalCluster(
        n_workers=2, processes=True, threads_per_worker=1, dashboard_address=None
    )
    dask_client = distributed.Client(cluster)
    yield dask_client
    dask_client.close()
    cluster.close()


def test_dask_gives_the_same_arrays(client, screening_set, trajectory, tmp_path):
    for files_per_task in (1, 5):
        records = rdf_many(
            screening_set, cutoff=CUTOFF, bin_size=BIN, client=client, files_per_task=files_per_task
        )
        for record, path in zip(records, screening_set):
            assert_same_record(record, path)

    reference = trajectory_rdf(trajectory, cutoff=3.0, bin_size=0.25, every=2, chunk=3)
    result = trajectory_rdf_many(trajectory, 3.0, 0.25, every=2, chunk=3, client=client)
    assert_same_average(result, reference)

    paths = failing_set(tmp_path, screening_set)
    with pytest.raises(BatchError, match="missing.vasp"):
        rdf_many(paths[:3], cutoff=CUTOFF, bin_size=BIN, client=client)
    collected = rdf_many(paths, cutoff=CUTOFF, bin_size=BIN, client=client, errors="collect")
    assert [record.ok for record in collected] == [True, False, False, False]
    with pytest.raises(ValueError, match="n_workers sizes the local pool"):
        rdf_many(screening_set, client=client, n_workers=2)


def group_members(pgid: int) -> list[int]:
    """Processes of group `pgid` that still run (a zombie left for init to reap has ended)."""
    members = []
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            fields = pathlib.Path(f"/proc/{entry}/stat").read_text().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if int(fields[2]) == pgid and fields[0] != "Z":
            members.append(int(entry))
    return members


@pytest.mark.skipif(not os.path.isdir("/proc"), reason="lists processes through /proc")
@pytest.mark.parametrize("call", ["rdf_many([single] * 400, cutoff=10.0, n_workers=2)",
                                  "trajectory_rdf_many(frames, cutoff=10.0, chunk=1, n_workers=2)"])
@pytest.mark.parametrize("signum", [signal.SIGTERM, signal.SIGINT])
def test_workers_end_with_their_parent(tmp_path, call, signum):
    """A signal to the parent alone (`kill PID`): SIGTERM ends it at once, and the
    workers must notice; SIGINT is a KeyboardInterrupt, and the parent drops the tasks
    not started."""
    code = f"""if True:
        import signal; signal.signal(signal.SIGINT, signal.default_int_handler)
        import numpy as np
        from kelvara.batch import rdf_many, trajectory_rdf_many
        rng, single, frames = np.random.default_rng(1), {str(tmp_path / "one.xyz")!r}, {str(tmp_path / "md.xyz")!r}
        frame = "800\\nLattice=\\"20 0 0 0 20 0 0 0 20\\"\\n" + "".join(
            f"Si {{x}} {{y}} {{z}}\\n" for x, y, z in rng.uniform(0, 20, (800, 3)))
        open(single, "w").write(frame)
        open(frames, "w").write(frame * 100)
        print('ready', flush=True)
        {call}
    """
    child = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             start_new_session=True, text=True)
    try:
        assert child.stdout.readline() == "ready\n"
        deadline = time.monotonic() + 30
        while len(group_members(child.pid)) < 3 and time.monotonic() < deadline:
            time.sleep(0.05)  # the two workers have started
        assert len(group_members(child.pid)) == 3 and child.poll() is None
        child.send_signal(signum)
        child.wait(timeout=30)
        deadline = time.monotonic() + 10  # generous: the workers look every 0.2 s
        while group_members(child.pid) and time.monotonic() < deadline:
            time.sleep(0.05)
        assert group_members(child.pid) == []
    finally:
        for pid in group_members(child.pid):
            os.kill(pid, signal.SIGKILL)
        child.kill()
        child.wait()
