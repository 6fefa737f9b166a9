"""What the ``kelvara`` command was asked to do, as typed records built once from the
parsed arguments, and how an input file is to be read."""

from __future__ import annotations

import argparse
import pathlib
from dataclasses import dataclass

from kelvara.trajectory.formats import TRAJECTORY_FORMATS, atom_types, trajectory_format

DATA = pathlib.Path(__file__).parents[1] / "data"
DEFAULT_EXAMPLE = "SrBaTiO3.cif"
#: --format names that only trajectories have.
TRAJECTORY_ONLY = sorted(set(TRAJECTORY_FORMATS) - {"xyz", "extxyz"})


def parse_types(text: str | None) -> dict[str, str] | None:
    """"1=Si,2=O" as {"1": "Si", "2": "O"}; a type given twice is refused."""
    if not text:
        return None
    pairs = []
    for item in text.split(","):
        key, sep, value = item.partition("=")
        if not sep or not key.strip() or not value.strip():
            raise ValueError(f"--types takes TYPE=ELEMENT pairs separated by commas, e.g. 1=Si,2=O; "
                             f"cannot read {item!r}")
        pairs.append((key.strip(), value.strip()))
    return atom_types(pairs)


@dataclass(frozen=True)
class Source:
    """The input file, its format and block, and the frame selection and reader options
    that apply when it is a trajectory."""

    path: pathlib.Path
    format: str | None = None
    block: int | str | None = None
    every: int = 1
    start: int = 0
    stop: int | None = None
    types: str | None = None
    topology: str | None = None
    block_size: int | None = None

    @classmethod
    def from_args(cls, args: argparse.Namespace) -> Source:
        """The Source of parsed command-line arguments."""
        file = args.file[0] if isinstance(args.file, list) and args.file else args.file
        path = pathlib.Path(file) if file else DATA / DEFAULT_EXAMPLE
        # Commands without trajectory options (expand) or without frame selection (info)
        # take the defaults.
        given = {name: getattr(args, name) for name in ("every", "start", "stop", "types", "topology",
                                                         "block_size") if hasattr(args, name)}
        return cls(path, args.format, args.block, **given)

    @property
    def has_selection(self) -> bool:
        """Whether the command line chose frames (--every, --start or --stop)."""
        return self.every != 1 or self.start != 0 or self.stop is not None

    @property
    def atom_types(self) -> dict[str, str] | None:
        """--types as a mapping of atom types to elements."""
        return parse_types(self.types)

    def kind(self) -> tuple[str | None, str | None]:
        """How to read the file: (trajectory format, None) when it is to be read as a
        trajectory, else (None, structure format); the name is looked at once.

        A LAMMPS dump, an XDATCAR or a bridged format always is a trajectory; an XYZ file
        is when frame selection is asked for or it holds more than one frame; a name
        that tells nothing is looked at (first lines) when it is no structure format
        either. Frame selection on a single-structure file is an error. An undetermined
        structure format is `format` itself, so that the reader names the problem."""
        path, fmt = self.path, self.format
        structure = _structure_kind(path, fmt)
        kind = trajectory_format(path, fmt) if fmt is None or fmt in TRAJECTORY_FORMATS else None
        if kind is None and fmt is None and structure is None:
            kind = _sniff(path)
        if kind is not None and kind != "xyz":
            return kind, None
        if kind != "xyz" and structure != "xyz":
            if self.has_selection:
                raise ValueError("--every, --start and --stop select frames of a trajectory; "
                                 f"{path.name} is not one")
            return None, structure if structure is not None else fmt
        # A pipe is read once: only a regular file is looked at for a second frame.
        if self.has_selection or (path.is_file() and _frames_at_least(path, 2)):
            return "xyz", None
        return None, "xyz"


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


@dataclass(frozen=True)
class Expansion:
    """How disordered sites are ordered (``Structure.expand_occupancies``)."""

    max_sites: int = 4096
    seed: int = 42
    max_denominator: int = 16
    shape: str = "cube"

    @classmethod
    def from_args(cls, args: argparse.Namespace) -> Expansion:
        """The Expansion of parsed command-line arguments."""
        return cls(args.max_sites, args.seed, args.max_denominator, args.shape)


@dataclass(frozen=True)
class InfoOptions:
    source: Source

    @classmethod
    def from_args(cls, args: argparse.Namespace) -> InfoOptions:
        """The InfoOptions of parsed command-line arguments."""
        return cls(Source.from_args(args))


