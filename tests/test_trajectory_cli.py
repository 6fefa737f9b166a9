"""Trajectories through the command line and the scattering functions."""

from __future__ import annotations

import csv

import numpy as np
import pytest

from kelvara import ReadWarning, Structure
from kelvara.cli import main
from kelvara.scattering import structure_factor, total_pdf
from kelvara.trajectory import Frames, trajectory_rdf
from kelvara._kelvara import TrajectoryReader
from test_trajectory_formats import random_dump, write_xdatcar


@pytest.fixture
def dump(tmp_path, rng):
    text, _ = random_dump(rng, 24, 16, True)
    path = tmp_path / "md.lammpstrj"
    path.write_text(text)
    return path


def test_info_rdf_and_pdf_of_a_dump(dump, tmp_path, capsys):
    assert main(["info", str(dump), "--types", "1=Si,2=O"]) == 0
    out = capsys.readouterr().out
    structures, _ = TrajectoryReader(str(dump), types={1: "Si", 2: "O"}).read(100)
    volumes = [s.volume for s in structures]
    assert "lammps-dump trajectory" in out and "frames 24, atoms per frame 16, elements O Si" in out
    assert f"cell volume {min(volumes):.3f} to {max(volumes):.3f} A^3" in out

    out_dir = tmp_path / "out"
    assert main(["rdf", str(dump), "--types", "1=Si,2=O", "--cutoff", "3", "--bin-size", "0.5",
                 "--every", "2", "--block-size", "3", "--out", str(out_dir)]) == 0
    with open(out_dir / "rdf.csv") as f:
        rows = list(csv.DictReader(f))
    result = trajectory_rdf(str(dump), cutoff=3, bin_size=0.5, every=2, types={1: "Si", 2: "O"}, block_size=3)
    for column, curve in [("g_total", result.g_total), ("g_Si-O", result.g_partials[("Si", "O")]),
                          ("total_err", result.total_err), ("g_O-O_err", result.g_partials_err[("O", "O")])]:
        np.testing.assert_allclose([float(row[column]) for row in rows], curve, rtol=1e-13)
    assert "blocks of 3 frame(s) (4 blocks)" in capsys.readouterr().out

    assert main(["pdf", str(dump), "--types", "1=Si,2=O", "--rmax", "3", "--every", "4",
                 "--out", str(out_dir)]) == 0
    with open(out_dir / "pdf.csv") as f:
        rows = list(csv.DictReader(f))
    pdf = total_pdf(Frames(str(dump), every=4, types={1: "Si", 2: "O"}), r_max=3)
    np.testing.assert_allclose([float(row["G"]) for row in rows], pdf.G, rtol=1e-12, atol=1e-15)
    assert "G_err" in rows[0] and pdf.n_frames == 6


def test_frame_averaged_pdf_and_sq_are_means_of_frames(tmp_path, rng):
    cells = [np.diag(rng.uniform(5, 6, 3)) for _ in range(6)]
    fracs = [np.round(rng.uniform(0, 1, (3, 3)), 8) for _ in range(6)]
    path = write_xdatcar(tmp_path / "XDATCAR", cells, fracs, varying=True)
    structures, _ = TrajectoryReader(path).read(10)
    pdf = total_pdf(path, r_max=4.0, bin_size=0.05, broadening=0.1)
    frames = [total_pdf(s, r_max=4.0, bin_size=0.05, broadening=0.1) for s in structures]
    np.testing.assert_allclose(pdf.G, np.mean([f.G for f in frames], axis=0), rtol=1e-12, atol=1e-14)
    np.testing.assert_allclose(pdf.G_err, np.std([f.G for f in frames], axis=0, ddof=1) / np.sqrt(6),
                               rtol=1e-9, atol=1e-14)
    q = np.linspace(0.5, 10, 20)
    sq = structure_factor(Frames(path, start=1), q=q, r_max=4.0, bin_size=0.05)
    expected = np.mean([structure_factor(s, q=q, r_max=4.0, bin_size=0.05).S for s in structures[1:]], axis=0)
    np.testing.assert_allclose(sq.S, expected, rtol=1e-12)


def test_single_structure_readers_say_which_frame(tmp_path):
    path = tmp_path / "two.xyz"
    path.write_text('1\nLattice="3 0 0 0 3 0 0 0 3"\nH 0 0 0\n' * 2)
    with pytest.warns(ReadWarning, match=r"more than one frame; this structure is its first \(frame 0\)"):
        Structure.from_xyz(str(path))
