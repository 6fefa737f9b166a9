"""Structure files by name: the format of a file, reading it, and writers for
derived structures (VASP POSCAR, extended XYZ and CIF in P1).

The writers work on the public API of ``Structure`` (``lattice_matrix``,
``frac_coords``, ``cart_coords``, ``species``), so the files can be read back by
kelvara itself, ASE, pymatgen and VASP. Numbers are written with 12 decimals,
enough for positions to survive a round trip to well below 1e-9.
"""

from __future__ import annotations

import math
import os
import re
import warnings
from collections.abc import Sequence
from typing import TYPE_CHECKING, Union

from kelvara._kelvara import _FORMATS, _structure_format

if TYPE_CHECKING:
    from kelvara._kelvara import Structure

StrPath = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]

__all__ = [
    "FORMATS",
    "format_of",
    "read_structure",
    "read_with_findings",
    "write_cif",
    "write_extxyz",
    "write_poscar",
    "write_structure",
]

_DIGITS = 12

#: Format names and file-name suffixes, each mapped to its reader/writer: "cif",
#: "poscar" or "xyz" (the native readers' own table).
FORMATS: dict[str, str] = dict(_FORMATS)


def format_of(path: StrPath, fmt: str | None = None) -> str:
    """"cif", "poscar" or "xyz" for a file: `fmt` when given (any case; "contcar",
    "vasp" and "extxyz" are accepted too), otherwise from the name: a ``.cif``,
    ``.poscar``, ``.contcar``, ``.vasp``, ``.xyz`` or ``.extxyz`` suffix, or a name
    starting with POSCAR or CONTCAR. Raises ValueError when neither tells."""
    if fmt is not None:
        return _structure_format(str(fmt))
    name = os.path.basename(os.fspath(path))
    suffix = os.path.splitext(name)[1].lower().lstrip(".")
    if suffix in FORMATS:
        return FORMATS[suffix]
    if name.upper().startswith(("POSCAR", "CONTCAR")):
        return "poscar"
    raise ValueError(
        f"cannot tell the format of {name!r} from its name; use a .cif, .xyz, .extxyz or "
        ".vasp extension, a POSCAR/CONTCAR name, or name the format (cif, poscar or xyz)"
    )


def read_with_findings(
    path: StrPath, fmt: str | None = None, block: str | int | None = None
) -> tuple[Structure, list[str]]:
    """Read one structure (format from `format_of`) and return it with the reader's
    findings, the assumptions that shaped it, instead of issuing them as warnings.
    `block` chooses a CIF data block by name or 0-based index (default: the first
    block with atom sites)."""
    from kelvara._kelvara import read_with_findings as read

    return read(path, format_of(path, fmt), block=block)


def read_structure(path: StrPath, fmt: str | None = None, block: str | int | None = None) -> Structure:
    """Read one structure with kelvara's readers, the format from `format_of`.

    Every finding of the reader is issued as a `kelvara.ReadWarning` naming the file.
    `block` chooses a CIF data block by name or 0-based index."""
    from kelvara._kelvara import ReadWarning

    structure, findings = read_with_findings(path, fmt, block)
    shown = os.fspath(path)
    shown = shown if isinstance(shown, str) else os.fsdecode(shown)
    for finding in findings:
        warnings.warn(f"{shown}: {finding}", ReadWarning, stacklevel=2)
    return structure


def _num(value: float) -> str:
    """Fixed-point text with 12 decimals; -0 is written as 0."""
    return f"{value + 0.0:.{_DIGITS}f}"


def _row(values: Sequence[float]) -> str:
    return " ".join(f"{_num(v):>20}" for v in values)


def _require_ordered(structure: Structure, fmt: str) -> None:
    if not structure.is_ordered:
        n = len(structure.disorder_summary())
        raise ValueError(
            f"{fmt} holds exactly one atom per site, but this structure has {n} partially "
            "occupied or mixed site(s); expand it into an ordered supercell first with "
            "`ordered, report = structure.expand_occupancies()`, or write it as CIF, "
            "which keeps occupancies"
        )


def _site_elements(structure: Structure, fmt: str) -> list[str]:
    """The one element of every site of an ordered structure, checked for the format."""
    elements = [next(iter(site)) for site in structure.species]
    for element in elements:
        unreadable = fmt == "POSCAR" and element[:1] in "0123456789+"  # a count to a reader
        if not element or unreadable or any(c.isspace() for c in element):
            raise ValueError(f"element name {element!r} cannot be written to {fmt}")
    return elements


