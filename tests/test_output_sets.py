"""A command's outputs replace the earlier run's as one set: a run that fails, is stopped or
meets a full disk leaves the earlier set whole; a write error names its file; a link is
written through and a FIFO refused."""

from __future__ import annotations

import errno
import os

import numpy as np
import pytest

import kelvara._files
from kelvara import Structure
from kelvara.cli import DATA, main
from kelvara.io import write_structure

SRBATIO3 = str(DATA / "SrBaTiO3.cif")
EARLIER = {"rdf.csv": b"earlier csv\n", "rdf_total.png": b"earlier figure\n", "rdf_partials.png": b"earlier\n"}


@pytest.fixture
def out(tmp_path, monkeypatch):
    """An --out folder holding an earlier run's set and a file of the user's own."""
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr("kelvara.cli.structure.plots_available", lambda: False)  # the CSV alone
    folder = tmp_path / "o"
    folder.mkdir()
    for name, data in EARLIER.items():
        (folder / name).write_bytes(data)
    (folder / "notes.txt").write_text("mine\n")
    return folder


def contents(folder):
    return {p.name: p.read_bytes() for p in folder.iterdir()}


def failing_fsync(after: int, error: BaseException):
    """os.fsync that fails from the `after`-th call on, as a full disk or Ctrl-C would."""
    calls = []

    def fsync(fd):
        calls.append(fd)
        if len(calls) > after:
            raise error
    return fsync


@pytest.mark.parametrize(("error", "status", "message"), [
    (OSError(errno.EFBIG, "File too large"), 1, "kelvara: [Errno 27] File too large: 'o/rdf.csv'\n"),
    (OSError(errno.ENOSPC, "No space left on device"), 1,
     "kelvara: [Errno 28] No space left on device: 'o/rdf.csv'\n"),
    (KeyboardInterrupt(), 130, "kelvara: interrupted\n"),
])
def test_a_failed_run_leaves_the_earlier_set_whole(out, monkeypatch, capsys, error, status, message):
    monkeypatch.setattr(kelvara._files.os, "fsync", failing_fsync(0, error))
    before = contents(out)
    assert main(["rdf", SRBATIO3, "--cutoff", "3", "--out", "o", "--force"]) == status
    assert capsys.readouterr().err == message
    assert contents(out) == before  # no staging folder left either
    assert sorted(os.listdir(out.parent)) == ["o"]


def test_a_finished_run_replaces_the_whole_set(out, capsys):
    assert main(["rdf", SRBATIO3, "--cutoff", "3", "--out", "o", "--force"]) == 0
    after = contents(out)
    # The earlier figures are not left beside the new CSV; the user's file stays.
    assert sorted(after) == ["notes.txt", "rdf.csv"] and after["rdf.csv"] != EARLIER["rdf.csv"]
    assert "written to o/:" in capsys.readouterr().out
    assert sorted(os.listdir(out.parent)) == ["o"]
    # A new folder (and its missing parents) appears only when the set is complete.
    assert main(["rdf", SRBATIO3, "--cutoff", "3", "--out", "new/deeper"]) == 0
    assert sorted(os.listdir(out.parent / "new" / "deeper")) == ["rdf.csv"]
    assert oct(os.stat(out.parent / "new" / "deeper").st_mode & 0o777) != oct(0o700)


def test_links_are_written_through_and_fifos_refused(out, capsys):
    elsewhere = out.parent / "kept.csv"
    elsewhere.write_text("old\n")
    (out / "rdf.csv").unlink()
    (out / "rdf.csv").symlink_to(elsewhere)
    assert main(["rdf", SRBATIO3, "--cutoff", "3", "--out", "o", "--force"]) == 0
    assert (out / "rdf.csv").is_symlink() and elsewhere.read_text().startswith("r_left")
    (out / "rdf.csv").unlink()
    os.mkfifo(out / "rdf.csv")
    assert main(["rdf", SRBATIO3, "--cutoff", "3", "--out", "o", "--force"]) == 1
    assert capsys.readouterr().err.endswith(
        "kelvara: o/rdf.csv is a FIFO, not a regular file; kelvara writes its results only to regular files\n")
    # The same rule for one file.
    small = Structure(np.eye(3) * 4, [[0, 0, 0]], [{"Si": 1.0}])
    (out.parent / "link.cif").symlink_to(elsewhere)
    write_structure(small, out.parent / "link.cif")
    assert (out.parent / "link.cif").is_symlink() and "data_" in elsewhere.read_text()
    os.mkfifo(out / "pipe.cif")
    with pytest.raises(ValueError, match="pipe.cif is a FIFO, not a regular file"):
        write_structure(small, out / "pipe.cif")
