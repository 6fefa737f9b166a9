"""The kelvara command: info, expand, rdf (structures, expansions, trajectories) and pdf."""

from __future__ import annotations

import json

import csv
import pathlib

import numpy as np
import pytest

from kelvara import Structure
from kelvara.cli import DATA, main

pytest.importorskip("matplotlib")
SBT = str(DATA / "SrBaTiO3.cif")


def run(capsys, *argv: str) -> tuple[int, str, str]:
    status = main(list(argv))
    out, err = capsys.readouterr()
    return status, out, err


def read_csv(path: pathlib.Path) -> dict[str, np.ndarray]:
    with path.open() as handle:
        rows = list(csv.reader(handle))
    return {name: np.array([float(row[k]) for row in rows[1:]]) for k, name in enumerate(rows[0])}


def test_bare_command_runs_rdf_on_the_bundled_example(capsys, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    status, out, _ = run(capsys)
    assert status == 0
    assert "SrBaTiO3.cif" in out and "site 0" in out
    assert "Ti-O: first peak at 1.975 A (refined within its bin" in out and "6.00 neighbours" in out
    columns = read_csv(tmp_path / "kelvara-out" / "rdf.csv")
    sbt = Structure.from_cif(SBT)
    r, partials, total = sbt.prdf()
    np.testing.assert_allclose(columns["total"], total, rtol=1e-12)
    np.testing.assert_allclose(columns["Ti-O"], partials[("Ti", "O")], rtol=1e-12)
    # The normalised columns divide by the density of the neighbour element (Ba: half an
    # atom per cell).
    counted = columns["Sr-Ba"] > 0
    np.testing.assert_allclose(columns["g_Sr-Ba"][counted] / columns["Sr-Ba"][counted], sbt.volume / 0.5)
    assert (tmp_path / "kelvara-out" / "rdf_total.png").stat().st_size > 10_000


def test_expand_writes_the_ordered_structure_over_a_file_only_with_force(capsys, tmp_path):
    out_file = tmp_path / "ordered.vasp"
    out_file.write_text("precious")
    argv = ["expand", SBT, "-o", str(out_file), "--seed", "7"]
    status, _, err = run(capsys, *argv)
    assert status == 1 and "ordered.vasp exists; pass --force" in err and out_file.read_text() == "precious"
    status, out, err = run(capsys, *argv, "--force")
    assert status == 0
    assert "2x2x2 supercell: 5 -> 40 sites" in out
    assert "requested 0.5000, achieved 0.5000 (4 of 8 sites)" in out
    ordered = Structure.from_poscar(str(out_file))
    expected, _ = Structure.from_cif(SBT).expand_occupancies(seed=7)
    assert ordered.composition == expected.composition and ordered.is_ordered
    assert json.loads((tmp_path / "ordered-report.json").read_text())["scale"] == [2, 2, 2]
    # Any shape: Sr 0.7 / Ba 0.3 on the A site needs 20 cells; not the slab 2x2x5.
    cif = tmp_path / "sbt.cif"
    text = (DATA / "SrBaTiO3.cif").read_text()
    cif.write_text(text.replace("Sr  0  0  0  0.5", "Sr  0  0  0  0.7").replace("Ba  0  0  0  0.5", "Ba  0  0  0  0.3"))
    status, out, _ = run(capsys, "expand", str(cif), "--shape", "any", "--max-sites", "100")
    assert status == 0 and ("expanded into a cell of rows (2 2 0), (2 0 2), (1 -2 -2) times a, b, c "
                            "(shortest height 9.58 A, 0.84 of the longest): 5 -> 100 sites") in out
    assert out.endswith("note: nothing was written; add -o FILE (.cif, .vasp or POSCAR, .xyz) to save the "
                        "ordered structure and its report\n")


def test_expand_sqs_writes_structure_and_report(capsys, tmp_path):
    out_file = tmp_path / "POSCAR"
    status, out, err = run(capsys, "expand", SBT, "--sqs", "--max-sites", "160", "--steps", "3000",
                           "-o", str(out_file))
    assert status == 0 and err == "" and "quasirandom arrangement: largest |alpha|" in out
    report = json.loads((tmp_path / "POSCAR-report.json").read_text())
    assert report["settings"]["method"] == "sqs" and report["composition"] == {"Ba": 16, "O": 96, "Sr": 16, "Ti": 32}
    ordered = Structure.from_poscar(str(out_file))
    assert ordered.composition == report["composition"]
    assert out_file.read_text().splitlines()[5].split() == ["Ba", "O", "Sr", "Ti"]
    assert report["sqs"]["objective"] == max(abs(a) for e in report["sqs"]["alpha"] for a in e["after"])
    # Refused on one line before any work, the earlier files untouched.
    for argv, message in [
        (["--sqs", "-o", str(out_file)], f"{out_file} exists; pass --force to replace it"),
        (["--sqs", "--shape", "any"], "--sqs picks its own compact cell; leave out --shape"),
        (["--time", "5"], "--shells, --steps, --time and --threads set the search of --sqs; "
                        "add --sqs or leave them out"),
        (["--sqs", "--time", "-1"], "--time must be a number of seconds, 0 or more, not -1.0"),
    ]:
        status, out, err = run(capsys, "expand", SBT, *argv)
        assert (status, out, err) == (1, "", f"kelvara: {message}\n")


def test_rdf_with_expansions_reports_the_spread(capsys, tmp_path):
    status, out, _ = run(capsys, "rdf", str(DATA / "SrBaTiO3.cif"), "--expand", "--seeds", "4",
                         "--cutoff", "6", "--out", str(tmp_path))
    assert status == 0
    assert "4 seeded expansions" in out and "spread across seeds" in out
    # Only the A-site pairs change with the ordering; they are named and plotted.
    named = out.split("change with the ordering, largest spread first: ")[1].splitlines()[0]
    assert sorted(named.split(", ")) == ["Ba-Ba", "Ba-Sr", "Sr-Ba", "Sr-Sr"]
    columns = read_csv(tmp_path / "expansion_spread.csv")
    # Sr and Ba sit on the same sublattice: every expansion has the same total curve.
    np.testing.assert_allclose(columns["total_std"], 0.0, atol=1e-12)
    assert np.any(columns["Ba-Ba_std"] > 0)  # but which A sites hold Ba differs by seed
    assert (tmp_path / "expansion_spread.png").exists()
    # An ordered structure runs once, with no spread to report.
    status, out, _ = run(capsys, "rdf", str(DATA / "NaCl.cif"), "--expand", "--cutoff", "5",
                         "--out", str(tmp_path / "nacl"))
    assert status == 0 and "the structure is ordered" in out
    assert not (tmp_path / "nacl" / "expansion_spread.csv").exists()


def test_pdf_command(capsys, tmp_path):
    status, out, _ = run(capsys, "pdf", str(DATA / "NaCl.cif"), "--rmax", "8", "--out", str(tmp_path))
    assert status == 0 and "neutron G(r)" in out
    columns = read_csv(tmp_path / "pdf.csv")
    assert columns["r"][0] == pytest.approx(0.005) and columns["r"][-1] < 8.0
    assert (tmp_path / "sq.csv").exists() and (tmp_path / "pdf.png").exists()


@pytest.mark.parametrize(
    ("argv", "message"),
    [
        (["info", "missing.cif"], "could not read missing.cif"),
        (["rdf", "--cutoff", "-1"], "cutoff must be positive"),
        (["info", "structure.dat"], "cannot tell the format of 'structure.dat'"),
        (["rdf", "--every", "3"], "SrBaTiO3.cif is not one"),  # not ignored on a single structure
        # Refused before the expansion runs, not after it.
        (["expand", str(DATA / "SrBaTiO3.cif"), "-o", "out.lammps"], "cannot tell the format of 'out.lammps'"),
        (["rdf", "run.xyz", "--every", "2", "--expand"], "run.xyz is a trajectory"),
        (["rdf", "--threads", "-1"], "--threads must be at least 0, not -1"),
        (["rdf", "--threads", "100000000000000000000"], "--threads must be below 2^64"),
        (["rdf", "--start", "-1"], "--start must be at least 0"),
        (["expand", SBT, "--max-denominator", "-5"], "--max-denominator must be at least 0, not -5"),
    ],
)
def test_errors_are_one_line_messages(capsys, tmp_path, monkeypatch, argv, message):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "run.xyz").write_text("1\nLattice=\"5 0 0 0 5 0 0 0 5\"\nA 0 0 0\n" * 3)
    status, out, err = run(capsys, *argv)
    assert status == 1 and out == ""  # nothing half-reported on stdout
    assert err.startswith("kelvara: ") and message in err and err.count("\n") == 1


