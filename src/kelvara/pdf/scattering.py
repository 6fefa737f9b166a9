"""Neutron- and X-ray-weighted total PDF G(r) and structure factor S(Q).

Built from the occupancy-weighted partial RDFs of ``Structure.prdf`` with the
Faber-Ziman weights c_i c_j b_i b_j / <b>^2, so a disordered crystal gives the
pair distribution function that a measurement on it averages over. Scattering
lengths and form factors come from the table in ``kelvara/pdf/_elements.py``,
generated from the ``periodictable`` package by ``tools/make_scattering_table.py``,
so the plain install needs no extra.

Conventions (those of PDFgui/PDFgetX and most of the literature)::

  rho0 = n_atoms / volume, c_i = N_i / n_atoms,
  g(r) = sum_ij c_i c_j w_i w_j g_ij(r) / <w>^2 with g_ij -> 1 at large r,
  G(r) = 4 pi r rho0 (g(r) - 1),
  S_ij(Q) = 1 + 4 pi rho0 int_0^rmax r^2 (g_ij(r) - 1) sin(Qr)/(Qr) W(r) dr,
  S(Q) = 1 + sum_ij c_i c_j f_i(Q) f_j(Q) (S_ij(Q) - 1) / <f(Q)>^2,

with W the Lorch window sin(pi r / rmax) / (pi r / rmax) or 1.

Curves live on bin centres (k + 1/2) * bin_size; only bins whose right edge is
within r_max are kept, so every returned bin holds all of its pairs.
"""

from __future__ import annotations

import math
import warnings
from dataclasses import dataclass, replace
from typing import TYPE_CHECKING, Literal

import numpy as np

from kelvara.analysis import FloatArray, bin_centres, number_density, partner_densities
from kelvara._records import short_repr
from kelvara.pdf._elements import ELEMENTS

if TYPE_CHECKING:
    from collections.abc import Mapping

    from kelvara._kelvara import Structure

Radiation = Literal["neutron", "xray"]
Pair = tuple[str, str]

# A composition-averaged scattering factor smaller than this fraction of the
# average magnitude makes the Faber-Ziman weights (<|b|> / <b>)^2 > 1e6 times
# larger than the partials: the normalised total is then noise, not a result.
NULL_SCATTERING = 1e-3
# Termination is evaluated over G(r) extended this many ripple periods 2 pi / qmax
# beyond r_max (2.5 A at qmax = 25): the sinc tails of the peaks beyond the
# extension are missing, about 1% of the amplitude of G near r_max for fcc Ni.
TERMINATION_RIPPLES = 10
# The form factors' five Gaussians are fitted for sin(theta)/lambda up to 6 1/A.
XRAY_Q_LIMIT = 4.0 * math.pi * 6.0


def _entry(symbol: str) -> tuple[int, float, float | None, tuple[float, ...] | None]:
    entry = ELEMENTS.get(symbol)
    if entry is None:
        raise ValueError(f"'{symbol}' is not a chemical element, so it has no scattering data")
    return entry


def atomic_mass(symbol: str) -> float:
    """Standard atomic mass of an element ("D" is deuterium), in u."""
    return _entry(symbol)[1]


def neutron_lengths(elements: list[str]) -> dict[str, float]:
    """Bound coherent neutron scattering length b_c of each element (natural
    isotope mixture; "D" is deuterium), in fm."""
    out = {}
    for symbol in elements:
        b = _entry(symbol)[2]
        if b is None:
            raise ValueError(f"no neutron scattering length is tabulated for {symbol}")
        out[symbol] = b
    return out


def xray_form_factors(elements: list[str], q: FloatArray | None = None) -> dict[str, FloatArray]:
    """X-ray atomic form factor f0(Q) of each element (electrons) at `q` (1/A);
    with `q` None, the atomic number (the form factor at Q = 0)."""
    out = {}
    for symbol in elements:
        z, _, _, coefficients = _entry(symbol)
        if q is None:
            out[symbol] = np.asarray(float(z))
            continue
        q = np.asarray(q, dtype=np.float64)
        if coefficients is None:
            raise ValueError(f"no X-ray form factor is tabulated for {symbol}")
        beyond = ~(np.abs(q) <= XRAY_Q_LIMIT)
        if np.any(beyond):
            raise ValueError(f"no X-ray form factor is tabulated for {symbol} at "
                             f"Q = {float(q[beyond].min()):g} 1/A (the table ends at {XRAY_Q_LIMIT:.4g})")
        s2 = (q / (4.0 * math.pi)) ** 2
        f = np.zeros_like(q)
        for a, b in zip(coefficients[:5], coefficients[5:10]):
            f = f + a * np.exp(-b * s2)
        out[symbol] = f + coefficients[10]
    return out


