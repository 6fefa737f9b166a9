"""``kelvara angles``: the bond-angle distribution of a structure, or averaged over the
frames of a trajectory with standard errors, as CSV and a figure."""

from __future__ import annotations

import pathlib
import sys
from typing import Any

from kelvara.cli.options import AnglesOptions


def command_angles(options: AnglesOptions) -> int:
    """kelvara angles FILE --triplet O-Si-O --cutoff 2.0: angles.csv and angles.png."""
    from kelvara.analysis import bond_angles
    from kelvara.io import read_structure
    from kelvara.plotting import write_columns

    source, out = options.source, options.folder
    parts = options.triplet.split("-")
    if len(parts) != 3 or not all(p.strip() for p in parts):
        raise ValueError(f"--triplet takes three elements, neighbour-centre-neighbour such as O-Si-O, "
                         f"not {options.triplet!r}")
    first, centre, second = (p.strip() for p in parts)
    kind, fmt = source.kind()
    if kind:
        from kelvara.trajectory.averaging import Frames

        target: Any = Frames(str(source.path), every=source.every, start=source.start, stop=source.stop,
                             fmt=kind, types=source.atom_types, topology=source.topology)
    else:
        target = read_structure(source.path, fmt, source.block)
    result = bond_angles(target, centre, (first, second), options.cutoff, bin_deg=options.bin_deg,
                         n_threads=options.threads, block_size=source.block_size)
    out.mkdir(parents=True, exist_ok=True)
    columns = {"angle": result.angles, "p": result.p}
    if result.p_err is not None:
        columns["p_err"] = result.p_err
    written = [write_columns(out / "angles.csv", columns)]
    figure = _figure(result, out / "angles.png", f"{source.path.name}")
    if figure:
        written.append(figure)
    name = "-".join(result.triplet)
    peak = int(result.p.argmax())
    err = f" +/- {result.p_err[peak]:.4f}" if result.p_err is not None else ""
    over = f"averaged over {result.n_frames} frames" if kind else "of the structure"
    print(f"{source.path.name}: {name} angles within {options.cutoff:g} A {over}, in bins of "
          f"{options.bin_deg:g} degrees, written to {options.shown(written)}")
    print(f"  {result.angles_per_centre:.3f} angles per {centre}, mean angle {result.mean:.2f} degrees, "
          f"most frequent {result.angles[peak]:g} degrees (fraction {result.p[peak]:.4f}{err})")
    if kind:
        print(f"standard errors of the angle distribution from blocks of {result.block_size} frame(s)")
    for note in result.warnings:
        print(f"warning: {note}", file=sys.stderr)
    return 0


def _figure(result: Any, path: pathlib.Path, title: str) -> str | None:
    try:
        from matplotlib.backends.backend_agg import FigureCanvasAgg
        from matplotlib.figure import Figure
    except ImportError:
        return None
    from kelvara._files import save_figure

    figure = Figure(figsize=(7.0, 4.2), layout="constrained")
    FigureCanvasAgg(figure)
    axes = figure.add_subplot()
    name = "-".join(result.triplet)
    axes.plot(result.angles, result.p, color="#1f3b73", lw=1.3, label=f"{name} within {result.cutoff:g} Å")
    if result.p_err is not None:
        axes.fill_between(result.angles, result.p - result.p_err, result.p + result.p_err, color="#1f3b73",
                          alpha=0.25, lw=0, label="± one standard error")
    axes.set_xlabel("angle (degrees)")
    axes.set_ylabel("fraction of angles per bin")
    axes.set_xlim(0, 180)
    axes.set_ylim(bottom=0)
    axes.set_title(f"{title}, {result.n_frames} frame(s)" if result.p_err is not None else title)
    axes.legend(fontsize=8, frameon=False)
    save_figure(figure, path, dpi=150)
    return str(path)
