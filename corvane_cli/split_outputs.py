"""Called reads into one output per class, under an output folder: by
barcode arrangement (barcode01.bam ... unclassified.bam), by mean qscore
(pass/ and fail/), or both (pass/barcode01.bam). Each output is an
ordinary one (written as NAME.partial, named once the run is complete,
sorted and indexed when asked), opened when its first read arrives."""

from __future__ import annotations

import os
import re
from collections.abc import Callable
from pathlib import Path
from typing import TYPE_CHECKING

from corvane_cli.errors import UsageError
from corvane_cli.output_paths import OutputPath
from corvane_cli.read_types import Group

if TYPE_CHECKING:
    from corvane_cli.writers import ReadWriter

SPLITS = ("barcode", "qscore")
# The one output of a folder split by qscore alone, or not split at all.
UNSPLIT_NAME = "called"
UNCLASSIFIED = "unclassified"
ENDINGS = {"fastq": ".fastq", "sam": ".sam", "bam": ".bam", "cram": ".cram"}


def primary_metadata(group: Group) -> dict[str, object]:
    """The metadata of the read that speaks for a group (the whole read)."""
    for read in group:
        if read.get("sub_tag", 0) == 0:
            return dict(read["metadata"])
    return dict(group[0]["metadata"])


def passes(group: Group, min_qscore: float | None) -> bool:
    """Whether a called read passes the mean-qscore filter (every read does
    without one)."""
    if min_qscore is None:
        return True
    qscore = primary_metadata(group).get("mean_qscore")
    return isinstance(qscore, (int, float)) and qscore >= min_qscore


def _file_name(arrangement: str) -> str:
    # Arrangement names come from the server: keep them to a plain file name.
    return re.sub(r"[^A-Za-z0-9._-]", "_", arrangement) or UNCLASSIFIED


class SplitWriter:
    """The outputs under `folder`, one ReadWriter each, made by
    make_writer(OutputPath) when their first read arrives. The same calls
    as a ReadWriter: write(group), records, close(complete)."""

    def __init__(
        self,
        folder: str,
        fmt: str,
        split_by: list[str],
        min_qscore: float | None,
        make_writer: Callable[[OutputPath], ReadWriter],
    ) -> None:
        self.folder = Path(folder)
        self.format = fmt
        self.by_barcode = "barcode" in split_by
        self.by_qscore = "qscore" in split_by
        self.min_qscore = min_qscore
        self._make_writer = make_writer
        self.writers: dict[str, ReadWriter] = {}  # relative name -> its writer

    @staticmethod
    def probe(folder: str) -> None:
        """Raises UsageError unless outputs can be made under `folder`
        (made if missing); leaves nothing behind."""
        path = Path(folder)
        if path.exists() and not path.is_dir():
            raise UsageError(f"{folder}: not a folder (--output-dir names a folder)")
        if not path.absolute().parent.is_dir():
            raise UsageError(f"{folder}: no such folder {path.absolute().parent}")
        made = not path.exists()
        try:
            path.mkdir(exist_ok=True)
            probe = path / f".corvane-probe-{os.getpid()}"
            os.close(os.open(probe, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666))
            probe.unlink()
        except OSError as error:
            raise UsageError(f"cannot write under {folder}: {error.strerror or error}") from error
        finally:
            if made:
                try:
                    path.rmdir()  # made again when the first output opens
                except OSError:
                    pass

    @property
    def records(self) -> int:
        return sum(writer.records for writer in self.writers.values())

    def name_of(self, group: Group) -> str:
        """The output (relative to the folder) a called read goes to."""
        parts = []
        if self.by_qscore:
            parts.append("pass" if passes(group, self.min_qscore) else "fail")
        if self.by_barcode:
            parts.append(_file_name(str(primary_metadata(group).get("barcode_arrangement", "")) or UNCLASSIFIED))
        elif self.by_qscore or not parts:
            parts.append(UNSPLIT_NAME)
        return "/".join(parts) + ENDINGS[self.format]

    def write(self, group: Group) -> int:
        name = self.name_of(group)
        writer = self.writers.get(name)
        if writer is None:
            path = self.folder / name
            path.parent.mkdir(parents=True, exist_ok=True)
            writer = self._make_writer(OutputPath(path))
            self.writers[name] = writer
        return writer.write(group)

    def close(self, complete: bool) -> None:
        """Closes every output (naming each when complete); the first error
        is raised once all are closed."""
        failure: Exception | None = None
        for writer in self.writers.values():
            try:
                writer.close(complete)
            except Exception as error:  # raised below, once the others are closed
                failure = failure or error
        if failure is not None:
            raise failure

    def kept(self) -> list[str]:
        return [
            str(writer.target.partial_path) for writer in self.writers.values() if writer.target.partial_path.exists()
        ]
