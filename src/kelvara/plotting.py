"""Figures and a CSV file for partial and total radial distribution curves."""

from __future__ import annotations

import csv
import math
import os
import warnings
from collections.abc import Mapping

import numpy as np

__all__ = ["save_prdf_plots", "write_columns", "write_prdf_csv"]

#: Most element labels whose partials are drawn: one panel per element and one
#: curve per pair, so 16 labels already make 256 curves. More labels (atom names
#: read as elements, most often) would take minutes to draw an unreadable figure.
MAX_DRAWN_ELEMENTS = 16


def save_prdf_plots(r, partials: Mapping, total, folder: str | os.PathLike, *,
                    bin_size: float, title: str | None = None,
                    density: float | None = None,
                    element_densities: Mapping[str, float] | None = None,
                    quantity: str = "density", errors: Mapping | None = None,
                    table: bool = True) -> list[str]:
    """Write ``rdf.csv``, ``rdf_total.png`` and ``rdf_partials.png`` into `folder`.

    `r` holds the left bin edges, `partials` maps (centre, neighbour) to a curve and
    `total` is the total curve, all in atoms per cubic Angstrom. `density`, the bulk
    number density, is drawn as the level the curves approach at large distances.
    The CSV (see `write_prdf_csv`) also holds the normalised g(r) columns that
    `density` and `element_densities` allow. ``quantity="g"`` plots g(r) instead of
    the neighbour density: the total divided by `density`, each partial by the
    density of its neighbour element (both must then be given). Curves of one panel
    that coincide are drawn in distinct line styles and named in the legend.
    `errors` (keys "total" and the pairs of `partials`) are standard errors of the
    curves, drawn as a band of one standard error on either side. ``table=False``
    leaves out ``rdf.csv`` (for a caller that writes its own).
    Returns the paths written. Needs matplotlib (the ``plot`` extra).
    """
    if quantity not in ("density", "g"):
        raise ValueError(f"quantity must be 'density' or 'g', not {quantity!r}")
    as_g = quantity == "g"
    if as_g and not (_positive(density) and element_densities):
        raise ValueError("quantity='g' needs density and element_densities")
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    from kelvara._files import save_figure

    folder = os.fspath(folder) or "."
    os.makedirs(folder, exist_ok=True)
    r = np.asarray(r, dtype=float)
    total = np.asarray(total, dtype=float)
    centres = r + 0.5 * bin_size
    written = [write_prdf_csv(r, partials, total, folder, bin_size=bin_size, density=density,
                              element_densities=element_densities)] if table else []

    # Total curve.
    fig = Figure(figsize=(7.0, 4.2), layout="constrained")
    FigureCanvasAgg(fig)
    ax = fig.add_subplot()
    scale = 1.0 / density if as_g else 1.0
    _band(ax, centres, total * scale, (errors or {}).get("total"), scale, "#1f3b73")
    if as_g:
        ax.plot(centres, total / density, color="#1f3b73", lw=1.4, label="total")
        _decorate(ax, 1.0, as_g)
    else:
        ax.plot(centres, total, color="#1f3b73", lw=1.4, label="total")
        _decorate(ax, density, as_g)
    if not as_g and _positive(density):
        # The same curve divided by the bulk density: the usual dimensionless g(r).
        right = ax.secondary_yaxis("right", functions=(lambda y: y / density, lambda g: g * density))
        right.set_ylabel(G_LABEL)
    if title:
        fig.suptitle(title)
    written.append(os.path.join(folder, "rdf_total.png"))
    save_figure(fig, written[-1], dpi=150)

    # Partials: one panel per centre element, one line per neighbour element.
    centres_el = list(dict.fromkeys(p for p, _ in partials))
    if len(centres_el) > MAX_DRAWN_ELEMENTS:
        warnings.warn(f"rdf_partials.png is not drawn: {len(centres_el)} element labels make "
                      f"{len(partials)} partial curves, more than a figure can show (at most "
                      f"{MAX_DRAWN_ELEMENTS} elements are drawn); rdf.csv holds every curve",
                      UserWarning, stacklevel=2)
    elif centres_el:
        n = len(centres_el)
        cols = min(n, 3)
        rows = math.ceil(n / cols)
        fig = Figure(figsize=(4.4 * cols, 3.3 * rows), layout="constrained")
        FigureCanvasAgg(fig)
        axes = fig.subplots(rows, cols, squeeze=False, sharex=True)
        for k, centre in enumerate(centres_el):
            ax = axes[k // cols][k % cols]
            curves = {q: np.asarray(curve, dtype=float) for (p, q), curve in partials.items()
                      if p == centre}
            if as_g:
                curves = {q: y / element_densities[q] if _positive(element_densities.get(q)) else y * 0.0
                          for q, y in curves.items()}
            _plot_distinguishable(ax, centres, centre, curves)
            for line, (q, y) in zip(list(ax.lines), curves.items()):
                rho = (element_densities or {}).get(q)
                _band(ax, centres, y, (errors or {}).get((centre, q)),
                      1.0 / rho if as_g and _positive(rho) else 1.0, line.get_color(), label=False)
            ax.set_title(f"around {centre}", fontsize=10)
            # Every panel keeps its own r tick labels: with panels left empty in the
            # last row, the one above would otherwise show an axis label without ticks.
            ax.tick_params(labelbottom=True)
            _decorate(ax, 1.0 if as_g else None, as_g)
        for k in range(n, rows * cols):
            axes[k // cols][k % cols].set_visible(False)
        fig.suptitle(f"{title} — partials" if title else "Partial RDFs")
        written.append(os.path.join(folder, "rdf_partials.png"))
        save_figure(fig, written[-1], dpi=150)
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
    every value written to 15 significant digits (all a double holds reliably, so a
    bin centre 3 * 0.1 + 0.05 reads 0.35, not 0.35000000000000003); returns the path."""
    from kelvara._files import replacing

    with replacing(path, "w", newline="", encoding="utf-8") as handle:
        writer = csv.writer(handle)
        writer.writerow(list(columns))
        for row in zip(*columns.values()):
            writer.writerow([_number(v) for v in row])
    return os.fspath(path)


#: The y quantity of every RDF figure, under one name.
DENSITY_LABEL = "neighbour density ρ(r) (atoms/Å³)"
G_LABEL = "g(r) = ρ(r) / ρ₀"
_STYLES = ("-", "--", "-.", ":")


def _number(value) -> str:
    """Shortest text of `value` rounded to 15 significant digits."""
    return repr(float(f"{float(value):.15g}"))


def _positive(value) -> bool:
    return value is not None and math.isfinite(value) and value > 0


def _plot_distinguishable(ax, x, centre: str, curves: Mapping) -> None:
    """One line per neighbour; a curve equal to one drawn before it gets the next
    line style and a legend entry naming the curve it coincides with."""
    drawn: list[tuple[str, np.ndarray, int]] = []
    for q, y in curves.items():
        same = [(name, count) for name, other, count in drawn
                if np.allclose(y, other, rtol=1e-9, atol=1e-12 * max(1.0, float(np.abs(y).max(initial=0))))]
        label = f"{centre}–{q}"
        style = _STYLES[0]
        if same:
            name, count = same[0]
            style = _STYLES[(count + 1) % len(_STYLES)]
            label += f" (= {name})"
            drawn = [(n, o, c + 1 if n == name else c) for n, o, c in drawn]
        ax.plot(x, y, lw=1.2, ls=style, label=label)
        if not same:
            drawn.append((f"{centre}–{q}", y, 0))


def _band(ax, x, y, error, scale: float, color, label: bool = True) -> None:
    """A band of one standard error (`error` times `scale`) around `y`, if given."""
    if error is None:
        return
    spread = np.nan_to_num(np.asarray(error, dtype=float)) * scale
    ax.fill_between(x, y - spread, y + spread, color=color, alpha=0.25, lw=0,
                    label="± one standard error" if label else None)


def _decorate(ax, density: float | None, as_g: bool = False) -> None:
    ax.set_xlabel("r (Å)")
    ax.set_ylabel(G_LABEL if as_g else DENSITY_LABEL)
    ax.set_xlim(left=0.0)
    ax.set_ylim(bottom=0.0)
    if as_g:
        ax.axhline(1.0, color="0.45", ls="--", lw=0.9, label="g = 1 (bulk)")
    elif density is not None and math.isfinite(density):
        ax.axhline(density, color="0.45", ls="--", lw=0.9, label=f"bulk density {density:.4g} Å⁻³")
    ax.grid(alpha=0.25)
    ax.legend(fontsize=8, frameon=False)
