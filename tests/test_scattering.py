"""Neutron/X-ray weighted G(r) and S(Q) against the Debye equation and known crystals."""

from __future__ import annotations

import itertools

import numpy as np
import pytest
from conftest import cubic

from kelvara import Structure
from kelvara.scattering import (
    faber_ziman_weights,
    neutron_lengths,
    sine_sums,
    structure_factor,
    terminate,
    total_pdf,
    xray_form_factors,
)

pytest.importorskip("periodictable")

FCC = [[0, 0, 0], [0, 0.5, 0.5], [0.5, 0, 0.5], [0.5, 0.5, 0]]


def rock_salt(a: float = 5.64) -> Structure:
    return cubic(a, FCC + [[(x + 0.5) % 1, y, z] for x, y, z in FCC], [{"Na": 1.0}] * 4 + [{"Cl": 1.0}] * 4)


def debye_structure_factor(structure: Structure, q, r_max: float, weights: dict, lorch: bool):
    """Brute force: every pair of atoms within r_max over all periodic images, summed
    with the Debye equation, minus the uniform-density term of the same window.
    `weights` maps elements to scattering factors, numbers or arrays over q."""
    lattice = np.array(structure.lattice_matrix)
    cart = np.array(structure.cart_coords)
    symbols = [next(iter(d)) for d in structure.species]
    b = np.array([np.broadcast_to(np.asarray(weights[s], dtype=float), q.shape) for s in symbols])  # [atom, q]
    n = len(symbols)
    reach = [int(np.ceil(r_max / (abs(np.linalg.det(lattice)) / np.linalg.norm(np.cross(lattice[(i + 1) % 3], lattice[(i + 2) % 3]))))) for i in range(3)]
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


@pytest.mark.parametrize("lorch", [True, False])
def test_structure_factor_matches_the_debye_equation(lorch):
    s = rock_salt()
    q = np.linspace(0.5, 12.0, 24)
    sq = structure_factor(s, q=q, r_max=9.0, bin_size=0.0005, window="lorch" if lorch else None)
    expected = debye_structure_factor(s, q, 9.0, neutron_lengths(["Cl", "Na"]), lorch)
    np.testing.assert_allclose(sq.S, expected, atol=2e-3)


def test_xray_structure_factor_uses_form_factors_at_each_q():
    s = rock_salt()
    q = np.linspace(0.5, 12.0, 24)
    sq = structure_factor(s, q=q, r_max=9.0, bin_size=0.0005, radiation="xray")
    expected = debye_structure_factor(s, q, 9.0, xray_form_factors(["Cl", "Na"], q), lorch=True)
    np.testing.assert_allclose(sq.S, expected, atol=2e-3)
    # Constant weights Z would give a different curve: the check sees f0(Q).
    constant = debye_structure_factor(s, q, 9.0, {"Na": 11.0, "Cl": 17.0}, lorch=True)
    assert np.max(np.abs(sq.S - constant)) > 0.02


def test_lorch_window_damps_the_cut_at_r_max():
    # Below the first Bragg peak (1.93 1/A) the broadened crystal has only the small
    # diffuse term 1 - exp(-(sigma Q)^2 / 2); the rest is ripple from the cut at r_max.
    q = np.linspace(0.5, 1.6, 200)
    diffuse = 1.0 - np.exp(-0.5 * (0.1 * q) ** 2)
    ripple = {}
    for window in ("lorch", None):
        sq = structure_factor(rock_salt(), q=q, r_max=10.0, window=window, broadening=0.1)
        ripple[window] = np.max(np.abs(sq.S - diffuse))
    assert ripple["lorch"] < 0.3 * ripple[None]


def test_sine_sums_equal_the_direct_sum(rng):
    n, dr = 997, 0.013
    r = (np.arange(n) + 0.5) * dr
    q = np.concatenate([[0.0], rng.random(150) * 40.0])
    values = rng.normal(size=(3, n))
    direct = values @ np.sin(np.outer(q, r)).T
    np.testing.assert_allclose(sine_sums(q, dr, values), direct, atol=1e-11 * np.abs(direct).max())
    np.testing.assert_allclose(sine_sums(q, dr, values[1]), direct[1], atol=1e-11 * np.abs(direct).max())


