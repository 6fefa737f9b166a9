"""Frame-averaged G(r) and S(Q) of a trajectory, with block-averaged errors.

``kelvara.pdf.total_pdf`` and ``kelvara.pdf.structure_factor`` hand a trajectory
(a path, or a ``kelvara.trajectory.Frames`` selection) or an averaged
``TrajectoryRdf`` to the functions here. Every selected frame gets the curve a
single structure would (its own cell, density and concentrations), and the
curves are averaged with standard errors from block averaging over the frames,
as ``kelvara.trajectory_rdf`` does for the RDFs.
"""

from __future__ import annotations

import contextlib
import os
from collections.abc import Callable
from dataclasses import dataclass, field, replace
from typing import Any

import numpy as np

from kelvara.analysis import FloatArray, bin_centres
from kelvara.pdf.scattering import (
    PDF,
    CurveOptions,
    PartialCurves,
    StructureFactor,
    pdf_from_partials,
    structure_pdf,
    structure_sq,
)
from kelvara.trajectory.averaging import Frames, TrajectoryRdf, _Windows


@dataclass(frozen=True, repr=False)
class TrajectoryPDF(PDF):
    """A frame-averaged total PDF: the fields of ``PDF`` (``rho0`` the mean number
    density) plus the standard errors of g and G from block averaging."""

    g_err: FloatArray | None = None
    G_err: FloatArray | None = None
    n_frames: int = 0
    block_size: int = 1
    warnings: list[str] = field(default_factory=list)
    minimum_image_limit: float = float("inf")
    """Half the smallest box height over the frames (A): G(r) beyond it holds pairs met
    again through the periodic box (each atom's own images are left out)."""


@dataclass(frozen=True, repr=False)
class TrajectoryStructureFactor(StructureFactor):
    """A frame-averaged S(Q): the fields of ``StructureFactor`` plus the standard
    error of S from block averaging."""

    S_err: FloatArray | None = None
    n_frames: int = 0
    block_size: int = 1
    warnings: list[str] = field(default_factory=list)
    minimum_image_limit: float = float("inf")
    """Half the smallest box height over the frames (A), as for ``TrajectoryPDF``."""


def _frames_of(source: Any) -> Frames:
    if isinstance(source, Frames):
        return source
    if isinstance(source, (str, bytes, os.PathLike)):
        return Frames(source)
    raise TypeError(
        "expected a Structure, a trajectory path, a kelvara.trajectory.Frames selection or a "
        f"TrajectoryRdf, not {type(source).__name__}"
    )


def _average(source: Any, per_frame: Callable[[Any, CurveOptions], dict[str, FloatArray]],
             block_size: int | None, options: CurveOptions, box_r_max: bool,
             ) -> tuple[dict[str, FloatArray], dict[str, FloatArray], Any, list[str], int, int, float]:
    """Means and standard errors of the curves `per_frame` gives for each selected
    frame (each a simulation box: no atom paired with its own images), the first
    frame's result object, the warnings, the frame count, the block size and the
    smallest half box. With `box_r_max` the options' r_max (the default, 20 A)
    becomes the largest whole number of bins within half the smallest box height of
    the first chunk of frames, if that is less; a longer r_max is warned about."""
    from kelvara.trajectory.accumulate import beyond_half_box, box_cutoff, half_box
    from kelvara.trajectory.blocking import BlockAverage

    frames = _frames_of(source)
    reader, chunk = frames.open()
    blocks = BlockAverage(block_size)
    notes: list[str] = []
    first = None
    options = replace(options, self_images=False)
    limit = (float("inf"), -1)
    with contextlib.closing(_Windows(reader, chunk, notes, options.n_threads, ramp=not box_r_max)) as windows:
        for structures, indices in windows:
            limit = min(limit, *((half_box(s), i) for s, i in zip(structures, indices)))
            if box_r_max and first is None:
                options = replace(options, r_max=box_cutoff(limit[0], options.bin_size, options.r_max))
            for structure in structures:
                curves, result = per_frame(structure, options)
                if first is None:
                    first = result
                blocks.add(curves)
    if options.r_max > limit[0]:
        notes.append(beyond_half_box(options.r_max, limit[0], limit[1], "r_max"))
    size, more = blocks.choose(["G"], "G(r)") if "G" in blocks.keys else blocks.choose(["S"], "S(Q)")
    return blocks.mean(), blocks.standard_error(size), first, notes + more, blocks.n, size, limit[0]


