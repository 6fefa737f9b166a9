"""Model G(r) with the parameters of a PDF refinement, from pair distances binned once.

The pair pass runs once per structure (`pair_table`): the distances of every pair
of site classes (element and displacement parameter) are histogrammed on a very
fine grid and condensed into short lists of (mean distance, pair weight,
variance within the bin). Every model evaluation (`model_pdf`) then places one
Gaussian per entry, with a width that depends on the pair type and on r:

  sigma_ij^2 = (U_i + U_j) (1 - delta1 / r - delta2 / r^2 + qbroad^2 r^2),

the convention of PDFfit2 for isotropic displacements (U_i the Uiso of the
atom, A^2; delta1/delta2 sharpen near-neighbour peaks for correlated motion;
qbroad widens peaks with r). G(r) is then

  G(r) = scale * D(r) * T_qmax[ f_sp(r) ((1/N r) sum_ij w_ij g(r - r_ij) - 4 pi rho0 r) ],

with w_ij = b_i b_j / <b>^2, g a normalised Gaussian, T_qmax the termination of
data that end at qmax, D(r) = exp(-(qdamp r)^2 / 2) the instrument envelope and
f_sp(r) = 1 - 3/2 (r/d) + 1/2 (r/d)^3 (r < d, else 0) the envelope of a
spherical particle of diameter d = spdiameter. `lattice_scale` stretches every
distance (and dilutes rho0) by the same factor.

Displacements: per element when the parameters name the element
(``uiso={"O": 0.008}``), otherwise the site's own value from the file
(``Structure.uiso``); sites of one element with different file values stay apart.
"""

from __future__ import annotations

import math
import warnings
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field, fields, replace
from typing import TYPE_CHECKING

import numpy as np

from kelvara.analysis import FloatArray
from kelvara.pdf.scattering import TERMINATION_RIPPLES, Radiation, _factors, site_classes, terminate

if TYPE_CHECKING:
    from kelvara._kelvara import Structure

# Gaussians are evaluated out to this many standard deviations.
REACH = 5.0
# Pair distances are condensed into bins of this width (A); each keeps its mean
# distance and its variance, which is added to the peak width, so the condensed
# list reproduces the first two moments of the distances it holds.
CONDENSED_BIN = 0.005
# The finest histogram the pair pass uses (A): a distance is placed at the centre
# of its fine bin, within 5e-5 A of where it is.
FINE_BIN = 1e-4
# Budget of histogram entries (class pairs x fine bins) for the pair pass.
HISTOGRAM_ENTRIES = 6_000_000
# Fits may stretch the lattice this much before the pair table runs short.
LATTICE_REACH = 1.05
DEFAULT_UISO = 0.005


class TableTooShort(ValueError):
    """The pair table does not reach as far as a model evaluation needs."""


@dataclass(frozen=True)
class PDFParameters:
    """The parameters of a model G(r), named as PDF programs name them."""

    scale: float = 1.0
    """Overall scale factor of G(r)."""
    qmax: float | None = None
    """Upper Q limit of the data (1/A), adding termination ripples; None or 0: none."""
    qdamp: float = 0.0
    """Instrument resolution damping, envelope exp(-(qdamp r)^2 / 2) (1/A)."""
    qbroad: float = 0.0
    """Resolution peak broadening, sigma^2 grows by a factor 1 + qbroad^2 r^2 (1/A)."""
    delta1: float = 0.0
    """Correlated-motion sharpening, 1/r term (A)."""
    delta2: float = 0.0
    """Correlated-motion sharpening, 1/r^2 term (A^2)."""
    spdiameter: float | None = None
    """Diameter of a spherical particle (A); None or 0: bulk."""
    lattice_scale: float = 1.0
    """Isotropic stretch of every distance."""
    uiso: Mapping[str, float] = field(default_factory=dict)
    """Isotropic displacement per element (A^2), replacing the file's values."""

    def value(self, name: str) -> float:
        """A parameter by name; "uiso_O" is the Uiso of oxygen."""
        if name.startswith("uiso_"):
            return float(self.uiso[name[5:]])
        if name not in SCALARS:
            raise ValueError(f"unknown PDF parameter {name!r}; known: {', '.join(SCALARS)}, uiso_<element>")
        value = getattr(self, name)
        return 0.0 if value is None else float(value)

    def with_values(self, values: Mapping[str, float]) -> PDFParameters:
        """A copy with the named parameters set ("uiso_O" sets the Uiso of oxygen)."""
        uiso = dict(self.uiso)
        scalars = {}
        for name, value in values.items():
            if name.startswith("uiso_"):
                uiso[name[5:]] = float(value)
            elif name in SCALARS:
                scalars[name] = float(value)
            else:
                raise ValueError(f"unknown PDF parameter {name!r}; known: {', '.join(SCALARS)}, uiso_<element>")
        return replace(self, uiso=uiso, **scalars)


