"""Frame-averaged partial RDFs and bond angles of a trajectory: kelvara end to end
against OVITO, MDAnalysis and freud.

Writes an extended XYZ file, a LAMMPS dump and an XDATCAR of the same liquid-like
two-element frames (Si and O on a jittered grid that drifts from frame to frame, a
cubic box that changes by up to 1% per frame), then times, each in a fresh process,
reading the file and averaging every partial g(r):

- kelvara: ``trajectory_rdf(path, cutoff, bin_size, n_threads=1 and 2)``;
- OVITO: ``CoordinationAnalysisModifier(partial=True)`` with ``TimeAveragingModifier``,
  one thread (OVITO_THREAD_COUNT=1);
- MDAnalysis (LAMMPS dump only: its XYZ reader has no cell): ``InterRDF`` for every
  pair of elements, one pass per pair, as its documentation does it.

and checks that the averaged g_AB(r) agree (bins at r >= 1 A). Prints seconds,
frames/s and the ratios: kelvara against each peer with one thread each, and
kelvara's two threads against its one; the cost per frame of all the frames against
the first quarter of them (linear in frames), and where a frame's time goes on one thread: reading it,
counting its pairs, and the averaging around them.

Then the O-Si-O bond-angle distribution within 2.0 A, one thread each: kelvara's
``bond_angles(path, "Si", "O", 2.0)`` against OVITO's ``CreateBondsModifier`` +
``BondAngleDistributionModifier`` (the one peer with a bond-angle distribution) and
against freud's neighbour query with the angles taken in NumPy (freud has no
bond-angle distribution of its own; MDAnalysis has none either).

Every tool runs in three rounds (``--repeat``), each round running every tool once,
and its fastest run counts. The
machine's load average is printed before and after.

    nice python benchmarks/trajectory_rdf.py --quick    # 50 frames x 4,000 atoms, cutoff 6
    nice python benchmarks/trajectory_rdf.py            # 200 and 800 frames x 4,000 atoms, 6 A
    nice python benchmarks/trajectory_rdf.py --cases 200x4000x10:ovito    # peers after ":"
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
    tool, _, stop = tool.partition(":stop=")  # "kelvara:stop=50": the first 50 frames only
    cutoff, bin_size, threads, stop = float(cutoff), float(bin_size), int(threads), int(stop or 0) or None
    types = {1: "Si", 2: "O"} if fmt == "lammps" else None
    curves, extra = {}, {}
    if tool in ("kelvara", "read", "split", "angles"):
        from kelvara import trajectory_rdf, TrajectoryReader
        from kelvara.analysis import bond_angles
        from kelvara.trajectory.averaging import TrajectoryAverager, frame_curves
    elif tool in ("ovito", "ovito-angles"):
        from ovito.io import import_file
        from ovito.modifiers import (BondAngleDistributionModifier, CoordinationAnalysisModifier,
                                     CreateBondsModifier, TimeAveragingModifier)
    elif tool == "freud-angles":
        import freud
        from kelvara import TrajectoryReader
    else:
        import MDAnalysis
        from MDAnalysis.analysis.rdf import InterRDF
    t0 = time.perf_counter()  # imports are not timed
    if tool == "read":
        frames = 0
        with TrajectoryReader(path, types=types) as reader:
            while True:
                structures, _ = reader.read(64)
                if not structures:
                    break
                frames += len(structures)
    elif tool == "split":  # one thread: reading, counting, averaging one after another
        read = count = book = 0.0
        averager = TrajectoryAverager(bin_size)
        with TrajectoryReader(path, types=types) as reader:
            while True:
                t = time.perf_counter()
                structures, indices = reader.read(64)
                read += time.perf_counter() - t
                if not structures:
                    break
                t = time.perf_counter()
                window = frame_curves(structures, indices, cutoff, bin_size, 1)
                count += time.perf_counter() - t
                t = time.perf_counter()
                averager.add_window(window)
                book += time.perf_counter() - t
        t = time.perf_counter()
        averager.result()
        book += time.perf_counter() - t
        frames = averager.n_frames
        extra = {"read": read, "count": count, "book": book}
    elif tool == "kelvara":
        res = trajectory_rdf(path, cutoff=cutoff, bin_size=bin_size, n_threads=threads, types=types, stop=stop)
        curves = {f"{a}-{b}": g.tolist() for (a, b), g in res.g_partials.items()}
        frames = res.n_frames
    elif tool == "angles":
        res = bond_angles(path, "Si", "O", cutoff, bin_deg=1.0, n_threads=threads, types=types)
        curves = {"O-Si-O": res.p.tolist()}
        frames = res.n_frames
    elif tool == "ovito":
        pipeline = import_file(path)
        pipeline.modifiers.append(CoordinationAnalysisModifier(
            cutoff=cutoff, number_of_bins=round(cutoff / bin_size), partial=True))
        pipeline.modifiers.append(TimeAveragingModifier(operate_on="table:coordination-rdf"))
        data = pipeline.compute()
        table = data.tables["coordination-rdf[average]"]
        names = [str(n) for n in table.y.component_names]
        names = [n.replace("1", "Si").replace("2", "O") if fmt == "lammps" else n for n in names]
        values = table.xy()
        for k, name in enumerate(names):
            curves[name] = values[:, k + 1].tolist()
        frames = pipeline.source.num_frames
    elif tool == "ovito-angles":
        pipeline = import_file(path)
        bonds = CreateBondsModifier(mode=CreateBondsModifier.Mode.Pairwise)
        si, o = ("1", "2") if fmt == "lammps" else ("Si", "O")
        bonds.set_pairwise_cutoff(si, o, cutoff)
        pipeline.modifiers.append(bonds)
        pipeline.modifiers.append(BondAngleDistributionModifier(
            bins=180, partition=BondAngleDistributionModifier.Partition.ByParticleType))
        pipeline.modifiers.append(TimeAveragingModifier(operate_on="table:bond-angle-distr"))
        table = pipeline.compute().tables["bond-angle-distr[average]"]
        names = [str(n) for n in table.y.component_names]
        column = names.index(f"{o}-{si}-{o}")
        counts = table.xy()[:, column + 1]
        curves = {"O-Si-O": (counts / counts.sum()).tolist()}
        frames = pipeline.source.num_frames
    elif tool == "freud-angles":  # freud's neighbour query, the angles in NumPy
        hist = numpy.zeros(180)
        frames = 0
        with TrajectoryReader(path, types=types) as reader:
            for _, s in reader:
                frames += 1
                m = numpy.array(s.lattice_matrix)
                box = freud.box.Box.from_matrix(m.T)
                pos = box.wrap(numpy.array(s.cart_coords) - m.sum(axis=0) / 2)
                symbols = numpy.array([next(iter(sp)) for sp in s.species])
                centres, others = pos[symbols == "Si"], pos[symbols == "O"]
                nlist = freud.locality.AABBQuery(box, others).query(
                    centres, {"r_max": cutoff, "exclude_ii": False}).toNeighborList()
                v = box.wrap(others[nlist.point_indices] - centres[nlist.query_point_indices])
                first = nlist.query_point_indices
                for i in numpy.unique(first):
                    w = v[first == i]
                    u, t = numpy.triu_indices(len(w), 1)
                    cos = (w[u] * w[t]).sum(1) / numpy.linalg.norm(w[u], axis=1) / numpy.linalg.norm(w[t], axis=1)
                    hist += numpy.histogram(numpy.degrees(numpy.arccos(numpy.clip(cos, -1, 1))), 180, (0, 180))[0]
        curves = {"O-Si-O": (hist / hist.sum()).tolist()}
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
    print(json.dumps({"seconds": seconds, "frames": frames, "curves": curves, **extra}))
    """
)


