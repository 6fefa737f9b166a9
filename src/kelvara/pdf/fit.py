"""Agreement factor Rw and least-squares refinement of a model G(r) against measured data.

The pair pass runs once; every step of the fit only re-broadens the condensed pair
distances (`kelvara.pdf.model`); the solver is the bounded Levenberg-Marquardt of
`kelvara.pdf.lsq`.

Parameter names: scale, qmax, qdamp, qbroad, delta1, delta2, spdiameter,
lattice_scale, uiso_<element> (e.g. uiso_O), and uiso for the Uiso of every
element at once.
"""

from __future__ import annotations

import math
from collections.abc import Iterable, Mapping
from dataclasses import dataclass
from typing import TYPE_CHECKING

import numpy as np

from kelvara.analysis import FloatArray
from kelvara.pdf.lsq import levenberg_marquardt
from kelvara.pdf.measured import MeasuredPDF
from kelvara.pdf.model import (
    DEFAULT_UISO,
    LATTICE_REACH,
    SCALARS,
    PairTable,
    PDFParameters,
    TableTooShort,
    model_pdf,
    pair_table,
    required_r_max,
)

if TYPE_CHECKING:
    from kelvara._kelvara import Structure
    from kelvara.pdf.scattering import Radiation

# Lower and upper bounds a fit keeps a parameter within.
BOUNDS: dict[str, tuple[float, float]] = {
    "scale": (-np.inf, np.inf),
    "qmax": (1.0, np.inf),
    "qdamp": (0.0, np.inf),
    "qbroad": (0.0, np.inf),
    "delta1": (-np.inf, np.inf),
    "delta2": (-np.inf, np.inf),
    "spdiameter": (1.0, np.inf),
    "lattice_scale": (1.0 / LATTICE_REACH, LATTICE_REACH),
}
UISO_BOUNDS = (1e-6, 1.0)
# Start values of refined parameters given as 0, where G(r) has no first-order slope.
INERT_AT_ZERO = {"qdamp": 0.01, "qbroad": 0.001}


def rw(observed, model, dG=None) -> float:
    """Weighted agreement factor sqrt(sum w (Gobs - Gcalc)^2 / sum w Gobs^2), with
    weights 1 / dG^2 when uncertainties are given and 1 otherwise."""
    observed = np.asarray(observed, dtype=np.float64)
    model = np.asarray(model, dtype=np.float64)
    if observed.shape != model.shape:
        raise ValueError(f"observed and model G differ in length ({observed.size} and {model.size})")
    w = np.ones_like(observed) if dG is None else 1.0 / np.asarray(dG, dtype=np.float64) ** 2
    denominator = float(np.sum(w * observed * observed))
    if not denominator > 0:
        raise ValueError("Rw is undefined: the observed G is zero over the range")
    return math.sqrt(float(np.sum(w * (observed - model) ** 2)) / denominator)


def select(data: MeasuredPDF, rmin: float | None = None, rmax: float | None = None) -> np.ndarray:
    """Indices of the data points with rmin <= r <= rmax (either bound optional)."""
    lo = -np.inf if rmin is None else rmin
    hi = np.inf if rmax is None else rmax
    if not lo < hi:
        raise ValueError(f"rmin ({rmin:g} A) must be below rmax ({rmax:g} A)")
    keep = np.flatnonzero((data.r >= lo) & (data.r <= hi))
    if keep.size < 2:
        raise ValueError(f"{data.source} has {keep.size} point(s) between r = {lo:g} and {hi:g} A; "
                         "at least 2 are needed")
    return keep


def expand_names(names: Iterable[str], elements: list[str]) -> list[str]:
    """Parameter names with "uiso" replaced by uiso_<element> of every element;
    unknown names and elements not in the structure are refused."""
    out: list[str] = []
    for name in names:
        name = name.strip()
        if name == "uiso":
            expanded = [f"uiso_{el}" for el in elements]
        elif name.startswith("uiso_"):
            if name[5:] not in elements:
                raise ValueError(f"{name}: the structure holds no {name[5:]} (elements: {', '.join(elements)})")
            expanded = [name]
        elif name in SCALARS:
            expanded = [name]
        else:
            raise ValueError(f"unknown PDF parameter {name!r}; known: {', '.join(SCALARS)}, uiso, "
                             "uiso_<element>")
        out += [n for n in expanded if n not in out]
    if not out:
        raise ValueError("no parameter to refine")
    return out


