"""The symmetry-operation parser: notations, worked examples, failures, and its use in CIFs."""

from __future__ import annotations

import numpy as np
import pytest
from native_probe import probe  # noqa: F401  (fixture)

from kelvara import Structure


def op(probe, text):  # noqa: F811
    out = probe("symmop", text)
    if out.startswith("ERR "):
        return out[4:]
    values = [float(v) for v in out.split()[1:]]
    return np.array(values[:9]).reshape(3, 3), np.array(values[9:])


@pytest.mark.parametrize(
    "text, rotation, translation",
    [
        ("x, y, z", [[1, 0, 0], [0, 1, 0], [0, 0, 1]], [0, 0, 0]),
        ("'-x+1/2, y, z+3/4'", [[-1, 0, 0], [0, 1, 0], [0, 0, 1]], [0.5, 0, 0.75]),
        ("x-y, x, z+1/6", [[1, -1, 0], [1, 0, 0], [0, 0, 1]], [0, 0, 0.16666666666666666]),
        ("-X, -Y, -Z", [[-1, 0, 0], [0, -1, 0], [0, 0, -1]], [0, 0, 0]),
        ("1/2-x, 0.5+y, z", [[-1, 0, 0], [0, 1, 0], [0, 0, 1]], [0.5, 0.5, 0]),
        ("2x, y/2, -z", [[2, 0, 0], [0, 0.5, 0], [0, 0, -1]], [0, 0, 0]),
        ("  'x,y,z'  ", np.eye(3), [0, 0, 0]),
        ('"x,y,z"', np.eye(3), [0, 0, 0]),
        ("- x + 1 / 2 , y , z", [[-1, 0, 0], [0, 1, 0], [0, 0, 1]], [0.5, 0, 0]),
        ("+x,+y,+z", np.eye(3), [0, 0, 0]),
        ("x+1,y-1,z+2", np.eye(3), [1, -1, 2]),
        ("x+x, x+y, 1/2+1/4+z", [[2, 0, 0], [1, 1, 0], [0, 0, 1]], [0, 0, 0.75]),
        ("2*x, 1/2y, 2x/3", [[2, 0, 0], [0, 0.5, 0], [2 / 3, 0, 0]], [0, 0, 0]),
        ("0.5x, y//2, z", [[0.5, 0, 0], [0, 0.5, 0], [0, 0, 1]], [0, 0, 0]),
        ("x\u00a0,\u2003y,\u3000z", np.eye(3), [0, 0, 0]),  # Unicode whitespace
    ],
)
def test_notations(probe, text, rotation, translation):  # noqa: F811
    got_rotation, got_translation = op(probe, text)
    assert got_rotation.tolist() == np.asarray(rotation, dtype=float).tolist()
    assert got_translation.tolist() == np.asarray(translation, dtype=float).tolist()


@pytest.mark.parametrize(
    "text, message",
    [
        ("x,y", "expected 3 components in symmetry op 'x,y'"),
        ("x,y,z,", "expected 3 components in symmetry op 'x,y,z,'"),
        ("'x,y'", "expected 3 components in symmetry op 'x,y'"),
        ("x, ,z", "empty symmetry component"),
        ("x+,y,z", "dangling sign in 'x+'"),
        ("x+-y,y,z", "dangling sign in 'x+-y'"),
        ("x + ,y,z", "dangling sign in 'x+'"),
        ("xy,y,z", "cannot read symmetry term 'xy'"),
        ("x2,y,z", "cannot read symmetry term 'x2'"),
        ("x*2,y,z", "cannot read symmetry term 'x*2'"),
        ("x*,y,z", "cannot read symmetry term 'x*'"),
        ("x+1/0,y,z", "division by zero in '1/0'"),
        ("x+1/-0,y,z", "bad number '1/'"),  # the "-" starts a new term
        ("x+a,y,z", "bad number 'a'"),
        ("*x,y,z", "bad number ''"),
        ("x+1e-3,y,z", "bad number '1e'"),
        ("x+1/2/3,y,z", "bad number '1/2/3'"),
        ("1/0x,y,z", "division by zero in '1/0'"),
        # A zero divisor after the letter would give an infinite coefficient.
        ("x/0,y,z", "division by zero in 'x/0'"),
        ("-x/0.0,y,z", "division by zero in 'x/0.0'"),
        ("x/0e5,y,z", "division by zero in 'x/0e5'"),
        ("y/.0,y,z", "division by zero in 'y/.0'"),
        # Non-finite numbers never reach an operation.
        ("x+inf,y,z", "symmetry term 'inf' is not a finite number"),
        ("nanx,y,z", "symmetry term 'nanx' is not a finite number"),
        ("1e999x,y,z", "symmetry term '1e999x' is not a finite number"),
        ("1e308x+1e308x,y,z", "symmetry op '1e308x+1e308x,y,z' is not made of finite numbers"),
    ],
)
def test_failures(probe, text, message):  # noqa: F811
    assert op(probe, text) == message


