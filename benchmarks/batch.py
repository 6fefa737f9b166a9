"""Screening-set RDFs with kelvara.batch.rdf_many: one worker against two, on the
local process pool and on a Dask LocalCluster, next to a plain loop in one process.

Writes a screening set of POSCAR files (rocksalt supercells, cations drawn at
random from Mg/Ni/Co/Zn, every position jittered), then times reading every file
and computing its RDF (n_threads=1 per task) and prints seconds and speed-ups.
Pool times include starting the pool (what a user pays per call); the Dask
cluster is started and warmed up outside the timing. Every run is checked to
give the same arrays as the loop.

    python benchmarks/batch.py           # 32 files x 5832 atoms, cutoff 10 A
    python benchmarks/batch.py --quick   # 8 files x 1728 atoms, cutoff 8 A
"""

from __future__ import annotations

import argparse
import os
import tempfile
import time

import numpy as np

from kelvara import Structure
from kelvara.batch import rdf_many
from kelvara.io import write_structure

CATIONS = ["Mg", "Ni", "Co", "Zn"]


def rocksalt(n: int, rng: np.random.Generator) -> Structure:
    """An n x n x n rocksalt supercell (8 n^3 atoms) with random cations and jitter."""
    fcc = np.array([[0, 0, 0], [0.5, 0.5, 0], [0.5, 0, 0.5], [0, 0.5, 0.5]])
    cells = np.array([[i, j, k] for i in range(n) for j in range(n) for k in range(n)], dtype=float)
    cation = (cells[:, None, :] + fcc[None, :, :]).reshape(-1, 3)
    anion = (cells[:, None, :] + (fcc + [0.5, 0, 0]) % 1.0).reshape(-1, 3)
    frac = np.vstack([cation, anion]) / n + rng.normal(0.0, 0.004, (2 * len(cation), 3))
    species = [{CATIONS[c]: 1.0} for c in rng.integers(0, len(CATIONS), len(cation))]
    species += [{"O": 1.0}] * len(anion)
    a = rng.uniform(4.1, 4.3)
    return Structure((np.eye(3) * a * n).tolist(), frac % 1.0, species)


def loop(paths: list[str], cutoff: float) -> list[np.ndarray]:
    return [Structure.from_poscar(p).prdf(cutoff=cutoff, n_threads=1)[2] for p in paths]


def timed(label: str, run, reference: list[np.ndarray] | None, repeat: int) -> float:
    best = float("inf")
    for _ in range(repeat):
        t0 = time.perf_counter()
        totals = run()
        best = min(best, time.perf_counter() - t0)
    if reference is not None:
        assert all(np.array_equal(a, b) for a, b in zip(totals, reference)), label
    return best


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="a small set, for a quick check")
    parser.add_argument("--no-dask", action="store_true", help="skip the Dask LocalCluster runs")
    args = parser.parse_args()
    n_files, n, cutoff, repeat = (8, 6, 8.0, 1) if args.quick else (32, 9, 10.0, 2)

    rng = np.random.default_rng(2026)
    with tempfile.TemporaryDirectory() as folder:
        paths = []
        for i in range(n_files):
            path = os.path.join(folder, f"candidate{i:03d}.vasp")
            write_structure(rocksalt(n, rng), path)
            paths.append(path)
        atoms = 8 * n**3
        print(f"{n_files} POSCAR files x {atoms} atoms, cutoff {cutoff} A, bin 0.1 A, n_threads=1 per task, "
              f"{os.cpu_count()} CPUs")

        reference = loop(paths, cutoff)
        rows = [("one process, plain loop", timed("loop", lambda: loop(paths, cutoff), None, repeat))]

        def many(**kwargs):
            return lambda: [rec.total for rec in rdf_many(paths, cutoff=cutoff, **kwargs)]

        for workers in (1, 2):
            rows.append((f"process pool, {workers} worker(s)", timed("pool", many(n_workers=workers), reference, repeat)))

        if not args.no_dask:
            try:
                from distributed import Client, LocalCluster
            except ImportError:
                print("(dask/distributed not installed: skipping the cluster runs)")
            else:
                for workers in (1, 2):
                    t0 = time.perf_counter()
                    cluster = LocalCluster(n_workers=workers, processes=True, threads_per_worker=1,
                                           dashboard_address=None)
                    with cluster, Client(cluster) as client:
                        rdf_many(paths[:workers], cutoff=2.0, client=client)  # workers import kelvara
                        startup = time.perf_counter() - t0
                        seconds = timed("dask", many(client=client), reference, repeat)
                        grouped = timed("dask", many(client=client, files_per_task=4), reference, repeat)
                    rows.append((f"Dask LocalCluster, {workers} worker(s)", seconds))
                    rows.append(("  same, files_per_task=4", grouped))
                    print(f"  (LocalCluster with {workers} worker(s) started in {startup:.2f} s, not counted)")

    base = rows[0][1]
    pairs = dict(rows)
    print(f"{'run':<34}{'seconds':>9}{'files/s':>9}{'vs loop':>9}")
    for label, seconds in rows:
        print(f"{label:<34}{seconds:9.3f}{n_files / seconds:9.1f}{base / seconds:9.2f}")
    for kind in ("process pool", "Dask LocalCluster"):
        one, two = pairs.get(f"{kind}, 1 worker(s)"), pairs.get(f"{kind}, 2 worker(s)")
        if one and two:
            print(f"{kind}: 2 workers / 1 worker speed-up {one / two:.2f}x")


if __name__ == "__main__":
    main()
