"""Files written whole or not at all: a temporary file beside the target, renamed over it when complete."""

from __future__ import annotations

import contextlib
import os
import tempfile
from collections.abc import Iterator
from typing import IO, Any


def _new_file_mode() -> int:
    """0o666 less the process umask (read without changing it, which is not thread-safe)."""
    try:
        with open("/proc/self/status", encoding="ascii") as status:
            for line in status:
                if line.startswith("Umask:"):
                    return 0o666 & ~int(line.split()[1], 8)
    except (OSError, ValueError):
        pass
    return 0o644


@contextlib.contextmanager
def replacing(path: str | os.PathLike, mode: str = "w", **open_kwargs: Any) -> Iterator[IO]:
    """Open a temporary file in the folder of `path` for writing; when the block ends
    without an exception it is flushed to disk and renamed over `path` (an existing
    file keeps its permissions). On any failure (a full disk, a size limit, Ctrl-C) the
    temporary file is removed and whatever stood at `path` is left as it was."""
    target = os.fsdecode(os.fspath(path))
    folder, name = os.path.split(target)
    fd, temporary = tempfile.mkstemp(dir=folder or ".", prefix=f".{name}.", suffix=".part")
    try:
        with os.fdopen(fd, mode, **open_kwargs) as handle:
            yield handle
            handle.flush()
            os.fsync(handle.fileno())
        try:
            permissions = os.stat(target).st_mode & 0o7777
        except OSError:
            permissions = _new_file_mode()
        os.chmod(temporary, permissions)
        os.replace(temporary, target)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise


def write_text(path: str | os.PathLike, text: str) -> None:
    """`text` as UTF-8 with "\\n" line ends, replacing `path` only once it is complete."""
    with replacing(path, "w", encoding="utf-8", newline="\n") as handle:
        handle.write(text)


def save_figure(figure: Any, path: str | os.PathLike, **kwargs: Any) -> None:
    """matplotlib's ``figure.savefig`` into a complete-or-nothing file; the format comes
    from the extension of `path`."""
    extension = os.path.splitext(os.fsdecode(os.fspath(path)))[1].lstrip(".").lower() or "png"
    with replacing(path, "wb") as handle:
        figure.savefig(handle, format=extension, **kwargs)
