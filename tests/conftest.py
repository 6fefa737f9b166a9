"""Builders of small structures shared by the test files."""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from kelvara import Structure

CUBIC4 = [[4.0, 0.0, 0.0], [0.0, 4.0, 0.0], [0.0, 0.0, 4.0]]


def cubic(a: float, frac, species) -> Structure:
    """A cubic cell of side `a` with the given sites."""
    return Structure(np.diag([a, a, a]).tolist(), frac, species)


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
