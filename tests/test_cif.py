"""CIF reader: tokenizer, numbers, data blocks, structure assembly, peers reading the same files."""

from __future__ import annotations

import itertools
from importlib.resources import files

import numpy as np
import pytest
from reader_peers import BUNDLED, ase_view, assert_same, gemmi_view, pymatgen_view

from kelvara import Structure

DATA = files("kelvara") / "data"
CELL4 = "_cell_length_a 4\n_cell_length_b 4\n_cell_length_c 4\n"
OCC = ("label", "fract_x", "fract_y", "fract_z", "occupancy")
FULL = ("label", "type_symbol", "fract_x", "fract_y", "fract_z", "occupancy")


def cif(cell=CELL4, ops=None, columns=OCC[:4], rows=("Fe1 0 0 0",)):
    text = "data_test\n" + cell
    if ops is not None:
        text += "loop_\n_symmetry_equiv_pos_as_xyz\n" + "".join(f"'{o}'\n" for o in ops)
    text += "loop_\n" + "".join(f"_atom_site_{c}\n" for c in columns)
    return text + "".join(r + "\n" for r in rows)


def sites(text):
    s = Structure.from_cif_str(text)
    return [(next(iter(sp)), f) for sp, f in zip(s.species, s.frac_coords)]


def fails(text, message, **kwargs):
    with pytest.raises(ValueError) as info:
        Structure.from_cif_str(text, **kwargs)
    assert info.value.args == (message,)


@pytest.mark.parametrize(
    "row, symbol",
    [
        ("Fe1 0.1(3) 0.2 0.3 # centre", "Fe"),
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
        # The element is the label's first letter, upper-cased, and a following lower-case one.
        ("Fe3+ 0.1 0.2 0.3", "Fe"), ("fe 0.1 0.2 0.3", "Fe"), ("C1 0.1 0.2 0.3", "C"),
        ("FE 0.1 0.2 0.3", "F"), ("Xx1 0.1 0.2 0.3", "Xx"), ("1Fe 0.1 0.2 0.3", None),
        ("? 0.1 0.2 0.3", None), ("'' 0.1 0.2 0.3", None), ("éa 0.1 0.2 0.3", None),
    ],
)
def test_tokens_and_elements_of_atom_rows(row, symbol):
    text = cif(rows=(row, "O1 0.5 0.5 0.5"))
    if symbol is None:
        fails(text, "could not determine the element of an atom site")
    else:
        assert sites(text) == [(symbol, [0.1, 0.2, 0.3]), ("O", [0.5, 0.5, 0.5])]


@pytest.mark.parametrize(
    "value, a",
    [("5.4307(2)", 5.4307), ("0.5(12)", 0.5), ("'0.5'", 0.5), ('"0.5"', 0.5), ("1e3", 1000.0),
     ("5.4 (2)  # from XRD", 5.4), ("?", None), (".", None), ("abc", None), ("(3)", None),
     ("'?'", None), ("1,5", None), ("", None), ("\n\n  6", 6.0), ("\n;\n 6 \n.5\n;", 6.5),
     ("\n# a comment\n6", None), ("\n_cell_length_a 6", None)],
)
def test_cif_numbers_and_tag_values(value, a):
    """Numbers with uncertainties, missing values, and tag values on later lines."""
    text = cif(cell=f"_cell_length_a {value}\n" + CELL4[16:])
    if a is None:
        fails(text, "missing _cell_length_a")
    else:
        assert Structure.from_cif_str(text).lattice_matrix[0][0] == a


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
        (CELL4 + ";\n" + cif(cell="")[10:], "no _atom_site loop with fractional coordinates found"),
        # Loop headers: words after a name and comments are ignored; a loop without
        # names swallows its values.
        ("data_t\n_cell_length_a 4\nloop_\nloop_\n1 2 3\n_cell_length_b 4\n_cell_length_c 4\n"
         "loop_\n_atom_site_label extra\n# note\n_atom_site_fract_x\n_atom_site_fract_y\n"
         "_atom_site_fract_z\nFe1 0 0 0\n", [4.0, 4.0, 4.0]),
        # The first atom-site loop is read; an incomplete last row is discarded.
        (cif(rows=("Fe1 0 0 0 O1 0.5 0.5 0.5 Na1 0",)) + "data_b\n" + cif(cell="")[10:]
         .replace("Fe1", "Co1"), [("Fe", [0.0, 0.0, 0.0]), ("O", [0.5, 0.5, 0.5])]),
        # Right angles are exact (cos 90 deg is taken as computed, not rounded), also by default.
        (cif(cell=CELL4 + "_cell_angle_alpha 90\n_cell_angle_beta 90\n_cell_angle_gamma 90\n"),
         [4.0, 4.0, 4.0]),
    ],
)
def test_data_blocks(text, expected):
    if isinstance(expected, str):
        fails(text, expected)
    elif isinstance(expected[0], float):
        m = Structure.from_cif_str(text).lattice_matrix
        assert np.diag(m).tolist() == expected
        cos90 = 6.123233995736766e-17
        assert [m[1][0], m[2][0], m[0][1]] == [expected[1] * cos90, expected[2] * cos90, 0.0]
    else:
        assert sites(text) == expected


