"""Reading the same file with gemmi, ASE and pymatgen, and comparing with kelvara."""

from __future__ import annotations

import warnings

import numpy as np

BUNDLED = ["NaCl.cif", "ZnO.cif", "SrBaTiO3.cif", "Si.poscar", "Si.xyz"]


def gemmi_view(path):
    """gemmi lists the species sharing a position as separate sites: they are grouped here."""
    import gemmi

    st = gemmi.read_small_structure(str(path))
    cell = np.array([st.cell.a, st.cell.b, st.cell.c, st.cell.alpha, st.cell.beta, st.cell.gamma])
    grouped: list[tuple[dict, np.ndarray]] = []
    for site in st.get_all_unit_cell_sites():
        frac = np.array(site.fract.tolist())
        for species, other in grouped:
            if np.linalg.norm((frac - other - np.round(frac - other)) * cell[:3]) < 1e-4:
                species[site.element.name] = max(species.get(site.element.name, 0.0), site.occ)
                break
        else:
            grouped.append(({site.element.name: site.occ}, frac))
    return cell, grouped


def pymatgen_view(path):
    from pymatgen.core import Structure as PmgStructure

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        s = PmgStructure.from_file(str(path))
    return np.array([*s.lattice.abc, *s.lattice.angles]), [
        ({el.symbol: occ for el, occ in site.species.items()}, site.frac_coords) for site in s]


def ase_view(path, fmt=None):
    import ase.io

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        atoms = ase.io.read(str(path), format=fmt)
    occupancy, kinds = atoms.info.get("occupancy"), atoms.arrays.get("spacegroup_kinds")
    sites = []
    for i, (symbol, frac) in enumerate(zip(atoms.get_chemical_symbols(),
                                           atoms.get_scaled_positions(wrap=False))):
        species = {symbol: 1.0}
        if occupancy is not None and kinds is not None:
            species = {k: float(v) for k, v in occupancy[str(kinds[i])].items()}
        sites.append((species, frac))
    return atoms.cell.cellpar(), sites


def assert_same(kelvara_structure, peer, tol=1e-4):
    """Same cell parameters, site count, positions modulo wrapping and order, occupancies."""
    from ase.geometry import cell_to_cellpar

    cell, peer_sites = peer
    own_cell = cell_to_cellpar(np.array(kelvara_structure.lattice_matrix))
    np.testing.assert_allclose(own_cell, cell, rtol=1e-6, atol=1e-6)
    assert kelvara_structure.n_sites == len(peer_sites)
    unmatched = list(peer_sites)
    for species, frac in zip(kelvara_structure.species, np.array(kelvara_structure.frac_coords)):
        for k, (peer_species, peer_frac) in enumerate(unmatched):
            d = frac - np.asarray(peer_frac, dtype=float)
            if np.linalg.norm((d - np.round(d)) * own_cell[:3]) < tol:
                assert species.keys() == peer_species.keys(), (species, peer_species)
                for element in species:
                    assert abs(species[element] - peer_species[element]) < 1e-9
                del unmatched[k]
                break
        else:
            raise AssertionError(f"no peer site at {frac} ({species})")
