"""Packaging: version, import side effects, type stubs, the command line."""

from __future__ import annotations

import ast
import importlib.metadata
import inspect
import pathlib
import subprocess
import sys

import kelvara
from kelvara import _kelvara

STUB = pathlib.Path(kelvara.__file__).with_name("_kelvara.pyi")


def test_version_matches_metadata():
    assert kelvara.__version__ == _kelvara.__version__ == "0.3.0"
    assert importlib.metadata.version("kelvara") == kelvara.__version__


def test_import_loads_neither_numpy_nor_matplotlib():
    code = "import sys, kelvara; print('numpy' in sys.modules, 'matplotlib' in sys.modules)"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.split() == ["False", "False"]


def test_module_attributes_in_order():
    public = [name for name in vars(_kelvara) if not name.startswith("__") or name == "__version__"]
    assert public == ["Structure", "read_xyz_trajectory", "__version__"]
    assert _kelvara.__doc__ is None
    assert pathlib.Path(kelvara.__file__).with_name("py.typed").exists()


def _stub_members() -> tuple[set[str], set[str]]:
    tree = ast.parse(STUB.read_text())
    module, structure = set(), set()
    for node in tree.body:
        if isinstance(node, ast.ClassDef) and node.name == "Structure":
            structure = {n.name for n in node.body if isinstance(n, ast.FunctionDef)} - {"__new__"}
            module.add(node.name)
        elif isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            module.add(node.name)
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            module.add(node.target.id)
    return module, structure


def test_stub_lists_exactly_the_compiled_members():
    module, structure = _stub_members()
    compiled_module = {n for n in vars(_kelvara) if not n.startswith("__")} | {"__version__"}
    stub_public = {n for n in module if not n.startswith("_") or n == "__version__"}
    stub_public -= {"DisorderEntry", "OccupancyEntry", "ExpansionReport"}  # typing helpers only
    assert stub_public == compiled_module
    compiled = {n for n in vars(_kelvara.Structure) if not n.startswith("_")}
    assert structure == compiled


def test_member_registration_order_and_docs():
    names = [n for n in vars(_kelvara.Structure) if not n.startswith("_")]
    methods = [n for n in names if not isinstance(vars(_kelvara.Structure)[n], property)
               and type(vars(_kelvara.Structure)[n]).__name__ != "getset_descriptor"]
    assert methods == [
        "from_cif", "from_poscar", "from_xyz", "from_str", "from_cif_str", "disorder_summary",
        "available_threads", "make_supercell", "prdf", "total_rdf", "expand_occupancies",
    ]
    S = _kelvara.Structure
    assert S.__text_signature__ == "(matrix, frac_coords, species)"
    assert S.__module__ == "kelvara"
    assert str(inspect.signature(S.make_supercell)) == "(self, /, na, nb, nc)"
    assert S.from_str.__doc__ == 'Parse text in a named format: "cif", "poscar" or "xyz".'
    assert S.species.__doc__ == "Per-site {element: occupancy}."


def test_stub_type_checks(tmp_path):
    mypy = __import__("pytest").importorskip("mypy.api")
    sample = tmp_path / "use.py"
    sample.write_text(
        "from kelvara import Structure\n"
        "s = Structure([[1.0, 0, 0], [0, 1.0, 0], [0, 0, 1.0]], [[0, 0, 0]], [{'O': 1.0}])\n"
        "n: int = s.n_sites\n"
        "t: Structure = s.make_supercell(2, 2, 2)\n"
    )
    out, err, status = mypy.run([str(sample), "--strict", "--no-incremental", "--cache-dir", str(tmp_path / "c")])
    assert status == 0, out + err


def test_python_dash_m_runs_the_main_job(tmp_path):
    out = subprocess.run([sys.executable, "-m", "kelvara", "--version"], capture_output=True, text=True,
                         check=True, cwd=tmp_path)
    assert out.stdout.strip() == "kelvara 0.3.0"
