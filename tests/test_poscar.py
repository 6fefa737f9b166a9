"""POSCAR reader: VASP 4 and 5 layouts, selective dynamics, Direct/Cartesian, scale, failures."""

from __future__ import annotations

import re
from importlib.resources import files

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from reader_peers import ase_view, assert_same, pymatgen_view

from kelvara import Structure

CUBE10 = "10 0 0\n0 10 0\n0 0 10\n"


def poscar(comment="Si", scale="1.0", cell=CUBE10, species="Si\n", counts="2\n",
           mode="Direct\n", coords="0 0 0\n0.25 0.25 0.25\n"):
    return comment + "\n" + scale + "\n" + cell + species + counts + mode + coords


def read(text):
    return Structure.from_str(text, "poscar")


def rows(array):
    return "".join(" ".join(repr(float(x)) for x in row) + "\n" for row in array)


@pytest.mark.parametrize(
    "text",
    [
        poscar(),  # VASP 5
        poscar(species=""),  # VASP 4: species from the comment
        poscar(species="", mode="Selective dynamics\nDirect\n",
               coords="0 0 0 T T F\n0.25 0.25 0.25 F F F\n"),
        poscar(mode="selective\ndirect\n", coords="0 0 0 T T T\n0.25 0.25 0.25 T T T  Si2\n"),
        poscar(comment="Si O", species="", coords="0 0 0\n0.25 0.25 0.25\nextra line\n"),
        poscar(species="Si_pv\n"),
        poscar(counts="+2\n"),
        poscar(mode="\n"),  # a blank mode line means fractional coordinates
        poscar(mode="  k\n", coords="0 0 0\n2.5 2.5 2.5\n"),
        poscar(scale="-1000 extra", cell="1 0 0\n0 1 0\n0 0 1\n"),
        poscar(scale="1.0\r").replace("\n", "\r\n"),
    ],
)
def test_layouts_give_the_same_structure(text):
    s = read(text)
    assert s.species == [{"Si": 1.0}, {"Si": 1.0}]
    np.testing.assert_allclose(s.lattice_matrix, np.diag([10.0] * 3), rtol=1e-14)
    np.testing.assert_allclose(s.frac_coords, [[0, 0, 0], [0.25, 0.25, 0.25]], atol=1e-15)


NO_SPECIES = ("POSCAR does not name one species per atom count (VASP 4 files need the species "
              "on the comment line)")


FORMULA = "the species ({}) are read from the formula '{}' on the comment line, whose counts are those of line 6"


