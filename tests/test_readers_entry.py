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


def os_message(path, code):
    return f"could not read {path}: {os.strerror(code)} (os error {code})"


@pytest.mark.parametrize(
    "fmt, kind, shown",
    [("cif", "cif", None), ("CIF", "cif", None), ("poscar", "poscar", None), ("CONTCAR", "poscar", None),
     ("vasp", "poscar", None), ("xyz", "xyz", None), ("ExtXYZ", "xyz", None), (" cif", "cif", " cif"),
     ("PDB", "cif", "pdb"), ("", "cif", ""), ("ÇIF", "cif", "Çif"), ("a\0b", "cif", "a\0b")],
)
def test_format_names(fmt, kind, shown):
    text = {"cif": CIF, "poscar": POSCAR, "xyz": XYZ}[kind]
    if shown is None:
        assert Structure.from_str(text, fmt).n_sites == 8
        return
    with pytest.raises(ValueError) as info:
        Structure.from_str(text, fmt)
    assert info.value.args == (f"unknown format '{shown}'; kelvara reads cif, poscar and xyz",)


@pytest.mark.parametrize(
    "call, error, match",
    [
        (lambda: Structure.from_cif(3), TypeError,
         "^argument 'path': expected str, bytes or os.PathLike, got int$"),
        (lambda: Structure.from_str(b"text", "cif"), TypeError, "^argument 'text': "),
        (lambda: Structure.from_str("x", 3), TypeError, "^argument 'fmt': "),
        # symprec is converted even where it is unused.
        (lambda: Structure.from_str(POSCAR, "poscar", symprec="x"), TypeError, "symprec"),
        (lambda: Structure.from_cif("a", 1e-4, 3, 4), TypeError, None),
        (lambda: Structure.from_poscar("a", symprec=1e-4), TypeError, None),
        (lambda: Structure.from_str("\ud800", "xyz"), UnicodeEncodeError, None),
        (lambda: Structure.from_cif("a\0b"), OSError,
         "^could not read a\0b: path contains a null character$"),
        # With symprec 1 every image merges into one site holding Na and Cl.
        (lambda: Structure.from_str(text=CIF, fmt="cif", symprec=1), ValueError,
         r"^atom sites 'Na1', 'Cl1' at \(0.0000, 0.0000, 0.0000\) have occupancies summing to 2.0000"),
        (lambda: Structure.from_cif_str(CIF, block=1.5), TypeError,
         "^argument 'block': expected str, int or None, got float$"),
        (lambda: Structure.from_cif_str(CIF, block=-1), OverflowError, None),
        (lambda: Structure.from_str(POSCAR, "poscar", block=0), ValueError,
         "^block= chooses a CIF data block; this format has none$"),
    ],
)
def test_argument_errors(call, error, match):
    with pytest.raises(error, match=match):
        call()


def test_paths(tmp_path):
    with pytest.raises(OSError) as info:
        Structure.from_cif(str(tmp_path))
    assert info.value.args == (os_message(tmp_path, errno.EISDIR),)
    path = tmp_path / "Ω données.cif"
    path.write_text("# Über\u00a0alles — commentaire\n" + CIF, encoding="utf-8")
    assert Structure.from_cif(str(path)).n_sites == 8
    with pytest.raises(ValueError, match="^bad atom count|^expected a number"):
        Structure.from_poscar(str(path))  # a reader failure is not an OSError


class FsPath:
    """A path object that is not a pathlib path."""

    def __init__(self, path):
        self.path = path

    def __fspath__(self):
        return self.path


@pytest.mark.parametrize("name", ["Si.vasp", "données.vasp", b"caf\xe9.vasp"])
@pytest.mark.parametrize("kind", [str, bytes, pathlib.Path, FsPath])
def test_path_types(tmp_path, monkeypatch, name, kind):
    monkeypatch.chdir(tmp_path)
    raw = os.fsencode(name)  # b"caf\xe9" is not UTF-8: only a bytes path can name it
    with open(raw, "w") as handle:
        handle.write(POSCAR)
    path = kind(raw) if kind in (bytes, FsPath) else kind(os.fsdecode(raw))
    assert Structure.from_poscar(path).n_sites == 8
    missing = kind(b"x" + raw) if kind in (bytes, FsPath) else kind("x" + os.fsdecode(raw))
    with pytest.raises(OSError) as info:
        Structure.from_poscar(missing)
    assert type(info.value) is OSError and info.value.errno == errno.ENOENT
    assert info.value.args == (os_message(os.fsdecode(b"x" + raw), errno.ENOENT),)


@pytest.mark.parametrize("method, line, edit, message", [
    # Bytes that are not UTF-8 in a comment do not matter; in a field that does, the
    # message names the line.
    (Structure.from_poscar, 0, lambda b: b"Si by Jos\xe9 Garc\xeda", None),
    (Structure.from_xyz, 1, lambda b: b"author=Jos\xe9 " + b, None),
    (Structure.from_poscar, 5, lambda b: b"S\xe9",
     "species name 'S\ufffd' cannot be read (line 6 holds bytes that are not UTF-8)"),
    (Structure.from_poscar, 8, lambda b: b + b"\xb0",
     "expected a number, found '0.000000\ufffd' (line 9 holds bytes that are not UTF-8)"),
    (Structure.from_xyz, 2, lambda b: b"S\xe9" + b[2:],
     "species name 'S\ufffd' cannot be read (line 3 holds bytes that are not UTF-8)"),
    (Structure.from_xyz, 3, lambda b: b.replace(b"2.715500", b"2.71\xb05", 1),
     "expected a number, found '2.71\ufffd5' (line 4 holds bytes that are not UTF-8)"),
])
def test_bytes_that_are_not_utf8(tmp_path, method, line, edit, message):
    name = "Si.poscar" if method == Structure.from_poscar else "Si.xyz"
    lines = (DATA / name).read_bytes().split(b"\n")
    lines[line] = edit(lines[line])
    (tmp_path / name).write_bytes(b"\n".join(lines))
    if message is None:
        assert method(tmp_path / name).n_sites == 8
        return
    with pytest.raises(ValueError) as info:
        method(tmp_path / name)
    assert info.value.args == (message,)
