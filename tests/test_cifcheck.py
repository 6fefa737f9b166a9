"""Reader findings: cif_warnings, ReadWarning at every entry point, silence on clean files."""

from __future__ import annotations

from importlib.resources import files
import os
from pathlib import Path
import warnings

import numpy as np
import pytest

from kelvara import Structure
from kelvara.cifcheck import cif_warnings

DATA = files("kelvara") / "data"
OPS = "data_t\n_symmetry_space_group_name_H-M 'P -1'\nloop_\n_symmetry_equiv_pos_as_xyz\n{}\n"


CELL = ("_cell_length_a 4\n_cell_length_b 4\n_cell_length_c 4\n_cell_angle_alpha 90\n"
        "_cell_angle_beta 90\n_cell_angle_gamma 90\n")


def cif(rows, head="data_t\n", cell=CELL):
    columns = ("label", "type_symbol", "fract_x", "fract_y", "fract_z", "occupancy")
    return (head + cell + "loop_\n" + "".join(f"_atom_site_{c}\n" for c in columns)
            + "".join(r + "\n" for r in rows))


@pytest.mark.parametrize("name", ["NaCl.cif", "ZnO.cif", "SrBaTiO3.cif"])
def test_bundled_files_are_clean(name):
    path = DATA / name
    assert cif_warnings(Path(str(path))) == cif_warnings(str(path)) == cif_warnings(path.read_text()) == []


@pytest.mark.parametrize(
    "row, finding, elements",
    [
        ("Ca1 CA 0 0 0 1", None, ["Ca", "O"]),  # a type symbol in capitals is the element it spells
        ("Sr1 SR2+ 0 0 0 1", None, ["O", "Sr"]),
        # A label read because the type symbol is '?' keeps the label rule ("CA1" in an
        # organic file is a carbon), and says so, and that the label was read.
        ("CA1 ? 0 0 0 1", ["atom site 'CA1': label 'CA1' reads as C; give a type symbol 'Ca' if that "
                           "element is meant", "atom site 'CA1' has the type symbol '?', so its "
                           "element is read from the label (C)"], ["C", "O"]),
        ("X1 Xx 0 0 0 1", "atom site 'X1': type symbol 'Xx' reads as 'Xx', which is not a chemical "
                          "element", ["O", "Xx"]),
        ("Q1 ? 0 0 0 1", ["atom site 'Q1': label 'Q1' reads as 'Q', which is not a chemical element",
                          "atom site 'Q1' has the type symbol '?', so its element is read from the "
                          "label (Q)"], ["O", "Q"]),
        ("Fe1 ? 0 0 0 1\nNa1 . 0.5 0 0 1", ["2 atom sites have type symbols that name no element "
                                            "('?' for 'Fe1'), so each element is read from the label "
                                            "('Fe1' gives Fe)"], ["Fe", "Na", "O"]),
        ("Fe1 Fe 0.1 abc 0.3 1", "atom site 'Fe1' has the coordinate 'abc' and is dropped", ["O"]),
        ("Fe1 Fe 0 0 0 0", "atom site 'Fe1' has occupancy 0 and is dropped", ["O"]),
    ],
)
def test_atom_site_findings_match_the_reader(row, finding, elements):
    text = cif([row, "O1 O 0.5 0.5 0.5 1"])
    assert cif_warnings(text) == ([finding] if isinstance(finding, str) else finding or [])
    assert Structure.from_cif_str(text).elements == elements


@pytest.mark.parametrize(
    "head, findings",
    [
        # A group named without operations is expanded by its name: nothing to report.
        ("data_t\n_space_group_name_H-M_alt 'P 1'\n_space_group_IT_number 1\n", []),
        ("data_a\n_cell_length_a 9\ndata_b\n", []),  # the block without atom sites is not a structure
        (OPS.format("x,y,z\n'-x,-y,-z'"), []),
        (OPS.format("'1 x,y,z'\n'2 -x,-y,-z'"), []),  # an id before the operation reads on the retry
        (OPS.format("x,y,z\n'x/0,y,z'"), ["symmetry operation 'x/0,y,z' cannot be read and is ignored"]),
    ],
)
def test_file_level_findings(head, findings):
    assert cif_warnings(cif(["Fe1 Fe 0.1 0.2 0.3 1"], head=head)) == findings


HEX = ("_cell_length_a 10\n_cell_length_b 10\n_cell_length_c 8\n_cell_angle_alpha 90\n"
       "_cell_angle_beta 90\n_cell_angle_gamma 120\nloop_\n_symmetry_equiv_pos_as_xyz\nx,y,z\n"
       "-y,x-y,z\n-x+y,-x,z\n")
