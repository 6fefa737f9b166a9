"""The ``kelvara`` command: read a structure, report its disorder, compute and plot RDFs,
expand disordered sites into an ordered supercell.

``kelvara`` alone runs ``kelvara rdf`` on a bundled example structure.
"""

from __future__ import annotations

import argparse
import contextlib
import io
import os
import pathlib
import signal
import sys
import threading
import warnings
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING

from kelvara import __version__
from kelvara.io import FORMATS, format_of, read_structure, read_with_findings

if TYPE_CHECKING:
    from kelvara._kelvara import Structure

DATA = pathlib.Path(__file__).with_name("data")
DEFAULT_EXAMPLE = "SrBaTiO3.cif"

def input_kind(path: pathlib.Path, args: argparse.Namespace) -> tuple[str | None, str | None]:
    """(trajectory format, None) or (None, structure format) for `path`, its name
    looked at once (see ``kelvara.cli_trajectory.input_kind``). An undetermined
    structure format is `args.format` itself, so that the reader names the problem."""
    from kelvara.cli_trajectory import input_kind as kind_of

    kind, fmt = kind_of(path, args.format, args)
    return kind, fmt if fmt is not None or kind else args.format


def describe(name: str, structure: Structure) -> str:
    """A few lines that say what a structure is."""
    from kelvara.analysis import number_density

    density = number_density(structure)
    order = "ordered" if structure.is_ordered else "disordered (partial occupancies)"
    return (
        f"{name}: {structure.formula}\n"
        f"  sites {structure.n_sites}, atoms {structure.n_atoms:g}, "
        f"volume {structure.volume:.3f} A^3, number density {density:.5f} atoms/A^3, {order}"
    )


def describe_disorder(structure: Structure) -> list[str]:
    """One line per disordered site."""
    lines = []
    for entry in structure.disorder_summary():
        occupancies = ", ".join(f"{el} {occ:g}" for el, occ in entry["occupancies"].items())
        x, y, z = entry["frac_coords"]
        vacancy = f", vacancy {entry['vacancy']:.4g}" if entry["vacancy"] > 0 else ""
        lines.append(
            f"  site {entry['site_index']} at ({x:.4f}, {y:.4f}, {z:.4f}): {occupancies}{vacancy}"
        )
    return lines


def progress_bar(label: str) -> tuple[Callable[[int], None], Callable[[], None]]:
    """A running count on stderr when it is a terminal (tqdm when installed)."""
    if not sys.stderr.isatty():
        return (lambda done: None), (lambda: None)
    try:
        from tqdm import tqdm
    except ImportError:

        def update(done: int) -> None:
            print(f"\r{label}: {done}", end="", file=sys.stderr, flush=True)

        return update, lambda: print(file=sys.stderr)
    bar = tqdm(desc=label, unit="frame", file=sys.stderr)

    def advance(done: int) -> None:
        bar.update(done - bar.n)

    return advance, bar.close


# ---- commands ------------------------------------------------------------------------


def command_info(args: argparse.Namespace) -> int:
    """kelvara info FILE: formula, density, disordered sites and CIF findings."""
    path = pathlib.Path(args.file)
    kind, fmt = input_kind(path, args)
    if kind:
        from kelvara.cli_trajectory import info

        return info(path, kind, args)
    structure, findings = read_with_findings(path, fmt, args.block)
    print(describe(path.name, structure))
    if fmt == "cif":
        from kelvara._kelvara import cif_blocks

        blocks = cif_blocks(path)
        if len(blocks) > 1:
            print("data blocks: " + ", ".join(
                f"'{name}' ({rows} atom-site rows)" if rows else f"'{name}' (no atom sites)"
                for name, rows in blocks))
    lines = describe_disorder(structure)
    if lines:
        print(f"{len(lines)} disordered site(s):")
        print("\n".join(lines))
    for finding in findings:
        print(f"note: {finding}")
    return 0


def print_expansion_report(structure: Structure, expanded: Structure, report: dict) -> None:
    """The supercell, the sites before and after, and requested vs achieved occupancies."""
    shape = "x".join(str(n) for n in report["scale"])
    print(
        f"expanded into a {shape} supercell: {structure.n_sites} -> {expanded.n_sites} sites, "
        f"{report['n_vacancies']} vacant"
    )
    for entry in report["occupancy_report"]:
        print(
            f"  {entry['element']:>3}: requested {entry['target_occupancy']:.4f}, "
            f"achieved {entry['actual_occupancy']:.4f} "
            f"({entry['atoms_placed']} of {entry['sites_in_pool']} sites)"
        )
    for warning in report["warnings"]:
        print(f"warning: {warning}", file=sys.stderr)


