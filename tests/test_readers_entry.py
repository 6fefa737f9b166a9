"""The reader entry points on Structure: argument handling, file errors, format names."""

from __future__ import annotations

import errno
import os
import pathlib
from importlib.resources import files

import pytest

from kelvara import Structure

DATA = files("kelvara") / "data"
CIF = (DATA / "NaCl.cif").read_text()
POSCAR = (DATA / "Si.poscar").read_text()
XYZ = (DATA / "Si.xyz").read_text()
UNKNOWN = "unknown format '{}'; kelvara reads cif, poscar and xyz"


@pytest.mark.parametrize(
    "fmt, text",
    [("cif", CIF), ("CIF", CIF), ("Cif", CIF), ("poscar", POSCAR), ("CONTCAR", POSCAR),
     ("vasp", POSCAR), ("xyz", XYZ), ("extxyz", XYZ), ("ExtXYZ", XYZ)],
)
def test_from_str_formats(fmt, text):
    s = Structure.from_str(text, fmt)
    assert s.n_sites == 8


@pytest.mark.parametrize("fmt, shown", [(" cif", " cif"), ("PDB", "pdb"), ("", ""),
                                        ("cif\n", "cif\n"), ("ÇIF", "Çif"), ("a\0b", "a\0b")])
def test_from_str_unknown_format(fmt, shown):
    with pytest.raises(ValueError) as info:
        Structure.from_str(CIF, fmt)
    assert info.value.args == (UNKNOWN.format(shown),)


def test_from_str_keywords_and_symprec():
    # With symprec 1 every image merges into one site holding Na and Cl.
    with pytest.raises(ValueError, match="^a site has occupancies summing to 2.0000"):
        Structure.from_str(text=CIF, fmt="cif", symprec=1)
    assert Structure.from_str(POSCAR, "poscar", symprec=1).n_sites == 8  # unused for POSCAR
    with pytest.raises(TypeError, match="symprec"):
        Structure.from_str(POSCAR, "poscar", symprec="x")  # converted even when unused


@pytest.mark.parametrize(
    "call",
    [
        lambda: Structure.from_cif(pathlib.Path("x.cif")),
        lambda: Structure.from_poscar(b"POSCAR"),
        lambda: Structure.from_xyz(None),
        lambda: Structure.from_str(b"text", "cif"),
        lambda: Structure.from_str("text", 1),
        lambda: Structure.from_cif_str(CIF, symprec=None),
        lambda: Structure.from_cif_str(),
        lambda: Structure.from_cif("a", 1e-4, 3),
        lambda: Structure.from_poscar("a", symprec=1e-4),
        lambda: Structure.from_cif(path="a", tolerance=1),
    ],
)
def test_argument_errors(call):
    with pytest.raises(TypeError):
        call()


def test_type_error_names_the_argument():
    with pytest.raises(TypeError, match="^argument 'path': "):
        Structure.from_cif(pathlib.Path("x.cif"))
    with pytest.raises(TypeError, match="^argument 'fmt': "):
        Structure.from_str("x", 3)


@pytest.mark.parametrize("method", [Structure.from_cif, Structure.from_poscar, Structure.from_xyz])
def test_missing_file(tmp_path, method):
    path = str(tmp_path / "nope.txt")
    with pytest.raises(OSError) as info:
        method(path)
    assert type(info.value) is OSError
    assert info.value.args == (
        f"could not read {path}: {os.strerror(errno.ENOENT)} (os error {errno.ENOENT})",)


def test_directory_and_relative_path(tmp_path, monkeypatch):
    with pytest.raises(OSError) as info:
        Structure.from_cif(str(tmp_path))
    assert info.value.args == (
        f"could not read {tmp_path}: {os.strerror(errno.EISDIR)} (os error {errno.EISDIR})",)
    monkeypatch.chdir(tmp_path)
    (tmp_path / "Si.vasp").write_text(POSCAR)
    assert Structure.from_poscar("Si.vasp").n_sites == 8
    with pytest.raises(OSError, match=r"^could not read \./missing: "):
        Structure.from_poscar("./missing")


@pytest.mark.parametrize("data", [b"\xff\xfe", CIF.encode()[:100] + b"\xc3(" + CIF.encode()[100:],
                                  b"\xed\xa0\x80", b"ok \xf4\x90\x80\x80"])
def test_invalid_utf8(tmp_path, data):
    path = tmp_path / "bad.cif"
    path.write_bytes(data)
    with pytest.raises(OSError) as info:
        Structure.from_cif(str(path))
    assert info.value.args == (f"could not read {path}: stream did not contain valid UTF-8",)


def test_non_ascii_path_and_content(tmp_path):
    path = tmp_path / "Ω données.cif"
    path.write_text("# Über\u00a0alles — commentaire\n" + CIF, encoding="utf-8")
    assert Structure.from_cif(str(path)).n_sites == 8
    with pytest.raises(OSError, match="could not read .*Ω manquant.cif: "):
        Structure.from_cif(str(tmp_path / "Ω manquant.cif"))


def test_null_in_path():
    with pytest.raises(OSError, match="^could not read a\0b: path contains a null character$"):
        Structure.from_cif("a\0b")


def test_reader_failure_is_value_error_not_os_error(tmp_path):
    path = tmp_path / "x.cif"
    path.write_text(CIF)
    with pytest.raises(ValueError, match="^bad atom count|^expected a number"):
        Structure.from_poscar(str(path))


def test_file_and_text_agree(tmp_path):
    for name, method, fmt in [("NaCl.cif", Structure.from_cif, "cif"),
                              ("Si.poscar", Structure.from_poscar, "poscar"),
                              ("Si.xyz", Structure.from_xyz, "xyz")]:
        a = method(str(DATA / name))
        b = Structure.from_str((DATA / name).read_text(), fmt)
        assert (a.lattice_matrix, a.frac_coords, a.species) == (
            b.lattice_matrix, b.frac_coords, b.species)


def test_cif_symprec_argument(tmp_path):
    path = tmp_path / "near.cif"
    path.write_text(CIF.replace("Cl1  Cl  0.5  0.5  0.5", "Cl1  Cl  0.5  0.5  0.5\nNa2 Na 0.00004 0 0"))
    assert Structure.from_cif(str(path)).n_sites == 8
    # 192 images of each of the three rows, none merged with symprec 0 (an int is accepted).
    assert Structure.from_cif(str(path), 0).n_sites == 3 * 192
    # With 1e-5 the near-origin atom stays apart: its 24 images (6 per centring) are new.
    assert Structure.from_cif(str(path), symprec=1e-5).n_sites == 8 + 24


def test_docstrings_and_signatures():
    assert Structure.from_cif.__text_signature__ == "(path, symprec=1e-4)"
    assert Structure.from_str.__doc__ == 'Parse text in a named format: "cif", "poscar" or "xyz".'


def test_lone_surrogate_text_is_refused():
    with pytest.raises(UnicodeEncodeError):
        Structure.from_str("\ud800", "xyz")