@pytest.mark.parametrize(
    "text, value",
    [("1/2", 0.5), (" 3 ", 3.0), ("-1 / 4", -0.25), ("1e-3", 0.001), (".5", 0.5), ("5.", 5.0)],
)
def test_parse_number(probe, text, value):  # noqa: F811
    assert float(probe("number", text).split()[1]) == value


@pytest.mark.parametrize(
    "text, message",
    [("1/0", "division by zero in '1/0'"), (" 1/-0 ", "division by zero in '1/-0'"),
     ("abc", "bad number 'abc'"), ("", "bad number ''"), ("1/2/3", "bad number '1/2/3'"),
     ("1,5", "bad number '1,5'"), ("0x10", "bad number '0x10'"), ("1_000", "bad number '1_000'")],
)
def test_parse_number_failures(probe, text, message):  # noqa: F811
    assert probe("number", text) == "ERR " + message


def test_random_affine_ops_match_numpy(probe, rng):  # noqa: F811
    """Random integer/fraction triplets written out, parsed and applied agree with NumPy."""
    letters = "xyz"
    for _ in range(40):
        rot = rng.integers(-2, 3, (3, 3))
        num = rng.integers(-5, 6, 3)
        den = rng.integers(1, 7, 3)
        parts = []
        for i in range(3):
            terms = [f"{int(rot[i, j]):+d}{letters[j]}" for j in range(3) if rot[i, j]]
            terms.append(f"{int(num[i]):+d}/{int(den[i])}")
            parts.append("".join(terms))
        got_rotation, got_translation = op(probe, ", ".join(parts))
        assert got_rotation.tolist() == rot.astype(float).tolist()
        assert got_translation.tolist() == (num / den).tolist()


CIF_HEAD = """data_t
_cell_length_a 4
_cell_length_b 4
_cell_length_c 4
loop_
_symmetry_equiv_pos_as_xyz
{ops}
loop_
_atom_site_label
_atom_site_fract_x
_atom_site_fract_y
_atom_site_fract_z
Fe1 0.1 0.2 0.3
"""


@pytest.mark.parametrize(
    "ops, expected",
    [
        ("x,y,z\n-x,-y,-z", [[0.1, 0.2, 0.3], [0.9, 0.8, 0.7]]),
        ("'1 x,y,z'", [[0.1, 0.2, 0.3]]),  # "1 x" reads as one times x
        ("'2 -x,-y,-z'", [[0.9, 0.8, 0.7]]),  # id before the operation: second attempt
        ("'x/0,y,z'\n'-x,-y,-z'", [[0.9, 0.8, 0.7]]),  # unreadable op dropped
        ("'x/0,y,z'", [[0.1, 0.2, 0.3]]),  # nothing readable: identity
        ("'x+1,y,z'\n'x,y,z'", [[0.1, 0.2, 0.3]]),  # translations wrap, images merge
    ],
)
def test_ops_in_cif(ops, expected):
    s = Structure.from_cif_str(CIF_HEAD.format(ops=ops))
    assert np.allclose(s.frac_coords, expected, atol=1e-12)