SCALARS = tuple(f.name for f in fields(PDFParameters) if f.name != "uiso")


def _check_parameters(p: PDFParameters) -> None:
    def bad(name, rule):
        raise ValueError(f"{name} must be {rule}, not {getattr(p, name)!r}")

    for name in ("scale", "lattice_scale", "qbroad", "delta1", "delta2"):
        if not math.isfinite(getattr(p, name)):
            bad(name, "a finite number")
    if not p.lattice_scale > 0:
        bad("lattice_scale", "a positive number")
    if p.qmax is not None and not (p.qmax >= 0 and math.isfinite(p.qmax)):
        bad("qmax", "zero, None or a positive number")
    if not (p.qdamp >= 0 and math.isfinite(p.qdamp)):
        bad("qdamp", "zero or a positive number")
    if p.spdiameter is not None and not (p.spdiameter >= 0 and math.isfinite(p.spdiameter)):
        bad("spdiameter", "zero, None or a positive number")
    for element, u in p.uiso.items():
        if not (u >= 0 and math.isfinite(u)):
            raise ValueError(f"uiso of {element} must be zero or a positive number, not {u!r}")


@dataclass(frozen=True)
class PairTable:
    """Condensed pair distances of a structure, by unordered pair of site classes."""

    classes: tuple[tuple[str, float | None], ...]
    """(element, Uiso of the file or None) of every site class."""
    amounts: FloatArray
    """Summed occupancy of every class."""
    pairs: tuple[tuple[int, int], ...]
    """Unordered class pairs (i <= j), matching the lists below."""
    distance: tuple[FloatArray, ...]
    """Mean distance of every condensed bin, A."""
    weight: tuple[FloatArray, ...]
    """Pairs per atom of the structure in every bin (i-j and j-i both counted)."""
    variance: tuple[FloatArray, ...]
    """Variance of the distances within every bin, A^2."""
    r_max: float
    """Pairs are complete up to this distance (A, before any lattice stretch)."""
    n_atoms: float
    volume: float

    @property
    def elements(self) -> list[str]:
        """The elements of the site classes, sorted."""
        return sorted({element for element, _ in self.classes})

    @property
    def concentrations(self) -> dict[str, float]:
        """Atom fraction of every element (summed occupancy over n_atoms), sorted by element."""
        out: dict[str, float] = {}
        for (element, _), amount in zip(self.classes, self.amounts):
            out[element] = out.get(element, 0.0) + float(amount) / self.n_atoms
        return dict(sorted(out.items()))

    def file_uiso(self) -> dict[str, float]:
        """Occupancy-weighted mean file Uiso of every element that has one."""
        sums: dict[str, list[float]] = {}
        for (element, u), amount in zip(self.classes, self.amounts):
            if u is not None:
                entry = sums.setdefault(element, [0.0, 0.0])
                entry[0] += amount * u
                entry[1] += amount
        return {el: s / a for el, (s, a) in sorted(sums.items()) if a > 0}


