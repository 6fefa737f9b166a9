"""Trajectory files of every common kind, opened as one stream of frames.

Extended XYZ, LAMMPS text dumps and VASP XDATCAR files are read by kelvara's own
``TrajectoryReader``. Other formats go through a well-kept reader installed as an
extra, imported only when such a file is opened:

- ASE (extra ``ase``) for ASE's own ``.traj`` files (and anything else ``ase.io``
  reads, with ``format="ase"``): the one library that reads them.
- MDAnalysis (extra ``mdanalysis``) for XTC, TRR, DCD, NetCDF and H5MD: these
  binary formats carry positions and the box but no elements, and MDAnalysis
  reads all of them, streaming frame by frame, together with the topology file
  (PDB, GRO, PSF, a LAMMPS data file, ...) that names the atoms. MDTraj reads a
  similar set but is less actively maintained, and ASE reads none of them well.

Every source offers ``read(n) -> (structures, frame_indices)`` (empty lists at
the end), ``frames_read``, ``warnings`` and ``close()``, so the averaging in
``kelvara.trajectory.averaging`` does not depend on where frames come from.
"""

from __future__ import annotations

import os
from collections.abc import Iterable, Iterator, Mapping, Sequence
from typing import Any

from kelvara._kelvara import Structure, TrajectoryReader

__all__ = ["NATIVE_FORMATS", "TRAJECTORY_FORMATS", "atom_types", "open_trajectory", "trajectory_format"]

#: Formats read by kelvara itself.
NATIVE_FORMATS = ("xyz", "lammps-dump", "xdatcar")
#: Every format name accepted, with its aliases.
TRAJECTORY_FORMATS = {
    "xyz": "xyz",
    "extxyz": "xyz",
    "lammps-dump": "lammps-dump",
    "lammps": "lammps-dump",
    "lammpstrj": "lammps-dump",
    "dump": "lammps-dump",
    "xdatcar": "xdatcar",
    "ase": "ase",
    "traj": "ase",
    "mdanalysis": "mdanalysis",
}

_SUFFIXES = {
    "xyz": "xyz",
    "extxyz": "xyz",
    "lammpstrj": "lammps-dump",
    "lammpsdump": "lammps-dump",
    "dump": "lammps-dump",
    "traj": "ase",
    "xtc": "mdanalysis",
    "trr": "mdanalysis",
    "dcd": "mdanalysis",
    "nc": "mdanalysis",
    "ncdf": "mdanalysis",
    "h5md": "mdanalysis",
}


def trajectory_format(path: str | os.PathLike[str] | bytes, fmt: str | None = None) -> str | None:
    """The format of a trajectory file: `fmt` when given (any case, aliases such as
    "lammps" or "extxyz" accepted), else from the name (``.xyz``, ``.extxyz``,
    ``.lammpstrj``, ``.dump``, names starting ``dump.``, names starting ``XDATCAR``,
    ``.traj``, ``.xtc``, ``.trr``, ``.dcd``, ``.nc``, ``.h5md``), else None: the
    native reader then tells xyz, lammps-dump and xdatcar apart from the content."""
    if fmt is not None:
        kind = TRAJECTORY_FORMATS.get(str(fmt).lower())
        if kind is None:
            raise ValueError(
                f"unknown trajectory format {fmt!r}; kelvara reads xyz, lammps-dump and xdatcar, "
                "and through extras ase (.traj) and mdanalysis (xtc, trr, dcd, nc, h5md)"
            )
        return kind
    name = os.path.basename(os.fsdecode(os.fspath(path)))
    if name.upper().startswith("XDATCAR"):
        return "xdatcar"
    if name.lower().startswith("dump."):
        return "lammps-dump"
    suffix = os.path.splitext(name)[1].lower().lstrip(".")
    return _SUFFIXES.get(suffix)


#: The longest type or element name of `types`, in UTF-8 bytes.
LONGEST_NAME = 64


