"""cif_warnings: what the reader keeps silent about, and silence on clean files."""

from __future__ import annotations

from importlib.resources import files
from pathlib import Path

import pytest

from kelvara import Structure
from kelvara.cifcheck import cif_warnings

DATA = files("kelvara") / "data"


def cif(rows, head="data_t\n", columns=("label", "type_symbol", "fract_x", "fract_y", "fract_z")):
    return (head + "_cell_length_a 4\n_cell_length_b 4\n_cell_length_c 4\nloop_\n"
            + "".join(f"_atom_site_{c}\n" for c in columns) + "".join(r + "\n" for r in rows))


@pytest.mark.parametrize("name", ["NaCl.cif", "ZnO.cif", "SrBaTiO3.cif"])
def test_bundled_files_are_clean(name):
    assert cif_warnings(Path(str(DATA / name))) == []
    assert cif_warnings(str(DATA / name)) == []
    assert cif_warnings((DATA / name).read_text()) == []


@pytest.mark.parametrize(
    "rows, finding",
    [
        (["Ca1 CA 0 0 0"], "atom site 'Ca1': type symbol 'CA' reads as C; write 'Ca' if that "
                           "element is meant"),
        (["X1 Xx 0 0 0"], "atom site 'X1': type symbol 'Xx' reads as 'Xx', which is not a "
                          "chemical element"),
        (["Q1 ? 0 0 0"], "atom site 'Q1': label 'Q1' reads as 'Q', which is not a chemical "
                         "element"),
        (["Fe1 Fe ? 0 0"], "atom site 'Fe1' has the coordinate '?' and is dropped"),
        (["Fe1 Fe 0 . 0"], "atom site 'Fe1' has the coordinate '.' and is dropped"),
    ],
)
def test_atom_site_findings(rows, finding):
    assert cif_warnings(cif(rows + ["O1 O 0.5 0.5 0.5"])) == [finding]


def test_reader_agrees_about_the_symbols():
    """What cif_warnings says a symbol reads as is what the reader makes of it."""
    s = Structure.from_cif_str(cif(["Ca1 CA 0 0 0", "X1 Xx 0.5 0.5 0.5", "Q1 ? 0.5 0 0"]))
    assert s.elements == ["C", "Q", "Xx"]


def test_zero_occupancy_is_reported():
    text = cif(["Fe1 Fe 0 0 0 0", "O1 O 0.5 0.5 0.5 1"],
               columns=("label", "type_symbol", "fract_x", "fract_y", "fract_z", "occupancy"))
    assert cif_warnings(text) == ["atom site 'Fe1' has occupancy 0 and is dropped"]
    assert Structure.from_cif_str(text).n_sites == 1


@pytest.mark.parametrize(
    "head, finding",
    [
        ("data_t\n_symmetry_space_group_name_H-M 'P m -3 m'\n",
         "space group 'P m -3 m' is given but no symmetry operations are listed, so only the "
         "listed sites are read (as P 1)"),
        ("data_t\n_space_group_IT_number 225\n",
         "space group number 225 is given but no symmetry operations are listed, so only the "
         "listed sites are read (as P 1)"),
        ("data_t\n_space_group_name_H-M_alt 'P 1'\n_space_group_IT_number 1\n", None),
        ("data_t\n_symmetry_space_group_name_H-M 'F m -3 m'\nloop_\n"
         "_symmetry_equiv_pos_as_xyz\nx,y,z\n", None),
        ("data_a\n_cell_length_a 9\ndata_b\n",
         "the file holds 2 data blocks ('a', 'b'); their tags are merged (the last value wins) "
         "and the first atom-site loop is read"),
    ],
)
def test_file_level_findings(head, finding):
    assert cif_warnings(cif(["Fe1 Fe 0 0 0"], head=head)) == ([finding] if finding else [])


@pytest.mark.parametrize("as_str", [False, True])
def test_missing_file_raises(tmp_path, as_str):
    path = tmp_path / "none.cif"
    with pytest.raises(FileNotFoundError):
        cif_warnings(str(path) if as_str else path)


OPS_HEAD = "data_t\n_symmetry_space_group_name_H-M 'P -1'\nloop_\n_symmetry_equiv_pos_as_xyz\n{}\n"


@pytest.mark.parametrize(
    "ops, findings",
    [
        ("x,y,z\n'-x,-y,-z'", []),
        ("'1 x,y,z'\n'2 -x,-y,-z'", []),  # an id before the operation reads on the retry
        ("x,y,z\n'x/0,y,z'", ["symmetry operation 'x/0,y,z' cannot be read and is ignored"]),
        ("x,y,z\n'-x,-y'", ["symmetry operation '-x,-y' cannot be read and is ignored"]),
        ("x,y,z\n\"xy,y,z\"", ["symmetry operation 'xy,y,z' cannot be read and is ignored"]),
        ("'x,y'\n'a,b,c'", ["none of the 2 symmetry operations can be read, so the file is read "
                            "as P 1"]),
    ],
)
def test_symmetry_operation_findings(ops, findings):
    assert cif_warnings(cif(["Fe1 Fe 0.1 0.2 0.3"], head=OPS_HEAD.format(ops))) == findings


def test_coordinates_that_are_not_numbers():
    assert cif_warnings(cif(["Fe1 Fe 0.1 abc 0.3", "O1 O 0 0 0"])) == [
        "atom site 'Fe1' has the coordinate 'abc' and is dropped"]
    assert Structure.from_cif_str(cif(["Fe1 Fe 0.1 abc 0.3", "O1 O 0 0 0"])).n_sites == 1
