"""Do measured data tell orderings apart? The same fit on the occupancy-weighted model
and on seeded ordered expansions of a disordered structure, with Rw for each."""

from __future__ import annotations

from collections.abc import Iterable, Mapping
from dataclasses import dataclass
from typing import TYPE_CHECKING

from kelvara.pdf.measured import MeasuredPDF
from kelvara.pdf.fit import FitResult, fit_pdf

if TYPE_CHECKING:
    from kelvara._kelvara import Structure
    from kelvara.pdf.model import PDFParameters
    from kelvara.pdf.scattering import Radiation


@dataclass(frozen=True)
class OrderingFit:
    """One model of the disordered structure and its fit."""

    label: str
    """"average" for the occupancy-weighted model, "seed N" for an expansion."""
    seed: int | None
    n_sites: int
    fit: FitResult
    warnings: tuple[str, ...] = ()
    """The expansion's own warnings (occupancies it could only approximate)."""


def fit_orderings(
    structure: Structure,
    data: MeasuredPDF,
    refine: Iterable[str] | str = ("scale", "uiso"),
    parameters: PDFParameters | None = None,
    seeds: Iterable[int] = range(8),
    rmin: float | None = None,
    rmax: float | None = None,
    radiation: Radiation = "neutron",
    scattering_factors: Mapping[str, float] | None = None,
    max_sites: int = 4096,
    max_denominator: int = 16,
    n_threads: int = 0,
    average: FitResult | None = None,
) -> list[OrderingFit]:
    """Fit the occupancy-weighted model first, then each ordered expansion
    `structure.expand_occupancies(max_sites, seed, max_denominator)`, refining the
    same parameters from the same start values. The list holds the average first,
    then the seeds in order; compare their `fit.rw`. `average`: that first fit when the
    caller has already made it (the same refinement of `structure`), so it is not redone."""
    refine = tuple(refine.split(",")) if isinstance(refine, str) else tuple(refine)
    kwargs = dict(parameters=parameters, rmin=rmin, rmax=rmax, radiation=radiation,
                  scattering_factors=scattering_factors, n_threads=n_threads)
    if average is None:
        average = fit_pdf(structure, data, refine, **kwargs)
    out = [OrderingFit("average", None, structure.n_sites, average)]
    for seed in seeds:
        ordered, report = structure.expand_occupancies(max_sites=max_sites, seed=seed,
                                                       max_denominator=max_denominator)
        fit = fit_pdf(ordered, data, refine, **kwargs)
        out.append(OrderingFit(f"seed {seed}", seed, ordered.n_sites, fit, tuple(report["warnings"])))
    return out


def orderings_table(fits: list[OrderingFit]) -> str:
    """Rw of every model as text, with the spread of the expansions."""
    lines = [f"{'model':>10} {'sites':>6} {'Rw':>8}  refined"]
    for entry in fits:
        values = ", ".join(f"{k}={v:.4g}" for k, v in entry.fit.values.items())
        lines.append(f"{entry.label:>10} {entry.n_sites:>6} {entry.fit.rw:8.5f}  {values}")
    expansions = [e.fit.rw for e in fits if e.seed is not None]
    if expansions:
        lines.append(f"expansions: Rw {min(expansions):.5f} .. {max(expansions):.5f}; "
                     f"occupancy-weighted model {fits[0].fit.rw:.5f}")
    return "\n".join(lines)