def _site_uiso(structure: Structure, site_uiso: Sequence[float | None] | None) -> list[float | None]:
    if site_uiso is None:
        values = getattr(structure, "uiso", None)
        return list(values) if values is not None else [None] * structure.n_sites
    values = list(site_uiso)
    if len(values) != structure.n_sites:
        raise ValueError(f"site_uiso has {len(values)} entries for {structure.n_sites} sites")
    for k, u in enumerate(values):
        if u is not None and not (u >= 0 and math.isfinite(u)):
            raise ValueError(f"site_uiso of site {k} must be None or a non-negative number, not {u!r}")
    return values


def pair_table(
    structure: Structure,
    r_max: float,
    n_threads: int = 0,
    site_uiso: Sequence[float | None] | None = None,
) -> PairTable:
    """Bin every pair distance of `structure` up to `r_max` (A) once, by pair of
    site classes; `site_uiso` (one value or None per site) replaces the file's
    displacement parameters."""
    if not (r_max > 0 and math.isfinite(r_max)):
        raise ValueError(f"r_max must be a positive number, not {r_max!r}")
    n_atoms = structure.n_atoms
    if not n_atoms > 0:
        raise ValueError("the structure holds no atoms (its occupancies add up to 0)")
    uiso = [None if u is None else float(u) for u in _site_uiso(structure, site_uiso)]
    relabelled, key_of = site_classes(structure, uiso)
    keys = list(key_of.values())
    one_per_element = len({el for el, _ in keys}) == len(keys)
    if one_per_element:
        target, label_of = structure, {key: key[0] for key in keys}
    else:
        target, label_of = relabelled, {key: label for label, key in key_of.items()}
    n_classes = len(keys)
    fine = max(FINE_BIN, r_max * n_classes**2 / HISTOGRAM_ENTRIES)
    fine = CONDENSED_BIN / math.floor(CONDENSED_BIN / fine) if fine < CONDENSED_BIN else fine
    n_fine = int(math.floor(r_max / fine * (1 + 1e-12)))
    _, pair_counts, _ = target._pair_counts(cutoff=(n_fine + 1) * fine, bin_size=fine, n_threads=n_threads)
    centres = (np.arange(n_fine) + 0.5) * fine
    composition = target.composition
    amounts = np.array([composition[label_of[key]] for key in keys])
    pairs, distance, weight, variance = [], [], [], []
    coarse = np.floor(centres / CONDENSED_BIN).astype(np.int64)
    for i in range(n_classes):
        for j in range(i, n_classes):
            a, b = label_of[keys[i]], label_of[keys[j]]
            counts = pair_counts[(a, b)][:n_fine]
            if i != j:
                counts = counts + pair_counts[(b, a)][:n_fine]
            counts = counts / n_atoms
            nz = np.flatnonzero(counts)
            if nz.size == 0:
                continue
            w, d, k = counts[nz], centres[nz], coarse[nz]
            offset = d - (k + 0.5) * CONDENSED_BIN  # moments about the bin centre stay exact
            s0 = np.bincount(k, w)
            s1 = np.bincount(k, w * offset)
            s2 = np.bincount(k, w * offset * offset)
            used = np.flatnonzero(s0 > 0)
            mean = s1[used] / s0[used]
            pairs.append((i, j))
            weight.append(s0[used])
            distance.append((used + 0.5) * CONDENSED_BIN + mean)
            variance.append(np.maximum(s2[used] / s0[used] - mean * mean, 0.0))
    return PairTable(
        classes=tuple(keys), amounts=amounts, pairs=tuple(pairs), distance=tuple(distance),
        weight=tuple(weight), variance=tuple(variance), r_max=n_fine * fine,
        n_atoms=float(n_atoms), volume=float(structure.volume),
    )


@dataclass(frozen=True)
class _Grid:
    r: FloatArray  # calculation grid, uniform, from offset
    step: float
    offset: float
    take: FloatArray | None  # indices of the data points on it, or None to interpolate


