"""``kelvara pdf``: G(r) and S(Q) of a structure (a trajectory is handed to
``kelvara.cli.trajectory``), or the model G(r) against a measurement, fitted on request."""

from __future__ import annotations

import math
from typing import TYPE_CHECKING

from kelvara.cli.options import PdfOptions
from kelvara.cli.structure import describe
from kelvara.io import read_structure

if TYPE_CHECKING:
    from kelvara._kelvara import Structure


def command_pdf(options: PdfOptions) -> int:
    """kelvara pdf [FILE]: neutron- or X-ray-weighted G(r) and S(Q) as CSV and a figure;
    with --data, the model against measured G(r), fitted with --fit."""
    from kelvara.pdf import pdf_and_structure_factor

    path, out = options.source.path, options.out
    kind, fmt = options.source.kind()
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
                                       qmax=options.qmax, broadening=options.broadening, qdamp=options.qdamp)
    from kelvara.pdf.plots import save_pdf

    written = save_pdf(pdf, sq, out, title=f"{structure.formula} ({path.name}), {options.radiation}")
    if options.broadening is not None:
        widths = f"one pair width {options.broadening:g} A (--broadening)"
    elif any(u is not None for u in structure.uiso):
        widths = "pair widths sqrt(U_i + U_j) from the file's displacement parameters"
    else:
        widths = "static structure (the file gives no displacement parameters; set --broadening)"
    print(f"{options.radiation} G(r) to {options.r_max:g} A and S(Q) to {sq.q[-1]:g} 1/A, {widths}, "
          f"written to {', '.join(str(p) for p in written)}")
    return 0


def start_values(structure: Structure, options: PdfOptions, data) -> tuple:
    """Start parameters from the options, the data's header and the file; notes on what was assumed."""
    from kelvara.pdf.model import DEFAULT_UISO, PDFParameters

    notes = []
    qmax = options.qmax
    if qmax is None and "qmax" in data.settings:
        try:
            qmax = float(data.settings["qmax"])
            notes.append(f"qmax {qmax:g} 1/A taken from the header of {data.source}")
        except ValueError:
            pass
    if qmax is None:
        notes.append("no qmax given (--qmax) or in the data header: the model is not terminated")
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
    return PDFParameters(qmax=qmax, qdamp=options.qdamp, delta2=options.delta2, uiso=uiso), notes


def compare_with_data(structure: Structure, name: str, options: PdfOptions) -> int:
    """Rw of the model against the data (and a fit when --fit names parameters): CSV,
    figure and the parameters printed."""
    from kelvara.pdf.measured import read_pdf_data
    from kelvara.pdf.fit import agreement, fit_pdf
    from kelvara.pdf.plots import save_fit

    data = read_pdf_data(options.data)
    out = options.out
    start, notes = start_values(structure, options, data)
    for note in notes:
        print(f"note: {note}")
    rmax = options.rmax  # None: up to the data's last point
    common = dict(rmin=options.rmin, rmax=rmax, radiation=options.radiation, n_threads=options.threads)
    if options.fit:
        result = fit_pdf(structure, data, options.fit, start, **common)
        r, observed, model, rw = result.r, result.observed, result.model, result.rw
        print(result.summary())
        names = result.refined
        strong = [f"  {a} - {names[j]}: {result.correlation[i, j]:+.3f}" for i, a in enumerate(names)
                  for j in range(i + 1, len(names)) if abs(result.correlation[i, j]) > 0.8]
        if strong:
            print("correlations above 0.8:", *strong, sep="\n")
    else:
        from kelvara.pdf.fit import select

        keep = select(data, options.rmin, rmax)
        rw, model = agreement(structure, data, start, **common)
        r, observed = data.r[keep], data.G[keep]
        print(f"Rw = {rw:.5f} over {r.size} points, r = {r[0]:g}..{r[-1]:g} A (nothing refined)")
    written = save_fit(r, observed, model, rw, out, title=f"{name} against {data.source}, {options.radiation}")
    print(f"written to {', '.join(str(p) for p in written)}")
    if options.orderings:
        if structure.is_ordered:
            print("note: the structure is ordered; --orderings has nothing to expand")
        else:
            from kelvara.pdf.orderings import fit_orderings, orderings_table

            fits = fit_orderings(structure, data, options.fit or "scale", start, seeds=range(options.orderings),
                                 **common)
            print(orderings_table(fits))
    return 0
