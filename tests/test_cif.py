"""CIF reader: tokenizer, numbers, data blocks, structure assembly, peers reading the same files."""

from __future__ import annotations

import itertools
from importlib.resources import files

import numpy as np
import pytest
from reader_peers import BUNDLED, ase_view, assert_same, gemmi_view, pymatgen_view

from kelvara import Structure

DATA = files("kelvara") / "data"
COS90 = 6.123233995736766e-17


# ---- lexical layer and data blocks, seen through the structure they give -------------

def cif(cell="_cell_length_a 4\n_cell_length_b 4\n_cell_length_c 4\n", ops=None,
        columns=("label", "fract_x", "fract_y", "fract_z"), rows=("Fe1 0 0 0",)):
    text = "data_test\n" + cell
    if ops is not None:
        text += "loop_\n_symmetry_equiv_pos_as_xyz\n" + "".join(f"'{o}'\n" for o in ops)
    text += "loop_\n" + "".join(f"_atom_site_{c}\n" for c in columns)
    text += "".join(r + "\n" for r in rows)
    return text


def sites(text):
    s = Structure.from_cif_str(text)
    return [(next(iter(sp)), f) for sp, f in zip(s.species, s.frac_coords)]


@pytest.mark.parametrize(
    "row, symbol",
    [
        ("Fe1 0.1 0.2 0.3 # centre", "Fe"),
        ("'Na 1' 0.1 0.2 0.3", "Na"),
        ("Co#1 0.1 0.2 0.3", "Co"),  # "#" inside a token is not a comment
        ("Ni1'0.1' 0.2 0.3", "Ni"),  # a quote inside a token starts a new token
        ("'Cu''0.1' 0.2 0.3", "Cu"),  # the second quote closes; no doubling convention
        ('"Zn # b" 0.1 0.2 0.3', "Zn"),
        ("'Ti1'0.1 0.2 0.3", "Ti"),  # a closing quote needs no whitespace after it
        ("Mn1 0.1 0.2 '0.3", "Mn"),  # an unterminated quote runs to the end of the line
        ("V1\u00a00.1\u30000.2 0.3", "V"),
        ("Cr1 0.1\n0.2 0.3", "Cr"),  # loop values flow across lines
        ("Al1 0.1 0.2\n;\n0.\n 3 \n;", "Al"),  # a text field is one value, lines trimmed and joined
        ("LOOP_ 0.1 0.2 0.3", "L"),  # only lower-case loop_ starts a loop
    ],
)
def test_tokens_of_atom_rows(row, symbol):
    assert sites(cif(rows=(row, "O1 0.5 0.5 0.5"))) == [(symbol, [0.1, 0.2, 0.3]),
                                                        ("O", [0.5, 0.5, 0.5])]


@pytest.mark.parametrize(
    "value, a",
    [("5.4307(2)", 5.4307), ("0.5(12)", 0.5), ("'0.5'", 0.5), ('"0.5"', 0.5), ("1e3", 1000.0),
     ("5.4 (2)  # from XRD", 5.4), ("?", None), (".", None), ("abc", None), ("(3)", None),
     ("'?'", None), ("1,5", None), ("", None), ("\n\n  6", 6.0), ("\n;\n 6 \n.5\n;", 6.5),
     ("\n# a comment\n6", None), ("\n_cell_length_a 6", None)],
)
def test_cif_numbers_and_tag_values(value, a):
    """Numbers with uncertainties, missing values, and tag values on later lines."""
    text = cif(cell=f"_cell_length_a {value}\n_cell_length_b 4\n_cell_length_c 4\n")
    if a is None:
        with pytest.raises(ValueError, match="^missing _cell_length_a$"):
            Structure.from_cif_str(text)
    else:
        assert Structure.from_cif_str(text).lattice_matrix[0][0] == a


@pytest.mark.parametrize(
    "label, symbol",
    [("Fe1", "Fe"), ("Fe3+", "Fe"), ("O2-", "O"), ("fe", "Fe"), ("C1", "C"), ("FE", "F"),
     ("Xx1", "Xx"), ("1Fe", None), ("?", None), ("''", None), ("éa", None)],
)
def test_element_from_label(label, symbol):
    text = cif(rows=(f"{label} 0 0 0",))
    if symbol is None:
        with pytest.raises(ValueError, match="^could not determine the element of an atom site$"):
            Structure.from_cif_str(text)
    else:
        assert Structure.from_cif_str(text).species == [{symbol: 1.0}]


