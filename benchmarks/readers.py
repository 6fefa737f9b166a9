"""Reading speed of kelvara against gemmi, pymatgen and ASE, side by side in one run.

    python benchmarks/readers.py [--quick]

Four cases: a symmetric CIF (F m -3 m, expanded to a few hundred sites) read many
times from memory; framework CIFs of 300 to 11,000 atom-site rows in P 1 21/c 1 (up
to 44,000 sites, as large metal-organic framework files are, at the density of an
organic framework and with no atoms closer than 1.2 A) read from memory, kelvara and
gemmi sampled in turn; a 100,000-atom POSCAR and a 100,000-atom extended XYZ read once
each (throughput in MB/s of text). Prints the time per read and the ratio of each
peer to kelvara (higher means kelvara is faster).
"""

from __future__ import annotations

import argparse
import io
import time
import warnings
from importlib.resources import files

import numpy as np

from kelvara import Structure

warnings.filterwarnings("ignore")


def best_time(fn, repeat: int, number: int) -> float:
    """Best-of-`repeat` seconds per call, each sample timing `number` calls."""
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        for _ in range(number):
            fn()
        best = min(best, (time.perf_counter() - start) / number)
    return best


def symmetric_cif() -> str:
    """F m -3 m with special and general positions: 4 + 4 + 32 + 24 + 192 sites."""
    nacl = (files("kelvara") / "data" / "NaCl.cif").read_text()
    head = nacl[: nacl.rindex("loop_")]
    return head + """loop_
_atom_site_label
_atom_site_type_symbol
_atom_site_fract_x
_atom_site_fract_y
_atom_site_fract_z
_atom_site_occupancy
Na1 Na 0 0 0 1
Cl1 Cl 0.5 0.5 0.5 1
O1 O 0.11 0.11 0.11 1
F1 F 0.23 0 0 1
H1 H 0.123 0.234 0.345 0.5
"""


def framework_cif(n_rows: int, rng, density: float = 0.09) -> str:
    """A monoclinic framework file as refinement programs write it: labels, type symbols,
    coordinates and Uiso with standard uncertainties, ADP type, occupancy and flags.

    Like a real crystal, it holds `density` sites per cubic Angstrom after expansion
    (0.09: an organic framework with its hydrogens) and no two atoms closer than about
    1.5 A: the rows lie on a jittered grid inside a quarter of the cell along b, kept
    half a grid step from its faces, and the four operations of P 1 21/c 1 put their
    images in the other three quarters."""
    elements = ["C"] * 6 + ["H"] * 5 + ["O"] * 2 + ["N", "Zn", "Cu"]
    shape = np.array([38.2145, 41.0032, 36.8811])  # the cell's proportions, beta 101.327
    sin_beta = np.sin(np.radians(101.327))
    scale = (4 * n_rows / density / (np.prod(shape) * sin_beta)) ** (1 / 3)
    a, b, c = shape * scale
    step = (a * b / 4 * c * sin_beta / n_rows) ** (1 / 3)
    counts = [max(1, int(a / step)), max(1, int((b / 4 - step) / step) + 1), max(1, int(c / step))]
    while np.prod(counts) < n_rows:
        counts[int(np.argmin([a / counts[0], 1e9, c / counts[2]]))] += 1
    grid = np.stack(np.meshgrid(*[np.arange(n) for n in counts], indexing="ij"), -1).reshape(-1, 3)
    grid = grid[rng.choice(len(grid), n_rows, replace=False)] + rng.uniform(-0.1, 0.1, (n_rows, 3))
    spread = [a / counts[0], (b / 4 - step) / max(counts[1] - 1, 1), c / counts[2]]
    frac = np.column_stack([(grid[:, 0] + 0.5) * spread[0] / a,
                            (step / 2 + grid[:, 1] * spread[1]) / b,
                            (grid[:, 2] + 0.5) * spread[2] / c]) % 1.0
    lines = ["data_framework", "_symmetry_cell_setting monoclinic",
             "_symmetry_space_group_name_H-M 'P 1 21/c 1'", f"_cell_length_a {a:.4f}(4)",
             f"_cell_length_b {b:.4f}(5)", f"_cell_length_c {c:.4f}(4)", "_cell_angle_alpha 90",
             "_cell_angle_beta 101.327(1)", "_cell_angle_gamma 90", "loop_",
             "_symmetry_equiv_pos_as_xyz", "'x, y, z'", "'-x, y+1/2, -z+1/2'", "'-x, -y, -z'",
             "'x, -y-1/2, z-1/2'", "loop_", "_atom_site_label", "_atom_site_type_symbol",
             "_atom_site_fract_x", "_atom_site_fract_y", "_atom_site_fract_z",
             "_atom_site_U_iso_or_equiv", "_atom_site_adp_type", "_atom_site_occupancy",
             "_atom_site_calc_flag", "_atom_site_refinement_flags"]
    su = rng.integers(1, 9, (n_rows, 4))
    u = 0.02 + 0.05 * rng.random(n_rows)
    for i in range(n_rows):
        el = elements[i % len(elements)]
        x, y, z = frac[i]
        hydrogen = el == "H"
        lines.append(f"{el}{i + 1} {el} {x:.5f}({su[i, 0]}) {y:.5f}({su[i, 1]}) {z:.5f}({su[i, 2]}) "
                     f"{u[i]:.4f}({su[i, 3]}) {'Uiso' if hydrogen else 'Uani'} 1 "
                     f"{'calc' if hydrogen else 'd'} {'R' if hydrogen else '.'}")
    return "\n".join(lines) + "\n"


