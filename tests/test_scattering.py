"""Neutron/X-ray weighted G(r) and S(Q) against the Debye equation, PDFfit2 and known crystals."""

from __future__ import annotations

import itertools
from math import erf

import numpy as np
import pytest
from conftest import cubic, nickel, pdffit2_model, rock_salt

from kelvara import Structure
from kelvara.pdf import (
    faber_ziman_weights,
    neutron_lengths,
    partial_g,
    pdf_from_partials,
    sine_sums,
    structure_factor,
    terminate,
    total_pdf,
    xray_form_factors,
)


def debye_structure_factor(structure: Structure, q, r_max: float, weights: dict, lorch: bool):
    """Brute force: every pair of atoms within r_max over all periodic images, summed
    with the Debye equation, minus the uniform-density term of the same window.
    `weights` maps elements to scattering factors, numbers or arrays over q."""
    lattice = np.array(structure.lattice_matrix)
    cart = np.array(structure.cart_coords)
    symbols = [next(iter(d)) for d in structure.species]
    b = np.array([np.broadcast_to(np.asarray(weights[s], dtype=float), q.shape) for s in symbols])
    n = len(symbols)
    heights = abs(np.linalg.det(lattice)) / np.linalg.norm(np.cross(np.roll(lattice, -1, 0),
                                                                    np.roll(lattice, -2, 0)), axis=1)
    reach = np.ceil(r_max / heights).astype(int)
    shifts = np.array(list(itertools.product(*(range(-m, m + 1) for m in reach)))) @ lattice
    total = np.zeros_like(q)
    for i in range(n):
        d = np.linalg.norm(cart[None, :, :] + shifts[:, None, :] - cart[i], axis=2)
        mask = (d > 1e-8) & (d <= r_max)
        dist = d[mask]
        partner = np.broadcast_to(np.arange(n), d.shape)[mask]
        window = np.sinc(dist / r_max) if lorch else 1.0
        total += b[i] * (np.sinc(np.outer(q, dist) / np.pi) * window * b[partner].T).sum(axis=1)
    mean_b = b.mean(axis=0)
    rho0 = n / structure.volume
    r = np.linspace(0, r_max, 200001)[1:]
    window = np.sinc(r / r_max) if lorch else 1.0
    background = np.trapezoid(r * r * window * np.sinc(np.outer(q, r) / np.pi), r, axis=1)
    return 1.0 + total / (n * mean_b**2) - 4 * np.pi * rho0 * background


@pytest.mark.parametrize(("radiation", "window"),
                         [("neutron", "lorch"), ("neutron", None), ("xray", "lorch")])
def test_structure_factor_matches_the_debye_equation(radiation, window):
    q = np.linspace(0.5, 12.0, 24)
    sq = structure_factor(rock_salt(), q=q, r_max=9.0, bin_size=0.0005, radiation=radiation, window=window)
    # X-ray form factors f0(Q) are taken at each q.
    factors = neutron_lengths(["Cl", "Na"]) if radiation == "neutron" else xray_form_factors(["Cl", "Na"], q)
    expected = debye_structure_factor(rock_salt(), q, 9.0, factors, lorch=window == "lorch")
    np.testing.assert_allclose(sq.S, expected, atol=2e-3)


def test_sine_sums_equal_the_direct_sum(rng):
    n, dr = 997, 0.013
    r = (np.arange(n) + 0.5) * dr
    q = np.concatenate([[0.0], rng.random(150) * 40.0])
    values = rng.normal(size=(3, n))
    direct = values @ np.sin(np.outer(q, r)).T
    tolerance = 1e-11 * np.abs(direct).max()
    np.testing.assert_allclose(sine_sums(q, dr, values), direct, atol=tolerance)
    np.testing.assert_allclose(sine_sums(q, dr, values[1]), direct[1], atol=tolerance)


def quartz() -> Structure:
    crystal = pytest.importorskip("ase.spacegroup").crystal
    from kelvara.interop import from_ase

    basis = [(0.4697, 0, 2 / 3), (0.4135, 0.2669, 0.1191 + 2 / 3)]
    cell = [4.9134, 4.9134, 5.4052, 90, 90, 120]
    s = from_ase(crystal(["Si", "O"], basis=basis, spacegroup=154, cellpar=cell))
    assert s.n_sites == 9
    return s


