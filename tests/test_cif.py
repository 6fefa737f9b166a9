"""CIF reader: tokenizer, numbers, data blocks, structure assembly, peers reading the same files."""

from __future__ import annotations

import itertools
import math
from importlib.resources import files

import numpy as np
import pytest
from native_probe import probe  # noqa: F401  (fixture)
from reader_peers import BUNDLED, ase_view, assert_same, gemmi_view, pymatgen_view

from kelvara import Structure

DATA = files("kelvara") / "data"
COS90 = 6.123233995736766e-17


# ---- lexical layer ---------------------------------------------------------------

@pytest.mark.parametrize(
    "line, tokens",
    [
        ("Fe1 Fe 0.5 0.5 0.5 # centre", ["Fe1", "Fe", "0.5", "0.5", "0.5"]),
        ("'a b' c", ["a b", "c"]),
        ("''", [""]),
        ("# all comment", []),
        ("Fe#1 x", ["Fe#1", "x"]),
        ("ab'cd ef'", ["ab", "cd ef"]),
        ("'it''s'", ["it", "s"]),  # the second quote closes; no doubling convention
        ('"a # b" c', ["a # b", "c"]),
        ("'unterminated x", ["unterminated x"]),
        ("'a'b", ["a", "b"]),  # a closing quote needs no whitespace after it
        ("x\u00a0y\u3000z", ["x", "y", "z"]),
        ("", []),
    ],
)
def test_tokenize(probe, line, tokens):  # noqa: F811
    out = probe("tokenize", line)
    assert out.split("\x1f")[1:] == tokens


@pytest.mark.parametrize(
    "text, value",
    [("5.4307(2)", 5.4307), ("0.5(12)", 0.5), ("'0.5'", 0.5), ('"0.5"', 0.5), (" 4 ", 4.0),
     ("?", None), (".", None), ("", None), ("abc", None), ("(3)", None), ("'?'", None),
     ("1e3", 1000.0), ("-.5", -0.5), ("5.4 (2)", 5.4), ("1,5", None)],
)
def test_parse_cif_number(probe, text, value):  # noqa: F811
    out = probe("cifnum", text)
    assert (None if out == "NONE" else float(out.split()[1])) == value


@pytest.mark.parametrize(
    "label, symbol",
    [("Fe1", "Fe"), ("Fe3+", "Fe"), ("O2-", "O"), ("fe", "Fe"), ("C1", "C"), ("FE", "F"),
     ("Xx1", "Xx"), ("1Fe", None), ("?", None), ("", None), ("  Na1 ", "Na"), ("éa", None)],
)
def test_element_from_label(probe, label, symbol):  # noqa: F811
    out = probe("label", label)
    assert (None if out == "NONE" else out[3:]) == symbol


def read_block(probe, text):  # noqa: F811
    tags, loops = {}, []
    for record in probe("block", text).splitlines():
        kind, *fields = record.split("\x1f")
        if kind == "TAG":
            tags[fields[0]] = fields[1]
        elif kind == "LOOP":
            loops.append((fields, []))
        else:
            loops[-1][1].append(fields)
    return tags, loops


def test_block_tags(probe):  # noqa: F811
    text = "\n".join([
        "data_a",
        "  _cell_length_a   5.4307(2)  # from XRD",
        "_CELL_LENGTH_B 4",
        "_symmetry_space_group_name_H-M 'P m -3 m'",
        "_title",
        ";",
        "  Crystal structure of  ",
        "copper",
        ";",
        "_empty",
        ";",
        ";",
        "_lone",
        "",
        "_cell_length_b2 5",
        "_commented",
        "# a comment",
        "; free text",
        "_not_a_tag 1",
        ";",
        "_after 2",
    ])
    tags, loops = read_block(probe, text)
    assert tags == {
        "_cell_length_a": "5.4307(2)", "_cell_length_b": "4",
        "_symmetry_space_group_name_h-m": "P m -3 m",
        "_title": "Crystal structure ofcopper", "_empty": "",
        "_lone": "_cell_length_b2 5", "_commented": "", "_after": "2",
    }
    assert loops == []


