"""The trajectory side of the ``kelvara`` command: info, rdf and pdf of a file of frames."""

from __future__ import annotations

import math
import pathlib
import sys
from typing import Any

from kelvara.cli.options import PdfOptions, RdfOptions, Source


def _open(source: Source, kind: str) -> Any:
    from kelvara.trajectory.formats import open_trajectory

    return open_trajectory(str(source.path), kind, 1, 0, None, None, source.atom_types, source.topology)


def info(source: Source, kind: str) -> int:
    """kelvara info TRAJ: format, frames, atoms, elements and the range of cell volumes."""
    path = source.path
    frames = 0
    atoms: set[int] = set()
    elements: set[str] = set()
    low, high = math.inf, -math.inf
    with _open(source, kind) as reader:
        while True:
            structures, _ = reader.read(64)
            if not structures:
                break
            for s in structures:
                frames += 1
                atoms.add(s.n_sites)
                elements.update(s.elements)
                low, high = min(low, s.volume), max(high, s.volume)
    counts = f"{min(atoms)}" if len(atoms) == 1 else f"{min(atoms)} to {max(atoms)}"
    print(f"{path.name}: {kind} trajectory")
    print(f"  frames {frames}, atoms per frame {counts}, elements {' '.join(sorted(elements))}")
    print(f"  cell volume {low:.3f} A^3" if low == high else
          f"  cell volume {low:.3f} to {high:.3f} A^3 ({(high - low) / low * 100:.2f}% apart)")
    return 0


def _report(result: Any, out: pathlib.Path, path: pathlib.Path, cutoff_given: bool) -> None:
    from kelvara.analysis import first_shell

    frames = result.frame_indices
    print(f"{path.name}: RDF averaged over {len(frames)} frames (frames {frames[0]}..{frames[-1]}), "
          f"number density {result.density:.5f} atoms/A^3, written to {out}/")
    if not cutoff_given:
        print(f"cutoff {result.cutoff:g} A: the largest whole number of bins within half the smallest box "
              f"height ({result.minimum_image_limit:.4g} A, the minimum-image limit), at most 10 A; "
              "--cutoff sets another")
    print(f"standard errors of g(r) from blocks of {result.block_size} frame(s) "
          f"({len(frames) // result.block_size} blocks)")
    for (centre, neighbour), shell in first_shell(result).items():
        pair = f"{centre}-{neighbour}"
        if shell is None:
            print(f"  {pair:>7}: no neighbours within the cutoff")
            continue
        peak = (f"  {pair:>7}: first peak at {shell.peak_r:.3f} +/- {shell.peak_r_err or 0.0:.3f} A "
                f"(g = {shell.peak_g:.2f} +/- {shell.peak_g_err:.2f})")
        if shell.coordination is None:
            print(f"{peak}, no first minimum within the cutoff")
        else:
            print(f"{peak}, {shell.coordination:.3f} +/- {shell.coordination_err:.3f} neighbours within "
                  f"{shell.minimum_r:.3f} A")
    for note in result.warnings:
        print(f"warning: {note}", file=sys.stderr)


def write_csv(result: Any, out: pathlib.Path) -> str:
    """rdf.csv of a trajectory: the single-structure columns (g normalised frame by
    frame), the running coordination numbers, and the standard error of every curve."""
    import os

    from kelvara.plotting import write_columns

    os.makedirs(out, exist_ok=True)
    r = result.r
    columns = {"r_left": r, "r_centre": r + 0.5 * result.bin_size, "total": result.total}
    columns.update({f"{p}-{q}": curve for (p, q), curve in result.partials.items()})
    columns["g_total"] = result.g_total
    columns.update({f"g_{p}-{q}": curve for (p, q), curve in result.g_partials.items()})
    columns.update({f"cn_{p}-{q}": curve for (p, q), curve in result.coordination.items()})
    columns["total_err"] = result.total_err
    columns.update({f"{p}-{q}_err": curve for (p, q), curve in result.partials_err.items()})
    columns["g_total_err"] = result.g_total_err
    columns.update({f"g_{p}-{q}_err": curve for (p, q), curve in result.g_partials_err.items()})
    columns.update({f"cn_{p}-{q}_err": curve for (p, q), curve in result.coordination_err.items()})
    return write_columns(out / "rdf.csv", columns)


def rdf(options: RdfOptions, kind: str, plots: bool, progress: Any) -> int:
    """kelvara rdf TRAJ: the frame-averaged RDF with standard errors, as CSV and figures."""
    import warnings

    from kelvara.trajectory.averaging import trajectory_rdf

    source, out = options.source, options.out
    update, close = progress
    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            result = trajectory_rdf(
                str(source.path), cutoff=options.cutoff, bin_size=options.bin_size, every=source.every,
                start=source.start, stop=source.stop, n_threads=options.threads, progress=update, fmt=kind,
                types=source.atom_types, topology=source.topology, block_size=source.block_size,
            )
    finally:
        close()
    for w in caught:  # the result's own warnings are reported with it, below
        if str(w.message) not in result.warnings:
            warnings.showwarning(w.message, w.category, w.filename, w.lineno)
    write_csv(result, options.folder)
    if plots:
        from kelvara.plotting import save_prdf_plots

        errors = {"total": result.total_err, **result.partials_err}
        save_prdf_plots(result.r, result.partials, result.total, str(options.folder), bin_size=options.bin_size,
                        title=f"{source.path.name}, {result.n_frames} frames", density=result.density,
                        element_densities=result.element_densities, quantity=options.plot, errors=errors,
                        table=False)
    _report(result, out, source.path, options.cutoff is not None)
    return 0


def pdf(options: PdfOptions, kind: str) -> int:
    """kelvara pdf TRAJ: frame-averaged G(r) and S(Q) with standard errors."""
    from kelvara.pdf import structure_factor, total_pdf
    from kelvara.pdf.plots import save_pdf, window_note
    from kelvara.trajectory.averaging import Frames

    source, radiation = options.source, options.radiation
    frames = Frames(str(source.path), every=source.every, start=source.start, stop=source.stop, fmt=kind,
                    types=source.atom_types, topology=source.topology)
    g = total_pdf(frames, r_max=options.rmax, bin_size=options.bin_size, radiation=radiation,
                  n_threads=options.threads, qmax=options.qmax, broadening=options.broadening,
                  qdamp=options.qdamp, block_size=source.block_size)
    r_max = float(g.r[-1] + 0.5 * options.bin_size)  # for the report: the bins of G(r) end there
    sq = structure_factor(frames, r_max=options.rmax, bin_size=options.bin_size, radiation=radiation,
                          window=options.window, n_threads=options.threads, broadening=options.broadening,
                          block_size=source.block_size)
    written = save_pdf(g, sq, options.folder, title=f"{source.path.name}, {g.n_frames} frames, {radiation}")
    print(f"{source.path.name}: {radiation} G(r) to {r_max:g} A and S(Q) averaged over {g.n_frames} frames, "
          f"written to {options.shown(written)}")
    if options.rmax is None:
        print(f"r_max {r_max:g} A: the largest whole number of bins within half the smallest box height "
              f"({g.minimum_image_limit:.4g} A, the minimum-image limit), at most 20 A; --rmax sets another")
    print(f"S(Q) with {window_note(sq.window)}")
    print(f"standard errors of G(r) from blocks of {g.block_size} frame(s), of S(Q) from blocks of "
          f"{sq.block_size}")
    for note in dict.fromkeys(g.warnings + sq.warnings):
        print(f"warning: {note}", file=sys.stderr)
    return 0
