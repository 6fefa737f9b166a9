"""Free cell parameters and atomic coordinates of a structure under its symmetry operations.

The operations are (R, t) pairs acting on fractional coordinates, x' = R x + t. Only
operations that map the structure onto itself are used, so a list that the atoms do
not obey constrains nothing it should not. The free cell parameters are those whose
change keeps the metric G invariant (R^T G R = G for every R); the free coordinates of
a site are those its stabiliser (the operations fixing it) leaves free; the images of
a site follow its free coordinates through the operation that made them.
"""

from __future__ import annotations

import itertools
import math
import re
from dataclasses import dataclass
from fractions import Fraction

import numpy as np

# Two positions closer than this (A) after an operation are the same site.
POSITION_TOLERANCE = 2e-3
# Relative change of the metric below which a rotation keeps the cell as it is.
METRIC_TOLERANCE = 1e-5
LATTICE_NAMES = ("a", "b", "c", "alpha", "beta", "gamma")
_OPERATION_TAGS = ("_space_group_symop_operation_xyz", "_symmetry_equiv_pos_as_xyz",
                   "_space_group_symop.operation_xyz", "_symmetry_equiv.pos_as_xyz")
_TERM = re.compile(r"([+-]?)\s*(\d*\.?\d*(?:/\d+)?)\s*\*?\s*([xyz]?)")

Operation = tuple[np.ndarray, np.ndarray]


def parse_operation(text: str) -> Operation:
    """'-x+1/2, y, z' as (R, t); ValueError naming the text when it is not one."""
    parts = text.strip().strip("'\"").lower().replace(" ", "").split(",")
    if len(parts) != 3:
        raise ValueError(f"symmetry operation {text!r} does not have three parts")
    rotation, translation = np.zeros((3, 3)), np.zeros(3)
    for row, part in enumerate(parts):
        position = 0
        while position < len(part):
            found = _TERM.match(part, position)
            if not found or found.end() == position or not (found.group(2) or found.group(3)):
                raise ValueError(f"symmetry operation {text!r}: cannot read {part!r}")
            sign = -1.0 if found.group(1) == "-" else 1.0
            number = float(Fraction(found.group(2))) if found.group(2) else 1.0
            if found.group(3):
                rotation[row, "xyz".index(found.group(3))] += sign * number
            else:
                translation[row] += sign * number
            position = found.end()
    return rotation, translation


def cif_operations(text: str) -> list[Operation]:
    """The symmetry operations listed in the first block of a CIF that lists any; [] when none."""
    lines = text.splitlines()
    for k, line in enumerate(lines):
        if line.strip().lower() not in _OPERATION_TAGS:
            continue
        # The operation column of a loop: count the loop's tags before and after it.
        start = k
        while start > 0 and lines[start - 1].strip().startswith("_"):
            start -= 1
        tags, stop = [], start
        while stop < len(lines) and lines[stop].strip().startswith("_"):
            tags.append(lines[stop].strip().lower())
            stop += 1
        column = tags.index(line.strip().lower())
        operations = []
        for row in lines[stop:]:
            stripped = row.strip()
            if not stripped or stripped.startswith("#"):
                continue
            if stripped.startswith(("_", "loop_", "data_")):
                break
            fields = re.findall(r"'[^']*'|\"[^\"]*\"|\S+", stripped)
            if len(tags) == 1:
                fields = [stripped]
            if column < len(fields):
                operations.append(parse_operation(fields[column]))
        return operations
    return []


def _wrap(delta: np.ndarray) -> np.ndarray:
    return delta - np.round(delta)


@dataclass(frozen=True)
class Orbit:
    """The sites made from one by the operations."""

    label: str
    """Element and number, e.g. "O2"."""
    sites: tuple[int, ...]
    """Site indices in the structure; the first is the representative."""
    rotations: np.ndarray
    """R of the operation taking the representative to each site (sites x 3 x 3)."""
    offsets: np.ndarray
    """t plus the lattice shift of each image: x_site = R x_rep + offset."""
    basis: np.ndarray
    """Free directions of the representative's coordinates (3 x free)."""
    origin: np.ndarray
    """Representative's coordinates on the subspace its stabiliser allows."""
    names: tuple[str, ...]
    """Names of the free coordinates ("x_O2", ...)."""
    stabiliser: np.ndarray
    """Rotations of the operations that fix the representative (n x 3 x 3)."""


@dataclass(frozen=True)
class Symmetry:
    operations: tuple[Operation, ...]
    orbits: tuple[Orbit, ...]
    cell_basis: np.ndarray
    """Free directions in (a, b, c, alpha, beta, gamma), 6 x free."""
    cell_names: tuple[str, ...]
    ignored: int
    """Operations of the list that the atoms do not obey."""
    held: tuple[str, ...] = ()
    """Coordinates held to fix an origin that the operations leave floating."""


