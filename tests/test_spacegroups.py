"""CIFs that name their space group instead of listing operations: every setting of gemmi's
table by Hall symbol, H-M symbol (several spellings) and number, checked against gemmi's
operations; full symbols and changes of basis against pymatgen's tables; the choices made when
a name leaves one open."""

from __future__ import annotations

import re
from functools import cache

import numpy as np
import pytest

from kelvara import Structure, cif_warnings

gemmi = pytest.importorskip("gemmi")
# Sweeps read names that leave the origin open; the tests that mean it look at the warnings.
pytestmark = pytest.mark.filterwarnings("ignore::kelvara.ReadWarning")

SETTINGS = list(gemmi.spacegroup_table())
POINT = (0.1234, 0.2713, 0.3891)  # a general position in every group
ORIGIN_EXT = {"1": " S", "2": " Z", "H": " H", "R": " R"}  # the trailing-letter form


def cell_of(sg) -> tuple[float, ...]:
    """a, b, c, alpha, beta, gamma fitting the setting (the axes of R groups follow it)."""
    if sg.ext == "R":
        return 6.0, 6.0, 6.0, 75.0, 75.0, 75.0
    if 143 <= sg.number <= 194:
        return 5.0, 5.0, 7.0, 90.0, 90.0, 120.0
    if sg.number >= 195:
        return 5.0, 5.0, 5.0, 90.0, 90.0, 90.0
    return 5.0, 6.0, 7.0, 90.0, 90.0, 90.0


def cif(tags: dict[str, str], cell, rows=(("Si1", "Si") + POINT,)) -> str:
    names = ("length_a", "length_b", "length_c", "angle_alpha", "angle_beta", "angle_gamma")
    text = "data_sg\n" + "".join(f"_cell_{n} {v}\n" for n, v in zip(names, cell))
    text += "".join(f"{tag} '{value}'\n" for tag, value in tags.items())
    text += "loop_\n_atom_site_label\n_atom_site_type_symbol\n"
    text += "_atom_site_fract_x\n_atom_site_fract_y\n_atom_site_fract_z\n"
    return text + "".join(" ".join(map(str, row)) + "\n" for row in rows)


@cache
def orbit(hall: str) -> np.ndarray:
    """The images of POINT under gemmi's operations of a setting, wrapped into [0, 1)."""
    images = np.array([op.apply_to_xyz(list(POINT)) for op in gemmi.symops_from_hall(hall)])
    return images - np.floor(images)


def same_sites(frac, expected) -> bool:
    frac = np.asarray(frac)
    if frac.shape != expected.shape:
        return False
    d = frac[:, None, :] - expected[None, :, :]
    close = np.all(np.abs(d - np.round(d)) < 1e-6, axis=2)
    return bool(np.all(close.sum(axis=0) == 1) and np.all(close.sum(axis=1) == 1))


def spellings(sg, kind: str):
    """(tag, value, name gemmi is asked for) for one setting. The expected setting is
    gemmi's own lookup of the spelling in the same cell, preferring origin choice 2."""
    hm, ext, short = sg.hm, ("" if sg.ext == "\x00" else sg.ext), sg.short_name()
    if kind == "hall":
        yield "_space_group_name_Hall", sg.hall, None
    elif kind == "hm_with_suffix":
        yield "_space_group_name_H-M_alt", sg.xhm(), None
        yield "_symmetry_space_group_name_H-M", sg.xhm().replace(" ", "").lower(), None
        if ext:
            yield "_symmetry_space_group_name_H-M", hm + ORIGIN_EXT[ext], None
    elif kind == "hm_bare":
        yield "_space_group_name_H-M_alt", hm, hm
        yield "_symmetry_space_group_name_H-M", " " + hm.replace(" ", "_").upper() + " ", hm
    elif kind == "short":
        yield "_symmetry_space_group_name_H-M", short, short
        shelxtl = re.sub(r"([2346])([1-5])",  # SHELXTL writes screw axes as "P2(1)/c"
                         lambda m: f"{m[1]}({m[2]})" if m[2] < m[1] else m[0], short)
        if shelxtl != short:
            yield "_symmetry_space_group_name_H-M", shelxtl, short
        if sg.number >= 195:  # written before the bar of -3 was printed: "F m 3 m"
            yield "_symmetry_space_group_name_H-M", hm.replace("-3", "3"), hm
    elif kind == "number" and sg.is_reference_setting():
        yield "_space_group_IT_number", str(sg.number), None
        yield "_symmetry_Int_Tables_number", str(sg.number), None