NEAR = ("Fe1 0.99995 0.5 0.5", "Fe2 0.00004 0.5 0.5")  # 0.00009 apart through the boundary
EDGE = ("Fe1 0.25 0.5 0.5", "Fe2 0.5 0.5 0.5")  # exactly 0.25 apart


@pytest.mark.parametrize("rows, symprec, n_sites", [
    (NEAR, 1e-4, 1), (NEAR, 5e-5, 2), (NEAR, 1, 1), (EDGE, 0.25, 2), (EDGE, 0.2500001, 1)])
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
    assert Structure.from_cif_str(cif(columns=FULL, rows=rows)).species == species


def cell(a="4", b="4", c="4", extra=""):
    return f"_cell_length_a {a}\n_cell_length_b {b}\n_cell_length_c {c}\n" + extra


@pytest.mark.parametrize(
    "text, message",
    [
        (cif(cell=""), "missing _cell_length_a"),
        ("loop_\n_atom_site_label\n", "missing _cell_length_a"),  # the cell is checked first
        (cif(cell="_cell_length_a 4\n_cell_length_c x\n"), "missing _cell_length_b"),
        (cif(cell=cell(c="?")), "missing _cell_length_c"),
        (cif(cell=cell(b="-4")), "cell lengths must be positive"),
        (cif(cell=cell(extra="_cell_angle_gamma 180\n")), "gamma must not be 0 or 180 degrees"),
        (cif(cell=cell(extra="_cell_angle_gamma 0\n")), "gamma must not be 0 or 180 degrees"),
        (cif(cell=cell(extra="_cell_angle_alpha 10\n_cell_angle_beta 10\n_cell_angle_gamma 120\n")),
         "cell angles are geometrically inconsistent"),
        (cif(cell=cell("1e-5", "1e-5", "1e-5")), "cell matrix is singular (zero volume)"),
        (CELL4, "no _atom_site loop with fractional coordinates found"),
        (cif(columns=("label", "fract_x", "fract_z")), "missing _atom_site_fract_y"),
        (cif(columns=("label", "fract_x", "fract_y")), "missing _atom_site_fract_z"),
        (cif(rows=("1 0 0 0",)), "could not determine the element of an atom site"),
        (cif(rows=()), "CIF contains no usable atom sites"),
        (cif(rows=("Fe1 ? 0 0", "Fe2 0 . 0")), "CIF contains no usable atom sites"),
        (cif(rows=("Fe1 0 0",)), "CIF contains no usable atom sites"),  # a short row
        (cif(columns=OCC, rows=["Fe1 0 0 0 0.7", "Co1 0 0 0 0.7"]),
         "a site has occupancies summing to 1.4000, which exceeds 1"),
        # Numbers that read but are not finite name the place instead of failing late.
        (cif(cell=cell(a="inf")), "_cell_length_a is not a finite number: 'inf'"),
        (cif(cell=cell(extra="_cell_angle_beta nan\n")), "_cell_angle_beta is not a finite number: 'nan'"),
        (cif(cell=cell(a="1e200", c="1e200")), "cell lengths are too large to build a cell"),
        (cif(rows=("Fe1 1e999 0 0",)),
         "atom site 'Fe1' has a coordinate that is not a finite number: '1e999'"),
        (cif(columns=("fract_x", "fract_y", "fract_z", "type_symbol"), rows=("0 nan 0 Fe",)),
         "atom site in row 1 has a coordinate that is not a finite number: 'nan'"),
        (cif(columns=OCC, rows=("Fe1 0 0 0 nan",)),
         "atom site 'Fe1' has an occupancy that is not a finite number: 'nan'"),
        (cif(ops=["1e300x,y,z"], rows=("Fe1 1e10 0 0",)),
         "symmetry operation 1 moves atom site 'Fe1' to a position that is not finite"),
    ],
)
def test_failures(text, message):
    fails(text, message)


