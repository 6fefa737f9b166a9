"""A command's output files replaced as one set: written into a staging folder, then
swapped in together, so that an interrupted or failed run leaves the earlier set whole."""

from __future__ import annotations

import contextlib
import os
import pathlib
import shutil
import signal
import tempfile
import threading
from collections.abc import Iterator, Sequence

from kelvara._files import _umask, named, replacing, write_target

_STAGE = ".kelvara-new-"
_ASIDE = ".kelvara-old-"


@contextlib.contextmanager
def output_set(out: str | os.PathLike, earlier: Sequence[str] = ()) -> Iterator[pathlib.Path]:
    """A staging folder for the files of one run; when the block ends without an
    exception they replace the earlier run's files in `out` all together.

    The staging folder is made inside `out` when it exists (the same file system, so
    every move is a rename, even when `out` is a mount point) and otherwise in its
    nearest existing ancestor, and then renamed to `out`. The earlier set (the files in
    `out` matching the glob patterns `earlier`) is moved aside, the new files moved
    in, and the earlier ones deleted; a failure on the way puts the earlier set back.
    SIGINT and SIGTERM arriving during those renames take effect after them. On a
    failure before (a full disk, a size limit, Ctrl-C) the staging folder is removed
    and `out` is left as it was. Other files in `out` are never touched. An OSError
    names the file as it would have been in `out`."""
    target = pathlib.Path(os.fsdecode(os.fspath(out)))
    home = target
    while not home.is_dir():
        home = home.parent  # "." and "/" exist
    try:
        stage = pathlib.Path(tempfile.mkdtemp(dir=home, prefix=_STAGE))
    except OSError as error:
        raise named(error, str(target)) from None
    try:
        try:
            yield stage
        except OSError as error:
            raise _renamed(error, stage, target) from None
        with _signals_held():
            if home == target:
                _swap_in(stage, target, earlier)
            else:
                os.chmod(stage, 0o777 & ~_umask())
                target.parent.mkdir(parents=True, exist_ok=True)
                os.rename(stage, target)
    except BaseException:
        shutil.rmtree(stage, ignore_errors=True)
        raise


def _swap_in(stage: pathlib.Path, target: pathlib.Path, earlier: Sequence[str]) -> None:
    """Moves the earlier set aside and the staged files in; undoes both on a failure. An
    output that is a symbolic link is written where it points (the link stays); one that
    is a FIFO or a device is refused before anything moves."""
    staged = sorted(stage.iterdir())
    destinations = {entry.name: write_target(target / entry.name) for entry in staged}
    old = sorted({p.name for pattern in earlier for p in target.glob(pattern)
                  if p.is_file() and not p.is_symlink()})
    aside = pathlib.Path(tempfile.mkdtemp(dir=target, prefix=_ASIDE))
    moved_aside: list[str] = []
    moved_in: list[str] = []
    try:
        for name in old:
            os.rename(target / name, aside / name)
            moved_aside.append(name)
        for entry in staged:
            if destinations[entry.name] == str(target / entry.name):
                os.replace(entry, target / entry.name)
                moved_in.append(entry.name)
            else:
                with open(entry, "rb") as source, replacing(destinations[entry.name], "wb") as copy:
                    shutil.copyfileobj(source, copy)
    except OSError as error:
        for name in moved_in:
            with contextlib.suppress(OSError):
                os.rename(target / name, stage / name)
        for name in moved_aside:
            with contextlib.suppress(OSError):
                os.rename(aside / name, target / name)
        shutil.rmtree(aside, ignore_errors=True)
        raise _renamed(error, stage, target) from None
    shutil.rmtree(aside, ignore_errors=True)
    shutil.rmtree(stage, ignore_errors=True)


def _renamed(error: OSError, stage: pathlib.Path, target: pathlib.Path) -> OSError:
    """`error` naming the file in `target` rather than in the staging folder."""
    shown = os.fsdecode(error.filename) if error.filename is not None else str(target)
    if shown.startswith(str(stage)):
        shown = str(target) + shown[len(str(stage)):]
    return OSError(error.errno, error.strerror or str(error), shown)


@contextlib.contextmanager
def _signals_held() -> Iterator[None]:
    """SIGINT and SIGTERM are noted and raised again once the block is over (on the main
    thread, where Python runs signal handlers; elsewhere the block runs as it is)."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    caught: list[int] = []
    wanted = (signal.SIGINT, signal.SIGTERM)
    previous = {signum: signal.signal(signum, lambda signum, frame: caught.append(signum)) for signum in wanted}
    try:
        yield
    finally:
        for signum, handler in previous.items():
            signal.signal(signum, signal.SIG_DFL if handler is None else handler)
        for signum in dict.fromkeys(caught):
            signal.raise_signal(signum)
