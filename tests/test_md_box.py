"""Simulation boxes: the minimum-image limit, self images left out of trajectory curves,
coordination numbers with block-averaged errors, and the same bits for any thread count."""

from __future__ import annotations

import numpy as np
import pytest
from test_rdf import reference_prdf

from kelvara import Structure
from kelvara.analysis import bond_angles, first_shell, shell_volumes
from kelvara.cli import main
from kelvara.pdf import total_pdf
from kelvara.trajectory import Frames, trajectory_rdf


def write_box(path, rng, n_frames=6, n_atoms=30, side=7.0, symbols=("Cu", "Ag")):
    """Liquid-like frames in a triclinic box whose size changes a little per frame."""
    frames = []
    with open(path, "w") as f:
        for i in range(n_frames):
            cell = np.diag([side, side * 1.04, side * 0.97]) * (1 + 0.01 * np.sin(i))
            cell[1, 0] = 0.4
            frac = rng.random((n_atoms, 3))
            names = [symbols[k % len(symbols)] for k in range(n_atoms)]
            frames.append((cell, frac, names))
            cart = frac @ cell
            f.write(f"{n_atoms}\nLattice=\"{' '.join(map(repr, cell.ravel().tolist()))}\"\n")
            f.writelines(f"{s} {x!r} {y!r} {z!r}\n" for s, (x, y, z) in zip(names, cart.tolist()))
    return str(path), frames


def half_height(cell):
    volume = abs(np.linalg.det(cell))
    return 0.5 * min(volume / np.linalg.norm(np.cross(cell[i - 2], cell[i - 1])) for i in range(3))


def test_default_cutoff_stays_within_half_the_box(tmp_path, rng):
    path, frames = write_box(tmp_path / "box.xyz", rng)
    limit = min(half_height(cell) for cell, _, _ in frames)
    result = trajectory_rdf(path, bin_size=0.05)
    assert result.cutoff <= limit < result.cutoff + 0.05 and result.minimum_image_limit == pytest.approx(limit)
    assert len(result.r) == round(result.cutoff / 0.05)
    assert not any("minimum-image" in w for w in result.warnings)
    # A large box keeps the usual 10 A.
    big, _ = write_box(tmp_path / "big.xyz", rng, n_frames=2, side=25.0)
    assert trajectory_rdf(big).cutoff == 10.0


def test_long_cutoff_warns_and_leaves_out_only_self_images(tmp_path, rng):
    path, frames = write_box(tmp_path / "box.xyz", rng, n_frames=4, n_atoms=12)
    result = trajectory_rdf(path, cutoff=9.0, bin_size=0.25)
    assert any("cutoff 9 A reaches beyond half the smallest box height" in w for w in result.warnings)
    # Every pair over all images but an atom with its own images, frame by frame.
    expected = [reference_prdf(cell, frac, [{s: 1.0} for s in names], 9.0, 0.25, self_images=False)
                for cell, frac, names in frames]
    for pair in result.partials:
        np.testing.assert_allclose(result.partials[pair], np.mean([e[1][pair] for e in expected], axis=0),
                                   rtol=1e-12, atol=1e-15)
    np.testing.assert_allclose(result.total, np.mean([e[2] for e in expected], axis=0), rtol=1e-12)


def test_a_lone_atom_has_no_neighbours_in_a_box_but_its_images_in_a_crystal(tmp_path):
    path = tmp_path / "one.xyz"
    path.write_text("".join('1\nLattice="3 0 0 0 3 0 0 0 3"\nAr 0.1 0.2 0.3\n' for _ in range(3)))
    crystal = Structure([[3, 0, 0], [0, 3, 0], [0, 0, 3]], [[0.1, 0.2, 0.3]], [{"Ar": 1.0}])
    assert crystal.prdf(cutoff=4.0)[2][30] > 0  # six images at 3 A
    result = trajectory_rdf(str(path), cutoff=4.0)
    np.testing.assert_array_equal(result.total, 0.0)
    assert result.minimum_image_limit == 1.5 and "(1.5 A, frame 0)" in result.warnings[0]
    pdf = total_pdf(Frames(str(path)), r_max=4.0, bin_size=0.01)
    np.testing.assert_allclose(pdf.G, -4 * np.pi * pdf.rho0 * pdf.r, rtol=1e-12)  # no peak at 3 A
    assert any("r_max 4 A reaches beyond" in w for w in pdf.warnings)
    assert total_pdf(Frames(str(path)), bin_size=0.01).r[-1] < 1.5  # the default stays within