def write_files(folder: str, n_frames: int, n_atoms: int, seed: int = 11) -> tuple[str, str, str]:
    """The same frames as extended XYZ, as a LAMMPS dump (types 1 = Si, 2 = O) and as
    an XDATCAR (its cell given with each frame): atoms on a jittered grid of 0.1 atoms
    per cubic Angstrom whose sites drift, so the curves have the shells of a liquid."""
    rng = np.random.default_rng(seed)
    side = (n_atoms / 0.1) ** (1 / 3)
    per_axis = int(np.ceil(n_atoms ** (1 / 3)))
    grid = np.stack(np.meshgrid(*[np.arange(per_axis)] * 3, indexing="ij"), -1).reshape(-1, 3)
    base = (grid[rng.choice(len(grid), n_atoms, replace=False)] + 0.5) / per_axis
    types = rng.integers(1, 3, n_atoms)
    symbols = np.where(types == 1, "Si", "O")
    xyz, dump = os.path.join(folder, "run.xyz"), os.path.join(folder, "run.lammpstrj")
    xdatcar = os.path.join(folder, "XDATCAR")
    order = np.argsort(types, kind="stable")  # XDATCAR lists the atoms element by element (Si, O)
    counts = f"{int(np.sum(types == 1))} {int(np.sum(types == 2))}"
    with open(xyz, "w") as fx, open(dump, "w") as fd, open(xdatcar, "w") as fv:
        for step in range(n_frames):
            length = float(side * (1 + 0.01 * np.sin(step)))
            base = (base + rng.normal(0.0, 0.01 / per_axis, base.shape)) % 1.0
            frac = (base + rng.normal(0.0, 0.12 / per_axis, base.shape)) % 1.0
            positions = frac * length
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
            fv.write("".join(f"  {x:.8f}  {y:.8f}  {z:.8f}\n" for x, y, z in frac[order]))
    return xyz, dump, xdatcar


