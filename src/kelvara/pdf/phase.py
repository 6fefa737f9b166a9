"""One crystal phase of a structural refinement: G(r) and its derivatives from pairs kept live.

Unlike the condensed pair table, the pair list here holds every pair from one
representative of each symmetry-distinct site to its neighbours, so cell and
coordinates can move: each evaluation recomputes the distances from the metric and
the positions, places one Gaussian per pair, and gives the derivatives of G with
respect to the cell, coordinate, displacement and peak-width parameters exactly (no
finite differences). Sites of an orbit share their environment, so the pairs from its
representative count once per site; pairs between two orbits are kept from the lower
one only, counted twice. The list is rebuilt whenever the cell or the positions have
moved far enough that a pair beyond it could come within reach.
"""

from __future__ import annotations

import itertools
import math
from dataclasses import dataclass

import numpy as np

from kelvara._kelvara import _add_peaks
from kelvara.pdf.symmetry import Symmetry, cell_parameters, metric, metric_derivatives

REACH = 5.0  # Gaussians are evaluated out to this many standard deviations
# Extra reach (A) of a rebuilt pair list, so small moves do not rebuild it again.
SLACK = 0.5
# The most (atom, lattice translation) candidates one pair list may scan: a cell so
# flat, or peaks so wide, that it needs more is no cell a fit can use.
MOST_CANDIDATES = 20_000_000


class NotACell(ValueError):
    """Cell parameters that no lattice has (a step of a fit may try them)."""


@dataclass
class Atoms:
    """The atoms of the phase: one per element of every site."""

    site: np.ndarray  # site index of each atom
    orbit: np.ndarray  # orbit index of each atom
    element: list[str]
    occupancy: np.ndarray
    position_basis: np.ndarray  # d frac / d (coordinate parameters), atoms x 3 x n_xyz