def _check_grid(r_max: float, bin_size: float) -> None:
    if not (isinstance(bin_size, (int, float, np.floating, np.integer)) and bin_size > 0 and math.isfinite(bin_size)):
        raise ValueError(f"bin_size must be a positive number, not {bin_size!r}")
    if not (isinstance(r_max, (int, float, np.floating, np.integer)) and r_max > 0 and math.isfinite(r_max)):
        raise ValueError(f"r_max must be a positive number, not {r_max!r}")
    if r_max < bin_size:
        raise ValueError(f"r_max ({r_max:g} A) must be at least one bin_size ({bin_size:g} A)")


@dataclass(frozen=True, repr=False)
class PartialCurves:
    """Normalised partials g_ij on bin centres, with what the weights need."""

    __repr__ = short_repr

    r: FloatArray
    """Bin centres, A."""
    bin_size: float
    g: dict[Pair, FloatArray]
    """g_ij(r) of every ordered pair of elements, tending to 1."""
    concentrations: dict[str, float]
    """c_i = N_i / n_atoms (occupancies summed)."""
    rho0: float
    """Number density of atoms, 1/A^3."""


def _site_widths(structure: Structure, broadening: float | None):
    """The pair broadening to apply: one Gaussian width for every pair (a float), or,
    with `broadening` None and displacement parameters on the structure, the site
    classes (element, Uiso) of every site so each pair of classes gets its own width
    sqrt(U_i + U_j). Sites without a value count as static (U = 0), with a warning."""
    if broadening is not None:
        if not (isinstance(broadening, (int, float, np.floating, np.integer)) and broadening >= 0
                and math.isfinite(broadening)):
            raise ValueError(f"broadening must be zero or a positive number, or None, not {broadening!r}")
        return float(broadening)
    uiso = getattr(structure, "uiso", None)
    if uiso is None or all(u is None for u in uiso):
        return 0.0
    missing = sorted({el for site, u in zip(structure.species, uiso) if u is None for el in site})
    if missing:
        warnings.warn(f"the structure gives no displacement parameter for some {', '.join(missing)} "
                      "sites: they are taken as static (U = 0); pass broadening= for one width for "
                      "every pair", stacklevel=4)
    return [0.0 if u is None else float(u) for u in uiso]


def partial_g(
    structure: Structure,
    r_max: float,
    bin_size: float,
    n_threads: int = 0,
    broadening: float | None = None,
    self_images: bool = True,
) -> PartialCurves:
    """g_ij(r) on bin centres for the bins that end within `r_max` (A), broadened as
    uncorrelated thermal motion would: the pair counts of sites i and j are smeared
    by a Gaussian of standard deviation sqrt(U_i + U_j) from the structure's
    displacement parameters (`broadening` None, the default; sites without one are
    static), or by the one standard deviation `broadening` (A) for every pair, the
    structure's values unused. Pairs up to 5 widths beyond r_max are counted so the
    broadened bins near r_max are whole. With `self_images` False (a frame of a
    simulation box) no atom is paired with its own periodic images."""
    _check_grid(r_max, bin_size)
    widths = _site_widths(structure, broadening)
    n_atoms = structure.n_atoms
    if not n_atoms > 0:
        raise ValueError("the structure holds no atoms (its occupancies add up to 0)")
    n_keep = int(math.floor(r_max / bin_size * (1 + 1e-12)))
    density = partner_densities(structure)
    if isinstance(widths, list):
        counts, volumes, split = _class_counts(structure, widths, n_keep, bin_size, n_threads, self_images)
    else:
        counts, volumes, split = _element_counts(structure, widths, n_keep, bin_size, n_threads, self_images)
    n_fine = n_keep * split
    coarse_volumes = volumes[:n_fine].reshape(n_keep, split).sum(axis=1)
    g = {}
    for (a, b), pair_counts in counts.items():
        curve = pair_counts[:n_fine].reshape(n_keep, split).sum(axis=1) / coarse_volumes
        rho = density[b]
        g[(a, b)] = curve / rho if rho > 0 else np.zeros_like(curve)
    return PartialCurves(
        r=bin_centres(np.zeros(n_keep), bin_size),
        bin_size=float(bin_size),
        g=g,
        concentrations={el: amount / n_atoms for el, amount in structure.composition.items()},
        rho0=number_density(structure),
    )


