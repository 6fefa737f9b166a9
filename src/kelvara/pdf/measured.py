"""Measured pair distribution functions G(r) read from text files (.gr and plain columns).

Accepted layouts:

- a ``.gr`` file as PDFgetN/PDFgetX2/PDFgetX3/PDFgui write it: any header, ended by a
  line of ``#`` and ``start data`` (``##### start data``); after it, lines starting
  with ``#`` (``#S 1``, ``#L r G``) belong to the header and blank lines are skipped;
- plain text of two, three or four numeric columns, with ``#`` comment lines
  anywhere: ``r G``, ``r G dG`` or ``r G dr dG`` (three columns are read as r, G
  and the uncertainty of G, as PDFgui reads them).

Every other line must hold the same number of numbers; a line that does not is
refused with its line number. The r values must increase strictly; a grid whose
steps differ (``step`` None) is still accepted and models are evaluated on it
point by point. All-zero uncertainty columns (written by programs that have
none) count as absent; a zero or negative uncertainty among positive ones is
refused, since it would give that point an infinite weight. Qmax, Qdamp, Qbroad and
the radiation are taken from the header wherever it states them (`kelvara.pdf.header`).
"""

from __future__ import annotations

import math
import os
import pathlib
import re
import stat
from dataclasses import dataclass, field

import numpy as np

from kelvara.analysis import FloatArray
from kelvara.pdf.header import HeaderSettings, read_header

START_DATA = re.compile(r"^#+\s*start data\s*$", re.IGNORECASE)
# A reduced G(r) is a few hundred kB; a file beyond this is not one (and is not read whole).
MAX_BYTES = 256 * 1024 * 1024
# Values whose square overflows a double cannot be weighed or compared.
LARGEST = 1e150
# A highest peak below NANOMETRE_PEAK on data that end below NANOMETRE_RANGE is in nm:
# no bond is shorter than 0.74 A, so the strongest peak of G in A lies beyond it.
NANOMETRE_PEAK = 0.5
NANOMETRE_RANGE = 10.0
# r steps below this (A) are not a measured grid.
SMALLEST_STEP = 1e-6
# Steps within this fraction of the mean step make a uniform grid (files round r
# to a few decimals, so the steps of a uniform grid differ in the last digit).
UNIFORM_TOLERANCE = 1e-4
_SETTING = re.compile(r"^\s*([A-Za-z][\w.-]*)\s*=\s*(\S.*?)\s*$")


@dataclass(frozen=True)
class MeasuredPDF:
    """A measured G(r) as read from a file; the arrays are read-only."""

    r: FloatArray
    """Strictly increasing r values, A."""
    G: FloatArray
    """Measured G(r), 1/A^2."""
    dG: FloatArray | None
    """Standard uncertainty of every G value, or None when the file gives none."""
    dr: FloatArray | None
    """Uncertainty of every r value (four-column files), or None."""
    step: float | None
    """The r step of a uniform grid, or None when the steps differ."""
    source: str
    """File name (or "<text>") for messages."""
    header: str = ""
    """Text before the data (the header of a .gr file, or the comment lines)."""
    settings: dict[str, str] = field(default_factory=dict)
    """`key = value` lines of the header (e.g. "qmax" of PDFgetX3), as written."""
    stated: HeaderSettings = field(default_factory=HeaderSettings)
    """Qmax, Qdamp, Qbroad and radiation as the header states them."""

    def __len__(self) -> int:
        return int(self.r.size)


def _numbers(text: str) -> list[float] | None:
    if "_" in text:  # float() reads "1_0" as 10
        return None
    try:
        return [float(token) for token in text.replace(",", " ").split()]
    except ValueError:
        return None


