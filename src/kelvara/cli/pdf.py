"""``kelvara pdf``: G(r) and S(Q) of a structure (a trajectory is handed to
``kelvara.cli.trajectory``), or the model G(r) against a measurement, fitted on request."""

from __future__ import annotations

import math
from typing import TYPE_CHECKING

import numpy as np

from kelvara.cli.options import PdfOptions
from kelvara.cli.structure import describe, plots_available
from kelvara.io import read_structure

if TYPE_CHECKING:
    from kelvara._kelvara import Structure


def command_pdf(options: PdfOptions) -> int:
    """kelvara pdf [FILE]: neutron- or X-ray-weighted G(r) and S(Q) as CSV and a figure;
    with --data, the model against measured G(r), fitted with --fit."""
    from kelvara.pdf import pdf_and_structure_factor

    path = options.source.path
    if len(options.files) > 1 and not options.data:
        raise ValueError(f"{len(options.files)} structure files: several files are the phases of a mixture "
                         "fitted against --data; give one file for its G(r) and S(Q)")
    kind, fmt = options.source.kind()
    plots_available()  # without matplotlib, one line says the figure is left out
    if kind and not options.data:
        from kelvara.cli.trajectory import pdf

        return pdf(options, kind)
    if kind:
        raise ValueError(f"--data compares one structure with a measurement; {path.name} holds "
                         "frames: pick one with --start N --stop N+1, or compare in Python "
                         "with kelvara.pdf.total_pdf(kelvara.trajectory.Frames(...))")
    structure = read_structure(path, fmt, options.source.block)
    print(describe(path.name, structure))
    if options.data:
        return compare_with_data(structure, path.name, options)
    pdf, sq = pdf_and_structure_factor(structure, r_max=options.r_max, bin_size=options.bin_size,
                                       radiation=options.radiation, n_threads=options.threads,
                                       qmax=options.qmax, broadening=options.broadening, qdamp=options.qdamp,
                                       window=options.window)
    from kelvara.pdf.plots import save_pdf, window_note

    written = save_pdf(pdf, sq, options.folder, title=f"{structure.formula} ({path.name}), {options.radiation}")
    if options.broadening is not None:
        widths = f"one pair width {options.broadening:g} A (--broadening)"
    elif any(u is not None for u in structure.uiso):
        widths = "pair widths sqrt(U_i + U_j) from the file's displacement parameters"
    else:
        widths = "static structure (the file gives no displacement parameters; set --broadening)"
    print(f"{options.radiation} G(r) to {options.r_max:g} A and S(Q) to {sq.q[-1]:g} 1/A, {widths}, "
          f"written to {options.shown(written)}")
    print(f"S(Q) with {window_note(sq.window)}")
    return 0


# --fit names the condensed pair table refines as well (fast for large cells, and what
# --orderings fits); any other name needs the structural refinement.
TABLE_NAMES = {"scale", "qmax", "qdamp", "qbroad", "delta1", "delta2", "spdiameter", "lattice_scale", "uiso"}


def start_values(structure: Structure, options: PdfOptions, data) -> tuple:
    """Start parameters from the options, the data's header and the file; notes on what was
    assumed. A setting given on the command line wins over the header's."""
    from kelvara.pdf.model import DEFAULT_UISO, PDFParameters

    stated = data.stated
    notes = [note for note, key in zip(stated.notes, _keys(stated)) if key not in options.given]
    values = {}
    for key in ("qmax", "qdamp", "qbroad"):
        mine = {"qmax": options.qmax, "qdamp": options.qdamp, "qbroad": options.qbroad}[key]
        values[key] = mine if key in options.given or getattr(stated, key) is None else getattr(stated, key)
    radiation = options.radiation if "radiation" in options.given or not stated.radiation else stated.radiation
    if values["qmax"] is None:
        notes.append("no qmax given (--qmax) or in the data header: the model is not terminated")
    elif data.step and data.step < math.pi / values["qmax"]:
        n = math.pi / values["qmax"] / data.step
        notes.append(f"points every {data.step:.3g} A oversample the Nyquist step pi/qmax = "
                     f"{math.pi / values['qmax']:.3g} A {n:.0f}-fold: neighbouring points are not independent, so "
                     f"chi2_red and unscaled uncertainties understate the errors (by about sqrt({n:.0f}))")
    uiso = {}
    if options.broadening is not None:
        # As in the model without data: an explicit width replaces the file's values.
        if not (options.broadening > 0 and math.isfinite(options.broadening)):
            raise ValueError(f"--broadening must be a positive number against data, not {options.broadening:g}")
        uiso = dict.fromkeys(structure.elements, options.broadening**2 / 2)
        notes.append(f"--broadening {options.broadening:g} A: Uiso {options.broadening**2 / 2:g} A^2 for every "
                     "element" + (", not the file's values" if any(u is not None for u in structure.uiso) else ""))
    else:
        missing = sorted({el for sp, u in zip(structure.species, structure.uiso) if u is None for el in sp})
        uiso = dict.fromkeys(missing, DEFAULT_UISO)
        if missing:
            notes.append(f"the file gives no Uiso for {', '.join(missing)}: {DEFAULT_UISO:g} A^2 "
                         "(set --broadening for another width)")
    start = PDFParameters(qmax=values["qmax"], qdamp=values["qdamp"] or 0.0, qbroad=values["qbroad"] or 0.0,
                          delta1=options.delta1, delta2=options.delta2, spdiameter=options.spdiameter, uiso=uiso)
    return start, radiation, notes