def test_block_loops(probe):  # noqa: F811
    text = "\n".join([
        "loop_",
        "_a extra words",
        "# comment in the header",
        "_B",
        "_c",
        "1 2",
        "3 4 5",
        "6 7",
        "data_next",
        "loop_",
        "_x",
        "LOOP_",
        ";",
        "text",
        "field",
        ";",
        "loop_",
        "loop_",
        "1 2 3",
        "_tag value",
        "loop_",
        "_empty",
        "",
    ])
    tags, loops = read_block(probe, text)
    assert loops == [
        (["_a", "_b", "_c"], [["1", "2", "3"], ["4", "5", "6"]]),  # "7" discarded
        (["_x"], [["LOOP_"], ["textfield"]]),
        (["_empty"], []),
    ]
    assert tags == {"_tag": "value"}


def test_blocks_share_tags(probe):  # noqa: F811
    text = ("data_one\n_cell_length_a 1\nloop_\n_atom_site_label\nA\n"
            "data_two\n_cell_length_a 2\nloop_\n_atom_site_label\nB\n")
    tags, loops = read_block(probe, text)
    assert tags["_cell_length_a"] == "2"
    assert loops == [(["_atom_site_label"], [["A"]]), (["_atom_site_label"], [["B"]])]


def test_unterminated_text_field_runs_to_the_end(probe):  # noqa: F811
    tags, _ = read_block(probe, "_title\n;\nabc\n  def  \n")
    assert tags == {"_title": "abcdef"}
    tags, _ = read_block(probe, "_a 1\n;\n_b 2\n")  # a free text field swallows the rest
    assert tags == {"_a": "1"}


# ---- structure assembly ------------------------------------------------------------

def cif(cell="_cell_length_a 4\n_cell_length_b 4\n_cell_length_c 4\n", ops=None,
        columns=("label", "fract_x", "fract_y", "fract_z"), rows=("Fe1 0 0 0",)):
    text = "data_test\n" + cell
    if ops is not None:
        text += "loop_\n_symmetry_equiv_pos_as_xyz\n" + "".join(f"'{o}'\n" for o in ops)
    text += "loop_\n" + "".join(f"_atom_site_{c}\n" for c in columns)
    text += "".join(r + "\n" for r in rows)
    return text


def test_p1_without_symmetry_loop():
    s = Structure.from_cif_str(cif(rows=("Fe1 0 0 0", "O1 0.5 0.5 0.5", "O2 0.5 0.5 0.5")))
    assert s.n_sites == 2 and s.species[1] == {"O": 1.0}


@pytest.mark.parametrize("angles", ["", "_cell_angle_alpha 90\n_cell_angle_beta 90\n"
                                        "_cell_angle_gamma 90\n"])
def test_right_angles_are_not_rounded(angles):
    s = Structure.from_cif_str(cif(cell="_cell_length_a 4\n_cell_length_b 4\n_cell_length_c 4\n"
                                   + angles))
    m = s.lattice_matrix
    assert m[0] == [4.0, 0.0, 0.0]
    assert m[1] == [4 * COS90, 4.0, 0.0]
    assert m[2][0] == 4 * COS90


def test_triclinic_cell_matches_formula():
    a, b, c, al, be, ga = 5.1, 6.2, 7.3, 81.0, 95.5, 110.25
    text = cif(cell=f"_cell_length_a {a}\n_cell_length_b {b}\n_cell_length_c {c}\n"
                    f"_cell_angle_alpha {al}\n_cell_angle_beta {be}\n_cell_angle_gamma {ga}\n")
    m = np.array(Structure.from_cif_str(text).lattice_matrix)
    deg = 0.017453292519943295
    cx = c * math.cos(be * deg)
    cy = c * (math.cos(al * deg) - math.cos(be * deg) * math.cos(ga * deg)) / math.sin(ga * deg)
    expected = [[a, 0, 0], [b * math.cos(ga * deg), b * math.sin(ga * deg), 0],
                [cx, cy, math.sqrt(c * c - cx * cx - cy * cy)]]
    assert m.tolist() == expected


@pytest.mark.parametrize(
    "rows, n_sites",
    [(["Fe1 0 0 0"], 1), (["Fe1 0.1 0.2 0.3"], 2)],
)
def test_inversion_images(rows, n_sites):
    s = Structure.from_cif_str(cif(ops=["x,y,z", "-x,-y,-z"], rows=rows))
    assert s.n_sites == n_sites
    if n_sites == 2:
        assert np.allclose(s.frac_coords[1], [0.9, 0.8, 0.7], atol=1e-15)


@pytest.mark.parametrize("symprec, n_sites", [(1e-4, 1), (0.0, 2), (-1.0, 2), (5e-5, 2),
                                              (float("nan"), 2), (1, 1), (float("inf"), 1)])