@pytest.mark.parametrize(
    "text, expected",
    [
        # Tag names ignore case; a lone tag takes the next line whole (that line's own tag
        # is not stored); the last value of a tag wins, also across data blocks.
        ("data_a\n_CELL_LENGTH_A 4\n_cell_length_b\n_cell_length_c 9\n_cell_length_b 5\n"
         "data_b\n_cell_length_c 6\n" + cif(cell="")[10:], [4.0, 5.0, 6.0]),
        ("data_a\n_cell_length_a 4\n_cell_length_b 4\n_cell_length_c\n_cell_length_b 5\n"
         + cif(cell="")[10:], "missing _cell_length_c"),
        # A free text field is skipped to its closing line; an unclosed one swallows the rest.
        (";\n_cell_length_a 9\n;\n" + cif(), [4.0, 4.0, 4.0]),
        ("_cell_length_a 4\n_cell_length_b 4\n_cell_length_c 4\n;\n" + cif(cell="")[10:],
         "no _atom_site loop with fractional coordinates found"),
        # Loop headers: words after a name and comments are ignored; a loop without
        # names swallows its values.
        ("data_t\n_cell_length_a 4\nloop_\nloop_\n1 2 3\n_cell_length_b 4\n_cell_length_c 4\n"
         "loop_\n_atom_site_label extra\n# note\n_atom_site_fract_x\n_atom_site_fract_y\n"
         "_atom_site_fract_z\nFe1 0 0 0\n", [4.0, 4.0, 4.0]),
        # The first atom-site loop is read; an incomplete last row is discarded.
        (cif(rows=("Fe1 0 0 0 O1 0.5 0.5 0.5 Na1 0",)) + "data_b\n" + cif(cell="")[10:]
         .replace("Fe1", "Co1"), [("Fe", [0.0, 0.0, 0.0]), ("O", [0.5, 0.5, 0.5])]),
    ],
)
def test_data_blocks(text, expected):
    if isinstance(expected, str):
        with pytest.raises(ValueError) as info:
            Structure.from_cif_str(text)
        assert info.value.args == (expected,)
    elif isinstance(expected[0], float):
        assert np.diag(Structure.from_cif_str(text).lattice_matrix).tolist() == expected
    else:
        assert sites(text) == expected


# ---- structure assembly ------------------------------------------------------------

@pytest.mark.parametrize("angles", ["", "_cell_angle_alpha 90\n_cell_angle_beta 90\n"
                                        "_cell_angle_gamma 90\n"])
def test_right_angles_are_not_rounded(angles):
    m = Structure.from_cif_str(cif(cell="_cell_length_a 4\n_cell_length_b 4\n_cell_length_c 4\n"
                                   + angles)).lattice_matrix
    assert m[0] == [4.0, 0.0, 0.0] and m[1] == [4 * COS90, 4.0, 0.0] and m[2][0] == 4 * COS90


NEAR = ("Fe1 0.99995 0.5 0.5", "Fe2 0.00004 0.5 0.5")  # 0.00009 apart through the boundary
EDGE = ("Fe1 0.25 0.5 0.5", "Fe2 0.5 0.5 0.5")  # exactly 0.25 apart


@pytest.mark.parametrize("rows, symprec, n_sites", [
    (NEAR, 1e-4, 1), (NEAR, 0.0, 2), (NEAR, -1.0, 2), (NEAR, 5e-5, 2), (NEAR, float("nan"), 2),
    (NEAR, 1, 1), (NEAR, float("inf"), 1), (EDGE, 0.25, 2), (EDGE, 0.2500001, 1)])
def test_symprec_periodic_merge(rows, symprec, n_sites):
    s = Structure.from_cif_str(cif(rows=rows), symprec=symprec)
    assert s.n_sites == n_sites  # merged when strictly closer than symprec on every axis
    assert s.frac_coords[0] == [float(v) for v in rows[0].split()[1:]]  # the first image stays


