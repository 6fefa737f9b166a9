"""Figures and a CSV file for partial and total radial distribution curves."""

from __future__ import annotations

import csv
import math
import os
from collections.abc import Mapping

import numpy as np

__all__ = ["save_prdf_plots", "write_prdf_csv"]


def save_prdf_plots(r, partials: Mapping, total, folder: str | os.PathLike, *,
                    bin_size: float, title: str | None = None,
                    density: float | None = None) -> list[str]:
    """Write ``rdf.csv``, ``rdf_total.png`` and ``rdf_partials.png`` into `folder`.

    `r` holds the left bin edges, `partials` maps (centre, neighbour) to a curve and
    `total` is the total curve, all in atoms per cubic Angstrom. `density`, the bulk
    number density, is drawn as the level the curves approach at large distances.
    Returns the paths written. Needs matplotlib (the ``plot`` extra).
    """
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    folder = os.fspath(folder) or "."
    os.makedirs(folder, exist_ok=True)
    r = np.asarray(r, dtype=float)
    total = np.asarray(total, dtype=float)
    centres = r + 0.5 * bin_size
    written = [_write_csv(os.path.join(folder, "rdf.csv"), r, centres, total, partials)]

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
                   bin_size: float) -> str:
    """Write only ``rdf.csv`` (the CSV of `save_prdf_plots`); needs no matplotlib."""
    folder = os.fspath(folder) or "."
    os.makedirs(folder, exist_ok=True)
    r = np.asarray(r, dtype=float)
    return _write_csv(os.path.join(folder, "rdf.csv"), r, r + 0.5 * bin_size,
                      np.asarray(total, dtype=float), partials)


def _decorate(ax, density: float | None) -> None:
    ax.set_xlabel("r (Å)")
    ax.set_ylabel("pair density (atoms/Å³)")
    ax.set_xlim(left=0.0)
    ax.set_ylim(bottom=0.0)
    if density is not None and math.isfinite(density):
        ax.axhline(density, color="0.45", ls="--", lw=0.9, label=f"bulk density {density:.4g} Å⁻³")
    ax.grid(alpha=0.25)
    ax.legend(fontsize=8, frameon=False)


def _write_csv(path: str, r, centres, total, partials: Mapping) -> str:
    keys = list(partials)
    columns = [r, centres, total] + [np.asarray(partials[key], dtype=float) for key in keys]
    with open(path, "w", newline="", encoding="utf-8") as handle:
        writer = csv.writer(handle)
        writer.writerow(["r_left", "r_centre", "total"] + [f"{p}-{q}" for p, q in keys])
        for row in zip(*columns):
            writer.writerow([repr(float(v)) for v in row])
    return path