def parse_pdf_data(text: str, source: str = "<text>") -> MeasuredPDF:
    """Read measured G(r) from the text of a .gr or column file (see the module doc)."""
    lines = text.removeprefix("\ufeff").splitlines()
    marker = next((k for k, line in enumerate(lines) if START_DATA.match(line.strip())), None)
    first = 0 if marker is None else marker + 1
    header_lines = lines[:first] if marker is not None else []
    rows: list[list[float]] = []
    numbers_at: list[int] = []
    for k in range(first, len(lines)):
        stripped = lines[k].strip()
        if not stripped:
            continue
        if stripped.startswith("#"):
            header_lines.append(lines[k])
            continue
        values = _numbers(stripped)
        where = f"{source}, line {k + 1}"
        if values is None:
            hint = "" if marker is not None else (
                " (mark header lines with '#', or end the header with a line '##### start data')")
            shown = stripped if len(stripped) <= 60 else stripped[:57] + "..."
            raise ValueError(f"{where} is not a row of numbers: '{shown}'{hint}")
        if not 2 <= len(values) <= 4:
            raise ValueError(f"{where} has {len(values)} columns; expected 2 (r G), 3 (r G dG) or 4 (r G dr dG)")
        if rows and len(values) != len(rows[0]):
            raise ValueError(f"{where} has {len(values)} columns where line {numbers_at[0] + 1} has {len(rows[0])}")
        if not all(math.isfinite(v) for v in values):
            raise ValueError(f"{where} holds a value that is not a finite number")
        if not all(abs(v) < LARGEST for v in values):
            raise ValueError(f"{where} holds a value beyond {LARGEST:g}, whose square overflows: "
                             "not a G(r) in 1/A^2")
        rows.append(values)
        numbers_at.append(k)
    if len(rows) < 2:
        raise ValueError(f"{source} holds {len(rows)} data row(s); a measured G(r) needs at least 2")
    table = np.array(rows, dtype=np.float64)
    r = table[:, 0]
    steps = np.diff(r)
    bad = np.flatnonzero(steps <= 0)
    if bad.size:
        k = int(bad[0])
        raise ValueError(
            f"{source}, line {numbers_at[k + 1] + 1}: r = {r[k + 1]:g} does not increase from "
            f"{r[k]:g} on line {numbers_at[k] + 1}; r must increase strictly")
    if r[0] < 0:
        raise ValueError(f"{source}, line {numbers_at[0] + 1}: r = {r[0]:g} is negative")
    if steps.min() < SMALLEST_STEP:
        k = int(np.argmin(steps))
        raise ValueError(f"{source}, line {numbers_at[k + 1] + 1}: r steps of {steps[k]:g} A are below "
                         f"{SMALLEST_STEP:g} A: not a measured grid (r in A expected)")
    peak = float(r[int(np.argmax(table[:, 1]))])
    if r[-1] < NANOMETRE_RANGE and peak < NANOMETRE_PEAK:
        raise ValueError(f"{source}: r ends at {r[-1]:g} and the highest peak of G is at r = {peak:g}, shorter "
                         "than any bond in A: r looks like nanometres; give r in A (x10) and G in 1/A^2 (/100)")
    dG = dr = None
    if table.shape[1] >= 3:
        dG = table[:, -1]
        if not np.any(dG != 0):
            dG = None
        elif np.any(dG <= 0):
            k = int(np.flatnonzero(dG <= 0)[0])
            raise ValueError(f"{source}, line {numbers_at[k] + 1}: the uncertainty of G is {dG[k]:g}; "
                             "it must be positive (or zero on every line, meaning none is known)")
        elif np.any(dG < 1.0 / LARGEST):
            k = int(np.argmin(dG))
            raise ValueError(f"{source}, line {numbers_at[k] + 1}: the uncertainty of G is {dG[k]:g}, so small "
                             "that its weight 1/dG^2 overflows")
    if table.shape[1] == 4:
        dr = table[:, 2]
    mean_step = float(steps.mean())
    uniform = bool(np.all(np.abs(steps - mean_step) <= UNIFORM_TOLERANCE * mean_step))
    stated = read_header(header_lines, source)
    settings = {}
    for line in header_lines:
        found = _SETTING.match(line.lstrip("#"))
        if found:
            settings.setdefault(found.group(1).lower(), found.group(2))
    r, G, dG, dr = (None if a is None else np.ascontiguousarray(a) for a in (r, table[:, 1], dG, dr))
    for array in (r, G, dG, dr):
        if array is not None:
            array.flags.writeable = False
    return MeasuredPDF(
        r=r, G=G, dG=dG, dr=dr, step=mean_step if uniform else None,
        source=source, header="\n".join(header_lines), settings=settings, stated=stated,
    )


def read_pdf_data(path: str | pathlib.Path) -> MeasuredPDF:
    """Read measured G(r) from a .gr file or a file of 2-4 numeric columns. Only regular
    files of at most 256 MiB are read, in pieces (so Ctrl-C stops a slow read)."""
    path = pathlib.Path(path)
    with open(path, "rb") as handle:
        info = os.fstat(handle.fileno())
        if not stat.S_ISREG(info.st_mode):
            raise ValueError(f"{path} is not a regular file (a device, pipe or folder): "
                             "give the measured G(r) as a file")
        if info.st_size > MAX_BYTES:
            raise ValueError(f"{path} holds {info.st_size / 2**20:.0f} MiB; a reduced G(r) file is far "
                             f"smaller (at most {MAX_BYTES // 2**20} MiB are read)")
        pieces = []
        while piece := handle.read(1 << 20):
            pieces.append(piece)
            if sum(map(len, pieces)) > MAX_BYTES:
                raise ValueError(f"{path} grew beyond {MAX_BYTES // 2**20} MiB while read")
    text = b"".join(pieces).decode("utf-8", errors="replace")
    return parse_pdf_data(text, path.name)