@pytest.mark.parametrize(
    "text, symbols, findings",
    [
        (poscar(comment="FE", species="", counts="1\n"), ["Fe"], []),
        (poscar(comment="fe3", species="", counts="1\n"), ["Fe"], []),
        (poscar(comment="SR TI O", species="", counts="1 1 1\n", coords="0 0 0\n" * 3),
         ["Sr", "Ti", "O"], []),
        (poscar(species="Fe Co O\n", counts="1 0 2\n", coords="0 0 0\n0.5 0 0\n0 0.5 0\n"),
         ["Fe", "O", "O"], []),
        (poscar(species="Fe_pv CL\n", counts="1 1\n"), ["Fe", "Cl"], []),
        # A comment names the species only when every word is an element symbol.
        (poscar(comment="bulk", species="", counts="1\n"), NO_SPECIES, None),
        (poscar(comment="silicon", species="", counts="1\n"), NO_SPECIES, None),
        (poscar(comment="Fe O bulk", species="", counts="2 3\n", coords="0 0 0\n" * 5), NO_SPECIES, None),
        (poscar(comment="$cell vectors", species="", counts="1 1\n"), NO_SPECIES, None),
        (poscar(comment="Si", species="", counts="1 1\n"), NO_SPECIES, None),  # one name, two counts
        # A formula whose counts are the counts line names the species, and says so; a
        # formula that does not match them stays refused.
        (poscar(comment="# Mn2 O1", species="", counts="2 1\n", coords="0 0 0\n" * 3), ["Mn", "Mn", "O"],
         [FORMULA.format("Mn, O", "# Mn2 O1")]),
        (poscar(comment="Mn2O1", species="", counts="2 1\n", coords="0 0 0\n" * 3), ["Mn", "Mn", "O"],
         [FORMULA.format("Mn, O", "Mn2O1")]),
        (poscar(comment="# Mn2 O2", species="", counts="2 1\n", coords="0 0 0\n" * 3), NO_SPECIES, None),
        (poscar(comment="# Mn2 O1 Fe1", species="", counts="2 1\n", coords="0 0 0\n" * 3), NO_SPECIES, None),
        (poscar(comment="# Mn2 Xq1", species="", counts="2 1\n", coords="0 0 0\n" * 3), NO_SPECIES, None),
        (poscar(comment="# Mn O", species="", counts="1 1\n"), NO_SPECIES, None),  # no counts: no formula
        # Species that are not elements are kept, and said once each.
        (poscar(species="X Va X\n", counts="1 1 0\n"), ["X", "Va"],
         ["species 'X' on line 6 reads as 'X', which is not a chemical element",
          "species 'Va' on line 6 reads as 'Va', which is not a chemical element"]),
        # A letter that is not ASCII after a one-letter symbol is dropped, and said so,
        # as a name that is not an element is ("Ö" alone).
        (poscar(species="Sï Cä Ö\n", counts="1 1 1\n", coords="0 0 0\n" * 3), ["S", "C", "Ö"],
         [f"species '{w}' on line 6 reads as '{w[0]}': '{w[1]}' is not an ASCII letter, so it is not "
          "read as the second letter of the symbol" for w in ("Sï", "Cä")]
         + ["species 'Ö' on line 6 reads as 'Ö', which is not a chemical element"]),
        (poscar(comment="Sí", species="", counts="1\n"), ["S"],
         ["species 'Sí' on line 1 reads as 'S': 'í' is not an ASCII letter, so it is not read as the "
          "second letter of the symbol"]),
        # Atom names as species: five are named, the rest summed up in one sentence.
        (poscar(species="Qa Qb Qc Qd Qe Qf Qg\n", counts="1 1 1 1 1 1 1\n", coords="0 0 0\n" * 7),
         ["Qa", "Qb", "Qc", "Qd", "Qe", "Qf", "Qg"],
         [f"species '{q}' on line 6 reads as '{q}', which is not a chemical element" for q in
          ("Qa", "Qb", "Qc", "Qd", "Qe")] + ["more species that are not chemical elements follow; they "
                                             "are read as written, without a warning each (are atom "
                                             "names read as species?)"]),
    ],
)
def test_species_from_blocks_and_comment(text, symbols, findings):
    from kelvara._kelvara import read_with_findings

    if isinstance(symbols, str):
        with pytest.raises(ValueError) as info:
            read(text)
        assert info.value.args == (symbols,)
        return
    s, found = read_with_findings(text, "poscar", is_text=True)
    assert [list(d) for d in s.species] == [[e] for e in symbols]
    assert found == findings


def test_coordinates_match_numpy_and_stay_unwrapped(rng):
    cell = np.diag(rng.uniform(4, 7, 3)) + rng.uniform(-1, 1, (3, 3))
    cart = rng.uniform(-5, 15, (6, 3))
    s = read(poscar(scale="1.5", cell=rows(cell), counts="6\n", mode="C\n", coords=rows(cart)))
    expected = (cart * 1.5) @ np.linalg.inv(cell * 1.5)
    np.testing.assert_allclose(s.frac_coords, expected, rtol=1e-12, atol=1e-12)
    assert read(poscar(coords="1.25 -0.5 0\n0 0 0\n")).frac_coords[0] == [1.25, -0.5, 0.0]