@pytest.mark.parametrize(
    "rows, species",
    [(["Fe1 Fe 0 0 0 0.5", "Co1 Co 0 0 0 0.5"], [{"Co": 0.5, "Fe": 0.5}]),
     (["Fe1 Fe 0 0 0 0.3", "Fe2 Fe 0 0 0 0.5"], [{"Fe": 0.5}]),  # one atom met twice
     (["Fe1 Fe 0 0 0 0", "Co1 Co 0.5 0 0 1"], [{"Co": 1.0}]),
     (["Fe1 Fe 0 0 0 ?", "Co1 Co 0.5 0 0 -1"], [{"Fe": 1.0}]),
     (["Fe1 Fe ? 0 0 1", "Co1 Co 0.5 0 0 ."], [{"Co": 1.0}]),
     (["Na1 Cl 0 0 0 1", "Na2 ? 0.5 0.5 0.5 1"], [{"Cl": 1.0}, {"Na": 1.0}])],
)
def test_occupancies_and_mixed_sites(rows, species):
    s = Structure.from_cif_str(cif(columns=("label", "type_symbol", "fract_x", "fract_y",
                                            "fract_z", "occupancy"), rows=rows))
    assert s.species == species


GOOD_CELL = "_cell_length_a 4\n_cell_length_b 4\n_cell_length_c 4\n"
OCC = ("label", "fract_x", "fract_y", "fract_z", "occupancy")


@pytest.mark.parametrize(
    "text, message",
    [
        (cif(cell=""), "missing _cell_length_a"),
        ("loop_\n_atom_site_label\n", "missing _cell_length_a"),  # the cell is checked first
        (cif(cell="_cell_length_a 4\n_cell_length_c x\n"), "missing _cell_length_b"),
        (cif(cell="_cell_length_a 4\n_cell_length_b 4\n_cell_length_c ?\n"),
         "missing _cell_length_c"),
        (cif(cell="_cell_length_a 4\n_cell_length_b -4\n_cell_length_c 4\n"),
         "cell lengths must be positive"),
        (cif(cell=GOOD_CELL + "_cell_angle_gamma 180\n"), "gamma must not be 0 or 180 degrees"),
        (cif(cell=GOOD_CELL + "_cell_angle_gamma 0\n"), "gamma must not be 0 or 180 degrees"),
        (cif(cell=GOOD_CELL + "_cell_angle_alpha 10\n_cell_angle_beta 10\n"
                              "_cell_angle_gamma 120\n"), "cell angles are geometrically inconsistent"),
        (cif(cell="_cell_length_a 1e-5\n_cell_length_b 1e-5\n_cell_length_c 1e-5\n"),
         "cell matrix is singular (zero volume)"),
        (GOOD_CELL, "no _atom_site loop with fractional coordinates found"),
        (cif(columns=("label", "fract_x", "fract_z")), "missing _atom_site_fract_y"),
        (cif(columns=("label", "fract_x", "fract_y")), "missing _atom_site_fract_z"),
        (cif(rows=("1 0 0 0",)), "could not determine the element of an atom site"),
        (cif(rows=()), "CIF contains no usable atom sites"),
        (cif(rows=("Fe1 ? 0 0", "Fe2 0 . 0")), "CIF contains no usable atom sites"),
        (cif(rows=("Fe1 0 0",)), "CIF contains no usable atom sites"),  # a short row
        (cif(columns=OCC, rows=["Fe1 0 0 0 0.7", "Co1 0 0 0 0.7"]),
         "a site has occupancies summing to 1.4000, which exceeds 1"),
        # Numbers that read but are not finite name the place instead of failing late.
        (cif(cell="_cell_length_a inf\n_cell_length_b 4\n_cell_length_c 4\n"),
         "_cell_length_a is not a finite number: 'inf'"),
        (cif(cell=GOOD_CELL + "_cell_angle_beta nan\n"),
         "_cell_angle_beta is not a finite number: 'nan'"),
        (cif(cell="_cell_length_a 1e200\n_cell_length_b 4\n_cell_length_c 1e200\n"),
         "cell lengths are too large to build a cell"),
        (cif(rows=("Fe1 1e999 0 0",)), "atom site 'Fe1' has a coordinate that is not a finite "
                                        "number: '1e999'"),
        (cif(columns=("fract_x", "fract_y", "fract_z", "type_symbol"), rows=("0 nan 0 Fe",)),
         "atom site in row 1 has a coordinate that is not a finite number: 'nan'"),
        (cif(columns=OCC, rows=("Fe1 0 0 0 nan",)),
         "atom site 'Fe1' has an occupancy that is not a finite number: 'nan'"),
        (cif(ops=["1e300x,y,z"], rows=("Fe1 1e10 0 0",)),
         "symmetry operation 1 moves atom site 'Fe1' to a position that is not finite"),
    ],
)
def test_failures(text, message):
    with pytest.raises(ValueError) as info:
        Structure.from_cif_str(text)
    assert info.value.args == (message,)


