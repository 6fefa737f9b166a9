"""kelvara: crystal structures, occupancy-weighted partial RDFs and ordered expansions.

Read a structure (CIF with symmetry and partial occupancies, POSCAR/CONTCAR,
extended XYZ) with ``Structure.from_cif`` and friends, compute partial and total
radial distribution functions over all periodic images with ``Structure.prdf``,
expand disordered sites into an ordered supercell with
``Structure.expand_occupancies``, and average RDFs over a trajectory with
``trajectory_rdf``.
"""

from kelvara._kelvara import Structure, __version__, read_xyz_trajectory
from kelvara.trajectory import TrajectoryRdf, trajectory_rdf

__all__ = ["Structure", "TrajectoryRdf", "__version__", "read_xyz_trajectory", "trajectory_rdf"]
