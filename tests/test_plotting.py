"""The plotting call made by Structure.prdf and the files kelvara.plotting writes."""

from __future__ import annotations

import csv
import sys
import types

import numpy as np
import pytest
from conftest import cubic


@pytest.fixture
def salt():
    return cubic(5.64, [[0, 0, 0], [0.5, 0, 0]], [{"Na": 1.0}, {"Cl": 1.0}])


@pytest.fixture
def fake_plotting(monkeypatch):
    """A stand-in kelvara.plotting that records every call."""
    calls = []
    module = types.ModuleType("kelvara.plotting")

    def save_prdf_plots(*args, **kwargs):
        calls.append((args, kwargs))
        return "ignored"

    module.save_prdf_plots = save_prdf_plots
    monkeypatch.setitem(sys.modules, "kelvara.plotting", module)
    return calls


def test_call_contract(salt, fake_plotting):
    r, partials, total = salt.prdf(cutoff=6.0, bin_size=0.2, save_plots="out", title="NaCl")
    [(args, kwargs)] = fake_plotting
    assert args[0] is r and args[1] is partials and args[2] is total and args[3] == "out"
    assert list(kwargs.items()) == [("bin_size", 0.2), ("title", "NaCl"), ("density", 2.0 / salt.volume),
                                    ("element_densities", {"Cl": 1 / salt.volume, "Na": 1 / salt.volume})]


@pytest.mark.parametrize(("kwargs", "calls"), [
    ({"title": "ignored without a folder"}, 0),
    ({"save_plots": ""}, 1),
    ({"save_plots": "x\udcff"}, 1),  # a folder name os.fsdecode gave from bytes that are not UTF-8
])
def test_only_none_skips_plotting(salt, fake_plotting, kwargs, calls):
    salt.prdf(cutoff=4.0, **kwargs)
    assert len(fake_plotting) == calls
    if calls:
        assert fake_plotting[0][1]["title"] is None


def test_failures(salt, fake_plotting, monkeypatch):
    with pytest.raises(ValueError, match="cutoff must be positive"):
        salt.prdf(cutoff=0, save_plots="out")
    assert fake_plotting == []  # a failed computation never plots

    def broken(*args, **kwargs):
        raise KeyError("from the plot")

    monkeypatch.setattr(sys.modules["kelvara.plotting"], "save_prdf_plots", broken)
    with pytest.raises(KeyError, match="from the plot"):
        salt.prdf(save_plots="out")
    monkeypatch.setitem(sys.modules, "kelvara.plotting", None)
    with pytest.raises(ImportError):
        salt.prdf(save_plots="out")


def test_real_files(salt, tmp_path):
    pytest.importorskip("matplotlib")
    folder = tmp_path / "nested" / "plots"
    r, partials, total = salt.prdf(cutoff=8.0, bin_size=0.1, save_plots=str(folder), title="NaCl")
    assert sorted(p.name for p in folder.iterdir()) == ["rdf.csv", "rdf_partials.png", "rdf_total.png"]
    for png in folder.glob("*.png"):
        assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    with open(folder / "rdf.csv", newline="") as handle:
        rows = list(csv.reader(handle))
    # The same columns as the command line's CSV: g(r) of the total and of every pair.
    assert rows[0] == ["r_left", "r_centre", "total", "Cl-Cl", "Cl-Na", "Na-Cl", "Na-Na", "g_total",
                       "g_Cl-Cl", "g_Cl-Na", "g_Na-Cl", "g_Na-Na"]
    table = np.array(rows[1:], dtype=float)
    # 15 significant digits: no float noise in the r columns (3 * 0.1 reads 0.3).
    assert [row[0] for row in rows[2:5]] == ["0.1", "0.2", "0.3"]
    np.testing.assert_allclose(table[:, 0], r, rtol=1e-15)
    np.testing.assert_allclose(table[:, 1], r + 0.05)
    np.testing.assert_allclose(table[:, 2], total, rtol=1e-14)
    np.testing.assert_allclose(table[:, 4], partials["Cl", "Na"], rtol=1e-14)
    np.testing.assert_allclose(table[:, 7], total / (2 / salt.volume), rtol=1e-14)


def test_g_plots_and_coinciding_curves(tmp_path, monkeypatch):
    """quantity="g" divides by the densities; curves that coincide in one panel get a
    second line style and a legend entry naming the curve they lie on."""
    pytest.importorskip("matplotlib")
    from matplotlib.axes import Axes

    from kelvara.analysis import partner_densities
    from kelvara.plotting import save_prdf_plots

    mixed = cubic(4.0, [[0, 0, 0], [0.5, 0.5, 0.5]], [{"Sr": 0.5, "Ba": 0.5}, {"Ti": 1.0}])
    r, partials, total = mixed.prdf(cutoff=6.0, bin_size=0.1)
    lines = []
    original = Axes.plot

    def spy(self, x, y, *args, **kwargs):
        lines.append((kwargs.get("label"), kwargs.get("ls"), np.asarray(y)))
        return original(self, x, y, *args, **kwargs)

    monkeypatch.setattr(Axes, "plot", spy)
    density = mixed.n_atoms / mixed.volume
    save_prdf_plots(r, partials, total, tmp_path, bin_size=0.1, density=density,
                    element_densities=partner_densities(mixed), quantity="g")
    by_label = {label: (ls, y) for label, ls, y in lines}
    np.testing.assert_allclose(by_label["total"][1], total / density)
    np.testing.assert_allclose(by_label["Ti–Ti"][1], partials["Ti", "Ti"] / (1 / mixed.volume))
    assert by_label["Ba–Ba"][0] == "-" and by_label["Ba–Sr (= Ba–Ba)"][0] == "--"
    assert "Ba–Ti (= Ba–Ba)" not in by_label
    with pytest.raises(ValueError, match="needs density and element_densities"):
        save_prdf_plots(r, partials, total, tmp_path, bin_size=0.1, quantity="g")


def test_partials_of_many_labels_are_not_drawn(tmp_path):
    # Atom names read as elements: 17 labels would make a figure of 289 curves.
    from kelvara.plotting import save_prdf_plots

    names = [f"Q{chr(97 + k)}" for k in range(17)]
    r = np.arange(0.0, 2.0, 0.5)
    partials = {(a, b): np.ones(4) for a in names for b in names}
    with pytest.warns(UserWarning, match="17 element labels make 289 partial curves"):
        written = save_prdf_plots(r, partials, np.ones(4), tmp_path, bin_size=0.5)
    assert [p.rsplit("/", 1)[1] for p in written] == ["rdf.csv", "rdf_total.png"]
