"""The plotting call made by Structure.prdf and the files kelvara.plotting writes."""

from __future__ import annotations

import csv
import sys
import types

import numpy as np
import pytest
from conftest import cubic

NACL = dict(a=5.64, frac=[[0, 0, 0], [0.5, 0, 0]], species=[{"Na": 1.0}, {"Cl": 1.0}])


@pytest.fixture
def salt():
    return cubic(NACL["a"], NACL["frac"], NACL["species"])


@pytest.fixture
def fake_plotting(monkeypatch):
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
    assert list(kwargs) == ["bin_size", "title", "density"]
    assert kwargs["bin_size"] == 0.2 and kwargs["title"] == "NaCl"
    assert kwargs["density"] == 2.0 / salt.volume


@pytest.mark.parametrize(("kwargs", "calls", "title"), [
    ({}, 0, None),
    ({"title": "ignored without a folder"}, 0, None),
    ({"save_plots": ""}, 1, None),
    ({"save_plots": "x"}, 1, None),
])
def test_only_none_skips_plotting(salt, fake_plotting, kwargs, calls, title):
    salt.prdf(cutoff=4.0, **kwargs)
    assert len(fake_plotting) == calls
    if calls:
        assert fake_plotting[0][1]["title"] is title


def test_failed_computation_never_plots(salt, fake_plotting):
    with pytest.raises(ValueError, match="cutoff must be positive"):
        salt.prdf(cutoff=0, save_plots="out")
    assert fake_plotting == []


def test_plotting_errors_propagate(salt, monkeypatch):
    module = types.ModuleType("kelvara.plotting")

    def broken(*args, **kwargs):
        raise KeyError("from the plot")

    module.save_prdf_plots = broken
    monkeypatch.setitem(sys.modules, "kelvara.plotting", module)
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
    # prdf passes the bulk density, so g_total comes along; per-element densities do not.
    assert rows[0] == ["r_left", "r_centre", "total", "Cl-Cl", "Cl-Na", "Na-Cl", "Na-Na", "g_total"]
    table = np.array(rows[1:], dtype=float)
    np.testing.assert_allclose(table[:, 7], total / (salt.n_atoms / salt.volume), rtol=1e-15)
    np.testing.assert_array_equal(table[:, 0], r)
    np.testing.assert_allclose(table[:, 1], r + 0.05)
    np.testing.assert_array_equal(table[:, 2], total)
    np.testing.assert_array_equal(table[:, 4], partials["Cl", "Na"])
