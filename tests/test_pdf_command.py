"""kelvara pdf --data: comparison with measured G(r), fit, figure, CSV and orderings."""

from __future__ import annotations

import csv
from importlib.resources import files

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
                   "--broadening", str(np.sqrt(2 * 0.008)), "--rmin", "2", "--out", str(out)])
    assert status == 0
    text = capsys.readouterr().out
    assert "qmax 25 1/A taken from the header of sbt.gr" in text
    scale = float(text.split("scale = ")[1].split()[0])
    assert scale == pytest.approx(0.85, rel=2e-3)
    with open(out / "fit.csv") as handle:
        rows = list(csv.reader(handle))
    assert rows[0] == ["r", "data", "model", "difference"]
    table = np.array(rows[1:], dtype=float)
    assert table[0, 0] == 2.0 and table[-1, 0] == 12.0
    np.testing.assert_allclose(table[:, 1] - table[:, 2], table[:, 3], atol=1e-12)
    if pytest.importorskip("matplotlib"):
        assert (out / "fit.png").stat().st_size > 10_000


def test_rw_without_fit_and_orderings(measured, tmp_path, capsys):
    status = main(["pdf", PEROVSKITE, "--data", str(measured), "--broadening", "0.12", "--fit", "scale",
                   "--orderings", "1", "--out", str(tmp_path / "o")])
    assert status == 0
    text = capsys.readouterr().out
    assert "average" in text and "seed 0" in text and "expansions: Rw" in text
    assert main(["pdf", PEROVSKITE, "--data", str(measured), "--out", str(tmp_path / "p")]) == 0
    assert "(nothing refined)" in capsys.readouterr().out


def test_bad_data_is_one_line_on_stderr(tmp_path, capsys):
    bad = tmp_path / "bad.gr"
    bad.write_text("1.0 2.0\n1.1 x\n")
    assert main(["pdf", PEROVSKITE, "--data", str(bad), "--out", str(tmp_path / "b")]) == 1
    assert "bad.gr, line 2 is not a row of numbers" in capsys.readouterr().err
