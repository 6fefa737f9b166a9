"""Findings about a CIF: what the reader assumed or passed over while reading it."""

from __future__ import annotations

import os
from typing import Union

__all__ = ["cif_warnings"]


def cif_warnings(
    path_or_text: Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"],
    block: Union[str, int, None] = None,
) -> list[str]:
    """The findings the CIF reader issues as `kelvara.ReadWarning` when it reads this file.

    `path_or_text` is a path (``bytes``, an ``os.PathLike``, or a ``str`` without a line
    break) or the CIF text itself (a ``str`` with line breaks). Returns one sentence per
    finding in the order the reader met them; empty when nothing needs attention. A file
    the reader refuses raises the reader's ``ValueError`` (``OSError`` when unreadable).
    `block` chooses the data block as ``Structure.from_cif`` does.
    """
    from kelvara._kelvara import read_with_findings

    is_text = isinstance(path_or_text, str) and "\n" in path_or_text
    return read_with_findings(path_or_text, "cif", is_text=is_text, block=block)[1]
