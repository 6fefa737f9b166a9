"""Neutron- and X-ray-weighted total PDF G(r) and structure factor S(Q).

Built from the occupancy-weighted partial RDFs of ``Structure.prdf`` with the
Faber-Ziman weights c_i c_j b_i b_j / <b>^2, so a disordered crystal gives the
pair distribution function that a measurement on it averages over. Scattering
lengths and form factors come from the ``periodictable`` package (extra
``scattering``), imported when first needed.

Conventions (those of PDFgui/PDFgetX and most of the literature):
  rho0 = n_atoms / volume, c_i = N_i / n_atoms,
  g(r) = sum_ij c_i c_j w_i w_j g_ij(r) / <w>^2 with g_ij -> 1 at large r,
  G(r) = 4 pi r rho0 (g(r) - 1),
  S_ij(Q) = 1 + 4 pi rho0 int_0^rmax r^2 (g_ij(r) - 1) sin(Qr)/(Qr) W(r) dr,
  S(Q) = 1 + sum_ij c_i c_j f_i(Q) f_j(Q) (S_ij(Q) - 1) / <f(Q)>^2,
with W the Lorch window sin(pi r / rmax) / (pi r / rmax) or 1.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import TYPE_CHECKING, Literal

import numpy as np

from kelvara.analysis import FloatArray, bin_centres, shell_volumes

if TYPE_CHECKING:
    from kelvara._kelvara import Structure

Radiation = Literal["neutron", "xray"]
Pair = tuple[str, str]


def _element(symbol: str):
    try:
        import periodictable
    except ImportError:  # pragma: no cover - exercised only without the extra
        raise ImportError(
            "scattering weights need the periodictable package: pip install 'kelvara[scattering]'"
        ) from None
    try:
        return getattr(periodictable.elements, symbol) if symbol != "D" else periodictable.D
    except AttributeError:
        raise ValueError(f"'{symbol}' is not a chemical element, so it has no scattering data") from None


def neutron_lengths(elements: list[str]) -> dict[str, float]:
    """Bound coherent neutron scattering length b_c of each element, in fm."""
    out = {}
    for symbol in elements:
        b = _element(symbol).neutron.b_c
        if b is None:
            raise ValueError(f"no neutron scattering length is tabulated for {symbol}")
        out[symbol] = float(b)
    return out


def xray_form_factors(elements: list[str], q: FloatArray | None = None) -> dict[str, FloatArray]:
    """X-ray atomic form factor f0(Q) of each element (electrons) at `q` (1/A);
    with `q` None, the atomic number (the form factor at Q = 0)."""
    out = {}
    for symbol in elements:
        element = _element(symbol)
        if q is None:
            out[symbol] = np.asarray(float(element.number))
        else:
            out[symbol] = np.asarray(element.xray.f0(np.asarray(q, dtype=np.float64)), dtype=np.float64)
    return out


@dataclass(frozen=True)
class PartialCurves:
    """Normalised partials g_ij on bin centres, with what the weights need."""

    r: FloatArray
    bin_size: float
    g: dict[Pair, FloatArray]
    concentrations: dict[str, float]
    rho0: float


def partial_g(
    structure: Structure,
    r_max: float,
    bin_size: float,
    n_threads: int = 0,
    broadening: float = 0.0,
) -> PartialCurves:
    """g_ij(r) on bin centres up to r_max (bins that reach beyond r_max are dropped),
    optionally broadened by a Gaussian of standard deviation `broadening` (A) applied
    to the pair counts, as thermal motion would."""
    if not (r_max > 0 and np.isfinite(r_max)):
        raise ValueError("r_max must be a positive number")
    if not (broadening >= 0 and np.isfinite(broadening)):
        raise ValueError("broadening must be zero or a positive number")
    reach = r_max + 5.0 * broadening + bin_size
    r, partials, _ = structure.prdf(cutoff=reach, bin_size=bin_size, n_threads=n_threads)
    volumes = shell_volumes(r, bin_size)
    keep = (r + bin_size) <= r_max * (1 + 1e-12)
    n_atoms = structure.n_atoms
    composition = structure.composition
    density = {el: amount / structure.volume for el, amount in composition.items()}
    g = {}
    kernel = None
    if broadening > 0:
        half = int(np.ceil(5.0 * broadening / bin_size))
        offsets = np.arange(-half, half + 1) * bin_size
        kernel = np.exp(-0.5 * (offsets / broadening) ** 2)
        kernel /= kernel.sum()
    for (a, b), curve in partials.items():
        if kernel is not None:
            counts = np.convolve(curve * volumes, kernel, mode="same")
            curve = counts / volumes
        rho = density[b]
        g[(a, b)] = (curve / rho if rho > 0 else np.zeros_like(curve))[keep]
    return PartialCurves(
        r=bin_centres(r, bin_size)[keep],
        bin_size=float(bin_size),
        g=g,
        concentrations={el: amount / n_atoms for el, amount in composition.items()},
        rho0=n_atoms / structure.volume,
    )


def faber_ziman_weights(concentrations: dict[str, float], factors: dict[str, FloatArray]) -> dict[Pair, FloatArray]:
    """c_i c_j f_i f_j / <f>^2 for every ordered pair (arrays when f depends on Q)."""
    mean = sum(concentrations[el] * np.asarray(factors[el]) for el in concentrations)
    if np.any(np.asarray(mean) == 0):
        raise ValueError(
            "the composition-averaged scattering factor is zero, so the Faber-Ziman "
            "total is undefined (a null-scattering mixture)"
        )
    return {
        (a, b): concentrations[a] * concentrations[b] * np.asarray(factors[a]) * np.asarray(factors[b]) / mean**2
        for a in concentrations
        for b in concentrations
    }


def _factors(elements: list[str], radiation: Radiation, q: FloatArray | None = None) -> dict[str, FloatArray]:
    if radiation == "neutron":
        return {el: np.asarray(b) for el, b in neutron_lengths(elements).items()}
    if radiation == "xray":
        return xray_form_factors(elements, q)
    raise ValueError(f"radiation must be 'neutron' or 'xray', not {radiation!r}")


@dataclass(frozen=True)
class PDF:
    """Total pair distribution function on bin centres."""

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


def _termination_matrix(r: FloatArray, bin_size: float, qmax: float) -> FloatArray:
    """K with (K @ G)(r) = (2/pi) int_0^qmax sin(Qr) int G(r') sin(Qr') dr' dQ:
    the PDF seen through data that end at qmax."""
    diff = r[:, None] - r[None, :]
    summ = r[:, None] + r[None, :]
    with np.errstate(invalid="ignore", divide="ignore"):
        first = np.where(diff == 0, qmax, np.sin(qmax * diff) / np.where(diff == 0, 1, diff))
    second = np.sin(qmax * summ) / summ
    return (first - second) * (bin_size / np.pi)


def total_pdf(
    structure: Structure,
    r_max: float = 20.0,
    bin_size: float = 0.01,
    radiation: Radiation = "neutron",
    n_threads: int = 0,
    qmax: float | None = None,
    broadening: float = 0.0,
    qdamp: float = 0.0,
) -> PDF:
    """Neutron- or X-ray-weighted total g(r) and G(r) of a structure, partial
    occupancies included.

    Defaults give the ideal PDF of the static structure. To compare with a
    measurement set `qmax` (1/A; the data's upper Q limit, which adds termination
    ripples), `broadening` (A; Gaussian standard deviation of every pair distance,
    about sqrt(2) times an atomic displacement) and `qdamp` (1/A; the instrument's
    Gaussian envelope exp(-(qdamp r)^2 / 2) on G(r)). X-ray weights are the atomic
    numbers (form factors at Q = 0).
    """
    if qmax is not None and not (qmax > 0 and np.isfinite(qmax)):
        raise ValueError("qmax must be a positive number")
    pad = 10.0 * np.pi / qmax if qmax else 0.0
    curves = partial_g(structure, r_max + pad, bin_size, n_threads, broadening)
    weights = faber_ziman_weights(curves.concentrations, _factors(list(curves.concentrations), radiation))
    g = np.zeros_like(curves.r)
    for pair, curve in curves.g.items():
        g += float(weights[pair]) * curve
    G = 4.0 * np.pi * curves.r * curves.rho0 * (g - 1.0)
    if qmax:
        G = _termination_matrix(curves.r, bin_size, qmax) @ G
        g = 1.0 + G / (4.0 * np.pi * curves.r * curves.rho0)
    if qdamp:
        G = G * np.exp(-0.5 * (qdamp * curves.r) ** 2)
        g = 1.0 + G / (4.0 * np.pi * curves.r * curves.rho0)
    keep = curves.r <= r_max
    return PDF(curves.r[keep], g[keep], G[keep], curves.rho0,
               {pair: float(w) for pair, w in weights.items()}, radiation)


@dataclass(frozen=True)
class StructureFactor:
    """Total and Faber-Ziman partial structure factors."""

    q: FloatArray
    """Scattering vector magnitudes, 1/A."""
    S: FloatArray
    """Weighted total S(Q), tends to 1 at large Q."""
    partials: dict[Pair, FloatArray]
    """S_ij(Q) for every ordered pair of elements."""
    radiation: str


def sine_transform_matrix(q: FloatArray, r: FloatArray, bin_size: float, rho0: float, window: str | None) -> FloatArray:
    """M with S(Q) - 1 = M @ (g(r) - 1): 4 pi rho0 r^2 sinc(Qr) W(r) dr per bin."""
    r_max = float(r[-1] + 0.5 * bin_size)
    if window == "lorch":
        w = np.sinc(r / r_max)  # numpy's sinc is sin(pi x) / (pi x)
    elif window is None:
        w = np.ones_like(r)
    else:
        raise ValueError(f"window must be 'lorch' or None, not {window!r}")
    qr = np.outer(q, r)
    return (4.0 * np.pi * rho0 * bin_size) * np.sinc(qr / np.pi) * (r * r * w)


def structure_factor(
    structure: Structure,
    q: FloatArray | None = None,
    r_max: float = 20.0,
    bin_size: float = 0.01,
    radiation: Radiation = "neutron",
    window: Literal["lorch"] | None = "lorch",
    n_threads: int = 0,
    broadening: float = 0.0,
) -> StructureFactor:
    """S(Q) by the sine transform of g(r) - 1 up to r_max, with the Lorch window by
    default (it damps the ripples of cutting the transform at r_max), and the
    Faber-Ziman partials S_ij(Q). `q` defaults to 0.02 ... 25 1/A in steps of 0.02.
    X-ray weights use the Q-dependent form factors."""
    q = np.arange(1, 1251) * 0.02 if q is None else np.asarray(q, dtype=np.float64)
    if q.ndim != 1 or not np.all(np.isfinite(q)) or np.any(q < 0):
        raise ValueError("q must be a one-dimensional array of non-negative numbers")
    curves = partial_g(structure, r_max, bin_size, n_threads, broadening)
    matrix = sine_transform_matrix(q, curves.r, bin_size, curves.rho0, window)
    pairs = list(curves.g)
    stacked = np.column_stack([curves.g[p] - 1.0 for p in pairs])
    partial_s = 1.0 + matrix @ stacked
    partials = {pair: partial_s[:, k] for k, pair in enumerate(pairs)}
    weights = faber_ziman_weights(curves.concentrations, _factors(list(curves.concentrations), radiation, q))
    total = np.ones_like(q)
    for pair in pairs:
        total += weights[pair] * (partials[pair] - 1.0)
    return StructureFactor(q, total, partials, radiation)
