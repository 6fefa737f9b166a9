"""Model G(r) with refinement parameters, Rw and fits, against a brute-force pair sum and PDFfit2."""

from __future__ import annotations

import itertools
from importlib.resources import files

import numpy as np
import pytest
from conftest import cubic, pdffit2_model, rock_salt

from kelvara import Structure
from kelvara.pdf.lsq import levenberg_marquardt
from kelvara.pdf.measured import MeasuredPDF, read_pdf_data
from kelvara.pdf.orderings import fit_orderings
from kelvara.pdf.fit import fit_pdf, rw
from kelvara.pdf.model import PDFParameters, model_pdf, pair_table
from kelvara.pdf.scattering import neutron_lengths


def gaussian_sum(structure: Structure, r, site_u, b, p: PDFParameters):
    """Brute force: one Gaussian per pair of atoms over all periodic images, with the
    width rule sigma^2 = (U_i + U_j)(1 - delta1/d - delta2/d^2 + qbroad^2 d^2)."""
    s = p.lattice_scale
    lattice = np.array(structure.lattice_matrix) * s
    cart = np.array(structure.frac_coords) @ lattice
    occ = [list(sp.items()) for sp in structure.species]
    reach = int(np.ceil((r[-1] + 2.0) / np.min(np.abs(np.diag(lattice))))) + 1
    shifts = np.array(list(itertools.product(range(-reach, reach + 1), repeat=3))) @ lattice
    n = structure.n_atoms
    mean_b = sum(o * b[el] for site in occ for el, o in site) / n
    G = np.zeros_like(r)
    for i, j in itertools.product(range(len(cart)), repeat=2):
        d = np.linalg.norm(cart[j] + shifts - cart[i], axis=1)
        d = d[(d > 1e-6) & (d < r[-1] + 2.0)]
        var = (site_u[i] + site_u[j]) * (1 - p.delta1 / d - p.delta2 / d**2 + (p.qbroad * d) ** 2)
        w = sum(oi * oj * b[ei] * b[ej] for ei, oi in occ[i] for ej, oj in occ[j]) / mean_b**2
        G += w * np.sum(np.exp(-0.5 * (r[:, None] - d) ** 2 / var) / np.sqrt(2 * np.pi * var), axis=1)
    G = G / (n * r) - 4 * np.pi * n / abs(np.linalg.det(lattice)) * r
    if p.spdiameter:
        x = r / p.spdiameter
        G *= np.where(x < 1, 1 - 1.5 * x + 0.5 * x**3, 0)
    return p.scale * G * np.exp(-0.5 * (p.qdamp * r) ** 2)


@pytest.mark.parametrize("p", [
    PDFParameters(),
    PDFParameters(scale=0.7, qdamp=0.05, delta2=1.2, qbroad=0.02),
    PDFParameters(delta1=0.6, lattice_scale=1.02, spdiameter=9.0),
])
def test_model_equals_the_pair_sum(p):
    # Two oxygen sites with different displacements: pairs are split by site class,
    # and the mixed site weights its species by occupancy.
    frac = [[0, 0, 0], [0.5, 0.5, 0.5], [0.5, 0.5, 0], [0.5, 0, 0.5], [0, 0.5, 0.5]]
    s = cubic(3.95, frac, [{"Sr": 0.5, "Ba": 0.5}, {"Ti": 1.0}, {"O": 1.0}, {"O": 1.0}, {"O": 1.0}])
    site_u = [0.009, 0.004, 0.006, 0.006, 0.012]
    table = pair_table(s, 13.0, site_uiso=site_u)
    assert sorted(u for el, u in table.classes if el == "O") == [0.006, 0.012]
    r = np.arange(100, 1000) * 0.01
    ours = model_pdf(table, r, p)
    expected = gaussian_sum(s, r, site_u, neutron_lengths(["Sr", "Ba", "Ti", "O"]), p)
    assert np.max(np.abs(ours - expected)) < 2e-3 * np.max(np.abs(expected))
    # An uneven grid gets the same curve (computed finely and interpolated).
    uneven = np.sort(np.random.default_rng(1).uniform(1.0, 9.9, 300))
    np.testing.assert_allclose(model_pdf(table, uneven, p), np.interp(uneven, r, ours),
                               atol=3e-3 * np.max(np.abs(expected)))


