# Type information for the compiled module kelvara._kelvara.
import os
from collections.abc import Callable, Mapping, Sequence
from typing import Literal, NotRequired, SupportsFloat, SupportsIndex, TypedDict, Union

import numpy as np
import numpy.typing as npt

__version__: str

_Path = Union[str, bytes, os.PathLike[str], os.PathLike[bytes]]

class ReadWarning(UserWarning): ...

_FloatArray = npt.NDArray[np.float64]

class DisorderEntry(TypedDict):
    site_index: int
    frac_coords: list[float]
    occupancies: dict[str, float]
    total_occupancy: float
    vacancy: float

class OccupancyEntry(TypedDict):
    element: str
    target_occupancy: float
    sites_in_pool: int
    atoms_placed: int
    actual_occupancy: float

class _ExpansionCell(TypedDict):
    matrix: list[list[int]]
    lattice: list[list[float]]
    shortest_height: float
    longest_height: float
    height_ratio: float

class _SroPair(TypedDict):
    pair: list[str]
    sites: list[int]
    before: list[float]
    after: list[float]

class _SqsSearch(TypedDict):
    objective: float
    objective_before: float
    shell_radii: list[float]
    alpha: list[_SroPair]
    pools: list[str]
    pool_sites: list[int]
    steps: int
    steps_budget: int
    chains: int
    seconds: float
    stopped: str | None

class ExpansionReport(TypedDict):
    scale: list[int]
    n_vacancies: int
    warnings: list[str]
    occupancy_report: list[OccupancyEntry]
    cell: NotRequired[_ExpansionCell]
    composition: NotRequired[dict[str, float]]
    sqs: NotRequired[_SqsSearch]

