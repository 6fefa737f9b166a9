"""Special quasirandom structures: kelvara against icet's generate_sqs on the same cells.

Cases (pairs of the first three neighbour shells of the disordered sublattice):
  * fcc Co-Cr-Fe-Mn-Ni at 0.2 each, primitive cell, 40 / 100 / 250 sites;
  * cubic perovskite (Sr0.5Ba0.5)TiO3, A site, 40 / 160 sites;
  * rock salt (Mg0.75Fe0.25)O, cation site, 64 / 216 sites;
  * and kelvara alone on 2,000 fcc sites on one thread.
Both codes get the same parent, composition and supercell (kelvara picks the most
compact cell of the size; icet gets that very cell through
generate_sqs_from_supercells, with a pair cluster space cut between the third and
fourth shell and its default number of steps). The objective is the same for both:
the largest |Warren-Cowley alpha| over the pairs and the three shells, counted by
kelvara.analysis.warren_cowley on the structure each returned (the counts are
checked against brute force in the tests).

    python benchmarks/sqs.py           # all cases
    python benchmarks/sqs.py --quick   # the smaller cell of each case
"""

from __future__ import annotations

import argparse
import time

import numpy as np

from kelvara import Structure
from kelvara.analysis import warren_cowley
from kelvara.interop import from_ase, to_ase

FIVE = {"Co": 0.2, "Cr": 0.2, "Fe": 0.2, "Mn": 0.2, "Ni": 0.2}


def fcc() -> tuple[Structure, tuple[str, ...], float]:
    a = 3.6
    return Structure(np.array([[0, 1, 1], [1, 0, 1], [1, 1, 0]]) * a / 2, [[0, 0, 0]], [FIVE]), tuple(FIVE), 4.8


def perovskite() -> tuple[Structure, tuple[str, ...], float]:
    a = 3.95
    frac = [[0, 0, 0], [0.5, 0.5, 0.5], [0.5, 0.5, 0], [0.5, 0, 0.5], [0, 0.5, 0.5]]
    species = [{"Sr": 0.5, "Ba": 0.5}, {"Ti": 1.0}, {"O": 1.0}, {"O": 1.0}, {"O": 1.0}]
    return Structure(np.eye(3) * a, frac, species), ("Ba", "Sr"), 7.3


def rock_salt() -> tuple[Structure, tuple[str, ...], float]:
    a = 4.25
    cations = [[0, 0, 0], [0, 0.5, 0.5], [0.5, 0, 0.5], [0.5, 0.5, 0]]
    anions = [[0.5, 0.5, 0.5], [0.5, 0, 0], [0, 0.5, 0], [0, 0, 0.5]]
    species = [{"Mg": 0.75, "Fe": 0.25}] * 4 + [{"O": 1.0}] * 4
    return Structure(np.eye(3) * a, cations + anions, species), ("Fe", "Mg"), 5.6


def objective(structure: Structure, parent: Structure, elements) -> float:
    """Largest |alpha| over the pairs of `elements` and the first three shells."""
    sro = warren_cowley(structure, 3, parent=parent, elements=elements)
    return max(abs(a) for values in sro.values() for a in values)


def run_icet(parent: Structure, elements, cutoff: float, cell: Structure, seed: int = 42):
    from icet import ClusterSpace
    from icet.tools.structure_generation import generate_sqs_from_supercells

    prim = to_ase(Structure(parent.lattice_matrix, parent.frac_coords,
                            [{max(sp, key=sp.get): 1.0} for sp in parent.species]))
    symbols = [sorted(sp) for sp in parent.species]
    space = ClusterSpace(prim, [cutoff], symbols)
    target = {e: o for sp in parent.species if len(sp) > 1 for e, o in sp.items()}
    ordered_ase = to_ase(cell)
    start = time.perf_counter()
    found = generate_sqs_from_supercells(space, [ordered_ase], target, random_seed=seed)
    return from_ase(found), time.perf_counter() - start


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    cases = [(fcc, (40, 100, 250)), (perovskite, (40, 160)), (rock_salt, (64, 216))]
    print(f"{'case':<28}{'sites':>6}{'kelvara s':>11}{'icet s':>9}{'time ratio':>12}"
          f"{'|alpha| kelvara':>17}{'icet':>8}{'random':>8}")
    for make, sizes in cases:
        parent, elements, cutoff = make()
        for n in sizes[:1] if args.quick else sizes:
            start = time.perf_counter()
            ours, report = parent.expand_occupancies(max_sites=n, method="sqs", seed=42)
            ours_s = time.perf_counter() - start
            theirs, theirs_s = run_icet(parent, elements, cutoff, ours)
            print(f"{make.__name__ + ' ' + '/'.join(elements):<28}{ours.n_sites:>6}{ours_s:>11.2f}"
                  f"{theirs_s:>9.2f}{theirs_s / ours_s:>11.0f}x"
                  f"{objective(ours, parent, elements):>17.4f}{objective(theirs, parent, elements):>8.4f}"
                  f"{report['sqs']['objective_before']:>8.4f}", flush=True)
    parent, elements, _ = fcc()
    start = time.perf_counter()
    big, report = parent.expand_occupancies(max_sites=2000, method="sqs", n_threads=1)
    print(f"kelvara alone, one thread: {big.n_sites} fcc sites in {time.perf_counter() - start:.1f} s, "
          f"largest |alpha| {report['sqs']['objective_before']:.4f} random -> {report['sqs']['objective']:.4f}")


if __name__ == "__main__":
    main()
