"""What a refinement writes: fit.csv, fit.json, fit.png and the refined structure of each phase as CIF."""

from __future__ import annotations

import json
import math
import pathlib
from fractions import Fraction

import numpy as np

from kelvara._files import save_figure
from kelvara.plotting import write_columns


def _term(value: float) -> str:
    fraction = Fraction(value).limit_denominator(12)
    if abs(float(fraction) - value) > 1e-9 or fraction == 0:
        return "" if fraction == 0 else f"{value:+.10g}"
    return f"+{fraction}" if fraction > 0 else f"-{-fraction}"


def operation_text(rotation: np.ndarray, translation: np.ndarray) -> str:
    """(R, t) as a CIF operation, e.g. '-x+1/2,y,z'."""
    parts = []
    for row, shift in zip(rotation, translation):
        text = ""
        for coefficient, axis in zip(row, "xyz"):
            if abs(coefficient) < 1e-12:
                continue
            sign = "-" if coefficient < 0 else "+"
            size = abs(coefficient)
            text += sign + ("" if abs(size - 1) < 1e-12 else f"{size:.10g}*") + axis
        shift = float(shift) % 1.0
        text = text.lstrip("+") + _term(0.0 if abs(shift - 1.0) < 1e-12 else shift)
        parts.append(text or "0")
    return ",".join(parts)


def refined_cif(phase, symmetry, name: str) -> str:
    """The refined phase as CIF: the cell, one row per element of every symmetry-distinct
    site (coordinates, occupancy, Uiso as refined) and the operations that make the rest."""
    a, b, c, alpha, beta, gamma = phase.cell
    lines = [f"data_{name}", "_audit_creation_method 'kelvara pdf --fit'"]
    lines += [f"_cell_length_{k} {v:.6f}" for k, v in zip("abc", (a, b, c))]
    lines += [f"_cell_angle_{k} {v:.6f}" for k, v in zip(("alpha", "beta", "gamma"), (alpha, beta, gamma))]
    lines += ["loop_", "_space_group_symop_operation_xyz"]
    lines += [f"'{operation_text(r, t)}'" for r, t in symmetry.operations]
    lines += ["loop_", "_atom_site_label", "_atom_site_type_symbol", "_atom_site_fract_x", "_atom_site_fract_y",
              "_atom_site_fract_z", "_atom_site_occupancy", "_atom_site_U_iso_or_equiv"]
    for orbit in symmetry.orbits:
        site = orbit.sites[0]
        x, y, z = phase.frac_coords[site]
        occupancies = phase.occupancies[site]
        for element, occ in occupancies.items():
            label = orbit.label if len(occupancies) == 1 else f"{orbit.label}_{element}"
            lines.append(f"{label} {element} {x:.8f} {y:.8f} {z:.8f} {occ:.8g} {phase.site_uiso[site]:.8g}")
    return "\n".join(lines) + "\n"


def _json_number(value):
    return None if value is None or not math.isfinite(value) else value


def save_refinement(result, symmetries, folder: str | pathlib.Path, title: str, data=None) -> list[pathlib.Path]:
    """fit.csv (r, data, dG, model per phase and total, difference over the fitted range),
    fit.json, the refined CIF of each phase and, with matplotlib, fit.png. Returns the paths."""
    folder = pathlib.Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    columns = {"r": result.r, "data": result.observed}
    if result.dG is not None:
        columns["dG"] = result.dG
    if len(result.phase_models) > 1:
        columns.update({f"model_{k}": curve for k, curve in enumerate(result.phase_models, start=1)})
    columns.update(model=result.model, difference=result.difference)
    written = [folder / "fit.csv", folder / "fit.json"]
    write_columns(written[0], columns)
    record = result.as_dict()
    record["rw"], record["chi2_red"] = _json_number(record["rw"]), _json_number(record["chi2_red"])
    for entry in record["parameters"].values():
        entry["sigma"] = _json_number(entry["sigma"])
    written[1].write_text(json.dumps(record, indent=2) + "\n")
    for k, (phase, symmetry) in enumerate(zip(result.phases, symmetries), start=1):
        stem = pathlib.Path(phase.source).stem
        path = folder / (f"{stem}_refined.cif" if len(result.phases) == 1 else f"{stem}_{k}_refined.cif")
        path.write_text(refined_cif(phase, symmetry, stem))
        written.append(path)
    picture = _figure(result, folder / "fit.png", title, data)
    return written + ([picture] if picture else [])


def _figure(result, path, title, data):
    try:
        from matplotlib.backends.backend_agg import FigureCanvasAgg
        from matplotlib.figure import Figure
    except ImportError:
        return None
    figure = Figure(figsize=(7.5, 5.5), layout="constrained")
    FigureCanvasAgg(figure)
    axes = figure.subplots()
    r_all, G_all = (data.r, data.G) if data is not None else (result.r, result.observed)
    if data is not None and data.dG is not None:
        axes.fill_between(data.r, data.G - data.dG, data.G + data.dG, color="tab:blue", alpha=0.2, lw=0,
                          label="data ± dG")
    axes.plot(r_all, G_all, "o", ms=2.0, mfc="none", mew=0.5, color="tab:blue", label="data")
    label = f"model (Rw = {result.rw:.4f}, χ²ᵣ = {result.chi2_red:.3g})"
    axes.plot(result.r, result.model, "-", lw=1.1, color="tab:red", label=label)
    if len(result.phase_models) > 1:
        for k, curve in enumerate(result.phase_models, start=1):
            axes.plot(result.r, curve, "-", lw=0.7, alpha=0.8, label=f"phase {k}")
    low = float(min(G_all.min(), result.model.min()))
    span = float(max(G_all.max(), result.model.max())) - low
    offset = low - 0.1 * span - float(result.difference.max())
    axes.plot(result.r, result.difference + offset, "-", lw=0.8, color="tab:green", label="difference")
    axes.axhline(offset, color="0.6", lw=0.6, ls="--")
    axes.axvspan(float(result.r[0]), float(result.r[-1]), color="0.94", zorder=0, label="fitted range")
    axes.set_xlabel("r (Å)")
    axes.set_ylabel("G(r) (Å⁻²)")
    axes.set_xlim(float(r_all[0]), float(r_all[-1]))
    top = float(max(G_all.max(), result.model.max()))
    bottom = offset + float(result.difference.min())
    axes.set_ylim(bottom - 0.03 * (top - bottom), top + 0.2 * (top - bottom))
    axes.set_title(title if result.converged else f"{title} (the fit FAILED)")
    axes.legend(loc="upper right", ncol=3, fontsize="small", frameon=False)
    save_figure(figure, path, dpi=150)
    return path
