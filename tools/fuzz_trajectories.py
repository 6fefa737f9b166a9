"""Generated LAMMPS dumps and XDATCAR files with known contents, for the fuzzing campaign.

Each case is written from a random run (triclinic or orthogonal boxes, wrapped, scaled and
unwrapped coordinate columns, ids out of order, a cell that changes every frame, VASP 4 and
5 headers, Cartesian configurations) together with what a correct reader returns. The
campaign reads it whole, resumes it from a position part-way through, and, on a share of the
cases, breaks it on purpose (a duplicate id, impossible bounds, a coordinate of 1e300, random
byte edits): then only a clear refusal or a result is allowed.
"""

from __future__ import annotations

import math
import random
from dataclasses import dataclass, field

COLUMNS = {"wrapped": ("x", "y", "z"), "scaled": ("xs", "ys", "zs"),
           "unwrapped": ("xu", "yu", "zu"), "scaled unwrapped": ("xsu", "ysu", "zsu")}
ELEMENTS = ("Si", "O", "Na", "Cl")


@dataclass
class Case:
    """A trajectory text, its format, the reader's arguments and the expected frames:
    per frame the cell rows and the (element, fractional position) of every site in
    the order the reader gives them (by atom id). `refused` holds a piece of the
    message when the text is broken on purpose."""

    text: bytes
    fmt: str
    kwargs: dict = field(default_factory=dict)
    cells: list = field(default_factory=list)
    sites: list = field(default_factory=list)
    refused: str | None = None
    exact: bool = True  # numbers written with repr(): positions compare to 1e-9


def _number(x: float, rng: random.Random, exact: bool) -> str:
    return repr(float(x)) if exact else f"{x:.{rng.choice([4, 6, 8])}f}"


def _cell(rng: random.Random, triclinic: bool, tilt_limit: float) -> list[list[float]]:
    lx, ly, lz = (rng.uniform(4.0, 9.0) for _ in range(3))
    if not triclinic:
        return [[lx, 0.0, 0.0], [0.0, ly, 0.0], [0.0, 0.0, lz]]
    xy, xz = (rng.uniform(-tilt_limit, tilt_limit) * lx for _ in range(2))
    yz = rng.uniform(-tilt_limit, tilt_limit) * ly
    return [[lx, 0.0, 0.0], [xy, ly, 0.0], [xz, yz, lz]]


def _cartesian(frac: list[float], cell: list[list[float]]) -> list[float]:
    return [sum(frac[i] * cell[i][j] for i in range(3)) for j in range(3)]


def lammps_case(rng: random.Random) -> Case:
    n_frames, n_atoms = rng.randint(1, 4), rng.randint(1, 10)
    kind = rng.choice(list(COLUMNS))
    triclinic = rng.random() < 0.6
    exact = rng.random() < 0.7
    by_element = rng.random() < 0.3
    types = {k + 1: ELEMENTS[k] for k in range(rng.randint(1, 3))}
    columns = ["id", "element" if by_element else "type", *COLUMNS[kind]]
    if rng.random() < 0.5:
        columns.append("vx")
    order = columns[:2]
    rng.shuffle(order)  # "type id xs ys zs" as well as "id type ..."
    columns = order + columns[2:]
    atom_types = [rng.choice(list(types)) for _ in range(n_atoms)]
    case = Case(b"", "lammps-dump", {} if by_element else {"types": types}, exact=exact)
    text = []
    for step in range(n_frames):
        cell = _cell(rng, triclinic, 0.5)
        origin = [rng.uniform(-3, 3) for _ in range(3)]
        (lx, _, _), (xy, ly, _), (xz, yz, lz) = cell
        low = min(0.0, xy, xz, xy + xz)
        high = max(0.0, xy, xz, xy + xz)
        bounds = [(origin[0] + low, origin[0] + lx + high), (origin[1] + min(0.0, yz), origin[1] + ly + max(0.0, yz)),
                  (origin[2], origin[2] + lz)]
        tilts = [xy, xz, yz]
        ids = rng.sample(range(1, 10 * n_atoms + 1), n_atoms)
        rows, sites = [], []
        for atom in range(n_atoms):
            frac = [rng.random() for _ in range(3)]
            if "unwrapped" in kind:  # an atom that has crossed the box a few times
                frac = [f + rng.randint(-3, 3) for f in frac]
            if kind.startswith("scaled"):
                position = frac
            else:
                cart = _cartesian(frac, cell)
                position = [c + o for c, o in zip(cart, origin)]
            values = {"id": str(ids[atom]), "type": str(atom_types[atom]), "element": types[atom_types[atom]],
                      "vx": "0.25"}
            for name, x in zip(COLUMNS[kind], position):
                values[name] = _number(x, rng, exact)
            rows.append(" ".join(values[c] for c in columns))
            sites.append((ids[atom], types[atom_types[atom]], frac))
        header = "ITEM: BOX BOUNDS " + ("xy xz yz pp pp pp" if triclinic else "pp pp pp")
        lines = [f"ITEM: TIMESTEP\n{step * 100}\n", f"ITEM: NUMBER OF ATOMS\n{n_atoms}\n", header + "\n"]
        for k, (lo, hi) in enumerate(bounds):
            lines.append(f"{lo!r} {hi!r}" + (f" {tilts[k]!r}" if triclinic else "") + "\n")
        lines.append("ITEM: ATOMS " + " ".join(columns) + "\n")
        lines += [row + "\n" for row in rows]
        text.append("".join(lines))
        case.cells.append(cell)
        case.sites.append([(element, frac) for _, element, frac in sorted(sites)])
    case.text = "".join(text).encode()
    return case