@pytest.mark.parametrize(("build", "peak", "window", "neighbours", "rel"), [
    (nickel, 3.524 / np.sqrt(2), (2.1, 2.9), {("Ni", "Ni"): 12}, 2e-3),
    (rock_salt, 2.82, (2.6, 3.1), {("Na", "Cl"): 6, ("Cl", "Na"): 6}, 1e-5),
    (quartz, 1.61, (1.4, 1.8), {("Si", "O"): 4, ("O", "Si"): 2}, 1e-5),
])
def test_first_peak_of_known_crystals(build, peak, window, neighbours, rel):
    s = build()
    # Nickel is broadened (the area then has a Gaussian tail outside the window).
    broadening = 0.05 if build is nickel else 0.0
    pdf = total_pdf(s, r_max=6.0, bin_size=0.005, broadening=broadening)
    near = pdf.r < window[1]
    assert abs(pdf.r[near][np.argmax(pdf.G[near])] - peak) < 0.011
    # Area of a peak of 4 pi r^2 rho0 g(r): sum_ij c_i b_i b_j n_ij / <b>^2, n_ij the
    # j neighbours of an i atom. (Bin centres stand in for exact shell volumes in the
    # area, hence a relative tolerance of the order of (dr / r)^2.)
    c = {el: amount / s.n_atoms for el, amount in s.composition.items()}
    b = neutron_lengths(list(c))
    mean = sum(c[el] * b[el] for el in c)
    expected = sum(c[i] * n * b[i] * b[j] for (i, j), n in neighbours.items()) / mean**2
    inside = (pdf.r >= window[0]) & (pdf.r < window[1])
    area = np.sum(4 * np.pi * pdf.r[inside] ** 2 * pdf.rho0 * pdf.g[inside]) * 0.005
    assert area == pytest.approx(expected, rel=rel)


def test_termination_equals_the_dense_kernel(rng):
    # (dr/pi) [sin(qmax (r - r')) / (r - r') - sin(qmax (r + r')) / (r + r')], built in full.
    n, dr, qmax = 640, 0.02, 23.0
    r = (np.arange(n) + 0.5) * dr
    diff, summ = r[:, None] - r[None, :], r[:, None] + r[None, :]
    safe = np.where(diff == 0, 1.0, diff)
    near = np.where(diff == 0, qmax, np.sin(qmax * diff) / safe)
    kernel = (near - np.sin(qmax * summ) / summ) * (dr / np.pi)
    G = rng.normal(size=n)
    np.testing.assert_allclose(terminate(G, dr, qmax), kernel @ G, atol=1e-12 * np.abs(kernel @ G).max())


def test_broadening_keeps_the_pairs():
    # A Gaussian on every pair distance: the neighbours counted up to a radius are
    # sum over pairs of Phi((radius - d) / sigma), here with a kernel wider than r_max.
    a, sigma = 3.524, 0.4
    pdf = total_pdf(nickel(a), r_max=3.0, bin_size=0.01, broadening=sigma)
    counted = np.sum(4 * np.pi * pdf.r**2 * pdf.rho0 * pdf.g) * 0.01
    shells = [(a / np.sqrt(2), 12), (a, 6), (a * np.sqrt(1.5), 24), (a * np.sqrt(2), 12)]
    phi = lambda x: 0.5 * (1 + erf(x / np.sqrt(2)))  # noqa: E731
    expected = sum(n * (phi((3.0 - d) / sigma) - phi(-d / sigma)) for d, n in shells)
    assert counted == pytest.approx(expected, rel=2e-3)


def test_mixed_site_equals_its_composite_scatterer():
    # Occupancy-weighted pairs: a site holding Sr 0.5 + Ba 0.5 scatters like one atom
    # with the mean scattering length, exactly, for every pair of distinct sites.
    frac = [[0, 0, 0], [0.5, 0.5, 0.5], [0.5, 0.5, 0], [0.5, 0, 0.5], [0, 0.5, 0.5]]
    rest = [{"Ti": 1.0}, {"O": 1.0}, {"O": 1.0}, {"O": 1.0}]
    mixed = cubic(3.95, frac, [{"Sr": 0.5, "Ba": 0.5}, *rest])
    composite = cubic(3.95, frac, [{"Sr": 1.0}, *rest])
    b = neutron_lengths(["Sr", "Ba"])
    for kwargs in ({}, {"qmax": 22.0, "broadening": 0.08, "qdamp": 0.03}):
        disordered = total_pdf(mixed, r_max=12.0, **kwargs)
        mean = {"Sr": 0.5 * (b["Sr"] + b["Ba"])}
        averaged = total_pdf(composite, r_max=12.0, scattering_factors=mean, **kwargs)
        np.testing.assert_allclose(disordered.G, averaged.G, atol=1e-9 * np.abs(averaged.G).max())
    # And the mixed site is not merely Sr: the weights matter.
    assert not np.allclose(total_pdf(composite, r_max=12.0).G, disordered.G, atol=1e-3)


def test_null_scattering_mixture_is_refused():
    # Ti has a negative coherent length: Ti_x Zr_(1-x) with <b> = 0 is the classic null matrix.
    b = neutron_lengths(["Ti", "Zr"])
    null = b["Zr"] / (b["Zr"] - b["Ti"])
    with pytest.raises(ValueError, match="null-scattering"):
        faber_ziman_weights({"Ti": null + 1e-6, "Zr": 1 - null - 1e-6}, b)
    weights = faber_ziman_weights({"Ti": null + 0.05, "Zr": 0.95 - null}, b)
    assert sum(weights.values()) == pytest.approx(1.0)


def pdf_of_partials(s: Structure, **kwargs):
    return pdf_from_partials(partial_g(s, 5.0, 0.01), **kwargs)


