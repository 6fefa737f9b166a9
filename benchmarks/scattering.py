"""Total PDF G(r) and S(Q) of kelvara against PDFfit2 (diffpy.pdffit2), the PDFgui engine.

Both tools compute G(r) of fcc Ni and rock-salt NaCl with the same isotropic
displacements (PDFfit2 Uiso, kelvara broadening sqrt(2 Uiso)), the same Qmax and no
Qdamp, on the same r grid; the script prints how far the curves agree (first peak
position and height ratio, integrated |G| ratio, relative rms difference) and the
time of each tool. It also times kelvara's S(Q) transform step (2,000 Q from the
partials, separately from the pair pass) and the Qmax termination of a 3,000-point
G(r). Then the refinement model: one evaluation of the model G(r) of a 10,080-atom
ordered expansion of (Sr,Ba)TiO3 to 30 A (kelvara: the pair pass plus one
broadening; then a re-evaluation, which is what every step of a fit costs), and a
full fit of scale, qdamp, Uiso per element and delta2 to synthetic data made by
PDFfit2, both programs from the same start. Last, structural refinements as PDFgui
runs them: an orthorhombic perovskite (CaTiO3, Pbnm, 20 atoms) from an unrefined start
(scale, a, b, c, the 7 free coordinates, Uiso per element, delta2 under the space
group's constraints) and a two-phase mixture (CaTiO3 + Ni: a scale, Uiso and delta2 per
phase, the cells), each by both programs from the same start on the same data. Usage:

    python benchmarks/scattering.py            # r_max 30 A
    python benchmarks/scattering.py --quick    # r_max 15 A, fewer repeats, 640 atoms
"""

from __future__ import annotations

import argparse
import io
import os
import time

import numpy as np

from kelvara import Structure
from kelvara.pdf import partial_g, structure_factor_from_partials, terminate, total_pdf

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


def dstructure(structure: Structure, uiso: dict):
    from diffpy.structure import Atom, Lattice
    from diffpy.structure import Structure as DStructure

    lattice = Lattice(base=np.array(structure.lattice_matrix))
    atoms = [Atom(el, xyz=f, Uisoequiv=uiso[el], occupancy=o, lattice=lattice)
             for sp, f in zip(structure.species, structure.frac_coords) for el, o in sp.items()]
    return DStructure(atoms, lattice=lattice)


PEROVSKITE_U = {"Sr": 0.008, "Ba": 0.008, "Ti": 0.005, "O": 0.011}


def model_evaluation(cells: tuple[int, int, int], r_max: float) -> None:
    """One model G(r) of a large ordered expansion: kelvara against PDFfit2."""
    from importlib.resources import files

    from kelvara.pdf.model import PDFParameters, model_pdf, pair_table, required_r_max

    base = Structure.from_cif(str(files("kelvara") / "data" / "SrBaTiO3.cif"))
    supercell = base.make_supercell(*cells)
    ordered, _ = supercell.expand_occupancies(max_sites=supercell.n_sites, seed=0)
    r = np.arange(100, int(round(r_max / DR)) + 1) * DR
    p = PDFParameters(qmax=QMAX, qdamp=0.03, delta2=1.0, uiso=PEROVSKITE_U)
    start = time.perf_counter()
    table = pair_table(ordered, required_r_max(r_max, p))
    ours = model_pdf(table, r, p)
    first = time.perf_counter() - start
    again, _ = best_of(3, lambda: model_pdf(table, r, p))
    print(f"model G(r) of {ordered.n_sites:,} atoms to {r_max:g} A: kelvara {first:.3f} s "
          f"(pair pass + one evaluation), {again * 1e3:.1f} ms per re-evaluation")
    try:
        from diffpy import pdffit2
    except ImportError:
        return
    pdffit2.redirect_stdout(io.StringIO())
    fit = pdffit2.PdfFit()
    fit.add_structure(dstructure(ordered, PEROVSKITE_U))
    fit.alloc("N", QMAX, 0.03, float(r[0]), float(r[-1]), r.size)
    fit.setvar("delta2", 1.0)
    start = time.perf_counter()
    fit.calc()
    peer_time = time.perf_counter() - start
    G = np.array(fit.getpdf_fit())
    beyond = r >= 1.5
    rms = np.sqrt(np.mean((ours - G)[beyond] ** 2) / np.mean(G[beyond] ** 2))
    print(f"  PDFfit2 {peer_time:.2f} s: kelvara {peer_time / first:.1f}x faster including its pair pass, "
          f"{peer_time / again:.0f}x per re-evaluation; relative rms difference {rms:.4f}")


