"""Short reprs for result records that hold curves: arrays shown by shape and range."""

from __future__ import annotations

import dataclasses
from typing import Any

__all__ = ["short_repr"]

_LIMIT = 60


def _describe(value: Any) -> str:
    import numpy as np

    if isinstance(value, np.ndarray):
        if value.size and np.issubdtype(value.dtype, np.number):
            return f"<array {value.shape} {value.min():.4g}..{value.max():.4g}>"
        return f"<array {value.shape}>"
    if isinstance(value, dict) and any(isinstance(v, np.ndarray) for v in value.values()):
        keys = list(value)
        shown = ", ".join(map(repr, keys[:3])) + (", ..." if len(keys) > 3 else "")
        return f"<{len(keys)} curves: {shown}>"
    if isinstance(value, (list, tuple)) and len(value) > 6:
        return f"<{len(value)} items: {value[0]!r}..{value[-1]!r}>"
    text = repr(value)
    return text if len(text) <= _LIMIT else text[: _LIMIT - 3] + "..."


def short_repr(self: Any) -> str:
    """``Name(field=value, ...)`` with arrays, dicts of curves and long lists summarised,
    so a record prints in a line or two instead of every number it holds."""
    fields = ", ".join(f"{f.name}={_describe(getattr(self, f.name))}"
                       for f in dataclasses.fields(self) if f.repr)
    return f"{type(self).__name__}({fields})"