def atom_types(types: Mapping[Any, Any] | Iterable[tuple[Any, Any]] | None) -> dict[str, str] | None:
    """`types` (a mapping, or (type, element) pairs) with the str() of every key, as
    the readers take it. Refused with ValueError, as the native reader refuses them:
    two keys that read as one type ({1: "Si", "1": "O"}: which wins would be an
    accident of order), and a type or element that is empty, holds a NUL character or
    is longer than 64 bytes."""
    if types is None:
        return None
    pairs = types.items() if isinstance(types, Mapping) else types
    out: dict[str, str] = {}
    for key, element in pairs:
        key = str(key)
        if not isinstance(element, str):
            raise TypeError(f"argument 'types': the element of type {key} is not a str "
                            f"(got {type(element).__name__})")
        _check_name(key, "a type")
        _check_name(element, f"the element of type {key}")
        if key in out:
            raise ValueError(f"types: type {key} is given twice ('{out[key]}' and '{element}'); "
                             "give each type one element")
        out[key] = element
    return out


def _check_name(name: str, what: str) -> None:
    size = len(name.encode("utf-8", "surrogatepass"))
    problem = ("is empty" if not name else "contains a NUL character" if "\0" in name else
               f"is {size} bytes long (a name has at most {LONGEST_NAME})" if size > LONGEST_NAME else None)
    if problem:
        raise ValueError(f"types: {what} {problem}")


def open_trajectory(
    path: str | os.PathLike[str] | bytes,
    fmt: str | None = None,
    every: int = 1,
    start: int = 0,
    stop: int | None = None,
    cell: Any = None,
    types: Mapping[Any, str] | None = None,
    topology: str | os.PathLike[str] | None = None,
) -> Any:
    """An open source of the selected frames (see the module docstring)."""
    kind = trajectory_format(path, fmt)
    types = atom_types(types)
    if kind == "ase":
        return _AseFrames(path, every, start, stop)
    if kind == "mdanalysis":
        return _MDAnalysisFrames(path, topology, every, start, stop, types)
    if topology is not None:
        raise ValueError("topology names the atoms of XTC/TRR/DCD/NetCDF/H5MD files; "
                         f"{os.fsdecode(os.fspath(path))} is read without one")
    return TrajectoryReader(path, format=kind, every=every, start=start, stop=stop, cell=cell, types=types)


class _BridgeFrames:
    """Frames from an iterator of (index, Structure), with the reader's interface."""

    def __init__(self, frames: Iterator[tuple[int, Structure]]) -> None:
        self._frames: Iterator[tuple[int, Structure]] | None = frames
        self._cancelled = False
        self.frames_read = 0
        self.warnings: list[str] = []
        self.kept = 0

    def read(self, n: int = 64) -> tuple[list[Structure], list[int]]:
        structures: list[Structure] = []
        indices: list[int] = []
        if self._frames is None:
            return structures, indices
        for index, structure in self._frames:
            if self._cancelled:
                raise InterruptedError("the reading was cancelled")
            structures.append(structure)
            indices.append(index)
            if len(structures) >= n:
                break
        return structures, indices

    def close(self) -> None:
        self._frames = None

    def cancel(self) -> None:
        """Stop a read in progress on another thread after the frame it is reading."""
        self._cancelled = True

    def __enter__(self) -> _BridgeFrames:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


def _selected(count: Iterator[Any], every: int, start: int, stop: int | None, owner: _BridgeFrames) -> Iterator[tuple[int, Any]]:
    """(index, item) of the frames kept by every/start/stop; counts the frames read
    into `owner` and raises the native reader's messages when nothing matched."""
    kept = 0
    for index, item in enumerate(count):
        if stop is not None and index >= stop:
            break
        owner.frames_read = index + 1
        if index >= start and (index - start) % every == 0:
            kept += 1
            yield index, item
    if kept == 0:
        if owner.frames_read == 0:
            raise ValueError("no frames found in the file")
        raise ValueError(f"the file has {owner.frames_read} frame(s) but none matched start/every/stop")