@pytest.mark.parametrize("kind", ["hall", "hm_with_suffix", "hm_bare", "short", "number"])
def test_every_setting_expands_as_gemmi(kind):
    wrong, checked = [], 0
    for sg in SETTINGS:
        cell = cell_of(sg)
        for tag, value, asked in spellings(sg, kind):
            expected = sg if asked is None else gemmi.find_spacegroup_by_name(
                asked, cell[3], cell[5], prefer="2")
            s = Structure.from_cif_str(cif({tag: value}, cell))
            checked += 1
            if not same_sites(s.frac_coords, orbit(expected.hall)):
                wrong.append((value, expected.xhm(), s.n_sites, len(orbit(expected.hall))))
    assert checked >= {"hall": 564, "number": 230}.get(kind, 500)
    assert not wrong, wrong[:20]


def spaced_full_symbol(full: str) -> str:
    """pymatgen's "P2_1/n2_1/m2_1/a" written as "P 21/n 21/m 21/a"."""
    parts = re.findall(r"[A-Z]|-?\d(?:_\d)?(?:/[a-z])?|[a-z]", full)
    return " ".join(parts).replace("_", "")


def test_full_symbols_of_all_groups():
    from pymatgen.symmetry.groups import SpaceGroup

    fulls = {v["int_number"]: v["full_symbol"] for v in SpaceGroup.sg_encoding.values()}
    wrong = []
    for sg in SETTINGS:
        if not sg.is_reference_setting():
            continue
        for name in (fulls[sg.number], spaced_full_symbol(fulls[sg.number])):
            s = Structure.from_cif_str(cif({"_symmetry_space_group_name_H-M": name}, cell_of(sg)))
            if not same_sites(s.frac_coords, orbit(sg.hall)):
                wrong.append((name, sg.xhm()))
    assert len(fulls) == 230 and not wrong, wrong


@pytest.mark.parametrize(
    "written, hall",
    [
        # Hall symbols outside the table: origin shifts, spacing and case as files have them.
        ("-P 2ybc (1 0 0)", "-P 2ybc (1 0 0)"),
        ("F 4d 2 3 -1d (6 6 6)", "F 4d 2 3 -1d (6 6 6)"),
        ("P 61 2 (0 0 -1)", "P 61 2 (0 0 -1)"),
        ("I 4bw 2bw -1bw (0 -3 1)", "I 4bw 2bw -1bw (0 -3 1)"),
        ("-P2ybc", "-P 2ybc"),
        ("  -p   2YBC ", "-P 2ybc"),
        ("C 2y -1ac", "C 2y -1ac"),
    ],
)
def test_hall_symbols_outside_the_table(written, hall):
    s = Structure.from_cif_str(cif({"_space_group_name_Hall": written}, (5.0, 5.0, 5.0, 90, 90, 90)))
    assert same_sites(s.frac_coords, orbit(hall))


