"""kelvara: crystal structures, occupancy-weighted partial RDFs and ordered expansions.

Read a structure (CIF with symmetry and partial occupancies, POSCAR/CONTCAR,
extended XYZ) with ``Structure.from_cif`` and friends, compute partial and total
radial distribution functions over all periodic images with ``Structure.prdf``,
and expand disordered sites into an ordered supercell with
``Structure.expand_occupancies``.
"""

from kelvara._kelvara import Structure, __version__, read_xyz_trajectory

__all__ = ["Structure", "__version__", "read_xyz_trajectory"]
