"""``kelvara info``, ``expand`` and ``rdf`` of one structure (a trajectory is handed to
``kelvara.cli.trajectory``), and the descriptions the other commands print too."""

from __future__ import annotations

import sys
from collections.abc import Callable
from typing import TYPE_CHECKING

from kelvara.cli.options import ExpandOptions, InfoOptions, RdfOptions
from kelvara.io import format_of, read_structure, read_with_findings

if TYPE_CHECKING:
    from kelvara._kelvara import Structure


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


def command_info(options: InfoOptions) -> int:
    """kelvara info FILE: formula, density, disordered sites and CIF findings."""
    path = options.source.path
    kind, fmt = options.source.kind()
    if kind:
        from kelvara.cli.trajectory import info

        return info(options.source, kind)
    structure, findings = read_with_findings(path, fmt, options.source.block)
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


def cell_text(structure: Structure, report: dict) -> str:
    """"a 2x2x2 supercell", or the combination of lattice vectors with its heights."""
    cell = report.get("cell")
    if cell is None or all(cell["matrix"][r][c] == 0 for r in range(3) for c in range(3) if r != c):
        return "a " + "x".join(str(n) for n in report["scale"]) + " supercell"
    rows = ", ".join("(" + " ".join(str(n) for n in row) + ")" for row in cell["matrix"])
    return (f"a cell of rows {rows} times a, b, c (shortest height {cell['shortest_height']:.2f} A, "
            f"{cell['height_ratio']:.2f} of the longest)")


def print_expansion_report(structure: Structure, expanded: Structure, report: dict) -> None:
    """The supercell, the sites before and after, and requested vs achieved occupancies."""
    print(
        f"expanded into {cell_text(structure, report)}: {structure.n_sites} -> {expanded.n_sites} sites, "
        f"{report['n_vacancies']} vacant"
    )
    for entry in report["occupancy_report"]:
        print(
            f"  {entry['element']:>3}: requested {entry['target_occupancy']:.4f}, "
            f"achieved {entry['actual_occupancy']:.4f} "
            f"({entry['atoms_placed']} of {entry['sites_in_pool']} sites)"
        )
    if "sqs" in report:
        print_sqs_report(report["sqs"])
    for warning in report["warnings"]:
        print(f"warning: {warning}", file=sys.stderr)


def print_sqs_report(sqs: dict) -> None:
    """The largest |alpha| before and after, and alpha per pair and shell."""
    radii = ", ".join(f"{r:.3f}" for r in sqs["shell_radii"])
    print(f"quasirandom arrangement: largest |alpha| over the shells at {radii} A: "
          f"{sqs['objective_before']:.4f} random -> {sqs['objective']:.4f} "
          f"({sqs['chains']} searches, {sqs['steps']} swaps tried, {sqs['seconds']:.1f} s; pairs only, no triplets)")
    several = len({tuple(e["sites"]) for e in sqs["alpha"]}) > 1
    for entry in sqs["alpha"]:
        name = "-".join(entry["pair"]) + (" (sites {}, {})".format(*entry["sites"]) if several else "")
        after = " ".join("    nan" if a != a else f"{a:+.4f}" for a in entry["after"])
        print(f"  alpha {name:>8}: {after}")
    if sqs["stopped"] == "time":
        print(f"note: the time limit ended the search after {sqs['steps']} of {sqs['steps_budget']} swaps; "
              "the best arrangement found so far is kept (--steps without --time reproduces a run)")
    elif sqs["stopped"] == "interrupted":
        print(f"note: interrupted after {sqs['steps']} of {sqs['steps_budget']} swaps; "
              "the best arrangement found so far is kept")


def report_path(output: str) -> str:
    """The report written beside an output: ordered.vasp -> ordered-report.json."""
    import os

    folder, name = os.path.split(os.fspath(output))
    stem, suffix = os.path.splitext(name)
    if suffix.lower().lstrip(".") not in {"cif", "vasp", "poscar", "contcar", "xyz", "extxyz"}:
        stem = name
    return os.path.join(folder, stem + "-report.json")