def _fine_grid(bin_size: float, narrowest: float, widest: float) -> tuple[int, float, int]:
    # With broadening, pairs are histogrammed on a finer grid first: a pair moved to
    # the centre of a bin of width bin_size would shift its Gaussian by up to half a
    # bin, a few percent of G(r) for a peak 0.1 A wide.
    split = min(16, math.ceil(50.0 * bin_size / narrowest)) if narrowest > 0 else 1
    fine = bin_size / split
    half = int(math.ceil(5.0 * widest / fine)) if widest > 0 else 0
    return split, fine, half


def _smear(counts: FloatArray, sigma: float, fine: float, half: int) -> FloatArray:
    """Pair counts per shell smeared by a Gaussian of standard deviation `sigma`; the
    tail below r = 0 is dropped, as in PDFgui (negligible unless sigma approaches a
    bond length)."""
    if not sigma > 0:
        return counts
    offsets = np.arange(-half, half + 1) * fine
    kernel = np.exp(-0.5 * (offsets / sigma) ** 2)
    kernel /= kernel.sum()
    return _fft_convolve(counts, kernel)[half : half + counts.size]


def _per_centre(counts: dict[Pair, FloatArray], amounts: dict[str, float],
                centre_of=lambda label: label) -> dict[Pair, FloatArray]:
    """Pairs per bin around one atom of the element (`centre_of` a centre label)."""
    return {(a, b): c / amounts[centre_of(a)] if amounts[centre_of(a)] > 0 else np.zeros_like(c)
            for (a, b), c in counts.items()}


def _element_counts(structure, broadening, n_keep, bin_size, n_threads, self_images):
    """Pairs per shell around one centre of every ordered element pair, one width for all."""
    split, fine, half = _fine_grid(bin_size, broadening, broadening)
    # One extra bin: the engine's last bin may end beyond its cutoff and be partial.
    _, counts, volumes = structure._pair_counts(cutoff=(n_keep * split + half + 1) * fine, bin_size=fine,
                                                n_threads=n_threads, self_images=self_images)
    per_centre = _per_centre(counts, structure.composition)
    return {pair: _smear(c, broadening, fine, half) for pair, c in per_centre.items()}, volumes, split


def site_classes(structure: Structure, uiso: list) -> tuple[Structure, dict[str, tuple[str, float | None]]]:
    """`structure` with the atoms of every (element, U) of its sites under one label
    "c0", "c1", ... in order of first appearance, and the (element, U) of every label,
    so that each pair of labels can get its own width."""
    from kelvara._kelvara import Structure

    classes: dict[tuple[str, float | None], str] = {}
    species = []
    for site, u in zip(structure.species, uiso):
        labelled: dict[str, float] = {}
        for element, occupancy in site.items():
            label = classes.setdefault((element, u), f"c{len(classes)}")
            labelled[label] = labelled.get(label, 0.0) + occupancy
        species.append(labelled)
    target = Structure(structure.lattice_matrix, structure.frac_coords, species)
    return target, {label: key for key, label in classes.items()}


def _class_counts(structure, uiso, n_keep, bin_size, n_threads, self_images):
    """Pairs per shell around one centre of every ordered element pair, each pair of
    site classes (element, U) smeared by its own width sqrt(U_i + U_j), then summed
    by element."""
    target, key_of = site_classes(structure, uiso)
    sigmas = {(a, b): math.sqrt(key_of[a][1] + key_of[b][1]) for a in key_of for b in key_of}
    positive = [s for s in sigmas.values() if s > 0]
    split, fine, half = _fine_grid(bin_size, min(positive, default=0.0), max(positive, default=0.0))
    _, counts, volumes = target._pair_counts(cutoff=(n_keep * split + half + 1) * fine, bin_size=fine,
                                             n_threads=n_threads, self_images=self_images)
    per_centre = _per_centre(counts, structure.composition, lambda label: key_of[label][0])
    summed: dict[Pair, FloatArray] = {}
    for (a, b), c in per_centre.items():
        ea, eb = key_of[a][0], key_of[b][0]
        smeared = _smear(c, sigmas[(a, b)], fine, half)
        summed[(ea, eb)] = summed[(ea, eb)] + smeared if (ea, eb) in summed else smeared
    return summed, volumes, split