def bundled(name: str) -> Structure:
    return Structure.from_cif(str(files("kelvara") / "data" / name))


ZNO_U = {"Zn": 0.006, "O": 0.009}
PEROVSKITE_U = {"Sr": 0.008, "Ba": 0.008, "Ti": 0.005, "O": 0.011}


@pytest.mark.parametrize(("name", "u"), [("ZnO.cif", ZNO_U), ("SrBaTiO3.cif", PEROVSKITE_U)])
@pytest.mark.parametrize(("stype", "variables"), [
    ("N", {}),
    ("X", {"qmax": 25.0, "qdamp": 0.04}),
    ("N", {"qmax": 22.0, "delta2": 1.5, "qbroad": 0.02, "spdiameter": 14.0}),
])
def test_model_matches_pdffit2(name, u, stype, variables):
    s = bundled(name)
    r = np.arange(100, 1501) * 0.01
    peer = pdffit2_model(s, u, r, stype, **dict(variables))
    p = PDFParameters(uiso=u, **{k: v for k, v in variables.items()})
    ours = model_pdf(pair_table(s, 20.0), r, p, "neutron" if stype == "N" else "xray")
    # Termination: PDFfit2 convolves G over the computed range with sin(qmax (r - r')) /
    # (r - r') alone; kelvara transforms G from r = 0 with the mirror term sin(qmax (r + r'))
    # / (r + r') of the sine transform, which differs most within half an A of rmin.
    beyond = r >= 1.5
    assert np.sqrt(np.mean((ours - peer)[beyond] ** 2) / np.mean(peer[beyond] ** 2)) < 0.01


def synthetic(structure, u, noise, seed=3, stype="N", **variables):
    r = np.arange(150, 1501) * 0.01
    clean = pdffit2_model(structure, u, r, stype, **variables)
    observed = clean + np.random.default_rng(seed).normal(0, noise, r.size)
    return MeasuredPDF(r=r, G=observed, dG=np.full(r.size, noise), dr=None, step=0.01, source="synthetic")


@pytest.mark.parametrize(("name", "u", "stype", "qmax"), [
    ("ZnO.cif", ZNO_U, "N", 0.0),
    ("ZnO.cif", ZNO_U, "X", 25.0),
    ("SrBaTiO3.cif", PEROVSKITE_U, "N", 25.0),
    ("SrBaTiO3.cif", PEROVSKITE_U, "X", 0.0),
])
def test_fit_recovers_known_parameters_and_agrees_with_pdffit2(name, u, stype, qmax):
    s = bundled(name)
    truth = {"scale": 0.8, **{f"uiso_{el}": value for el, value in u.items()}}
    data = synthetic(s, u, 0.05, stype=stype, qmax=qmax, pscale=0.8, delta2=1.0)
    # Start below the truth: neutron Zn and O scatter alike and sit on equal sublattices,
    # so swapped Uiso fit almost as well.
    start_u = {el: 0.7 * value for el, value in u.items()}
    result = fit_pdf(s, data, "scale,uiso", PDFParameters(qmax=qmax, delta2=1.0, uiso=start_u),
                     radiation="neutron" if stype == "N" else "xray")
    assert result.success and result.refined == ("scale", *(f"uiso_{el}" for el in sorted(u)))
    for name, value in truth.items():
        assert abs(result.values[name] - value) < 3 * result.uncertainties[name], name
    assert np.allclose(np.diag(result.correlation), 1.0)
    # PDFfit2 refining the same parameters from the same start lands within our uncertainties,
    # and its Rw is ours computed on its curve.
    peer_values, peer_rw, peer_curve = pdffit2_model(s, start_u, data.r, stype, data=data, qmax=qmax, delta2=1.0)
    for name, value in peer_values.items():
        assert abs(result.values[name] - value) < result.uncertainties[name], name
    assert rw(data.G, peer_curve, data.dG) == pytest.approx(peer_rw, rel=1e-9)
    # The two Rw differ only by the difference of the models, delta (weighted rms over the
    # weighted rms of the data): Rw^2 = Rw_PDFfit2^2 + delta^2. Without termination the models
    # agree to 0.05%, and so do the Rw (to 1%). With qmax, PDFfit2 terminates only the G(r) it
    # computes, from rmin to 6 ripples beyond rmax (a cyclic FFT low-pass), where kelvara
    # transforms G from r = 0 with the mirror term: delta is 0.4-1.3% here.
    weights = 1.0 / data.dG**2
    delta = np.sqrt(np.sum(weights * (result.model - peer_curve) ** 2) / np.sum(weights * data.G**2))
    assert result.rw == pytest.approx(np.hypot(peer_rw, delta), rel=0.01)
    if not qmax:
        assert result.reduced_chi2 == pytest.approx(1.0, abs=0.15)
        assert result.rw == pytest.approx(peer_rw, rel=0.01)


