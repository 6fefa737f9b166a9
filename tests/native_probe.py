"""Builds and runs tests/native/reader_probe.cpp, a probe of reader internals."""

from __future__ import annotations

import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
CORE_UNITS = ["cif", "symmetry", "number", "text", "memory", "lattice", "structure"]


@pytest.fixture(scope="session")
def probe(tmp_path_factory):
    """A function probe(mode, text) -> stdout of the compiled probe."""
    compiler = shutil.which("g++") or shutil.which("c++")
    if compiler is None:
        pytest.skip("no C++ compiler to build the reader probe")
    exe = tmp_path_factory.mktemp("probe") / "reader_probe"
    probe_source = str(ROOT / "tests/native/reader_probe.cpp")
    flags = [compiler, "-std=c++23", "-O1", "-ffp-contract=off", f"-I{ROOT / 'src'}", "-o",
             str(exe)]
    units = [str(ROOT / f"src/core/{unit}.cpp") for unit in CORE_UNITS]
    if subprocess.run([*flags, probe_source, *units], capture_output=True).returncode != 0:
        # The reader units may have come to need other core units: link them all.
        every_unit = sorted(str(p) for p in (ROOT / "src/core").glob("*.cpp"))
        subprocess.run([*flags, "-pthread", probe_source, *every_unit], check=True)

    def run(mode: str, text: str) -> str:
        done = subprocess.run([str(exe), mode], input=text.encode(), capture_output=True,
                              check=True)
        return done.stdout.decode()

    return run