def command_expand(args: argparse.Namespace) -> int:
    """kelvara expand FILE [-o OUT]: an ordered supercell, its report, and the file."""
    path = pathlib.Path(args.file)
    if args.output:
        format_of(args.output)  # an output name without a known format fails before any work
    structure = read_structure(path, args.format, args.block)
    expanded, report = structure.expand_occupancies(
        max_sites=args.max_sites, seed=args.seed, max_denominator=args.max_denominator,
        shape=args.shape,
    )
    print_expansion_report(structure, expanded, report)
    if args.output:
        from kelvara.io import write_structure

        write_structure(expanded, args.output)
        print(f"wrote {args.output}")
    return 0


def print_shell_summary(r, partials, structure: Structure, bin_size: float,
                        n_threads: int = 0) -> None:
    """First peak, and coordination number up to the first minimum, for every pair.
    Peak positions are the mean pair distance in the peak bin (`refine_peaks`)."""
    from kelvara.analysis import first_shell, normalised_partials, refine_peaks
    from kelvara.plotting import MAX_DRAWN_ELEMENTS

    n_elements = len({centre for centre, _ in partials})
    if n_elements > MAX_DRAWN_ELEMENTS:
        print(f"  {n_elements} element labels make {len(partials)} pairs: the summary per pair is "
              f"left out (it is given for at most {MAX_DRAWN_ELEMENTS} elements); the CSV holds "
              "every curve")
        return
    g = normalised_partials(partials, structure)
    shells = {pair: first_shell(curve, g[pair], r, bin_size) for pair, curve in partials.items()}
    found = {pair: int(round(shell.peak_r / bin_size - 0.5))
             for pair, shell in shells.items() if shell is not None}
    refined = refine_peaks(structure, found, bin_size, n_threads=n_threads)
    for (centre, neighbour), shell in shells.items():
        pair = f"{centre}-{neighbour}"
        if shell is None:
            print(f"  {pair:>7}: no neighbours within the cutoff")
            continue
        peak = (f"  {pair:>7}: first peak at {refined[centre, neighbour]:.3f} A "
                f"(refined within its bin; g = {shell.peak_g:.2f})")
        if shell.coordination is None:
            print(peak)
        else:
            print(f"{peak}, {shell.coordination:.2f} neighbours within {shell.minimum_r:.3f} A")


def plots_available() -> bool:
    """Whether matplotlib can be imported; says what is skipped when it cannot."""
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        print("note: matplotlib is not installed, so only the CSV is written "
              "(pip install 'kelvara[plot]' for figures)", file=sys.stderr)
        return False
    return True


def command_rdf(args: argparse.Namespace) -> int:
    """kelvara rdf [FILE]: partial and total RDFs as CSV and figures, with a summary
    per pair; trajectories are averaged over their frames, --expand adds the spread
    over seeded ordered expansions."""
    path = pathlib.Path(args.file) if args.file else DATA / DEFAULT_EXAMPLE
    out = pathlib.Path(args.out)
    kind, fmt = input_kind(path, args)
    if kind:
        if args.expand:
            raise ValueError(f"--expand orders the disordered sites of one structure; {path.name} "
                             "is a trajectory (leave out --expand to average its frames)")
        from kelvara.cli_trajectory import rdf

        return rdf(path, kind, out, args, plots_available(), progress_bar("frames"))
    structure = read_structure(path, fmt, args.block)
    print(describe(path.name, structure))
    disorder = describe_disorder(structure)
    if disorder:
        print("occupancy-weighted curves over the disordered sites:")
        print("\n".join(disorder))
    title = f"{structure.formula} ({path.name})"
    from kelvara.analysis import number_density, partner_densities
    from kelvara.plotting import save_prdf_plots, write_prdf_csv

    r, partials, total = structure.prdf(args.cutoff, args.bin_size, args.threads)
    curves = dict(bin_size=args.bin_size, density=number_density(structure),
                  element_densities=partner_densities(structure))
    if plots_available():
        save_prdf_plots(r, partials, total, out, title=title, quantity=args.plot, **curves)
    else:
        write_prdf_csv(r, partials, total, out, **curves)
    print(f"RDF to {args.cutoff:g} A in bins of {args.bin_size:g} A, written to {out}/:")
    print_shell_summary(r, partials, structure, args.bin_size, args.threads)
    if args.expand and structure.is_ordered:
        print("--expand: the structure is ordered, so every expansion is the structure itself; "
              "the RDF above is the only one")
    elif args.expand:
        from kelvara.spread import expansion_spread

        spread = expansion_spread(
            structure, seeds=range(args.seed, args.seed + args.seeds), cutoff=args.cutoff,
            bin_size=args.bin_size, n_threads=args.threads, max_sites=args.max_sites,
            max_denominator=args.max_denominator, shape=args.shape,
        )
        spread.save(out, title=title)
        print(spread.summary())
    return 0


