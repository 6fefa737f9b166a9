"""
A liquid's g(r) with block-averaged errors
==========================================

The bundled LAMMPS dump is 40 frames of a 256-atom Ni-P liquid. The partial g(r)
are averaged over the frames, with standard errors from block averaging.
"""

import matplotlib.pyplot as plt

from kelvara import trajectory_rdf
from kelvara.analysis import bin_centres
from kelvara.examples import path

res = trajectory_rdf(str(path("md.lammpstrj")), cutoff=7.0, bin_size=0.1, types={1: "Ni", 2: "P"})
print(f"{len(res.frame_indices)} frames, block size {res.block_size}")
x = bin_centres(res.r, res.bin_size)

fig, ax = plt.subplots(figsize=(7, 4))
for pair in [("Ni", "Ni"), ("Ni", "P"), ("P", "P")]:
    g, err = res.g_partials[pair], res.g_partials_err[pair]
    ax.plot(x, g, label="-".join(pair))
    ax.fill_between(x, g - err, g + err, alpha=0.3)
ax.set_xlabel("r (Å)")
ax.set_ylabel("g(r)")
ax.legend()