def full_fit(r_max: float) -> None:
    """Scale, qdamp, Uiso of every element and delta2 refined by both programs."""
    from importlib.resources import files

    from kelvara.pdf.measured import MeasuredPDF
    from kelvara.pdf.fit import fit_pdf
    from kelvara.pdf.model import PDFParameters

    try:
        from diffpy import pdffit2
    except ImportError:
        print("full fit: diffpy.pdffit2 is not installed, skipped")
        return
    pdffit2.redirect_stdout(io.StringIO())
    base = Structure.from_cif(str(files("kelvara") / "data" / "SrBaTiO3.cif"))
    structure, _ = base.expand_occupancies(seed=0)  # 40 ordered sites
    r = np.arange(100, int(round(r_max / DR)) + 1) * DR
    truth = {"pscale": 0.9, "delta2": 1.0}
    maker = pdffit2.PdfFit()
    maker.add_structure(dstructure(structure, PEROVSKITE_U))
    maker.alloc("N", QMAX, 0.03, float(r[0]), float(r[-1]), r.size)
    for name, value in truth.items():
        maker.setvar(name, value)
    maker.calc()
    # Noise of a good measurement: Rw near 0.05, where the two programs' small
    # difference in termination does not decide the agreement factor.
    noise = 0.25
    G = np.array(maker.getpdf_fit()) + np.random.default_rng(0).normal(0, noise, r.size)
    data = MeasuredPDF(r=r, G=G, dG=np.full(r.size, noise), dr=None, step=DR, source="synthetic")
    elements = sorted(PEROVSKITE_U)
    start_u = 0.006
    p = PDFParameters(qmax=QMAX, qdamp=0.04, delta2=0.5, uiso=dict.fromkeys(elements, start_u))
    start = time.perf_counter()
    ours = fit_pdf(structure, data, "scale,qdamp,uiso,delta2", p)
    ours_time = time.perf_counter() - start

    fit = pdffit2.PdfFit()
    fit.add_structure(dstructure(structure, dict.fromkeys(elements, start_u)))
    fit.read_data_lists("N", QMAX, 0.04, list(r), list(G), list(data.dG))
    fit.constrain(fit.pscale(), "@1")
    fit.setpar(1, 1.0)
    fit.constrain(fit.qdamp(), "@2")
    fit.setpar(2, 0.04)
    fit.constrain(fit.delta2(), "@3")
    fit.setpar(3, 0.5)
    for k, (sp, _) in enumerate(zip(structure.species, structure.frac_coords)):
        code = 10 + elements.index(next(iter(sp)))
        for getter in (fit.u11, fit.u22, fit.u33):
            fit.constrain(getter(k + 1), f"@{code}")
    for k in range(len(elements)):
        fit.setpar(10 + k, start_u)
    start = time.perf_counter()
    fit.refine()
    peer_time = time.perf_counter() - start
    peer = {"scale": fit.getpar(1), "qdamp": fit.getpar(2), "delta2": fit.getpar(3),
            **{f"uiso_{el}": fit.getpar(10 + k) for k, el in enumerate(elements)}}
    print(f"full fit of {structure.n_sites} atoms to {r_max:g} A ({len(ours.refined)} parameters): kelvara "
          f"{ours_time:.2f} s ({ours.evaluations} model evaluations), PDFfit2 {peer_time:.2f} s: "
          f"{peer_time / ours_time:.1f}x faster")
    print(f"  Rw kelvara {ours.rw:.5f}, PDFfit2 {fit.getrw():.5f} "
          f"(relative difference {abs(ours.rw / fit.getrw() - 1):.4f})")
    for name in ours.refined:
        sigma = ours.uncertainties[name]
        print(f"  {name:>8}: kelvara {ours.values[name]:.6g} +/- {sigma:.2g}, PDFfit2 {peer[name]:.6g} "
              f"({abs(ours.values[name] - peer[name]) / sigma:.2f} sigma apart)")


