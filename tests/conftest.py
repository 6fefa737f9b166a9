"""Builders of small structures, and the PDFfit2 peer, shared by the test files."""

from __future__ import annotations

import importlib
import io
import os
import re
import subprocess
import sys
import textwrap
import tomllib
from importlib import metadata
from pathlib import Path

import numpy as np
import pytest

from kelvara import Structure

FCC = [[0, 0, 0], [0, 0.5, 0.5], [0.5, 0, 0.5], [0.5, 0.5, 0]]
# Modules of the test extra checked by importing them (a wheel without its compiled
# module installs, then fails to import); the others are only looked up.
IMPORTED = {"diffpy.pdffit2": "diffpy.pdffit2"}


def missing_test_extra() -> list[str]:
    """The distributions of the test extra that are not installed (or, for PDFfit2, do not import)."""
    project = tomllib.loads((Path(__file__).resolve().parent.parent / "pyproject.toml").read_text())
    missing = []
    for requirement in project["project"]["optional-dependencies"]["test"]:
        name = re.match(r"[A-Za-z0-9_.-]+", requirement).group(0)
        try:
            metadata.version(name)
            if name in IMPORTED:
                importlib.import_module(IMPORTED[name])
        except Exception as error:  # noqa: BLE001 - a broken wheel fails in many ways
            missing.append(f"{name} ({type(error).__name__}: {error})")
    return missing


def pytest_configure(config: pytest.Config) -> None:
    # The cross-checks against peer libraries would skip silently without them: a run that
    # lacks one is an error, unless KELVARA_ALLOW_MISSING_PEERS=1 says the skips are meant.
    missing = missing_test_extra()
    if missing and os.environ.get("KELVARA_ALLOW_MISSING_PEERS") != "1":
        raise pytest.UsageError("the test extra is incomplete, so the cross-checks against peers would be "
                                f"skipped: {'; '.join(missing)}. Install it (pip install -e '.[test]') or set "
                                "KELVARA_ALLOW_MISSING_PEERS=1 to run without them")


def cubic(a: float, frac, species) -> Structure:
    """A cubic cell of side `a` with the given sites."""
    return Structure(np.diag([a, a, a]).tolist(), frac, species)


def rock_salt(a: float = 5.64) -> Structure:
    return cubic(a, FCC + [[(x + 0.5) % 1, y, z] for x, y, z in FCC], [{"Na": 1.0}] * 4 + [{"Cl": 1.0}] * 4)


def nickel(a: float = 3.524) -> Structure:
    return cubic(a, FCC, [{"Ni": 1.0}] * 4)


def random_triclinic(rng: np.random.Generator, n_sites: int, elements=("A", "B")) -> Structure:
    """A random, well-conditioned triclinic cell holding `n_sites` random ordered sites."""
    matrix = np.diag(rng.uniform(4.0, 7.0, 3)) + rng.uniform(-1.0, 1.0, (3, 3))
    frac = rng.random((n_sites, 3))
    species = [{elements[i % len(elements)]: 1.0} for i in range(n_sites)]
    return Structure(matrix, frac, species)


@pytest.fixture
def rng() -> np.random.Generator:
    return np.random.default_rng(20261206)


def run_python(code: str, env_update: dict[str, str] | None = None, timeout: float = 120) -> str:
    """Runs `code` (dedented) in a fresh interpreter without RAYON_* settings; its stdout."""
    env = {key: value for key, value in os.environ.items() if not key.startswith("RAYON_")}
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env={**env, **(env_update or {})},
                          timeout=timeout, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    return done.stdout.strip()


def pdffit2_model(structure: Structure, u: dict, r, stype="N", data=None, **variables):
    """PDFfit2's G on the uniform grid r (or its fit to `data`), Uiso per element."""
    pdffit2 = pytest.importorskip("diffpy.pdffit2")
    dstructure = pytest.importorskip("diffpy.structure")
    lattice = dstructure.Lattice(base=np.array(structure.lattice_matrix))
    atoms = [dstructure.Atom(el, xyz=f, Uisoequiv=u[el], occupancy=o, lattice=lattice)
             for sp, f in zip(structure.species, structure.frac_coords) for el, o in sp.items()]
    qmax, qdamp = variables.pop("qmax", 0.0), variables.pop("qdamp", 0.0)
    with open(os.devnull, "w") as sink:
        pdffit2.redirect_stdout(sink)
        fit = pdffit2.PdfFit()
        fit.add_structure(dstructure.Structure(atoms, lattice=lattice))
        if data is None:
            fit.alloc(stype, qmax, qdamp, r[0], r[-1], r.size)
        else:
            fit.read_data_lists(stype, qmax, qdamp, list(data.r), list(data.G), list(data.dG))
        for name, value in variables.items():
            fit.setvar(name, value)
        if data is not None:  # refine scale and one Uiso per element
            fit.constrain(fit.pscale(), "@1")
            fit.setpar(1, fit.getvar(fit.pscale()))
            # Isotropic U in the crystal axes of a skew cell: U_ij = Uiso cos(angle between a*_i, a*_j).
            reciprocal = np.linalg.inv(np.array(structure.lattice_matrix)).T
            unit = reciprocal / np.linalg.norm(reciprocal, axis=1)[:, None]
            cosines = unit @ unit.T
            for k, atom in enumerate(atoms):
                code = 2 + sorted(u).index(atom.element)
                for getter in (fit.u11, fit.u22, fit.u33):
                    fit.constrain(getter(k + 1), f"@{code}")
                for getter, (i, j) in ((fit.u12, (0, 1)), (fit.u13, (0, 2)), (fit.u23, (1, 2))):
                    if abs(cosines[i, j]) > 1e-12:
                        fit.constrain(getter(k + 1), f"@{code}*{cosines[i, j]:.17g}")
            for code, el in enumerate(sorted(u), start=2):
                fit.setpar(code, u[el])
            fit.refine()
            values = {"scale": fit.getpar(1), **{f"uiso_{el}": fit.getpar(c) for c, el in enumerate(sorted(u), 2)}}
            result = (values, fit.getrw(), np.array(fit.getpdf_fit()))
        else:
            fit.calc()
            result = np.array(fit.getpdf_fit())
    pdffit2.redirect_stdout(io.StringIO())
    return result
