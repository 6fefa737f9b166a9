"""The symmetry-operation parser: notations and failure messages (through a compiled probe,
since a CIF drops unreadable operations silently), and its use in CIFs."""

from __future__ import annotations

import shutil
import subprocess
from pathlib import Path

import numpy as np
import pytest

from kelvara import Structure

ROOT = Path(__file__).resolve().parent.parent


@pytest.fixture(scope="module")
def parse(tmp_path_factory):
    """parse(text) -> (rotation, translation) as lists, or the failure message."""
    compiler = shutil.which("g++") or shutil.which("c++")
    if compiler is None:
        pytest.skip("no C++ compiler to build the symmetry probe")
    exe = tmp_path_factory.mktemp("probe") / "reader_probe"
    units = [str(ROOT / f"src/core/{unit}.cpp")
             for unit in ("readers/symmetry", "util/number", "util/decimal_chars", "util/text")]
    subprocess.run([compiler, "-std=c++2b", "-O1", "-ffp-contract=off", f"-I{ROOT / 'src'}",
                    "-o", str(exe), str(ROOT / "tests/native/reader_probe.cpp"), *units], check=True)

    def run(text):
        out = subprocess.run([exe], input=text.encode(), capture_output=True, check=True).stdout
        if out.startswith(b"ERR "):
            return out[4:].decode()
        values = [float(v) for v in out.split()[1:]]
        return np.reshape(values[:9], (3, 3)).tolist(), values[9:]

    return run


@pytest.mark.parametrize(
    "text, rotation, translation",
    [
        ("'-x+1/2, y, z+3/4'", [-1, 1, 1], [0.5, 0, 0.75]),
        ("-X, -Y, -Z", [-1, -1, -1], [0, 0, 0]),
        ("1/2-x, 0.5+y, z", [-1, 1, 1], [0.5, 0.5, 0]),
        ("  'x,y,z'  ", [1, 1, 1], [0, 0, 0]),
        ('"+x,+y,+z"', [1, 1, 1], [0, 0, 0]),
        ("- x + 1 / 2 , y , z", [-1, 1, 1], [0.5, 0, 0]),
        ("x+x, x+y, 1/2+1/4+z", [[2, 0, 0], [1, 1, 0], [0, 0, 1]], [0, 0, 0.75]),
        ("2*x, 1/2y, 2x/3", [[2, 0, 0], [0, 0.5, 0], [2 / 3, 0, 0]], [0, 0, 0]),
        ("0.5x, y//2, .5e1+z", [0.5, 0.5, 1], [0, 0, 5]),
        ("x\u00a0,\u2003y,\u3000z", [1, 1, 1], [0, 0, 0]),  # Unicode whitespace
    ],
)
def test_notations(parse, text, rotation, translation):
    rotation = np.diag(rotation) if np.ndim(rotation) == 1 else np.array(rotation)
    assert parse(text) == (rotation.astype(float).tolist(), translation)


@pytest.mark.parametrize(
    "text, message",
    [
        ("x,y", "expected 3 components in symmetry op 'x,y'"),
        ("x,y,z,", "expected 3 components in symmetry op 'x,y,z,'"),
        ("x, ,z", "empty symmetry component"),
        ("x+,y,z", "dangling sign in 'x+'"),
        ("xy,y,z", "cannot read symmetry term 'xy'"),
        ("x*2,y,z", "cannot read symmetry term 'x*2'"),
        ("x+1/0,y,z", "division by zero in '1/0'"),
        ("1/0x,y,z", "division by zero in '1/0'"),
        ("x+1/-0,y,z", "bad number '1/'"),  # the "-" starts a new term
        ("x+a,y,z", "bad number 'a'"),
        ("x+1_000,y,z", "bad number '1_000'"),
        ("*x,y,z", "bad number ''"),
        ("x+1e-3,y,z", "bad number '1e'"),
        ("x+1/2/3,y,z", "bad number '1/2/3'"),
        # A zero divisor after the letter would give an infinite coefficient.
        ("-x/0.0,y,z", "division by zero in 'x/0.0'"),
        # Non-finite numbers never reach an operation.
        ("x+inf,y,z", "symmetry term 'inf' is not a finite number"),
        ("nanx,y,z", "symmetry term 'nanx' is not a finite number"),
        ("1e999x,y,z", "symmetry term '1e999x' is not a finite number"),
        ("1e308x+1e308x,y,z", "symmetry op '1e308x+1e308x,y,z' is not made of finite numbers"),
    ],
)
def test_failures(parse, text, message):
    assert parse(text) == message


def test_random_affine_ops_match_numpy(parse, rng):
    """Random integer/fraction triplets, written out and parsed, give the matrix they came from."""
    for _ in range(40):
        rot, num, den = rng.integers(-2, 3, (3, 3)), rng.integers(-5, 6, 3), rng.integers(1, 7, 3)
        parts = ["".join(f"{int(rot[i, j]):+d}{'xyz'[j]}" for j in range(3) if rot[i, j])
                 + f"{int(num[i]):+d}/{int(den[i])}" for i in range(3)]
        assert parse(", ".join(parts)) == (rot.astype(float).tolist(), (num / den).tolist())


@pytest.mark.parametrize(
    "ops, expected",
    [
        ("x,y,z\n-x,-y,-z", [[0.1, 0.2, 0.3], [0.9, 0.8, 0.7]]),
        ("'1 x,y,z'", [[0.1, 0.2, 0.3]]),  # "1 x" reads as one times x
        ("'2 -x,-y,-z'", [[0.9, 0.8, 0.7]]),  # id before the operation: second attempt
        ("'x/0,y,z'\n'-x,-y,-z'", [[0.9, 0.8, 0.7]]),  # unreadable op dropped
        ("'x+1,y,z'\n'x,y,z'", [[0.1, 0.2, 0.3]]),  # translations wrap, images merge
    ],
)
def test_ops_in_cif(ops, expected):
    s = Structure.from_cif_str(
        "data_t\n_cell_length_a 4\n_cell_length_b 4\n_cell_length_c 4\nloop_\n_symmetry_equiv_pos_as_xyz\n"
        f"{ops}\nloop_\n_atom_site_label\n_atom_site_fract_x\n_atom_site_fract_y\n_atom_site_fract_z\n"
        "Fe1 0.1 0.2 0.3\n")
    assert np.allclose(s.frac_coords, expected, atol=1e-12)
