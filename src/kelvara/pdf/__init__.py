"""G(r), S(Q) and PDF refinement: weighted totals of the partial RDFs, the model of a
refinement, measured data, fits and their plots.

``total_pdf``, ``structure_factor`` and ``pdf_and_structure_factor`` take one
``Structure``; the first two also take a trajectory (a path, a
``kelvara.trajectory.Frames`` selection, or for G(r) an averaged ``TrajectoryRdf``),
and only then is the trajectory code imported. The modules:

- ``scattering``: weights, ``PDF``, ``StructureFactor``, partials -> G(r) and S(Q).
- ``model``: the model G(r) with the parameters of a refinement (``PDFParameters``).
- ``fit``, ``lsq``: Rw, ``fit_pdf`` and the bounded least squares under it.
- ``measured``: measured G(r) files.
- ``orderings``: fits of seeded ordered expansions of a disordered structure.
- ``trajectory``: frame-averaged G(r) and S(Q) with block-averaged errors.
- ``plots``: CSV and figures of G(r), S(Q) and fits.
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any, Literal

from kelvara._kelvara import Structure
from kelvara.analysis import FloatArray
from kelvara.pdf.fit import FitResult, agreement, fit_pdf, rw
from kelvara.pdf.measured import MeasuredPDF, read_pdf_data
from kelvara.pdf.model import PDFParameters, model_pdf, pair_table
from kelvara.pdf.orderings import fit_orderings
from kelvara.pdf.scattering import (
    NULL_SCATTERING,
    PDF,
    TERMINATION_RIPPLES,
    CurveOptions,
    PartialCurves,
    Radiation,
    StructureFactor,
    faber_ziman_weights,
    neutron_lengths,
    partial_g,
    pdf_from_partials,
    sine_sums,
    structure_factor_from_partials,
    structure_pdf,
    structure_sq,
    terminate,
    xray_form_factors,
)

__all__ = [
    "NULL_SCATTERING", "PDF", "TERMINATION_RIPPLES", "CurveOptions", "FitResult", "MeasuredPDF", "PDFParameters",
    "PartialCurves", "Radiation", "StructureFactor", "agreement", "faber_ziman_weights", "fit_orderings",
    "fit_pdf", "model_pdf", "neutron_lengths", "pair_table", "partial_g", "pdf_and_structure_factor",
    "pdf_from_partials", "read_pdf_data", "rw", "sine_sums", "structure_factor",
    "structure_factor_from_partials", "terminate", "total_pdf", "xray_form_factors",
]


def total_pdf(
    structure: Any,
    r_max: float | None = None,
    bin_size: float | None = None,
    radiation: Radiation = "neutron",
    n_threads: int = 0,
    qmax: float | None = None,
    broadening: float | None = None,
    qdamp: float = 0.0,
    scattering_factors: Mapping[str, float] | None = None,
    block_size: int | None = None,
) -> PDF:
    """Neutron- or X-ray-weighted total g(r) and G(r) of a structure, partial
    occupancies included, on the centres of the bins (width `bin_size`, default
    0.01 A) that end within `r_max` (default 20 A; for a trajectory the largest whole
    number of bins within half the smallest box height, the minimum-image limit, at
    most 20 A, and a longer one comes with a warning; for a ``TrajectoryRdf`` its
    whole range).

    Given a trajectory instead (a path, or a ``kelvara.trajectory.Frames``
    selection), every selected frame's G(r) is computed with its own cell and the
    result is their mean, a ``TrajectoryPDF`` with standard errors ``g_err`` and
    ``G_err`` from block averaging (`block_size` frames per block, default chosen
    from the plateau of the blocked error); each frame is a simulation box, so no
    atom is paired with its own periodic images. Given a ``TrajectoryRdf``, G(r) comes
    from its frame-normalised partials on its own bins, without errors (so
    `bin_size`, `block_size`, `broadening` and `n_threads` have nothing to act on
    and are refused).

    Pair distances are broadened by Gaussians of standard deviation
    sqrt(U_i + U_j) from the displacement parameters the structure carries
    (`Structure.uiso`, read from the CIF; `broadening` None, the default), as the
    refinement model of `kelvara.pdf.model` does; a site without one is static
    (U = 0, with a warning when other sites have one), so a structure without
    any gives the ideal PDF of the static structure. A number `broadening` (A) is
    one standard deviation for every pair instead and the structure's values are
    not used (0.1 A for Uiso = 0.005 A^2 everywhere; 0 for the static structure).
    To compare with a measurement also set `qmax` (1/A, default None: no
    termination; the data's upper Q limit, which adds the termination ripples)
    and `qdamp` (1/A, default 0: the instrument's Gaussian envelope
    exp(-(qdamp r)^2 / 2) on G(r)). Weights are the tabulated
    coherent neutron scattering lengths (`radiation` "neutron", the default) or the
    atomic numbers, the X-ray form factors at Q = 0 ("xray");
    `scattering_factors` (default None) replaces them for the elements it names,
    e.g. {"Ni": 14.4} for 58Ni, in fm for neutrons and electrons for X-rays.
    `n_threads` (default 0: the shared pool) is passed to `Structure.prdf`.
    """
    kind = _kind(structure)
    _refuse_unused(kind, structure, bin_size=bin_size, n_threads=n_threads, block_size=block_size,
                   broadening=broadening)
    if bin_size is None:
        bin_size = structure.bin_size if kind == "averaged" else 0.01
    if r_max is None and kind == "averaged":
        r_max = len(structure.r) * structure.bin_size
    options = CurveOptions(20.0 if r_max is None else r_max, bin_size, radiation, n_threads, broadening,
                           scattering_factors, qmax, qdamp).checked()
    if kind == "structure":
        return structure_pdf(structure, options)[0]
    from kelvara.pdf.trajectory import trajectory_pdf

    return trajectory_pdf(structure, options, block_size, box_r_max=r_max is None)


def structure_factor(
    structure: Any,
    q: FloatArray | None = None,
    r_max: float | None = None,
    bin_size: float = 0.01,
    radiation: Radiation = "neutron",
    window: Literal["lorch"] | None = "lorch",
    n_threads: int = 0,
    broadening: float | None = None,
    scattering_factors: Mapping[str, float] | None = None,
    block_size: int | None = None,
) -> StructureFactor:
    """S(Q) by the sine transform of g(r) - 1 up to `r_max` (A, default 20; for a
    trajectory as in `total_pdf`) on bins of `bin_size` (A, default 0.01), and the
    Faber-Ziman partials S_ij(Q). The result's `window` names the window applied.

    `q` (1/A) defaults to 0.02 ... 25 in steps of 0.02. `window` "lorch" (the
    default) multiplies g(r) - 1 by the Lorch function, which damps the ripples of
    cutting the transform at r_max at the cost of some resolution; None cuts it
    sharply. X-ray weights (`radiation` "xray") use the Q-dependent form factors
    f0(Q); neutron weights (the default) the coherent scattering lengths.
    `broadening` (default None: the structure's displacement parameters),
    `scattering_factors` (constant in Q) and `n_threads` as in `total_pdf`. Given
    a trajectory (a path or a ``kelvara.trajectory.Frames`` selection), the result
    is the mean S(Q) of the selected frames, a ``TrajectoryStructureFactor`` with
    the standard error ``S_err`` from block averaging (`block_size` as in
    `total_pdf`)."""
    kind = _kind(structure)
    if kind == "averaged":
        raise TypeError("S(Q) with error estimates needs the frames: pass the trajectory path or a "
                        "kelvara.trajectory.Frames selection rather than an averaged result")
    _refuse_unused(kind, structure, bin_size=bin_size, n_threads=n_threads, block_size=block_size,
                   broadening=broadening)
    options = CurveOptions(20.0 if r_max is None else r_max, bin_size, radiation, n_threads, broadening,
                           scattering_factors, q=q, window=window).checked()
    if kind == "structure":
        return structure_sq(structure, options)
    from kelvara.pdf.trajectory import trajectory_structure_factor

    return trajectory_structure_factor(structure, options, block_size, box_r_max=r_max is None)


def pdf_and_structure_factor(
    structure: Structure,
    r_max: float = 20.0,
    bin_size: float = 0.01,
    radiation: Radiation = "neutron",
    n_threads: int = 0,
    qmax: float | None = None,
    broadening: float | None = None,
    qdamp: float = 0.0,
    scattering_factors: Mapping[str, float] | None = None,
    q: FloatArray | None = None,
    window: Literal["lorch"] | None = "lorch",
) -> tuple[PDF, StructureFactor]:
    """`total_pdf` and `structure_factor` of one structure from one pass over its
    pairs: S(Q) is the transform of the same partials up to `r_max`. With `qmax`
    those partials were counted a little beyond r_max (for the termination ripples)
    and broadened over that longer range, which can change S(Q) in the last bits
    against `structure_factor` alone."""
    if not isinstance(structure, Structure):
        raise TypeError("pdf_and_structure_factor takes one Structure, not "
                        f"{type(structure).__name__}; for a trajectory call total_pdf and "
                        "structure_factor, which average its frames")
    options = CurveOptions(r_max, bin_size, radiation, n_threads, broadening, scattering_factors,
                           qmax, qdamp, q, window).checked()
    pdf, curves = structure_pdf(structure, options)
    return pdf, structure_factor_from_partials(curves, options.q, radiation, window, scattering_factors)


def _kind(source: Any) -> str:
    """"structure", "averaged" (a TrajectoryRdf) or "frames" (anything else, which the
    trajectory code takes as a path or a Frames selection, or refuses)."""
    if isinstance(source, Structure):
        return "structure"
    from kelvara.trajectory import TrajectoryRdf

    return "averaged" if isinstance(source, TrajectoryRdf) else "frames"


def _refuse_unused(kind: str, source: Any, *, bin_size: float | None, n_threads: int,
                   block_size: int | None, broadening: float | None) -> None:
    """Refuses, naming why, an argument the source gives nothing to act on: what the
    caller passed is used or refused, never dropped."""
    if kind == "structure" and block_size is not None:
        raise ValueError("block_size sets the frames per block of a trajectory's standard errors; "
                         "a Structure has no frames")
    if kind != "averaged":
        return
    if bin_size is not None and bin_size != source.bin_size:
        raise ValueError(f"bin_size {bin_size!r}: G(r) of an averaged result is computed on its own bins "
                         f"of {source.bin_size:g} A; leave bin_size out, or average the frames again "
                         "with trajectory_rdf(bin_size=...)")
    if broadening:
        raise ValueError("broadening needs the frames: pass the trajectory path or a Frames selection")
    if block_size is not None:
        raise ValueError("block_size: the errors of G(r) need the frames; pass the trajectory path or a "
                         "Frames selection rather than an averaged result")
    if n_threads != 0:
        raise ValueError("n_threads: G(r) of an averaged result is computed from its curves, with no "
                         "pair pass to run on threads; leave n_threads out")