def test_hall_changes_of_basis_as_pymatgen():
    # pymatgen lists settings by Hall symbols with a change of basis and their operations:
    # "-P 2ac 2n (z,x,y+1/4)" keeps the cell, "-P 2ybc (1/2*x,y,-1/2*x+z)" doubles it.
    from pymatgen.core.operations import SymmOp
    from pymatgen.symmetry.groups import SpaceGroup

    checked = 0
    for entry in SpaceGroup.SYMM_OPS:
        if "," not in entry["hall"]:
            continue
        images = np.array([SymmOp.from_xyz_str(t).operate(POINT) for t in entry["symops"]])
        s = Structure.from_cif_str(cif({"_space_group_name_Hall": entry["hall"].strip()}, (5, 5, 5, 90, 90, 90)))
        assert same_sites(s.frac_coords, images - np.floor(images)), entry["hall"]
        checked += 1
    assert checked >= 200


SRTIO3 = (("Sr1", "Sr", 0, 0, 0), ("Ti1", "Ti", 0.5, 0.5, 0.5), ("O1", "O", 0.5, 0.5, 0))
CUBIC = (3.905, 3.905, 3.905, 90, 90, 90)


NOT_RECOGNISED = "{} is not recognised; the file is read as P 1 (no symmetry operations)"


@pytest.mark.parametrize(
    "tags, n_sites, warning",
    [
        ({"_space_group.name_H-M_alt": "Pm-3m"}, 5, None),  # the DDL2 spelling
        ({"_symmetry_space_group_name_H-M": "P m \u22123 m"}, 5, None),  # a typeset minus sign
        ({"_space_group_name_Hall": "-P 4 2 3", "_space_group_IT_number": "221"}, 5, None),
        # The more specific name wins over one that disagrees with it, with a word.
        ({"_space_group_name_Hall": "-P 4 2 3", "_symmetry_space_group_name_H-M": "P 1"}, 5,
         "the Hall symbol '-P 4 2 3' and the space group 'P 1' name different settings; the "
         "operations are taken from the Hall symbol"),
        ({"_space_group_name_Hall": "-P 4 2 3", "_space_group_IT_number": "225"}, 5,
         "the Hall symbol '-P 4 2 3' is not a setting of space group number 225; the operations "
         "are taken from the Hall symbol"),
        ({"_symmetry_space_group_name_H-M": "P m -3 m", "_space_group_IT_number": "1"}, 5,
         "the space group 'P m -3 m' is number 221, not 1; the operations are taken from the H-M symbol"),
        # An unreadable name gives way to the next one.
        ({"_space_group_name_Hall": "-P 5", "_symmetry_space_group_name_H-M": "Pm-3m"}, 5,
         "Hall symbol '-P 5' is not recognised; the operations are taken from the space group 'Pm-3m'"),
        ({"_symmetry_space_group_name_H-M": "P q -3 m", "_space_group_IT_number": "221"}, 5,
         "space group 'P q -3 m' is not recognised; the operations are taken from the space group "
         "number 221"),
        # Nothing recognised: P 1, said so; nothing given: P 1 without a word.
        ({"_symmetry_space_group_name_H-M": "P q -3 m"}, 3, NOT_RECOGNISED.format("space group 'P q -3 m'")),
        ({"_symmetry_space_group_name_H-M": "P m -3 m:3"}, 3, NOT_RECOGNISED.format("space group 'P m -3 m:3'")),
        ({"_space_group_IT_number": "231"}, 3, NOT_RECOGNISED.format("space group number 231")),
        # No axis for a 3 in second place; an unclosed bracket; a cell half the primitive one.
        ({"_space_group_name_Hall": "P 4 3"}, 3, NOT_RECOGNISED.format("Hall symbol 'P 4 3'")),
        ({"_space_group_name_Hall": "P 2 2 (0 0 1"}, 3, NOT_RECOGNISED.format("Hall symbol 'P 2 2 (0 0 1'")),
        ({"_space_group_name_Hall": "-P 4 2 3 (2*x,y,z)"}, 3,
         NOT_RECOGNISED.format("Hall symbol '-P 4 2 3 (2*x,y,z)'")),
        # Two translations for one rotation: a 2-fold along c through the origin and (1/4, 0, 0).
        ({"_space_group_name_Hall": "P 2 2u (0 0 0)"}, 3, NOT_RECOGNISED.format("Hall symbol 'P 2 2u (0 0 0)'")),
        ({"_symmetry_space_group_name_H-M": "?", "_space_group_IT_number": "."}, 3, None),
    ],
)
def test_srtio3_named_only(tags, n_sites, warning):
    text = cif(tags, CUBIC, SRTIO3)
    s = Structure.from_cif_str(text)
    assert s.n_sites == n_sites
    assert s.composition == ({"O": 3.0, "Sr": 1.0, "Ti": 1.0} if n_sites == 5
                             else {"O": 1.0, "Sr": 1.0, "Ti": 1.0})
    assert cif_warnings(text) == ([warning] if warning else [])