class Structure:
    def __new__(
        cls,
        matrix: Sequence[Sequence[SupportsFloat]] | npt.ArrayLike,
        frac_coords: Sequence[Sequence[SupportsFloat]] | npt.ArrayLike,
        species: Sequence[Mapping[str, SupportsFloat]],
        uiso: Sequence[SupportsFloat | None] | None = None,
    ) -> Structure: ...
    def __reduce__(self) -> tuple[Callable[..., Structure], tuple[object, ...]]: ...
    @classmethod
    def _from_state(
        cls,
        matrix: Sequence[Sequence[float]],
        frac_coords: Sequence[Sequence[float]],
        pairs: Sequence[Sequence[tuple[str, float]]],
        uiso: Sequence[float | None] | None,
    ) -> Structure: ...
    def __len__(self) -> int: ...
    def __eq__(self, other: object) -> bool: ...
    @classmethod
    def from_cif(cls, path: _Path, symprec: SupportsFloat = 1e-4, block: str | int | None = None) -> Structure:
        """Read a CIF, keeping partial occupancies as they are written.

        The symmetry operations (listed, or those of the named space group) are
        applied to every atom-site row. `symprec` is the merging tolerance in
        fractional coordinates: symmetry images closer than `symprec` along each of
        a, b and c are one site, and rows on one position become one site with mixed
        species. `block` picks the data block by name or 0-based index (default: the
        first with atom sites). What the reader assumed is issued as a
        ``kelvara.ReadWarning``; `path` may be str, bytes or os.PathLike.
        """
    @classmethod
    def from_poscar(cls, path: _Path) -> Structure: ...
    @classmethod
    def from_xyz(cls, path: _Path) -> Structure: ...
    @classmethod
    def from_str(
        cls, text: str, fmt: str, symprec: SupportsFloat = 1e-4, block: str | int | None = None
    ) -> Structure: ...
    @classmethod
    def from_cif_str(
        cls, text: str, symprec: SupportsFloat = 1e-4, block: str | int | None = None
    ) -> Structure: ...
    @property
    def n_sites(self) -> int:
        """Number of sites (a site shared by several elements counts once)."""
    @property
    def n_atoms(self) -> float: ...
    @property
    def is_ordered(self) -> bool:
        """True when every site holds one element with occupancy 1 (within 1e-6)."""
    @property
    def volume(self) -> float:
        """Cell volume in Å³."""
    @property
    def elements(self) -> list[str]:
        """Element symbols present, each once, in byte-wise alphabetical order."""
    @property
    def composition(self) -> dict[str, float]:
        """{element: summed occupancy over all sites} in the order of `elements`: atoms per cell, fractional where sites are partly occupied."""
    @property
    def formula(self) -> str: ...
    @property
    def lattice_matrix(self) -> list[list[float]]:
        """The cell as three rows a, b, c of Cartesian components in Å."""
    @property
    def frac_coords(self) -> list[list[float]]:
        """Fractional coordinates [x, y, z] along a, b, c, one list per site, as stored (not wrapped into [0, 1))."""
    @property
    def cart_coords(self) -> list[list[float]]:
        """Cartesian coordinates [x, y, z] in Å, one list per site: x·a + y·b + z·c."""
    @property
    def species(self) -> list[dict[str, float]]: ...
    @property
    def uiso(self) -> list[float | None]: ...
    def disorder_summary(self) -> list[DisorderEntry]: ...
    @staticmethod
    def available_threads() -> int:
        """Number of worker threads of the shared pool, which runs every call with `n_threads=0`."""
    def make_supercell(self, na: SupportsIndex, nb: SupportsIndex, nc: SupportsIndex) -> Structure:
        """A new structure of na x nb x nc copies of this cell (each count at least 1).

        The lattice vectors are scaled by na, nb, nc; the sites come image by image
        (the first count outermost), each image listing every site in order."""
    def prdf(
        self,
        cutoff: SupportsFloat = 10.0,
        bin_size: SupportsFloat = 0.1,
        n_threads: SupportsIndex = 0,
        save_plots: str | None = None,
        title: str | None = None,
    ) -> tuple[_FloatArray, dict[tuple[str, str], _FloatArray], _FloatArray]: ...
    def total_rdf(
        self,
        cutoff: SupportsFloat = 10.0,
        bin_size: SupportsFloat = 0.1,
        n_threads: SupportsIndex = 0,
    ) -> tuple[_FloatArray, _FloatArray]: ...
    def _pair_counts(
        self,
        cutoff: SupportsFloat = 10.0,
        bin_size: SupportsFloat = 0.1,
        n_threads: SupportsIndex = 0,
        self_images: bool = True,
    ) -> tuple[_FloatArray, dict[tuple[str, str], _FloatArray], _FloatArray]: ...
    def expand_occupancies(
        self,
        max_sites: SupportsIndex = 4096,
        seed: SupportsIndex = 42,
        max_denominator: SupportsIndex = 16,
        *,
        shape: Literal["cube", "any"] = "cube",
        method: Literal["random", "sqs"] = "random",
        shells: SupportsIndex = 3,
        steps: SupportsIndex = 0,
        time_limit: SupportsFloat = 0.0,
        n_threads: SupportsIndex = 0,
        min_height_ratio: SupportsFloat = 0.5,
    ) -> tuple[Structure, ExpansionReport]:
        """Expand partial occupancies into an explicit ordered supercell.

        Each occupancy is approximated by a fraction with a denominator of at most
        `max_denominator`; the supercell is the smallest that makes every one a whole
        number of atoms, shrunk until it holds at most `max_sites` sites. The elements
        are dealt over the copies of each disordered site by a shuffle seeded with
        `seed`, so the same seed gives the same structure (this Structure is not
        changed).

        shape='cube' uses an m x m x m supercell; shape='any' searches na x nb x nc
        shapes for the one that comes closest to the occupancies within max_sites, and
        combines the lattice vectors instead when that one is flatter than
        min_height_ratio (shortest over longest perpendicular height).

        method='sqs' builds a special quasirandom structure: the largest cell within
        max_sites that holds the composition exactly, as the most compact combination
        of the lattice vectors, its disordered sites arranged by a seeded annealing of
        swaps so that the Warren-Cowley alpha of the first `shells` neighbour shells
        come as close to 0 as the cell allows (pairs only, no triplets). `steps` swaps
        per search (0: by size), `time_limit` seconds at most (0: none); the result is
        the same for any n_threads. Ctrl-C returns the best arrangement so far.

        Returns ``(ordered, report)``; the report is a dict with the keys

        - ``"scale"``: [na, nb, nc], the supercell multipliers along a, b, c;
        - ``"n_vacancies"``: sites of the supercell left empty (occupancies below 1);
        - ``"warnings"``: texts saying what was approximated (occupancies that need a
          larger cell than `max_sites` allows, with the worst deviation; elements that
          got no atom); empty when the occupancies came out as asked;
        - ``"occupancy_report"``: one dict per element of each group of equivalent
          disordered sites: ``"element"``, ``"target_occupancy"`` (as the site gives
          it), ``"sites_in_pool"`` (supercell sites of the group), ``"atoms_placed"``
          and ``"actual_occupancy"`` (atoms_placed / sites_in_pool).

        With shape='any' or method='sqs' the report also holds "cell" (the supercell's
        rows as integer combinations of this cell's, its lattice, shortest and longest
        perpendicular heights and their ratio) and "composition"; with method='sqs',
        "sqs": the largest |alpha| before and after ("objective_before", "objective"),
        the shell radii, alpha per pair of species and sites, steps, seconds, and why
        it stopped early ("time", "interrupted") or None.
        """
    def _neighbour_shells(
        self, shells: SupportsIndex, sites: Sequence[SupportsIndex] | None = None, n_threads: SupportsIndex = 0
    ) -> tuple[list[float], list[float]]: ...
    def _shell_pair_counts(
        self, bounds: Sequence[SupportsFloat], n_threads: SupportsIndex = 0
    ) -> tuple[list[str], _FloatArray]: ...

