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
from dataclasses import dataclass, field
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
from kelvara.trajectory.averaging import Frames, TrajectoryRdf, _windows, frame_selection
from kelvara.trajectory.formats import open_trajectory


@dataclass(frozen=True, repr=False)
class TrajectoryPDF(PDF):
    """A frame-averaged total PDF: the fields of ``PDF`` (``rho0`` the mean number
    density) plus the standard errors of g and G from block averaging."""

    g_err: FloatArray | None = None
    G_err: FloatArray | None = None
    n_frames: int = 0
    block_size: int = 1
    warnings: list[str] = field(default_factory=list)


@dataclass(frozen=True, repr=False)
class TrajectoryStructureFactor(StructureFactor):
    """A frame-averaged S(Q): the fields of ``StructureFactor`` plus the standard
    error of S from block averaging."""

    S_err: FloatArray | None = None
    n_frames: int = 0
    block_size: int = 1
    warnings: list[str] = field(default_factory=list)


def _frames_of(source: Any) -> Frames:
    if isinstance(source, Frames):
        return source
    if isinstance(source, (str, bytes, os.PathLike)):
        return Frames(source)
    raise TypeError(
        "expected a Structure, a trajectory path, a kelvara.trajectory.Frames selection or a "
        f"TrajectoryRdf, not {type(source).__name__}"
    )


def _average(source: Any, per_frame: Callable[[Any], dict[str, FloatArray]],
             block_size: int | None) -> tuple[dict[str, FloatArray], dict[str, FloatArray], Any, list[str], int, int]:
    """Means and standard errors of the curves `per_frame` gives for each selected
    frame, the first frame's result object, the warnings, the frame count and the
    block size."""
    from kelvara.trajectory.blocking import BlockAverage

    frames = _frames_of(source)
    every, start, stop, chunk = frame_selection(frames.every, frames.start, frames.stop, frames.chunk)
    reader = open_trajectory(frames.path, frames.fmt, every, start, stop, frames.cell, frames.types,
                             frames.topology)
    blocks = BlockAverage(block_size)
    notes: list[str] = []
    first = None
    with contextlib.closing(_windows(reader, chunk, notes)) as windows:
        for structures, _ in windows:
            for structure in structures:
                curves, result = per_frame(structure)
                if first is None:
                    first = result
                blocks.add(curves)
    size, more = blocks.choose(["G"] if "G" in blocks.keys else ["S"])
    return blocks.mean(), blocks.standard_error(size), first, notes + more, blocks.n, size


def trajectory_pdf(source: Any, options: CurveOptions, block_size: int | None = None) -> TrajectoryPDF:
    """`kelvara.pdf.total_pdf` of every frame of `source`, averaged (`options` checked)."""
    if isinstance(source, TrajectoryRdf):
        return _pdf_of_average(source, options)

    def per_frame(structure: Any) -> tuple[dict[str, FloatArray], Any]:
        pdf = structure_pdf(structure, options)[0]
        return {"g": pdf.g, "G": pdf.G, "rho0": np.array([pdf.rho0])}, pdf

    means, errors, first, notes, n, size = _average(source, per_frame, block_size)
    return TrajectoryPDF(first.r, means["g"], means["G"], float(means["rho0"][0]), first.weights,
                         first.radiation, errors["g"], errors["G"], n, size, notes)


def trajectory_structure_factor(source: Any, options: CurveOptions,
                                block_size: int | None = None) -> TrajectoryStructureFactor:
    """`kelvara.pdf.structure_factor` of every frame of `source`, averaged (`options` checked)."""

    def per_frame(structure: Any) -> tuple[dict[str, FloatArray], Any]:
        sq = structure_sq(structure, options)
        curves = {"S": sq.S, **{f"{a}\0{b}": s for (a, b), s in sq.partials.items()}}
        return curves, sq

    means, errors, first, notes, n, size = _average(source, per_frame, block_size)
    partials = {tuple(key.split("\0")): curve for key, curve in means.items() if "\0" in key}
    return TrajectoryStructureFactor(first.q, means["S"], dict(sorted(partials.items())), first.radiation,
                                     errors["S"], n, size, notes)


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
                         ["errors of G(r) need the frames: pass the trajectory rather than an averaged result"])
