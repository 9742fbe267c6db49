"""Folders as inputs: the signal files in them, in a stable order, and the
watch that finds the files a running device adds.

A signal file is written under a hidden temporary name and renamed once
complete, so only final names count: a name starting with "." or ending in
".partial" is never taken. A folder's signal files are its files named
*.h5 or *.hdf5, in natural order (batch_2.h5 before batch_10.h5)."""

from __future__ import annotations

import os
import re
import time
from collections.abc import Iterable
from typing import Any

from corvane_cli.errors import UsageError
from corvane_cli.output_paths import PARTIAL_SUFFIX

SIGNAL_FILE_ENDINGS = (".h5", ".hdf5")
# Without inotify (or with CORVANE_WATCH_POLLING=1) the folders are listed
# this often; with it, at least this often (a folder on a network file
# system gets no events for files written on other machines).
POLL_INTERVAL_S = 0.5
POLLING_ENV = "CORVANE_WATCH_POLLING"


def is_signal_file_name(name: str) -> bool:
    lower = name.lower()
    return not name.startswith(".") and not lower.endswith(PARTIAL_SUFFIX) and lower.endswith(SIGNAL_FILE_ENDINGS)


def _natural_key(path: str) -> list[Any]:
    return [int(part) if part.isdigit() else part for part in re.split(r"(\d+)", path)]


def _scan(folder: str, recursive: bool) -> tuple[list[str], list[str]]:
    """(signal files, subfolders) under a folder; hidden subfolders are
    skipped. Files that vanish while listed are left out."""
    files: list[str] = []
    folders: list[str] = []
    pending = [folder]
    while pending:
        current = pending.pop()
        try:
            entries = list(os.scandir(current))
        except FileNotFoundError:
            continue
        except OSError as error:
            raise UsageError(f"{current}: cannot list the folder: {error.strerror or error}") from error
        for entry in entries:
            try:
                if entry.is_dir():
                    if recursive and not entry.name.startswith("."):
                        folders.append(entry.path)
                        pending.append(entry.path)
                elif entry.is_file() and is_signal_file_name(entry.name):
                    files.append(entry.path)
            except OSError:
                continue
    return sorted(files, key=_natural_key), folders


def expand_inputs(inputs: Iterable[str], recursive: bool, allow_empty: bool) -> tuple[list[str], list[str]]:
    """(signal files, folders) of the command line's INPUTs: a file stands
    for itself, a folder for the signal files in it (and in its subfolders
    with `recursive`). A folder without any is refused unless allow_empty."""
    files: list[str] = []
    folders: list[str] = []
    for name in inputs:
        if not os.path.isdir(name):
            files.append(name)
            continue
        found, _ = _scan(name, recursive)
        if not found and not allow_empty:
            where = "under" if recursive else "in"
            raise UsageError(f"{name}: no signal files (*.h5, *.hdf5) {where} the folder")
        files += found
        folders.append(name)
    return files, folders


class FolderWatch:
    """Finds the signal files that appear in some folders. poll() waits up
    to a timeout for new ones and returns them in natural order; a file is
    returned once. Woken by inotify where the inotify_simple package is
    installed, and in any case lists the folders every POLL_INTERVAL_S."""

    def __init__(self, folders: list[str], recursive: bool, known: Iterable[str]) -> None:
        self.folders = list(folders)
        self.recursive = recursive
        self._known = {os.path.abspath(path) for path in known}
        self._listed = 0.0
        self._notify: Any = None  # an inotify_simple.INotify
        self._watched: set[str] = set()
        if os.environ.get(POLLING_ENV) != "1":
            try:
                import inotify_simple

                self._notify = inotify_simple.INotify()
            except (ImportError, OSError):
                self._notify = None
        for folder in self.folders:
            self._watch(folder)

    @property
    def uses_inotify(self) -> bool:
        return self._notify is not None

    def _watch(self, folder: str) -> None:
        if self._notify is None or folder in self._watched:
            return
        import inotify_simple

        flags = inotify_simple.flags
        try:
            self._notify.add_watch(folder, flags.MOVED_TO | flags.CLOSE_WRITE | flags.CREATE)
            self._watched.add(folder)
        except OSError:
            return  # a folder that went away, or the watch limit reached: polling finds its files

    def close(self) -> None:
        if self._notify is not None:
            self._notify.close()
            self._notify = None

    def poll(self, timeout_s: float) -> list[str]:
        """The signal files that appeared since the last call, waiting up to
        timeout_s for the first of them."""
        deadline = time.monotonic() + timeout_s
        while True:
            due = self._listed + POLL_INTERVAL_S - time.monotonic()
            woken = False
            if self._notify is not None:
                wait = max(0.0, min(deadline - time.monotonic(), due))
                woken = bool(self._notify.read(timeout=int(wait * 1000)))
            elif due > 0 and deadline > time.monotonic():
                time.sleep(min(due, deadline - time.monotonic()))  # the polling interval itself
            if woken or time.monotonic() >= self._listed + POLL_INTERVAL_S:
                found = self._list()
                if found:
                    return found
            if time.monotonic() >= deadline:
                return []

    def _list(self) -> list[str]:
        self._listed = time.monotonic()
        found: list[str] = []
        for folder in self.folders:
            files, subfolders = _scan(folder, self.recursive)
            for sub in subfolders:
                self._watch(sub)
            for path in files:
                absolute = os.path.abspath(path)
                if absolute not in self._known:
                    self._known.add(absolute)
                    found.append(path)
        return sorted(found, key=_natural_key)


class WatchEnd:
    """When a watching run stops taking new files: `after_s` seconds with
    no new file, or once a file named `stop_file` exists (the files found
    up to then are still called). Ctrl-C interrupts the run as ever."""

    def __init__(self, after_s: float | None, stop_file: str | None) -> None:
        self.after_s = after_s
        self.stop_file = stop_file
        self.last_new = time.monotonic()
        self.stop_file_seen = False

    def look(self) -> None:
        """Notes whether the stop file is there; called before each listing,
        so that the files renamed into place before it was made are found."""
        if self.stop_file and not self.stop_file_seen:
            self.stop_file_seen = os.path.exists(self.stop_file)

    def new_files(self) -> None:
        self.last_new = time.monotonic()

    def reached(self) -> bool:
        if self.stop_file_seen:
            return True
        return self.after_s is not None and time.monotonic() - self.last_new >= self.after_s