@pytest.mark.parametrize(
    "text, message",
    [
        ("a\n1\n1 0 0\n0 1 0\n0 0 1\nSi\n1\n", "POSCAR is too short to contain a structure"),
        (poscar(scale="x"), "expected a number, found 'x'"),
        (poscar(scale=""), "expected a number, found ''"),
        (poscar(cell="10 0 0\n0 10\n0 0 10\n"), "lattice vector 2 is incomplete"),
        (poscar(cell="10 0 0\n0 10 0\n0 0 ten\n"), "expected a number, found 'ten'"),
        (poscar(scale="0"), "cell matrix is singular (zero volume)"),
        (poscar(scale="-5", cell="1 0 0\n1 0 0\n0 0 1\n"), "cell matrix is singular (zero volume)"),
        (poscar(counts="2 x\n"), "bad atom count 'x'"),
        (poscar(counts="-1\n"), "bad atom count '-1'"),
        (poscar(mode="Selective dynamics", coords=""), "POSCAR ends before the coordinates"),
        (poscar(counts="2 1\n", species="Si O\n"), "POSCAR ends after 2 of 3 coordinates"),
        (poscar(coords="0.5 0.5\n0 0 0\n"), "coordinate line 1 is incomplete"),
        (poscar(coords="0 0 0\n0.5 x 0\n"), "expected a number, found 'x'"),
        (poscar(coords="0 0 0\n0.5 " + "7" * 10_000_000 + "x 0\n"), "expected a number, found '" + "7" * 60 + "...'"),
        (poscar(counts="0\n", coords="\n"), "structure has no sites"),
        (poscar(species="", comment="", counts="\n", coords="\n"), "structure has no sites"),
        # Huge declared counts fail on the missing lines, never by reserving memory.
        (poscar(counts="1000000000000000\n"), "POSCAR ends after 2 of 1000000000000000 coordinates"),
        (poscar(species="A B\n", counts="18446744073709551615 1\n"),
         "POSCAR atom counts add up to more than 18446744073709551615"),
        (poscar(counts="18446744073709551616\n"), "bad atom count '18446744073709551616'"),
        # Numbers that read but are not finite name their line.
        (poscar(scale="inf"), "the scale factor on line 2 is not a finite number: 'inf'"),
        (poscar(cell="10 0 0\n0 1e999 0\n0 0 10\n"),
         "lattice vector 2 holds a number that is not finite: '1e999'"),
        (poscar(scale="1e300", cell="1e10 0 0\n0 1 0\n0 0 1\n"),
         "the lattice vectors times the scale factor '1e300' are not finite"),
        (poscar(coords="0 0 0\n0 1e999 0\n"),
         "coordinate line 2 holds a number that is not finite: '1e999'"),
        (poscar(coords="nan 0 0\n0 0 0\n"), "coordinate line 1 holds a number that is not finite: 'nan'"),
        (poscar(mode="C\n", cell="1e-5 0 0\n0 1e5 0\n0 0 1e5\n", coords="0 0 0\n1e305 0 0\n"),
         "coordinate line 2 gives a position that is not finite"),
    ],
)
def test_failures(text, message):
    with pytest.raises(ValueError) as info:
        read(text)
    assert info.value.args == (message,)


SAMPLES = {
    "direct.vasp": poscar(species="Fe O\n", counts="1 2\n", cell="4.1 0.2 0\n0.1 5.2 0.3\n0 0.4 6.3\n",
                          coords="0 0 0\n0.5 0.25 0.125\n-0.25 1.5 0.75\n"),
    "cartesian.vasp": poscar(species="Ti O\n", counts="1 2\n", scale="1.1", cell="3 0 0\n0 4 0\n1 0 5\n",
                             mode="Cartesian\n", coords="0 0 0\n1.5 2 2.5\n0.5 1 4\n"),
    "volume.vasp": poscar(species="Cu\n", counts="1\n", scale="-47.2",
                          cell="1 0.2 0\n0 2 0.3\n0.1 0 3\n", coords="0 0 0\n"),
}


@pytest.mark.parametrize("peer", [pymatgen_view, lambda p: ase_view(p, "vasp")], ids=["pymatgen", "ase"])
def test_peers_agree(tmp_path, peer):
    for name, text in SAMPLES.items():
        (tmp_path / name).write_text(text)
    for path in [*tmp_path.iterdir(), files("kelvara") / "data" / "Si.poscar"]:
        assert_same(Structure.from_poscar(str(path)), peer(path))


GRAMMAR = re.compile(r"[-+]?(\d+\.?\d*|\.\d+)([eE][-+]?\d+)?")
decimal_token = st.builds(
    lambda sign, whole, point, frac, exp: sign + whole + point + frac + exp,
    st.sampled_from(["", "-", "+"]), st.text("0123456789", max_size=18),
    st.sampled_from(["", "."]), st.text("0123456789", max_size=26),
    st.sampled_from(["", "e5", "E-7", "e+300", "e-330"]),
).filter(GRAMMAR.fullmatch)


@settings(max_examples=400, deadline=None, derandomize=True)
@given(st.lists(decimal_token, min_size=3, max_size=3))
def test_coordinates_read_correctly_rounded(tokens):
    """Coordinates equal Python's correctly rounded float of the same text, bit for bit."""
    expected = [float(t) for t in tokens]
    text = poscar(counts="1\n", coords=" ".join(tokens) + "\n")
    if all(abs(x) <= 1e6 for x in expected):
        assert read(text).frac_coords[0] == expected
    elif all(np.isfinite(expected)):  # no position lies a million cells away
        with pytest.raises(ValueError, match="more than a million cell lengths from the cell"):
            read(text)


def test_formula_comment_matches_ase(tmp_path):
    """A VASP 4 comment '# Mn2 O1' over counts 2 1 names Mn and O, as ASE reads it
    (pymatgen, which takes the species in the order H, He, ..., does not)."""
    path = tmp_path / "POSCAR"
    path.write_text(poscar(comment="# Mn2 O1", species="", counts="2 1\n",
                           coords="0 0 0\n0.5 0.5 0\n0.5 0.5 0.5\n"))
    assert_same(Structure.from_poscar(str(path)), ase_view(path, "vasp"))
