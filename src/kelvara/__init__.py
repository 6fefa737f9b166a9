"""kelvara: crystal structures, occupancy-weighted partial RDFs and ordered expansions.

Read a structure (CIF with symmetry and partial occupancies, POSCAR/CONTCAR,
extended XYZ) with ``Structure.from_cif`` and friends, compute partial and total
radial distribution functions over all periodic images with ``Structure.prdf``,
expand disordered sites into an ordered supercell with
``Structure.expand_occupancies``, and average RDFs over a trajectory with
``trajectory_rdf`` (extended XYZ, LAMMPS dumps, XDATCAR, and through extras ASE
and MDAnalysis files; ``TrajectoryReader`` streams the frames themselves).

The curves are neighbour densities (atoms per cubic Angstrom) on left bin edges;
the modules below turn them into what the field reads and move structures around:

- ``kelvara.analysis``: g(r) that tends to 1, bin centres, coordination numbers,
  first peak and minimum (with errors for a trajectory), bond-angle distributions.
- ``kelvara.pdf``: neutron- and X-ray-weighted G(r) and S(Q) of a structure or a
  trajectory, measured G(r) files, the model G(r) with the parameters of a PDF
  refinement, Rw and fits.
- ``kelvara.trajectory``: trajectory formats, frame averages and block-averaged errors.
- ``kelvara.spread``: RDFs of several seeded ordered expansions against the
  occupancy-weighted RDF of the disordered structure.
- ``kelvara.io``: file formats by name, ``read_structure``, and writers for POSCAR,
  extended XYZ and CIF.
- ``kelvara.interop``: to and from ASE ``Atoms`` and pymatgen ``Structure``.
- ``kelvara.batch``: many files, or the frame windows of a long trajectory, on a
  process pool or a Dask cluster.
- ``kelvara.cifcheck``: ``cif_warnings``, the reader's findings about a CIF as a list.
- ``kelvara.plotting``: the figures and CSV written by ``prdf(save_plots=...)``.
- ``kelvara.cli``: the ``kelvara`` command.

Every reader issues what it assumed about a file (a data block passed over, a row
dropped, a symbol that is not an element) as a ``kelvara.ReadWarning``.
"""

from kelvara import _kelvara
from kelvara._kelvara import ReadWarning, Structure, TrajectoryReader, __version__, read_xyz_trajectory
from kelvara.cifcheck import cif_warnings
from kelvara.trajectory import Frames, TrajectoryRdf, trajectory_rdf


def _save_prdf(structure, r, partials, total, folder, *, bin_size, title):
    """What ``Structure.prdf(save_plots=folder)`` calls once the curves are computed:
    ``kelvara.plotting.save_prdf_plots`` with the densities that turn them into g(r).
    Imported at the call, so matplotlib and NumPy load only when plots are asked for."""
    import importlib

    from kelvara.analysis import number_density, partner_densities

    plotting = importlib.import_module("kelvara.plotting")
    plotting.save_prdf_plots(r, partials, total, folder, bin_size=bin_size, title=title,
                             density=number_density(structure),
                             element_densities=partner_densities(structure))


_kelvara._set_prdf_saver(_save_prdf)

__all__ = ["Frames", "ReadWarning", "Structure", "TrajectoryRdf", "TrajectoryReader", "__version__",
           "cif_warnings", "read_xyz_trajectory", "trajectory_rdf"]
