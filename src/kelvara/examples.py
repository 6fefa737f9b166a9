"""The example files that ship with kelvara, by name, and a way to copy them.

``python -m kelvara.examples [FOLDER]`` copies every example into FOLDER (default:
the current folder), so the commands of the README and the documentation run
there as written. The files:

- ``SrBaTiO3.cif``: cubic perovskite with Sr and Ba sharing the A site (0.5 each).
- ``SrTiO3.cif``: cubic SrTiO3 with isotropic displacement parameters.
- ``NaCl.cif``, ``ZnO.cif``: rock salt (all 192 operations listed) and wurtzite.
- ``Si.poscar``, ``Si.xyz``: diamond silicon as POSCAR and extended XYZ.
- ``md.xyz``, ``md.lammpstrj``: one Langevin run of a 256-atom Ni-P liquid
  (Lennard-Jones), 40 frames, as extended XYZ and as a LAMMPS dump (type 1 Ni,
  type 2 P).
- ``measured.gr``: a simulated neutron G(r) of SrTiO3 with noise, in the layout
  of a PDFgetX3 file (its header gives the true parameters).

``tools/make_md_example.py`` and ``tools/make_pdf_example.py`` in the source tree
say how the simulated files were made.
"""

from __future__ import annotations

import argparse
import pathlib
import shutil
import sys
from importlib.resources import files

__all__ = ["copy_to", "names", "path"]


def _folder() -> pathlib.Path:
    return pathlib.Path(str(files("kelvara") / "data"))


def names() -> list[str]:
    """File names of every bundled example, sorted."""
    return sorted(p.name for p in _folder().iterdir() if p.is_file() and not p.name.startswith("."))


def path(name: str) -> pathlib.Path:
    """Path of the bundled example `name` (such as ``"md.xyz"``); a name that is not
    one of `names()` is refused with the list of those that are."""
    if name not in names():
        raise ValueError(f"no bundled example named {name!r}; there are: {', '.join(names())}")
    return _folder() / name


def copy_to(folder: str | pathlib.Path = ".", overwrite: bool = False) -> list[pathlib.Path]:
    """Copy every bundled example into `folder` (created if missing) and return the
    new paths. A file already there is kept unless `overwrite` is true."""
    folder = pathlib.Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    written = []
    for name in names():
        target = folder / name
        if overwrite or not target.exists():
            shutil.copyfile(_folder() / name, target)
            written.append(target)
    return written


def main(argv: list[str] | None = None) -> int:
    """``python -m kelvara.examples [FOLDER] [--overwrite]``."""
    parser = argparse.ArgumentParser(prog="python -m kelvara.examples",
                                     description="Copy kelvara's example files into a folder.")
    parser.add_argument("folder", nargs="?", default=".", help="where to copy them (default: here)")
    parser.add_argument("--overwrite", action="store_true", help="replace files of the same names")
    args = parser.parse_args(argv)
    try:
        written = copy_to(args.folder, args.overwrite)
    except OSError as error:
        print(f"kelvara.examples: {error}", file=sys.stderr)
        return 1
    kept = len(names()) - len(written)
    print(f"copied {len(written)} example files to {args.folder}"
          + (f" ({kept} already there, kept; --overwrite replaces them)" if kept else ""))
    return 0


if __name__ == "__main__":
    sys.exit(main())
