"""Reading multi-frame extended XYZ trajectories: kelvara against ASE.

Writes a trajectory with a lattice per frame and extra columns
(Properties=species:S:1:pos:R:3:forces:R:3), then reads all frames and every 10th
frame with kelvara.read_xyz_trajectory and with ase.io.read, each run in a fresh
subprocess so that peak memory (VmHWM) belongs to that run alone, and prints
frames/s, MB/s of file text, peak RSS and the ratios.

    python benchmarks/trajectory.py           # 1000 frames x 1000 atoms (~100 MB)
    python benchmarks/trajectory.py --quick   # 200 frames x 500 atoms
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
    import json, resource, sys, time

    def peak_mb():
        try:
            with open("/proc/self/status") as status:
                for line in status:
                    if line.startswith("VmHWM:"):
                        return int(line.split()[1]) / 1024
        except OSError:
            pass
        return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024

    tool, path, every = sys.argv[1], sys.argv[2], int(sys.argv[3])
    if tool == "kelvara":
        from kelvara import read_xyz_trajectory
        read = lambda: len(read_xyz_trajectory(path, every=every)[0])
    else:
        import ase.io
        read = lambda: len(ase.io.read(path, index=slice(None, None, every), format="extxyz"))
    baseline = peak_mb()
    t0 = time.perf_counter()
    kept = read()
    seconds = time.perf_counter() - t0
    print(json.dumps({"kept": kept, "seconds": seconds, "peak_mb": peak_mb(),
                      "baseline_mb": baseline}))
    """
)


def write_trajectory(path: str, n_frames: int, n_atoms: int, seed: int = 7) -> None:
    """A trajectory with a different (triclinic) lattice and fresh positions per frame."""
    rng = np.random.default_rng(seed)
    symbols = np.array(["Fe", "Ni", "O"])[rng.integers(0, 3, n_atoms)]
    row = "{:<2s} {:16.8f} {:16.8f} {:16.8f} {:14.8f} {:14.8f} {:14.8f}\n"
    with open(path, "w") as f:
        for _ in range(n_frames):
            cell = np.diag([22.0, 22.0, 22.0]) + rng.uniform(-0.5, 0.5, (3, 3))
            lattice = " ".join(f"{x:.8f}" for x in cell.ravel())
            f.write(f"{n_atoms}\n")
            f.write(f'Lattice="{lattice}" Properties=species:S:1:pos:R:3:forces:R:3 '
                    f'energy={rng.normal():.6f} pbc="T T T"\n')
            positions = rng.uniform(0.0, 1.0, (n_atoms, 3)) @ cell
            forces = rng.normal(size=(n_atoms, 3))
            f.write("".join(row.format(s, *p, *q) for s, p, q in zip(symbols, positions, forces)))


def run(tool: str, path: str, every: int) -> dict:
    done = subprocess.run([sys.executable, "-c", RUNNER, tool, path, str(every)],
                          capture_output=True, text=True, check=True)
    return json.loads(done.stdout)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a smaller file")
    args = parser.parse_args()
    n_frames, n_atoms = (200, 500) if args.quick else (1000, 1000)

    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "trajectory.xyz")
        write_trajectory(path, n_frames, n_atoms)
        size_mb = os.path.getsize(path) / 1e6
        print(f"{n_frames} frames x {n_atoms} atoms, {size_mb:.1f} MB, "
              f"Properties=species:S:1:pos:R:3:forces:R:3, a lattice per frame")
        print(f"{'read':<14}{'tool':<9}{'kept':>6}{'s':>9}{'frames/s':>11}{'MB/s':>9}"
              f"{'peak MB':>10}{'growth MB':>11}")
        for every in (1, 10):
            results = {tool: run(tool, path, every) for tool in ("kelvara", "ase")}
            for tool, r in results.items():
                frames_per_s = n_frames / r["seconds"]  # frames read, kept or not
                print(f"{'every ' + str(every):<14}{tool:<9}{r['kept']:>6}{r['seconds']:>9.3f}"
                      f"{frames_per_s:>11.0f}{size_mb / r['seconds']:>9.0f}"
                      f"{r['peak_mb']:>10.1f}{r['peak_mb'] - r['baseline_mb']:>11.1f}")
            speedup = results["ase"]["seconds"] / results["kelvara"]["seconds"]
            print(f"{'':<14}kelvara is {speedup:.1f}x faster than ASE")


if __name__ == "__main__":
    main()
