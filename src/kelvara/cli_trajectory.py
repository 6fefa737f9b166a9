"""The trajectory side of the ``kelvara`` command: info, rdf and pdf of a file of frames."""

from __future__ import annotations

import argparse
import math
import pathlib
import sys
from typing import Any

from kelvara.trajectory_formats import TRAJECTORY_FORMATS, trajectory_format

#: --format names that only trajectories have.
TRAJECTORY_ONLY = sorted(set(TRAJECTORY_FORMATS) - {"xyz", "extxyz"})


def add_arguments(p: argparse.ArgumentParser, selection: bool = True) -> None:
    """Frame selection and the options of trajectory readers."""
    if selection:
        p.add_argument("--every", type=int, default=1, help="trajectories: keep every N-th frame")
        p.add_argument("--start", type=int, default=0, help="trajectories: first frame")
        p.add_argument("--stop", type=int, default=None, help="trajectories: stop before this frame")
    p.add_argument("--types", default=None,
                   help="trajectories: elements of atom types, e.g. 1=Si,2=O (LAMMPS dumps "
                        "without an element column)")
    p.add_argument("--topology", default=None,
                   help="trajectories: the file naming the atoms of an XTC/TRR/DCD/NetCDF/H5MD run")
    if selection:
        p.add_argument("--block-size", type=int, default=None,
                       help="trajectories: frames per block for the standard errors "
                            "(default: chosen from the plateau of the blocked error)")


def parse_types(text: str | None) -> dict[str, str] | None:
    """"1=Si,2=O" as {"1": "Si", "2": "O"}."""
    if not text:
        return None
    types = {}
    for item in text.split(","):
        key, sep, value = item.partition("=")
        if not sep or not key.strip() or not value.strip():
            raise ValueError(f"--types takes TYPE=ELEMENT pairs separated by commas, e.g. 1=Si,2=O; "
                             f"cannot read {item!r}")
        types[key.strip()] = value.strip()
    return types


def has_selection(args: argparse.Namespace) -> bool:
    """Whether the command line chose frames (--every, --start or --stop)."""
    return (getattr(args, "every", 1) != 1 or getattr(args, "start", 0) != 0
            or getattr(args, "stop", None) is not None)


def input_kind(path: pathlib.Path, fmt: str | None,
               args: argparse.Namespace) -> tuple[str | None, str | None]:
    """How to read `path`: (trajectory format, None) when it is to be read as a
    trajectory, else (None, structure format), the structure format None when neither
    `fmt` nor the name tells it (the structure reader then says so). The name is
    looked at once.

    A LAMMPS dump, an XDATCAR or a bridged format always is a trajectory; an XYZ file
    is when frame selection is asked for or it holds more than one frame; a name
    that tells nothing is looked at (first lines) when it is no structure format
    either. Frame selection on a single-structure file is an error."""
    structure = _structure_kind(path, fmt)
    kind = trajectory_format(path, fmt) if fmt is None or fmt in TRAJECTORY_FORMATS else None
    if kind is None and fmt is None and structure is None:
        kind = _sniff(path)
    if kind is None or kind == "xyz":
        structure_kind = "xyz" if kind == "xyz" else structure
        if structure_kind != "xyz":
            if has_selection(args):
                raise ValueError("--every, --start and --stop select frames of a trajectory; "
                                 f"{path.name} is not one")
            return None, structure
        if has_selection(args):
            return "xyz", None
        # A pipe is read once: only a regular file is looked at for a second frame.
        if path.is_file() and _frames_at_least(path, 2):
            return "xyz", None
        return None, "xyz"
    return kind, None


def _structure_kind(path: pathlib.Path, fmt: str | None) -> str | None:
    from kelvara.io import format_of

    try:
        return format_of(path, fmt)
    except ValueError:
        return None


def _sniff(path: pathlib.Path) -> str | None:
    """The native reader's reading of the first lines (None when they do not tell or
    the file cannot be opened: the structure readers then give their own error)."""
    from kelvara._kelvara import TrajectoryReader

    try:
        with TrajectoryReader(str(path), stop=0) as reader:
            return reader.format
    except (ValueError, OSError):
        return None


def _frames_at_least(path: pathlib.Path, n: int) -> bool:
    from kelvara._kelvara import TrajectoryReader

    try:
        with TrajectoryReader(str(path), format="xyz", stop=n) as reader:
            return reader.skip(n) >= n
    except (ValueError, OSError):
        return False


def _open(path: pathlib.Path, kind: str, args: argparse.Namespace, every: int = 1,
          start: int = 0, stop: int | None = None) -> Any:
    from kelvara.trajectory_formats import open_trajectory

    return open_trajectory(str(path), kind, every, start, stop, None, parse_types(args.types),
                           args.topology)


