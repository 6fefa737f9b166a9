"""Mutated CIF, POSCAR and XYZ texts: every outcome is a Structure or a ValueError.

Set KELVARA_FUZZ_EXAMPLES to run more cases (the sanitizer build runs thousands)."""

from __future__ import annotations

import os
import re
from importlib.resources import files

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from kelvara import Structure

DATA = files("kelvara") / "data"
EXAMPLES = int(os.environ.get("KELVARA_FUZZ_EXAMPLES", "250"))
FUZZ = settings(max_examples=EXAMPLES, deadline=None, derandomize=True,
                suppress_health_check=list(HealthCheck))

CIF_MIXED = """data_m
_cell_length_a 5.1
_cell_length_b 5.2(1)
_cell_length_c 5.3
_cell_angle_gamma 100
_title
;
text field
;
loop_
_symmetry_equiv_pos_as_xyz
'x, y, z'
'-x+1/2, y, -z+3/4'
loop_
_atom_site_label
_atom_site_type_symbol
_atom_site_fract_x
_atom_site_fract_y
_atom_site_fract_z
_atom_site_occupancy
Fe1 Fe 0.1 0.2 0.3 0.5
Co1 Co 0.1 0.2 0.3 0.5
O1 O2- 0.25 0.75 0.5 ?
"""
BASES = {
    "cif": [(DATA / "NaCl.cif").read_text(), (DATA / "ZnO.cif").read_text(),
            (DATA / "SrBaTiO3.cif").read_text(), CIF_MIXED],
    "poscar": [(DATA / "Si.poscar").read_text(),
               "Fe O\n-20\n1 0 0\n0 1 0\n0.2 0 1\n1 2\nSelective\nCart\n0 0 0 T T T\n"
               ".5 .5 .5 F F F\n.1 .2 .3 T F T\n"],
    "xyz": [(DATA / "Si.xyz").read_text(),
            '2\nlattice="3 0 0 0 3 0 1 0 3" Properties=species:S:1:pos:R:3\nH 0 0 0\nO 1 1 1\n'],
}
NUMBER = re.compile(r"[-+]?(\d+\.?\d*|\.\d+)([eE][-+]?\d+)?")
ODD_NUMBERS = ["0", "-0", "1e999", "-1e999", "1e-999", "nan", "inf", "-inf", "1e308",
               "1000000000000000", "1000000000000000000", "18446744073709551615",
               "18446744073709551616", "-1", "0.5", "1/0", "?", ".", "", "1e", "+"]

number_text = st.one_of(
    st.sampled_from(ODD_NUMBERS),
    st.floats(allow_nan=True, allow_infinity=True).map(repr),
    st.integers(min_value=-10**20, max_value=10**20).map(str),
)


@st.composite
def mutated(draw, fmt):
    text = draw(st.sampled_from(BASES[fmt]))
    for _ in range(draw(st.integers(1, 4))):
        kind = draw(st.sampled_from(["flip", "truncate", "dup", "delete", "number", "repeat",
                                     "long", "insert"]))
        lines = text.split("\n")
        if kind == "flip" and text:
            i = draw(st.integers(0, len(text) - 1))
            text = text[:i] + draw(st.characters()) + text[i + 1:]
        elif kind == "truncate":
            text = text[: draw(st.integers(0, len(text)))]
        elif kind == "dup":
            i = draw(st.integers(0, len(lines) - 1))
            lines.insert(i, lines[i])
            text = "\n".join(lines)
        elif kind == "delete" and len(lines) > 1:
            del lines[draw(st.integers(0, len(lines) - 1))]
            text = "\n".join(lines)
        elif kind == "number":
            spans = [m.span() for m in NUMBER.finditer(text)]
            if spans:
                a, b = draw(st.sampled_from(spans))
                text = text[:a] + draw(number_text) + text[b:]
        elif kind == "repeat":
            i = draw(st.integers(0, len(lines) - 1))
            lines[i:i + 1] = [lines[i]] * draw(st.integers(2, 3000))
            text = "\n".join(lines)
        elif kind == "long":
            i = draw(st.integers(0, len(lines) - 1))
            lines[i] = lines[i] + " " + draw(st.sampled_from(["x", "0.5", "'", ";", "_a"])) * 200_000
            text = "\n".join(lines)
        elif kind == "insert":
            i = draw(st.integers(0, len(lines)))
            lines.insert(i, draw(st.sampled_from(
                ["loop_", ";", "_atom_site_fract_x", "Selective dynamics", "Cartesian",
                 'Lattice="1 0 0 0 1 0 0 0 1"', "#", "data_x", "\r", "\0", "'"])))
            text = "\n".join(lines)
    return text


def check(text, fmt):
    try:
        s = Structure.from_str(text, fmt)
    except ValueError as e:
        assert isinstance(e.args[0], str) and e.args[0]
        return
    assert s.n_sites >= 1
    repr(s), s.frac_coords, s.species, s.volume  # every getter works on the result


@pytest.mark.parametrize("fmt", ["cif", "poscar", "xyz"])
def test_mutated_texts(fmt):
    @FUZZ
    @given(mutated(fmt))
    def run(text):
        check(text, fmt)

    run()


@FUZZ
@given(st.binary(max_size=400), st.sampled_from(["cif", "poscar", "xyz"]))
def test_random_bytes_through_files(tmp_path_factory, data, fmt):
    path = tmp_path_factory.mktemp("fuzz") / "input"
    path.write_bytes(data)
    method = {"cif": Structure.from_cif, "poscar": Structure.from_poscar,
              "xyz": Structure.from_xyz}[fmt]
    try:
        method(str(path))
    except OSError as e:
        assert e.args == (f"could not read {path}: stream did not contain valid UTF-8",)
    except ValueError:
        pass


@pytest.mark.parametrize("fmt", ["cif", "poscar", "xyz"])
def test_bases_read(fmt):
    for text in BASES[fmt]:
        assert Structure.from_str(text, fmt).n_sites >= 1