class Phase:
    """Cell, positions and displacements of one structure, with the parameters that move them."""

    def __init__(self, structure, symmetry: Symmetry, factors: dict[str, float]):
        self.symmetry = symmetry
        self.structure = structure
        self.cell0 = cell_parameters(structure.lattice_matrix)
        self.frac0 = np.asarray(structure.frac_coords, dtype=float)
        self.factors = factors
        orbit_of = np.empty(structure.n_sites, dtype=np.int64)
        for k, orbit in enumerate(symmetry.orbits):
            orbit_of[list(orbit.sites)] = k
        self.xyz_names = [n for o in symmetry.orbits for n in o.names]
        column = 0
        site_basis = np.zeros((structure.n_sites, 3, len(self.xyz_names)))
        self.site_offsets = np.zeros((structure.n_sites, 3))
        self.site_rotations = np.zeros((structure.n_sites, 3, 3))
        self.xyz0 = np.zeros(len(self.xyz_names))
        self.origins = []
        for orbit in symmetry.orbits:
            n = orbit.basis.shape[1]
            free = [int(np.flatnonzero(orbit.basis[:, k] == 1.0)[0]) for k in range(n)]
            self.xyz0[column:column + n] = orbit.origin[free]
            for site, rotation, offset in zip(orbit.sites, orbit.rotations, orbit.offsets):
                site_basis[site, :, column:column + n] = rotation @ orbit.basis
                self.site_offsets[site] = rotation @ orbit.origin + offset
                self.site_rotations[site] = rotation
            self.origins.append((column, n, orbit.basis, orbit.origin))
            column += n
        sites, elements, occupancy = [], [], []
        for k, species in enumerate(structure.species):
            for element, occ in species.items():
                sites.append(k)
                elements.append(element)
                occupancy.append(occ)
        sites = np.array(sites)
        self.atoms = Atoms(site=sites, orbit=orbit_of[sites], element=elements,
                           occupancy=np.array(occupancy, dtype=float), position_basis=site_basis[sites])
        self.site_basis = site_basis
        self.multiplicity = np.array([len(o.sites) for o in symmetry.orbits], dtype=float)
        self.pairs = None
        self.built_reach = 0.0

    # -- geometry -----------------------------------------------------------------------
    def cell(self, values: np.ndarray) -> np.ndarray:
        """(a, b, c, alpha, beta, gamma) for the free cell parameter values."""
        free = [int(np.flatnonzero(self.symmetry.cell_basis[:, k] == 1.0)[0])
                for k in range(self.symmetry.cell_basis.shape[1])]
        return self.cell0 + self.symmetry.cell_basis @ (values - self.cell0[free])

    def cell_start(self) -> np.ndarray:
        """Start values of the free cell parameters, from the structure's cell."""
        basis = self.symmetry.cell_basis
        return np.array([self.cell0[int(np.flatnonzero(basis[:, k] == 1.0)[0])] for k in range(basis.shape[1])])

    def positions(self, xyz: np.ndarray) -> np.ndarray:
        """Fractional coordinates of every site for the free coordinate values."""
        out = np.empty_like(self.frac0)
        for orbit, (column, n, basis, origin) in zip(self.symmetry.orbits, self.origins):
            free = [int(np.flatnonzero(basis[:, k] == 1.0)[0]) for k in range(n)]
            rep = origin + basis @ (xyz[column:column + n] - origin[free])
            for site, rotation, offset in zip(orbit.sites, orbit.rotations, orbit.offsets):
                out[site] = rotation @ rep + offset
        return out

    def _build(self, frac: np.ndarray, g: np.ndarray, reach: float) -> None:
        """Pairs (origin atom, neighbour atom, lattice translation) closer than `reach`."""
        a = self.atoms
        atom_frac = frac[a.site]
        reciprocal = np.linalg.inv(g)
        spans = [math.ceil(reach * math.sqrt(reciprocal[k, k])) + 1 for k in range(3)]
        candidates = len(a.site) * math.prod(2 * s + 1 for s in spans)
        if candidates > MOST_CANDIDATES:
            raise NotACell(f"pairs within {reach:.4g} A of this cell (heights "
                           f"{', '.join(f'{1 / math.sqrt(reciprocal[k, k]):.3g}' for k in range(3))} A) "
                           f"need {candidates:.3g} candidate translations, more than {MOST_CANDIDATES:,}")
        shifts = np.array(list(itertools.product(*(range(-s, s + 1) for s in spans))), dtype=float)
        origin, neighbour, translation, weight = [], [], [], []
        code = np.unique(a.element, return_inverse=True)[1]
        for k, orbit in enumerate(self.symmetry.orbits):
            later = np.flatnonzero(a.orbit >= k)
            for i in np.flatnonzero(a.site == orbit.sites[0]):
                v = (atom_frac[later] - atom_frac[i])[:, None, :] + shifts[None, :, :]
                d2 = np.einsum("jsa,ab,jsb->js", v, g, v)
                j, s = np.nonzero((d2 < reach * reach) & (d2 > 1e-12))
                j, vectors = later[j], v[j, s]
                # Pairs that an operation fixing the origin maps onto each other keep the
                # same length whatever the free parameters: one of them stands for all.
                best = np.round(vectors * 1e5).astype(np.int64)
                for rotation in orbit.stabiliser:
                    other = np.round(vectors @ rotation.T * 1e5).astype(np.int64)
                    less = np.zeros(len(best), dtype=bool)
                    equal = np.ones(len(best), dtype=bool)
                    for axis in range(3):
                        less |= equal & (other[:, axis] < best[:, axis])
                        equal &= other[:, axis] == best[:, axis]
                    best[less] = other[less]
                keys = np.column_stack([a.orbit[j], code[j], best])
                _, first, count = np.unique(keys, axis=0, return_index=True, return_counts=True)
                origin.append(np.full(first.size, i))
                neighbour.append(j[first])
                translation.append(vectors[first] - (atom_frac[j[first]] - atom_frac[i]))
                weight.append(np.where(a.orbit[j[first]] > k, 2.0, 1.0) * self.multiplicity[k] * count)
        self.pairs = (np.concatenate(origin), np.concatenate(neighbour), np.round(np.concatenate(translation)),
                      np.concatenate(weight))
        self.built_frac, self.built_g, self.built_reach = frac.copy(), g.copy(), reach

    def _reach_holds(self, frac: np.ndarray, g: np.ndarray, needed: float) -> bool:
        """Every pair now closer than `needed` was in the list when it was built."""
        if self.pairs is None:
            return False
        shrink = float(np.min(np.linalg.eigvals(np.linalg.solve(self.built_g, g)).real))
        if not shrink > 0:
            return False
        moved = frac - self.built_frac
        drift = math.sqrt(float(np.max(np.einsum("sa,ab,sb->s", moved, g, moved))))
        return math.sqrt(shrink) * self.built_reach - 2.0 * drift >= needed

    # -- model ----------------------------------------------------------------------------
    def peaks(self, grid_r, step, offset, values: dict, derivatives: list[str]):
        """(1/N r) sum w g(r - d) - 4 pi rho0 r on the grid, and its derivatives with respect to
        the named parameters ("cell:<k>", "xyz:<k>", "u:<atom group>", "delta1", "delta2", "qbroad")."""
        cell = self.cell(values["cell"])
        if not (np.all(cell[:3] > 0) and np.all((cell[3:] > 0) & (cell[3:] < 180))):
            raise NotACell(f"the cell {np.round(cell, 4).tolist()} is not a cell")
        g = metric(cell)
        if not np.all(np.linalg.eigvalsh(g) > 0):
            raise NotACell(f"the cell angles {np.round(cell[3:], 3).tolist()} do not make a cell")
        frac = self.positions(values["xyz"])
        u_atom = values["u_atom"]  # Uiso of every atom
        occ = self.atoms.occupancy * values.get("occ_scale", 1.0)
        top = float(grid_r[-1])
        widest = math.sqrt(2.0 * float(np.max(u_atom)) * max(1.0, 1.0 + (values["qbroad"] * top) ** 2)) + 0.05
        needed = top + REACH * widest
        if not self._reach_holds(frac, g, needed):
            self._build(frac, g, needed + SLACK)
        i, j, n, wpair = self.pairs
        a = self.atoms
        v = frac[a.site[j]] + n - frac[a.site[i]]
        gv = v @ g
        d = np.sqrt(np.einsum("ka,ka->k", gv, v))
        b = np.array([self.factors[el] for el in a.element])
        n_atoms = float(self.structure.n_atoms) if "occ_scale" not in values else float(np.sum(occ))
        mean_b = float(np.sum(occ * b)) / n_atoms
        amp = wpair * occ[i] * occ[j] * b[i] * b[j] / (mean_b * mean_b * n_atoms)
        d1, d2, qb = values["delta1"], values["delta2"], values["qbroad"]
        factor = 1.0 - d1 / d - d2 / (d * d) + (qb * d) ** 2
        usum = u_atom[i] + u_atom[j]
        var = usum * factor
        clamped = var <= 1e-4 * usum
        var = np.where(clamped, 1e-4 * usum, var)
        sigma = np.sqrt(var)
        # Derivatives of d and sigma with respect to each parameter, per pair.
        n_der = len(derivatives)
        dd = np.zeros((d.size, n_der))
        ds = np.zeros((d.size, n_der))
        dfactor_dd = d1 / (d * d) + 2.0 * d2 / d**3 + 2.0 * qb * qb * d
        dsigma_dd = np.where(clamped, 0.0, usum * dfactor_dd / (2.0 * sigma))
        volume = math.sqrt(float(np.linalg.det(g)))
        dvolume = np.zeros(n_der)
        basis = self.symmetry.cell_basis
        dg = metric_derivatives(cell)
        ginv = np.linalg.inv(g)
        xyz_basis = self.site_basis
        for col, name in enumerate(derivatives):
            kind, _, key = name.partition(":")
            if kind == "cell":
                dmetric = np.tensordot(basis[:, int(key)], dg, axes=1)
                dd[:, col] = np.einsum("ka,ab,kb->k", v, dmetric, v) / (2.0 * d)
                dvolume[col] = 0.5 * volume * float(np.sum(ginv * dmetric))
            elif kind == "xyz":
                k = int(key)
                dv = xyz_basis[a.site[j], :, k] - xyz_basis[a.site[i], :, k]
                dd[:, col] = np.einsum("ka,ka->k", gv, dv) / d
            elif kind == "u":
                group = values["u_group"]
                hit = (group[i] == int(key)).astype(float) + (group[j] == int(key)).astype(float)
                ds[:, col] = np.where(clamped, 1e-4, factor) * hit / (2.0 * sigma)
            elif kind in ("delta1", "delta2", "qbroad"):
                dfactor = {"delta1": -1.0 / d, "delta2": -1.0 / (d * d), "qbroad": 2.0 * qb * d * d}[kind]
                ds[:, col] = np.where(clamped, 0.0, usum * dfactor / (2.0 * sigma))
        ds += dsigma_dd[:, None] * dd
        rho_term = 4.0 * math.pi * n_atoms / volume * grid_r
        G, J = _place(grid_r, step, offset, d, sigma, amp / (math.sqrt(2.0 * math.pi) * sigma), dd, ds)
        with np.errstate(divide="ignore", invalid="ignore"):
            inverse_r = np.where(grid_r > 0, 1.0 / grid_r, 0.0)
        G = G * inverse_r - rho_term
        J = J * inverse_r[:, None] + np.outer(rho_term, dvolume / volume)
        return G, J


def _place(r, step, offset, d, sigma, amp, dd, ds):
    """sum_k amp_k exp(-(r - d_k)^2 / 2 sigma_k^2) on the uniform grid r = offset + j step, each
    Gaussian less its value at REACH sigma and zero beyond (G stays continuous as a peak's
    window slides along the grid), and its derivatives sum_k (dG_k/dd_k) dd[k] + (dG_k/dsigma_k)
    ds[k] (the height amp_k taken as proportional to 1 / sigma_k)."""
    G = np.zeros(r.size)
    J = np.zeros((dd.shape[1], r.size))
    arrays = (np.ascontiguousarray(a, dtype=float) for a in (d, sigma, amp, dd, ds))
    _add_peaks(float(offset), float(step), REACH, *arrays, G, J)
    return G, J.T
