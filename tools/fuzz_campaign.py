"""Long fuzzing campaign for the sanitizer build: mutated inputs through every reader,
writer round trips and the command line; generated trajectories checked frame by frame;
signals sent into running commands. Not collected by pytest (run it directly):

    python tools/fuzz_campaign.py --inputs 100000 [--seed 1]
    python tools/fuzz_campaign.py --trajectories 10000 --interrupts 300

Every input must end in a result or a clear exception (ValueError, OSError,
MemoryError, OverflowError, TypeError from bad arguments); anything else, a crash or
a sanitizer report stops the run with the input that caused it. A generated trajectory
must read back as it was written (whole, and resumed part-way through), and one broken
on purpose must be refused with the message that names its fault. The interrupts are
`tools/fuzz_interrupts.py`'s.
"""

from __future__ import annotations

import argparse
from collections import Counter
import contextlib
import io
import os
import random
import shutil
import sys
import tempfile
import warnings
from importlib.resources import files

# The command line writes only its CSV: figures are matplotlib's work, not kelvara's, and
# matplotlib's own C++ extensions throw exceptions that a preloaded ASan runtime aborts on.
sys.modules["matplotlib"] = None  # type: ignore[assignment]

import kelvara  # noqa: E402
from kelvara import Structure  # noqa: E402
from kelvara.cli import main
from kelvara.io import write_structure

CLEAN = (ValueError, OSError, MemoryError, OverflowError)
SEEDS = {name: (files("kelvara") / "data" / name).read_bytes()
         for name in ("NaCl.cif", "ZnO.cif", "SrBaTiO3.cif", "Si.poscar", "Si.xyz")}


def _dump_frame(step: int, rows: str) -> bytes:
    return (f"ITEM: TIMESTEP\n{step}\nITEM: NUMBER OF ATOMS\n3\nITEM: BOX BOUNDS xy xz yz pp pp pp\n"
            f"0.0 5.5 0.2\n0.0 5.0 0.0\n0.0 5.0 0.1\nITEM: ATOMS id type xs ys zs\n{rows}").encode()


# Trajectory formats: a triclinic LAMMPS dump (scaled coordinates, ids out of order, types
# named by the caller) and an XDATCAR whose cell changes between frames.
SEEDS["t.lammpstrj"] = (_dump_frame(0, "2 1 0.5 0.5 0.5\n1 2 0.0 0.0 0.0\n3 1 0.25 0.75 0.1\n")
                        + _dump_frame(10, "1 2 0.01 0.0 0.0\n3 1 0.26 0.75 0.1\n2 1 0.5 0.49 0.5\n"))
SEEDS["XDATCAR"] = b"""SiO
1.0
5.0 0.0 0.0
0.0 5.0 0.0
0.0 0.0 5.0
Si O
1 2
Direct configuration=     1
0.0 0.0 0.0
0.5 0.5 0.5
0.25 0.25 0.25
SiO
1.0
5.1 0.0 0.0
0.0 5.0 0.0
0.0 0.0 5.0
Si O
1 2
Direct configuration=     2
0.0 0.01 0.0
0.5 0.5 0.49
0.25 0.26 0.25
"""
FORMAT = {"cif": "cif", "poscar": "poscar", "xyz": "xyz"}
TRAJECTORY = {"lammpstrj": "lammps-dump", "XDATCAR": "xdatcar", "xyz": "xyz"}
TOKENS = [b" ", b"\n", b"'", b'"', b";", b"_", b"#", b"?", b".", b"-", b"1e308", b"nan", b"-0",
          b"loop_", b"data_x", b"x,y,z", b"1/0", b"\x00", b"\xff", b"0.5", b"999999999999"]


def mutate(data: bytes, rng: random.Random) -> bytes:
    out = bytearray(data)
    for _ in range(rng.randint(1, 8)):
        choice = rng.random()
        at = rng.randrange(len(out) + 1)
        if choice < 0.3 and out:
            del out[at:at + rng.randint(1, 20)]
        elif choice < 0.6:
            out[at:at] = rng.choice(TOKENS)
        elif choice < 0.8 and out:
            out[at - 1 if at else 0] = rng.randrange(256)
        else:
            start = rng.randrange(len(out) + 1)
            out[at:at] = out[start:start + rng.randint(1, 200)]
    return bytes(out)