INVERSION = CELL + "loop_\n_symmetry_equiv_pos_as_xyz\nx,y,z\n-x,-y,-z\n"
FULL_CLOSE = ("fully occupied sites stand closer than 0.5 A, where no two atoms fit: {}; they are "
              "read as written (is a row repeated, or are the symmetry operations or the "
              "coordinates' precision off?)")
SPECIAL = ("atom site 'Zn1' lies on a special position only to the precision of its written "
           "coordinates: symmetry images up to {} A apart are read as one atom")


@pytest.mark.parametrize(
    "cell, rows, n_sites, findings",
    [
        # Zn on the three-fold axis written to 3 or 4 decimals: its images are one atom
        # (gemmi agrees; pymatgen keeps three Zn 0.006 A apart at 3 decimals).
        (HEX, ["Zn1 Zn 0.333 0.667 0.25 1"], 1, [SPECIAL.format("0.010")]),
        (HEX, ["Zn1 Zn 0.6667 0.3333 0.25 1"], 1, []),  # 1e-4 apart: within symprec
        (HEX, ["Zn1 Zn 0.33333 0.66667 0.25 1"], 1, []),  # within symprec: nothing assumed
        # A real 0.3 A offset stays three atoms, which a fully occupied site cannot be: said.
        (HEX, ["Zn1 Zn 0.32 0.68 0.25 1"], 3, [FULL_CLOSE.format("'Zn1' and an image of it (0.400 A)")]),
        # Split sites: partially occupied sites closer than 0.5 A are named, kept and weighted.
        (CELL, ["Ti1 Ti 0.5 0.5 0.5 0.5", "Ti2 Ti 0.54 0.5 0.5 0.5"], 2,
         ["partially occupied sites stand closer than 0.5 A, so they are alternative positions "
          "never filled at once: 'Ti1' and 'Ti2' (0.160 A); the RDF still counts pairs between "
          "them, weighted by the occupancies"]),
        # Each pair of rows is named once, however many of their images are close; pairs
        # as close come in the order of their sites.
        (INVERSION, ["Ti1 Ti 0.51 0.5 0.5 0.5", "Ti2 Ti 0.53 0.5 0.5 0.5"], 4,
         ["partially occupied sites stand closer than 0.5 A, so they are alternative positions "
          "never filled at once: 'Ti1' and an image of it (0.080 A), 'Ti1' and 'Ti2' (0.080 A), "
          "'Ti2' and an image of it (0.240 A); the RDF still counts pairs between them, weighted "
          "by the occupancies"]),
        (CELL, ["Ti1 Ti 0.5 0.5 0.5 0.5", "Ti2 Ti 0.7 0.5 0.5 0.5"], 2, []),  # 0.8 A apart
        (CELL, ["Ti1 Ti 0.5 0.5 0.5 1", "O1 O 0.54 0.5 0.5 1"], 2,  # full sites: not split, but said
         [FULL_CLOSE.format("'Ti1' and 'O1' (0.160 A)")]),
        (CELL, ["Ti1 Ti 0.5 0.5 0.5 0.5", "O1 O 0.54 0.5 0.5 1"], 2, [FULL_CLOSE.format("'Ti1' and 'O1' (0.160 A)")]),
        (CELL, ["Ti1 Ti 0.5 0.5 0.5 1", "O1 O 0.625 0.5 0.5 1"], 2, []),  # 0.5 A apart: not closer
        # A last row cut short (a truncated file) is dropped, and said.
        (CELL, ["Fe1 Fe 0 0 0 1", "O1 O 0.5 0.5"], 1,
         ["the loop of '_atom_site_label' ends with a row of 4 values on line 16 where its 6 tags "
          "need as many; the row is dropped (is the file cut short or a value missing?)"]),
        # An angle that is not given is 90 degrees, and said.
        (CELL.replace("_cell_angle_beta 90\n", ""), ["Fe1 Fe 0 0 0 1"], 1,
         ["_cell_angle_beta is not given; 90 degrees is assumed"]),
    ],
)
def test_assumptions_on_sites(cell, rows, n_sites, findings):
    text = cif(rows, cell=cell)
    assert Structure.from_cif_str(text).n_sites == n_sites
    assert cif_warnings(text) == findings