def _free_basis(matrix: np.ndarray, n: int) -> tuple[np.ndarray, list[int]]:
    """A basis of the null space of `matrix` (rows x n) with one unit entry per free
    column; also the free columns. Pivots are taken from the last columns first, so the
    first of coordinates or cell parameters tied together is the free one (a of a = b)."""
    basis, free = _reduced_basis(matrix[:, ::-1], n)
    free = [n - 1 - f for f in free]
    order = np.argsort(free)
    return basis[::-1][:, order], [free[k] for k in order]


def _reduced_basis(matrix: np.ndarray, n: int) -> tuple[np.ndarray, list[int]]:
    a = matrix.astype(float).copy()
    pivots: list[int] = []
    row = 0
    for col in range(n):
        if row >= a.shape[0]:
            break
        best = row + int(np.argmax(np.abs(a[row:, col]))) if a.shape[0] > row else row
        if abs(a[best, col]) < 1e-8:
            continue
        a[[row, best]] = a[[best, row]]
        a[row] /= a[row, col]
        for other in range(a.shape[0]):
            if other != row:
                a[other] -= a[other, col] * a[row]
        pivots.append(col)
        row += 1
    free = [c for c in range(n) if c not in pivots]
    basis = np.zeros((n, len(free)))
    for k, f in enumerate(free):
        basis[f, k] = 1.0
        for r, p in enumerate(pivots):
            basis[p, k] = -a[r, f]
    basis[np.abs(basis) < 1e-12] = 0.0
    return basis, free


def cell_parameters(matrix) -> np.ndarray:
    """(a, b, c, alpha, beta, gamma) of a lattice matrix (rows are vectors), A and degrees."""
    m = np.asarray(matrix, dtype=float)
    lengths = np.linalg.norm(m, axis=1)
    angle = [math.degrees(math.acos(np.clip(m[j] @ m[k] / (lengths[j] * lengths[k]), -1, 1)))
             for j, k in ((1, 2), (0, 2), (0, 1))]
    return np.array([*lengths, *angle])


def metric(cell: np.ndarray) -> np.ndarray:
    """The metric tensor G (3 x 3, A^2) of cell parameters (a, b, c, alpha, beta, gamma)."""
    a, b, c = cell[:3]
    ca, cb, cg = (math.cos(math.radians(x)) for x in cell[3:])
    return np.array([[a * a, a * b * cg, a * c * cb], [a * b * cg, b * b, b * c * ca], [a * c * cb, b * c * ca, c * c]])


def metric_derivatives(cell: np.ndarray) -> np.ndarray:
    """dG / d(a, b, c, alpha, beta, gamma), 6 x 3 x 3 (angles per degree)."""
    a, b, c = cell[:3]
    rad = math.pi / 180
    ca, cb, cg = (math.cos(math.radians(x)) for x in cell[3:])
    sa, sb, sg = (math.sin(math.radians(x)) for x in cell[3:])
    d = np.zeros((6, 3, 3))
    d[0] = [[2 * a, b * cg, c * cb], [b * cg, 0, 0], [c * cb, 0, 0]]
    d[1] = [[0, a * cg, 0], [a * cg, 2 * b, c * ca], [0, c * ca, 0]]
    d[2] = [[0, 0, a * cb], [0, 0, b * ca], [a * cb, b * ca, 2 * c]]
    d[3, 1, 2] = d[3, 2, 1] = -b * c * sa * rad
    d[4, 0, 2] = d[4, 2, 0] = -a * c * sb * rad
    d[5, 0, 1] = d[5, 1, 0] = -a * b * sg * rad
    return d


def _kinds(structure) -> list:
    """What a site must keep under an operation: its species and its displacement."""
    return [(tuple(sorted(sp.items())), u) for sp, u in zip(structure.species, structure.uiso)]


def _obeyed(operation: Operation, frac: np.ndarray, lattice: np.ndarray, kinds: list) -> np.ndarray | None:
    """The site each site goes to under `operation`, or None when one goes to no site."""
    rotation, translation = operation
    g = lattice @ lattice.T
    if not np.allclose(rotation.T @ g @ rotation, g, rtol=0, atol=METRIC_TOLERANCE * float(np.max(np.abs(g)))):
        return None  # a rotation that changes lengths or angles of this cell is no symmetry of it
    moved = frac @ rotation.T + translation
    target = np.empty(len(frac), dtype=np.int64)
    for start in range(0, len(frac), 256):  # distances of 256 moved sites to all at a time
        chunk = moved[start:start + 256]
        distance = np.linalg.norm(_wrap(frac[None, :, :] - chunk[:, None, :]) @ lattice, axis=2)
        nearest = np.argmin(distance, axis=1)
        if np.any(distance[np.arange(len(chunk)), nearest] > POSITION_TOLERANCE):
            return None
        target[start:start + len(chunk)] = nearest
    if any(kinds[i] != kinds[j] for i, j in enumerate(target)):
        return None
    return target