def start_parameters(table: PairTable, parameters: PDFParameters | None = None,
                     default_uiso: float | None = None) -> tuple[PDFParameters, list[str]]:
    """`parameters` with a Uiso for every element that neither they nor the file
    give (`default_uiso`, or 0.005 A^2); also returns the elements so filled."""
    p = parameters or PDFParameters()
    filled = [el for el in table.elements if el not in p.uiso and
              any(u is None for e, u in table.classes if e == el)]
    if not filled:
        return p, []
    value = DEFAULT_UISO if default_uiso is None else default_uiso
    return p.with_values({f"uiso_{el}": value for el in filled}), filled


@dataclass(frozen=True)
class FitResult:
    """A refined model and how well it agrees with the data."""

    parameters: PDFParameters
    """All parameters, the refined ones at their fitted values."""
    refined: tuple[str, ...]
    """Names of the refined parameters."""
    values: dict[str, float]
    """Fitted value of every refined parameter."""
    uncertainties: dict[str, float]
    """Estimated standard uncertainty of every refined parameter."""
    correlation: FloatArray
    """Correlation matrix of the refined parameters, in the order of `refined`."""
    rw: float
    """Agreement factor over the fitted range."""
    r: FloatArray
    """The data's r values in the fitted range."""
    observed: FloatArray
    """Measured G over the fitted range."""
    model: FloatArray
    """Model G on the data's grid over the fitted range."""
    reduced_chi2: float
    """chi^2 / (points - parameters), chi^2 weighted by 1 / dG^2 (or 1)."""
    success: bool
    message: str
    evaluations: int
    notes: tuple[str, ...] = ()
    """What was assumed (Uiso start values no one gave)."""

    @property
    def difference(self) -> FloatArray:
        """Data minus model over the fitted range, 1/A^2."""
        return self.observed - self.model

    def summary(self) -> str:
        """The refined parameters with their uncertainties, and Rw, as text."""
        lines = [f"Rw = {self.rw:.5f} over {self.r.size} points, r = {self.r[0]:g}..{self.r[-1]:g} A"]
        for name in self.refined:
            lines.append(f"  {name:>14} = {self.values[name]:.6g} +/- {self.uncertainties[name]:.2g}")
        lines += [f"  note: {note}" for note in self.notes]
        if not self.success:
            lines.append(f"  (the fit did not converge: {self.message})")
        return "\n".join(lines)


class _Model:
    """Evaluations of one structure's model on one r grid, rebuilding the pair
    table when a parameter (wide peaks, a stretched lattice) needs longer reach."""

    def __init__(self, structure, table, r, radiation, scattering_factors, n_threads):
        self.structure, self.table, self.r = structure, table, r
        self.radiation, self.factors, self.n_threads = radiation, scattering_factors, n_threads

    def __call__(self, p: PDFParameters) -> FloatArray:
        for _ in range(4):
            try:
                return model_pdf(self.table, self.r, p, self.radiation, self.factors)
            except TableTooShort:
                if self.structure is None:
                    raise
                self.table = pair_table(self.structure, 1.5 * self.table.r_max, self.n_threads)
        return model_pdf(self.table, self.r, p, self.radiation, self.factors)


def _table_for(structure: Structure, r_last: float, p: PDFParameters, refined: list[str], n_threads: int):
    reach = required_r_max(r_last, p if "qmax" not in refined else PDFParameters(qmax=max(p.qmax or 0, 5.0)))
    if "lattice_scale" in refined:
        reach *= LATTICE_REACH
    return pair_table(structure, reach / min(p.lattice_scale, 1.0), n_threads)


