"""CIF files in the shapes other programs write them: dotted names, magnetic operations,
coordinates padded with zeros, repeated rows, a tag without its value."""

from __future__ import annotations

import pytest
from reader_peers import assert_same, gemmi_view, pymatgen_view

from kelvara import Structure
from kelvara.cifcheck import cif_warnings
from kelvara.io import read_structure

CELL = ("_cell_length_a 5.1\n_cell_length_b 6.2\n_cell_length_c 7.3\n_cell_angle_alpha 81\n"
        "_cell_angle_beta 95.5\n_cell_angle_gamma 110.25\n")
ATOMS = "loop_\n_atom_site_label\n_atom_site_type_symbol\n_atom_site_fract_x\n_atom_site_fract_y\n" \
        "_atom_site_fract_z\n_atom_site_occupancy\n"
P_1 = "loop_\n_space_group_symop_id\n_space_group_symop_operation_xyz\n1 x,y,z\n2 -x,-y,-z\n"


def dotted(text):
    """The same file with every tag in the dotted form ("_cell.length_a")."""
    for category in ("_space_group_symop_", "_atom_site_", "_cell_"):
        text = text.replace(category, category[:-1] + ".")
    return text


TRICLINIC = "data_t\n" + CELL + P_1 + ATOMS + "Fe1 Fe 0.1 0.2 0.3 1\nO1 O 0.0 0.5 0.5 1\nO2 O 0.25 0.75 0.125 0.5\n"


def test_dotted_names_read_as_their_aliases(tmp_path):
    """Dotted names are aliases of the underscore names. gemmi and pymatgen read no atoms from
    the dotted file, so it is checked against the underscore file, which gemmi reads alike."""
    path = tmp_path / "dotted.cif"
    path.write_text(dotted(TRICLINIC))
    assert "_cell.length_a 5.1" in path.read_text()
    ours = Structure.from_cif(str(path))
    assert ours == Structure.from_cif_str(TRICLINIC)
    assert_same(ours, gemmi_view(_written(tmp_path / "plain.cif", TRICLINIC)))
    assert cif_warnings(path.read_text()) == []


def _written(path, text):
    path.write_text(text)
    return path


@pytest.mark.parametrize(
    "text, message",
    [(dotted(TRICLINIC).replace("_cell.length_b 6.2\n", ""), "missing _cell.length_b"),
     (dotted(TRICLINIC).replace("_cell.length_b 6.2", "_cell.length_b ?"), "_cell.length_b has no value ('?')"),
     (dotted(TRICLINIC).replace("_atom_site.fract_z\n", ""), "missing _atom_site.fract_z"),
     (TRICLINIC.replace("_atom_site_fract_z\n", ""), "missing _atom_site_fract_z")],
)
def test_refusals_name_the_tag_as_the_file_writes_it(text, message):
    with pytest.raises(ValueError) as info:
        Structure.from_cif_str(text)
    assert info.value.args == (message,)


MAGNETIC = """data_magnetic
_cell_length_a 4.4
_cell_length_b 4.4
_cell_length_c 4.4
_cell_angle_alpha 90
_cell_angle_beta 90
_cell_angle_gamma 90
loop_
_space_group_symop_magn_operation.id
_space_group_symop_magn_operation.xyz
1 x,y,z,+1
2 -x,-y,-z,+1
loop_
_space_group_symop_magn_centering.id
_space_group_symop_magn_centering.xyz
1 x,y,z,+1
2 x+1/2,y+1/2,z,-1
3 x+1/2,y,z+1/2,+1
4 x,y+1/2,z+1/2,-1
""" + ATOMS + "Mn1 Mn 0 0 0 1\nO1 O 0.5 0.5 0.5 1\nMn2 Mn 0.1 0.2 0.3 1\n"


