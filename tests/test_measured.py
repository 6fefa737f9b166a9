"""Reading measured G(r): .gr headers, column layouts, and the inputs that are refused."""

from __future__ import annotations

import numpy as np
import pytest

from kelvara.pdf.measured import parse_pdf_data, read_pdf_data

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


@pytest.mark.parametrize(("text", "columns", "dG", "dr", "settings"), [
    (GR, [[1.0, 1.01, 1.02], [0.5, 0.6, 0.7]], None, None, {"version": "2.0", "qmax": "24.5"}),
    ("# r G\n0.1 1\n0.2 2\n# note\n0.3 3\n", [[0.1, 0.2, 0.3], [1, 2, 3]], None, None, {}),
    ("0.1 1 0.01\n0.2 2 0.02\n0.3 3 0.03\n", [[0.1, 0.2, 0.3], [1, 2, 3]], [0.01, 0.02, 0.03], None, {}),
    ("0.1 1 0 0.5\n0.2 2 0 0.5\n", [[0.1, 0.2], [1, 2]], [0.5, 0.5], [0, 0], {}),
    # Programs without uncertainties write zeros: none known, not infinite weights.
    ("0.1 1 0 0\n0.2 2 0 0\n", [[0.1, 0.2], [1, 2]], None, [0, 0], {}),
    ("0.1,1\n0.2,2\n", [[0.1, 0.2], [1, 2]], None, None, {}),
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
    ("r G\n0.1 1\n0.2 2\n", r"line 1 is not a row of numbers: 'r G' \(mark header lines"),
    ("history\n#### start data\n0.1 1\nabc\n", r"line 4 is not a row of numbers: 'abc'$"),
    ("0.1 1\n0.3 2\n0.2 3\n", r"line 3: r = 0.2 does not increase from 0.3 on line 2"),
    ("0.1 1\n0.1 2\n", r"line 2: r = 0.1 does not increase"),
    ("0.1 1\n0.2 2 3\n", r"line 2 has 3 columns where line 1 has 2"),
    ("0.1\n0.2\n", r"line 1 has 1 columns; expected 2"),
    ("0.1 1 2 3 4\n", r"line 1 has 5 columns"),
    ("0.1 nan\n0.2 1\n", r"line 1 holds a value that is not a finite number"),
    ("0.1 1 0.1\n0.2 1 0\n", r"line 2: the uncertainty of G is 0; it must be positive"),
    ("-0.1 1\n0.2 1\n", r"line 1: r = -0.1 is negative"),
    ("# only a comment\n0.1 1\n", r"holds 1 data row\(s\)"),
])
def test_refused(text, message):
    with pytest.raises(ValueError, match=message):
        parse_pdf_data(text, "x.gr")


def test_uneven_grid_and_file(tmp_path):
    path = tmp_path / "uneven.gr"
    path.write_text("0.1 1\n0.2 2\n0.35 3\n")
    data = read_pdf_data(path)
    assert data.step is None and data.source == "uneven.gr" and len(data) == 3
