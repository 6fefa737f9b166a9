"""Reading measured G(r): each writer's header, column layouts, and the inputs that are refused."""

from __future__ import annotations

import os
from pathlib import Path

import numpy as np
import pytest

from kelvara.pdf.measured import parse_pdf_data, read_pdf_data

DATA = Path(__file__).parent / "data"

GR = """[DEFAULT]
version = 2.0
qmax = 24.5
composition = Ni
#### start data
#S 1
#L r($\\AA$)  G($\\AA^{-2}$)
1.00 0.5
1.01 0.6

1.02 0.7
"""


@pytest.mark.parametrize(("name", "qmax", "qdamp", "qbroad", "radiation", "columns"), [
    # The #S line after the marker holds PDFgetN's qmax.
    ("pdfgetn.gr", 35.0, 0.0, None, None, 4),
    # Two Qmax: the measured S(q) range and the transform's; the data hold the smaller.
    ("pdfgetx2.gr", 27.0, None, None, "xray", 4),
    ("pdfgetx3.gr", 27.0, None, None, "neutron", 2),
    ("instrument.gr", 31.414, 0.017659, 0.0191822, "neutron", 3),
])
def test_writers_headers(name, qmax, qdamp, qbroad, radiation, columns):
    data = read_pdf_data(DATA / name)
    stated = data.stated
    assert (stated.qmax, stated.qdamp, stated.qbroad, stated.radiation) == (qmax, qdamp, qbroad, radiation)
    assert len(data) == 31 and data.r[0] == 1.0 and data.step == pytest.approx(0.01)
    assert (data.dG is not None) == (columns >= 3) and (data.dr is not None) == (columns == 4)
    assert all(name in note for note in stated.notes) and len(stated.notes) == sum(
        v is not None for v in (qmax, qdamp, qbroad, radiation))


@pytest.mark.parametrize(("text", "columns", "dG", "dr", "settings"), [
    (GR, [[1.0, 1.01, 1.02], [0.5, 0.6, 0.7]], None, None, {"version": "2.0", "qmax": "24.5"}),
    ("# r G\n1.1 1\n1.2 2\n# note\n1.3 3\n", [[1.1, 1.2, 1.3], [1, 2, 3]], None, None, {}),
    ("\ufeff1.1 1 0.01\n1.2 2 0.02\n1.3 3 0.03\n", [[1.1, 1.2, 1.3], [1, 2, 3]], [0.01, 0.02, 0.03], None, {}),
    ("1.1 1 0 0.5\n1.2 2 0 0.5\n", [[1.1, 1.2], [1, 2]], [0.5, 0.5], [0, 0], {}),
    # Programs without uncertainties write zeros: none known, not infinite weights.
    ("1.1 1 0 0\n1.2 2 0 0\n", [[1.1, 1.2], [1, 2]], None, [0, 0], {}),
    ("1.1,1\n1.2,2\n", [[1.1, 1.2], [1, 2]], None, None, {}),
])
def test_layouts(text, columns, dG, dr, settings):
    data = parse_pdf_data(text)
    np.testing.assert_allclose([data.r, data.G], columns)
    assert (data.dG is None) == (dG is None) and (data.dr is None) == (dr is None)
    if dG is not None:
        np.testing.assert_allclose(data.dG, dG)
    for key, value in settings.items():
        assert data.settings[key] == value
    assert data.step == pytest.approx(columns[0][1] - columns[0][0])
    with pytest.raises(ValueError):
        data.G[0] = 99.0  # the data are never changed


@pytest.mark.parametrize(("text", "message"), [
    ("r G\n1.1 1\n1.2 2\n", r"line 1 is not a row of numbers: 'r G' \(mark header lines"),
    ("history\n##### start data\n1.1 1\nabc\n", r"line 4 is not a row of numbers: 'abc'$"),
    ("1_0 1\n1.2 2\n", r"line 1 is not a row of numbers: '1_0 1'"),
    ("1.1 1\n1.3 2\n1.2 3\n", r"line 3: r = 1.2 does not increase from 1.3 on line 2"),
    ("1.1 1\n1.2 2 3\n", r"line 2 has 3 columns where line 1 has 2"),
    ("1.1\n1.2\n", r"line 1 has 1 columns; expected 2"),
    ("1.1 nan\n1.2 1\n", r"line 1 holds a value that is not a finite number"),
    ("1.1 1e300\n1.2 1\n", r"line 1 holds a value beyond 1e\+150, whose square overflows"),
    ("1.1 1 0.1\n1.2 1 0\n", r"line 2: the uncertainty of G is 0; it must be positive"),
    ("1.1 1 1e-300\n1.2 1 0.1\n", r"line 1: the uncertainty of G is 1e-300, so small that its weight"),
    ("1 1\n1.000000000000001 2\n1.1 2\n", r"line 2: r steps of .* are below 1e-06 A"),
    ("-0.1 1\n0.2 1\n", r"line 1: r = -0.1 is negative"),
    ("# only a comment\n1.1 1\n", r"holds 1 data row\(s\)"),
    ("qmax = nan\n#### start data\n1.1 1\n1.2 2\n", r"header line 1: qmax = nan is not a positive number"),
    # Data in nm: the strongest peak sits where no bond is.
    ("0.10 0.1\n0.25 9.0\n0.40 1.0\n3.0 0.1\n", r"r looks like nanometres"),
])
def test_refused(text, message):
    with pytest.raises(ValueError, match=message):
        parse_pdf_data(text, "x.gr")


def test_uneven_grid_and_files_that_are_not_files(tmp_path):
    path = tmp_path / "uneven.gr"
    path.write_text("1.1 1\n1.2 2\n1.35 3\n")
    data = read_pdf_data(path)
    assert data.step is None and data.source == "uneven.gr" and len(data) == 3
    # A device would be read for ever: refused before a byte is read.
    with pytest.raises(ValueError, match="/dev/zero is not a regular file"):
        read_pdf_data("/dev/zero")
    big = tmp_path / "big.gr"
    with open(big, "wb") as handle:
        handle.truncate(300 * 2**20)  # sparse: no disk used
    with pytest.raises(ValueError, match="holds 300 MiB"):
        read_pdf_data(big)
    os.remove(big)