def test_info_and_expand_name_disorder_blocks_and_reader_findings(capsys, tmp_path):
    cell = "_cell_length_a 4\n_cell_length_b 4\n_cell_length_c 4\n_cell_angle_alpha 90\n" \
           "_cell_angle_beta 90\n_cell_angle_gamma 90\n"
    atoms = "loop_\n_atom_site_label\n_atom_site_fract_x\n_atom_site_fract_y\n_atom_site_fract_z\n" \
            "_atom_site_occupancy\n"
    path = tmp_path / "two.cif"
    path.write_text("data_a\nloop_\n_symmetry_equiv_pos_as_xyz\nx,y,z\n'x/0,y,z'\n" + cell + atoms
                    + "Ti1 0.5 0.5 0.5 0.5\nTi2 0.54 0.5 0.5 0.5\nFe1 0 0 0 0.5\nNi1 0 0 0 0.5\n"
                    "data_b\n" + cell + atoms + "Cu1 0 0 0 1\n")
    status, out, _ = run(capsys, "info", str(path))
    assert status == 0 and "data blocks: 'a' (4 atom-site rows), 'b' (1 atom-site rows)" in out
    assert "3 disordered site(s):" in out and "Fe 0.5, Ni 0.5" in out
    assert "note: the file holds 2 data blocks" in out and "'Ti1' and 'Ti2' (0.160 A)" in out
    assert "note: symmetry operation 'x/0,y,z' cannot be read" in out
    status, out, _ = run(capsys, "info", str(path), "--block", "1")
    assert status == 0 and "Cu1" in out and "note:" not in out
    # Each finding is one warning line of the expansion.
    status, out, err = run(capsys, "expand", str(path), "--block", "a")
    assert status == 0 and err.count("warning: ") == 2 and "'Ti1' and 'Ti2' (0.160 A)" in err
    status, out, _ = run(capsys, "info", str(DATA / "Si.poscar"), "--format", "POSCAR")
    assert status == 0 and "Si8" in out