def test_magnetic_operations_and_centerings_match_pymatgen(tmp_path):
    """Every operation with every centering, the time-reversal flag not moving atoms: 4 Mn1,
    4 O1 and 8 Mn2, as pymatgen reads the file (gemmi reads the 3 rows alone)."""
    path = _written(tmp_path / "MnO.mcif", MAGNETIC)
    ours = read_structure(str(path))
    assert ours.composition == {"Mn": 12.0, "O": 4.0}
    assert_same(ours, pymatgen_view(path))
    assert cif_warnings(MAGNETIC) == []
    # Operations alone (no centering loop) and the older names read alike.
    alone = MAGNETIC[: MAGNETIC.index("loop_\n_space_group_symop_magn_centering")] + MAGNETIC[MAGNETIC.index(ATOMS):]
    assert Structure.from_cif_str(alone).n_sites == 1 + 1 + 2
    older = MAGNETIC.replace("_space_group_symop_magn_operation.xyz", "_space_group_symop.magn_operation_xyz")
    assert Structure.from_cif_str(older) == ours


def test_symmetry_loop_of_another_form_is_said():
    text = ("data_t\n" + CELL + "loop_\n_space_group_symop_magn_ssg_operation.id\n"
            "_space_group_symop_magn_ssg_operation.algebraic\n1 x1,x2,x3,x4,+1\n" + ATOMS + "Fe1 Fe 0.1 0.2 0.3 1\n")
    assert cif_warnings(text) == ["the loop of '_space_group_symop_magn_ssg_operation.id' lists symmetry "
                                  "operations in a form that is not read, so they are not applied"]


HEX = ("data_z\n_cell_length_a 10\n_cell_length_b 10\n_cell_length_c 8\n_cell_angle_alpha 90\n"
       "_cell_angle_beta 90\n_cell_angle_gamma 120\n_symmetry_space_group_name_H-M 'P 3'\nloop_\n"
       "_symmetry_equiv_pos_as_xyz\nx,y,z\n-y,x-y,z\n-x+y,-x,z\n" + ATOMS)
SPECIAL = ("atom site 'Zn1' lies on a special position only to the precision of its written "
           "coordinates: symmetry images up to 0.010 A apart are read as one atom")


@pytest.mark.parametrize(
    "row, n_sites, findings",
    [
        # Zeros that pad a coordinate are not precision: the padded file reads as the
        # 3-decimal one (where 1e-12 would keep three Zn 0.010 A apart).
        ("Zn1 Zn 0.333 0.667 0.123 1", 1, [SPECIAL]),
        ("Zn1 Zn 0.333000000000 0.667000000000 0.123000000000 1", 1, [SPECIAL]),
        ("Zn1 Zn 0.333000000000 0.667000000000 0.100000000000 1", 1, [SPECIAL]),
        # A coordinate written precisely elsewhere in the row keeps its decimals.
        ("Zn1 Zn 0.333000000000 0.667000000000 0.123456789012 1", 3,
         ["fully occupied sites stand closer than 0.5 A, where no two atoms fit: 'Zn1' and an "
          "image of it (0.010 A); they are read as written (is a row repeated, or are the "
          "symmetry operations or the coordinates' precision off?)"]),
    ],
)
def test_padded_coordinates(tmp_path, row, n_sites, findings):
    text = HEX + row + "\n"
    assert Structure.from_cif_str(text).n_sites == n_sites
    assert cif_warnings(text) == findings
    if n_sites == 1:  # gemmi reads one Zn too (pymatgen keeps three, 0.010 A apart)
        path = _written(tmp_path / "zn.cif", text)
        assert_same(Structure.from_cif(str(path)), gemmi_view(path))


REPEATED = "1 atom-site row repeats an earlier row exactly (label, element, position and occupancy) and is read once: {}"
COUNTED = ("1 atom-site row repeats an earlier row exactly (element, position and occupancy) under another "
           "label and is counted as a distinct atom, the occupancies added: {}")