def _grid(r: FloatArray, qmax: float | None) -> _Grid:
    steps = np.diff(r)
    pad = TERMINATION_RIPPLES * 2.0 * math.pi / qmax if qmax else 0.0
    if r.size >= 2:
        mean = float(steps.mean())
        if np.all(np.abs(steps - mean) <= 1e-4 * mean):
            step = (float(r[-1]) - float(r[0])) / (r.size - 1)
            first = int(math.floor(float(r[0]) / step + 1e-9))
            offset = max(float(r[0]) - first * step, 0.0)
            n = first + r.size + int(math.ceil(pad / step))
            return _Grid(offset + np.arange(n) * step, step, offset, np.arange(first, first + r.size))
        # Fine enough for linear interpolation within 0.1% of a peak 0.05 A wide,
        # whatever the smallest gap between two data points.
        step = min(0.005, max(float(np.median(steps)), 0.001))
    else:
        step = 0.005
    n = int(math.ceil((float(r[-1]) + pad) / step)) + 2
    return _Grid(np.arange(n) * step, step, 0.0, None)


def check_grid(r) -> FloatArray:
    """The r values as a float array, refused unless finite, non-negative and strictly increasing."""
    r = np.asarray(r, dtype=np.float64)
    if r.ndim != 1 or r.size == 0:
        raise ValueError("r must be a non-empty one-dimensional array")
    if not np.all(np.isfinite(r)) or r[0] < 0:
        raise ValueError("r must hold finite, non-negative values")
    if r.size > 1 and np.any(np.diff(r) <= 0):
        k = int(np.flatnonzero(np.diff(r) <= 0)[0])
        raise ValueError(f"r must increase strictly; r[{k + 1}] = {r[k + 1]:g} follows r[{k}] = {r[k]:g}")
    return r


def required_r_max(r_last: float, parameters: PDFParameters, widest: float = 0.4) -> float:
    """How far the pair table must reach for a model to `r_last` (A) whose widest
    peak has standard deviation `widest` (A)."""
    pad = TERMINATION_RIPPLES * 2.0 * math.pi / parameters.qmax if parameters.qmax else 0.0
    return r_last + pad + REACH * widest