def big_poscar(n: int, rng) -> str:
    frac = rng.random((n, 3))
    lines = ["big cell", "1.0", "40 0 0", "0 40 0", "0 0 40", "Si O", f"{n // 2} {n - n // 2}",
             "Direct"]
    lines += [f"{x:.10f} {y:.10f} {z:.10f}" for x, y, z in frac]
    return "\n".join(lines) + "\n"


def big_xyz(n: int, rng) -> str:
    cart = rng.random((n, 3)) * 40
    lines = [str(n), 'Lattice="40 0 0 0 40 0 0 0 40" Properties=species:S:1:pos:R:3 pbc="T T T"']
    lines += [f"{'Si' if i % 2 else 'O'} {x:.10f} {y:.10f} {z:.10f}"
              for i, (x, y, z) in enumerate(cart)]
    return "\n".join(lines) + "\n"


def row(name, seconds, reference, megabytes=None):
    ratio = seconds / reference
    speed = f"  {megabytes / seconds:8.1f} MB/s" if megabytes else ""
    print(f"  {name:<10} {seconds * 1e3:10.3f} ms/read  {ratio:8.1f}x kelvara's time{speed}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer repetitions, smaller files")
    args = parser.parse_args()
    rng = np.random.default_rng(7)
    n_atoms = 20_000 if args.quick else 100_000
    cif_reads = 100 if args.quick else 1000

    import ase.io
    import gemmi
    from pymatgen.io.cif import CifParser
    from pymatgen.io.vasp import Poscar

    text = symmetric_cif()
    n_sites = Structure.from_cif_str(text).n_sites
    print(f"CIF, F m -3 m expanded to {n_sites} sites, read {cif_reads} times from memory")
    own = best_time(lambda: Structure.from_cif_str(text), 3, cif_reads // 3)

    def gemmi_read():
        st = gemmi.make_small_structure_from_block(gemmi.cif.read_string(text).sole_block())
        return st.get_all_unit_cell_sites()

    peers = {
        "gemmi": best_time(gemmi_read, 3, cif_reads // 3),
        "pymatgen": best_time(lambda: CifParser.from_str(text).parse_structures(primitive=False),
                              2, 3),
        "ase": best_time(lambda: ase.io.read(io.StringIO(text), format="cif"), 2, 3),
    }
    row("kelvara", own, own)
    for name, seconds in peers.items():
        row(name, seconds, own)

    # Framework files of growing size, kelvara and gemmi sampled in turn so that a
    # shared machine's load falls on both alike; pymatgen once, at 1,000 rows.
    for n_rows in ([300, 2_000] if args.quick else [300, 1_000, 3_000, 11_000]):
        text = framework_cif(n_rows, rng)
        n_sites = Structure.from_cif_str(text).n_sites
        reads = max(3, 3_000 // n_rows) if args.quick else max(10, 20_000 // n_rows)
        print(f"CIF, framework of {n_rows} rows expanded to {n_sites} sites "
              f"({len(text) / 1e6:.2f} MB), read from memory")
        own, gemmi_best = float("inf"), float("inf")
        for _ in range(3 if args.quick else 7):
            own = min(own, best_time(lambda: Structure.from_cif_str(text), 1, reads))
            gemmi_best = min(gemmi_best, best_time(lambda: gemmi.make_small_structure_from_block(
                gemmi.cif.read_string(text).sole_block()).get_all_unit_cell_sites(), 1, reads))
        row("kelvara", own, own)
        row("gemmi", gemmi_best, own)
        if n_rows == 1_000:
            row("pymatgen", best_time(lambda: CifParser.from_str(text).parse_structures(primitive=False),
                                      1, 1), own)

    for label, make, fmt, readers in [
        ("POSCAR", big_poscar, "poscar", {
            "pymatgen": lambda t: Poscar.from_str(t).structure,
            "ase": lambda t: ase.io.read(io.StringIO(t), format="vasp"),
        }),
        ("extended XYZ", big_xyz, "xyz", {
            "ase": lambda t: ase.io.read(io.StringIO(t), format="extxyz"),
        }),
    ]:
        text = make(n_atoms, rng)
        megabytes = len(text.encode()) / 1e6
        print(f"{label}, {n_atoms} atoms ({megabytes:.1f} MB of text), read once per sample")
        own = best_time(lambda: Structure.from_str(text, fmt), 3, 1)
        row("kelvara", own, own, megabytes)
        for name, read in readers.items():
            row(name, best_time(lambda: read(text), 1 if args.quick else 2, 1), own, megabytes)


if __name__ == "__main__":
    main()
