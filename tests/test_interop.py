"""Round trips through ASE and pymatgen, partial occupancies included."""

from __future__ import annotations

from importlib.resources import files

import numpy as np
import pytest
from conftest import cubic, random_triclinic

from kelvara import Structure
from kelvara.interop import from_ase, from_pymatgen, to_ase, to_pymatgen

ase = pytest.importorskip("ase")
ase_io = pytest.importorskip("ase.io")
pymatgen_core = pytest.importorskip("pymatgen.core")


def assert_same(a: Structure, b: Structure) -> None:
    assert np.allclose(a.lattice_matrix, b.lattice_matrix, rtol=0, atol=1e-12)
    assert np.allclose(a.frac_coords, b.frac_coords, rtol=0, atol=1e-12)
    assert a.species == b.species


def test_ase_round_trip(rng):
    s = random_triclinic(rng, 9, elements=("Si", "O", "Al"))
    atoms = to_ase(s)
    assert atoms.get_chemical_symbols() == [next(iter(d)) for d in s.species]
    assert np.allclose(atoms.get_positions(), s.cart_coords, atol=1e-12)
    assert all(atoms.pbc)
    assert_same(from_ase(atoms), s)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: to_ase(cubic(4.0, [[0, 0, 0]], [{"Fe": 0.5, "Ni": 0.5}])), "expand_occupancies"),
        (lambda: from_ase(ase.Atoms("H2O", positions=[[0, 0, 0], [0, 0, 1], [0, 1, 0]])),
         "three-dimensional cell"),
        # A slab: its vacuum is not a periodic image.
        (lambda: from_ase(ase.Atoms("Cu", cell=[3, 3, 20], pbc=[True, True, False])),
         r"periodic in all three directions \(its pbc is \[True, True, False\]\)"),
        (lambda: to_ase(cubic(4.0, [[0, 0, 0]], [{"Xx": 1.0}])), "does not know the element 'Xx'"),
    ],
)
def test_refusals(call, message):
    with pytest.raises(ValueError, match=message):
        call()


def test_ase_slab_read_as_periodic_when_asked():
    atoms = ase.Atoms("Cu", cell=[3, 3, 20], pbc=[True, True, False])
    assert from_ase(atoms, assume_periodic=True).volume == pytest.approx(180.0)


def test_ase_cif_occupancies_are_kept():
    # ASE reads the Sr and Ba rows of the mixed site as one atom with an occupancy table.
    s = from_ase(ase_io.read(str(files("kelvara") / "data" / "SrBaTiO3.cif")))
    assert s.species == [{"Ba": 0.5, "Sr": 0.5}, {"Ti": 1.0}, {"O": 1.0}, {"O": 1.0}, {"O": 1.0}]


def test_pymatgen_round_trip_with_partial_occupancies():
    s = cubic(4.0, [[0, 0, 0], [0.5, 0.5, 0.5], [0.25, 0.5, 0.75]],
              [{"Fe": 0.5, "Ni": 0.25}, {"O": 1.0}, {"Li": 0.9}])
    p = to_pymatgen(s)
    assert not p.is_ordered
    assert p[0].species.get_el_amt_dict() == {"Fe": 0.5, "Ni": 0.25}
    assert_same(from_pymatgen(p), s)


def test_pymatgen_oxidation_states_add_up_per_element():
    lattice = pymatgen_core.Lattice.cubic(4.0)
    p = pymatgen_core.Structure(lattice, [{"Fe2+": 0.3, "Fe3+": 0.5}], [[0, 0, 0]])
    s = from_pymatgen(p)
    assert s.species == [{"Fe": pytest.approx(0.8)}]
    assert_same(from_pymatgen(to_pymatgen(s)), s)