def faber_ziman_weights(concentrations: dict[str, float], factors: Mapping[str, FloatArray]) -> dict[Pair, FloatArray]:
    """c_i c_j f_i f_j / <f>^2 for every ordered pair (arrays when f depends on Q).

    Refuses a null-scattering mixture: abs(<f>) below 1e-3 of <abs(f)> (so weights
    above 1e6), where the normalised total is dominated by rounding."""
    mean = sum(concentrations[el] * np.asarray(factors[el], dtype=np.float64) for el in concentrations)
    magnitude = sum(concentrations[el] * np.abs(np.asarray(factors[el], dtype=np.float64)) for el in concentrations)
    if np.any(np.abs(mean) <= NULL_SCATTERING * magnitude) or np.any(magnitude == 0):
        raise ValueError(
            "the composition-averaged scattering factor is (almost) zero, so the Faber-Ziman "
            "total is undefined (a null-scattering mixture)"
        )
    return {
        (a, b): concentrations[a] * concentrations[b] * np.asarray(factors[a]) * np.asarray(factors[b]) / mean**2
        for a in concentrations
        for b in concentrations
    }


def _factors(
    elements: list[str],
    radiation: Radiation,
    q: FloatArray | None = None,
    override: Mapping[str, float] | None = None,
) -> dict[str, FloatArray]:
    if radiation not in ("neutron", "xray"):
        raise ValueError(f"radiation must be 'neutron' or 'xray', not {radiation!r}")
    override = dict(override or {})
    for symbol, value in override.items():
        if not (isinstance(value, (int, float, np.floating, np.integer)) and math.isfinite(value)):
            raise ValueError(f"scattering factor of {symbol} must be a finite number, not {value!r}")
    tabulated = [el for el in elements if el not in override]
    if radiation == "neutron":
        out = {el: np.asarray(b) for el, b in neutron_lengths(tabulated).items()}
    else:
        out = xray_form_factors(tabulated, q)
    shape = () if q is None else np.shape(q)
    out.update({el: np.full(shape, float(override[el])) for el in elements if el in override})
    return out


@dataclass(frozen=True, repr=False)
class PDF:
    """Total pair distribution function on bin centres."""

    __repr__ = short_repr

    r: FloatArray
    """Bin centres, A."""
    g: FloatArray
    """Weighted total g(r), tends to 1."""
    G: FloatArray
    """Reduced PDF G(r) = 4 pi r rho0 (g(r) - 1), 1/A^2."""
    rho0: float
    """Number density of atoms, 1/A^3."""
    weights: dict[Pair, float]
    """Faber-Ziman weight of every ordered pair (they add up to 1)."""
    radiation: str


def _fft_convolve(a: FloatArray, b: FloatArray) -> FloatArray:
    """a * b along the first axis of b (one column at a time when b is two-dimensional)."""
    n = a.size + b.shape[0] - 1
    size = 1 << (n - 1).bit_length()
    kernel = np.fft.rfft(a, size).reshape((-1,) + (1,) * (b.ndim - 1))
    return np.fft.irfft(kernel * np.fft.rfft(b, size, axis=0), size, axis=0)[:n]


def terminate(G: FloatArray, bin_size: float, qmax: float, offset: float | None = None) -> FloatArray:
    """G(r) seen through data that end at `qmax` (1/A), on the grid offset + k dr
    (bin centres (k + 1/2) dr when `offset` is None):
    (2/pi) int_0^qmax sin(Qr) F(Q) dQ with F(Q) = int_0 G(r') sin(Qr') dr' summed
    over the bins. The kernel (dr/pi) [sin(qmax(r-r'))/(r-r') - sin(qmax(r+r'))/(r+r')]
    is Toeplitz minus Hankel, so both parts are FFT convolutions: O(n log n) time
    and O(n) memory rather than an n x n matrix. A two-dimensional G is terminated
    column by column (r along the first axis)."""
    G = np.asarray(G, dtype=np.float64)
    n = G.shape[0]
    if n == 0:
        return G.copy()
    if offset is None:
        offset = 0.5 * bin_size
    lags = np.arange(-(n - 1), n) * bin_size
    with np.errstate(invalid="ignore", divide="ignore"):
        toeplitz = np.where(lags == 0, qmax, np.sin(qmax * lags) / lags)
        sums = np.arange(0, 2 * n - 1) * bin_size + 2.0 * offset  # r_i + r_j
        hankel = np.where(sums == 0, qmax, np.sin(qmax * sums) / sums)
    near = _fft_convolve(toeplitz, G)[n - 1 : 2 * n - 1]
    mirrored = _fft_convolve(hankel, G[::-1])[n - 1 : 2 * n - 1]
    return (near - mirrored) * (bin_size / np.pi)


