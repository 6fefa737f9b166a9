"""kelvara pdf FILE --data measured.gr: the model G(r) against a measurement, fitted on request."""

from __future__ import annotations

import argparse
import math
import pathlib
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from kelvara._kelvara import Structure


def add_arguments(parser: argparse.ArgumentParser) -> None:
    """The options of a comparison with measured data."""
    parser.add_argument("--data", help="measured G(r): a .gr file or columns r G [dG] / r G dr dG")
    parser.add_argument("--fit", default=None,
                        help="parameters to refine, e.g. scale,qdamp,uiso,delta2; "
                        "others: qbroad, delta1, spdiameter, lattice_scale, qmax, uiso_<element>")
    parser.add_argument("--rmin", type=float, default=None, help="lower end of the compared range in A")
    parser.add_argument("--delta2", type=float, default=0.0, help="correlated-motion term delta2 in A^2 (0)")
    parser.add_argument("--orderings", type=int, default=0,
                        help="also fit N seeded ordered expansions of a disordered structure")


def start_values(structure: Structure, args: argparse.Namespace, data) -> tuple:
    """Start parameters from the options, the data's header and the file; notes on what was assumed."""
    from kelvara.pdfmodel import DEFAULT_UISO, PDFParameters

    notes = []
    qmax = args.qmax
    if qmax is None and "qmax" in data.settings:
        try:
            qmax = float(data.settings["qmax"])
            notes.append(f"qmax {qmax:g} 1/A taken from the header of {data.source}")
        except ValueError:
            pass
    if qmax is None:
        notes.append("no qmax given (--qmax) or in the data header: the model is not terminated")
    uiso = {}
    if args.broadening is not None:
        # As in the model without data: an explicit width replaces the file's values.
        if not (args.broadening > 0 and math.isfinite(args.broadening)):
            raise ValueError(f"--broadening must be a positive number against data, not {args.broadening:g}")
        uiso = dict.fromkeys(structure.elements, args.broadening**2 / 2)
        notes.append(f"--broadening {args.broadening:g} A: Uiso {args.broadening**2 / 2:g} A^2 for every "
                     "element" + (", not the file's values" if any(u is not None for u in structure.uiso) else ""))
    else:
        missing = sorted({el for sp, u in zip(structure.species, structure.uiso) if u is None for el in sp})
        uiso = dict.fromkeys(missing, DEFAULT_UISO)
        if missing:
            notes.append(f"the file gives no Uiso for {', '.join(missing)}: {DEFAULT_UISO:g} A^2 "
                         "(set --broadening for another width)")
    return PDFParameters(qmax=qmax, qdamp=args.qdamp, delta2=args.delta2, uiso=uiso), notes


def compare_with_data(structure: Structure, name: str, args: argparse.Namespace) -> int:
    """Rw of the model against the data (and a fit when --fit names parameters): CSV,
    figure and the parameters printed."""
    from kelvara.measured import read_pdf_data
    from kelvara.pdffit import agreement, fit_pdf
    from kelvara.plotting_pdf import save_fit

    data = read_pdf_data(args.data)
    out = pathlib.Path(args.out)
    start, notes = start_values(structure, args, data)
    for note in notes:
        print(f"note: {note}")
    rmax = args.rmax if args.rmax_given else None
    common = dict(rmin=args.rmin, rmax=rmax, radiation=args.radiation, n_threads=args.threads)
    if args.fit:
        result = fit_pdf(structure, data, args.fit, start, **common)
        r, observed, model, rw = result.r, result.observed, result.model, result.rw
        print(result.summary())
        names = result.refined
        strong = [f"  {a} - {names[j]}: {result.correlation[i, j]:+.3f}" for i, a in enumerate(names)
                  for j in range(i + 1, len(names)) if abs(result.correlation[i, j]) > 0.8]
        if strong:
            print("correlations above 0.8:", *strong, sep="\n")
    else:
        from kelvara.pdffit import select

        keep = select(data, args.rmin, rmax)
        rw, model = agreement(structure, data, start, **common)
        r, observed = data.r[keep], data.G[keep]
        print(f"Rw = {rw:.5f} over {r.size} points, r = {r[0]:g}..{r[-1]:g} A (nothing refined)")
    written = save_fit(r, observed, model, rw, out, title=f"{name} against {data.source}, {args.radiation}")
    print(f"written to {', '.join(str(p) for p in written)}")
    if args.orderings:
        if structure.is_ordered:
            print("note: the structure is ordered; --orderings has nothing to expand")
        else:
            from kelvara.pdf_disorder import fit_orderings, orderings_table

            fits = fit_orderings(structure, data, args.fit or "scale", start, seeds=range(args.orderings),
                                 **common)
            print(orderings_table(fits))
    return 0
