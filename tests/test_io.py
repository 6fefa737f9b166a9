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
    return cubic(4.2, [[0.0, 0.0, 0.0], [0.5, 0.5, 0.5], [0.5, 0.5, 0.0]],
                 [{"Fe": 0.5, "Ni": 0.25}, {"Ti": 1.0}, {"O": 0.875}])  # fmt: skip


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


def quietly(read, *args, **kwargs):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return read(*args, **kwargs)


def test_poscar_read_by_ase_and_pymatgen(tmp_path):
    from pymatgen.io.vasp import Poscar

    s, path = triclinic_ordered(), tmp_path / "POSCAR"
    write_poscar(s, path)
    symbols, frac = zip(*regrouped(s))
    atoms = ase_io.read(path, format="vasp")
    pmg = Poscar.from_file(str(path)).structure
    for cell, got_symbols, got_frac in [
        (atoms.cell[:], atoms.get_chemical_symbols(), atoms.get_scaled_positions(wrap=False)),
        (pmg.lattice.matrix, [sp.symbol for sp in pmg.species], pmg.frac_coords),
    ]:
        np.testing.assert_allclose(cell, s.lattice_matrix, atol=1e-9)
        assert list(got_symbols) == list(symbols)
        np.testing.assert_allclose(got_frac, frac, atol=1e-9)


def test_extxyz_read_by_ase(tmp_path):
    s, path = triclinic_ordered(), tmp_path / "s.extxyz"
    write_extxyz(s, path)
    atoms = ase_io.read(path, format="extxyz")
    np.testing.assert_allclose(atoms.cell[:], s.lattice_matrix, atol=1e-9)
    assert atoms.get_chemical_symbols() == [next(iter(sp)) for sp in s.species]
    np.testing.assert_allclose(atoms.positions, s.cart_coords, atol=1e-9)
    assert all(atoms.pbc)


def test_cif_read_by_ase_and_pymatgen(tmp_path):
    from pymatgen.io.cif import CifParser

    s, path = triclinic_ordered(), tmp_path / "s.cif"
    write_cif(s, path)
    atoms = ase_io.read(path, format="cif")
    pmg = quietly(pmg_core.Structure.from_file, str(path))
    for cell, species, frac in [
        (atoms.cell[:], atoms.get_chemical_symbols(), atoms.get_scaled_positions(wrap=False)),
        (pmg.lattice.matrix, [sp.symbol for sp in pmg.species], pmg.frac_coords),
    ]:
        np.testing.assert_allclose(metric(cell), metric(s.lattice_matrix), atol=1e-8)
        assert site_set([{e: 1.0} for e in species], frac) == site_set(s.species, s.frac_coords)
    # Partial occupancies survive for pymatgen.
    s = disordered()
    write_cif(s, path)
    (pmg,) = quietly(CifParser(str(path)).parse_structures, primitive=False)
    got = [{el.symbol: occ for el, occ in site.species.items()} for site in pmg]
    assert site_set(got, pmg.frac_coords) == site_set(s.species, s.frac_coords)
    np.testing.assert_allclose(pmg.lattice.abc, [4.2] * 3, atol=1e-9)


def test_cif_keeps_displacement_parameters(tmp_path):
    s = disordered()
    uiso = [0.0125 if i % 2 else None for i in range(s.n_sites)]
    with_u = Structure(s.lattice_matrix, s.frac_coords, s.species, uiso)
    write_cif(with_u, tmp_path / "u.cif")
    assert Structure.from_cif(str(tmp_path / "u.cif")).uiso == uiso
    write_cif(s, tmp_path / "plain.cif")  # no column when no site has a value
    assert "_atom_site_U_iso_or_equiv" not in (tmp_path / "plain.cif").read_text()


@pytest.mark.parametrize("writer, fmt", [(write_poscar, "POSCAR"), (write_extxyz, "extended XYZ")])
def test_disordered_refused(tmp_path, writer, fmt):
    with pytest.raises(ValueError, match=f"^{fmt} holds exactly one atom per site.*expand_occupancies"):
        writer(disordered(), tmp_path / "out")
    assert not (tmp_path / "out").exists()


@pytest.mark.parametrize(
    "name, fmt, kind",
    [
        ("CONTCAR", None, "poscar"), ("poscar_relaxed", None, "poscar"), ("a.vasp", None, "poscar"),
        ("a.extxyz", None, "xyz"), ("a.CIF", None, "cif"), ("structure.txt", "CIF", "cif"),
    ],
)  # fmt: skip
def test_format_from_name(tmp_path, name, fmt, kind):
    path = tmp_path / name
    write_structure(triclinic_ordered(), path, fmt=fmt)
    first = path.read_text().splitlines()[0]
    assert {"poscar": first == "Fe2 Ni1 O2", "xyz": first == "5", "cif": first.startswith("#")}[kind]


@pytest.mark.parametrize(
    "structure, name, fmt, message",
    [
        (triclinic_ordered(), "structure.dat", None, "cannot tell the format of 'structure.dat'"),
        (cubic(4.0, [[0, 0, 0]], [{"Fe Ni": 1.0}]), "POSCAR", None,
         "element name 'Fe Ni' cannot be written to POSCAR"),
    ],
)
def test_write_structure_refusals(tmp_path, structure, name, fmt, message):
    with pytest.raises(ValueError, match=message):
        write_structure(structure, tmp_path / name, fmt=fmt)