def _write_text(path: StrPath, text: str) -> None:
    from kelvara._files import write_text  # complete or not at all: the old file survives a failure

    write_text(path, text)


def write_poscar(structure: Structure, path: StrPath) -> None:
    """Write an ordered structure as a VASP 5 POSCAR with fractional ("Direct") coordinates.

    Atoms are grouped by element in element order (the order of
    ``structure.elements``), as VASP requires one block per species; within a block
    they keep their site order. Raises ``ValueError`` for a disordered structure:
    expand it first with ``Structure.expand_occupancies``.
    """
    _require_ordered(structure, "POSCAR")
    elements = _site_elements(structure, "POSCAR")
    frac = structure.frac_coords
    order = sorted(set(elements), key=lambda e: e.encode("utf-8"))
    blocks = {e: [i for i, el in enumerate(elements) if el == e] for e in order}
    lines = [structure.formula, "1.0"]
    lines += [_row(row) for row in structure.lattice_matrix]
    lines.append(" ".join(f"{e:>4}" for e in order))
    lines.append(" ".join(f"{len(blocks[e]):>4}" for e in order))
    lines.append("Direct")
    lines += [_row(frac[i]) for e in order for i in blocks[e]]
    _write_text(path, "\n".join(lines) + "\n")


def write_extxyz(structure: Structure, path: StrPath) -> None:
    """Write an ordered structure as extended XYZ with Cartesian positions in Angstrom.

    The comment line carries ``Lattice="..."`` (rows a, b, c),
    ``Properties=species:S:1:pos:R:3`` and ``pbc="T T T"``; atoms keep their site
    order. Raises ``ValueError`` for a disordered structure: expand it first with
    ``Structure.expand_occupancies``.
    """
    _require_ordered(structure, "extended XYZ")
    elements = _site_elements(structure, "extended XYZ")
    lattice = " ".join(_num(v) for row in structure.lattice_matrix for v in row)
    lines = [
        str(len(elements)),
        f'Lattice="{lattice}" Properties=species:S:1:pos:R:3 pbc="T T T"',
    ]
    cart = structure.cart_coords
    for i, xyz in enumerate(cart):
        if not all(math.isfinite(x) for x in xyz):
            # Fractional coordinates far outside the cell (1e308 is legal) overflow.
            raise ValueError(f"site {i} has no finite Cartesian position (fractional "
                             f"{' '.join(f'{x:.6g}' for x in structure.frac_coords[i])}), so extended XYZ cannot hold it; "
                             "wrap the coordinates into the cell, or write POSCAR or CIF")
    lines += [f"{e:<3} {_row(xyz)}" for e, xyz in zip(elements, cart)]
    _write_text(path, "\n".join(lines) + "\n")


def _cell_parameters(matrix: Sequence[Sequence[float]]) -> tuple[list[float], list[float]]:
    """Lengths a, b, c and angles alpha (b^c), beta (a^c), gamma (a^b) in degrees."""
    lengths = [math.sqrt(sum(x * x for x in row)) for row in matrix]

    def angle(i: int, j: int) -> float:
        dot = sum(x * y for x, y in zip(matrix[i], matrix[j]))
        return math.degrees(math.acos(max(-1.0, min(1.0, dot / (lengths[i] * lengths[j])))))

    return lengths, [angle(1, 2), angle(0, 2), angle(0, 1)]


_CIF_SPECIAL = re.compile(r"""^[_#$'"\[\];]|\s|^$|^(data_|loop_|save_|global_|stop_)""", re.I)


def _cif_value(text: str) -> str:
    """A CIF token for `text`, quoted when it would otherwise not read back as itself."""
    if not _CIF_SPECIAL.search(text) and text not in ("?", "."):
        return text
    if "'" not in text:
        return f"'{text}'"
    return f'"{text}"'