REPEAT = 3


def fastest(configs: list[tuple], path: str, fmt: str, cutoff: float, bin_size: float) -> list[dict]:
    """The fastest of REPEAT rounds for each (tool, threads), each run in a fresh
    process. A round runs every configuration once, so a spell in which the machine
    is slower (another program, a clock that drops) touches all of them alike."""
    best: list[dict | None] = [None] * len(configs)
    for _ in range(REPEAT):
        for k, (tool, threads) in enumerate(configs):
            if best[k] is not None and "error" in best[k]:
                continue
            r = run(tool, path, fmt, cutoff, bin_size, threads)
            if best[k] is None or "error" in r or r["seconds"] < best[k]["seconds"]:
                best[k] = r
    return [r for r in best if r is not None]


def run(tool: str, path: str, fmt: str, cutoff: float, bin_size: float, threads: int) -> dict:
    env = dict(os.environ)
    env["OVITO_THREAD_COUNT"] = env["OMP_NUM_THREADS"] = str(threads)
    # NumPy's BLAS threads spin for about a tenth of a second after import, taking a
    # core from the timed work; none of the tools here uses BLAS for its curves.
    env["OPENBLAS_NUM_THREADS"] = "1"
    # An installed package has its modules compiled (pip compiles them); without this,
    # a machine that sets PYTHONDONTWRITEBYTECODE would time compiling kelvara's
    # modules, imported on first use, in every run.
    env.pop("PYTHONDONTWRITEBYTECODE", None)
    done = subprocess.run([sys.executable, "-c", RUNNER, tool, path, fmt, str(cutoff), str(bin_size),
                           str(threads)], capture_output=True, text=True, env=env)
    if done.returncode:
        return {"error": done.stderr.strip().splitlines()[-1] if done.stderr.strip() else "failed"}
    return json.loads(done.stdout.strip().splitlines()[-1])


def agreement(ours: dict, theirs: dict, first: int) -> float:
    """Largest |difference| over the curves both give, from bin `first` on."""
    worst = 0.0
    for name, curve in theirs.items():
        a, _, b = name.rpartition("-")
        mine = ours.get(name) or ours.get(f"{b}-{a}")
        if mine is None:
            continue
        n = min(len(mine), len(curve))
        worst = max(worst, float(np.max(np.abs(np.array(mine[first:n]) - np.array(curve[first:n])))))
    return worst


def load() -> str:
    return "load average " + " ".join(f"{x:.1f}" for x in os.getloadavg())


def line(n_frames, n_atoms, cutoff, fmt, threads, tool, r, ratio_text, diff) -> None:
    print(f"{n_frames:>6} {n_atoms:>6} {cutoff:>6g} {fmt:<6} {threads:>7} {tool:<13} {r['seconds']:>8.2f} "
          f"{n_frames / r['seconds']:>9.1f} {ratio_text:>16} {diff:>9.1e}")


