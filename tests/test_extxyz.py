"""Extended XYZ frames: the structure reader (first frame) and the trajectory reader, one
table of frames run through both; Lattice="..." by text search; peers."""

from __future__ import annotations

from importlib.resources import files

import numpy as np
import pytest
from reader_peers import ase_view, assert_same

from kelvara import Structure, read_xyz_trajectory

CELL10 = 'Lattice="10 0 0 0 10 0 0 0 10"'
NO_CELL = ('this XYZ file has no Lattice="..." field, so it has no cell and no periodic RDF can '
           "be computed")


def xyz(count="1", comment=CELL10 + " Properties=species:S:1:pos:R:3", atoms="O 5 5 5\n"):
    return f"{count}\n{comment}\n{atoms}"


def read(text):
    return Structure.from_str(text, "xyz")


@pytest.mark.parametrize(
    "comment, side",
    [
        ('lattice="4 0 0 0 4 0 0 0 4"', 4.0),
        ('lattice="4 0 0 0 4 0 0 0 4" Lattice="5 0 0 0 5 0 0 0 5"', 5.0),
        ('xLattice="6 0 0 0 6 0 0 0 6"x', 6.0),  # text search: what precedes does not matter
        ('Lattice="7 0 0\t0 7 0 \u00a0 0 0 7" pbc="T T T"', 7.0),
    ],
)
def test_cell_key(comment, side):
    s = read(xyz(comment=comment, atoms="H 1 1 1\n"))
    assert s.lattice_matrix[0][0] == side and s.frac_coords == [[1 / side] * 3]


@pytest.mark.parametrize("species, symbol", [("fe", "Fe"), ("FE", "Fe"), ("Fe1", "Fe"), ("1", "1"),
                                             ("SR", "Sr"), ("CL1", "Cl"), ("FX", "F")])
def test_species(species, symbol):
    assert read(xyz(atoms=f"{species} 0 0 0\n")).elements == [symbol]


def test_coordinates_match_numpy_and_stay_unwrapped(rng):
    cell = np.diag(rng.uniform(4, 7, 3)) + rng.uniform(-1, 1, (3, 3))
    cart = rng.uniform(-5, 15, (5, 3))
    comment = 'Lattice="' + " ".join(repr(float(x)) for x in cell.ravel()) + '"'
    atoms = "".join("C " + " ".join(repr(float(x)) for x in row) + " 0.1 junk\n" for row in cart)
    s = read(xyz(count="  5  ", comment=comment, atoms=atoms + "ignored frame\n"))
    np.testing.assert_allclose(s.frac_coords, cart @ np.linalg.inv(cell), rtol=1e-12, atol=1e-12)


COUNT = "first line of an XYZ file must be the atom count"
FOUND = "frame 2: expected an atom count, found '{}'"
NOT_FINITE = "site 0 has a fractional coordinate that is not a finite number"