def xdatcar_case(rng: random.Random) -> Case:
    n_frames = rng.randint(1, 4)
    counts = [rng.randint(0, 3) for _ in range(rng.randint(1, 3))]
    if sum(counts) == 0:
        counts[0] = 1
    names = list(ELEMENTS[: len(counts)])
    vasp4 = rng.random() < 0.2
    varying = rng.random() < 0.5
    cartesian = rng.random() < 0.3
    scale = rng.choice([1.0, 1.0, 2.0])
    exact = rng.random() < 0.7
    case = Case(b"", "xdatcar", {"types": {k + 1: n for k, n in enumerate(names)}} if vasp4 else {}, exact=exact)
    cell = _cell(rng, rng.random() < 0.5, 0.3)

    def header(rows: list[list[float]]) -> str:
        lattice = "".join(" ".join(_number(x / scale, rng, True) for x in row) + "\n" for row in rows)
        species = "" if vasp4 else " ".join(names) + "\n"
        return f"run\n{scale!r}\n{lattice}{species}{' '.join(map(str, counts))}\n"

    text = [header(cell)]
    for step in range(n_frames):
        if varying and step:
            cell = _cell(rng, rng.random() < 0.5, 0.3)
            text.append(header(cell))
        mode = "Cartesian" if cartesian else "Direct"
        text.append(f"{mode} configuration= {step + 1:5d}\n")
        sites = []
        for element, count in zip(names, counts):
            for _ in range(count):
                frac = [rng.random() for _ in range(3)]
                written = [x / scale for x in _cartesian(frac, cell)] if cartesian else frac
                text.append(" ".join(_number(x, rng, exact) for x in written) + "\n")
                sites.append((element, frac))
        case.cells.append(cell)
        case.sites.append(sites)
    case.text = "".join(text).encode()
    return case


def break_case(case: Case, rng: random.Random) -> Case:
    """The case with one fault a reader must refuse, named by a piece of its message."""
    text = case.text.decode()
    lines = text.split("\n")
    if case.fmt == "lammps-dump":
        faults = ["bounds", "far"]
        atoms = [k for k, line in enumerate(lines) if line.startswith("ITEM: ATOMS")]
        if int(lines[3]) > 1:  # the atom count of the first frame
            faults.append("duplicate")
        fault = rng.choice(faults)
        if fault == "bounds":  # the upper bound below the lower one
            k = text.index("ITEM: BOX BOUNDS")
            k = text.index("\n", k) + 1
            end = text.index("\n", k)
            words = text[k:end].split()
            words[0], words[1] = words[1], words[0]
            return Case((text[:k] + " ".join(words) + text[end:]).encode(), case.fmt, case.kwargs,
                        refused="a box needs a positive length")
        if fault == "duplicate":
            first = atoms[0] + 1
            id_column = lines[atoms[0]].split()[2:].index("id")
            row = lines[first + 1].split()
            row[id_column] = lines[first].split()[id_column]
            lines[first + 1] = " ".join(row)
            return Case("\n".join(lines).encode(), case.fmt, case.kwargs, refused="occurs twice")
        columns = lines[atoms[0]].split()[2:]
        at = next(k for k, c in enumerate(columns) if c in ("x", "xs", "xu", "xsu"))
        row = lines[atoms[0] + 1].split()
        row[at] = "1e300"
        lines[atoms[0] + 1] = " ".join(row)
        return Case("\n".join(lines).encode(), case.fmt, case.kwargs, refused="more than a million cell lengths")
    at = next(k for k, line in enumerate(lines) if "configuration=" in line) + 1
    lines[at] = "1e300 0 0"
    return Case("\n".join(lines).encode(), case.fmt, case.kwargs, refused="more than a million cell lengths")


def check_frames(case: Case, structures: list, first: int = 0) -> None:
    """The structures read equal the frames from `first` on, cell and sites."""
    tolerance = 1e-9 if case.exact else 2e-4
    assert len(structures) == len(case.cells) - first, (len(structures), len(case.cells), first)
    for structure, cell, sites in zip(structures, case.cells[first:], case.sites[first:]):
        got = structure.lattice_matrix
        assert all(math.isclose(got[i][j], cell[i][j], abs_tol=1e-9) for i in range(3) for j in range(3)), (got, cell)
        assert [next(iter(s)) for s in structure.species] == [e for e, _ in sites], (structure.species, sites)
        for have, (_, want) in zip(structure.frac_coords, sites):
            assert all(abs(a - b) <= tolerance * max(1.0, abs(b)) for a, b in zip(have, want)), (have, want)
