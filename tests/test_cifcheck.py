"""cif_warnings: what the reader keeps silent about, and silence on clean files."""

from __future__ import annotations

from importlib.resources import files
import os
from pathlib import Path

import pytest

from kelvara import Structure
from kelvara.cifcheck import cif_warnings

DATA = files("kelvara") / "data"
OPS = "data_t\n_symmetry_space_group_name_H-M 'P -1'\nloop_\n_symmetry_equiv_pos_as_xyz\n{}\n"


def cif(rows, head="data_t\n"):
    columns = ("label", "type_symbol", "fract_x", "fract_y", "fract_z", "occupancy")
    return (head + "_cell_length_a 4\n_cell_length_b 4\n_cell_length_c 4\nloop_\n"
            + "".join(f"_atom_site_{c}\n" for c in columns) + "".join(r + "\n" for r in rows))


@pytest.mark.parametrize("name", ["NaCl.cif", "ZnO.cif", "SrBaTiO3.cif"])
def test_bundled_files_are_clean(name):
    path = DATA / name
    assert cif_warnings(Path(str(path))) == cif_warnings(str(path)) == cif_warnings(path.read_text()) == []


@pytest.mark.parametrize(
    "row, finding, elements",
    [
        ("Ca1 CA 0 0 0 1", "atom site 'Ca1': type symbol 'CA' reads as C; write 'Ca' if that element is "
                           "meant", ["C", "O"]),
        ("X1 Xx 0 0 0 1", "atom site 'X1': type symbol 'Xx' reads as 'Xx', which is not a chemical "
                          "element", ["O", "Xx"]),
        ("Q1 ? 0 0 0 1", "atom site 'Q1': label 'Q1' reads as 'Q', which is not a chemical element",
         ["O", "Q"]),
        ("Fe1 Fe ? 0 0 1", "atom site 'Fe1' has the coordinate '?' and is dropped", ["O"]),
        ("Fe1 Fe 0 . 0 1", "atom site 'Fe1' has the coordinate '.' and is dropped", ["O"]),
        ("Fe1 Fe 0.1 abc 0.3 1", "atom site 'Fe1' has the coordinate 'abc' and is dropped", ["O"]),
        ("Fe1 Fe 0 0 0 0", "atom site 'Fe1' has occupancy 0 and is dropped", ["O"]),
    ],
)
def test_atom_site_findings_match_the_reader(row, finding, elements):
    text = cif([row, "O1 O 0.5 0.5 0.5 1"])
    assert cif_warnings(text) == [finding]
    assert Structure.from_cif_str(text).elements == elements


@pytest.mark.parametrize(
    "head, findings",
    [
        # A group named without operations is expanded by its name: nothing to report.
        ("data_t\n_symmetry_space_group_name_H-M 'P m -3 m'\n", []),
        ("data_t\n_space_group_IT_number 225\n", []),
        ("data_t\n_space_group_name_H-M_alt 'P 1'\n_space_group_IT_number 1\n", []),
        ("data_t\n_symmetry_space_group_name_H-M 'F m -3 m'\nloop_\n_symmetry_equiv_pos_as_xyz\nx,y,z\n", []),
        ("data_a\n_cell_length_a 9\ndata_b\n", ["the file holds 2 data blocks ('a', 'b'); their tags are "
                                               "merged (the last value wins) and the first atom-site loop "
                                               "is read"]),
        (OPS.format("x,y,z\n'-x,-y,-z'"), []),
        (OPS.format("'1 x,y,z'\n'2 -x,-y,-z'"), []),  # an id before the operation reads on the retry
        (OPS.format("x,y,z\n'x/0,y,z'"), ["symmetry operation 'x/0,y,z' cannot be read and is ignored"]),
        (OPS.format("x,y,z\n'-x,-y'"), ["symmetry operation '-x,-y' cannot be read and is ignored"]),
        (OPS.format('x,y,z\n"xy,y,z"'), ["symmetry operation 'xy,y,z' cannot be read and is ignored"]),
        (OPS.format("'x,y'\n'a,b,c'"), ["none of the 2 symmetry operations can be read, so the file is "
                                        "read as P 1"]),
    ],
)
def test_file_level_findings(head, findings):
    assert cif_warnings(cif(["Fe1 Fe 0.1 0.2 0.3 1"], head=head)) == findings


def test_missing_file_raises(tmp_path):
    for path in [tmp_path / "none.cif", str(tmp_path / "none.cif")]:
        with pytest.raises(OSError, match="^could not read .*none.cif: No such file"):
            cif_warnings(path)


def test_every_entry_point_issues_the_findings_as_read_warnings(tmp_path):
    import warnings

    import kelvara
    from kelvara.io import read_structure

    text = cif(["Fe1 Fe 0 0 0 0", "O1 O 0.5 0.5 0.5 1"])
    path = tmp_path / "t.cif"
    path.write_text(text)
    finding = "atom site 'Fe1' has occupancy 0 and is dropped"
    assert kelvara.cif_warnings(text) == kelvara.cif_warnings(path) == [finding]
    calls = [(lambda: Structure.from_cif(path), f"{path}: {finding}"),
             (lambda: Structure.from_cif(os.fsencode(path)), f"{path}: {finding}"),
             (lambda: read_structure(path), f"{path}: {finding}"),
             (lambda: Structure.from_cif_str(text), finding),
             (lambda: Structure.from_str(text, "cif"), finding)]
    for call, message in calls:
        with pytest.warns(kelvara.ReadWarning) as record:
            assert call().elements == ["O"]
        assert [str(w.message) for w in record] == [message]
        assert record[0].filename == __file__  # the caller's line, not kelvara's
        with warnings.catch_warnings():
            warnings.simplefilter("error", kelvara.ReadWarning)
            with pytest.raises(kelvara.ReadWarning, match=finding):
                call()
