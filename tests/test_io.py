"""kelvara.io writers, checked by reading the files back with ASE, pymatgen and kelvara."""

from __future__ import annotations

import warnings

import numpy as np
import pytest

from conftest import cubic
from kelvara import Structure
from kelvara.io import write_cif, write_extxyz, write_poscar, write_structure

ase_io = pytest.importorskip("ase.io")
pmg_core = pytest.importorskip("pymatgen.core")


def triclinic_ordered() -> Structure:
    """Five interleaved sites of three elements in a skewed cell."""
    matrix = [[5.1, 0.2, -0.3], [0.7, 6.3, 0.1], [-0.4, 1.1, 7.2]]
    frac = [[0.1, 0.2, 0.3], [0.55, 0.05, 0.9], [0.123456789012, 0.5, 0.75], [0.9, 0.8, 0.05],
            [0.0, 0.0, 0.0]]  # fmt: skip
    species = [{"O": 1.0}, {"Fe": 1.0}, {"O": 1.0}, {"Ni": 1.0}, {"Fe": 1.0}]
    return Structure(matrix, frac, species)


def disordered() -> Structure:
    return cubic(
        4.2,
        [[0.0, 0.0, 0.0], [0.5, 0.5, 0.5], [0.5, 0.5, 0.0]],
        [{"Fe": 0.5, "Ni": 0.25}, {"Ti": 1.0}, {"O": 0.875}],
    )


def regrouped(s: Structure):
    """(element, frac) in element order, site order within an element (POSCAR layout)."""
    pairs = [(next(iter(sp)), f) for sp, f in zip(s.species, s.frac_coords)]
    return sorted(pairs, key=lambda p: p[0].encode())  # stable: site order within element


def site_set(species, frac):
    """Sites as a sorted list of (rounded frac, species items), for readers that reorder."""
    return sorted((tuple(np.round(f, 9) + 0.0), tuple(sorted(sp.items()))) for sp, f in zip(species, frac))


def metric(matrix) -> np.ndarray:
    m = np.asarray(matrix, dtype=float)
    return m @ m.T


# ---- POSCAR --------------------------------------------------------------------------


def test_poscar_layout_groups_elements(tmp_path):
    path = tmp_path / "POSCAR"
    write_poscar(triclinic_ordered(), path)
    lines = path.read_text().splitlines()
    assert lines[1] == "1.0"
    assert lines[5].split() == ["Fe", "Ni", "O"] and lines[6].split() == ["2", "1", "2"]
    assert lines[7] == "Direct" and len(lines) == 13


def test_poscar_read_by_ase_and_pymatgen(tmp_path):
    s = triclinic_ordered()
    path = tmp_path / "POSCAR"
    write_poscar(s, path)
    expected = regrouped(s)
    atoms = ase_io.read(path, format="vasp")
    np.testing.assert_allclose(atoms.cell[:], s.lattice_matrix, atol=1e-9)
    assert atoms.get_chemical_symbols() == [e for e, _ in expected]
    np.testing.assert_allclose(atoms.get_scaled_positions(wrap=False), [f for _, f in expected], atol=1e-9)
    from pymatgen.io.vasp import Poscar

    pmg = Poscar.from_file(str(path)).structure
    np.testing.assert_allclose(pmg.lattice.matrix, s.lattice_matrix, atol=1e-9)
    assert [sp.symbol for sp in pmg.species] == [e for e, _ in expected]
    np.testing.assert_allclose(pmg.frac_coords, [f for _, f in expected], atol=1e-9)


# ---- extended XYZ ----------------------------------------------------------------------


def test_extxyz_read_by_ase(tmp_path):
    s = triclinic_ordered()
    path = tmp_path / "s.extxyz"
    write_extxyz(s, path)
    comment = path.read_text().splitlines()[1]
    assert 'Lattice="' in comment and "Properties=species:S:1:pos:R:3" in comment
    atoms = ase_io.read(path, format="extxyz")
    np.testing.assert_allclose(atoms.cell[:], s.lattice_matrix, atol=1e-9)
    assert atoms.get_chemical_symbols() == [next(iter(sp)) for sp in s.species]
    np.testing.assert_allclose(atoms.positions, s.cart_coords, atol=1e-9)
    assert all(atoms.pbc)


# ---- CIF --------------------------------------------------------------------------------


def test_cif_ordered_read_by_ase_and_pymatgen(tmp_path):
    s = triclinic_ordered()
    path = tmp_path / "s.cif"
    write_cif(s, path)
    expected = site_set(s.species, s.frac_coords)
    atoms = ase_io.read(path, format="cif")
    np.testing.assert_allclose(metric(atoms.cell[:]), metric(s.lattice_matrix), atol=1e-8)
    ase_species = [{e: 1.0} for e in atoms.get_chemical_symbols()]
    assert site_set(ase_species, atoms.get_scaled_positions(wrap=False)) == expected
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        pmg = pmg_core.Structure.from_file(str(path))
    np.testing.assert_allclose(metric(pmg.lattice.matrix), metric(s.lattice_matrix), atol=1e-8)
    pmg_species = [{sp.symbol: 1.0} for sp in pmg.species]
    assert site_set(pmg_species, pmg.frac_coords) == expected


