"""The ``kelvara`` command: read a structure, report its disorder, compute and plot RDFs,
expand disordered sites into an ordered supercell, G(r) and S(Q) against data.

``kelvara`` alone runs ``kelvara rdf`` on a bundled example structure. The commands
live in ``structure`` (info, expand, rdf of one structure), ``trajectory`` (the same
of a file of frames), ``pdf`` and ``angles``; each takes a record of ``options`` built here once.
"""

from __future__ import annotations

import argparse
import contextlib
import dataclasses
import importlib
import io
import math
import os
import pathlib
import signal
import sys
import threading
import warnings
from collections.abc import Sequence

from kelvara import __version__
from kelvara.cli import options
from kelvara.cli.options import DATA, DEFAULT_EXAMPLE, TRAJECTORY_ONLY
from kelvara.io import FORMATS

__all__ = ["DATA", "DEFAULT_EXAMPLE", "build_parser", "main"]


def _add_file(p: argparse.ArgumentParser, optional: bool = False, several: bool = False) -> None:
    if several:
        p.add_argument("file", nargs="*",
                       help="structure file (default: a bundled example); against --data, several "
                            "files are the phases of a mixture")
    elif optional:
        p.add_argument("file", nargs="?", help="structure file (default: a bundled example)")
    else:
        p.add_argument("file", help="structure file: CIF, POSCAR/CONTCAR or extended XYZ")
    p.add_argument("--format", type=str.lower, choices=sorted({*FORMATS, *TRAJECTORY_ONLY}),
                   help="file format (default: from the name, else from the first lines)")
    p.add_argument("--block", type=lambda b: int(b) if b.isdigit() else b, default=None,
                   help="CIF data block, by name or 0-based index (default: the first with atoms)")


def _add_trajectory(p: argparse.ArgumentParser, selection: bool = True) -> None:
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


def _add_expansion(p: argparse.ArgumentParser) -> None:
    p.add_argument("--max-sites", type=int, default=4096, help="site limit of the supercell (4096)")
    p.add_argument("--seed", type=int, default=42, help="seed of the assignment (42)")
    p.add_argument("--max-denominator", type=int, default=16,
                   help="largest denominator tried for an occupancy (16)")
    p.add_argument("--shape", choices=["cube", "any"], default="cube",
                   help="supercell m x m x m (cube, default) or the na x nb x nc closest "
                        "to the occupancies (any)")


def _add_pdf_data(p: argparse.ArgumentParser) -> None:
    """The options of a comparison with measured data."""
    p.add_argument("--data", help="measured G(r): a .gr file or columns r G [dG] / r G dr dG")
    p.add_argument("--fit", default=None,
                   help="parameters to refine, e.g. scale,cell,xyz,uiso,delta2: cell (the free cell "
                   "parameters), xyz (the free coordinates), uiso (per element), uiso_site (per site), "
                   "uiso_<element or site>, occ_<site>, qdamp, qbroad, delta1, delta2, spdiameter, qmax, "
                   "lattice_scale")
    p.add_argument("--rmin", type=float, default=None, help="lower end of the compared range in A")
    p.add_argument("--delta1", type=float, default=0.0, help="correlated-motion term delta1 in A (0)")
    p.add_argument("--delta2", type=float, default=0.0, help="correlated-motion term delta2 in A^2 (0)")
    p.add_argument("--qbroad", type=float, default=None,
                   help="peak broadening with r in 1/A (default: the data's header, else 0)")
    p.add_argument("--spdiameter", type=float, default=None, help="diameter of spherical particles in A")
    p.add_argument("--errors", choices=["scaled", "unscaled"], default="scaled",
                   help="uncertainties: sqrt(chi2_red) x sqrt(diag((J^T W J)^-1)) (scaled, default), or "
                   "without the sqrt(chi2_red) factor as PDFfit2 reports them (unscaled)")
    p.add_argument("--orderings", type=int, default=0,
                   help="also fit N seeded ordered expansions of a disordered structure")