def _check_resolution(qmax: float | None, qdamp: float) -> None:
    if qmax is not None and not (qmax > 0 and math.isfinite(qmax)):
        raise ValueError(f"qmax must be a positive number, not {qmax!r}")
    if not (qdamp >= 0 and math.isfinite(qdamp)):
        raise ValueError(f"qdamp must be zero or a positive number, not {qdamp!r}")


def pdf_from_partials(
    curves: PartialCurves,
    radiation: Radiation = "neutron",
    qmax: float | None = None,
    qdamp: float = 0.0,
    scattering_factors: Mapping[str, float] | None = None,
) -> PDF:
    """Weighted total g(r) and G(r) from partials (see `kelvara.pdf.total_pdf`); with `qmax`
    the curves should reach a few ripple periods beyond the range of interest."""
    _check_resolution(qmax, qdamp)
    weights = faber_ziman_weights(
        curves.concentrations, _factors(list(curves.concentrations), radiation, None, scattering_factors)
    )
    g = np.zeros_like(curves.r)
    for pair, curve in curves.g.items():
        g += float(weights[pair]) * curve
    scale = 4.0 * np.pi * curves.r * curves.rho0
    G = scale * (g - 1.0)
    if qmax:
        G = terminate(G, curves.bin_size, qmax)
    if qdamp:
        G = G * np.exp(-0.5 * (qdamp * curves.r) ** 2)
    if qmax or qdamp:
        g = 1.0 + G / scale
    return PDF(curves.r, g, G, curves.rho0, {pair: float(w) for pair, w in weights.items()}, radiation)


@dataclass(frozen=True)
class CurveOptions:
    """How a G(r) or S(Q) is computed, the one set of choices behind every entry point
    (``kelvara.pdf.total_pdf``, ``structure_factor``, ``pdf_and_structure_factor`` and
    each frame of a trajectory); see ``kelvara.pdf.total_pdf`` for their meaning."""

    r_max: float = 20.0
    bin_size: float = 0.01
    radiation: Radiation = "neutron"
    n_threads: int = 0
    broadening: float | None = None
    scattering_factors: Mapping[str, float] | None = None
    qmax: float | None = None
    """G(r) only."""
    qdamp: float = 0.0
    """G(r) only."""
    q: FloatArray | None = None
    """S(Q) only: its grid (None: 0.02 to 25 1/A in steps of 0.02)."""
    window: Literal["lorch"] | None = "lorch"
    """S(Q) only."""
    self_images: bool = True
    """False for a frame of a simulation box: no atom is paired with its own images."""

    def checked(self) -> CurveOptions:
        """The options with the S(Q) grid filled in; a bad value is refused here, before
        any pair pass is paid for (the structure's own values, broadening and threads are
        checked where they are used)."""
        _check_grid(self.r_max, self.bin_size)
        q = _q_before_pass(self.q, self.window)
        _factors([], self.radiation)
        _check_resolution(self.qmax, self.qdamp)
        return replace(self, q=q)


def structure_pdf(structure: Structure, options: CurveOptions) -> tuple[PDF, PartialCurves]:
    """`kelvara.pdf.total_pdf` of one structure, and the partials up to `r_max` it came
    from (`options` checked)."""
    o = options
    pad = TERMINATION_RIPPLES * 2.0 * np.pi / o.qmax if o.qmax else 0.0
    curves = partial_g(structure, o.r_max + pad, o.bin_size, o.n_threads, o.broadening, o.self_images)
    pdf = pdf_from_partials(curves, o.radiation, o.qmax, o.qdamp, o.scattering_factors)
    n = int(math.floor(o.r_max / o.bin_size * (1 + 1e-12)))
    within = PartialCurves(curves.r[:n], curves.bin_size, {pair: g[:n] for pair, g in curves.g.items()},
                           curves.concentrations, curves.rho0)
    return PDF(pdf.r[:n], pdf.g[:n], pdf.G[:n], pdf.rho0, pdf.weights, o.radiation), within


@dataclass(frozen=True, repr=False)
class StructureFactor:
    """Total and Faber-Ziman partial structure factors."""

    __repr__ = short_repr

    q: FloatArray
    """Scattering vector magnitudes, 1/A."""
    S: FloatArray
    """Weighted total S(Q), tends to 1 at large Q."""
    partials: dict[Pair, FloatArray]
    """S_ij(Q) for every ordered pair of elements."""
    radiation: str
    window: str | None = None
    """The window applied before the transform: "lorch", or None for none."""


