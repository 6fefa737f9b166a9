"""Conversions between kelvara's Structure and ASE's Atoms or pymatgen's Structure.

ASE and pymatgen are optional (extras ``ase`` and ``pymatgen``) and imported only
when a conversion to them is asked for. Lattice rows, fractional positions and
species go both ways; partial occupancies map to pymatgen's disordered sites and
back. ASE has no partial occupancy on an Atoms object, so ``to_ase`` refuses a
disordered structure: expand it first with ``Structure.expand_occupancies``.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

from kelvara._kelvara import Structure

if TYPE_CHECKING:
    import ase
    import pymatgen.core


def from_ase(atoms: ase.Atoms, *, assume_periodic: bool = False) -> Structure:
    """A Structure from an ASE Atoms object with a full three-dimensional cell.

    kelvara's structures are periodic along all three cell vectors, so an Atoms
    object whose ``pbc`` is not all true (a slab, a molecule in a box) is refused:
    its vacuum is not a periodic image, and an RDF would count the images across it.
    ``assume_periodic=True`` reads the cell as periodic in every direction anyway.

    Every atom becomes a fully occupied site, except where ASE's CIF reader left
    partial occupancies behind (``atoms.info["occupancy"]``, keyed by the atoms'
    ``spacegroup_kinds``, or by their tags when that array is absent): those sites
    carry the occupancies as written.
    """
    cell = atoms.cell.array
    if abs(atoms.cell.volume) < 1e-12:
        raise ValueError(
            "from_ase needs an Atoms object with a three-dimensional cell "
            "(set atoms.cell, for example with atoms.center(vacuum=...))"
        )
    pbc = [bool(p) for p in atoms.pbc]
    if not all(pbc) and not assume_periodic:
        raise ValueError(
            f"from_ase needs an Atoms object periodic in all three directions (its pbc is {pbc}); "
            "pass assume_periodic=True to treat the cell as periodic anyway"
        )
    occupancy = atoms.info.get("occupancy")
    kinds = atoms.arrays.get("spacegroup_kinds")
    tags = kinds if kinds is not None else atoms.get_tags()
    species = []
    for index, symbol in enumerate(atoms.get_chemical_symbols()):
        site = occupancy.get(str(tags[index])) if occupancy else None
        species.append({str(el): float(occ) for el, occ in site.items()} if site else {symbol: 1.0})
    return Structure(cell.tolist(), atoms.get_scaled_positions(wrap=False).tolist(), species)


def to_ase(structure: Structure) -> ase.Atoms:
    """An ASE Atoms object (periodic in all three directions) from an ordered Structure."""
    if not structure.is_ordered:
        raise ValueError(
            "ASE's Atoms cannot hold partial occupancies; expand the structure first: "
            "ordered, report = structure.expand_occupancies()"
        )
    from ase import Atoms

    symbols = [next(iter(site)) for site in structure.species]
    try:
        return Atoms(
            symbols=symbols,
            cell=structure.lattice_matrix,
            scaled_positions=structure.frac_coords,
            pbc=True,
        )
    except KeyError as error:
        raise ValueError(f"ASE does not know the element {error.args[0]!r}") from None


def _element_of(species: Any) -> str:
    """Element symbol of a pymatgen Element, Species (Fe2+) or DummySpecies."""
    symbol = getattr(species, "symbol", None)
    return str(symbol) if symbol is not None else str(species)


def from_pymatgen(structure: pymatgen.core.Structure) -> Structure:
    """A Structure from a pymatgen Structure; disordered sites keep their occupancies
    (oxidation states are dropped: Fe2+ and Fe3+ on one site add up as Fe)."""
    species = []
    for site in structure:
        occupancies: dict[str, float] = {}
        for sp, occ in site.species.items():
            element = _element_of(sp)
            occupancies[element] = occupancies.get(element, 0.0) + float(occ)
        species.append(occupancies)
    return Structure(structure.lattice.matrix.tolist(), structure.frac_coords.tolist(), species)


def to_pymatgen(structure: Structure) -> pymatgen.core.Structure:
    """A pymatgen Structure; partly occupied or mixed sites become disordered sites."""
    from pymatgen.core import Lattice
    from pymatgen.core import Structure as PymatgenStructure

    return PymatgenStructure(
        Lattice(structure.lattice_matrix),
        structure.species,
        structure.frac_coords,
        validate_proximity=False,
    )