def _command(module: str, function: str):
    """``kelvara.cli.<module>.<function>``, imported when its command runs: ``kelvara
    --help`` or ``kelvara info`` loads nothing of the commands it does not run."""

    def run(record: object) -> int:
        return getattr(importlib.import_module(f"kelvara.cli.{module}"), function)(record)

    return run


def build_parser() -> argparse.ArgumentParser:
    """The argument parser of the kelvara command and its subcommands."""
    parser = argparse.ArgumentParser(
        prog="kelvara",
        description="Crystal structures, occupancy-weighted partial RDFs and ordered "
        "expansions. Without a command, runs 'kelvara rdf' on a bundled example.",
    )
    parser.add_argument("--version", action="version", version=f"kelvara {__version__}")
    commands = parser.add_subparsers(dest="command")

    info = commands.add_parser("info", help="describe a structure and list its disordered sites; "
                               "frames, atoms, elements and cell volumes of a trajectory")
    _add_file(info)
    _add_trajectory(info, selection=False)
    info.set_defaults(run=_command("structure", "command_info"), record=options.InfoOptions)

    expand = commands.add_parser("expand", help="expand partial occupancies into an ordered supercell")
    _add_file(expand)
    expand.add_argument("-o", "--output", help="write the ordered structure (.cif, .vasp/POSCAR, .xyz)")
    expand.add_argument("--force", action="store_true", help="replace an existing output file")
    _add_expansion(expand)
    expand.add_argument("--sqs", action="store_true",
                        help="special quasirandom structure: the disordered sites arranged so that the "
                             "pair correlations of the first shells match the random alloy")
    expand.add_argument("--shells", type=int, default=3, help="--sqs: neighbour shells matched (3)")
    expand.add_argument("--steps", type=int, default=0,
                        help="--sqs: swaps tried by each of the 4 searches (default: 3000 + 150 per site)")
    expand.add_argument("--time", type=float, default=0.0,
                        help="--sqs: stop after this many seconds with the best arrangement so far")
    expand.add_argument("--threads", type=int, default=0, help="--sqs: worker threads (0: all)")
    expand.set_defaults(run=_command("structure", "command_expand"), record=options.ExpandOptions)

    rdf = commands.add_parser("rdf", help="partial and total RDFs, written as CSV and figures")
    _add_file(rdf, optional=True)
    rdf.add_argument("--cutoff", type=float, default=None,
                     help="largest distance in A (10; for a trajectory at most half the smallest box "
                          "height, the minimum-image limit)")
    rdf.add_argument("--bin-size", type=float, default=0.1, help="bin width in A (0.1)")
    rdf.add_argument("--threads", type=int, default=0, help="worker threads (0: all cores)")
    rdf.add_argument("--out", default="kelvara-out", help="output folder (kelvara-out)")
    rdf.add_argument("--force", action="store_true", help="replace files of earlier runs in --out")
    rdf.add_argument("--plot", choices=["density", "g"], default="density",
                     help="figures of neighbour densities (default) or of g(r)")
    rdf.add_argument("--expand", action="store_true",
                     help="also average the RDF over seeded ordered expansions")
    rdf.add_argument("--seeds", type=int, default=8, help="number of expansions with --expand (8)")
    _add_expansion(rdf)
    _add_trajectory(rdf)
    rdf.set_defaults(run=_command("structure", "command_rdf"), record=options.RdfOptions)

    pdf = commands.add_parser("pdf", help="neutron- or X-ray-weighted G(r) and S(Q), as CSV and a figure")
    _add_file(pdf, several=True)
    pdf.add_argument("--radiation", choices=["neutron", "xray"], default=None,
                     help="weights: neutron scattering lengths or X-ray form factors (neutron)")
    pdf.add_argument("--rmax", type=float, default=None,
                     help="largest r in A (20; with --data: the data's last point; for a trajectory "
                          "at most half the smallest box height, the minimum-image limit)")
    pdf.add_argument("--bin-size", type=float, default=0.01, help="r step in A (0.01)")
    pdf.add_argument("--qmax", type=float, default=None,
                     help="termination of the data in 1/A (default: none, the ideal PDF)")
    pdf.add_argument("--broadening", type=float, default=None,
                     help="one Gaussian width in A for every pair distance, replacing the file's "
                     "displacement parameters (default: sqrt(U_i + U_j) from the file's Uiso/Biso/Uij; "
                     "static where it gives none)")
    pdf.add_argument("--qdamp", type=float, default=None,
                     help="instrument damping in 1/A (default: the data's header, else 0)")
    pdf.add_argument("--window", choices=["lorch", "none"], default="lorch",
                     help="window on g(r) - 1 before the transform to S(Q): the Lorch function "
                          "(default; damps the ripples of the cut at rmax, broadens the peaks) or none")
    pdf.add_argument("--threads", type=int, default=0, help="worker threads (0: all cores)")
    pdf.add_argument("--out", default="kelvara-out", help="output folder (kelvara-out)")
    pdf.add_argument("--force", action="store_true", help="replace files of earlier runs in --out")
    _add_trajectory(pdf)
    _add_pdf_data(pdf)
    pdf.set_defaults(run=_command("pdf", "command_pdf"), record=options.PdfOptions)

    angles = commands.add_parser("angles", help="bond-angle distribution, written as CSV and a figure")
    _add_file(angles)
    angles.add_argument("--triplet", required=True,
                        help="neighbour-centre-neighbour elements, e.g. O-Si-O")
    angles.add_argument("--cutoff", type=float, required=True,
                        help="both neighbours within this distance of the centre, in A")
    angles.add_argument("--bin-deg", type=float, default=1.0, help="bin width in degrees (1)")
    angles.add_argument("--threads", type=int, default=0, help="worker threads (0: all cores)")
    angles.add_argument("--out", default="kelvara-out", help="output folder (kelvara-out)")
    angles.add_argument("--force", action="store_true", help="replace files of earlier runs in --out")
    _add_trajectory(angles)
    angles.set_defaults(run=_command("angles", "command_angles"), record=options.AnglesOptions)
    return parser