def test_large_symmetric_expansion_merges_like_brute_force(rng):
    """Random sites under the 48 signed permutations of m-3m: the merge equals an O(n^2) merge."""
    matrices, ops = [], []
    for perm in itertools.permutations(range(3)):
        for signs in itertools.product([1, -1], repeat=3):
            rot = np.zeros((3, 3))
            rot[range(3), perm] = signs
            matrices.append(rot)
            ops.append(",".join(("-" if signs[r] < 0 else "") + "xyz"[perm[r]] for r in range(3)))
    coords = np.round(rng.random((30, 3)), 3)
    coords[:10, 2] = coords[:10, 1]  # some sites on mirror planes, so images coincide
    coords[10:13] = 0.5
    rows = [f"Fe{i} {x} {y} {z}" for i, (x, y, z) in enumerate(coords)]
    for symprec in [1e-4, 0.003, 0.05]:
        s = Structure.from_cif_str(cif(ops=ops, rows=rows), symprec=symprec)
        merged: list[np.ndarray] = []
        for x, y, z in coords:
            for rot in matrices:
                f = (rot[:, 0] * x + rot[:, 1] * y) + rot[:, 2] * z
                f = f - np.floor(f)
                d = np.abs(np.array(merged) - f) if merged else np.ones((0, 3))
                d = np.where(d > 0.5, 1 - d, d)
                if not np.any(np.all(d < symprec, axis=1)):
                    merged.append(f)
        assert s.n_sites == len(merged)
        assert np.allclose(s.frac_coords, merged, atol=1e-12)


# ---- peers ----------------------------------------------------------------------

RUTILE_OPS = ["x, y, z", "-x, -y, z", "-y+1/2, x+1/2, z+1/2", "y+1/2, -x+1/2, z+1/2",
              "-x+1/2, y+1/2, -z+1/2", "x+1/2, -y+1/2, -z+1/2", "y, x, -z", "-y, -x, -z",
              "-x, -y, -z", "x, y, -z", "y+1/2, -x+1/2, -z+1/2", "-y+1/2, x+1/2, -z+1/2",
              "x+1/2, -y+1/2, z+1/2", "-x+1/2, y+1/2, z+1/2", "-y, -x, z", "y, x, z"]
ANGLES = "_cell_angle_alpha {}\n_cell_angle_beta {}\n_cell_angle_gamma {}\n"
HM = "_symmetry_space_group_name_H-M '{}'\n"
FULL = ("label", "type_symbol", "fract_x", "fract_y", "fract_z", "occupancy")


def sample_texts():
    """Triclinic P-1, rutile (16 operations, uncertainties), and (Zr,Y)O2 under the 192
    operations of F m -3 m taken from the bundled NaCl file."""
    nacl = (DATA / "NaCl.cif").read_text()
    return {
        "triclinic.cif": cif(cell="_cell_length_a 5.1\n_cell_length_b 6.2\n_cell_length_c 7.3\n"
                                  + ANGLES.format(81.0, 95.5, 110.25) + HM.format("P -1"),
                             ops=["x,y,z", "-x,-y,-z"],
                             columns=FULL[:5], rows=["Fe1 Fe 0.1 0.2 0.3", "O1 O 0.0 0.5 0.5",
                                                     "O2 O 0.25 0.75 0.125"]),
        "rutile.cif": cif(cell="_cell_length_a 4.5937\n_cell_length_b 4.5937\n"
                               "_cell_length_c 2.9587\n" + ANGLES.format(90, 90, 90)
                               + HM.format("P 42/m n m"),
                          ops=RUTILE_OPS, columns=FULL,
                          rows=["Ti1 Ti 0 0 0 1.0", "O1 O 0.30478(6) 0.30478(6) 0 1.0"]),
        "mixed_fluorite.cif": nacl[: nacl.rindex("loop_")].replace("5.6402", "5.14")
        + "loop_\n" + "".join(f"_atom_site_{c}\n" for c in FULL)
        + "Zr1 Zr4+ 0 0 0 0.85\nY1 Y3+ 0 0 0 0.15\nO1 O2- 0.25 0.25 0.25 0.9625\n",
    }


