"""Mutated CIF, POSCAR and XYZ texts: every outcome is a Structure or a ValueError.

Set KELVARA_FUZZ_EXAMPLES to run more cases (the sanitizer build runs thousands)."""

from __future__ import annotations

import os
import re
from importlib.resources import files

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from kelvara import Structure, read_xyz_trajectory

DATA = files("kelvara") / "data"
FUZZ = settings(max_examples=int(os.environ.get("KELVARA_FUZZ_EXAMPLES", "250")), deadline=None,
                derandomize=True, suppress_health_check=list(HealthCheck))
SRBATIO3 = (DATA / "SrBaTiO3.cif").read_text()
# Uncertainties, a text field, an oblique cell, translations and a missing occupancy.
CIF_MIXED = (SRBATIO3.replace("_cell_length_b    3.95", "_cell_length_b 3.95(1)\n_title\n;\ntext\n;")
             .replace("_cell_angle_gamma 90", "_cell_angle_gamma 100")
             .replace("'-y,x,z'", "'-x+1/2,y,-z+3/4'")
             .replace("O  0.5  0.5  0  1", "O2-  0.5  0.5  0  ?"))
BASES = {
    "cif": [(DATA / "NaCl.cif").read_text(), (DATA / "ZnO.cif").read_text(), SRBATIO3, CIF_MIXED],
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
NUMBER_TEXT = st.one_of(st.sampled_from(ODD_NUMBERS), st.floats().map(repr),
                        st.integers(min_value=-10**20, max_value=10**20).map(str))
INSERTS = ["loop_", ";", "_atom_site_fract_x", "Selective dynamics", "Cartesian",
           'Lattice="1 0 0 0 1 0 0 0 1"', "#", "data_x", "\r", "\0", "'"]


@st.composite
def mutated(draw, fmt):
    text = draw(st.sampled_from(BASES[fmt]))
    for _ in range(draw(st.integers(1, 4))):
        kind = draw(st.sampled_from(["flip", "truncate", "number", "line"]))
        if kind == "flip" and text:
            i = draw(st.integers(0, len(text) - 1))
            text = text[:i] + draw(st.characters()) + text[i + 1:]
        elif kind == "truncate":
            text = text[: draw(st.integers(0, len(text)))]
        elif kind == "number" and (spans := [m.span() for m in NUMBER.finditer(text)]):
            a, b = draw(st.sampled_from(spans))
            text = text[:a] + draw(NUMBER_TEXT) + text[b:]
        else:  # a line deleted, repeated up to 3000 times, made 400 kB long, or preceded by a keyword
            lines = text.split("\n")
            i = draw(st.integers(0, len(lines) - 1))
            line = lines[i]
            lines[i:i + 1] = draw(st.one_of(
                st.integers(0, 3000).map(lambda n: [line] * n),
                st.sampled_from(["x", "0.5", "'", ";", "_a"]).map(lambda w: [line + " " + w * 200_000]),
                st.sampled_from(INSERTS).map(lambda w: [w, line])))
            text = "\n".join(lines)
    return text


@pytest.mark.parametrize("fmt", ["cif", "poscar", "xyz"])
def test_mutated_texts(fmt, tmp_path):
    assert all(Structure.from_str(text, fmt).n_sites >= 1 for text in BASES[fmt])

    @FUZZ
    @given(mutated(fmt))
    def run(text):
        if fmt == "xyz" and len(text) < 10**6:  # every frame through the trajectory reader too
            path = tmp_path / "frames.xyz"
            path.write_bytes(text.encode("utf-8", "surrogatepass"))
            try:
                structures, indices, read = read_xyz_trajectory(str(path))
                assert len(structures) == len(indices) == read
            except ValueError as e:
                assert isinstance(e.args[0], str) and e.args[0]
        try:
            s = Structure.from_str(text, fmt)
        except ValueError as e:
            assert isinstance(e.args[0], str) and e.args[0]
            return
        assert s.n_sites >= 1
        repr(s), s.frac_coords, s.species, s.volume  # every getter works on the result

    run()


@FUZZ
@given(st.binary(max_size=400), st.sampled_from([Structure.from_cif, Structure.from_poscar,
                                                 Structure.from_xyz]))
def test_random_bytes_through_files(tmp_path_factory, data, method):
    path = tmp_path_factory.mktemp("fuzz") / "input"
    path.write_bytes(data)
    try:
        method(str(path))
    except OSError as e:
        assert e.args == (f"could not read {path}: stream did not contain valid UTF-8",)
    except ValueError:
        pass