def compare_rdfs(case, xyz, dump, bin_size) -> None:
    n_frames, n_atoms, cutoff, peers = case
    quarter = n_frames // 4
    for fmt, path in (("xyz", xyz), ("lammps", dump)):
        tools = [t for t in peers if not (t == "mdanalysis" and fmt != "lammps")]  # its XYZ reader has no cell
        tools += [f"kelvara:stop={quarter}"] if quarter and fmt == "lammps" else []  # linear in frames?
        one, two, *others = fastest([("kelvara", 1), ("kelvara", 2)] + [(t, 1) for t in tools],
                                    path, fmt, cutoff, bin_size)
        if "error" in one:
            print("kelvara failed:", one["error"])
            continue
        line(n_frames, n_atoms, cutoff, fmt, 1, "kelvara", one, "", 0.0)
        if "error" not in two:
            line(n_frames, n_atoms, cutoff, fmt, 2, "kelvara", two,
                 f"{one['seconds'] / two['seconds']:.2f}x its 1", agreement(one["curves"], two["curves"], 0))
        for tool, r in zip(tools, others):
            if tool.startswith("kelvara:") and "error" not in r:
                print(f"  {n_frames} frames cost {one['seconds'] / n_frames / (r['seconds'] / quarter):.2f}x the "
                      f"per-frame time of the first {quarter} (one thread, the same rounds; 1.00 = linear)")
                continue
            if "error" in r:
                print(f"{n_frames:>6} {n_atoms:>6} {cutoff:>6g} {fmt:<6} {1:>7} {tool:<13} failed: {r['error']}")
                continue
            line(n_frames, n_atoms, cutoff, fmt, 1, tool, r, f"{r['seconds'] / one['seconds']:.1f}x",
                 agreement(one["curves"], r["curves"], int(round(1.0 / bin_size))))
    split = run("split", dump, "lammps", cutoff, bin_size, 1)
    if "error" not in split:
        total = split["read"] + split["count"] + split["book"]
        print(f"  per frame on one thread, LAMMPS dump: read {split['read'] / n_frames * 1e3:.2f} ms, "
              f"count {split['count'] / n_frames * 1e3:.2f} ms, averaging {split['book'] / n_frames * 1e3:.2f} ms "
              f"({split['read'] / total:.0%} / {split['count'] / total:.0%} / {split['book'] / total:.0%}; "
              "one thread reads and counts in turn; two read the next window while they count this one)")


def compare_angles(case, xyz, dump) -> None:
    n_frames, n_atoms = case[:2]
    tools = ("ovito-angles", "freud-angles")
    for fmt, path in (("xyz", xyz), ("lammps", dump)):
        ours, *others = fastest([("angles", 1)] + [(t, 1) for t in tools], path, fmt, 2.0, 1.0)
        if "error" in ours:
            print("kelvara bond_angles failed:", ours["error"])
            continue
        line(n_frames, n_atoms, 2.0, fmt, 1, "kelvara angles", ours, "", 0.0)
        for tool, r in zip(tools, others):
            if "error" in r:
                print(f"{n_frames:>6} {n_atoms:>6} {2.0:>6g} {fmt:<6} {1:>7} {tool:<13} failed: {r['error']}")
                continue
            line(n_frames, n_atoms, 2.0, fmt, 1, tool, r, f"{r['seconds'] / ours['seconds']:.1f}x",
                 agreement(ours["curves"], r["curves"], 0))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="50 frames x 4,000 atoms at 6 A only")
    parser.add_argument("--bin-size", type=float, default=0.05)
    parser.add_argument("--no-angles", action="store_true", help="skip the bond-angle comparison")
    parser.add_argument("--cases", help="FRAMESxATOMSxCUTOFF[:PEER+PEER],... (peers: ovito, mdanalysis; "
                        "default both; nothing after ':' times kelvara alone)")
    parser.add_argument("--repeat", type=int, default=REPEAT, help="runs of each tool; the fastest counts")
    args = parser.parse_args()
    globals()["REPEAT"] = max(1, args.repeat)
    both = ("ovito", "mdanalysis")
    cases = [(50, 4000, 6.0, both)] if args.quick else [(200, 4000, 6.0, both), (800, 4000, 6.0, ())]
    if args.cases:
        cases = []
        for item in args.cases.split(","):
            size, _, peers = item.partition(":")
            n_frames, n_atoms, cutoff = size.split("x")
            cases.append((int(n_frames), int(n_atoms), float(cutoff),
                          tuple(p for p in peers.split("+") if p) if ":" in item else both))
    print(load())
    print(f"{'frames':>6} {'atoms':>6} {'cutoff':>6} {'file':<6} {'threads':>7} {'tool':<13} {'s':>8}"
          f" {'frames/s':>9} {'vs kelvara 1':>16} {'max |d|':>9}")
    with tempfile.TemporaryDirectory() as folder:
        for k, case in enumerate(cases):
            n_frames, n_atoms = case[:2]
            xyz, dump, xdatcar = write_files(folder, n_frames, n_atoms)
            for fmt, path in (("xyz", xyz), ("lammps", dump), ("xdatcar", xdatcar)):
                r = run("read", path, fmt, 0.0, 0.0, 1)
                size = os.path.getsize(path) / 1e6
                print(f"read {n_frames} frames x {n_atoms} atoms, {fmt} ({size:.0f} MB): " +
                      (f"failed: {r['error']}" if "error" in r else
                       f"{r['seconds']:.3f} s, {size / r['seconds']:.0f} MB/s"))
            compare_rdfs(case, xyz, dump, args.bin_size)
            if k == 0 and not args.no_angles:
                compare_angles(case, xyz, dump)
    print(load())


if __name__ == "__main__":
    main()