def one_input(k: int, rng: random.Random, folder: str) -> None:
    name, seed = rng.choice(list(SEEDS.items()))
    data = mutate(seed, rng)
    kind = name.rsplit(".", 1)[-1]
    path = os.path.join(folder, "XDATCAR" if kind == "XDATCAR" else f"input.{kind}")
    with open(path, "wb") as handle:
        handle.write(data)
    route = k % 4
    if kind in ("lammpstrj", "XDATCAR"):
        route = 4 + k % 2
    try:
        if route == 4:
            with kelvara.TrajectoryReader(path, format=TRAJECTORY[kind], every=rng.randint(1, 2),
                                          types={1: "Si", 2: "O"}) as reader:
                for _, frame in reader:
                    frame.total_rdf(cutoff=3.0)
            return
        if route == 5:
            kelvara.trajectory_rdf(path, fmt=TRAJECTORY[kind], cutoff=rng.choice([3.0, 6.0]),
                                   types={1: "Si", 2: "O"})
            return
        if route == 0:
            structure = Structure.from_str(data.decode("utf-8", "replace"), FORMAT[kind])
        elif route == 1:
            structure = getattr(Structure, {"cif": "from_cif", "poscar": "from_poscar", "xyz": "from_xyz"}[kind])(path)
        elif route == 2:
            kelvara.read_xyz_trajectory(path, every=rng.randint(1, 3))
            return
        else:
            argv = rng.choice([["info", path], ["rdf", path, "--cutoff", str(rng.choice([2, 4, 1e9, -1]))],
                               ["expand", path, "--max-sites", str(rng.randint(-2, 5000))]])
            with contextlib.redirect_stdout(io.StringIO()), contextlib.redirect_stderr(io.StringIO()):
                status = main([*argv, "--force"] if argv[0] == "rdf" else argv)
            assert status in (0, 1), status
            return
    except CLEAN:
        return
    # Round trips: what a writer writes reads back (or the writer refuses with a reason).
    if structure.n_sites <= 2000:
        with contextlib.suppress(ValueError):  # a hopeless cell is refused, not run
            structure.total_rdf(cutoff=3.0)
        target = os.path.join(folder, rng.choice(["out.cif", "out.vasp", "out.xyz"]))
        try:
            write_structure(structure, target)
        except ValueError:
            return
        back = kelvara.io.read_structure(target)
        assert back.n_sites == structure.n_sites, (target, back, structure)
        # The same atoms (a writer may group them by element): the same multiset of sites.
        def sites(x):
            return Counter(tuple(sorted(species.items())) for species in x.species)
        assert sites(back) == sites(structure), (target, structure.species, back.species)


def trajectory_input(k: int, rng: random.Random, folder: str) -> str:
    """One generated trajectory: read whole and resumed (checked against what was
    written), refused when broken on purpose, or only survived when mutated at random.
    Returns what was done, for the counts."""
    from fuzz_trajectories import break_case, check_frames, lammps_case, xdatcar_case

    case = (lammps_case if k % 2 else xdatcar_case)(rng)
    roll = rng.random()
    if roll < 0.2:
        case = break_case(case, rng)
    elif roll < 0.35:
        case.text, case.cells = mutate(case.text, rng), []
    path = os.path.join(folder, "XDATCAR" if case.fmt == "xdatcar" else "run.lammpstrj")
    with open(path, "wb") as handle:
        handle.write(case.text)
    fmt = rng.choice([case.fmt, None])  # told from the name or the first lines, or named
    try:
        with kelvara.TrajectoryReader(path, format=fmt, **case.kwargs) as reader:
            structures, _ = reader.read(100)
    except CLEAN as error:
        if case.refused is not None:
            assert case.refused in str(error), (case.refused, str(error))
            return "refused"
        assert not case.cells, f"a generated trajectory was refused: {error}"
        return "mutated"
    assert case.refused is None, f"not refused: {case.refused}"
    if not case.cells:
        return "mutated"
    check_frames(case, structures)
    first = rng.randrange(len(case.cells))
    with kelvara.TrajectoryReader(path, format=fmt, **case.kwargs) as reader:
        reader.skip(first)
        position = reader.position
    with kelvara.TrajectoryReader(path, format=fmt, position=position, **case.kwargs) as reader:
        check_frames(case, reader.read(100)[0], first)
    if k % 10 == 0:
        with contextlib.suppress(ValueError):  # a cell narrower than the cutoff is refused
            kelvara.trajectory_rdf(path, fmt=fmt, cutoff=3.0, **case.kwargs)
    return "read"


def run(inputs: int, seed: int, only: int | None = None, generate: bool = False) -> Counter:
    warnings.simplefilter("ignore")
    here = os.getcwd()
    counts: Counter = Counter()
    with tempfile.TemporaryDirectory() as folder:
        os.chdir(folder)
        for k in range(inputs) if only is None else [only]:
            try:  # each input draws from its own generator, so any one can be replayed
                rng = random.Random(seed * 1_000_003 + k)
                if generate:
                    counts[trajectory_input(k, rng, folder)] += 1
                else:
                    one_input(k, rng, folder)
            except Exception:
                kept = os.path.join(here, f"failed-input-{seed}-{k}")
                shutil.copytree(folder, kept, dirs_exist_ok=True)
                print(f"input {k} (seed {seed}) failed; its files are in {kept}", file=sys.stderr)
                raise
            if k % 10000 == 9999:
                print(f"{k + 1} inputs", flush=True)
        os.chdir(here)
    return counts


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--inputs", type=int, default=100_000, help="mutated inputs (0: none)")
    parser.add_argument("--trajectories", type=int, default=0, help="generated trajectories")
    parser.add_argument("--interrupts", type=int, default=0, help="signals sent into running calls")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--only", type=int, help="replay one input (the number a failure reports)")
    options = parser.parse_args()
    if options.inputs:
        run(options.inputs, options.seed, options.only)
        print(f"{options.inputs if options.only is None else 1} inputs, no failure", flush=True)
    if options.trajectories:
        sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
        counts = run(options.trajectories, options.seed, options.only, generate=True)
        print(f"{sum(counts.values())} generated trajectories, no failure: "
              + ", ".join(f"{n} {what}" for what, n in sorted(counts.items())), flush=True)
    if options.interrupts:
        sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
        from fuzz_interrupts import campaign

        campaign(options.interrupts, options.seed)