def test_partials_recombine_and_are_symmetric():
    s = cubic(4.1, [[0, 0, 0], [0.5, 0.5, 0.5], [0.5, 0.5, 0]], [{"Sr": 0.5, "Ba": 0.5}, {"Ti": 1.0}, {"O": 1.0}])
    sq = structure_factor(s, r_max=8.0, bin_size=0.01, radiation="xray")
    np.testing.assert_allclose(sq.partials[("Ba", "O")], sq.partials[("O", "Ba")], atol=1e-10)
    conc = {el: amount / s.n_atoms for el, amount in s.composition.items()}
    weights = faber_ziman_weights(conc, xray_form_factors(list(conc), sq.q))
    assert np.allclose(sum(weights.values()), 1.0)
    recombined = 1.0 + sum(weights[p] * (sq.partials[p] - 1.0) for p in sq.partials)
    np.testing.assert_allclose(sq.S, recombined, atol=1e-12)


def test_structure_factor_tends_to_one_at_large_q():
    sq = structure_factor(rock_salt(), q=np.linspace(18, 25, 50), r_max=15.0, bin_size=0.01, broadening=0.15)
    assert np.max(np.abs(sq.S - 1.0)) < 0.05


def first_peak_area(pdf, lo: float, hi: float) -> float:
    """Neighbours under a peak of the radial distribution 4 pi r^2 rho0 g(r)."""
    window = (pdf.r >= lo) & (pdf.r < hi)
    dr = pdf.r[1] - pdf.r[0]
    return float(np.sum(4 * np.pi * pdf.r[window] ** 2 * pdf.rho0 * pdf.g[window]) * dr)


@pytest.mark.parametrize("radiation", ["neutron", "xray"])
def test_fcc_nickel_first_peak(radiation):
    a = 3.524
    pdf = total_pdf(cubic(a, FCC, [{"Ni": 1.0}] * 4), r_max=6.0, bin_size=0.01, radiation=radiation, broadening=0.05)
    near = pdf.r < 3.0
    assert abs(pdf.r[near][np.argmax(pdf.G[near])] - a / np.sqrt(2)) < 0.011
    assert first_peak_area(pdf, 2.1, 2.9) == pytest.approx(12.0, rel=2e-3)


def test_rock_salt_peaks_carry_the_neutron_weights():
    pdf = total_pdf(rock_salt(), r_max=6.0, bin_size=0.01)
    near = pdf.r < 3.3
    assert abs(pdf.r[near][np.argmax(pdf.G[near])] - 2.82) < 0.011
    b = neutron_lengths(["Na", "Cl"])
    mean = (b["Na"] + b["Cl"]) / 2
    # Area of a peak: sum_ij c_i b_i b_j n_ij / <b>^2, n_ij the j neighbours of an i atom.
    # Every atom has 6 unlike neighbours at a/2. (Bin centres stand in for exact shell
    # volumes in the area, hence a relative tolerance of the order of (dr / r)^2.)
    expected = (0.5 * 6 + 0.5 * 6) * b["Na"] * b["Cl"] / mean**2
    assert first_peak_area(pdf, 2.6, 3.1) == pytest.approx(expected, rel=1e-5)
    assert pdf.weights[("Cl", "Na")] == pytest.approx(0.25 * b["Na"] * b["Cl"] / mean**2)


def test_quartz_si_o_bond():
    crystal = pytest.importorskip("ase.spacegroup").crystal
    from kelvara.interop import from_ase

    quartz = crystal(["Si", "O"], basis=[(0.4697, 0, 2 / 3), (0.4135, 0.2669, 0.1191 + 2 / 3)], spacegroup=154,
                     cellpar=[4.9134, 4.9134, 5.4052, 90, 90, 120])
    s = from_ase(quartz)
    assert s.n_sites == 9
    pdf = total_pdf(s, r_max=4.0, bin_size=0.005)
    assert abs(pdf.r[np.argmax(pdf.G)] - 1.61) < 0.01
    # Si-O: every Si has 4 O at 1.61 A and every O 2 Si.
    b = neutron_lengths(["O", "Si"])
    c = {"Si": 1 / 3, "O": 2 / 3}
    mean = c["Si"] * b["Si"] + c["O"] * b["O"]
    expected = (c["Si"] * 4 + c["O"] * 2) * b["Si"] * b["O"] / mean**2
    assert first_peak_area(pdf, 1.4, 1.8) == pytest.approx(expected, rel=1e-5)