def analyse(structure, operations: list[Operation] | None = None) -> Symmetry:
    """Orbits, free coordinates and free cell parameters of `structure` under the
    operations it obeys (P1, the identity alone, when `operations` is empty or None)."""
    identity = (np.eye(3), np.zeros(3))
    listed = list(operations or [])
    frac = np.asarray(structure.frac_coords, dtype=float)
    lattice = np.asarray(structure.lattice_matrix, dtype=float)
    kinds = _kinds(structure)
    kept = [op for op in listed if _obeyed(op, frac, lattice, kinds) is not None]
    if not any(np.allclose(r, np.eye(3)) and np.allclose(_wrap(t), 0) for r, t in kept):
        kept.insert(0, identity)
    ignored = len(listed) - sum(1 for op in listed if any(op is k for k in kept))
    seen = np.full(len(frac), -1)
    orbits: list[Orbit] = []
    counts: dict[str, int] = {}
    for rep in range(len(frac)):
        if seen[rep] >= 0:
            continue
        x = frac[rep]
        images: dict[int, tuple[np.ndarray, np.ndarray]] = {}
        stabiliser = []
        for rotation, translation in kept:
            y = rotation @ x + translation
            distance = np.linalg.norm(_wrap(frac - y) @ lattice, axis=1)
            j = int(np.argmin(distance))
            shift = np.round(frac[j] - y)
            if j == rep:
                stabiliser.append((rotation, translation + shift))
            images.setdefault(j, (rotation, translation + shift))
        # The representative moved onto the subspace its stabiliser fixes (averaged images).
        origin = np.mean([r @ x + t for r, t in stabiliser], axis=0)
        constraint = np.vstack([r - np.eye(3) for r, _ in stabiliser])
        basis, free = _free_basis(constraint, 3)
        element = "".join(el for el, _ in kinds[rep][0])
        counts[element] = counts.get(element, 0) + 1
        label = f"{element}{counts[element]}"
        sites = tuple(sorted(images))
        for j in sites:
            seen[j] = len(orbits)
        orbits.append(Orbit(
            label=label, sites=sites, rotations=np.array([images[j][0] for j in sites]),
            offsets=np.array([images[j][1] for j in sites]), basis=basis, origin=origin,
            names=tuple(f"{'xyz'[f]}_{label}" for f in free),
            stabiliser=np.array([r for r, _ in stabiliser])))
    cell = cell_parameters(lattice)
    rows = []
    derivatives = metric_derivatives(cell)
    for rotation, _ in kept:
        # d(R^T G R - G) for a change of each cell parameter, 9 equations each.
        rows.append(np.stack([(rotation.T @ d @ rotation - d).ravel() for d in derivatives], axis=1))
    cell_basis, free = _free_basis(np.vstack(rows), 6)
    orbits, held = _hold_origin(kept, orbits)
    return Symmetry(tuple(kept), tuple(orbits), cell_basis, tuple(LATTICE_NAMES[f] for f in free), ignored, held)


def _hold_origin(operations: list[Operation], orbits: list[Orbit]) -> tuple[list[Orbit], tuple[str, ...]]:
    """G(r) does not change when every atom moves by one vector that all rotations keep (z
    of a polar group, any direction in P1): along such a direction the origin floats, so the
    first coordinate that moves along it is held."""
    floating, axes = _free_basis(np.vstack([r - np.eye(3) for r, _ in operations]), 3)
    held = []
    for axis in axes:
        for k, orbit in enumerate(orbits):
            columns = [c for c in range(orbit.basis.shape[1]) if orbit.basis[axis, c] == 1.0]
            if not columns:
                continue
            keep = [c for c in range(orbit.basis.shape[1]) if c != columns[0]]
            held.append(orbit.names[columns[0]])
            orbits[k] = Orbit(orbit.label, orbit.sites, orbit.rotations, orbit.offsets, orbit.basis[:, keep],
                              orbit.origin, tuple(orbit.names[c] for c in keep), orbit.stabiliser)
            break
    return orbits, tuple(held)


def find_operations(structure) -> list[Operation]:
    """The operations that map the atoms of `structure` onto themselves, found from the
    atoms (for files that name a space group without listing its operations): rotations
    with entries -1, 0, 1 that keep the metric, with every translation that takes the
    first site onto a site of its kind."""
    frac = np.asarray(structure.frac_coords, dtype=float)
    lattice = np.asarray(structure.lattice_matrix, dtype=float)
    g = lattice @ lattice.T
    entries = np.array(list(itertools.product((-1.0, 0.0, 1.0), repeat=9))).reshape(-1, 3, 3)
    entries = entries[np.abs(np.linalg.det(entries)) > 0.5]
    kept = np.einsum("nji,jk,nkl->nil", entries, g, entries)
    rotations = entries[np.all(np.abs(kept - g) <= METRIC_TOLERANCE * float(np.max(np.abs(g))), axis=(1, 2))]
    kinds = _kinds(structure)
    found = []
    for rotation in rotations:
        moved = rotation @ frac[0]
        for j in range(len(frac)):
            if kinds[j] != kinds[0]:
                continue
            operation = (rotation, _wrap(frac[j] - moved) % 1.0)
            if _obeyed(operation, frac, lattice, kinds) is not None and not any(
                    np.array_equal(rotation, r) and np.allclose(_wrap(operation[1] - t), 0, atol=1e-6)
                    for r, t in found):
                found.append(operation)
    return found
