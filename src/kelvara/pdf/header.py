"""What the header of a reduced G(r) file states: Qmax, Qdamp, Qbroad and the radiation.

The writers of such files put them in different shapes, all read here:

- ``key = value`` lines, alone or in INI-like sections (``[PDF]`` / ``[Misc]``, with
  ``qmax = 27.0`` and ``stype = N``);
- ``key=value`` words inside a line, several to a line
  (``## Damp  Qmin=0.95  Qmax=27.00``, ``#S 1 - PDF from PDFgetN ... qmax=35.0``,
  ``# Comment: neutron, Qmax=31.414, Qdamp=0.017659, Qbroad= 0.0191822``);
- the radiation as ``stype = N|X``, a line naming X-rays (``## X-Ray radiationtype=3``)
  or a word in a comment ("neutron", "x-ray", "synchrotron").

When a header states several Qmax (the measured range and the one the transform
used), the smallest is the one the data hold.
"""

from __future__ import annotations

import math
import re
from dataclasses import dataclass, field

_VALUE = re.compile(r"(?<![A-Za-z_])(qmax|qdamp|qbroad|stype)\s*[=:]\s*([^\s,;]+)", re.IGNORECASE)
_XRAY = re.compile(r"x-?ray|synchrotron", re.IGNORECASE)
_NEUTRON = re.compile(r"neutron", re.IGNORECASE)


@dataclass(frozen=True)
class HeaderSettings:
    """Instrument settings a header states; None where it states none."""

    qmax: float | None = None
    qdamp: float | None = None
    qbroad: float | None = None
    radiation: str | None = None
    notes: tuple[str, ...] = field(default=())
    """Where each value was found, one line each."""


def read_header(lines: list[str], source: str) -> HeaderSettings:
    """The settings stated by the header `lines` of the file `source`; a value that is
    stated but is not a number of the right sign is refused with its line."""
    found: dict[str, list[tuple[float, int]]] = {"qmax": [], "qdamp": [], "qbroad": []}
    stype: str | None = None
    words = set()
    for number, line in enumerate(lines, start=1):
        text = line.lstrip("#").strip()
        for key, value in _VALUE.findall(text):
            key = key.lower()
            if key == "stype":
                stype = value.strip("'\"").upper()[:1]
                continue
            try:
                parsed = float(value)
            except ValueError:
                parsed = math.nan
            if not (math.isfinite(parsed) and parsed >= 0 and (parsed > 0 or key != "qmax")):
                raise ValueError(f"{source}, header line {number}: {key} = {value} is not a "
                                 f"{'positive' if key == 'qmax' else 'non-negative'} number")
            found[key].append((parsed, number))
        if _XRAY.search(text):
            words.add("xray")
        if _NEUTRON.search(text):
            words.add("neutron")
    notes = []
    values: dict[str, float | None] = {}
    for key, entries in found.items():
        if not entries:
            values[key] = None
            continue
        value, number = min(entries) if key == "qmax" else entries[0]
        values[key] = value
        others = "" if len(entries) == 1 or key != "qmax" else (
            f"; the smallest of {', '.join(f'{v:g}' for v, _ in entries)}")
        notes.append(f"{key} {value:g} 1/A taken from the header of {source} (line {number}{others})")
    radiation = {"N": "neutron", "X": "xray"}.get(stype or "")
    if radiation:
        notes.append(f"radiation {radiation} taken from the header of {source} (stype = {stype})")
    elif len(words) == 1:
        radiation = words.pop()
        notes.append(f"radiation {radiation} taken from a word in the header of {source}")
    return HeaderSettings(qmax=values["qmax"], qdamp=values["qdamp"], qbroad=values["qbroad"],
                          radiation=radiation, notes=tuple(notes))