def info(path: pathlib.Path, kind: str, args: argparse.Namespace) -> int:
    """kelvara info TRAJ: format, frames, atoms, elements and the range of cell volumes."""
    frames = 0
    atoms: set[int] = set()
    elements: set[str] = set()
    low, high = math.inf, -math.inf
    with _open(path, kind, args) as reader:
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


def _report(result: Any, out: pathlib.Path, path: pathlib.Path) -> None:
    frames = result.frame_indices
    print(f"{path.name}: RDF averaged over {len(frames)} frames (frames {frames[0]}..{frames[-1]}), "
          f"number density {result.density:.5f} atoms/A^3, written to {out}/")
    print(f"standard errors from blocks of {result.block_size} frame(s) "
          f"({len(frames) // result.block_size} blocks)")
    for note in result.warnings:
        print(f"warning: {note}", file=sys.stderr)


def write_csv(result: Any, out: pathlib.Path) -> str:
    """rdf.csv of a trajectory: the single-structure columns (g normalised frame by
    frame) and the standard error of every curve."""
    import os

    from kelvara.plotting import write_columns

    os.makedirs(out, exist_ok=True)
    r = result.r
    columns = {"r_left": r, "r_centre": r + 0.5 * result.bin_size, "total": result.total}
    columns.update({f"{p}-{q}": curve for (p, q), curve in result.partials.items()})
    columns["g_total"] = result.g_total
    columns.update({f"g_{p}-{q}": curve for (p, q), curve in result.g_partials.items()})
    columns["total_err"] = result.total_err
    columns.update({f"{p}-{q}_err": curve for (p, q), curve in result.partials_err.items()})
    columns["g_total_err"] = result.g_total_err
    columns.update({f"g_{p}-{q}_err": curve for (p, q), curve in result.g_partials_err.items()})
    return write_columns(out / "rdf.csv", columns)


def rdf(path: pathlib.Path, kind: str, out: pathlib.Path, args: argparse.Namespace,
        plots: bool, progress: Any) -> int:
    """kelvara rdf TRAJ: the frame-averaged RDF with standard errors, as CSV and figures."""
    from kelvara.trajectory import trajectory_rdf

    update, close = progress
    try:
        result = trajectory_rdf(
            str(path), cutoff=args.cutoff, bin_size=args.bin_size, every=args.every,
            start=args.start, stop=args.stop, n_threads=args.threads, progress=update, fmt=kind,
            types=parse_types(args.types), topology=args.topology, block_size=args.block_size,
        )
    finally:
        close()
    if plots:
        from kelvara.plotting import save_prdf_plots

        errors = {"total": result.total_err, **result.partials_err}
        save_prdf_plots(result.r, result.partials, result.total, str(out), bin_size=args.bin_size,
                        title=f"{path.name}, {result.n_frames} frames", density=result.density,
                        element_densities=result.element_densities,
                        quantity=getattr(args, "plot", "density"), errors=errors)
    write_csv(result, out)  # over the single-structure CSV: g frame by frame, with errors
    _report(result, out, path)
    return 0


def pdf(path: pathlib.Path, kind: str, out: pathlib.Path, args: argparse.Namespace) -> int:
    """kelvara pdf TRAJ: frame-averaged G(r) and S(Q) with standard errors."""
    from kelvara.plotting import write_columns
    from kelvara.plotting_pdf import save_pdf
    from kelvara.scattering import structure_factor, total_pdf
    from kelvara.trajectory import Frames

    frames = Frames(str(path), every=args.every, start=args.start, stop=args.stop, fmt=kind,
                    types=parse_types(args.types), topology=args.topology)
    g = total_pdf(frames, r_max=args.rmax, bin_size=args.bin_size, radiation=args.radiation,
                  n_threads=args.threads, qmax=args.qmax, broadening=args.broadening, qdamp=args.qdamp,
                  block_size=args.block_size)
    sq = structure_factor(frames, r_max=args.rmax, bin_size=args.bin_size, radiation=args.radiation,
                          n_threads=args.threads, broadening=args.broadening, block_size=args.block_size)
    written = save_pdf(g, sq, out, title=f"{path.name}, {g.n_frames} frames, {args.radiation}")
    write_columns(out / "pdf.csv", {"r": g.r, "g": g.g, "G": g.G, "g_err": g.g_err, "G_err": g.G_err})
    q_columns = {"Q": sq.q, "S": sq.S, "S_err": sq.S_err}
    q_columns.update({f"S_{a}-{b}": s for (a, b), s in sq.partials.items()})
    write_columns(out / "sq.csv", q_columns)
    print(f"{path.name}: {args.radiation} G(r) to {args.rmax:g} A and S(Q) averaged over {g.n_frames} "
          f"frames (standard errors from blocks of {g.block_size}), written to "
          f"{', '.join(str(p) for p in written)}")
    for note in dict.fromkeys(g.warnings + sq.warnings):
        print(f"warning: {note}", file=sys.stderr)
    return 0
