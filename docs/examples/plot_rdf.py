"""
Partial RDFs of a disordered perovskite
=======================================

(Sr,Ba)TiO3 with Sr and Ba sharing the A site: every pair is weighted by the
occupancies, so the Ba-Ba, Ba-Sr and Sr-Sr curves describe the average crystal.
"""

import matplotlib.pyplot as plt

from kelvara import Structure
from kelvara.analysis import bin_centres, first_shell, normalised_partials
from kelvara.examples import path

s = Structure.from_cif(str(path("SrBaTiO3.cif")))
print(s)
r, partials, total = s.prdf(cutoff=10.0, bin_size=0.05)
g = normalised_partials(partials, s)
x = bin_centres(r, 0.05)

fig, ax = plt.subplots(figsize=(7, 4))
for pair in [("Ti", "O"), ("Sr", "O"), ("Ba", "Sr"), ("O", "O")]:
    ax.plot(x, g[pair], label="-".join(pair))
ax.set_xlabel("r (Å)")
ax.set_ylabel("g(r)")
ax.legend()
shell = first_shell(partials[("Ti", "O")], g[("Ti", "O")], r, 0.05)
print(f"Ti-O: first peak {shell.peak_r:.3f} Å, coordination {shell.coordination:.1f}")