def command_pdf(args: argparse.Namespace) -> int:
    """kelvara pdf [FILE]: neutron- or X-ray-weighted G(r) and S(Q) as CSV and a figure;
    with --data, the model against measured G(r), fitted with --fit."""
    from kelvara.scattering import pdf_and_structure_factor

    args.rmax_given = args.rmax is not None
    if args.rmax is None:
        args.rmax = 20.0
    path = pathlib.Path(args.file) if args.file else DATA / DEFAULT_EXAMPLE
    out = pathlib.Path(args.out)
    kind, fmt = input_kind(path, args)
    if kind and not args.data:
        from kelvara.cli_trajectory import pdf

        return pdf(path, kind, out, args)
    if kind:
        raise ValueError(f"--data compares one structure with a measurement; {path.name} holds "
                         "frames: pick one with --start N --stop N+1, or compare in Python "
                         "with kelvara.scattering.total_pdf(kelvara.trajectory.Frames(...))")
    structure = read_structure(path, fmt, args.block)
    print(describe(path.name, structure))
    if args.data:
        from kelvara.pdf_compare import compare_with_data

        return compare_with_data(structure, path.name, args)
    pdf, sq = pdf_and_structure_factor(structure, r_max=args.rmax, bin_size=args.bin_size,
                                       radiation=args.radiation, n_threads=args.threads,
                                       qmax=args.qmax, broadening=args.broadening, qdamp=args.qdamp)
    from kelvara.plotting_pdf import save_pdf

    written = save_pdf(pdf, sq, out, title=f"{structure.formula} ({path.name}), {args.radiation}")
    if args.broadening is not None:
        widths = f"one pair width {args.broadening:g} A (--broadening)"
    elif any(u is not None for u in structure.uiso):
        widths = "pair widths sqrt(U_i + U_j) from the file's displacement parameters"
    else:
        widths = "static structure (the file gives no displacement parameters; set --broadening)"
    print(f"{args.radiation} G(r) to {args.rmax:g} A and S(Q) to {sq.q[-1]:g} 1/A, {widths}, written to "
          f"{', '.join(str(p) for p in written)}")
    return 0


# ---- argument parsing ------------------------------------------------------------------