def trajectory_pdf(source: Any, options: CurveOptions, block_size: int | None = None,
                   box_r_max: bool = False) -> TrajectoryPDF:
    """`kelvara.pdf.total_pdf` of every frame of `source`, averaged (`options` checked;
    `box_r_max`: r_max was not given, see `_average`)."""
    if isinstance(source, TrajectoryRdf):
        return _pdf_of_average(source, options)

    def per_frame(structure: Any, options: CurveOptions) -> tuple[dict[str, FloatArray], Any]:
        pdf = structure_pdf(structure, options)[0]
        return {"g": pdf.g, "G": pdf.G, "rho0": np.array([pdf.rho0])}, pdf

    means, errors, first, notes, n, size, limit = _average(source, per_frame, block_size, options, box_r_max)
    return TrajectoryPDF(first.r, means["g"], means["G"], float(means["rho0"][0]), first.weights,
                         first.radiation, errors["g"], errors["G"], n, size, notes, limit)


def trajectory_structure_factor(source: Any, options: CurveOptions, block_size: int | None = None,
                                box_r_max: bool = False) -> TrajectoryStructureFactor:
    """`kelvara.pdf.structure_factor` of every frame of `source`, averaged (`options`
    checked; `box_r_max` as for `trajectory_pdf`)."""

    def per_frame(structure: Any, options: CurveOptions) -> tuple[dict[str, FloatArray], Any]:
        sq = structure_sq(structure, options)
        curves = {"S": sq.S, **{f"{a}\0{b}": s for (a, b), s in sq.partials.items()}}
        return curves, sq

    means, errors, first, notes, n, size, limit = _average(source, per_frame, block_size, options, box_r_max)
    partials = {tuple(key.split("\0")): curve for key, curve in means.items() if "\0" in key}
    return TrajectoryStructureFactor(first.q, means["S"], dict(sorted(partials.items())), first.radiation,
                                     first.window, S_err=errors["S"], n_frames=n, block_size=size,
                                     warnings=notes, minimum_image_limit=limit)


def _pdf_of_average(result: TrajectoryRdf, options: CurveOptions) -> TrajectoryPDF:
    """G(r) from the frame-normalised partials of an averaged result, on its own bins.
    Without the frames there is no error estimate (g_err and G_err are None)."""
    r_max = options.r_max
    n = int(np.floor(r_max / result.bin_size * (1 + 1e-12)))
    if n < 1 or n > len(result.r):
        raise ValueError(f"r_max {r_max:g} A lies outside the averaged curves (0 to "
                         f"{len(result.r) * result.bin_size:g} A)")
    density = result.density
    concentrations = {el: rho / density for el, rho in result.element_densities.items()}
    curves = PartialCurves(r=bin_centres(result.r[:n], result.bin_size), bin_size=result.bin_size,
                           g={pair: curve[:n] for pair, curve in result.g_partials.items()},
                           concentrations=concentrations, rho0=density)
    pdf = pdf_from_partials(curves, options.radiation, options.qmax, options.qdamp, options.scattering_factors)
    return TrajectoryPDF(pdf.r, pdf.g, pdf.G, pdf.rho0, pdf.weights, pdf.radiation, None, None,
                         result.n_frames, result.block_size,
                         ["errors of G(r) need the frames: pass the trajectory rather than an averaged result"],
                         result.minimum_image_limit)