def write_cif(structure: Structure, path: StrPath) -> None:
    """Write a structure as a P1 CIF, keeping partial occupancies.

    One ``_atom_site`` row per (site, element): a mixed site becomes several rows at
    the same position, each with its occupancy, which is how CIF readers (kelvara,
    pymatgen, ASE) expect disorder. The cell is written as lengths and angles, so a
    reader rebuilds it in its standard orientation (a along x, b in the xy plane);
    fractional coordinates are unaffected.
    """
    lengths, angles = _cell_parameters(structure.lattice_matrix)
    name = re.sub(r"[^A-Za-z0-9]", "", "".join(structure.elements)) or "structure"
    lines = [
        "# written by kelvara",
        f"data_{name}",
        "_symmetry_space_group_name_H-M 'P 1'",
        "_symmetry_Int_Tables_number 1",
    ]
    for axis, value in zip("abc", lengths):
        lines.append(f"_cell_length_{axis} {_num(value)}")
    for axis, value in zip(("alpha", "beta", "gamma"), angles):
        lines.append(f"_cell_angle_{axis} {_num(value)}")
    lines.append(f"_cell_volume {_num(structure.volume)}")
    lines += ["loop_", "_symmetry_equiv_pos_site_id", "_symmetry_equiv_pos_as_xyz", "1 'x, y, z'"]
    lines += [
        "loop_",
        "_atom_site_label",
        "_atom_site_type_symbol",
        "_atom_site_fract_x",
        "_atom_site_fract_y",
        "_atom_site_fract_z",
        "_atom_site_occupancy",
    ]
    # Displacement parameters go along when any site has one ('?' for a site without).
    uiso = structure.uiso if any(u is not None for u in structure.uiso) else None
    if uiso is not None:
        lines.append("_atom_site_U_iso_or_equiv")
    seen: dict[str, int] = {}
    for index, (site, xyz) in enumerate(zip(structure.species, structure.frac_coords)):
        u = "" if uiso is None else (" ?" if uiso[index] is None else f" {float(uiso[index])!r}")
        for element, occupancy in site.items():
            seen[element] = seen.get(element, 0) + 1
            label = _cif_value(f"{element}{seen[element]}")
            # repr: the shortest text that reads back as the same float (1e-13 stays 1e-13).
            lines.append(f"{label} {_cif_value(element)} {_row(xyz)} {float(occupancy)!r}{u}")
    text = "\n".join(lines) + "\n"
    _check_cif_round_trip(structure, text)
    _write_text(path, text)


def _check_cif_round_trip(structure: Structure, text: str) -> None:
    """Refuses a CIF that would not read back as `structure`: two sites at one place
    (a reader merges them), or an element name a reader cannot take back."""
    seen: dict[tuple[int, int, int], int] = {}
    for i, xyz in enumerate(structure.frac_coords):
        key = tuple(round((x % 1.0) * 1e7) % 10**7 for x in xyz)
        if key in seen:
            raise ValueError(f"sites {seen[key]} and {i} are at the same position; a CIF reader "
                             "merges them into one site, so the file would not read back as this "
                             "structure (give them one site with both species instead)")
        seen[key] = i
    from kelvara._kelvara import Structure as Reader

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            back = Reader.from_cif_str(text)
        except ValueError as error:
            names = ", ".join(repr(e) for e in structure.elements)
            raise ValueError(f"this structure cannot be written to CIF so that it reads back: its "
                             f"element names ({names[:200]}) fail to read as CIF type symbols "
                             f"({error})") from None
    if back.n_sites != structure.n_sites:
        raise ValueError(f"the CIF would read back as {back.n_sites} sites instead of "
                         f"{structure.n_sites}: sites closer than the reader's tolerance merge")
    for i, (want, got) in enumerate(zip(structure.species, back.species)):
        if want != got:
            raise ValueError(f"site {i} would read back from CIF as {got!r} instead of {want!r}; "
                             "rename the elements to plain chemical symbols")


def write_structure(structure: Structure, path: StrPath, fmt: str | None = None) -> None:
    """Write `structure` to `path` in the format named by `fmt` or by the file name.

    `fmt` is "poscar" (also "vasp"), "xyz" (also "extxyz") or "cif", in any case.
    Without it the name decides: ``*.cif``; ``*.xyz`` and ``*.extxyz``; ``*.vasp``,
    ``*.poscar`` and names starting with POSCAR or CONTCAR. POSCAR and XYZ need an
    ordered structure (see ``Structure.expand_occupancies``); CIF keeps occupancies.
    """
    writers = {"poscar": write_poscar, "xyz": write_extxyz, "cif": write_cif}
    writers[format_of(path, fmt)](structure, path)
