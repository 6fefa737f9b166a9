"""Frame-averaged partial RDFs of a trajectory: kelvara end to end against OVITO and MDAnalysis.

Writes an extended XYZ file and a LAMMPS dump of the same random two-element frames
(a cubic box of 4,000 or more atoms, a slightly different box per frame), then
times, each in a fresh process, reading the file and averaging every partial g(r):

- kelvara: ``trajectory_rdf(path, cutoff, bin_size, n_threads=...)``;
- OVITO: ``CoordinationAnalysisModifier(partial=True)`` with ``TimeAveragingModifier``
  (threads through OVITO_THREAD_COUNT);
- MDAnalysis (LAMMPS dump only: its XYZ reader has no cell): ``InterRDF`` for every
  pair of elements, one pass per pair, as its documentation does it.

and checks that the averaged g_AB(r) agree (bins away from r = 0 where every tool
has counts). Prints seconds, frames/s and the ratios, one thread each and all
threads each; also the cost per frame for 1x and 4x the frames (linear in frames).

Before the comparisons it times reading every frame of each file (XYZ, LAMMPS dump
and an XDATCAR of the same frames) with ``TrajectoryReader`` and prints MB/s.

    python benchmarks/trajectory_rdf.py --quick    # 50 frames x 4,000 atoms, cutoff 6
    python benchmarks/trajectory_rdf.py            # 200 and 800 frames, 4,000 and 32,000 atoms, 6 and 10 A
    python benchmarks/trajectory_rdf.py --cases 200x4000x6,800x4000x6:    # peers after ":" (none here)
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
import textwrap

import numpy as np

RUNNER = textwrap.dedent(
    """
    import json, sys, time
    import numpy  # kelvara imports NumPy on first use; like the peers' imports, untimed
    tool, path, fmt, cutoff, bin_size, threads = sys.argv[1:7]
    cutoff, bin_size, threads = float(cutoff), float(bin_size), int(threads)
    curves = {}
    if tool in ("kelvara", "read"):
        from kelvara import trajectory_rdf, TrajectoryReader
    elif tool == "ovito":
        from ovito.io import import_file
        from ovito.modifiers import CoordinationAnalysisModifier, TimeAveragingModifier
    else:
        import MDAnalysis
        from MDAnalysis.analysis.rdf import InterRDF
    t0 = time.perf_counter()  # imports are not timed
    if tool == "read":
        types = {1: "Si", 2: "O"} if fmt == "lammps" else None
        frames = 0
        with TrajectoryReader(path, types=types) as reader:
            while True:
                structures, _ = reader.read(64)
                if not structures:
                    break
                frames += len(structures)
    elif tool == "kelvara":
        res = trajectory_rdf(path, cutoff=cutoff, bin_size=bin_size, n_threads=threads,
                             types={1: "Si", 2: "O"} if fmt == "lammps" else None)
        curves = {f"{a}-{b}": g.tolist() for (a, b), g in res.g_partials.items()}
        frames = res.n_frames
    elif tool == "ovito":
        pipeline = import_file(path)
        pipeline.modifiers.append(CoordinationAnalysisModifier(
            cutoff=cutoff, number_of_bins=round(cutoff / bin_size), partial=True))
        pipeline.modifiers.append(TimeAveragingModifier(operate_on="table:coordination-rdf"))
        data = pipeline.compute()
        table = data.tables["coordination-rdf[average]"]
        y = table.y
        names = [str(n) for n in y.component_names]
        names = [n.replace("1", "Si").replace("2", "O") if fmt == "lammps" else n for n in names]
        values = table.xy()
        for k, name in enumerate(names):
            curves[name] = values[:, k + 1].tolist()
        frames = pipeline.source.num_frames
    else:
        u = MDAnalysis.Universe(path, format="LAMMPSDUMP")
        groups = {"Si": u.select_atoms("type 1"), "O": u.select_atoms("type 2")}
        for a, b in [("O", "O"), ("O", "Si"), ("Si", "Si")]:
            rdf = InterRDF(groups[a], groups[b], nbins=round(cutoff / bin_size), range=(0.0, cutoff),
                           exclusion_block=(1, 1) if a == b else None)
            rdf.run()
            curves[f"{a}-{b}"] = rdf.results.rdf.tolist()
        frames = u.trajectory.n_frames
    seconds = time.perf_counter() - t0
    print(json.dumps({"seconds": seconds, "frames": frames, "curves": curves}))
    """
)


def write_files(folder: str, n_frames: int, n_atoms: int, seed: int = 11) -> tuple[str, str, str]:
    """The same frames as extended XYZ, as a LAMMPS dump (types 1 = Si, 2 = O) and as
    an XDATCAR (its cell given with each frame)."""
    rng = np.random.default_rng(seed)
    side = (n_atoms / 0.1) ** (1 / 3)  # 0.1 atoms per cubic Angstrom
    types = rng.integers(1, 3, n_atoms)
    symbols = np.where(types == 1, "Si", "O")
    xyz, dump = os.path.join(folder, "run.xyz"), os.path.join(folder, "run.lammpstrj")
    xdatcar = os.path.join(folder, "XDATCAR")
    order = np.argsort(types, kind="stable")  # XDATCAR lists the atoms element by element (Si, O)
    counts = f"{int(np.sum(types == 1))} {int(np.sum(types == 2))}"
    with open(xyz, "w") as fx, open(dump, "w") as fd, open(xdatcar, "w") as fv:
        for step in range(n_frames):
            length = float(side * (1 + 0.01 * np.sin(step)))
            positions = rng.uniform(0, length, (n_atoms, 3))
            fx.write(f'{n_atoms}\nLattice="{length!r} 0 0 0 {length!r} 0 0 0 {length!r}" '
                     "Properties=species:S:1:pos:R:3 pbc=\"T T T\"\n")
            fx.write("".join(f"{s} {x:.6f} {y:.6f} {z:.6f}\n" for s, (x, y, z) in zip(symbols, positions)))
            fd.write(f"ITEM: TIMESTEP\n{step}\nITEM: NUMBER OF ATOMS\n{n_atoms}\n"
                     f"ITEM: BOX BOUNDS pp pp pp\n0 {length!r}\n0 {length!r}\n0 {length!r}\n"
                     "ITEM: ATOMS id type x y z\n")
            fd.write("".join(f"{i + 1} {t} {x:.6f} {y:.6f} {z:.6f}\n"
                             for i, (t, (x, y, z)) in enumerate(zip(types, positions))))
            fv.write(f"run\n1.0\n{length!r} 0 0\n0 {length!r} 0\n0 0 {length!r}\nSi O\n{counts}\n"
                     f"Direct configuration= {step + 1}\n")
            fv.write("".join(f"  {x:.8f}  {y:.8f}  {z:.8f}\n" for x, y, z in positions[order] / length))
    return xyz, dump, xdatcar


def run(tool: str, path: str, fmt: str, cutoff: float, bin_size: float, threads: int) -> dict:
    env = dict(os.environ)
    n = threads or (os.cpu_count() or 1)
    env["OVITO_THREAD_COUNT"] = str(n)
    env["OMP_NUM_THREADS"] = str(n)
    done = subprocess.run([sys.executable, "-c", RUNNER, tool, path, fmt, str(cutoff), str(bin_size),
                           str(threads)], capture_output=True, text=True, env=env)
    if done.returncode:
        return {"error": done.stderr.strip().splitlines()[-1] if done.stderr.strip() else "failed"}
    return json.loads(done.stdout.strip().splitlines()[-1])


def agreement(ours: dict, theirs: dict, bin_size: float) -> float:
    """Largest |difference| of g over the pairs both give, at r >= 1 A."""
    worst = 0.0
    for name, curve in theirs.items():
        a, b = name.split("-")
        mine = ours.get(f"{a}-{b}") or ours.get(f"{b}-{a}")
        if mine is None:
            continue
        first = int(round(1.0 / bin_size))
        n = min(len(mine), len(curve))
        worst = max(worst, float(np.max(np.abs(np.array(mine[first:n]) - np.array(curve[first:n])))))
    return worst


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="50 frames x 4,000 atoms at 6 A only")
    parser.add_argument("--cases", help="FRAMESxATOMSxCUTOFF[:PEER+PEER],... (peers: ovito, mdanalysis; "
                        "default both; nothing after ':' times kelvara alone)")
    args = parser.parse_args()
    both = ("ovito", "mdanalysis")
    cases = [(50, 4000, 6.0, both)] if args.quick else [
        (200, 4000, 6.0, both), (200, 4000, 10.0, both), (800, 4000, 6.0, both), (200, 32000, 6.0, both)]
    if args.cases:
        cases = []
        for item in args.cases.split(","):
            size, _, peers = item.partition(":")
            n_frames, n_atoms, cutoff = size.split("x")
            cases.append((int(n_frames), int(n_atoms), float(cutoff),
                          tuple(p for p in peers.split("+") if p) if ":" in item else both))
    bin_size = 0.1
    print(f"{'frames':>6} {'atoms':>6} {'cutoff':>6} {'file':<6} {'threads':>7} {'tool':<11} {'s':>8}"
          f" {'frames/s':>9} {'kelvara faster':>14} {'max |dg|':>9}")
    per_frame = {}
    with tempfile.TemporaryDirectory() as folder:
        written = None
        for n_frames, n_atoms, cutoff, peers in cases:
            if written != (n_frames, n_atoms):
                xyz, dump, xdatcar = write_files(folder, n_frames, n_atoms)
                written = (n_frames, n_atoms)
                for fmt, path in (("xyz", xyz), ("lammps", dump), ("xdatcar", xdatcar)):
                    r = run("read", path, fmt, 0.0, 0.0, 1)
                    if "error" in r:
                        print(f"reading {fmt} failed: {r['error']}")
                        continue
                    size = os.path.getsize(path) / 1e6
                    print(f"read {n_frames} frames x {n_atoms} atoms, {fmt} ({size:.0f} MB): "
                          f"{r['seconds']:.3f} s, {size / r['seconds']:.0f} MB/s")
            for fmt, path in (("xyz", xyz), ("lammps", dump)):
                for threads in (1, 0):
                    results = {"kelvara": run("kelvara", path, fmt, cutoff, bin_size, threads)}
                    if "ovito" in peers:
                        results["ovito"] = run("ovito", path, fmt, cutoff, bin_size, threads)
                    if fmt == "lammps" and threads == 1 and "mdanalysis" in peers:
                        results["MDAnalysis"] = run("mdanalysis", path, fmt, cutoff, bin_size, 1)
                    ours = results["kelvara"]
                    if "error" in ours:
                        print("kelvara failed:", ours["error"])
                        continue
                    if fmt == "lammps" and threads == 1:
                        per_frame[(n_atoms, cutoff, n_frames)] = ours["seconds"] / n_frames
                    for tool, r in results.items():
                        if "error" in r:
                            print(f"{n_frames:>6} {n_atoms:>6} {cutoff:>6g} {fmt:<6} {threads or 'all':>7} "
                                  f"{tool:<11} failed: {r['error']}")
                            continue
                        ratio = r["seconds"] / ours["seconds"]
                        diff = agreement(ours["curves"], r["curves"], bin_size) if tool != "kelvara" else 0.0
                        print(f"{n_frames:>6} {n_atoms:>6} {cutoff:>6g} {fmt:<6} {threads or 'all':>7} "
                              f"{tool:<11} {r['seconds']:>8.2f} {n_frames / r['seconds']:>9.1f} "
                              f"{ratio:>13.1f}x {diff:>9.1e}")
    for (n_atoms, cutoff, n_frames), cost in sorted(per_frame.items()):
        fewest = min(f for a, c, f in per_frame if (a, c) == (n_atoms, cutoff))
        base = per_frame[(n_atoms, cutoff, fewest)]
        if n_frames != fewest:
            print(f"{n_atoms} atoms, cutoff {cutoff:g}: {n_frames} frames cost {cost / base:.2f}x "
                  f"the per-frame time of {fewest} frames (1.00 = linear)")


if __name__ == "__main__":
    main()
