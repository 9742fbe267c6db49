"""Where a command's outputs go, settled before anything is read or sent.

A new name or an existing regular file is written as NAME.partial and takes
its name only once complete (`commit`), so a failed or interrupted run never
leaves a file that looks finished. Anything else already under the name (a
device, a pipe, a link) is written in place and never replaced, and a folder
is refused. "-" is standard output. An output that is one of the inputs, or
another output, is refused: files are compared by identity, not by name."""

from __future__ import annotations

import os
import stat
import sys
from collections.abc import Iterable
from pathlib import Path
from typing import TextIO

from corvane_cli.errors import UsageError

PARTIAL_SUFFIX = ".partial"
STDOUT = "-"


def _reason(error: OSError) -> str:
    return error.strerror or str(error)


def file_identity(path: str | os.PathLike[str]) -> tuple[int, int] | None:
    """(device, inode) of the regular file a path leads to; None for a
    missing file or anything that is not a regular file."""
    try:
        info = os.stat(path)
    except OSError:
        return None
    return (info.st_dev, info.st_ino) if stat.S_ISREG(info.st_mode) else None


class OutputPath:
    """One output named on the command line (`what` names it in messages)."""

    def __init__(self, name: str | os.PathLike[str], what: str = "output") -> None:
        self.name = str(name)
        self.what = what
        self.stdout = self.name == STDOUT
        self.path = Path(self.name)
        if self.stdout:
            self.in_place = True
        else:
            try:
                mode = os.lstat(self.path).st_mode
            except FileNotFoundError:
                mode = None
            except OSError as error:
                raise UsageError(f"{self.name}: {_reason(error)}") from error
            if mode is not None and stat.S_ISDIR(mode):
                raise UsageError(f"{self.name}: is a folder; name a file for the {what}")
            self.in_place = mode is not None and not stat.S_ISREG(mode)
            folder = self.path.absolute().parent
            if not self.in_place and not folder.is_dir():
                raise UsageError(f"{self.name}: no such folder {folder}")
        self.partial_path = self.path if self.in_place else self.path.with_name(self.path.name + PARTIAL_SUFFIX)

    @property
    def shown(self) -> str:
        """The name messages give for what is written now."""
        return "standard output" if self.stdout else str(self.partial_path)

    def identity(self) -> tuple[int, int] | str | None:
        """What makes two outputs, or an output and an input, the same file:
        the regular file the name leads to, else the resolved name of a file
        still to be made. None for standard output, devices and pipes."""
        if self.stdout:
            return file_identity(f"/proc/self/fd/{sys.stdout.fileno()}")
        found = file_identity(self.path)
        if found is not None or self.in_place:
            return found
        return os.path.realpath(self.path)

    def probe(self) -> None:
        """Raises UsageError, naming the path, unless the output can be
        written; leaves nothing behind."""
        if self.stdout:
            return
        try:
            if self.in_place:
                if not os.access(self.path, os.W_OK):
                    raise PermissionError(13, "Permission denied")
                return
            existed = self.partial_path.exists()
            os.close(os.open(self.partial_path, os.O_WRONLY | os.O_CREAT, 0o666))
            if not existed:
                self.partial_path.unlink()
        except OSError as error:
            raise UsageError(f"cannot write {self.name}: {_reason(error)}") from error

    def open_text(self, encoding: str = "utf-8", buffering: int = -1, append: bool = False) -> TextIO:
        """A text file writing to the partial name (or in place), from its
        start or, with `append`, after what it holds."""
        if self.stdout:
            sys.stdout.flush()
            return open(sys.stdout.fileno(), "w", encoding=encoding, buffering=buffering, closefd=False)
        if append:
            return open(self.partial_path, "a", encoding=encoding, buffering=buffering)
        return open(self.partial_path, "w", encoding=encoding, buffering=buffering)

    def commit(self) -> None:
        """Gives a complete output its name."""
        if not self.in_place:
            os.replace(self.partial_path, self.path)

    def discard(self) -> None:
        """Removes what a run that wrote nothing worth keeping left."""
        if not self.in_place:
            self.partial_path.unlink(missing_ok=True)


def refuse_overlaps(inputs: Iterable[tuple[str | os.PathLike[str], str]], outputs: Iterable[OutputPath]) -> None:
    """Raises UsageError when an output is one of the inputs (a list of
    (path, what) pairs) or another output."""
    taken: dict[tuple[int, int] | str, str] = {}
    for path, what in inputs:
        key = file_identity(path)
        if key is not None:
            taken.setdefault(key, f"{what} {path}")
    for output in outputs:
        identity = output.identity()
        if identity is None:
            continue
        if identity in taken:
            raise UsageError(
                f"{output.name}: the {output.what} would overwrite the {taken[identity]}; choose another name"
            )
        taken[identity] = f"{output.what} {output.name}"