def write_report(report: dict, path: str, source: str, options: ExpandOptions) -> None:
    """The report as JSON (NaN as null), with where it came from."""
    import json
    import math

    from kelvara import __version__
    from kelvara._files import write_text

    def clean(value):
        if isinstance(value, float) and not math.isfinite(value):
            return None
        if isinstance(value, dict):
            return {k: clean(v) for k, v in value.items()}
        if isinstance(value, (list, tuple)):
            return [clean(v) for v in value]
        return value

    e = options.expansion
    settings = {"max_sites": e.max_sites, "seed": e.seed, "max_denominator": e.max_denominator, "shape": e.shape}
    if options.sqs:
        settings.update(method="sqs", shells=options.sqs.shells, steps=options.sqs.steps, time=options.sqs.time)
    document = {"source": source, "kelvara": __version__, "settings": settings, **clean(report)}
    write_text(path, json.dumps(document, indent=1) + "\n")


def command_expand(options: ExpandOptions) -> int:
    """kelvara expand FILE [-o OUT] [--sqs]: an ordered supercell, its report, the file
    and the report as JSON beside it."""
    source, output, e = options.source, options.output, options.expansion
    if output:
        format_of(output)  # an output name without a known format fails before any work
    structure = read_structure(source.path, source.format, source.block)
    if options.sqs:
        q = options.sqs
        expanded, report = structure.expand_occupancies(
            max_sites=e.max_sites, seed=e.seed, max_denominator=e.max_denominator, method="sqs",
            shells=q.shells, steps=q.steps, time_limit=q.time, n_threads=q.threads,
        )
    else:
        expanded, report = structure.expand_occupancies(
            max_sites=e.max_sites, seed=e.seed, max_denominator=e.max_denominator, shape=e.shape,
        )
    print_expansion_report(structure, expanded, report)
    if output:
        from kelvara.io import write_structure

        write_structure(expanded, output)
        write_report(report, report_path(output), str(source.path), options)
        print(f"wrote {output} and its report {report_path(output)}")
    else:
        print("note: nothing was written; add -o FILE (.cif, .vasp or POSCAR, .xyz) to save the ordered "
              "structure and its report")
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


def command_rdf(options: RdfOptions) -> int:
    """kelvara rdf [FILE]: partial and total RDFs as CSV and figures, with a summary
    per pair; trajectories are averaged over their frames, --expand adds the spread
    over seeded ordered expansions."""
    path, out, folder = options.source.path, options.out, options.folder
    kind, fmt = options.source.kind()
    if kind:
        if options.expand:
            raise ValueError(f"--expand orders the disordered sites of one structure; {path.name} "
                             "is a trajectory (leave out --expand to average its frames)")
        from kelvara.cli.trajectory import rdf

        return rdf(options, kind, plots_available(), progress_bar("frames"))
    structure = read_structure(path, fmt, options.source.block)
    print(describe(path.name, structure))
    disorder = describe_disorder(structure)
    if disorder:
        print("occupancy-weighted curves over the disordered sites:")
        print("\n".join(disorder))
    title = f"{structure.formula} ({path.name})"
    from kelvara.analysis import number_density, partner_densities
    from kelvara.plotting import save_prdf_plots, write_prdf_csv

    r, partials, total = structure.prdf(options.structure_cutoff, options.bin_size, options.threads)
    curves = dict(bin_size=options.bin_size, density=number_density(structure),
                  element_densities=partner_densities(structure))
    if plots_available():
        save_prdf_plots(r, partials, total, folder, title=title, quantity=options.plot, **curves)
    else:
        write_prdf_csv(r, partials, total, folder, **curves)
    print(f"RDF to {options.structure_cutoff:g} A in bins of {options.bin_size:g} A, written to {out}/:")
    print_shell_summary(r, partials, structure, options.bin_size, options.threads)
    if options.expand and structure.is_ordered:
        print("--expand: the structure is ordered, so every expansion is the structure itself; "
              "the RDF above is the only one")
    elif options.expand:
        from kelvara.spread import expansion_spread

        e = options.expansion
        spread = expansion_spread(
            structure, seeds=range(e.seed, e.seed + options.seeds), cutoff=options.structure_cutoff,
            bin_size=options.bin_size, n_threads=options.threads, max_sites=e.max_sites,
            max_denominator=e.max_denominator, shape=e.shape,
        )
        spread.save(folder, title=title)
        print(spread.summary())
    return 0
