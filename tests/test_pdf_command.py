"""kelvara pdf --data: comparison with measured G(r), fit, figure, CSV and orderings."""

from __future__ import annotations

import csv
import json
from importlib.resources import files
from pathlib import Path

import numpy as np
import pytest

from kelvara import Structure
from kelvara.cli import main
from kelvara.pdf.model import PDFParameters, model_pdf, pair_table

pytest.importorskip("periodictable")
PEROVSKITE = str(files("kelvara") / "data" / "SrBaTiO3.cif")


@pytest.fixture
def measured(tmp_path):
    """Synthetic neutron data of the perovskite with known scale and Uiso, qmax in the header."""
    s = Structure.from_cif(PEROVSKITE)
    r = np.arange(150, 1201) * 0.01
    truth = PDFParameters(scale=0.85, qmax=25.0, uiso={"Sr": 0.008, "Ba": 0.008, "Ti": 0.005, "O": 0.01})
    G = model_pdf(pair_table(s, 16.0), r, truth) + np.random.default_rng(2).normal(0, 0.02, r.size)
    path = tmp_path / "sbt.gr"
    rows = "\n".join(f"{x:.2f} {g:.6f} 0.02" for x, g in zip(r, G))
    path.write_text(f"[PDFConfig]\nqmax = 25.0\n#### start data\n#L r G dG\n{rows}\n")
    return path


def test_fit_writes_csv_and_figure_and_prints_parameters(measured, tmp_path, capsys):
    out = tmp_path / "out"
    status = main(["pdf", PEROVSKITE, "--data", str(measured), "--fit", "scale,uiso_O,uiso_Ti",
                   "--broadening", str(np.sqrt(2 * 0.008)), "--rmin", "2", "--rmax", "12", "--out", str(out)])
    assert status == 0
    text = capsys.readouterr().out
    assert "qmax 25 1/A taken from the header of sbt.gr (line 2)" in text
    scale = float(text.split("scale = ")[1].split()[0])
    assert scale == pytest.approx(0.85, rel=2e-3)
    with open(out / "fit.csv") as handle:
        rows = list(csv.reader(handle))
    assert rows[0] == ["r", "data", "dG", "model", "difference"]
    table = np.array(rows[1:], dtype=float)
    assert table[0, 0] == 2.0 and table[-1, 0] == 12.0
    np.testing.assert_allclose(table[:, 1] - table[:, 3], table[:, 4], atol=1e-12)
    if pytest.importorskip("matplotlib"):
        assert (out / "fit.png").stat().st_size > 10_000


def test_rw_without_fit_and_orderings(measured, tmp_path, capsys, monkeypatch):
    import kelvara.pdf.fit
    import kelvara.pdf.orderings

    fitted = []  # the structures fitted: the average once, then each ordering

    def counting(structure, *args, fit=kelvara.pdf.fit.fit_pdf, **kwargs):
        fitted.append(structure.n_sites)
        return fit(structure, *args, **kwargs)

    monkeypatch.setattr(kelvara.pdf.fit, "fit_pdf", counting)
    monkeypatch.setattr(kelvara.pdf.orderings, "fit_pdf", counting)
    status = main(["pdf", PEROVSKITE, "--data", str(measured), "--broadening", "0.12", "--fit", "scale",
                   "--orderings", "1", "--out", str(tmp_path / "o")])
    assert status == 0
    text = capsys.readouterr().out
    assert "average" in text and "seed 0" in text and "expansions: Rw" in text
    assert fitted[0] == 5 and fitted.count(5) == 1 and len(fitted) == 2
    assert main(["pdf", PEROVSKITE, "--data", str(measured), "--out", str(tmp_path / "p")]) == 0
    assert "(nothing refined)" in capsys.readouterr().out


EXAMPLE = [str(files("kelvara") / "data" / name) for name in ("SrTiO3.cif", "measured.gr")]


def test_refinement_writes_json_and_a_cif_that_reads_back(tmp_path, capsys):
    out = tmp_path / "out"
    assert main(["pdf", EXAMPLE[0], "--data", EXAMPLE[1], "--fit", "scale,cell,uiso,delta2,qdamp", "--rmin", "1.5",
                 "--out", str(out)]) == 0
    text = capsys.readouterr().out
    assert "qdamp 0.035 1/A taken from the header" in text and "Rw = " in text and "chi2_red" in text
    record = json.loads((out / "fit.json").read_text())
    assert list(record) == ["converged", "rw", "chi2_red", "n_points", "r_range", "settings", "parameters", "phases"]
    assert record["settings"] == {"qmax": 25.0, "qdamp": record["parameters"]["qdamp"]["value"], "qbroad": 0.0,
                                  "radiation": "neutron"}
    assert set(record["parameters"]) == {"scale", "a", "uiso_O", "uiso_Sr", "uiso_Ti", "delta2", "qdamp"}
    assert record["parameters"]["a"]["value"] == pytest.approx(3.905, abs=5e-4)
    cell = record["phases"][0]["cell"]
    assert cell[:3] == [cell[0]] * 3 and cell[3:] == [90.0] * 3
    back = Structure.from_cif(str(out / "SrTiO3_refined.cif"))
    assert back.lattice_matrix[0][0] == pytest.approx(cell[0], abs=1e-6) and back.n_sites == 5
    assert back.uiso[0] == pytest.approx(record["parameters"]["uiso_Sr"]["value"], rel=1e-7)
    # Nothing refined: the model as given, compared, in the same shape; a setting given on
    # the command line wins over the header's.
    assert main(["pdf", EXAMPLE[0], "--data", EXAMPLE[1], "--qdamp", "0.03", "--out", str(tmp_path / "n")]) == 0
    text = capsys.readouterr().out
    assert "(nothing refined)" in text and "qdamp 0.035" not in text
    record = json.loads((tmp_path / "n" / "fit.json").read_text())
    assert record["parameters"] == {} and record["settings"]["qdamp"] == 0.03