def fit_pdf(
    structure: Structure | PairTable,
    data: MeasuredPDF,
    refine: Iterable[str] | str = ("scale", "uiso"),
    parameters: PDFParameters | None = None,
    rmin: float | None = None,
    rmax: float | None = None,
    radiation: Radiation = "neutron",
    scattering_factors: Mapping[str, float] | None = None,
    n_threads: int = 0,
) -> FitResult:
    """Least-squares refinement of the named parameters (`refine`, a list or a
    comma-separated text) of the model G(r) against `data` over rmin <= r <= rmax.

    `parameters` holds the start values and the fixed ones (qmax usually: the
    data's Q limit). Uiso of an element comes from `parameters.uiso`, else from the
    file's values, else 0.005 A^2. Residuals are weighted by 1 / dG when the data
    have uncertainties; the uncertainties returned are sqrt(diag(cov)) with
    cov = (J^T J)^-1 chi^2_red, the usual estimate that also holds when dG is
    missing or misjudged."""
    if isinstance(refine, str):
        refine = refine.split(",")
    keep = select(data, rmin, rmax)
    r, observed = data.r[keep], data.G[keep]
    sigma = None if data.dG is None else data.dG[keep]
    p = parameters or PDFParameters()
    if isinstance(structure, PairTable):
        table, source = structure, None
    else:
        elements = structure.elements
        names = expand_names(refine, elements)
        table, source = _table_for(structure, float(r[-1]), p, names, n_threads), structure
    names = expand_names(refine, table.elements)
    if r.size <= len(names):
        raise ValueError(f"{r.size} data point(s) in the range for {len(names)} refined parameters: a fit needs "
                         "more points than parameters (widen rmin/rmax or refine fewer)")
    p, filled = start_parameters(table, p)
    # A refined Uiso that the parameters leave open starts from the file's values.
    from_file = table.file_uiso()
    p = p.with_values({n: from_file[n[5:]] for n in names if n.startswith("uiso_") and n[5:] not in p.uiso})
    notes = tuple(f"no Uiso for {el} in the structure or the parameters: "
                  f"{'started from' if f'uiso_{el}' in names else 'used'} {p.uiso[el]:g} A^2" for el in filled)
    model = _Model(source, table, r, radiation, scattering_factors, n_threads)
    # At 0, qdamp and qbroad change G only to second order: a fit started there
    # has no gradient to follow, so it starts a little way in.
    nudged = {n: v for n, v in INERT_AT_ZERO.items() if n in names and p.value(n) == 0.0}
    p = p.with_values(nudged)
    x0 = np.array([p.value(n) for n in names])
    lower = np.array([UISO_BOUNDS[0] if n.startswith("uiso_") else BOUNDS[n][0] for n in names])
    upper = np.array([UISO_BOUNDS[1] if n.startswith("uiso_") else BOUNDS[n][1] for n in names])
    x0 = np.clip(x0, lower, upper)
    if "spdiameter" in names and not p.spdiameter:
        raise ValueError("refining spdiameter needs a start value: --spdiameter on the command line, "
                         "parameters.spdiameter in Python")
    if "qmax" in names and not p.qmax:
        raise ValueError("refining qmax needs a start value: --qmax on the command line, parameters.qmax in Python")
    weight = 1.0 if sigma is None else 1.0 / sigma

    def residuals(x):
        return (model(p.with_values(dict(zip(names, x)))) - observed) * weight

    solution = levenberg_marquardt(residuals, x0, lower, upper)
    fitted = p.with_values(dict(zip(names, solution.x)))
    curve = model(fitted)
    n_free = r.size - len(names)
    chi2 = float(np.sum(solution.residuals**2))
    reduced = chi2 / n_free if n_free > 0 else math.nan
    jac = solution.jacobian
    try:
        cov = np.linalg.inv(np.einsum("ki,kj->ij", jac, jac)) * reduced
        errors = np.sqrt(np.maximum(np.diag(cov), 0.0))
        with np.errstate(invalid="ignore", divide="ignore"):
            correlation = cov / np.outer(errors, errors)
    except np.linalg.LinAlgError:
        errors = np.full(len(names), np.inf)
        correlation = np.full((len(names), len(names)), np.nan)
    return FitResult(
        parameters=fitted, refined=tuple(names),
        values={n: float(v) for n, v in zip(names, solution.x)},
        uncertainties={n: float(e) for n, e in zip(names, errors)},
        correlation=correlation, rw=rw(observed, curve, sigma), r=r, observed=observed, model=curve,
        reduced_chi2=reduced, success=solution.converged, message=solution.message,
        evaluations=solution.evaluations, notes=notes,
    )


def agreement(
    structure: Structure | PairTable,
    data: MeasuredPDF,
    parameters: PDFParameters | None = None,
    rmin: float | None = None,
    rmax: float | None = None,
    radiation: Radiation = "neutron",
    scattering_factors: Mapping[str, float] | None = None,
    n_threads: int = 0,
) -> tuple[float, FloatArray]:
    """Rw of the model with `parameters` over rmin <= r <= rmax, and the model G there."""
    keep = select(data, rmin, rmax)
    r = data.r[keep]
    p = parameters or PDFParameters()
    if isinstance(structure, PairTable):
        table = structure
    else:
        table = pair_table(structure, required_r_max(float(r[-1]), p) / min(p.lattice_scale, 1.0), n_threads)
    p, _ = start_parameters(table, p)
    curve = model_pdf(table, r, p, radiation, scattering_factors)
    return rw(data.G[keep], curve, None if data.dG is None else data.dG[keep]), curve