def structural_fits(repeats: int) -> None:
    """Full structural refinements by kelvara and by PDFfit2 under diffpy's symmetry constraints."""
    import sys
    from pathlib import Path

    try:
        import diffpy.pdffit2  # noqa: F401
    except ImportError:
        print("structural fits: diffpy.pdffit2 is not installed, skipped")
        return
    sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
    import pdffit2_peer as peer
    from test_refine import NICKEL, PEROVSKITE, PEROVSKITE_START, phase

    from kelvara.pdf.measured import MeasuredPDF
    from kelvara.pdf.refine import refine_pdf
    from kelvara.pdf.model import PDFParameters
    from kelvara.pdf.scattering import neutron_lengths

    neutron_lengths(["Ca", "Ti", "O", "Ni"])  # the element tables load once, outside the timing
    r = np.arange(150, 2001) * DR
    cases = [
        ("perovskite CaTiO3 (Pbnm, 20 atoms), cell + xyz + uiso + delta2 + scale",
         [(*PEROVSKITE, {"pscale": 0.8, "delta2": 2.0})], [(*PEROVSKITE_START, {"delta2": 1.0})],
         "scale,cell,xyz,uiso,delta2"),
        ("two phases CaTiO3 + Ni (0.7 : 0.2), scale + cell + uiso + delta2 per phase",
         [(*PEROVSKITE, {"pscale": 0.7, "delta2": 2.0}), (*NICKEL, {"pscale": 0.2, "delta2": 2.0})],
         [(PEROVSKITE[0], (5.39, 5.45, 7.65, 90, 90, 90), PEROVSKITE[2], {"delta2": 1.0}),
          (NICKEL[0], (3.53, 3.53, 3.53, 90, 90, 90), NICKEL[2], {"pscale": 0.3, "delta2": 1.0})],
         "scale,cell,uiso,delta2"),
    ]
    for title, truth, start, refine in cases:
        G = peer.calculate(truth, r, "N", 30.0, 0.02)
        noise = 0.02 * float(np.abs(G).max())
        G = G + np.random.default_rng(0).normal(0, noise, r.size)
        dG = np.full(r.size, noise)
        data = MeasuredPDF(r=r, G=G, dG=dG, dr=None, step=DR, source="synthetic")
        peer_time, peer_rw = np.inf, None
        for _ in range(repeats):
            values, peer_rw, seconds, _ = peer.refine(start, r, G, dG, "N", 30.0, 0.02,
                                                      refine_xyz="xyz" in refine)
            peer_time = min(peer_time, seconds)
        phases = [phase(*entry[:3]) for entry in start]
        first = {"pscale": start[0][3].get("pscale", 1.0)}

        def run():
            return refine_pdf([s for s, _ in phases], data, refine,
                              PDFParameters(qmax=30.0, qdamp=0.02, delta2=1.0, scale=first["pscale"]),
                              operations=[ops for _, ops in phases])
        ours_time, ours = best_of(repeats, run)
        print(f"{title}: {len(ours.parameters)} parameters, {r.size} points")
        print(f"  kelvara {ours_time:.2f} s, Rw {ours.rw:.5f}; PDFfit2 {peer_time:.2f} s, Rw {peer_rw:.5f}: "
              f"{peer_time / ours_time:.1f}x faster, Rw {100 * (ours.rw / peer_rw - 1):+.2f}%")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="r_max 15 A and fewer repeats")
    parser.add_argument("--model-only", action="store_true", help="only the 10,000-atom model evaluation")
    parser.add_argument("--fit-only", action="store_true", help="only the full fit")
    parser.add_argument("--structural-only", action="store_true", help="only the structural refinements")
    args = parser.parse_args()
    os.environ.setdefault("RAYON_NUM_THREADS", "1")
    repeats = 2 if args.quick else 5
    if args.model_only:
        model_evaluation((4, 4, 8) if args.quick else (10, 10, 20), 15.0 if args.quick else 30.0)
        return
    if args.fit_only:
        full_fit(15.0 if args.quick else 30.0)
        return
    if args.structural_only:
        structural_fits(repeats)
        return
    compare(15.0 if args.quick else 30.0, repeats)
    transforms(repeats)
    if not args.fit_only:
        model_evaluation((4, 4, 8) if args.quick else (10, 10, 20), 15.0 if args.quick else 30.0)
    full_fit(15.0 if args.quick else 30.0)
    structural_fits(repeats)


if __name__ == "__main__":
    main()
