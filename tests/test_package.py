"""Packaging: version, import side effects, type stubs, the command line."""

from __future__ import annotations

import ast
import importlib.metadata
import inspect
import pathlib
import subprocess
import sys

import pytest

import kelvara
from kelvara import _kelvara

HERE = pathlib.Path(kelvara.__file__).parent


def run(*args, **kwargs):
    out = subprocess.run([sys.executable, *args], capture_output=True, text=True, check=True, **kwargs)
    return out.stdout


def test_version_module_attributes_and_imports(tmp_path):
    assert kelvara.__version__ == _kelvara.__version__ == importlib.metadata.version("kelvara") == "0.3.0"
    assert run("-m", "kelvara", "--version", cwd=tmp_path).strip() == "kelvara 0.3.0"
    assert issubclass(kelvara.ReadWarning, UserWarning) and kelvara.ReadWarning.__module__ == "kelvara"
    assert _kelvara.__doc__ is None and (HERE / "py.typed").exists()
    code = "import sys, kelvara, kelvara.cli; print('numpy' in sys.modules, 'matplotlib' in sys.modules)"
    assert run("-c", code).split() == ["False", "False"]
    S = _kelvara.Structure
    assert (S.__text_signature__, S.__module__) == ("(matrix, frac_coords, species, uiso=None)", "kelvara")
    assert str(inspect.signature(S.make_supercell)) == "(self, /, na, nb, nc)"
    assert S.from_cif.__text_signature__ == "(path, symprec=1e-4, block=None)"


# The compiled class's docstrings are part of its published interface: help() shows exactly
# these (the properties without one are described in the stub and the docs instead).
PUBLISHED_DOCS = {
    "from_cif": "Read a CIF, keeping partial occupancies as they are written.",
    "from_str": 'Parse text in a named format: "cif", "poscar" or "xyz".',
    "expand_occupancies": "Expand partial occupancies into an explicit ordered supercell.",
    "n_atoms": "Number of atoms, which is fractional when sites are partly occupied.",
    "species": "Per-site {element: occupancy}.",
    "total_rdf": "Total RDF only.",
    "available_threads": "Number of worker threads rayon will use when `n_threads=0`.",
    "make_supercell": None,
    **dict.fromkeys(["n_sites", "is_ordered", "volume", "elements", "composition",
                     "lattice_matrix", "frac_coords", "cart_coords"]),
}


@pytest.mark.parametrize("name", sorted(PUBLISHED_DOCS))
def test_structure_docstrings_as_published(name):
    member = inspect.getattr_static(_kelvara.Structure, name)
    assert getattr(member, "__func__", member).__doc__ == PUBLISHED_DOCS[name]


def test_stub_lists_exactly_the_compiled_members():
    module, structure = set(), set()
    for node in ast.parse((HERE / "_kelvara.pyi").read_text()).body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            module.add(node.name)
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            module.add(node.target.id)
        if isinstance(node, ast.ClassDef) and node.name == "Structure":
            structure = {n.name for n in node.body if isinstance(n, ast.FunctionDef)
                         and not n.name.startswith("_")}
    stub_public = {n for n in module if not n.startswith("_") or n == "__version__"}
    stub_public -= {"DisorderEntry", "OccupancyEntry", "ExpansionReport"}  # typing helpers only
    assert stub_public == {n for n in vars(_kelvara) if not n.startswith("_")} | {"__version__"}
    assert structure == {n for n in vars(_kelvara.Structure) if not n.startswith("_")}


def test_stub_type_checks(tmp_path):
    mypy = pytest.importorskip("mypy.api")
    sample = tmp_path / "use.py"
    sample.write_text(
        "from kelvara import Structure\n"
        "s = Structure([[1.0, 0, 0], [0, 1.0, 0], [0, 0, 1.0]], [[0, 0, 0]], [{'O': 1.0}])\n"
        "n: int = s.n_sites\n"
        "t: Structure = s.make_supercell(2, 2, 2)\n"
    )
    out, err, status = mypy.run([str(sample), "--strict", "--no-incremental",
                                 "--cache-dir", str(tmp_path / "c")])
    assert status == 0, out + err
