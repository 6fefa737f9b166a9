"""Expanding a mixed-site perovskite into an ordered supercell: kelvara against pymatgen.

Cases (cubic (Sr,Ba)TiO3, 5 sites, mixed A site):
  * Sr0.7Ba0.3 -> 9x9x9 (3,645 sites) with the default limit of 4,096 sites;
  * Sr0.67Ba0.33 with max_denominator=100 -> ~1e6 sites (~1e5 with --quick).
Peers: pymatgen's obvious manual route (Structure * (m, m, m), then a random
assignment of the A-site copies and a new Structure), and, on a 2x2x2 cell only,
pymatgen's OrderDisorderedStructureTransformation (an Ewald-ranked enumeration that
grows combinatorially), run in a subprocess with a timeout.

    python benchmarks/expand.py           # full sizes
    python benchmarks/expand.py --quick   # smaller large case, shorter timeout
"""

from __future__ import annotations

import argparse
import subprocess
import sys
import textwrap
import time

import numpy as np

from kelvara import Structure

A = 3.95
FRAC = [[0.0, 0.0, 0.0], [0.5, 0.5, 0.5], [0.5, 0.5, 0.0], [0.5, 0.0, 0.5], [0.0, 0.5, 0.5]]


def perovskite(sr: float) -> Structure:
    matrix = [[A, 0.0, 0.0], [0.0, A, 0.0], [0.0, 0.0, A]]
    species = [{"Sr": sr, "Ba": 1.0 - sr}, {"Ti": 1.0}, {"O": 1.0}, {"O": 1.0}, {"O": 1.0}]
    return Structure(matrix, FRAC, species)


def best_ms(fn, repeats: int) -> float:
    """Best wall time of `repeats` calls, in milliseconds."""
    best = float("inf")
    for _ in range(repeats):
        t0 = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t0)
    return best * 1e3


def pymatgen_manual(structure: Structure, m: int, seed: int = 42):
    """Supercell with pymatgen, then the A-site copies dealt out by a seeded shuffle."""
    from pymatgen.core import Lattice
    from pymatgen.core import Structure as PmgStructure

    disordered = PmgStructure(Lattice(structure.lattice_matrix), structure.species, structure.frac_coords)
    supercell = disordered * (m, m, m)
    rng = np.random.default_rng(seed)
    pool = [i for i, site in enumerate(supercell) if not site.is_ordered]
    sr = round(0.5 * len(pool)) if not pool else round(supercell[pool[0]].species["Sr"] * len(pool))
    symbols = np.array(["Sr"] * sr + ["Ba"] * (len(pool) - sr))
    rng.shuffle(symbols)
    species = [site.species for site in supercell]
    for i, symbol in zip(pool, symbols):
        species[i] = symbol
    return PmgStructure(supercell.lattice, species, supercell.frac_coords)


ENUMERATION = textwrap.dedent(
    """
    import sys, time, warnings
    warnings.simplefilter("ignore")
    from pymatgen.core import Lattice, Structure
    from pymatgen.transformations.standard_transformations import (
        OrderDisorderedStructureTransformation)
    a = 3.95
    frac = [[0, 0, 0], [0.5, 0.5, 0.5], [0.5, 0.5, 0], [0.5, 0, 0.5], [0, 0.5, 0.5]]
    species = [{"Sr2+": 0.5, "Ba2+": 0.5}, "Ti4+", "O2-", "O2-", "O2-"]
    s = Structure(Lattice.cubic(a), species, frac) * tuple(int(n) for n in sys.argv[1:4])
    t0 = time.perf_counter()
    OrderDisorderedStructureTransformation().apply_transformation(s, return_ranked_list=1)
    print((time.perf_counter() - t0) * 1e3)
    """
)


def enumeration_ms(dims: tuple[int, int, int], timeout: float) -> float | None:
    try:
        done = subprocess.run([sys.executable, "-c", ENUMERATION, *map(str, dims)], capture_output=True,
                              text=True, timeout=timeout, check=True)
    except subprocess.TimeoutExpired:
        return None
    return float(done.stdout.strip().splitlines()[-1])


def row(label: str, kelvara_ms: float, peer: str, peer_ms: float | None, timeout: float) -> None:
    if peer_ms is None:
        print(f"{label:<44} kelvara {kelvara_ms:10.2f} ms | {peer:<26} > {timeout:.0f} s (timed out)")
    else:
        print(f"{label:<44} kelvara {kelvara_ms:10.2f} ms | {peer:<26} {peer_ms:10.2f} ms "
              f"| ratio {peer_ms / kelvara_ms:8.1f}x")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="smaller sizes, shorter timeout")
    args = parser.parse_args()
    repeats = 3 if args.quick else 5
    timeout = 20.0 if args.quick else 120.0
    large_limit = 10**5 if args.quick else 10**6

    print(f"python {sys.version.split()[0]}, numpy {np.__version__}")
    try:
        import pymatgen.core  # noqa: F401
        have_pymatgen = True
    except ImportError:
        have_pymatgen = False
        print("pymatgen not installed: kelvara timings only")

    cases = [
        ("(Sr0.7Ba0.3)TiO3, max_sites 4096", perovskite(0.7), 4096, 16),
        (f"(Sr0.67Ba0.33)TiO3, max_sites {large_limit:,}", perovskite(0.67), large_limit, 100),
    ]
    for label, structure, max_sites, max_den in cases:
        ordered, report = structure.expand_occupancies(max_sites, 42, max_den)
        m = report["scale"][0]
        k_ms = best_ms(lambda: structure.expand_occupancies(max_sites, 42, max_den), repeats)
        label = f"{label} -> {m}^3 cell, {ordered.n_sites:,} sites"
        if have_pymatgen:
            p_ms = best_ms(lambda: pymatgen_manual(structure, m), 1 if ordered.n_sites > 20000 else repeats)
            row(label, k_ms, "pymatgen supercell+shuffle", p_ms, timeout)
        else:
            print(f"{label:<44} kelvara {k_ms:10.2f} ms")

    # The enumeration on small cells; kelvara builds the same supercell and deals it
    # as it stands (max_sites = its size, so m = 1).
    small = perovskite(0.5)
    for dims in ((2, 2, 2), (2, 2, 4), (4, 4, 4)):
        limit = 5 * dims[0] * dims[1] * dims[2]
        k_ms = best_ms(lambda: small.make_supercell(*dims).expand_occupancies(limit), repeats)
        n_a = dims[0] * dims[1] * dims[2]
        label = f"(Sr0.5Ba0.5)TiO3 {'x'.join(map(str, dims))} ({n_a} A sites)"
        if have_pymatgen:
            row(label, k_ms, "pymatgen OrderDisordered", enumeration_ms(dims, timeout), timeout)
        else:
            print(f"{label:<44} kelvara {k_ms:10.2f} ms")


if __name__ == "__main__":
    main()