def test_symprec_periodic_merge(symprec, n_sites):
    text = cif(rows=("Fe1 0.99995 0.5 0.5", "Fe2 0.00004 0.5 0.5"))
    s = Structure.from_cif_str(text, symprec=symprec)
    assert s.n_sites == n_sites
    assert s.frac_coords[0] == [0.99995, 0.5, 0.5]  # the first image keeps its place


@pytest.mark.parametrize(
    "rows, species",
    [(["Fe1 Fe 0 0 0 0.5", "Co1 Co 0 0 0 0.5"], [{"Co": 0.5, "Fe": 0.5}]),
     (["Fe1 Fe 0 0 0 0.3", "Fe2 Fe 0 0 0 0.5"], [{"Fe": 0.5}]),
     (["Fe1 Fe 0 0 0 0", "Co1 Co 0.5 0 0 1"], [{"Co": 1.0}]),
     (["Fe1 Fe 0 0 0 ?", "Co1 Co 0.5 0 0 -1"], [{"Fe": 1.0}]),
     (["Fe1 Fe ? 0 0 1", "Co1 Co 0.5 0 0 ."], [{"Co": 1.0}])],
)
def test_occupancies_and_mixed_sites(rows, species):
    s = Structure.from_cif_str(cif(columns=("label", "type_symbol", "fract_x", "fract_y",
                                            "fract_z", "occupancy"), rows=rows))
    assert s.species == species


def test_mixed_site_species_in_row_order():
    s = Structure.from_cif_str(cif(columns=("label", "type_symbol", "fract_x", "fract_y",
                                            "fract_z", "occupancy"),
                                   rows=["Zr1 Zr 0 0 0 0.5", "Ce1 Ce 0 0 0 0.5"]))
    # The species property orders by element; the stored order shows through the repr
    # only as a formula, so check the composition and the disorder flag.
    assert s.composition == {"Ce": 0.5, "Zr": 0.5} and not s.is_ordered


def test_type_symbol_preferred_over_label():
    s = Structure.from_cif_str(cif(columns=("label", "type_symbol", "fract_x", "fract_y",
                                            "fract_z"),
                                   rows=["Na1 Cl 0 0 0", "Na2 ? 0.5 0.5 0.5"]))
    assert s.species == [{"Cl": 1.0}, {"Na": 1.0}]


def test_merged_overfull_site():
    text = cif(columns=("label", "fract_x", "fract_y", "fract_z", "occupancy"),
               rows=["Fe1 0 0 0 0.7", "Co1 0 0 0 0.7"])
    with pytest.raises(ValueError, match=r"^a site has occupancies summing to 1\.4000, "
                                         r"which exceeds 1$"):
        Structure.from_cif_str(text)


GOOD_CELL = "_cell_length_a 4\n_cell_length_b 4\n_cell_length_c 4\n"


@pytest.mark.parametrize(
    "text, message",
    [
        (cif(cell=""), "missing _cell_length_a"),
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
        ("_cell_length_a 4\n_cell_length_b 4\n_cell_length_c 4\n",
         "no _atom_site loop with fractional coordinates found"),
        (cif(columns=("label", "fract_x", "fract_z")), "missing _atom_site_fract_y"),
        (cif(columns=("label", "fract_x", "fract_y")), "missing _atom_site_fract_z"),
        (cif(rows=("1 0 0 0",)), "could not determine the element of an atom site"),
        (cif(rows=()), "CIF contains no usable atom sites"),
        (cif(rows=("Fe1 ? 0 0", "Fe2 0 . 0")), "CIF contains no usable atom sites"),
        (cif(rows=("Fe1 0 0",)), "CIF contains no usable atom sites"),  # a short row
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
        (cif(columns=("label", "fract_x", "fract_y", "fract_z", "occupancy"),
             rows=("Fe1 0 0 0 nan",)),
         "atom site 'Fe1' has an occupancy that is not a finite number: 'nan'"),
        (cif(ops=["1e300x,y,z"], rows=("Fe1 1e10 0 0",)),
         "symmetry operation 1 moves atom site 'Fe1' to a position that is not finite"),
    ],
)
def test_failures(text, message):
    with pytest.raises(ValueError) as info:
        Structure.from_cif_str(text)
    assert info.value.args == (message,)


def test_failure_order_cell_before_atoms():
    with pytest.raises(ValueError, match="^missing _cell_length_a$"):
        Structure.from_cif_str("loop_\n_atom_site_label\n")


