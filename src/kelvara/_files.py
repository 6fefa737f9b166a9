"""Files written whole or not at all: a temporary file beside the target, renamed over it
when complete; and a command's set of output files, replaced together (``_output_set``)."""

from __future__ import annotations

import contextlib
import os
import stat
import tempfile
from collections.abc import Iterator
from typing import IO, Any

# What stands at a path that is not a regular file, as a message names it.
_NOT_REGULAR = ((stat.S_ISDIR, "a folder"), (stat.S_ISFIFO, "a FIFO"), (stat.S_ISCHR, "a device"),
                (stat.S_ISBLK, "a device"), (stat.S_ISSOCK, "a socket"))


def _umask() -> int:
    """The process umask (read without changing it, which is not thread-safe)."""
    try:
        with open("/proc/self/status", encoding="ascii") as status:
            for line in status:
                if line.startswith("Umask:"):
                    return int(line.split()[1], 8)
    except (OSError, ValueError):
        pass
    return 0o022


def _new_file_mode() -> int:
    """0o666 less the process umask."""
    return 0o666 & ~_umask()


def write_target(path: str | os.PathLike) -> str:
    """Where a write to `path` lands: a symbolic link is followed (the file it points to
    is replaced and the link stays a link); a FIFO, device, socket or folder is refused
    with ValueError, since replacing it with a regular file would break whatever
    reads or owns it."""
    target = os.fsdecode(os.fspath(path))
    if os.path.islink(target):
        target = os.path.realpath(target)
    try:
        mode = os.stat(target).st_mode
    except FileNotFoundError:
        return target
    for test, kind in _NOT_REGULAR:
        if test(mode):
            raise ValueError(f"{os.fsdecode(os.fspath(path))} is {kind}, not a regular file; "
                             "kelvara writes its results only to regular files")
    return target


def named(error: OSError, path: str) -> OSError:
    """`error` naming `path` when it names no file (a write that failed part-way:
    "[Errno 27] File too large" says nothing of which file)."""
    if error.filename is not None:
        return error
    return OSError(error.errno, error.strerror or str(error), path)


@contextlib.contextmanager
def replacing(path: str | os.PathLike, mode: str = "w", **open_kwargs: Any) -> Iterator[IO]:
    """Open a temporary file in the folder of `path` for writing; when the block ends
    without an exception it is flushed to disk and renamed over `path` (an existing
    file keeps its permissions; a symbolic link is followed, see `write_target`). On
    any failure (a full disk, a size limit, Ctrl-C) the temporary file is removed and
    whatever stood at `path` is left as it was; an OSError names the file."""
    target = write_target(path)
    folder, name = os.path.split(target)
    try:
        fd, temporary = tempfile.mkstemp(dir=folder or ".", prefix=f".{name}.", suffix=".part")
    except OSError as error:
        raise named(error, target) from None
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
    except BaseException as error:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        if isinstance(error, OSError):
            raise named(error, target) from None
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
