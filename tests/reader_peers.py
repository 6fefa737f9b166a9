"""Reading the same file with gemmi, ASE and pymatgen, and comparing with kelvara."""

from __future__ import annotations

import warnings

import numpy as np

BUNDLED = ["NaCl.cif", "ZnO.cif", "SrBaTiO3.cif", "Si.poscar", "Si.xyz"]


def cellpar(matrix) -> np.ndarray:
    """a, b, c, alpha, beta, gamma of a cell given by its rows."""
    m = np.asarray(matrix, dtype=float)
    lengths = np.linalg.norm(m, axis=1)

    def angle(i, j):
        return np.degrees(np.arccos(np.dot(m[i], m[j]) / (lengths[i] * lengths[j])))

    return np.array([*lengths, angle(1, 2), angle(0, 2), angle(0, 1)])


def kelvara_view(s):
    return cellpar(s.lattice_matrix), [(dict(sp), np.asarray(f)) for sp, f in
                                       zip(s.species, s.frac_coords)]


def group_by_position(cell, sites, tol=1e-4):
    """Merges sites at one position into one species dict (peers that keep them apart)."""
    grouped: list[tuple[dict, np.ndarray]] = []
    for species, frac in sites:
        for other_species, other_frac in grouped:
            d = np.asarray(frac) - other_frac
            d -= np.round(d)
            if np.linalg.norm(d * cell[:3]) < tol:
                for element, occ in species.items():
                    other_species[element] = max(other_species.get(element, 0.0), occ)
                break
        else:
            grouped.append((dict(species), np.asarray(frac, dtype=float)))
    return grouped


def gemmi_view(path):
    import gemmi

    st = gemmi.read_small_structure(str(path))
    cell = np.array([st.cell.a, st.cell.b, st.cell.c, st.cell.alpha, st.cell.beta, st.cell.gamma])
    sites = [({site.element.name: site.occ}, np.array(site.fract.tolist()))
             for site in st.get_all_unit_cell_sites()]
    return cell, group_by_position(cell, sites)


def pymatgen_view(path):
    from pymatgen.core import Structure as PmgStructure

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        s = PmgStructure.from_file(str(path))
    cell = np.array([*s.lattice.abc, *s.lattice.angles])
    sites = [({el.symbol: occ for el, occ in site.species.items()}, site.frac_coords)
             for site in s]
    return cell, sites


def ase_view(path, fmt=None):
    import ase.io

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        atoms = ase.io.read(str(path), format=fmt)
    cell = atoms.cell.cellpar()
    occupancy = atoms.info.get("occupancy")
    kinds = atoms.arrays.get("spacegroup_kinds")
    sites = []
    for i, (symbol, frac) in enumerate(zip(atoms.get_chemical_symbols(),
                                           atoms.get_scaled_positions(wrap=False))):
        species = {symbol: 1.0}
        if occupancy is not None and kinds is not None:
            species = {k: float(v) for k, v in occupancy[str(kinds[i])].items()}
        sites.append((species, frac))
    return cell, sites


def assert_same(kelvara_structure, peer, tol=1e-4):
    """Same cell parameters, site count, positions modulo wrapping and order, occupancies."""
    cell, peer_sites = peer
    own_cell, own_sites = kelvara_view(kelvara_structure)
    np.testing.assert_allclose(own_cell, cell, rtol=1e-6, atol=1e-6)
    assert len(own_sites) == len(peer_sites), (len(own_sites), len(peer_sites))
    unmatched = list(peer_sites)
    for species, frac in own_sites:
        for k, (peer_species, peer_frac) in enumerate(unmatched):
            d = frac - np.asarray(peer_frac, dtype=float)
            d -= np.round(d)
            if np.linalg.norm(d * own_cell[:3]) < tol:
                assert set(species) == set(peer_species), (species, peer_species)
                for element in species:
                    assert abs(species[element] - peer_species[element]) < 1e-9
                del unmatched[k]
                break
        else:
            raise AssertionError(f"no peer site at {frac} ({species})")