def test_cif_keeps_occupancies_for_pymatgen(tmp_path):
    s = disordered()
    path = tmp_path / "mixed.cif"
    write_cif(s, path)
    from pymatgen.io.cif import CifParser

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        (pmg,) = CifParser(str(path)).parse_structures(primitive=False)
    got = [{el.symbol: occ for el, occ in site.species.items()} for site in pmg]
    assert site_set(got, pmg.frac_coords) == site_set(s.species, s.frac_coords)
    np.testing.assert_allclose(pmg.lattice.abc, [4.2] * 3, atol=1e-9)


def test_cif_header(tmp_path):
    path = tmp_path / "s.cif"
    write_cif(triclinic_ordered(), path)
    text = path.read_text()
    assert "_symmetry_space_group_name_H-M 'P 1'" in text
    assert text.count("x, y, z") == 1
    assert text.count("\nFe") == 2 and "\nNi1 Ni " in text


@pytest.mark.parametrize(
    "writer, reader, structure",
    [(write_poscar, Structure.from_poscar, triclinic_ordered),
     (write_extxyz, Structure.from_xyz, triclinic_ordered),
     (write_cif, Structure.from_cif, disordered)],
)
def test_round_trip_through_kelvara(tmp_path, writer, reader, structure):
    s = structure()
    writer(s, tmp_path / "out")
    back = reader(str(tmp_path / "out"))
    # POSCAR groups sites by element; the other formats keep the site order.
    assert site_set(back.species, back.frac_coords) == site_set(s.species, s.frac_coords)
    np.testing.assert_allclose(metric(back.lattice_matrix), metric(s.lattice_matrix), atol=1e-8)
    if writer is write_poscar:
        assert [next(iter(sp)) for sp in back.species] == [e for e, _ in regrouped(s)]
    else:
        assert back.species == s.species and back.disorder_summary() == s.disorder_summary()


# ---- expanded structures and format choice ------------------------------------------------


def test_expanded_structure_writes_and_reads_back(tmp_path):
    ordered, _ = disordered().expand_occupancies(seed=3)
    path = tmp_path / "expanded.vasp"
    write_structure(ordered, path)
    atoms = ase_io.read(path, format="vasp")
    assert len(atoms) == ordered.n_sites
    counts = {e: atoms.get_chemical_symbols().count(e) for e in ordered.elements}
    assert counts == {e: round(v) for e, v in ordered.composition.items()}


@pytest.mark.parametrize("writer, fmt", [(write_poscar, "POSCAR"), (write_extxyz, "extended XYZ")])
def test_disordered_refused(tmp_path, writer, fmt):
    with pytest.raises(ValueError, match=f"^{fmt} holds exactly one atom per site.*expand_occupancies"):
        writer(disordered(), tmp_path / "out")
    assert not (tmp_path / "out").exists()


@pytest.mark.parametrize(
    "name, fmt",
    [
        ("POSCAR", "poscar"), ("CONTCAR", "poscar"), ("POSCAR_relaxed", "poscar"),
        ("a.vasp", "poscar"), ("a.xyz", "xyz"), ("a.extxyz", "xyz"), ("a.CIF", "cif"), ("a.cif", "cif"),
    ],
)  # fmt: skip
def test_format_from_name(tmp_path, name, fmt):
    path = tmp_path / name
    write_structure(triclinic_ordered(), path)
    first = path.read_text().splitlines()[0]
    assert {"poscar": first == "Fe2 Ni1 O2", "xyz": first == "5", "cif": first.startswith("#")}[fmt]


def test_explicit_format_and_unknown_names(tmp_path):
    s = triclinic_ordered()
    write_structure(s, tmp_path / "structure.txt", fmt="CIF")
    assert "_atom_site_occupancy" in (tmp_path / "structure.txt").read_text()
    with pytest.raises(ValueError, match="cannot tell the format of 'structure.dat'"):
        write_structure(s, tmp_path / "structure.dat")
    with pytest.raises(ValueError, match="unknown format 'pdb'"):
        write_structure(s, tmp_path / "a.cif", fmt="pdb")


def test_element_names_that_cannot_be_written(tmp_path):
    s = cubic(4.0, [[0, 0, 0]], [{"Fe Ni": 1.0}])
    with pytest.raises(ValueError, match="element name 'Fe Ni' cannot be written to POSCAR"):
        write_poscar(s, tmp_path / "POSCAR")