@dataclass(frozen=True)
class SqsSearch:
    """The quasirandom search of ``kelvara expand --sqs``."""

    shells: int = 3
    steps: int = 0
    time: float = 0.0
    threads: int = 0


@dataclass(frozen=True)
class ExpandOptions:
    source: Source
    output: str | None
    expansion: Expansion
    sqs: SqsSearch | None = None

    @classmethod
    def from_args(cls, args: argparse.Namespace) -> ExpandOptions:
        """The ExpandOptions of parsed command-line arguments."""
        sqs = SqsSearch(args.shells, args.steps, args.time, args.threads) if args.sqs else None
        return cls(Source.from_args(args), args.output, Expansion.from_args(args), sqs)


class Written:
    """Options of a command that writes a set of files into ``out``: while it runs they go
    into ``stage``, a staging folder that replaces the earlier set whole when the command
    succeeds (``kelvara._output_set``); messages name them as they will be found."""

    out: pathlib.Path
    stage: pathlib.Path | None

    @property
    def folder(self) -> pathlib.Path:
        """Where this run writes its files."""
        return self.stage or self.out

    def shown(self, paths) -> str:
        """Paths written into `folder`, as the user will find them in `out`."""
        return ", ".join(str(self.out / pathlib.Path(p).name) for p in paths)


@dataclass(frozen=True)
class RdfOptions(Written):
    source: Source
    out: pathlib.Path
    cutoff: float | None
    """--cutoff as given (None: 10 A; for a trajectory the minimum-image rule)."""
    bin_size: float
    threads: int
    plot: str
    expand: bool
    seeds: int
    expansion: Expansion
    stage: pathlib.Path | None = None

    @classmethod
    def from_args(cls, args: argparse.Namespace) -> RdfOptions:
        """The RdfOptions of parsed command-line arguments."""
        return cls(Source.from_args(args), pathlib.Path(args.out), args.cutoff, args.bin_size, args.threads,
                   args.plot, args.expand, args.seeds, Expansion.from_args(args))

    @property
    def structure_cutoff(self) -> float:
        """The cutoff of one structure: --cutoff, else 10 A."""
        return 10.0 if self.cutoff is None else self.cutoff


@dataclass(frozen=True)
class PdfOptions(Written):
    source: Source
    out: pathlib.Path
    radiation: str
    rmax: float | None
    """--rmax as given (None: 20 A, or against data the data's last point)."""
    bin_size: float
    qmax: float | None
    broadening: float | None
    qdamp: float
    threads: int
    data: str | None
    fit: str | None
    rmin: float | None
    delta2: float
    orderings: int
    files: tuple[str, ...] = ()
    """Every structure file named (several: one phase each, against --data)."""
    qbroad: float = 0.0
    delta1: float = 0.0
    spdiameter: float | None = None
    errors: str = "scaled"
    given: frozenset[str] = frozenset()
    """Instrument settings set on the command line (they win over the data's header)."""
    stage: pathlib.Path | None = None
    window: str | None = "lorch"
    """The window of S(Q): "lorch", or None for --window none."""

    @classmethod
    def from_args(cls, args: argparse.Namespace) -> PdfOptions:
        """The PdfOptions of parsed command-line arguments."""
        given = frozenset(name for name in ("radiation", "qmax", "qdamp", "qbroad")
                          if getattr(args, name, None) is not None)
        files = tuple(args.file) if isinstance(args.file, list) else ((args.file,) if args.file else ())
        return cls(Source.from_args(args), pathlib.Path(args.out), args.radiation or "neutron", args.rmax,
                   args.bin_size, args.qmax, args.broadening, 0.0 if args.qdamp is None else args.qdamp,
                   args.threads, args.data, args.fit, args.rmin, args.delta2, args.orderings, files,
                   args.qbroad or 0.0, args.delta1, args.spdiameter, args.errors, given,
                   window=None if args.window == "none" else args.window)

    @property
    def r_max(self) -> float:
        """The model's range without data: --rmax, else 20 A."""
        return 20.0 if self.rmax is None else self.rmax



@dataclass(frozen=True)
class AnglesOptions(Written):
    source: Source
    out: pathlib.Path
    triplet: str
    cutoff: float
    bin_deg: float
    threads: int
    stage: pathlib.Path | None = None

    @classmethod
    def from_args(cls, args: argparse.Namespace) -> AnglesOptions:
        """The AnglesOptions of parsed command-line arguments."""
        return cls(Source.from_args(args), pathlib.Path(args.out), args.triplet, args.cutoff, args.bin_deg,
                   args.threads)
