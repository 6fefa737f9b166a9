"""
How much does the ordering matter?
==================================

Eight seeded ordered expansions of (Sr,Ba)TiO3 against the occupancy-weighted
RDF: the total does not change with the ordering, the A-site partials do.
"""

import matplotlib.pyplot as plt

from kelvara import Structure
from kelvara.analysis import bin_centres
from kelvara.examples import path
from kelvara.spread import expansion_spread

s = Structure.from_cif(str(path("SrBaTiO3.cif")))
spread = expansion_spread(s, seeds=range(8), cutoff=7.8, max_sites=320)
print(spread.summary())

x = bin_centres(spread.r, spread.bin_size)
pair = spread.varying_partials()[0]
fig, ax = plt.subplots(figsize=(7, 4))
ax.plot(x, spread.disordered_partials[pair], "k", label="occupancy-weighted")
mean, std = spread.mean_partials[pair], spread.std_partials[pair]
ax.plot(x, mean, "C0--", label="mean of 8 orderings")
ax.fill_between(x, mean - std, mean + std, color="C0", alpha=0.3, label="± 1 standard deviation")
ax.set_xlabel("r (Å)")
ax.set_ylabel(f"{pair[0]}-{pair[1]} neighbour density (atoms/Å³)")
ax.legend()