def _keys(stated) -> list[str]:
    """The setting each of the header's notes is about."""
    return [note.split()[0] for note in stated.notes]


def _operations(path, fmt, structure, notes: list[str]) -> list | None:
    """The symmetry operations a CIF lists; for a CIF that names its space group without
    listing them, those the atoms obey; None (no symmetry, P1) otherwise, and for a CIF
    that names P 1 (whose one operation is the identity)."""
    import re

    from kelvara.pdf.symmetry import cif_operations, find_operations

    if (fmt or "").lower() != "cif" and path.suffix.lower() != ".cif":
        return None
    text = path.read_text(encoding="utf-8", errors="replace")
    listed = cif_operations(text)
    if listed or not re.search(r"^\s*_(space_group|symmetry)[_.]\w*(name|number)", text, re.M | re.I):
        return listed or None
    values = re.findall(r"^\s*_(?:space_group|symmetry)[_.]\w*(?:name|number)[\w-]*[ \t]+(\S.*?)\s*$",
                        text, re.M | re.I)
    if values and all(re.sub(r"[\s'\"]", "", v) in ("P1", "1") for v in values):
        return None  # P 1: the file states that there is no symmetry to find
    found = find_operations(structure)
    notes.append(f"{path.name} names its space group but lists no operations: the {len(found)} operations "
                 "that map its atoms onto themselves were found from the atoms")
    return found


def compare_with_data(structure: Structure, name: str, options: PdfOptions) -> int:
    """Rw of the model against the data, and a refinement when --fit names parameters:
    the summary printed; fit.csv, fit.json, fit.png and the refined CIFs written. A fit that
    failed is reported as failed (exit status 1)."""
    import pathlib
    import sys

    from kelvara.pdf.measured import read_pdf_data
    from kelvara.pdf.refine import from_fit, refine_pdf
    from kelvara.pdf.results import save_refinement
    from kelvara.pdf.symmetry import analyse

    data = read_pdf_data(options.data)
    start, radiation, notes = start_values(structure, options, data)
    paths = [pathlib.Path(f) for f in options.files] or [options.source.path]
    structures = [structure] + [read_structure(p, options.source.format, options.source.block) for p in paths[1:]]
    for path, extra in zip(paths[1:], structures[1:]):
        print(describe(path.name, extra))
    operations = [_operations(p, options.source.format, s, notes) for p, s in zip(paths, structures)]
    for note in notes:
        print(f"note: {note}")
    words = [w.strip() for w in (options.fit or "").split(",") if w.strip()]
    on_table = len(structures) == 1 and all(
        w in TABLE_NAMES or (w.startswith("uiso_") and w[5:] in structure.elements) for w in words)
    common = dict(rmin=options.rmin, rmax=options.rmax, radiation=radiation)
    fit = None
    if on_table:
        from kelvara.pdf.fit import agreement, fit_pdf, select

        keep = select(data, options.rmin, options.rmax)
        sigma = None if data.dG is None else data.dG[keep]
        if words:
            fit = fit_pdf(structure, data, words, start, n_threads=options.threads, **common)
        else:
            fit = _compared(structure, data, start, keep, agreement, options, common)
        result = from_fit(fit, sigma, structure, paths[0].name, radiation, options.errors)
    else:
        if "lattice_scale" in words:
            raise ValueError("lattice_scale stretches one cell; with the structural parameters refine cell")
        result = refine_pdf(structures, data, words, start, operations=operations, errors=options.errors,
                            sources=[p.name for p in paths], **common)
    print(result.summary())
    symmetries = [analyse(s, ops) for s, ops in zip(structures, operations)]
    title = f"{' + '.join(p.name for p in paths)} against {data.source}, {radiation}"
    written = save_refinement(result, symmetries, options.folder, title, data)
    print(f"written to {options.shown(written)}")
    if options.orderings:
        if structure.is_ordered:
            print("note: the structure is ordered; --orderings has nothing to expand")
        elif not on_table:
            raise ValueError("--orderings refits the table parameters (scale, uiso, qdamp, delta2, ...), "
                             f"not {options.fit}")
        else:
            from kelvara.pdf.orderings import fit_orderings, orderings_table

            # The occupancy-weighted structure's fit above is the list's first row, when there was one.
            fits = fit_orderings(structure, data, words or "scale", start, seeds=range(options.orderings),
                                 n_threads=options.threads, average=fit if words else None, **common)
            print(orderings_table(fits))
    if not result.converged:
        print(f"kelvara: the fit failed: {result.reason}; {result.hint}", file=sys.stderr)
        return 1
    return 0


def _compared(structure, data, start, keep, agreement, options, common):
    """The model as given against the data, as a fit with nothing refined."""
    from kelvara.pdf.fit import FitResult

    rw, model = agreement(structure, data, start, n_threads=options.threads, **common)
    observed = data.G[keep]
    weight = 1.0 if data.dG is None else 1.0 / data.dG[keep]
    chi2 = float(np.sum(((model - observed) * weight) ** 2)) / observed.size
    return FitResult(parameters=start, refined=(), values={}, uncertainties={}, correlation=np.zeros((0, 0)),
                     rw=rw, r=data.r[keep], observed=observed, model=model, reduced_chi2=chi2, success=True,
                     message="nothing was refined", evaluations=1)