class _AseFrames(_BridgeFrames):
    def __init__(self, path: Any, every: int, start: int, stop: int | None) -> None:
        try:
            import ase.io
        except ImportError:
            raise ImportError("reading this trajectory needs ASE: pip install 'kelvara[ase]'") from None
        from kelvara.interop import from_ase

        name = os.fsdecode(os.fspath(path))
        frames = ase.io.iread(name, index=":")
        super().__init__(
            (index, _structure_of(from_ase, atoms, index)) for index, atoms in _selected(frames, every, start, stop, self)
        )


def _structure_of(convert: Any, atoms: Any, index: int) -> Structure:
    try:
        return convert(atoms)
    except ValueError as error:
        raise ValueError(f"frame {index}: {error}") from None


class _MDAnalysisFrames(_BridgeFrames):
    def __init__(self, path: Any, topology: Any, every: int, start: int, stop: int | None,
                 types: Mapping[Any, str] | None) -> None:
        try:
            import MDAnalysis
        except ImportError:
            raise ImportError("reading this trajectory needs MDAnalysis: pip install 'kelvara[mdanalysis]'") from None
        name = os.fsdecode(os.fspath(path))
        if topology is None:
            raise ValueError(
                f"{os.path.basename(name)} holds positions but no elements: pass the topology file "
                "that names the atoms (topology='system.pdb', a GRO, PSF or LAMMPS data file)"
            )
        universe = MDAnalysis.Universe(os.fsdecode(os.fspath(topology)), name)
        elements = _mdanalysis_elements(universe.atoms, types)
        species = [{element: 1.0} for element in elements]
        atoms = universe.atoms

        def frames() -> Iterator[tuple[int, Structure]]:
            for index, ts in _selected(iter(universe.trajectory), every, start, stop, self):
                if ts.dimensions is None:
                    raise ValueError(f"frame {index} has no box; an RDF of a periodic system needs one")
                matrix = _box_matrix(ts.dimensions)
                yield index, _from_cartesian(matrix, atoms.positions, species)

        super().__init__(frames())


def _mdanalysis_elements(atoms: Any, types: Mapping[Any, str] | None) -> list[str]:
    """Elements of the atoms: through `types` (atom type or name -> element) when
    given, else the topology's elements; refused when neither names them."""
    if types:
        mapping = atom_types(types)
        labels = [str(t) for t in atoms.types]
        missing = sorted(set(labels) - set(mapping))
        if missing:
            raise ValueError(f"atom type(s) {', '.join(missing[:5])} have no element in types")
        return [mapping[t] for t in labels]
    try:
        elements = [str(e) for e in atoms.elements]
    except Exception:  # noqa: BLE001 - MDAnalysis raises NoDataError, an AttributeError/ValueError
        elements = []
    if not elements or any(not e.strip() for e in elements):
        raise ValueError(
            "the topology does not name the elements of its atoms; pass types={'CT': 'C', ...} "
            "mapping its atom types to elements"
        )
    return [e.strip().capitalize() for e in elements]


def _box_matrix(dimensions: Sequence[float]) -> list[list[float]]:
    """Rows a, b, c of the box (a, b, c, alpha, beta, gamma), a along x and b in the xy plane."""
    import numpy as np

    a, b, c, alpha, beta, gamma = (float(x) for x in dimensions)
    ca, cb, cg = (np.cos(np.radians(x)) for x in (alpha, beta, gamma))
    sg = np.sin(np.radians(gamma))
    cx = c * cb
    cy = c * (ca - cb * cg) / sg
    cz = np.sqrt(max(c * c - cx * cx - cy * cy, 0.0))
    return [[a, 0.0, 0.0], [b * cg, b * sg, 0.0], [cx, cy, cz]]


def _from_cartesian(matrix: list[list[float]], positions: Any, species: list[dict[str, float]]) -> Structure:
    import numpy as np

    frac = np.asarray(positions, dtype=float) @ np.linalg.inv(np.asarray(matrix, dtype=float))
    return Structure(matrix, frac.tolist(), species)