def test_random_structure_has_g_one(rng):
    n = 3000
    s = Structure(np.eye(3) * 28.0, rng.random((n, 3)), [{"Fe": 1.0}, {"O": 1.0}] * (n // 2))
    pdf = total_pdf(s, r_max=9.0, bin_size=0.25, radiation="xray")
    assert np.allclose(pdf.g[pdf.r > 2.0], 1.0, atol=0.06)


def test_termination_matches_a_numerical_back_transform():
    s = cubic(3.524, FCC, [{"Ni": 1.0}] * 4)
    qmax = 20.0
    ideal = total_pdf(s, r_max=14.0, bin_size=0.01, broadening=0.08)
    terminated = total_pdf(s, r_max=14.0, bin_size=0.01, broadening=0.08, qmax=qmax)
    q = np.linspace(0, qmax, 4001)
    f = np.sin(np.outer(q, ideal.r)) @ ideal.G * 0.01            # F(Q) = int G(r) sin(Qr) dr
    back = (2 / np.pi) * np.trapezoid(f[:, None] * np.sin(np.outer(q, ideal.r)), q, axis=0)
    inner = ideal.r < 8.0                                         # away from the cut at r_max
    np.testing.assert_allclose(terminated.G[inner], back[inner], atol=0.02 * np.max(np.abs(ideal.G)))
    assert not np.allclose(terminated.G[inner], ideal.G[inner], atol=0.02 * np.max(np.abs(ideal.G)))


def test_termination_equals_the_dense_kernel(rng):
    # (dr/pi) [sin(qmax (r - r')) / (r - r') - sin(qmax (r + r')) / (r + r')], built in full.
    n, dr, qmax = 640, 0.02, 23.0
    r = (np.arange(n) + 0.5) * dr
    diff, summ = r[:, None] - r[None, :], r[:, None] + r[None, :]
    safe = np.where(diff == 0, 1.0, diff)
    kernel = (np.where(diff == 0, qmax, np.sin(qmax * diff) / safe) - np.sin(qmax * summ) / summ) * (dr / np.pi)
    G = rng.normal(size=n)
    np.testing.assert_allclose(terminate(G, dr, qmax), kernel @ G, atol=1e-12 * np.abs(kernel @ G).max())


def test_broadening_keeps_the_pairs():
    # A Gaussian on every pair distance: the neighbours counted up to a radius are
    # sum over pairs of Phi((radius - d) / sigma), here with a kernel wider than r_max.
    from math import erf

    a, sigma = 3.524, 0.4
    pdf = total_pdf(cubic(a, FCC, [{"Ni": 1.0}] * 4), r_max=3.0, bin_size=0.01, broadening=sigma)
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
        averaged = total_pdf(composite, r_max=12.0, scattering_factors={"Sr": 0.5 * (b["Sr"] + b["Ba"])}, **kwargs)
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


def test_qdamp_damps_the_envelope():
    s = cubic(3.524, FCC, [{"Ni": 1.0}] * 4)
    plain = total_pdf(s, r_max=10.0, bin_size=0.02, broadening=0.05)
    damped = total_pdf(s, r_max=10.0, bin_size=0.02, broadening=0.05, qdamp=0.1)
    np.testing.assert_allclose(damped.G, plain.G * np.exp(-0.5 * (0.1 * plain.r) ** 2), atol=1e-12)


def test_xray_form_factors_start_at_the_atomic_number():
    f = xray_form_factors(["Fe", "O"], np.array([0.0, 10.0]))
    assert f["Fe"][0] == pytest.approx(26, abs=0.1) and f["O"][0] == pytest.approx(8, abs=0.1)
    assert f["Fe"][1] < 26
    assert xray_form_factors(["Fe"])["Fe"] == 26


@pytest.mark.parametrize(
    ("kwargs", "message"),
    [
        ({"radiation": "electron"}, "radiation must be 'neutron' or 'xray'"),
        ({"r_max": -1.0}, "r_max must be a positive number"),
        ({"r_max": float("inf")}, "r_max must be a positive number"),
        ({"bin_size": -0.01}, "bin_size must be a positive number"),
        ({"bin_size": float("nan")}, "bin_size must be a positive number"),
        ({"r_max": 0.005}, r"r_max \(0.005 A\) must be at least one bin_size"),
        ({"broadening": float("nan")}, "broadening must be zero or a positive number"),
        ({"qmax": 0.0}, "qmax must be a positive number"),
        ({"qdamp": -0.1}, "qdamp must be zero or a positive number"),
        ({"qdamp": float("nan")}, "qdamp must be zero or a positive number"),
        ({"scattering_factors": {"Na": float("nan")}}, "scattering factor of Na must be a finite number"),
    ],
)
def test_bad_arguments(kwargs, message):
    with pytest.raises(ValueError, match=message):
        total_pdf(rock_salt(), **kwargs)


def test_unknown_elements_and_bad_q():
    with pytest.raises(ValueError, match="'Xx' is not a chemical element"):
        total_pdf(cubic(4.0, [[0, 0, 0]], [{"Xx": 1.0}]), r_max=5.0)
    with pytest.raises(ValueError, match="'n' is not a chemical element"):
        total_pdf(cubic(4.0, [[0, 0, 0]], [{"n": 1.0}]), r_max=5.0)
    with pytest.raises(ValueError, match="the structure holds no atoms"):
        total_pdf(cubic(4.0, [[0, 0, 0]], [{"Fe": 0.0}]), r_max=5.0)
    for q in (np.array([[1.0]]), np.array([1.0, np.nan]), np.array([-1.0]), 3.0):
        with pytest.raises(ValueError, match="q must be"):
            structure_factor(rock_salt(), q=q)
    with pytest.raises(ValueError, match="window must be"):
        structure_factor(rock_salt(), window="hann")
    with pytest.raises(ValueError, match="no X-ray form factor is tabulated for Cl at Q = 100"):
        structure_factor(rock_salt(), q=np.array([1.0, 100.0]), r_max=5.0, radiation="xray")


def pdffit2_G(structure: Structure, uiso: float, radiation: str, qmax: float, r_max: float, dr: float):
    """G(r) of the peer PDFfit2 on our bin centres (isotropic Uiso on every atom)."""
    pdffit2 = pytest.importorskip("diffpy.pdffit2")
    dstructure = pytest.importorskip("diffpy.structure")
    import io
    import os

    lattice = dstructure.Lattice(base=np.array(structure.lattice_matrix))
    atoms = [dstructure.Atom(next(iter(sp)), xyz=f, U=np.eye(3) * uiso)
             for sp, f in zip(structure.species, structure.frac_coords)]
    with open(os.devnull, "w") as sink:
        pdffit2.redirect_stdout(sink)
        fit = pdffit2.PdfFit()
        fit.add_structure(dstructure.Structure(atoms, lattice=lattice))
        n = int(round(r_max / dr))
        fit.alloc("N" if radiation == "neutron" else "X", qmax, 0.0, 0.5 * dr, r_max - 0.5 * dr, n)
        fit.calc()
        G = np.array(fit.getpdf_fit())
    pdffit2.redirect_stdout(io.StringIO())
    return G


@pytest.mark.parametrize("radiation", ["neutron", "xray"])
@pytest.mark.parametrize("qmax", [0.0, 25.0])
@pytest.mark.parametrize("crystal", ["Ni", "NaCl"])
def test_matches_pdffit2(crystal, qmax, radiation):
    s = cubic(3.524, FCC, [{"Ni": 1.0}] * 4) if crystal == "Ni" else rock_salt()
    uiso = 0.005
    peer = pdffit2_G(s, uiso, radiation, qmax, 15.0, 0.01)
    ours = total_pdf(s, r_max=15.0, radiation=radiation, qmax=qmax or None, broadening=np.sqrt(2 * uiso))
    inner = ours.r > 1.5
    assert ours.G.shape == peer.shape
    # Same peaks, same heights: the difference is a percent of the curve.
    rms = np.sqrt(np.mean((ours.G - peer)[inner] ** 2) / np.mean(peer[inner] ** 2))
    assert rms < 0.02
    first = ours.r < 3.2
    assert np.argmax(ours.G[first]) == np.argmax(peer[first])
    assert np.max(ours.G[first]) == pytest.approx(np.max(peer[first]), rel=5e-3)
