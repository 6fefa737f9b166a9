"""Sphinx configuration of kelvara's documentation: MyST pages, autodoc, a gallery of examples."""

from __future__ import annotations

import importlib
import inspect
import os
import pathlib
import pkgutil
import sys

import kelvara

HERE = pathlib.Path(__file__).resolve().parent
project = "kelvara"
author = "the kelvara developers"
copyright = "2026, the kelvara developers"
release = version = kelvara.__version__

extensions = [
    "myst_parser",
    "sphinx.ext.autodoc",
    "sphinx.ext.napoleon",
    "sphinx.ext.mathjax",
    "sphinx_gallery.gen_gallery",
]
source_suffix = {".md": "markdown", ".rst": "restructuredtext"}
myst_enable_extensions = ["dollarmath", "deflist"]
myst_heading_anchors = 3
exclude_patterns = ["_build", "examples/README.txt", "examples/*.py"]
html_theme = "furo" if importlib.util.find_spec("furo") else "alabaster"
html_title = f"kelvara {release}"

autodoc_member_order = "bysource"
autodoc_typehints = "none"  # signatures carry the annotations; no cross-reference hunting
autodoc_default_options = {"members": True, "undoc-members": False, "show-inheritance": False}
napoleon_numpy_docstring = True
napoleon_google_docstring = True
napoleon_use_ivar = True  # an Attributes section lists fields; autodoc does not describe them twice
suppress_warnings = ["myst.xref_missing"]

sphinx_gallery_conf = {
    "examples_dirs": str(HERE / "examples"),
    "gallery_dirs": str(HERE / "auto_examples"),
    "filename_pattern": r"/plot_",
    "download_all_examples": False,
    "remove_config_comments": True,
    "plot_gallery": "True",
    "matplotlib_animations": False,
    "min_reported_time": 1e9,
}
os.environ.setdefault("MPLBACKEND", "Agg")


def public_modules() -> list[str]:
    """Every public module of the package, except those that only re-export
    another's names under an older import path."""
    found = []
    for info in pkgutil.walk_packages(kelvara.__path__, "kelvara."):
        if any(part.startswith("_") for part in info.name.split(".")[1:]):
            continue
        module = importlib.import_module(info.name)
        if module.__name__ != info.name:
            continue
        own = [o for o in vars(module).values()
               if (inspect.isclass(o) or inspect.isfunction(o)) and o.__module__ == info.name]
        moved = [o for n, o in vars(module).items() if not n.startswith("_") and
                 (inspect.isclass(o) or inspect.isfunction(o)) and o.__module__.startswith("kelvara")]
        if own or not moved:
            found.append(info.name)
    return found


def write_api_pages(app) -> None:
    """docs/api/: one page for the package's headline names and one per public module."""
    folder = HERE / "api"
    folder.mkdir(exist_ok=True)
    headline = [n for n in kelvara.__all__ if n != "__version__"]
    pages = {"kelvara": "```{eval-rst}\n.. automodule:: kelvara\n   :members:\n   :imported-members:\n```\n"}
    for name in public_modules():
        # A package's __all__ re-exports its modules' names; each is described once, in
        # the module that defines it.
        pages[name] = ("```{eval-rst}\n" f".. automodule:: {name}\n   :members:\n   :ignore-module-all:\n"
                       f"   :exclude-members: {', '.join(headline)}\n```\n")
    index = ["# API reference", "",
             "Generated from the docstrings. The names of `kelvara` itself come first;",
             "every public module follows.", "", "```{toctree}", ":maxdepth: 1", ""]
    for name, body in pages.items():
        text = f"# `{name}`\n\n{body}"
        path = folder / f"{name}.md"
        if not path.exists() or path.read_text(encoding="utf-8") != text:
            path.write_text(text, encoding="utf-8")
        index.append(name)
    index.append("```")
    text = "\n".join(index) + "\n"
    path = HERE / "api" / "index.md"
    if not path.exists() or path.read_text(encoding="utf-8") != text:
        path.write_text(text, encoding="utf-8")
    for stale in folder.glob("*.md"):
        if stale.stem != "index" and stale.stem not in pages:
            stale.unlink()


def stub_docstrings() -> dict[str, str]:
    """Docstrings of the compiled module's type stub, by qualified name ("Structure.volume").

    The compiled class keeps the short docstrings its interface publishes (some members
    have none); the stub describes every member, and the reference shows the stub's text."""
    import ast

    tree = ast.parse((pathlib.Path(kelvara.__file__).parent / "_kelvara.pyi").read_text(encoding="utf-8"))
    found = {}

    def visit(nodes, prefix):
        for node in nodes:
            if isinstance(node, (ast.ClassDef, ast.FunctionDef)):
                doc = ast.get_docstring(node)
                if doc:
                    found[prefix + node.name] = doc
                if isinstance(node, ast.ClassDef):
                    visit(node.body, prefix + node.name + ".")

    visit(tree.body, "")
    return found


STUB_DOCS = stub_docstrings()


def _stub_key(obj, name: str) -> str | None:
    parts = name.split(".")
    for start in range(len(parts)):
        key = ".".join(parts[start:])
        if key in STUB_DOCS:
            return key
    return None


def use_stub_docstring(app, what, name, obj, options, lines) -> None:
    key = _stub_key(obj, name)
    if key and name.startswith("kelvara.") and getattr(obj, "__module__", "kelvara") in ("kelvara", None):
        lines[:] = STUB_DOCS[key].splitlines()
    # Docstrings are plain text: |x| is an absolute value, not a substitution.
    lines[:] = [line.replace("|", "\\|") for line in lines]


def keep_stub_documented(app, what, name, obj, skip, options):
    if skip and not name.startswith("_") and what == "class" and type(obj).__name__ == "getset_descriptor":
        return False
    return None


def setup(app) -> None:
    app.connect("builder-inited", write_api_pages)
    app.connect("autodoc-process-docstring", use_stub_docstring)
    app.connect("autodoc-skip-member", keep_stub_documented)
