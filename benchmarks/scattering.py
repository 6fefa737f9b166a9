"""Total PDF G(r) and S(Q) of kelvara against PDFfit2 (diffpy.pdffit2), the PDFgui engine.

Both tools compute G(r) of fcc Ni and rock-salt NaCl with the same isotropic
displacements (PDFfit2 Uiso, kelvara broadening sqrt(2 Uiso)), the same Qmax and no
Qdamp, on the same r grid; the script prints how far the curves agree (first peak
position and height ratio, integrated |G| ratio, relative rms difference) and the
time of each tool. It also times kelvara's S(Q) transform step (2,000 Q from the
partials, separately from the pair pass) and the Qmax termination of a 3,000-point
G(r). Usage:

    python benchmarks/scattering.py            # r_max 30 A
    python benchmarks/scattering.py --quick    # r_max 15 A, fewer repeats
"""

from __future__ import annotations

import argparse
import io
import os
import time

import numpy as np

from kelvara import Structure
from kelvara.scattering import partial_g, structure_factor_from_partials, terminate, total_pdf

FCC = [[0, 0, 0], [0, 0.5, 0.5], [0.5, 0, 0.5], [0.5, 0.5, 0]]
UISO = 0.005
QMAX = 25.0
DR = 0.01


def crystals() -> dict[str, Structure]:
    nacl = FCC + [[(x + 0.5) % 1, y, z] for x, y, z in FCC]
    return {
        "Ni": Structure(np.eye(3) * 3.524, FCC, [{"Ni": 1.0}] * 4),
        "NaCl": Structure(np.eye(3) * 5.64, nacl, [{"Na": 1.0}] * 4 + [{"Cl": 1.0}] * 4),
    }


def best_of(repeats: int, run):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        value = run()
        times.append(time.perf_counter() - start)
    return min(times), value


def pdffit2_run(structure: Structure, radiation: str, r_max: float):
    """A prepared PDFfit2 calculation; calling it returns G on kelvara's bin centres."""
    from diffpy import pdffit2
    from diffpy.structure import Atom, Lattice
    from diffpy.structure import Structure as DStructure

    pdffit2.redirect_stdout(io.StringIO())
    lattice = Lattice(base=np.array(structure.lattice_matrix))
    atoms = [Atom(next(iter(sp)), xyz=f, U=np.eye(3) * UISO) for sp, f in zip(structure.species, structure.frac_coords)]
    model = DStructure(atoms, lattice=lattice)
    n = int(round(r_max / DR))

    def run():
        fit = pdffit2.PdfFit()
        fit.add_structure(model)
        fit.alloc("N" if radiation == "neutron" else "X", QMAX, 0.0, 0.5 * DR, r_max - 0.5 * DR, n)
        fit.calc()
        return np.array(fit.getpdf_fit())

    return run


def compare(r_max: float, repeats: int) -> None:
    try:
        import diffpy.pdffit2  # noqa: F401
    except ImportError:
        print("diffpy.pdffit2 is not installed: comparison skipped (pip install diffpy.pdffit2)")
        peer = False
    else:
        peer = True
    print(f"G(r) to {r_max:g} A, bin {DR} A, Qmax {QMAX:g} 1/A, Uiso {UISO} A^2 (broadening {np.sqrt(2 * UISO):.4f} A)")
    header = f"{'crystal':8} {'radiation':9} {'kelvara ms':>10}"
    if peer:
        header += f" {'PDFfit2 ms':>10} {'time ratio':>10} {'peak r (both)':>14} {'height ratio':>12} {'|G| area ratio':>14} {'rms diff':>8}"
    print(header)
    for name, structure in crystals().items():
        for radiation in ("neutron", "xray"):
            ours_time, ours = best_of(repeats, lambda: total_pdf(
                structure, r_max=r_max, bin_size=DR, radiation=radiation, qmax=QMAX, broadening=np.sqrt(2 * UISO)))
            line = f"{name:8} {radiation:9} {ours_time * 1e3:10.1f}"
            if peer:
                peer_time, G = best_of(repeats, pdffit2_run(structure, radiation, r_max))
                first = ours.r < 3.2
                k_ours, k_peer = np.argmax(ours.G[first]), np.argmax(G[first])
                peak = f"{ours.r[k_ours]:.3f}" if k_ours == k_peer else f"{ours.r[k_ours]:.3f}/{ours.r[k_peer]:.3f}"
                inner = ours.r > 1.5
                rms = np.sqrt(np.mean((ours.G - G)[inner] ** 2) / np.mean(G[inner] ** 2))
                line += (f" {peer_time * 1e3:10.1f} {ours_time / peer_time:10.2f} {peak:>14}"
                         f" {ours.G[first][k_ours] / G[first][k_peer]:12.4f}"
                         f" {np.sum(np.abs(ours.G[inner])) / np.sum(np.abs(G[inner])):14.4f} {rms:8.4f}")
            print(line)


def transforms(repeats: int) -> None:
    structure = crystals()["NaCl"]
    pair_time, curves = best_of(1, lambda: partial_g(structure, 20.0, 0.02, broadening=0.1))
    q = np.linspace(0.0125, 25.0, 2000)
    sq_time, _ = best_of(repeats, lambda: structure_factor_from_partials(curves, q, radiation="xray"))
    print(f"S(Q): pair pass to 20 A ({curves.r.size} bins, 4 partials) {pair_time * 1e3:.1f} ms; "
          f"transform to {q.size} Q (X-ray f0(Q) weights included) {sq_time * 1e3:.1f} ms")
    r = (np.arange(curves.r.size) + 0.5) * 0.02
    values = np.stack([curves.g[p] - 1.0 for p in curves.g]) * r
    direct_time, _ = best_of(repeats, lambda: values @ np.sin(np.outer(q, r)).T)
    print(f"       the same sums as a full sin(Q r) matrix product: {direct_time * 1e3:.1f} ms "
          f"(ratio {direct_time / sq_time:.1f})")
    rng = np.random.default_rng(0)
    G = rng.normal(size=3000)
    fft_time, _ = best_of(repeats, lambda: terminate(G, 0.01, QMAX))
    print(f"Qmax termination of a 3000-point G(r): {fft_time * 1e3:.1f} ms "
          f"(a dense 3000 x 3000 kernel would need {3 * 3000**2 * 8 / 1e6:.0f} MB of temporaries)")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="r_max 15 A and fewer repeats")
    args = parser.parse_args()
    os.environ.setdefault("RAYON_NUM_THREADS", "1")
    repeats = 2 if args.quick else 5
    compare(15.0 if args.quick else 30.0, repeats)
    transforms(repeats)


if __name__ == "__main__":
    main()
