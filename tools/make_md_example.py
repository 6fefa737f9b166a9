"""Make the bundled MD example: a small Ni-P liquid as extended XYZ and as a LAMMPS dump.

How: 256 atoms (205 Ni, 51 P) of the Kob-Andersen binary Lennard-Jones mixture (the
classic model of Ni80P20: sigma_NiP = 0.8, sigma_PP = 0.88, eps_NiP = 1.5, eps_PP =
0.5 in units of the Ni-Ni pair, cut at 2.5 sigma and shifted) at reduced density 1.2
and temperature 1.0, where it is a liquid. Units are mapped to Angstrom with
sigma_NiNi = 2.4 A. Positions start on a simple cubic grid with random species,
the liquid is melted at T = 2.0 and brought to T = 1.0 by a Langevin thermostat
(BAOAB splitting, time step 0.005, friction 1.0), then 40 frames are kept, one every
100 steps. The same 40 frames are written twice:

- ``md.xyz``: extended XYZ, ``Lattice="..." Properties=species:S:1:pos:R:3``;
- ``md.lammpstrj``: a LAMMPS text dump, ``ITEM: ATOMS id type x y z`` with type 1 =
  Ni and type 2 = P (read it with ``types={1: "Ni", 2: "P"}``).

Positions are wrapped into the cubic box and written with four decimals. The run is
seeded, so the files come out the same on every machine with the same NumPy.

    python tools/make_md_example.py          # writes src/kelvara/data/md.{xyz,lammpstrj}
"""

from __future__ import annotations

import argparse
import pathlib

import numpy as np

SIGMA = np.array([[1.0, 0.8], [0.8, 0.88]])
EPSILON = np.array([[1.0, 1.5], [1.5, 0.5]])
CUT = 2.5
ANGSTROM_PER_SIGMA = 2.4
ELEMENTS = ("Ni", "P")


def forces(x: np.ndarray, kind: np.ndarray, box: float) -> np.ndarray:
    """Lennard-Jones forces of the cut and shifted mixture, minimum image (box > 2 cuts)."""
    d = x[:, None, :] - x[None, :, :]
    d -= box * np.round(d / box)
    r2 = np.einsum("ijk,ijk->ij", d, d)
    np.fill_diagonal(r2, np.inf)
    s2 = SIGMA[kind[:, None], kind[None, :]] ** 2
    eps = EPSILON[kind[:, None], kind[None, :]]
    inside = r2 < (CUT**2) * s2
    sr6 = np.where(inside, (s2 / r2) ** 3, 0.0)
    magnitude = 24.0 * eps * (2.0 * sr6 * sr6 - sr6) / r2
    return np.einsum("ij,ijk->ik", magnitude, d)


def run(n_atoms: int, n_frames: int, every: int, seed: int) -> tuple[float, np.ndarray, list[np.ndarray]]:
    """The Langevin run; returns the box (sigma), the species kinds and the kept frames."""
    rng = np.random.default_rng(seed)
    box = (n_atoms / 1.2) ** (1.0 / 3.0)
    per_side = int(np.ceil(n_atoms ** (1.0 / 3.0)))
    grid = np.stack(np.meshgrid(*[np.arange(per_side)] * 3, indexing="ij"), -1).reshape(-1, 3)
    x = (grid[:n_atoms] + 0.5) * (box / per_side)
    kind = np.zeros(n_atoms, dtype=int)
    kind[rng.choice(n_atoms, size=n_atoms // 5, replace=False)] = 1
    v = np.zeros_like(x)
    dt, gamma = 0.005, 1.0
    frames = []

    def steps(count: int, temperature: float) -> None:
        nonlocal x, v
        c1 = np.exp(-gamma * dt)
        c2 = np.sqrt((1.0 - c1 * c1) * temperature)
        f = forces(x, kind, box)
        for _ in range(count):
            v += 0.5 * dt * f
            x += 0.5 * dt * v
            v = c1 * v + c2 * rng.standard_normal(v.shape)
            x += 0.5 * dt * v
            x %= box
            f = forces(x, kind, box)
            v += 0.5 * dt * f

    steps(2000, 2.0)
    steps(2000, 1.0)
    for _ in range(n_frames):
        steps(every, 1.0)
        frames.append(x.copy())
    return box, kind, frames


def write(folder: pathlib.Path, box: float, kind: np.ndarray, frames: list[np.ndarray], every: int) -> None:
    """Both files of the same frames, in Angstrom."""
    length = box * ANGSTROM_PER_SIGMA
    order = np.argsort(kind, kind="stable")  # Ni first, then P, in both files
    xyz, dump = [], []
    lattice = f"{length:.4f} 0 0 0 {length:.4f} 0 0 0 {length:.4f}"
    for k, frame in enumerate(frames):
        pos = (frame[order] * ANGSTROM_PER_SIGMA) % length
        species = kind[order]
        step = (k + 1) * every
        xyz.append(f"{len(pos)}\n")
        xyz.append(f'Lattice="{lattice}" Properties=species:S:1:pos:R:3 pbc="T T T" step={step}\n')
        xyz.extend(f"{ELEMENTS[s]} {p[0]:.4f} {p[1]:.4f} {p[2]:.4f}\n" for s, p in zip(species, pos))
        dump.append(f"ITEM: TIMESTEP\n{step}\nITEM: NUMBER OF ATOMS\n{len(pos)}\n")
        dump.append("ITEM: BOX BOUNDS pp pp pp\n" + f"0.0 {length:.4f}\n" * 3)
        dump.append("ITEM: ATOMS id type x y z\n")
        dump.extend(f"{i + 1} {s + 1} {p[0]:.4f} {p[1]:.4f} {p[2]:.4f}\n"
                    for i, (s, p) in enumerate(zip(species, pos)))
    (folder / "md.xyz").write_text("".join(xyz), encoding="utf-8")
    (folder / "md.lammpstrj").write_text("".join(dump), encoding="utf-8")


def main() -> None:
    here = pathlib.Path(__file__).resolve().parent.parent / "src" / "kelvara" / "data"
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", type=pathlib.Path, default=here)
    parser.add_argument("--atoms", type=int, default=256)
    parser.add_argument("--frames", type=int, default=40)
    parser.add_argument("--every", type=int, default=100)
    parser.add_argument("--seed", type=int, default=2026)
    args = parser.parse_args()
    box, kind, frames = run(args.atoms, args.frames, args.every, args.seed)
    write(args.out, box, kind, frames, args.every)
    print(f"wrote {args.frames} frames of {args.atoms} atoms to {args.out}/md.xyz and md.lammpstrj")


if __name__ == "__main__":
    main()
