"""CSV files and a figure for the total PDF G(r) and the structure factor S(Q)."""

from __future__ import annotations

import pathlib
from typing import TYPE_CHECKING

import numpy as np

from kelvara._files import save_figure
from kelvara.plotting import write_columns

if TYPE_CHECKING:
    from kelvara.pdf.scattering import PDF, StructureFactor


def save_pdf(pdf: PDF, sq: StructureFactor, folder: str | pathlib.Path, title: str | None = None) -> list[pathlib.Path]:
    """pdf.csv (r, g, G, and g_err, G_err for a trajectory), sq.csv (Q, S, S_err for a
    trajectory, and every partial S_ij) and, when matplotlib is installed, pdf.png
    with G(r) and its density baseline -4 pi rho0 r above the total S(Q), whose
    label names the window applied. Returns the paths written."""
    folder = pathlib.Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    written = [folder / "pdf.csv", folder / "sq.csv"]
    errors = {"g_err": pdf.g_err, "G_err": pdf.G_err} if getattr(pdf, "G_err", None) is not None else {}
    write_columns(written[0], {"r": pdf.r, "g": pdf.g, "G": pdf.G, **errors})
    errors = {"S_err": sq.S_err} if getattr(sq, "S_err", None) is not None else {}
    write_columns(written[1], {"Q": sq.q, "S": sq.S, **errors,
                               **{f"S_{a}-{b}": curve for (a, b), curve in sq.partials.items()}})
    try:
        from matplotlib.backends.backend_agg import FigureCanvasAgg
        from matplotlib.figure import Figure
    except ImportError:
        return written
    figure = Figure(figsize=(7.5, 7.0), layout="constrained")
    FigureCanvasAgg(figure)
    top, bottom = figure.subplots(2, 1)
    top.plot(pdf.r, pdf.G, color="tab:blue", lw=1.0, label="G(r)")
    # Below the first neighbours G(r) follows -4 pi rho0 r: the density reference.
    top.plot(pdf.r, -4.0 * np.pi * pdf.rho0 * pdf.r, color="0.45", lw=0.8, ls="--",
             label=f"−4πρ₀r (ρ₀ = {pdf.rho0:.4g} Å⁻³)")
    top.axhline(0.0, color="0.6", lw=0.6)
    top.set_xlabel("r (Å)")
    top.set_ylabel("G(r) (Å⁻²)")
    top.set_title(title or f"Total PDF ({pdf.radiation})")
    top.set_xlim(0, float(pdf.r[-1]))
    top.set_ylim(1.1 * float(min(pdf.G.min(), 0.0)), 1.1 * float(max(pdf.G.max(), 0.0)) or 1.0)
    top.legend(loc="upper left", fontsize="small", frameon=False)
    # Partials swing far wider than the total and would hide it: they are in sq.csv.
    bottom.plot(sq.q, sq.S, color="tab:red", lw=1.0, label=window_note(sq.window))
    bottom.legend(loc="lower right", fontsize="small", frameon=False)
    bottom.axhline(1.0, color="0.6", lw=0.6)
    bottom.set_xlabel("Q (Å⁻¹)")
    bottom.set_ylabel(f"S(Q), {pdf.radiation} Faber-Ziman")
    bottom.set_xlim(0, float(sq.q[-1]))
    path = folder / "pdf.png"
    save_figure(figure, path, dpi=150)
    written.append(path)
    return written


def window_note(window: str | None) -> str:
    """What was done to g(r) - 1 before the transform, and how to change it."""
    if window == "lorch":
        return "Lorch window (window=None, --window none: without)"
    return "no window (window='lorch', --window lorch: the Lorch window)"


def save_fit(r, observed, model, rw: float, folder: str | pathlib.Path, title: str | None = None,
             name: str = "fit") -> list[pathlib.Path]:
    """<name>.csv (r, data, model, difference) and, when matplotlib is installed,
    <name>.png: the data as points, the model as a line, the difference offset below
    the lowest point of both, Rw in the legend. Returns the paths written."""
    folder = pathlib.Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    r, observed, model = (np.asarray(a, dtype=np.float64) for a in (r, observed, model))
    difference = observed - model
    written = [folder / f"{name}.csv"]
    write_columns(written[0], {"r": r, "data": observed, "model": model, "difference": difference})
    try:
        from matplotlib.backends.backend_agg import FigureCanvasAgg
        from matplotlib.figure import Figure
    except ImportError:
        return written
    figure = Figure(figsize=(7.5, 5.0), layout="constrained")
    FigureCanvasAgg(figure)
    axes = figure.subplots()
    axes.plot(r, observed, "o", ms=2.5, mfc="none", mew=0.6, color="tab:blue", label="data")
    axes.plot(r, model, "-", lw=1.1, color="tab:red", label=f"model (Rw = {rw:.4f})")
    # The difference sits below both curves with a gap, around its own zero line.
    low = float(min(observed.min(), model.min()))
    span = float(max(observed.max(), model.max())) - low
    offset = low - 0.1 * span - float(difference.max())
    axes.plot(r, difference + offset, "-", lw=0.8, color="tab:green", label="difference")
    axes.axhline(offset, color="0.6", lw=0.6, ls="--")
    axes.set_xlabel("r (Å)")
    axes.set_ylabel("G(r) (Å⁻²)")
    axes.set_xlim(float(r[0]), float(r[-1]))
    # Headroom above the highest peak keeps the legend, one row, clear of the curves.
    top = float(max(observed.max(), model.max()))
    bottom = offset + float(difference.min())
    axes.set_ylim(bottom - 0.03 * (top - bottom), top + 0.12 * (top - bottom))
    axes.set_title(title or "Model against data")
    axes.legend(loc="upper right", ncol=3, fontsize="small", frameon=False)
    path = folder / f"{name}.png"
    save_figure(figure, path, dpi=150)
    written.append(path)
    return written