@pytest.mark.parametrize(("function", "species", "kwargs", "message"), [
    (total_pdf, None, {"radiation": "electron"}, "radiation must be 'neutron' or 'xray'"),
    (total_pdf, None, {"r_max": -1.0}, "r_max must be a positive number"),
    (total_pdf, None, {"r_max": float("inf")}, "r_max must be a positive number"),
    (total_pdf, None, {"bin_size": -0.01}, "bin_size must be a positive number"),
    (total_pdf, None, {"r_max": 0.005}, r"r_max \(0.005 A\) must be at least one bin_size"),
    (total_pdf, None, {"broadening": float("nan")}, "broadening must be zero or a positive number"),
    (total_pdf, None, {"qmax": 0.0}, "qmax must be a positive number"),
    (total_pdf, None, {"qdamp": -0.1}, "qdamp must be zero or a positive number"),
    (total_pdf, None, {"scattering_factors": {"Na": float("nan")}},
     "scattering factor of Na must be a finite number"),
    (total_pdf, {"Xx": 1.0}, {"r_max": 5.0}, "'Xx' is not a chemical element"),
    (total_pdf, {"n": 1.0}, {"r_max": 5.0}, "'n' is not a chemical element"),
    (structure_factor, None, {"q": np.array([[1.0]])}, "q must be"),
    (structure_factor, None, {"q": np.array([1.0, np.nan])}, "q must be"),
    (structure_factor, None, {"q": np.array([-1.0])}, "q must be"),
    (structure_factor, None, {"q": 3.0}, "q must be"),
    (structure_factor, None, {"window": "hann"}, "window must be"),
    (structure_factor, None, {"q": np.array([1.0, 100.0]), "r_max": 5.0, "radiation": "xray"},
     "no X-ray form factor is tabulated for Cl at Q = 100"),
    # Partials computed once may be weighted again: the resolution is checked there too.
    (pdf_of_partials, None, {"qdamp": float("inf")}, "qdamp must be zero or a positive number"),
])
def test_bad_arguments(function, species, kwargs, message):
    s = rock_salt() if species is None else cubic(4.0, [[0, 0, 0]], [species])
    with pytest.raises(ValueError, match=message):
        function(s, **kwargs)


@pytest.mark.parametrize("radiation", ["neutron", "xray"])
@pytest.mark.parametrize(("qmax", "qdamp"), [(0.0, 0.0), (25.0, 0.0), (25.0, 0.04)])
@pytest.mark.parametrize("crystal", [nickel, rock_salt])
def test_matches_pdffit2(crystal, qmax, qdamp, radiation):
    s = crystal()
    uiso = 0.005
    # PDFfit2's G on our bin centres, the same isotropic Uiso on every atom.
    r = (np.arange(1500) + 0.5) * 0.01
    stype = "N" if radiation == "neutron" else "X"
    peer = pdffit2_model(s, dict.fromkeys(s.elements, uiso), r, stype, qmax=qmax, qdamp=qdamp)
    ours = total_pdf(s, r_max=15.0, radiation=radiation, qmax=qmax or None, qdamp=qdamp,
                     broadening=np.sqrt(2 * uiso))
    inner = ours.r > 1.5
    assert ours.G.shape == peer.shape
    # Same peaks, same heights: the difference is a percent of the curve.
    rms = np.sqrt(np.mean((ours.G - peer)[inner] ** 2) / np.mean(peer[inner] ** 2))
    assert rms < 0.02
    first = ours.r < 3.2
    assert np.argmax(ours.G[first]) == np.argmax(peer[first])
    assert np.max(ours.G[first]) == pytest.approx(np.max(peer[first]), rel=5e-3)


def test_shipped_table_says_what_periodictable_says():
    # The scattering data ship with the package (no extra needed); they are periodictable's.
    periodictable = pytest.importorskip("periodictable")
    from kelvara.pdf._elements import ELEMENTS
    from kelvara.pdf.scattering import atomic_mass

    q = np.linspace(0.0, 4 * np.pi * 6, 97)
    symbols = [atom.symbol for atom in periodictable.elements if atom.number > 0] + ["D", "T"]
    assert sorted(ELEMENTS) == sorted(symbols)
    for symbol in symbols:
        atom = periodictable.elements.symbol(symbol)
        assert xray_form_factors([symbol])[symbol] == atom.number
        if atom.neutron.b_c is None:
            with pytest.raises(ValueError, match=f"no neutron scattering length is tabulated for {symbol}"):
                neutron_lengths([symbol])
        else:
            assert neutron_lengths([symbol])[symbol] == atom.neutron.b_c
        assert atomic_mass(symbol) == atom.mass
        expected = atom.xray.f0(q) if ELEMENTS[symbol][3] else None
        if expected is None:
            with pytest.raises(ValueError, match=f"no X-ray form factor is tabulated for {symbol}"):
                xray_form_factors([symbol], q)
        else:
            assert np.allclose(xray_form_factors([symbol], q)[symbol], expected, rtol=1e-13, atol=1e-13), symbol
    with pytest.raises(ValueError, match="at Q = 76 1/A"):
        xray_form_factors(["Ni"], np.array([1.0, 76.0]))
    with pytest.raises(ValueError, match="'Xx' is not a chemical element"):
        neutron_lengths(["Xx"])