def _peaks(table: PairTable, grid: _Grid, p: PDFParameters, factors: dict[str, float], reach: float) -> FloatArray:
    """(1/N r) sum_ij w_ij g(r - r_ij) on the calculation grid."""
    mean_f = sum(c * factors[el] for el, c in table.concentrations.items())
    u_of = []
    for element, u in table.classes:
        value = p.uiso.get(element, u)
        if value is None:
            raise ValueError(f"no displacement parameter for {element}: the structure gives none; "
                             f"set uiso={{'{element}': ...}} (A^2)")
        u_of.append(float(value))
    s = p.lattice_scale
    centres, amplitudes, sigmas = [], [], []
    for (i, j), d, w, v in zip(table.pairs, table.distance, table.weight, table.variance):
        d = d * s
        factor = 1.0 - p.delta1 / d - p.delta2 / (d * d) + (p.qbroad * d) ** 2
        var = (u_of[i] + u_of[j]) * factor
        if np.any(var <= 0):
            narrow = float(d[var <= 0][0])
            el = f"{table.classes[i][0]}-{table.classes[j][0]}"
            if np.all(v * s * s + np.maximum(var, 0.0) <= 0) or u_of[i] + u_of[j] == 0:
                raise ValueError(f"{el} pairs have no peak width (Uiso {u_of[i]:g} + {u_of[j]:g}): "
                                 "a model G(r) needs positive displacement parameters")
            warnings.warn(f"delta1/delta2 leave {el} pairs at {narrow:.3f} A with no peak width; "
                          "their width is clamped to 1% of sqrt(U_i + U_j)", stacklevel=3)
            var = np.maximum(var, 1e-4 * (u_of[i] + u_of[j]))
        var = var + v * s * s
        centres.append(d)
        sigmas.append(np.sqrt(var))
        amplitudes.append(w * (factors[table.classes[i][0]] * factors[table.classes[j][0]] / mean_f**2))
    out = np.zeros(grid.r.size)
    if not centres:
        return out
    d = np.concatenate(centres)
    sigma = np.concatenate(sigmas)
    amp = np.concatenate(amplitudes) / (math.sqrt(2.0 * math.pi) * sigma)
    top = float(grid.r[-1])
    needed = top + REACH * float(sigma.max())
    if needed > reach:
        raise TableTooShort(f"the pair table reaches {reach:g} A (lattice_scale {s:g} included); this "
                         f"model needs pairs to {needed:g} A: build the table with a larger r_max")
    keep = d - REACH * sigma <= top
    d, sigma, amp = d[keep], sigma[keep], amp[keep]
    # Each Gaussian is evaluated on the grid points within REACH sigma of its centre;
    # entries are grouped by width so narrow peaks do not pay for the widest one.
    order = np.argsort(sigma)
    d, sigma, amp = d[order], sigma[order], amp[order]
    start = 0
    while start < d.size:
        stop = max(int(np.searchsorted(sigma, 1.5 * sigma[start], side="right")), start + 1)
        width = int(math.ceil(REACH * sigma[stop - 1] / grid.step)) + 1
        chunk = max(1, 4_000_000 // (2 * width))
        for lo in range(start, stop, chunk):
            hi = min(stop, lo + chunk)
            first = np.floor((d[lo:hi] - grid.offset) / grid.step).astype(np.int64) - width + 1
            index = first[:, None] + np.arange(2 * width)[None, :]
            inside = (index >= 0) & (index < grid.r.size)
            index = np.where(inside, index, 0)
            x = (grid.r[index] - d[lo:hi, None]) / sigma[lo:hi, None]
            values = np.where(inside, amp[lo:hi, None] * np.exp(-0.5 * x * x), 0.0)
            out += np.bincount(index.ravel(), values.ravel(), grid.r.size)
        start = stop
    with np.errstate(divide="ignore", invalid="ignore"):
        return np.where(grid.r > 0, out / grid.r, 0.0)


def sphere_envelope(r: FloatArray, diameter: float | None) -> FloatArray:
    """Fraction of pairs at distance r that lie within one sphere of `diameter` (A)."""
    if not diameter:
        return np.ones_like(r)
    x = np.asarray(r) / diameter
    return np.where(x < 1.0, 1.0 - 1.5 * x + 0.5 * x**3, 0.0)


def model_pdf(
    table: PairTable,
    r,
    parameters: PDFParameters | None = None,
    radiation: Radiation = "neutron",
    scattering_factors: Mapping[str, float] | None = None,
) -> FloatArray:
    """Model G(r) (1/A^2) at the points `r` (A, strictly increasing; a uniform grid
    is computed on its own points, any other on a grid of at most 0.005 A and
    interpolated)."""
    p = parameters or PDFParameters()
    _check_parameters(p)
    r = check_grid(r)
    factors = {el: float(f) for el, f in _factors(table.elements, radiation, None, scattering_factors).items()}
    grid = _grid(r, p.qmax or None)
    s = p.lattice_scale
    rho0 = table.n_atoms / (table.volume * s**3)
    G = _peaks(table, grid, p, factors, table.r_max * s) - 4.0 * math.pi * rho0 * grid.r
    # The particle envelope shapes the real-space curve before the data's Q range
    # cuts it off, so its ripples run on past the particle's diameter.
    G = G * sphere_envelope(grid.r, p.spdiameter)
    if p.qmax:
        G = terminate(G, grid.step, p.qmax, offset=grid.offset)
    if p.qdamp:
        G = G * np.exp(-0.5 * (p.qdamp * grid.r) ** 2)
    G = p.scale * G
    if grid.take is not None:
        return G[grid.take]
    return np.interp(r, grid.r, G)
