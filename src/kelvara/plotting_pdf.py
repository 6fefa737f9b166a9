"""CSV files and a figure for the total PDF G(r) and the structure factor S(Q)."""

from __future__ import annotations

import csv
import pathlib
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from kelvara.scattering import PDF, StructureFactor


def _write_columns(path: pathlib.Path, columns: dict) -> None:
    with path.open("w", newline="") as handle:
        writer = csv.writer(handle)
        writer.writerow(columns)
        for row in zip(*columns.values()):
            writer.writerow(f"{value:.10g}" for value in row)


def save_pdf(pdf: PDF, sq: StructureFactor, folder: str | pathlib.Path, title: str | None = None) -> list[pathlib.Path]:
    """pdf.csv (r, g, G), sq.csv (Q, S and every partial S_ij) and, when matplotlib is
    installed, pdf.png with G(r) above S(Q). Returns the paths written."""
    folder = pathlib.Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    written = [folder / "pdf.csv", folder / "sq.csv"]
    _write_columns(written[0], {"r": pdf.r, "g": pdf.g, "G": pdf.G})
    _write_columns(written[1], {"Q": sq.q, "S": sq.S, **{f"S_{a}-{b}": curve for (a, b), curve in sq.partials.items()}})
    try:
        from matplotlib.backends.backend_agg import FigureCanvasAgg
        from matplotlib.figure import Figure
    except ImportError:
        return written
    figure = Figure(figsize=(7.5, 7.0), layout="constrained")
    FigureCanvasAgg(figure)
    top, bottom = figure.subplots(2, 1)
    top.plot(pdf.r, pdf.G, color="tab:blue", lw=1.0)
    top.axhline(0.0, color="0.6", lw=0.6)
    top.set_xlabel("r (Å)")
    top.set_ylabel("G(r) (Å⁻²)")
    top.set_title(title or f"Total PDF ({pdf.radiation})")
    top.set_xlim(0, float(pdf.r[-1]))
    bottom.plot(sq.q, sq.S, color="tab:red", lw=1.0)
    bottom.axhline(1.0, color="0.6", lw=0.6)
    bottom.set_xlabel("Q (Å⁻¹)")
    bottom.set_ylabel("S(Q)")
    bottom.set_xlim(0, float(sq.q[-1]))
    path = folder / "pdf.png"
    figure.savefig(path, dpi=150)
    written.append(path)
    return written