def test_large_symmetric_expansion_merges_like_brute_force(rng):
    """Random sites under the 48 operations of m-3m; the grid merge equals an O(n^2) merge."""
    # The 48 signed permutation matrices, written out as triplets.
    matrices, ops = [], []
    for perm in itertools.permutations(range(3)):
        for signs in itertools.product([1, -1], repeat=3):
            rot = np.zeros((3, 3))
            for row in range(3):
                rot[row, perm[row]] = signs[row]
            matrices.append((rot, np.zeros(3)))
            ops.append(",".join(("-" if signs[row] < 0 else "") + "xyz"[perm[row]]
                                for row in range(3)))
    coords = np.round(rng.random((30, 3)), 3)
    coords[:10, 2] = coords[:10, 1]  # some sites on mirror planes, so images coincide
    coords[10:13] = 0.5
    rows = [f"Fe{i} {x} {y} {z}" for i, (x, y, z) in enumerate(coords)]
    for symprec in [1e-4, 0.003, 0.05]:
        s = Structure.from_cif_str(cif(ops=ops, rows=rows), symprec=symprec)
        sites: list[np.ndarray] = []
        for x, y, z in coords:
            for rot, tran in matrices:
                f = ((rot[:, 0] * x + rot[:, 1] * y) + rot[:, 2] * z) + tran
                f = f - np.floor(f)
                for site in sites:
                    d = np.abs(site - f)
                    d = np.where(d > 0.5, 1 - d, d)
                    if np.all(d < symprec):
                        break
                else:
                    sites.append(f)
        assert s.n_sites == len(sites)
        assert np.allclose(s.frac_coords, sites, atol=1e-12)


# ---- peers ----------------------------------------------------------------------

SAMPLES = {
    "triclinic_p-1.cif": """data_t
_cell_length_a 5.1
_cell_length_b 6.2
_cell_length_c 7.3
_cell_angle_alpha 81.0
_cell_angle_beta 95.5
_cell_angle_gamma 110.25
_symmetry_space_group_name_H-M 'P -1'
loop_
_symmetry_equiv_pos_as_xyz
x,y,z
-x,-y,-z
loop_
_atom_site_label
_atom_site_type_symbol
_atom_site_fract_x
_atom_site_fract_y
_atom_site_fract_z
Fe1 Fe 0.1 0.2 0.3
O1 O 0.0 0.5 0.5
O2 O 0.25 0.75 0.125
""",
    "rutile_p42mnm.cif": """data_rutile
_symmetry_space_group_name_H-M 'P 42/m n m'
_cell_length_a 4.5937
_cell_length_b 4.5937
_cell_length_c 2.9587
_cell_angle_alpha 90
_cell_angle_beta 90
_cell_angle_gamma 90
loop_
_space_group_symop_operation_xyz
'x, y, z'
'-x, -y, z'
'-y+1/2, x+1/2, z+1/2'
'y+1/2, -x+1/2, z+1/2'
'-x+1/2, y+1/2, -z+1/2'
'x+1/2, -y+1/2, -z+1/2'
'y, x, -z'
'-y, -x, -z'
'-x, -y, -z'
'x, y, -z'
'y+1/2, -x+1/2, -z+1/2'
'-y+1/2, x+1/2, -z+1/2'
'x+1/2, -y+1/2, z+1/2'
'-x+1/2, y+1/2, z+1/2'
'-y, -x, z'
'y, x, z'
loop_
_atom_site_label
_atom_site_type_symbol
_atom_site_fract_x
_atom_site_fract_y
_atom_site_fract_z
_atom_site_occupancy
Ti1 Ti 0 0 0 1.0
O1 O 0.30478(6) 0.30478(6) 0 1.0
""",
}


def mixed_fluorite() -> str:
    """Cubic (Zr,Y)O2 with the 192 operations of F m -3 m taken from the bundled NaCl file."""
    nacl = (DATA / "NaCl.cif").read_text()
    head = nacl[: nacl.rindex("loop_")].replace("5.6402", "5.14")
    return head + """loop_
_atom_site_label
_atom_site_type_symbol
_atom_site_fract_x
_atom_site_fract_y
_atom_site_fract_z
_atom_site_occupancy
Zr1 Zr4+ 0 0 0 0.85
Y1 Y3+ 0 0 0 0.15
O1 O2- 0.25 0.25 0.25 0.9625
"""