# Whole-number options: (attribute, flag, smallest value).
COUNTS = [("threads", "--threads", 0), ("seed", "--seed", 0), ("max_sites", "--max-sites", 0),
          ("max_denominator", "--max-denominator", 0), ("seeds", "--seeds", 1),
          ("every", "--every", 1), ("start", "--start", 0), ("stop", "--stop", 0),
          ("block_size", "--block-size", 1), ("orderings", "--orderings", 0),
          ("shells", "--shells", 1), ("steps", "--steps", 0)]
# What each command writes into --out; an earlier run's files are not replaced silently.
OUTPUTS = {"rdf": ("rdf*.csv", "rdf*.png", "expansion_spread.*"), "angles": ("angles.csv", "angles.png"),
           "pdf": ("pdf.csv", "pdf.png", "sq.csv", "fit*.csv", "fit*.png", "fit.json", "*_refined.cif")}
# Numeric options that must be finite numbers when given.
FINITE = ("rmin", "rmax", "qmax", "qdamp", "qbroad", "delta1", "delta2", "spdiameter", "broadening", "bin_size",
          "cutoff", "bin_deg")
# Largest values of counts whose every unit is a costly piece of work.
LARGEST = {"orderings": 1000}


def one_line(error: BaseException) -> str:
    """The error's text on one line of reasonable length."""
    text = " ".join(str(error).split()) or type(error).__name__
    return text if len(text) <= 500 else text[:497] + "..."