@pytest.mark.parametrize(
    "name, listed, n_sites, warning",
    [
        ("P m -3 m", "x,y,z\n-x,-y,-z", 3, None),  # what is listed wins over the name
        ("P m -3 m", "'x,y'\n'a,b,c'", 5, "none of the 2 symmetry operations can be read, so the "
                                           "operations of the named space group are used"),
        ("P q -3 m", "'x,y'", 3, "none of the 1 symmetry operations can be read, so the file is read as P 1"),
    ],
)
def test_listed_operations_and_the_name(name, listed, n_sites, warning):
    text = cif({"_symmetry_space_group_name_H-M": name}, CUBIC, SRTIO3)
    text = text.replace("loop_", f"loop_\n_symmetry_equiv_pos_as_xyz\n{listed}\nloop_", 1)
    assert Structure.from_cif_str(text).n_sites == n_sites
    assert cif_warnings(text) == ([warning] if warning else [])


SI0 = (("Si1", "Si", 0.0, 0.0, 0.0),)
BI_R, BI_H = (("Bi1", "Bi", 0.2, 0.2, 0.2),), (("Bi1", "Bi", 0.0, 0.0, 0.2),)  # on the 3-fold axis
RHOMBOHEDRAL, HEXAGONAL = (5.0, 5.0, 5.0, 55, 55, 55), (3.0, 3.0, 14.0, 90, 90, 120)


@pytest.mark.parametrize(
    "tag, name, cell, rows, n_sites",
    [
        # Origin choice 2 unless the file says otherwise: Si at the origin is then 16 sites.
        ("_symmetry_space_group_name_H-M", "F d -3 m", (5.43,) * 3 + (90,) * 3, SI0, 16),
        ("_symmetry_space_group_name_H-M", "F d -3 m:1", (5.43,) * 3 + (90,) * 3, SI0, 8),
        ("_space_group_IT_number", "227", (5.43,) * 3 + (90,) * 3, SI0, 16),
        # R groups: rhombohedral axes when the cell has them, hexagonal axes otherwise.
        ("_symmetry_space_group_name_H-M", "R -3 m", RHOMBOHEDRAL, BI_R, 2),
        ("_symmetry_space_group_name_H-M", "R -3 m", HEXAGONAL, BI_H, 6),
        ("_space_group_IT_number", "166", RHOMBOHEDRAL, BI_R, 2),
        ("_space_group_IT_number", "166", HEXAGONAL, BI_H, 6),
        ("_symmetry_space_group_name_H-M", "R -3 m:H", RHOMBOHEDRAL, BI_H, 6),  # the suffix wins
    ],
)
def test_choices_left_open_by_the_name(tag, name, cell, rows, n_sites):
    text = cif({tag: name}, cell, rows)
    assert Structure.from_cif_str(text).n_sites == n_sites
    # Only the origin choice is a guess worth a word; the cell settles the axes.
    named = "space group number 227" if tag.endswith("number") else f"space group '{name}'"
    guess = (f"{named} has two origin choices and the file does not say which; origin choice 2 "
             "(centre of symmetry at the origin) is assumed, as 'F d -3 m:2' says ('F d -3 m:1' "
             "for origin choice 1)")
    assert cif_warnings(text) == ([guess] if name in ("F d -3 m", "227") else [])