def build_parser() -> argparse.ArgumentParser:
    """The argument parser of the kelvara command and its subcommands."""
    parser = argparse.ArgumentParser(
        prog="kelvara",
        description="Crystal structures, occupancy-weighted partial RDFs and ordered "
        "expansions. Without a command, runs 'kelvara rdf' on a bundled example.",
    )
    parser.add_argument("--version", action="version", version=f"kelvara {__version__}")
    commands = parser.add_subparsers(dest="command")

    def add_file(p: argparse.ArgumentParser, optional: bool = False) -> None:
        if optional:
            p.add_argument("file", nargs="?", help="structure file (default: a bundled example)")
        else:
            p.add_argument("file", help="structure file: CIF, POSCAR/CONTCAR or extended XYZ")
        from kelvara.cli_trajectory import TRAJECTORY_ONLY

        p.add_argument("--format", type=str.lower, choices=sorted({*FORMATS, *TRAJECTORY_ONLY}),
                       help="file format (default: from the name, else from the first lines)")
        p.add_argument("--block", type=lambda b: int(b) if b.isdigit() else b, default=None,
                       help="CIF data block, by name or 0-based index (default: the first with atoms)")

    def add_expansion(p: argparse.ArgumentParser) -> None:
        p.add_argument("--max-sites", type=int, default=4096, help="site limit of the supercell (4096)")
        p.add_argument("--seed", type=int, default=42, help="seed of the assignment (42)")
        p.add_argument("--max-denominator", type=int, default=16,
                       help="largest denominator tried for an occupancy (16)")
        p.add_argument("--shape", choices=["cube", "any"], default="cube",
                       help="supercell m x m x m (cube, default) or the na x nb x nc closest "
                            "to the occupancies (any)")

    from kelvara.cli_trajectory import add_arguments as add_trajectory

    info = commands.add_parser("info", help="describe a structure and list its disordered sites; "
                               "frames, atoms, elements and cell volumes of a trajectory")
    add_file(info)
    add_trajectory(info, selection=False)
    info.set_defaults(run=command_info)

    expand = commands.add_parser("expand", help="expand partial occupancies into an ordered supercell")
    add_file(expand)
    expand.add_argument("-o", "--output", help="write the ordered structure (.cif, .vasp/POSCAR, .xyz)")
    expand.add_argument("--force", action="store_true", help="replace an existing output file")
    add_expansion(expand)
    expand.set_defaults(run=command_expand)

    rdf = commands.add_parser("rdf", help="partial and total RDFs, written as CSV and figures")
    add_file(rdf, optional=True)
    rdf.add_argument("--cutoff", type=float, default=10.0, help="largest distance in A (10)")
    rdf.add_argument("--bin-size", type=float, default=0.1, help="bin width in A (0.1)")
    rdf.add_argument("--threads", type=int, default=0, help="worker threads (0: all cores)")
    rdf.add_argument("--out", default="kelvara-out", help="output folder (kelvara-out)")
    rdf.add_argument("--force", action="store_true", help="replace files of earlier runs in --out")
    rdf.add_argument("--plot", choices=["density", "g"], default="density",
                     help="figures of neighbour densities (default) or of g(r)")
    rdf.add_argument("--expand", action="store_true",
                     help="also average the RDF over seeded ordered expansions")
    rdf.add_argument("--seeds", type=int, default=8, help="number of expansions with --expand (8)")
    add_expansion(rdf)
    add_trajectory(rdf)
    rdf.set_defaults(run=command_rdf)

    pdf = commands.add_parser("pdf", help="neutron- or X-ray-weighted G(r) and S(Q), as CSV and a figure")
    add_file(pdf, optional=True)
    pdf.add_argument("--radiation", choices=["neutron", "xray"], default="neutron",
                     help="weights: neutron scattering lengths or X-ray form factors (neutron)")
    pdf.add_argument("--rmax", type=float, default=None,
                     help="largest r in A (20; with --data: the data's last point)")
    pdf.add_argument("--bin-size", type=float, default=0.01, help="r step in A (0.01)")
    pdf.add_argument("--qmax", type=float, default=None,
                     help="termination of the data in 1/A (default: none, the ideal PDF)")
    pdf.add_argument("--broadening", type=float, default=None,
                     help="one Gaussian width in A for every pair distance, replacing the file's "
                     "displacement parameters (default: sqrt(U_i + U_j) from the file's Uiso/Biso/Uij; "
                     "static where it gives none)")
    pdf.add_argument("--qdamp", type=float, default=0.0, help="instrument damping in 1/A (0)")
    pdf.add_argument("--threads", type=int, default=0, help="worker threads (0: all cores)")
    pdf.add_argument("--out", default="kelvara-out", help="output folder (kelvara-out)")
    pdf.add_argument("--force", action="store_true", help="replace files of earlier runs in --out")
    add_trajectory(pdf)
    from kelvara.pdf_compare import add_arguments

    add_arguments(pdf)
    pdf.set_defaults(run=command_pdf)
    return parser


# Whole-number options: (attribute, flag, smallest value).
COUNTS = [("threads", "--threads", 0), ("seed", "--seed", 0), ("max_sites", "--max-sites", 0),
          ("max_denominator", "--max-denominator", 0), ("seeds", "--seeds", 1),
          ("every", "--every", 1), ("start", "--start", 0), ("stop", "--stop", 0),
          ("block_size", "--block-size", 1), ("orderings", "--orderings", 0)]
# What each command writes into --out; an earlier run's files are not replaced silently.
OUTPUTS = {"rdf": ("rdf*.csv", "rdf*.png", "expansion_spread.*"),
           "pdf": ("pdf.csv", "pdf.png", "sq.csv", "fit*.csv", "fit*.png")}


def one_line(error: BaseException) -> str:
    """The error's text on one line of reasonable length."""
    text = " ".join(str(error).split()) or type(error).__name__
    return text if len(text) <= 500 else text[:497] + "..."


def check_arguments(args: argparse.Namespace) -> None:
    """Refuses, before any work, counts out of range and outputs that would replace
    existing files without --force."""
    for name, flag, least in COUNTS:
        value = getattr(args, name, None)
        if value is not None and not least <= value < 2**64:
            bound = f"at least {least}" if value < least else "below 2^64"
            raise ValueError(f"{flag} must be {bound}, not {value}")
    force = getattr(args, "force", False)
    output = getattr(args, "output", None)
    if output and os.path.lexists(output) and not force:
        raise ValueError(f"{output} exists; pass --force to replace it")
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
            with contextlib.redirect_stdout(report):
                status = args.run(args)
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


if __name__ == "__main__":
    sys.exit(main())