def test_bundled_example_fit_starts_from_the_file_uiso_and_recovers_the_truth():
    # measured.gr is SrTiO3.cif's model with the values its header states, plus noise;
    # the CIF gives every site a Uiso, which a refined Uiso starts from.
    folder = files("kelvara") / "data"
    data = read_pdf_data(folder / "measured.gr")
    result = fit_pdf(Structure.from_cif(str(folder / "SrTiO3.cif")), data, "scale,qdamp,uiso,delta2",
                     PDFParameters(qmax=float(data.settings["qmax"])), rmin=1.5)
    truth = {"scale": 0.85, "qdamp": 0.035, "uiso_O": 0.0095, "uiso_Sr": 0.0065, "uiso_Ti": 0.005, "delta2": 2.0}
    assert result.success and result.refined == tuple(truth)
    for name, value in truth.items():
        assert abs(result.values[name] - value) < 3 * result.uncertainties[name], name


def test_fit_orderings_singles_out_the_ordering_behind_the_data():
    # X-ray data made from the ordered expansion of seed 2: of the occupancy-weighted
    # model and seeds 0..2, only seed 2 fits to the noise.
    s = bundled("SrBaTiO3.cif")
    truth = PDFParameters(scale=0.9, qmax=25.0, uiso={"Sr": 0.008, "Ba": 0.008, "Ti": 0.005, "O": 0.01})
    ordered, _ = s.expand_occupancies(seed=2)
    r = np.arange(150, 1001) * 0.01
    G = model_pdf(pair_table(ordered, 14.0), r, truth, "xray") + np.random.default_rng(4).normal(0, 0.02, r.size)
    data = MeasuredPDF(r=r, G=G, dG=np.full(r.size, 0.02), dr=None, step=0.01, source="synthetic")
    start = truth.with_values({"scale": 1.0})
    fits = fit_orderings(s, data, "scale", start, seeds=range(3), radiation="xray")
    assert [(f.label, f.n_sites) for f in fits] == [("average", 5), ("seed 0", 40), ("seed 1", 40), ("seed 2", 40)]
    assert fits[3].fit.reduced_chi2 == pytest.approx(1.0, abs=0.15)
    assert abs(fits[3].fit.values["scale"] - 0.9) < 3 * fits[3].fit.uncertainties["scale"]
    assert min(f.fit.rw for f in fits[:3]) > 1.5 * fits[3].fit.rw
    again = fit_orderings(s, data, "scale", start, seeds=[2], radiation="xray")
    assert again[1].fit.rw == fits[3].fit.rw