# Each frame alone through Structure.from_str, and as frame 2 of a trajectory (after two
# good frames) through read_xyz_trajectory; None: read without complaint. Where both
# readers say the same, the second message is "=".
@pytest.mark.parametrize(
    "text, alone, in_trajectory",
    [
        ("1", "XYZ file is too short", "frame 2 ends before its comment line"),
        ("", "XYZ file is too short", None),
        (xyz(count="4 atoms"), COUNT, FOUND.format("4 atoms")),
        (xyz(count="-1"), COUNT, FOUND.format("-1")),
        (xyz(count="18446744073709551616"), COUNT, FOUND.format("18446744073709551616")),
        (xyz(comment="Properties=species:S:1:pos:R:3"), NO_CELL,
         'frame 2 has no Lattice="..." and no cell was given; an RDF of a periodic system '
         "needs the cell, so pass cell=[[a],[b],[c]]"),
        # The trajectory reader accepts any case and an unclosed quote; the structure reader not.
        (xyz(comment='LATTICE="10 0 0 0 10 0 0 0 10"'), NO_CELL, None),
        (xyz(comment='Lattice="10 0 0 0 10 0 0 0 10'), 'unterminated Lattice="..." field', None),
        (xyz(comment="Lattice=10"), NO_CELL, 'Lattice="..." must hold 9 numbers, found 1'),
        # The Lattice search knows nothing about quotes: " Lattice=" inside a value counts.
        (xyz(comment='note="see Lattice=4 5" ' + CELL10), None, 'Lattice="..." must hold 9 numbers, found 1'),
        (xyz(comment='Lattice="10 0 0 0 10 0 0 0"'), 'Lattice="..." must hold 9 numbers, found 8', "="),
        (xyz(comment='Lattice="10 0 0 0 10 0 0 0 10 1"'), 'Lattice="..." must hold 9 numbers, found 10', "="),
        (xyz(comment='Lattice=""'), 'Lattice="..." must hold 9 numbers, found 0', "="),
        (xyz(comment='Lattice="10 0 0 0 10 0 0 0 x"'), "expected a number, found 'x'", "="),
        (xyz(comment='Lattice="1 0 0 0 1 0 0 0 0"'), "cell matrix is singular (zero volume)", "="),
        (xyz(comment='Lattice="10 0 0 0 inf 0 0 0 10"'),
         "Lattice=\"...\" holds a number that is not finite: 'inf'", "="),
        (xyz(atoms="Fe 1.0 2.0\n"), "atom line 1 is incomplete", "frame 2, atom line 1 is incomplete"),
        (xyz(count="2", atoms="Fe 0 0 0\n\n"), "atom line 2 is incomplete", "frame 2, atom line 2 is incomplete"),
        (xyz(atoms="Fe 1.0 two 3\n"), "expected a number, found 'two'", "="),
        (xyz(atoms="Fe 0 1d0 x\n"), "expected a number, found '1d0'", "="),
        (xyz(count="3", atoms="H 0 0 0\nH 1 1 1\n"), "XYZ ends after 2 of 3 atoms", "frame 2 ends after 2 of 3 atoms"),
        (xyz(count="0", atoms=""), "structure has no sites", "="),
        # Huge declared counts fail on the missing lines, never by reserving memory.
        (xyz(count="1000000000000000000"), "XYZ ends after 1 of 1000000000000000000 atoms",
         "frame 2 ends after 1 of 1000000000000000000 atoms"),
        (xyz(atoms="Fe 1e999 0 0\n"), "atom line 1 holds a number that is not finite: '1e999'", NOT_FINITE),
        (xyz(comment='Lattice="1e-5 0 0 0 1e5 0 0 0 1e5"', atoms="Fe 1e305 0 0\n"),
         "atom line 1 gives a position that is not finite", NOT_FINITE),
    ],
)
def test_frames_through_both_readers(tmp_path, text, alone, in_trajectory):
    path = tmp_path / "frames.xyz"
    path.write_text(xyz() * 2 + text)
    for call, message in [(lambda: read(text), alone),
                          (lambda: read_xyz_trajectory(str(path)), alone if in_trajectory == "=" else in_trajectory)]:
        if message is None:
            call()
            continue
        with pytest.raises(ValueError) as info:
            call()
        assert info.value.args == (message,)


def test_peers_agree(tmp_path):
    (tmp_path / "skew.xyz").write_text(xyz(
        count="3", comment='Lattice="4.1 0.2 0 0.1 5.2 0.3 0 0.4 6.3" pbc="T T T"',
        atoms="Fe 0 0 0\nO 2.05 1.3 0.8\nO -1.1 7.9 3.3\n"))
    (tmp_path / "forces.xyz").write_text(xyz(
        count="2", comment='Lattice="5 0 0 0 5 0 0 0 5" Properties=species:S:1:pos:R:3:forces:R:3',
        atoms="Na 0 0 0 0.1 0.2 0.3\nCl 2.5 2.5 2.5 -0.1 -0.2 -0.3\n"))
    for path in [*tmp_path.iterdir(), files("kelvara") / "data" / "Si.xyz"]:
        assert_same(Structure.from_xyz(str(path)), ase_view(path, "extxyz"))
