"""Figures and a CSV file for partial and total radial distribution curves."""

from __future__ import annotations

import csv
import math
import os
from collections.abc import Mapping

import numpy as np

__all__ = ["save_prdf_plots", "write_columns", "write_prdf_csv"]


def save_prdf_plots(r, partials: Mapping, total, folder: str | os.PathLike, *,
                    bin_size: float, title: str | None = None,
                    density: float | None = None,
                    element_densities: Mapping[str, float] | None = None) -> list[str]:
    """Write ``rdf.csv``, ``rdf_total.png`` and ``rdf_partials.png`` into `folder`.

    `r` holds the left bin edges, `partials` maps (centre, neighbour) to a curve and
    `total` is the total curve, all in atoms per cubic Angstrom. `density`, the bulk
    number density, is drawn as the level the curves approach at large distances.
    The CSV (see `write_prdf_csv`) also holds the normalised g(r) columns that
    `density` and `element_densities` allow. Returns the paths written. Needs
    matplotlib (the ``plot`` extra).
    """
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    folder = os.fspath(folder) or "."
    os.makedirs(folder, exist_ok=True)
    r = np.asarray(r, dtype=float)
    total = np.asarray(total, dtype=float)
    centres = r + 0.5 * bin_size
    written = [write_prdf_csv(r, partials, total, folder, bin_size=bin_size, density=density,
                              element_densities=element_densities)]

    # Total curve.
    fig = Figure(figsize=(7.0, 4.2), layout="constrained")
    FigureCanvasAgg(fig)
    ax = fig.add_subplot()
    ax.plot(centres, total, color="#1f3b73", lw=1.4, label="total")
    _decorate(ax, density)
    if density is not None and math.isfinite(density) and density > 0:
        # The same curve divided by the bulk density: the usual dimensionless g(r).
        right = ax.secondary_yaxis("right", functions=(lambda y: y / density, lambda g: g * density))
        right.set_ylabel("g(r) = ρ(r) / ρ₀")
    if title:
        fig.suptitle(title)
    written.append(os.path.join(folder, "rdf_total.png"))
    fig.savefig(written[-1], dpi=150)

    # Partials: one panel per centre element, one line per neighbour element.
    centres_el = list(dict.fromkeys(p for p, _ in partials))
    if centres_el:
        n = len(centres_el)
        cols = min(n, 3)
        rows = math.ceil(n / cols)
        fig = Figure(figsize=(4.4 * cols, 3.3 * rows), layout="constrained")
        FigureCanvasAgg(fig)
        axes = fig.subplots(rows, cols, squeeze=False, sharex=True)
        for k, centre in enumerate(centres_el):
            ax = axes[k // cols][k % cols]
            for (p, q), curve in partials.items():
                if p == centre:
                    ax.plot(centres, np.asarray(curve, dtype=float), lw=1.2, label=f"{p}–{q}")
            ax.set_title(f"around {centre}", fontsize=10)
            _decorate(ax, None)
        for k in range(n, rows * cols):
            axes[k // cols][k % cols].set_visible(False)
        fig.suptitle(f"{title} — partials" if title else "Partial RDFs")
        written.append(os.path.join(folder, "rdf_partials.png"))
        fig.savefig(written[-1], dpi=150)
    return written


def write_prdf_csv(r, partials: Mapping, total, folder: str | os.PathLike, *,
                   bin_size: float, density: float | None = None,
                   element_densities: Mapping[str, float] | None = None) -> str:
    """Write ``rdf.csv`` into `folder` (no matplotlib needed) and return its path.

    Columns: ``r_left`` and ``r_centre`` (A), ``total`` and one ``A-B`` column per
    ordered pair (neighbour densities, atoms/A^3); then ``g_total`` = total / density
    when `density` is given, and ``g_A-B`` = partial / (density of B) for every pair
    whose neighbour element has a positive entry in `element_densities` (curves that
    tend to 1, as ``kelvara.analysis.normalised_partials`` computes them).
    """
    folder = os.fspath(folder) or "."
    os.makedirs(folder, exist_ok=True)
    r = np.asarray(r, dtype=float)
    columns = {"r_left": r, "r_centre": r + 0.5 * bin_size, "total": np.asarray(total, dtype=float)}
    columns.update({f"{p}-{q}": np.asarray(curve, dtype=float) for (p, q), curve in partials.items()})
    if density is not None and math.isfinite(density) and density > 0:
        columns["g_total"] = columns["total"] / density
    for (p, q), curve in partials.items():
        rho = (element_densities or {}).get(q, 0.0)
        if rho > 0:
            columns[f"g_{p}-{q}"] = np.asarray(curve, dtype=float) / rho
    return write_columns(os.path.join(folder, "rdf.csv"), columns)


def write_columns(path: str | os.PathLike, columns: Mapping) -> str:
    """A CSV file with one named column per entry of `columns` (equal-length arrays),
    every value written with full precision; returns the path."""
    with open(path, "w", newline="", encoding="utf-8") as handle:
        writer = csv.writer(handle)
        writer.writerow(list(columns))
        for row in zip(*columns.values()):
            writer.writerow([repr(float(v)) for v in row])
    return os.fspath(path)


def _decorate(ax, density: float | None) -> None:
    ax.set_xlabel("r (Å)")
    ax.set_ylabel("pair density (atoms/Å³)")
    ax.set_xlim(left=0.0)
    ax.set_ylim(bottom=0.0)
    if density is not None and math.isfinite(density):
        ax.axhline(density, color="0.45", ls="--", lw=0.9, label=f"bulk density {density:.4g} Å⁻³")
    ax.grid(alpha=0.25)
    ax.legend(fontsize=8, frameon=False)