def test_coordination_and_its_error_are_block_means_of_frames(tmp_path, rng):
    path, _ = write_box(tmp_path / "box.xyz", rng, n_frames=24)
    result = trajectory_rdf(path, cutoff=3.4, bin_size=0.1, block_size=4, frames=True)
    shells = shell_volumes(result.r, 0.1, 3.4)
    for pair, frame_curves in result.frame_partials.items():
        per_frame = np.cumsum(frame_curves * shells, axis=1)
        blocks = per_frame.reshape(6, 4, -1).mean(axis=1)
        np.testing.assert_allclose(result.coordination[pair], per_frame.mean(axis=0), rtol=1e-12, atol=1e-15)
        np.testing.assert_allclose(result.coordination_err[pair], blocks.std(axis=0, ddof=1) / np.sqrt(6),
                                   rtol=1e-9, atol=1e-15)
    shells_found = first_shell(result)
    for pair, shell in shells_found.items():
        if shell is None or shell.coordination is None:
            continue
        k = round(shell.minimum_r / 0.1) - 1
        assert shell.coordination == result.coordination[pair][k]
        assert shell.coordination_err == result.coordination_err[pair][k]
        assert shell.peak_r_err is not None and shell.peak_r_err >= 0
    assert first_shell(result, ("Cu", "Ag")) == shells_found[("Cu", "Ag")]
    with pytest.raises(KeyError, match="Cu-Zn is not a pair"):
        first_shell(result, ("Cu", "Zn"))


@pytest.mark.parametrize("reading", [None, True, False])
def test_thread_counts_give_the_same_bits(tmp_path, rng, monkeypatch, reading):
    """`reading`: the next window is (True) or is not (False) still being read all
    the time, so every frame is counted on one thread fewer, or on all of them."""
    from kelvara.trajectory.averaging import _Windows

    if reading is not None:
        monkeypatch.setattr(_Windows, "reading", lambda self: reading and self.threads > 1)
    path, _ = write_box(tmp_path / "box.xyz", rng, n_frames=9, n_atoms=200, side=12.0)
    runs = [trajectory_rdf(path, cutoff=5.0, bin_size=0.05, chunk=4, n_threads=n) for n in (1, 2, 3)]
    angles = [bond_angles(path, "Cu", "Ag", 3.0, n_threads=n, chunk=4) for n in (1, 2, 3)]
    for other in runs[1:]:
        for name in ("total", "total_std", "g_total", "g_total_err"):
            np.testing.assert_array_equal(getattr(other, name), getattr(runs[0], name))
        for name in ("partials", "g_partials", "coordination", "coordination_err"):
            for pair, curve in getattr(runs[0], name).items():
                np.testing.assert_array_equal(getattr(other, name)[pair], curve)
    for other in angles[1:]:
        np.testing.assert_array_equal(other.p, angles[0].p)
        np.testing.assert_array_equal(other.p_err, angles[0].p_err)


def test_commands_report_the_limit_shells_and_window(tmp_path, rng, capsys, monkeypatch):
    import kelvara.pdf.plots
    import kelvara.plotting

    path, _ = write_box(tmp_path / "box.xyz", rng, n_frames=16)
    written = []
    real = kelvara.plotting.write_columns
    for module in (kelvara.plotting, kelvara.pdf.plots):  # every writer of a CSV, counted
        monkeypatch.setattr(module, "write_columns", lambda p, columns: written.append(str(p)) or real(p, columns))
    assert main(["rdf", path, "--out", str(tmp_path / "rdf")]) == 0
    out = capsys.readouterr().out
    assert "the largest whole number of bins within half the smallest box height" in out
    assert "standard errors of g(r) from blocks of" in out
    assert "Cu-Ag: first peak at" in out and " +/- " in out and "neighbours within" in out
    assert [p.rsplit("/", 1)[1] for p in written].count("rdf.csv") == 1  # written once
    header = (tmp_path / "rdf" / "rdf.csv").read_text().splitlines()[0].split(",")
    assert {"cn_Cu-Ag", "cn_Cu-Ag_err", "g_Cu-Ag_err"} <= set(header)

    written.clear()
    assert main(["pdf", path, "--out", str(tmp_path / "pdf"), "--bin-size", "0.05"]) == 0
    out = capsys.readouterr().out
    assert "S(Q) with Lorch window (window=None, --window none: without)" in out
    assert "standard errors of G(r) from blocks of" in out and "of S(Q) from blocks of" in out
    assert sorted(p.rsplit("/", 1)[1] for p in written) == ["pdf.csv", "sq.csv"]
    assert (tmp_path / "pdf" / "pdf.csv").read_text().startswith("r,g,G,g_err,G_err\n")
    assert (tmp_path / "pdf" / "sq.csv").read_text().startswith("Q,S,S_err,")
    assert main(["pdf", path, "--out", str(tmp_path / "pdf"), "--force", "--window", "none"]) == 0
    assert "S(Q) with no window" in capsys.readouterr().out
    assert main(["angles", path, "--triplet", "Ag-Cu-Ag", "--cutoff", "3", "--out", str(tmp_path / "a")]) == 0
    assert "Ag-Cu-Ag angles within 3 A averaged over 16 frames" in capsys.readouterr().out
    assert (tmp_path / "a" / "angles.csv").read_text().startswith("angle,p,p_err\n")
    assert main(["angles", path, "--triplet", "Ag-Cu", "--cutoff", "3", "--out", str(tmp_path / "b")]) == 1
    assert "--triplet takes three elements" in capsys.readouterr().err
