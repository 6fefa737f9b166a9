"""
Fitting a measured G(r)
=======================

The bundled ``measured.gr`` is a neutron G(r) of SrTiO3 simulated with known
parameters and noise. Refining scale, qdamp, Uiso per element and delta2 against it
recovers them.
"""

import matplotlib.pyplot as plt

from kelvara import Structure
from kelvara.examples import path
from kelvara.pdf import PDFParameters, fit_pdf, read_pdf_data

s = Structure.from_cif(str(path("SrTiO3.cif")))
data = read_pdf_data(path("measured.gr"))
result = fit_pdf(s, data, "scale,qdamp,uiso,delta2", PDFParameters(qmax=float(data.settings["qmax"])), rmin=1.5)
print(result.summary())

fig, ax = plt.subplots(figsize=(7, 4))
ax.plot(result.r, result.observed, ".", ms=2, color="C0", label="data")
ax.plot(result.r, result.model, color="C3", label=f"model, Rw = {result.rw:.3f}")
offset = result.observed.min() - 2.0
ax.plot(result.r, result.observed - result.model + offset, color="0.4", label="difference")
ax.set_xlim(1.5, 20)
ax.set_xlabel("r (Å)")
ax.set_ylabel("G (Å⁻²)")
ax.legend(ncol=3, loc="lower center", bbox_to_anchor=(0.5, 1.0), frameon=False)