@pytest.mark.parametrize(
    "rows, species, findings",
    [
        # One label, one atom: the repeat is read once and said.
        (["Si1 Si 0.1 0.2 0.3 1", "O1 O 0.5 0.5 0.5 1", "Si1 Si 0.1 0.2 0.30 1.0"], [{"Si": 1.0}, {"O": 1.0}],
         [REPEATED.format("'Si1' (line 17) repeats 'Si1' (line 15)")]),
        # Distinct labels are distinct atoms, added up, and the repeat is said.
        (["Fe1 Fe 0 0 0 0.5", "Fe2 Fe 0 0 0 0.5"], [{"Fe": 1.0}], [COUNTED.format("'Fe2' (line 16) repeats 'Fe1' (line 15)")]),
        # A repeat of its own label's row is one atom even after another label's.
        (["Fe2 Fe 0 0 0 0.3", "Fe1 Fe 0 0 0 0.3", "Fe1 Fe 0 0 0 0.3"], [{"Fe": 0.6}],
         [REPEATED.format("'Fe1' (line 17) repeats 'Fe1' (line 16)"),
          COUNTED.format("'Fe1' (line 16) repeats 'Fe2' (line 15)")]),
        # Each label's own repeat is found past the other labels of that content.
        (["Fe1 Fe 0 0 0 0.25", "Fe2 Fe 0 0 0 0.25", "Fe3 Fe 0 0 0 0.25", "Fe3 Fe 0 0 0 0.25"], [{"Fe": 0.75}],
         [REPEATED.format("'Fe3' (line 18) repeats 'Fe3' (line 17)"),
          COUNTED.replace("1 atom-site row repeats", "2 atom-site rows repeat").replace(
              "is counted as a distinct atom", "are counted as distinct atoms").format(
              "'Fe2' (line 16) repeats 'Fe1' (line 15), 'Fe3' (line 17) repeats 'Fe1' (line 15)")]),
        # Not repeats: another occupancy, another element.
        (["Fe1 Fe 0 0 0 0.5", "Fe2 Fe 0 0 0 0.4"], [{"Fe": 0.9}], []),
        (["Fe1 Fe 0 0 0 0.5", "Co1 Co 0 0 0 0.5"], [{"Fe": 0.5, "Co": 0.5}], []),
        # Over a full site, the refusal names the repeat.
        (["Si1 Si 0.1 0.2 0.3 1", "Si2 Si 0.1 0.2 0.30 1.0"],
         "atom sites 'Si1', 'Si2' at (0.1000, 0.2000, 0.3000) have occupancies summing to 2.0000, which "
         "exceeds 1; 'Si2' (line 16) repeats 'Si1' (line 15) exactly (element, position and occupancy), "
         "counted as an atom of its own: remove a repeated row if it is the same atom written twice", None),
    ],
)
def test_repeated_rows(rows, species, findings):
    text = "data_t\n" + CELL + ATOMS + "".join(r + "\n" for r in rows)
    if isinstance(species, str):
        with pytest.raises(ValueError) as refused:
            Structure.from_cif_str(text)
        assert str(refused.value) == species
        return
    assert Structure.from_cif_str(text).species == species
    assert cif_warnings(text) == findings


@pytest.mark.parametrize(
    "head, n_sites, findings",
    [
        # A tag is never a value: the name without one is passed over, the number read.
        ("_symmetry_space_group_name_H-M\n_symmetry_Int_Tables_number 2\n", 2,
         ["_symmetry_space_group_name_H-M has no value: line 9 holds the tag "
          "'_symmetry_Int_Tables_number'; it is passed over"]),
        ("_symmetry_space_group_name_H-M\nloop_\n_foo\n1\n", 1,
         ["_symmetry_space_group_name_H-M has no value: line 9 holds the tag 'loop_'; it is passed over"]),
    ],
)
def test_tag_without_value(head, n_sites, findings):
    text = "data_t\n" + CELL + head + ATOMS + "Fe1 Fe 0.1 0.2 0.3 1\n"
    assert Structure.from_cif_str(text).n_sites == n_sites
    assert cif_warnings(text) == findings
