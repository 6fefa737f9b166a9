"""The G(r) and S(Q) entry points: one set of options, every argument used or refused."""

from __future__ import annotations

import inspect

import numpy as np
import pytest
from conftest import rock_salt

from kelvara.batch import trajectory_rdf_many
from kelvara.pdf import (
    CurveOptions,
    partial_g,
    pdf_and_structure_factor,
    structure_factor,
    structure_factor_from_partials,
    total_pdf,
)
from kelvara.trajectory import Frames, trajectory_rdf

pytest.importorskip("periodictable")

FRAME = '2\nLattice="4 0 0 0 4 0 0 0 4" Properties=species:S:1:pos:R:3\nNa 0 0 0\nCl 2 2 {z}\n'


@pytest.fixture(scope="module")
def path(tmp_path_factory) -> str:
    file = tmp_path_factory.mktemp("frames") / "two.xyz"
    file.write_text(FRAME.format(z=2) + FRAME.format(z=1.9) + FRAME.format(z=2.1))
    return str(file)


@pytest.fixture(scope="module")
def averaged(path):
    return trajectory_rdf(path, cutoff=3.0, bin_size=0.1)


# (source, function, arguments, error, words of the message)
REFUSED = [
    ("structure", total_pdf, {"block_size": 4}, ValueError, "a Structure has no frames"),
    ("structure", structure_factor, {"block_size": 4}, ValueError, "a Structure has no frames"),
    ("averaged", total_pdf, {"r_max": 3.0, "bin_size": 0.05}, ValueError, "its own bins of 0.1 A"),
    ("averaged", total_pdf, {"r_max": 3.0, "broadening": 0.1}, ValueError, "broadening needs the frames"),
    ("averaged", total_pdf, {"r_max": 3.0, "block_size": 2}, ValueError, "the errors of G(r) need the frames"),
    ("averaged", total_pdf, {"r_max": 3.0, "n_threads": 2}, ValueError, "no pair pass"),
    ("averaged", structure_factor, {"r_max": 3.0}, TypeError, "needs the frames"),
    ("path", pdf_and_structure_factor, {}, TypeError, "takes one Structure, not str"),
    ("partials", structure_factor_from_partials, {"block_size": 2}, TypeError, "block_size"),
    ("list", total_pdf, {}, TypeError, "expected a Structure, a trajectory path"),
    ("structure", total_pdf, {"r_max": 0.005}, ValueError, "must be at least one bin_size"),
    ("structure", structure_factor, {"window": "hann"}, ValueError, "window must be 'lorch' or None"),
    ("path", trajectory_rdf_many, {"topology": "run.pdb"}, ValueError, "use trajectory_rdf for"),
]


@pytest.mark.parametrize(("source", "function", "kwargs", "error", "words"), REFUSED)
def test_what_cannot_be_used_is_refused(request, source, function, kwargs, error, words):
    if source == "partials":
        value = (partial_g(rock_salt(), 5.0, 0.1, broadening=0.0), np.array([1.0, 2.0]))
    else:
        value = ({"structure": rock_salt(), "list": [1, 2]}.get(source) or request.getfixturevalue(source),)
    with pytest.raises(error, match=words.replace("(", r"\(").replace(")", r"\)")):
        function(*value, **kwargs)


def test_an_averaged_result_takes_its_own_bin_size(averaged):
    assert np.array_equal(total_pdf(averaged, r_max=3.0, bin_size=0.1).G, total_pdf(averaged, r_max=3.0).G)


@pytest.mark.parametrize("frames", [False, True])
def test_every_entry_point_computes_with_the_same_options(path, frames):
    # One record behind the three functions: the curves of one call are those of the others.
    source = Frames(path) if frames else rock_salt()
    options = dict(r_max=2.5, bin_size=0.05, radiation="xray", broadening=0.05, scattering_factors={"Na": 12.0})
    pdf = total_pdf(source, **options, qmax=20.0, qdamp=0.02)
    sq = structure_factor(source, **options, q=np.linspace(0.5, 10, 20), window=None)
    if not frames:
        both = pdf_and_structure_factor(source, **options, qmax=20.0, qdamp=0.02, q=np.linspace(0.5, 10, 20),
                                        window=None)
        np.testing.assert_array_equal(both[0].G, pdf.G)
        np.testing.assert_allclose(both[1].S, sq.S, rtol=1e-12)
    assert pdf.radiation == sq.radiation == "xray" and pdf.r[-1] == pytest.approx(2.475)
    assert sq.q.size == 20 and pdf.weights[("Na", "Na")] != pdf.weights[("Cl", "Cl")]


def test_options_record_names_every_option_of_the_entry_points():
    fields = set(CurveOptions.__dataclass_fields__)
    for function in (total_pdf, structure_factor, pdf_and_structure_factor):
        names = set(inspect.signature(function).parameters) - {"structure", "block_size"}
        assert names <= fields, function.__name__
    # The parallel trajectory RDF takes what the serial one does (progress is a callback of one process).
    serial = set(inspect.signature(trajectory_rdf).parameters) - {"progress"}
    assert serial <= set(inspect.signature(trajectory_rdf_many).parameters)