def read_xyz_trajectory(
    path: str,
    every: SupportsIndex = 1,
    start: SupportsIndex = 0,
    stop: SupportsIndex | None = None,
    cell: Sequence[Sequence[SupportsFloat]] | npt.ArrayLike | None = None,
) -> tuple[list[Structure], list[int], int]: ...


class TrajectoryReader:
    def __init__(
        self,
        path: str | bytes | os.PathLike[str] | os.PathLike[bytes],
        format: str | None = None,
        every: SupportsIndex = 1,
        start: SupportsIndex = 0,
        stop: SupportsIndex | None = None,
        cell: Sequence[Sequence[SupportsFloat]] | npt.ArrayLike | None = None,
        types: Mapping[object, str] | None = None,
        position: tuple[int, int] | None = None,
    ) -> None: ...
    def read(self, n: SupportsIndex = 64, warn: bool = True) -> tuple[list[Structure], list[int]]: ...
    def skip(self, n: SupportsIndex) -> int: ...
    def close(self) -> None: ...
    def cancel(self) -> None: ...
    def __enter__(self) -> TrajectoryReader: ...
    def __exit__(self, *exc: object) -> bool: ...
    def __iter__(self) -> TrajectoryReader: ...
    def __next__(self) -> tuple[int, Structure]: ...
    @property
    def position(self) -> tuple[int, int]: ...
    @property
    def format(self) -> str: ...
    @property
    def frames_read(self) -> int: ...
    @property
    def closed(self) -> bool: ...
    @property
    def warnings(self) -> list[str]: ...
    @property
    def findings(self) -> list[str]: ...

def read_with_findings(
    source: _Path,
    fmt: str,
    *,
    is_text: bool = False,
    symprec: SupportsFloat = 1e-4,
    block: str | int | None = None,
) -> tuple[Structure, list[str]]: ...

def cif_blocks(source: _Path | str, *, is_text: bool = False) -> list[tuple[str, int]]: ...

# The package's own: the format table of the readers, what prdf(save_plots=...) calls,
# the shells the RDF curves are divided by, and the refinement's peak sum.
_FORMATS: dict[str, str]

def _structure_format(name: str, /) -> str: ...
def _set_prdf_saver(function: Callable[..., object], /) -> None: ...
def _shell_volumes(n_bins: SupportsIndex, bin_size: SupportsFloat, cutoff: SupportsFloat | None = None) -> _FloatArray: ...
def _add_peaks(offset: float, step: float, reach: float, d: _FloatArray, sigma: _FloatArray, amp: _FloatArray,
               dd: _FloatArray, ds: _FloatArray, G: _FloatArray, J: _FloatArray, /) -> None: ...
def _frames_prdf(
    structures: Sequence[Structure], cutoff: float, bin_size: float, n_threads: int = 0,
    self_images: bool = True,
) -> list[tuple[npt.NDArray[np.float64], dict[tuple[str, str], npt.NDArray[np.float64]], npt.NDArray[np.float64]]]: ...
def _frames_bond_angles(
    structures: Sequence[Structure], centre: str, first: str, second: str, cutoff: float,
    bin_deg: float = 1.0, n_threads: int = 0, self_images: bool = True,
) -> tuple[npt.NDArray[np.float64], list[npt.NDArray[np.float64]]]: ...
