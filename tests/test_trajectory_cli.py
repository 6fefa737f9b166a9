"""Trajectories through the command line and the scattering functions."""

from __future__ import annotations

import csv

import numpy as np
import pytest

from kelvara import ReadWarning, Structure
from kelvara.cli import main
from kelvara.pdf import structure_factor, total_pdf
from kelvara.trajectory import Frames, trajectory_rdf
from kelvara._kelvara import TrajectoryReader
from test_trajectory_formats import random_dump, write_xdatcar


def test_info_rdf_and_pdf_of_a_dump(tmp_path, rng, capsys):
    dump = tmp_path / "md.lammpstrj"
    dump.write_text(random_dump(rng, 24, 16, True)[0])
    assert main(["info", str(dump), "--types", "1=Si,1=O,2=O"]) == 1  # every Si would have been O
    assert capsys.readouterr().err == ("kelvara: types: type 1 is given twice ('Si' and 'O'); give each "
                                       "type one element\n")
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


def test_bridged_formats_average_like_the_native_reader(tmp_path, rng):
    ase_io = pytest.importorskip("ase.io")
    from ase import Atoms

    frames = [Atoms(rng.choice(["Si", "O"], 12), positions=rng.uniform(0, 6, (12, 3)),
                    cell=np.diag(rng.uniform(6, 7, 3)), pbc=True) for _ in range(5)]
    ase_io.write(tmp_path / "run.traj", frames)
    ase_io.write(tmp_path / "run.xyz", frames, format="extxyz")
    with pytest.warns(ReadWarning, match=r"more than one frame; this structure is its first \(frame 0\)"):
        Structure.from_xyz(str(tmp_path / "run.xyz"))  # the single-structure reader says which frame
    native = trajectory_rdf(str(tmp_path / "run.xyz"), cutoff=3.0, bin_size=0.25, every=2)
    bridged = trajectory_rdf(tmp_path / "run.traj", cutoff=3.0, bin_size=0.25, every=2)
    assert bridged.frame_indices == native.frame_indices == [0, 2, 4]
    np.testing.assert_allclose(bridged.total, native.total, rtol=1e-12)
    np.testing.assert_allclose(bridged.g_total_err, native.g_total_err, rtol=1e-9)


def test_mdanalysis_formats_need_a_topology_that_names_elements(tmp_path, rng):
    mda = pytest.importorskip("MDAnalysis")
    u = mda.Universe.empty(8, trajectory=True, atom_resindex=[0] * 8)
    u.add_TopologyAttr("names", ["Si"] * 4 + ["O"] * 4)
    u.add_TopologyAttr("elements", ["Si"] * 4 + ["O"] * 4)
    u.add_TopologyAttr("resnames", ["X"])
    positions = rng.uniform(0, 5, (3, 8, 3))
    pdb, dcd = str(tmp_path / "top.pdb"), str(tmp_path / "run.dcd")
    with mda.Writer(dcd, 8) as writer:
        for frame in positions:
            u.atoms.positions = frame
            u.dimensions = [5, 5, 5, 90, 90, 90]
            writer.write(u.atoms)
    u.atoms.write(pdb)
    with pytest.raises(ValueError, match="pass the topology file"):
        trajectory_rdf(dcd, cutoff=2.0, bin_size=0.5)
    result = trajectory_rdf(dcd, cutoff=2.0, bin_size=0.5, topology=pdb, frames=True)
    expected = []
    for frame in positions:
        s = Structure([[5, 0, 0], [0, 5, 0], [0, 0, 5]], (frame / 5).tolist(),
                      [{"Si": 1.0}] * 4 + [{"O": 1.0}] * 4)
        expected.append(s.prdf(cutoff=2.0, bin_size=0.5)[2])
    np.testing.assert_allclose(result.frame_totals, expected, rtol=1e-5, atol=1e-6)  # DCD holds float32



def test_frame_averaged_errors_come_from_blocks_of_correlated_frames(tmp_path, rng):
    # Positions that wander slowly (correlation time ~8 frames): frame-to-frame scatter
    # understates the error of the mean, which blocks of frames must find.
    frac, fracs = rng.uniform(0, 1, (3, 3)), []
    for _ in range(128):
        frac = 0.9 * frac + 0.1 * (0.5 + rng.normal(0, 0.05, (3, 3)))
        fracs.append(np.round(frac % 1.0, 8))
    path = write_xdatcar(tmp_path / "XDATCAR", [np.eye(3) * 5.5] * 128, fracs)
    pdf = total_pdf(path, r_max=4.0, bin_size=0.05, broadening=0.1)
    assert pdf.block_size > 1
    structures, _ = TrajectoryReader(path).read(200)
    G = np.array([total_pdf(s, r_max=4.0, bin_size=0.05, broadening=0.1).G for s in structures])
    n = len(G) // pdf.block_size
    means = G[: n * pdf.block_size].reshape(n, pdf.block_size, -1).mean(axis=1)
    np.testing.assert_allclose(pdf.G_err, means.std(axis=0, ddof=1) / np.sqrt(n), rtol=1e-9, atol=1e-14)