@pytest.mark.parametrize("peer", [gemmi_view, pymatgen_view, ase_view])
def test_peers_agree(tmp_path, peer):
    paths = [DATA / name for name in BUNDLED if name.endswith(".cif")]
    for name, text in sample_texts().items():
        (tmp_path / name).write_text(text)
        paths.append(tmp_path / name)
    for path in paths:
        try:
            assert_same(Structure.from_cif(str(path)), peer(path))
        except Exception as e:
            raise AssertionError(path.name) from e


@pytest.mark.parametrize(
    "name, n_sites, formula",
    [("NaCl.cif", 8, "Cl4 Na4"), ("ZnO.cif", 4, "O2 Zn2"),
     ("SrBaTiO3.cif", 5, "Ba0.5000 O3 Sr0.5000 Ti1, disordered")],
)
def test_bundled_cifs(name, n_sites, formula):
    assert repr(Structure.from_cif(str(DATA / name))) == f"Structure({n_sites} sites, {formula})"


# ---- where peers read a file differently, and why kelvara reads it as it does ----------


def p1_file(tmp_path, rows):
    path = tmp_path / "p1.cif"
    path.write_text(cif(cell=GOOD_CELL + ANGLES.format(90, 90, 90) + HM.format("P 1"), ops=["x,y,z"],
                        columns=FULL, rows=rows))
    return path


def test_peer_difference_capital_type_symbol(tmp_path):
    """'CA': gemmi and pymatgen guess calcium; kelvara and ASE keep the one documented rule
    (upper-case letter, then a lower-case one if present) and read carbon. cif_warnings
    flags the case."""
    path = p1_file(tmp_path, ["Ca1 CA 0 0 0 1"])
    assert Structure.from_cif(str(path)).species == [{"C": 1.0}]
    for peer, element in [(gemmi_view, "Ca"), (pymatgen_view, "Ca"), (ase_view, "C")]:
        assert [s[0] for s in peer(path)[1]] == [{element: 1.0}]


def test_peer_difference_same_element_twice_on_a_site(tmp_path):
    """Fe 0.3 and Fe 0.5 at one position: pymatgen adds them up (0.8); kelvara and ASE keep
    0.5, since coinciding images of one element are one atom met twice (adding them would
    over-fill sites whenever a file lists symmetry-equivalent copies)."""
    path = p1_file(tmp_path, ["Fe1 Fe 0 0 0 0.3", "Fe2 Fe 0 0 0 0.5"])
    assert Structure.from_cif(str(path)).species == [{"Fe": 0.5}]
    assert [s[0] for s in pymatgen_view(path)[1]] == [{"Fe": 0.8}]
    assert [s[0] for s in ase_view(path)[1]] == [{"Fe": 0.5}]


def test_peer_difference_merge_across_the_cell_boundary(tmp_path):
    """x = 0.99995 and x = 0.00004 are 0.00009 apart through the boundary: kelvara and ASE
    merge them under symprec 1e-4 (the distance is periodic); gemmi keeps two sites and
    pymatgen rejects the file."""
    import gemmi

    path = p1_file(tmp_path, ["Fe1 Fe 0.99995 0 0 1", "Fe2 Fe 0.00004 0 0 1"])
    assert Structure.from_cif(str(path)).n_sites == 1
    assert len(ase_view(path)[1]) == 1
    assert len(gemmi.read_small_structure(str(path)).get_all_unit_cell_sites()) == 2
    with pytest.raises(ValueError):
        pymatgen_view(path)