@pytest.mark.parametrize("lengths, angles, symprec", [
    ((11.0, 12.5, 9.5), (90, 90, 90), 1e-4),  # searched on the merging grid
    ((11.0, 12.5, 9.5), (80, 105, 95), 0.005),
    ((3.0, 3.2, 2.9), (80, 105, 95), 1e-4),  # grid cells under 1 A: searched apart
    ((2.2, 7.0, 0.9), (88, 97, 110), 1e-4),  # a cell narrower than 1 A: all 27 images
])
def test_close_full_sites_match_a_brute_force_search(lengths, angles, symprec):
    """Every pair of sites closer than 0.5 A is counted and the closest three named, as an
    all-pairs search over the 27 nearest images finds them."""
    rng = np.random.default_rng(5)
    frac = rng.random((40, 3))
    frac = np.vstack([frac, (frac[:20] + rng.normal(0, 0.02, (20, 3))) % 1])  # partners nearby
    cell = "".join(f"_cell_length_{x} {v}\n" for x, v in zip("abc", lengths)) + "".join(
        f"_cell_angle_{x} {v}\n" for x, v in zip(("alpha", "beta", "gamma"), angles))
    text = cif([f"Si{i} Si {x:.6f} {y:.6f} {z:.6f} 1" for i, (x, y, z) in enumerate(frac)], cell=cell)
    s = Structure.from_cif_str(text, symprec=symprec)
    assert s.n_sites == len(frac)
    m = np.array(s.lattice_matrix)
    shifts = np.array([(i, j, k) for i in (-1, 0, 1) for j in (-1, 0, 1) for k in (-1, 0, 1)])
    pairs = []
    for i in range(len(frac)):
        for j in range(i + 1, len(frac)):
            d = frac[j] - frac[i]
            d = np.linalg.norm((d - np.round(d) + shifts) @ m, axis=1).min()
            if d < 0.5:
                pairs.append((d, i, j))
    pairs.sort()
    assert len(pairs) > 3
    named = ", ".join(f"'Si{i}' and 'Si{j}' ({d:.3f} A)" for d, i, j in pairs[:3])
    expected = [FULL_CLOSE.format(f"{named} and {len(pairs) - 3} more pairs")]
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        Structure.from_cif_str(text, symprec=symprec)
    assert [str(w.message) for w in caught] == expected


def test_a_read_after_a_larger_one_matches_a_fresh_read():
    """A thread keeps a read's tables for the next: what is read after a larger file (and
    again after a smaller one) is what a new thread, whose tables are new, reads."""
    import threading

    rng = np.random.default_rng(9)
    cell = "".join(f"_cell_length_{x} 9\n" for x in "abc") + "".join(
        f"_cell_angle_{x} 90\n" for x in ("alpha", "beta", "gamma"))
    ops = "loop_\n_symmetry_equiv_pos_as_xyz\nx,y,z\n-x,-y,-z\n"

    def text(n):
        frac = rng.random((n, 3))
        rows = [f"Si{i} Si {x:.6f} {y:.6f} {z:.6f} {0.5 if i % 3 else 1}" for i, (x, y, z) in enumerate(frac)]
        return cif(rows + rows[:2] + [rows[4].replace("Si4 ", "Si4b ")], cell=cell + ops)

    def read(t):
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            s = Structure.from_cif_str(t)
        return s.frac_coords, s.species, [str(w.message) for w in caught]

    large, small = text(600), text(150)
    fresh = {}
    for name, t in (("large", large), ("small", small)):
        thread = threading.Thread(target=lambda n=name, t=t: fresh.__setitem__(n, read(t)))
        thread.start()
        thread.join()
    assert "fully occupied sites stand closer" in " ".join(fresh["small"][2])
    assert "repeats an earlier row" in " ".join(fresh["small"][2])
    for t, name in ((large, "large"), (small, "small"), (large, "large"), (small, "small")):
        assert read(t) == fresh[name]


def test_special_positions_agree_with_gemmi(tmp_path):
    from reader_peers import assert_same, gemmi_view

    path = tmp_path / "zn.cif"
    path.write_text(cif(["Zn1 Zn 0.333 0.667 0.25 1", "O1 O 0.333 0.667 0.625 1"], cell=HEX))
    assert_same(Structure.from_cif(path), gemmi_view(path), tol=0.05)


@pytest.mark.parametrize("data, finding", [
    (b"# Jos\xe9 Garc\xeda, Universit\xe9\n", None),  # Latin-1 in a comment does not matter
    (b"_publ_author_name 'Jos\xe9'\n", None),
    (b"_journal_name_full\n;\nActa Cryst. \xa9\n;\n", None),
    (b"loop_\n_symmetry_equiv_pos_as_xyz\nx,y,z\n'-x,-y,-z\xb4'\n",
     "symmetry operation '-x,-y,-z\ufffd' (line 11 holds bytes that are not UTF-8) cannot be read "
     "and is ignored"),
])
def test_bytes_that_are_not_utf8(tmp_path, data, finding):
    path = tmp_path / "latin.cif"
    path.write_bytes(b"data_t\n" + CELL.encode() + data + cif(["Fe1 Fe 0 0 0 1"], head="", cell="").encode())
    assert Structure.from_cif(path).elements == ["Fe"]
    assert cif_warnings(path) == ([finding] if finding else [])


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