@pytest.mark.parametrize(("refine", "kwargs", "message"), [
    ("scale,bogus", {}, "unknown PDF parameter 'bogus'"),
    ("uiso_Fe", {}, "uiso_Fe: the structure holds no Fe"),
    ("scale", {"rmin": 5.0, "rmax": 2.0}, r"rmin \(5 A\) must be below rmax"),
    ("scale", {"rmin": 50.0}, "has 0 point"),
    ("spdiameter", {}, "refining spdiameter needs a start value"),
])
def test_fit_refuses(refine, kwargs, message):
    r = np.arange(1, 200) * 0.05
    data = MeasuredPDF(r=r, G=np.sin(r), dG=None, dr=None, step=0.05, source="d")
    with pytest.raises(ValueError, match=message):
        fit_pdf(rock_salt(), data, refine, PDFParameters(uiso={"Na": 0.01, "Cl": 0.01}), **kwargs)


@pytest.mark.parametrize(("p", "message"), [
    (PDFParameters(), "no displacement parameter for (Na|Cl)"),
    (PDFParameters(uiso={"Na": 0.0, "Cl": 0.0}), "pairs have no peak width"),
    (PDFParameters(uiso={"Na": 0.01, "Cl": 0.01}, qdamp=-1.0), "qdamp must be zero or a positive number"),
    (PDFParameters(uiso={"Na": 0.01, "Cl": 0.01}, lattice_scale=0.5), "the pair table reaches"),
])
def test_model_refuses(p, message):
    with pytest.raises(ValueError, match=message):
        model_pdf(pair_table(rock_salt(), 12.0), np.arange(1, 200) * 0.05, p)


@pytest.mark.parametrize(("lower", "upper"), [((-np.inf,) * 3, (np.inf,) * 3), ((0.0, 2.6, 0.0), (10.0, 10.0, 0.3))])
def test_solver_matches_scipy(lower, upper):
    # A Gaussian peak on noise, free and with bounds that hold two parameters back.
    optimize = pytest.importorskip("scipy.optimize")
    x = np.linspace(0, 6, 400)
    y = 3.0 * np.exp(-0.5 * ((x - 2.5) / 0.4) ** 2) + np.random.default_rng(5).normal(0, 0.05, x.size)

    def residuals(p):
        return p[0] * np.exp(-0.5 * ((x - p[1]) / p[2]) ** 2) - y

    lower, upper = np.array(lower), np.array(upper)
    ours = levenberg_marquardt(residuals, np.array([1.0, 3.0, 0.2]), lower, upper)
    peer = optimize.least_squares(residuals, [1.0, 3.0, 0.2], bounds=(lower, upper), xtol=1e-14, ftol=1e-14)
    assert ours.converged
    np.testing.assert_allclose(ours.x, peer.x, rtol=1e-5)


def test_solver_never_evaluates_beyond_a_bound():
    # sqrt(1 - p) is undefined beyond p = 1: started on that bound, the derivative must be
    # taken from inside, and the fit reaches p = -3 (sqrt(1 - p) = 2).
    def residuals(p):
        return np.array([np.sqrt(1.0 - p[0]) - 2.0, 0.1 * (p[0] + 3.0)])

    with np.errstate(invalid="raise"):
        solution = levenberg_marquardt(residuals, np.array([1.0]), np.array([-10.0]), np.array([1.0]))
    assert solution.converged and solution.x[0] == pytest.approx(-3.0, abs=1e-6)


def test_rw_weighs_each_point_by_its_inverse_variance():
    # Weights 1/dG^2 make Rw the unweighted Rw of G/dG against model/dG: uncertainties
    # that grow with r, as a measurement's do, count as they should.
    rng = np.random.default_rng(8)
    observed, model = rng.normal(0, 3, 500), rng.normal(0, 3, 500)
    dG = np.linspace(0.05, 0.5, 500)
    assert rw(observed, model, dG) == pytest.approx(rw(observed / dG, model / dG), rel=1e-12)
    assert rw(observed, model, dG) != pytest.approx(rw(observed, model), rel=1e-3)
