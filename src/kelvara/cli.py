"""The ``kelvara`` command: report on structures (the bundled examples by default)."""

from __future__ import annotations

import argparse
import sys
from collections.abc import Sequence

from kelvara import __version__
from kelvara._kelvara import Structure
from kelvara.examples import EXAMPLES


def formula(structure: Structure) -> str:
    """Composition as text, e.g. "Cl4 Na4" or "Ba0.5 O3 Sr0.5 Ti1"."""
    parts = []
    for element, amount in structure.composition.items():
        text = f"{round(amount)}" if abs(amount - round(amount)) < 1e-9 else f"{amount:.4g}"
        parts.append(f"{element}{text}")
    return " ".join(parts)


def describe(name: str, structure: Structure) -> str:
    """A few lines that tell what a structure is."""
    density = structure.n_atoms / structure.volume
    order = "ordered" if structure.is_ordered else "disordered (partial occupancies)"
    return (
        f"{name}: {formula(structure)}\n"
        f"  sites {structure.n_sites}, atoms {structure.n_atoms:g}, "
        f"volume {structure.volume:.3f} A^3, number density {density:.5f} atoms/A^3\n"
        f"  {order}"
    )


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="kelvara",
        description="Crystal structures, occupancy-weighted partial RDFs and ordered expansions.",
    )
    parser.add_argument("--version", action="version", version=f"kelvara {__version__}")
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    build_parser().parse_args(argv)
    for name, build in EXAMPLES.items():
        print(describe(name, build()))
    return 0


if __name__ == "__main__":
    sys.exit(main())