def sine_sums(q: FloatArray, bin_size: float, values: FloatArray) -> FloatArray:
    """sum_j values[..., j] sin(q r_j) for every q, with r_j = (j + 1/2) bin_size.

    Splitting r_j = r_hi + r_lo on a block grid turns the sum into two matrix
    products with sin and cos of only about 4 sqrt(n) angles per q
    (sin(a + b) = sin a cos b + cos a sin b), instead of n sines per q."""
    q = np.asarray(q, dtype=np.float64)
    values = np.asarray(values, dtype=np.float64)
    lead, n = values.shape[:-1], values.shape[-1]
    block = max(1, math.isqrt(n))
    n_blocks = -(-n // block)
    rows = values.reshape(-1, n)
    padded = np.zeros((rows.shape[0], n_blocks * block))
    padded[:, :n] = rows
    flat = padded.reshape(-1, block)  # one row per (curve, block)
    low = q[:, None] * ((np.arange(block) + 0.5) * bin_size)
    high = (q[:, None] * (np.arange(n_blocks) * (block * bin_size)))[:, None, :]
    shape = (q.size, rows.shape[0], n_blocks)
    by_cos = (np.cos(low) @ flat.T).reshape(shape)  # [q, curve, block]
    by_sin = (np.sin(low) @ flat.T).reshape(shape)
    sums = np.sum(np.sin(high) * by_cos + np.cos(high) * by_sin, axis=-1)  # [q, curve]
    return sums.T.reshape(lead + (q.size,))


def _window(r: FloatArray, r_max: float, window: str | None) -> FloatArray:
    if window == "lorch":
        return np.sinc(r / r_max)  # numpy's sinc is sin(pi x) / (pi x)
    if window is None:
        return np.ones_like(r)
    raise ValueError(f"window must be 'lorch' or None, not {window!r}")


def _check_q(q) -> FloatArray:
    q = np.asarray(q, dtype=np.float64)
    if q.ndim != 1 or not np.all(np.isfinite(q)) or np.any(q < 0):
        raise ValueError("q must be a one-dimensional array of finite, non-negative numbers (1/A)")
    return q


def _q_before_pass(q, window) -> FloatArray:
    """The Q grid (default 0.02 to 25 1/A in steps of 0.02), with bad `q` and `window`
    refused before any pair pass is paid for."""
    _window(np.zeros(0), 1.0, window)
    return np.arange(1, 1251) * 0.02 if q is None else _check_q(q)


def structure_factor_from_partials(
    curves: PartialCurves,
    q: FloatArray,
    radiation: Radiation = "neutron",
    window: Literal["lorch"] | None = "lorch",
    scattering_factors: Mapping[str, float] | None = None,
) -> StructureFactor:
    """S(Q) and the partials S_ij(Q) from partial g_ij (see `kelvara.pdf.structure_factor`)."""
    q = _check_q(q)
    if curves.r.size == 0:
        raise ValueError("the partial curves are empty")
    weights = faber_ziman_weights(
        curves.concentrations, _factors(list(curves.concentrations), radiation, q, scattering_factors)
    )
    r = curves.r
    w = _window(r, float(r[-1] + 0.5 * curves.bin_size), window)
    pairs = list(curves.g)
    stacked = np.stack([(curves.g[p] - 1.0) * r * w for p in pairs])  # [pair, r]
    scale = 4.0 * np.pi * curves.rho0 * curves.bin_size
    sums = sine_sums(q, curves.bin_size, stacked)  # [pair, q]
    positive = q > 0
    partial_s = np.empty_like(sums)
    partial_s[:, positive] = sums[:, positive] * (scale / q[positive])
    partial_s[:, ~positive] = (stacked @ r)[:, None] * scale  # sin(Qr)/Q -> r
    partial_s += 1.0
    partials = {pair: partial_s[k] for k, pair in enumerate(pairs)}
    total = np.ones_like(q)
    for k, pair in enumerate(pairs):
        total += weights[pair] * (partial_s[k] - 1.0)
    return StructureFactor(q, total, partials, radiation, window)


def structure_sq(structure: Structure, options: CurveOptions) -> StructureFactor:
    """`kelvara.pdf.structure_factor` of one structure (`options` checked)."""
    o = options
    curves = partial_g(structure, o.r_max, o.bin_size, o.n_threads, o.broadening, o.self_images)
    return structure_factor_from_partials(curves, o.q, o.radiation, o.window, o.scattering_factors)
