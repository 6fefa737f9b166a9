"""CSV files and a figure for the total PDF G(r) and the structure factor S(Q)."""

from __future__ import annotations

import pathlib
from typing import TYPE_CHECKING

import numpy as np

from kelvara.plotting import write_columns

if TYPE_CHECKING:
    from kelvara.scattering import PDF, StructureFactor


def save_pdf(pdf: PDF, sq: StructureFactor, folder: str | pathlib.Path, title: str | None = None) -> list[pathlib.Path]:
    """pdf.csv (r, g, G), sq.csv (Q, S and every partial S_ij) and, when matplotlib is
    installed, pdf.png with G(r) and its density baseline -4 pi rho0 r above the
    total S(Q). Returns the paths written."""
    folder = pathlib.Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    written = [folder / "pdf.csv", folder / "sq.csv"]
    write_columns(written[0], {"r": pdf.r, "g": pdf.g, "G": pdf.G})
    write_columns(written[1], {"Q": sq.q, "S": sq.S, **{f"S_{a}-{b}": curve for (a, b), curve in sq.partials.items()}})
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
    bottom.plot(sq.q, sq.S, color="tab:red", lw=1.0)
    bottom.axhline(1.0, color="0.6", lw=0.6)
    bottom.set_xlabel("Q (Å⁻¹)")
    bottom.set_ylabel(f"S(Q), {pdf.radiation} Faber-Ziman")
    bottom.set_xlim(0, float(sq.q[-1]))
    path = folder / "pdf.png"
    figure.savefig(path, dpi=150)
    written.append(path)
    return written