def check_arguments(args: argparse.Namespace) -> None:
    """Refuses, before any work, counts out of range and outputs that would replace
    existing files without --force."""
    for name, flag, least in COUNTS:
        value = getattr(args, name, None)
        largest = LARGEST.get(name, 2**64 - 1)
        if value is not None and not least <= value <= largest:
            bound = f"at least {least}" if value < least else f"at most {largest}" if name in LARGEST else "below 2^64"
            why = " (each is a fit)" if name == "orderings" and value > largest else ""
            raise ValueError(f"{flag} must be {bound}{why}, not {value}")
    for name in FINITE:
        value = getattr(args, name, None)
        if value is not None and not math.isfinite(value):
            raise ValueError(f"--{name.replace('_', '-')} must be a finite number, not {value}")
    force = getattr(args, "force", False)
    output = getattr(args, "output", None)
    if output and os.path.lexists(output) and not force:
        raise ValueError(f"{output} exists; pass --force to replace it")
    if output and getattr(args, "command", None) == "expand":
        from kelvara.cli.structure import report_path

        if os.path.lexists(report_path(output)) and not force:
            raise ValueError(f"{report_path(output)} (the report beside {output}) exists; "
                             "pass --force to replace it")
    if getattr(args, "time", 0.0) is not None and not getattr(args, "time", 0.0) >= 0:
        raise ValueError(f"--time must be a number of seconds, 0 or more, not {args.time}")
    if getattr(args, "sqs", False) and args.shape != "cube":
        raise ValueError("--sqs picks its own compact cell; leave out --shape")
    if not getattr(args, "sqs", True) and any(
            getattr(args, name) != default
            for name, default in (("shells", 3), ("steps", 0), ("time", 0.0), ("threads", 0))):
        raise ValueError("--shells, --steps, --time and --threads set the search of --sqs; "
                         "add --sqs or leave them out")
    out = getattr(args, "out", None)
    if out is not None:
        folder = pathlib.Path(out)
        if folder.exists() and not folder.is_dir():
            raise ValueError(f"--out {out} is a file, not a folder")
        if folder.is_dir() and not force:
            patterns = OUTPUTS.get(getattr(args, "command", None) or "rdf", ())
            earlier = sorted({p.name for pattern in patterns for p in folder.glob(pattern)})
            if earlier:
                raise ValueError(f"{out} already holds {', '.join(earlier[:3])}"
                                 f"{' ...' if len(earlier) > 3 else ''} from an earlier run; "
                                 "pass --force to replace them, or choose another --out")


@contextlib.contextmanager
def _output_set(record: object, command: str):
    """`record` with a staging folder for its files when the command writes a set of
    them into --out: the set replaces the earlier run's whole, or not at all (a failed,
    interrupted or terminated run leaves the earlier set as it was)."""
    if not isinstance(record, options.Written):
        yield record
        return
    from kelvara._output_set import output_set

    with output_set(record.out, OUTPUTS[command]) as stage:
        yield dataclasses.replace(record, stage=stage)


class Terminated(BaseException):
    """SIGTERM (a batch scheduler's kill, `kill PID`), raised where the command stands so
    that a half-written output is removed as after Ctrl-C."""


def _terminate(signum: int, frame: object) -> None:
    raise Terminated


def main(argv: Sequence[str] | None = None) -> int:
    """Entry point of the kelvara command; returns the exit status (1 on a bad input)."""
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.command is None:
        args = parser.parse_args(["rdf", *(argv or [])])
    from kelvara import ReadWarning

    shown_as_usual = warnings.showwarning

    def show(message, category, *rest) -> None:  # one line, every time
        if issubclass(category, UserWarning):
            print(f"warning: {message}", file=sys.stderr)
        else:
            shown_as_usual(message, category, *rest)

    on_main_thread = threading.current_thread() is threading.main_thread()
    previous = signal.signal(signal.SIGTERM, _terminate) if on_main_thread else None
    with warnings.catch_warnings():
        warnings.simplefilter("always", ReadWarning)
        warnings.showwarning = show
        # What a command prints reaches stdout only when it succeeds: a failure
        # leaves one line on stderr and nothing half-reported on stdout.
        report = io.StringIO()
        try:
            check_arguments(args)
            record = args.record.from_args(args)
            with contextlib.redirect_stdout(report), _output_set(record, args.command) as record:
                status = args.run(record)
        except (ValueError, OSError, OverflowError) as error:
            print(f"kelvara: {one_line(error)}", file=sys.stderr)
            return 1
        except MemoryError as error:
            print(f"kelvara: out of memory{': ' + one_line(error) if str(error) else ''}", file=sys.stderr)
            return 1
        except KeyboardInterrupt:
            print("kelvara: interrupted", file=sys.stderr)
            return 130
        except Terminated:
            print("kelvara: terminated", file=sys.stderr)
            return 143
        finally:
            if on_main_thread:
                signal.signal(signal.SIGTERM, previous)
        sys.stdout.write(report.getvalue())
        return status
