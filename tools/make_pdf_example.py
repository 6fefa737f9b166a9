"""Make the bundled measured-PDF example: a simulated neutron G(r) of SrTiO3 with noise.

How: the model G(r) of the bundled ``SrTiO3.cif`` (kelvara.pdf.model, the model a fit
refines) with known parameters (scale 0.85, qdamp 0.035, delta2 2.0 and Uiso of 0.0065 /
0.0050 / 0.0095 A^2 for Sr / Ti / O, where the file says 0.0060 / 0.0045 /
0.0080), terminated at Qmax = 25 1/A, on r = 0.01 ... 30 A in steps of 0.01 A,
plus Gaussian noise of standard deviation 0.3 1/A^2 from a seeded generator.
A fit of the example recovers these values within its uncertainties. The file
takes the layout of a PDFgetX3 .gr file (a header of ``[section]`` and ``key =
value`` lines, ``#### start data``, then the ``#S`` and ``#L`` lines and two
columns r, G), and its header says that the data are simulated.

    python tools/make_pdf_example.py         # writes src/kelvara/data/measured.gr
"""

from __future__ import annotations

import argparse
import pathlib

import numpy as np

from kelvara import Structure
from kelvara.pdf.model import PDFParameters, model_pdf, pair_table

TRUE = PDFParameters(scale=0.85, qmax=25.0, qdamp=0.035, delta2=2.0, lattice_scale=1.0,
                     uiso={"Sr": 0.0065, "Ti": 0.0050, "O": 0.0095})
NOISE = 0.3
HEADER = """\
# Simulated data, not a measurement: the neutron G(r) of SrTiO3 (kelvara's bundled
# SrTiO3.cif) computed with known parameters, plus seeded Gaussian noise of
# standard deviation {noise} 1/A^2. Made by tools/make_pdf_example.py of kelvara.
# True values: scale {p.scale}, qdamp {p.qdamp}, delta2 {p.delta2},
# Uiso Sr {Sr}, Ti {Ti}, O {O} (A^2).
[PDF]
stype = N
qmin = 0.5
qmax = {p.qmax}
qmaxinst = {p.qmax}
qdamp = {p.qdamp}
rmin = {rmin}
rmax = {rmax}
rstep = {rstep}
composition = Sr Ti O3
[Misc]
inputfile = (simulated)
mode = neutron
outputtype = gr

#### start data
#S 1
#L r(Å)  G(Å^-2)
"""


def main() -> None:
    data = pathlib.Path(__file__).resolve().parent.parent / "src" / "kelvara" / "data"
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", type=pathlib.Path, default=data / "measured.gr")
    parser.add_argument("--seed", type=int, default=2026)
    args = parser.parse_args()
    structure = Structure.from_cif(str(data / "SrTiO3.cif"))
    rstep, rmax = 0.01, 30.0
    r = np.round(np.arange(1, int(round(rmax / rstep)) + 1) * rstep, 10)
    # Pairs well past the last point, so the termination ripples of the far peaks are in.
    table = pair_table(structure, rmax * TRUE.lattice_scale + 10.0)
    G = model_pdf(table, r, TRUE, radiation="neutron")
    G = G + np.random.default_rng(args.seed).normal(0.0, NOISE, r.size)
    head = HEADER.format(noise=NOISE, p=TRUE, rmin=r[0], rmax=rmax, rstep=rstep, **TRUE.uiso)
    rows = "".join(f"{x:.2f} {y:.6f}\n" for x, y in zip(r, G))
    args.out.write_text(head + rows, encoding="utf-8")
    print(f"wrote {r.size} points to {args.out}")


if __name__ == "__main__":
    main()