def sample_paths(tmp_path):
    paths = []
    (tmp_path / "mixed_fluorite.cif").write_text(mixed_fluorite())
    paths.append(tmp_path / "mixed_fluorite.cif")
    for name, text in SAMPLES.items():
        path = tmp_path / name
        path.write_text(text)
        paths.append(path)
    return paths + [DATA / name for name in BUNDLED if name.endswith(".cif")]


@pytest.mark.parametrize("peer", [gemmi_view, pymatgen_view, ase_view])
def test_peers_agree(tmp_path, peer):
    for path in sample_paths(tmp_path):
        s = Structure.from_cif(str(path))
        try:
            assert_same(s, peer(path))
        except Exception as e:
            raise AssertionError(path.name) from e


def test_from_cif_and_from_cif_str_agree(tmp_path):
    for path in sample_paths(tmp_path):
        a = Structure.from_cif(str(path))
        b = Structure.from_cif_str(path.read_text())
        assert a.frac_coords == b.frac_coords and a.species == b.species
        assert a.lattice_matrix == b.lattice_matrix


@pytest.mark.parametrize(
    "name, n_sites, formula",
    [("NaCl.cif", 8, "Cl4 Na4"), ("ZnO.cif", 4, "O2 Zn2"),
     ("SrBaTiO3.cif", 5, "Ba0.5000 O3 Sr0.5000 Ti1, disordered")],
)
def test_bundled_cifs(name, n_sites, formula):
    s = Structure.from_cif(str(DATA / name))
    assert repr(s) == f"Structure({n_sites} sites, {formula})"


# ---- where peers read a file differently ------------------------------------------

P1_HEAD = """data_t
_cell_length_a 4
_cell_length_b 4
_cell_length_c 4
_cell_angle_alpha 90
_cell_angle_beta 90
_cell_angle_gamma 90
_symmetry_space_group_name_H-M 'P 1'
loop_
_symmetry_equiv_pos_as_xyz
x,y,z
loop_
_atom_site_label
_atom_site_type_symbol
_atom_site_fract_x
_atom_site_fract_y
_atom_site_fract_z
_atom_site_occupancy
"""


def test_peer_difference_capital_type_symbol(tmp_path):
    """'CA': gemmi and pymatgen guess calcium, kelvara and ASE read carbon.

    kelvara keeps its one documented rule (an upper-case letter, then a lower-case one
    if present), so the same text always means the same element; the guess of the
    peers is likely what the author meant, which is why cif_warnings flags the case."""
    path = tmp_path / "capital.cif"
    path.write_text(P1_HEAD + "Ca1 CA 0 0 0 1\n")
    assert Structure.from_cif(str(path)).species == [{"C": 1.0}]
    assert [s[0] for s in gemmi_view(path)[1]] == [{"Ca": 1.0}]
    assert [s[0] for s in pymatgen_view(path)[1]] == [{"Ca": 1.0}]
    assert [s[0] for s in ase_view(path)[1]] == [{"C": 1.0}]


def test_peer_difference_same_element_twice_on_a_site(tmp_path):
    """Fe 0.3 and Fe 0.5 at one position: pymatgen adds them up (0.8), kelvara, gemmi and
    ASE keep 0.5. kelvara is right by its merging rule: coinciding images of one
    element are the same atom met twice, and adding them would over-fill sites whenever
    a file lists symmetry-equivalent copies."""
    path = tmp_path / "dup.cif"
    path.write_text(P1_HEAD + "Fe1 Fe 0 0 0 0.3\nFe2 Fe 0 0 0 0.5\n")
    assert Structure.from_cif(str(path)).species == [{"Fe": 0.5}]
    assert [s[0] for s in pymatgen_view(path)[1]] == [{"Fe": 0.8}]
    assert [s[0] for s in ase_view(path)[1]] == [{"Fe": 0.5}]


def test_peer_difference_merge_across_the_cell_boundary(tmp_path):
    """x = 0.99995 and x = 0.00004 are 0.00009 apart through the boundary: kelvara (and
    ASE) merge them under symprec 1e-4; gemmi keeps two sites 0.36 mA apart, and
    pymatgen rejects the file. kelvara is right: the distance is periodic."""
    import gemmi

    path = tmp_path / "near.cif"
    path.write_text(P1_HEAD + "Fe1 Fe 0.99995 0 0 1\nFe2 Fe 0.00004 0 0 1\n")
    assert Structure.from_cif(str(path)).n_sites == 1
    assert len(ase_view(path)[1]) == 1
    assert len(gemmi.read_small_structure(str(path)).get_all_unit_cell_sites()) == 2
    with pytest.raises(ValueError):
        pymatgen_view(path)