def test_large_symmetric_expansion_merges_like_brute_force(rng):
    """Random sites under the 48 signed permutations of m-3m: the merge equals an O(n^2) merge."""
    matrices, ops = [], []
    for perm, signs in itertools.product(itertools.permutations(range(3)),
                                         itertools.product([1, -1], repeat=3)):
        rot = np.zeros((3, 3))
        rot[range(3), perm] = signs
        matrices.append(rot)
        ops.append(",".join(("-" if signs[r] < 0 else "") + "xyz"[perm[r]] for r in range(3)))
    coords = np.round(rng.random((30, 3)), 3)
    coords[:10, 2] = coords[:10, 1]  # some sites on mirror planes, so images coincide
    coords[10:13] = 0.5
    rows = [f"Fe{i} {x} {y} {z}" for i, (x, y, z) in enumerate(coords)]
    for symprec in [1e-4, 0.003, 0.05]:
        merged: list[np.ndarray] = []
        for (x, y, z), rot in itertools.product(coords, matrices):
            f = (rot[:, 0] * x + rot[:, 1] * y) + rot[:, 2] * z
            f = f - np.floor(f)
            d = np.abs(np.array(merged) - f) if merged else np.ones((0, 3))
            if not np.any(np.all(np.minimum(d, 1 - d) < symprec, axis=1)):
                merged.append(f)
        s = Structure.from_cif_str(cif(ops=ops, rows=rows), symprec=symprec)
        assert s.n_sites == len(merged)
        assert np.allclose(s.frac_coords, merged, atol=1e-12)


ANGLES = "_cell_angle_alpha {}\n_cell_angle_beta {}\n_cell_angle_gamma {}\n"
HM = "_symmetry_space_group_name_H-M '{}'\n"
P1 = dict(cell=CELL4 + ANGLES.format(90, 90, 90) + HM.format("P 1"), ops=["x,y,z"], columns=FULL)


def sample_texts():
    """Triclinic P-1, (Zr,Y)O2 under the 192 operations of F m -3 m taken from the bundled NaCl
    file, and the P 1 files where gemmi and pymatgen
    read differently (ASE only): 'CA' is carbon by the one rule for symbols (upper-case letter,
    then a lower-case one if present; they guess calcium); Fe 0.3 and Fe 0.5 at one position are
    one atom met twice (pymatgen adds them up, over-filling sites whenever a file lists
    symmetry-equivalent copies); x = 0.99995 and 0.00004 merge through the cell boundary
    (gemmi keeps two sites, pymatgen rejects the file)."""
    nacl = (DATA / "NaCl.cif").read_text()
    return {
        "triclinic.cif": cif(cell=cell("5.1", "6.2", "7.3", ANGLES.format(81.0, 95.5, 110.25)
                                       + HM.format("P -1")), ops=["x,y,z", "-x,-y,-z"],
                             columns=FULL[:5], rows=["Fe1 Fe 0.1 0.2 0.3", "O1 O 0.0 0.5 0.5",
                                                     "O2 O 0.25 0.75 0.125"]),
        "mixed_fluorite.cif": nacl[: nacl.rindex("loop_")].replace("5.6402", "5.14")
        + "loop_\n" + "".join(f"_atom_site_{c}\n" for c in FULL)
        + "Zr1 Zr4+ 0 0 0 0.85\nY1 Y3+ 0 0 0 0.15\nO1 O2- 0.25 0.25 0.25 0.9625\n",
        "ase_capital.cif": cif(**P1, rows=["Ca1 CA 0 0 0 1"]),
        "ase_twice.cif": cif(**P1, rows=["Fe1 Fe 0 0 0 0.3", "Fe2 Fe 0 0 0 0.5"]),
        "ase_boundary.cif": cif(**P1, rows=["Fe1 Fe 0.99995 0 0 1", "Fe2 Fe 0.00004 0 0 1"]),
    }


@pytest.mark.parametrize("peer", [gemmi_view, pymatgen_view, ase_view])
def test_peers_agree(tmp_path, peer):
    paths = [DATA / name for name in BUNDLED if name.endswith(".cif")]
    for name, text in sample_texts().items():
        if peer is ase_view or not name.startswith("ase_"):
            (tmp_path / name).write_text(text)
            paths.append(tmp_path / name)
    for path in paths:
        try:
            assert_same(Structure.from_cif(str(path)), peer(path))
        except Exception as e:
            raise AssertionError(path.name) from e