def test_failed_fit_is_reported_as_failed(tmp_path, capsys):
    stretched = tmp_path / "far.cif"
    stretched.write_text(Path(EXAMPLE[0]).read_text().replace("3.905", "4.250"))
    assert main(["pdf", str(stretched), "--data", EXAMPLE[1], "--fit", "scale,cell,uiso", "--out",
                 str(tmp_path / "f")]) == 1
    captured = capsys.readouterr()
    assert "the fit FAILED" in captured.out and captured.err.count("\n") == 1
    assert captured.err.startswith("kelvara: the fit failed: ") and "start closer" in captured.err
    assert json.loads((tmp_path / "f" / "fit.json").read_text())["converged"] is False


@pytest.mark.parametrize(("options", "message"), [
    (["--data", "/dev/zero"], "/dev/zero is not a regular file"),
    (["--data", EXAMPLE[1], "--rmin", "nan"], "--rmin must be a finite number, not nan"),
    (["--data", EXAMPLE[1], "--rmax", "nan"], "--rmax must be a finite number, not nan"),
    (["--data", EXAMPLE[1], "--orderings", "1000000000"], "--orderings must be at most 1000 (each is a fit)"),
    (["--data", EXAMPLE[1], "--fit", "scale,cell,uiso,delta2", "--rmin", "2", "--rmax", "2.01"],
     "2 data point(s) in the range for 6 refined parameters"),
    (["--data", EXAMPLE[1], "--fit", "spdiameter"], "refining spdiameter needs a start value: --spdiameter"),
    (["--data", EXAMPLE[1], "--fit", "scale,uiso", "--rmin", "2", "--rmax", "2.02"], "3 data point(s) in the range "
     "for 4 refined parameters"),
    (["--data", "BAD"], "line 2 is not a row of numbers"),
    (["--data", "BIG"], "line 1 holds a value beyond 1e+150"),
])
def test_bad_input_is_one_line_on_stderr(options, message, tmp_path, capsys):
    bad, big = tmp_path / "bad.gr", tmp_path / "big.gr"
    bad.write_text("1.0 2.0\n1.1 x\n")
    big.write_text("1.0 1e300\n1.1 2\n1.2 3\n")
    options = [{"BAD": str(bad), "BIG": str(big)}.get(o, o) for o in options]
    assert main(["pdf", EXAMPLE[0], *options, "--out", str(tmp_path / "b")]) == 1
    err = capsys.readouterr().err
    assert message in err and err.count("\n") == 1


@pytest.mark.parametrize("arguments", [
    ["pdf", "NaCl.cif", "--radiation", "xray"],
    ["pdf", "SrTiO3.cif", "--data", "measured.gr", "--fit", "scale,uiso"],
])
def test_plain_install_runs_pdf_with_a_one_line_note(arguments, tmp_path):
    # Neither periodictable nor matplotlib: the curves and the fit still come out, and the
    # missing figure library is one line on stderr.
    import subprocess
    import sys

    from kelvara.examples import copy_to

    copy_to(tmp_path)
    code = ("import sys; sys.modules['periodictable'] = sys.modules['matplotlib'] = None\n"
            "from kelvara.cli import main; sys.exit(main(sys.argv[1:]))")
    done = subprocess.run([sys.executable, "-c", code, *arguments], cwd=tmp_path, capture_output=True, text=True,
                          timeout=300)
    assert done.returncode == 0, done.stderr
    assert len(done.stderr.splitlines()) == 1 and "matplotlib" in done.stderr, done.stderr
    assert (tmp_path / "kelvara-out" / ("fit.csv" if "--data" in arguments else "pdf.csv")).exists()


@pytest.mark.parametrize(("tags", "operations", "noted"), [
    ("_space_group_name_H-M_alt 'P m -3 m'\n_space_group_IT_number 221", 48, True),  # found from the atoms
    ("_space_group_name_H-M_alt 'P 1'\n_space_group_IT_number 1", None, False),  # P 1: nothing to find
    ("_symmetry_space_group_name_H-M P1", None, False),
    ("", None, False),  # no group named: P1
])
def test_operations_of_a_cif_that_lists_none(tmp_path, tags, operations, noted):
    from kelvara.cli.pdf import _operations

    text = (files("kelvara") / "data" / "SrTiO3.cif").read_text()
    text = "\n".join(line for line in text.splitlines() if not line.startswith(("_space_group", "_symmetry")))
    path = tmp_path / "s.cif"
    path.write_text(text.replace("_cell_angle_gamma 90", "_cell_angle_gamma 90\n" + tags))
    notes: list[str] = []
    found = _operations(path, None, Structure.from_cif(str(path)), notes)
    assert (found if found is None else len(found)) == operations
    assert bool(notes) == noted
