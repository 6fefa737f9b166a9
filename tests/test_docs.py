"""The documentation: every example of the README and the docs pages runs on the bundled
files, every public name has a docstring, and the site builds with warnings as errors."""

from __future__ import annotations

import importlib
import importlib.util
import inspect
import os
import pathlib
import pkgutil
import re
import shlex
import subprocess
import sys

import pytest

import kelvara
from kelvara.examples import copy_to

ROOT = pathlib.Path(__file__).resolve().parent.parent
PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").rglob("*.md"))]
PAGES = [p for p in PAGES if not {"_build", "api", "auto_examples"} & set(p.relative_to(ROOT).parts)]
FENCE = re.compile(r"^```(\w+)[^\n]*\n(.*?)^```\s*$", re.MULTILINE | re.DOTALL)


def docs_conf():
    """The docs' conf.py as a module: its rule for public modules and the stub's docstrings."""
    found = importlib.util.spec_from_file_location("docs_conf", ROOT / "docs" / "conf.py")
    conf = importlib.util.module_from_spec(found)
    found.loader.exec_module(conf)
    return conf


def blocks(page: pathlib.Path, kind: str) -> list[str]:
    return [body for lang, body in FENCE.findall(page.read_text(encoding="utf-8")) if lang == kind]


def run(argv: list[str], cwd: pathlib.Path, what: str) -> None:
    env = {**os.environ, "MPLBACKEND": "Agg"}
    done = subprocess.run(argv, cwd=cwd, env=env, capture_output=True, text=True, timeout=600)
    assert done.returncode == 0 and "Traceback" not in done.stderr, f"{what}:\n{done.stdout}\n{done.stderr}"


@pytest.mark.parametrize("page", [p for p in PAGES if blocks(p, "python") or blocks(p, "console")],
                         ids=lambda p: str(p.relative_to(ROOT)))
def test_examples_run_as_written(page, tmp_path):
    """A page's python blocks run in order as one script, then its `$ ...` command lines,
    in a folder that holds the bundled examples (what `python -m kelvara.examples` gives)."""
    code, commands = blocks(page, "python"), blocks(page, "console")
    copy_to(tmp_path)
    if code:
        script = tmp_path / "page_examples.py"
        script.write_text("\n\n".join(code), encoding="utf-8")
        run([sys.executable, str(script)], tmp_path, f"python examples of {page.name}")
    for body in commands:
        for line in body.splitlines():
            if not line.startswith("$ "):
                continue
            argv = shlex.split(line[2:])
            if argv[0] == "kelvara":
                argv = [sys.executable, "-m", "kelvara", *argv[1:]]
            elif argv[0] == "python":
                argv = [sys.executable, *argv[1:]]
            run(argv, tmp_path, line)


def public_modules() -> list[str]:
    return ["kelvara"] + [m.name for m in pkgutil.walk_packages(kelvara.__path__, "kelvara.")
                          if not any(part.startswith("_") for part in m.name.split(".")[1:])]


def test_every_public_name_has_a_docstring():
    """Modules, and the classes, functions, methods and properties they define or list in
    __all__ (data fields are described by their class's docstring)."""
    missing = []
    # The compiled class keeps its published short docstrings (some members have none);
    # its type stub describes them, and the reference shows the stub's text.
    stub = docs_conf().STUB_DOCS

    def check(obj, name):
        in_stub = stub.get(".".join(name.split(".")[-2:]))
        if not (inspect.getdoc(obj) or "").strip() and not in_stub:
            missing.append(name)

    seen = set()
    for module_name in public_modules():
        module = importlib.import_module(module_name)
        check(module, module_name)
        names = getattr(module, "__all__", None) or [n for n in vars(module) if not n.startswith("_")]
        for name in names:
            obj = getattr(module, name)
            home = getattr(obj, "__module__", None) or ""
            if not (inspect.isclass(obj) or inspect.isroutine(obj)) or not home.startswith("kelvara"):
                continue
            if id(obj) in seen:
                continue
            seen.add(id(obj))
            check(obj, f"{module_name}.{name}")
            if inspect.isclass(obj):
                for member_name, member in vars(obj).items():
                    if member_name.startswith("_"):
                        continue
                    if isinstance(member, (property, staticmethod, classmethod)) or inspect.isroutine(member) \
                            or type(member).__name__ == "getset_descriptor":
                        check(getattr(obj, member_name) if not isinstance(member, property) else member,
                              f"{module_name}.{name}.{member_name}")
    assert not missing, "no docstring: " + ", ".join(missing)


def test_docs_build_without_warnings_and_cover_the_api(tmp_path):
    """The one build command of the docs page, warnings as errors, into a scratch folder;
    every name of kelvara.__all__ and every public module is in the built inventory."""
    out = tmp_path / "html"
    run([sys.executable, "-m", "sphinx", "-W", "--keep-going", "-E", "-q", "-b", "html",
         "-d", str(tmp_path / "doctrees"), str(ROOT / "docs"), str(out)], ROOT, "sphinx-build")
    from sphinx.util.inventory import InventoryFile

    with open(out / "objects.inv", "rb") as stream:
        inventory = InventoryFile.load(stream, "", lambda base, uri: uri)
    documented = {name for entries in inventory.values() for name in entries}
    wanted = {f"kelvara.{n}" for n in kelvara.__all__ if n != "__version__"}
    wanted |= {"kelvara", *docs_conf().public_modules()}
    assert not wanted - documented, f"missing from the API reference: {sorted(wanted - documented)}"
