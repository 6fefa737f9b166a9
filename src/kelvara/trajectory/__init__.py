"""Trajectories: frames read from many formats, RDFs averaged over them with
block-averaged standard errors.

- ``formats``: which reader a file needs (native, ASE, MDAnalysis) and opening it.
- ``averaging``: ``Frames``, ``trajectory_rdf`` and its result ``TrajectoryRdf``.
- ``blocking``: running means and block-averaged errors of curves.
"""

from kelvara.trajectory.averaging import Frames, TrajectoryRdf, trajectory_rdf

__all__ = ["Frames", "TrajectoryRdf", "trajectory_rdf"]
