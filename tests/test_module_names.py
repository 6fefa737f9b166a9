"""The module names of earlier releases: each imports as the module its code moved to, and
records pickled under them load."""

from __future__ import annotations

import importlib
import pathlib
import pickle
import re

import numpy as np
import pytest
from conftest import rock_salt

import kelvara

MOVED = {
    "kelvara.scattering": "kelvara.pdf",
    "kelvara.pdfmodel": "kelvara.pdf.model",
    "kelvara.pdffit": "kelvara.pdf.fit",
    "kelvara.lsq": "kelvara.pdf.lsq",
    "kelvara.measured": "kelvara.pdf.measured",
    "kelvara.pdf_disorder": "kelvara.pdf.orderings",
    "kelvara.plotting_pdf": "kelvara.pdf.plots",
    "kelvara.scattering_trajectory": "kelvara.pdf.trajectory",
    "kelvara.pdf_compare": "kelvara.cli.pdf",
    "kelvara.cli_trajectory": "kelvara.cli.trajectory",
    "kelvara.trajectory_formats": "kelvara.trajectory.formats",
    "kelvara.blocking": "kelvara.trajectory.blocking",
    "kelvara.atomic": "kelvara._files",
    "kelvara.records": "kelvara._records",
}


def test_every_old_name_is_listed():
    package = pathlib.Path(kelvara.__file__).parent
    aliases = {f"kelvara.{p.stem}" for p in package.glob("*.py") if "sys.modules[__name__]" in p.read_text()}
    assert aliases == set(MOVED)


def test_the_package_itself_uses_the_new_names():
    package = pathlib.Path(kelvara.__file__).parent
    pattern = re.compile(r"^\s*(from|import) (" + "|".join(map(re.escape, MOVED)) + r")\b", re.M)
    users = [str(p.relative_to(package)) for p in package.rglob("*.py")
             if "sys.modules[__name__]" not in p.read_text() and pattern.search(p.read_text())]
    assert users == []


@pytest.mark.parametrize("old, new", MOVED.items())
def test_old_name_is_the_new_module(old, new):
    assert importlib.import_module(old) is importlib.import_module(new)


def _as_if_pickled_under(record, old: str, new: str):
    """`record` pickled by a release whose class lived in module `old`, then loaded."""
    text = pickle.dumps(record, protocol=0)
    moved = text.replace(f"c{new}\n".encode(), f"c{old}\n".encode())
    assert moved != text
    return pickle.loads(moved)


def test_records_pickled_under_the_old_names_load(tmp_path):
    pytest.importorskip("periodictable")
    from kelvara.pdf import PDFParameters, total_pdf
    from kelvara.pdf.measured import parse_pdf_data
    from kelvara.trajectory import trajectory_rdf

    path = tmp_path / "two.xyz"
    frame = '2\nLattice="4 0 0 0 4 0 0 0 4" Properties=species:S:1:pos:R:3\nNa 0 0 0\nCl 2 2 {z}\n'
    path.write_text(frame.format(z=2) + frame.format(z=1.9))
    averaged = trajectory_rdf(str(path), cutoff=3.0, bin_size=0.1)
    records = [
        (total_pdf(rock_salt(), r_max=5.0), "kelvara.scattering", "kelvara.pdf.scattering"),
        (total_pdf(averaged, r_max=3.0), "kelvara.scattering_trajectory", "kelvara.pdf.trajectory"),
        (PDFParameters(qmax=20.0, uiso={"Na": 0.01}), "kelvara.pdfmodel", "kelvara.pdf.model"),
        (parse_pdf_data("1.0 0.5\n1.1 0.6\n1.2 0.4\n"), "kelvara.measured", "kelvara.pdf.measured"),
        (averaged, "kelvara.trajectory", "kelvara.trajectory.averaging"),
    ]
    for record, old, new in records:
        loaded = _as_if_pickled_under(record, old, new)
        assert type(loaded) is type(record)
        for name, value in vars(record).items():
            np.testing.assert_equal(getattr(loaded, name), value)
