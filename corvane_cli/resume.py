"""Picking up the output an earlier run of the same options left: which
reads it holds, so that they are not called again, and how the new run
goes on writing it.

Every run writes its options beside its output (the sidecar `.NAME.json`,
hidden, kept with the complete output too). A run resumed with other
options is refused: records of two kinds in one file would be worse than
calling again. FASTQ and SAM are continued in place: the file is cut after
its last complete record and the new records are appended. BAM, CRAM and
compressed FASTQ are read record by record (up to where an interruption
cut them) into the new output, which a BAM or CRAM is then sorted with;
the earlier file is kept as NAME.partial.earlier until that copy is
written, so that an interruption during it loses nothing."""

from __future__ import annotations

import json
import os
from collections.abc import Iterator
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from corvane_cli.errors import UsageError
from corvane_cli.output_paths import OutputPath

EARLIER_SUFFIX = ".earlier"
PIECE_PARENT_TAG = "pi:Z:"


def sidecar_path(target: OutputPath) -> Path:
    return target.path.with_name("." + target.path.name + ".json")


def write_sidecar(target: OutputPath, options: dict[str, Any]) -> None:
    """Notes the options of the run writing `target` beside it."""
    if target.in_place:
        return
    path = sidecar_path(target)
    temporary = path.with_name(path.name + ".partial")
    temporary.write_text(json.dumps(options, sort_keys=True) + "\n")
    os.replace(temporary, path)


@dataclass
class Resumption:
    """What a resumed run takes over: the read ids already written (a split
    read's by its parent), and how the output goes on: appended to
    (`append`), or copied from `earlier` into a new file."""

    ids: set[str] = field(default_factory=set)
    append: bool = False
    earlier: Path | None = None

    @property
    def taken_over(self) -> int:
        return len(self.ids)


def prepare(target: OutputPath, fmt: str, compressed: bool, options: dict[str, Any]) -> Resumption:
    """Readies `target` for a resumed run; raises UsageError when what is
    there was made with other options. Nothing there: a new run."""
    if target.in_place:
        raise UsageError(f"{target.name}: --resume continues a file of its own, not {target.shown}")
    earlier = target.partial_path.with_name(target.partial_path.name + EARLIER_SUFFIX)
    sources = [path for path in (earlier, target.partial_path, target.path) if path.exists()]
    if not sources:
        return Resumption()
    _check_options(target, options)
    copying = fmt in ("bam", "cram") or compressed
    if earlier.exists():
        # An earlier resume stopped while copying: the copy is dropped.
        target.partial_path.unlink(missing_ok=True)
    elif not target.partial_path.exists():
        os.replace(target.path, target.partial_path)  # complete again only once this run is
    if copying:
        if not earlier.exists():
            os.replace(target.partial_path, earlier)
        return Resumption(earlier=earlier)
    ids, length = _scan_text(target.partial_path, fmt)
    with open(target.partial_path, "r+b") as file:
        file.truncate(length)
    return Resumption(ids=ids, append=length > 0)


def _check_options(target: OutputPath, options: dict[str, Any]) -> None:
    path = sidecar_path(target)
    try:
        recorded = json.loads(path.read_text())
    except FileNotFoundError:
        raise UsageError(
            f"{target.name}: no record of the options it was made with ({path}): cannot resume it"
        ) from None
    except (OSError, ValueError) as error:
        raise UsageError(f"{path}: unreadable ({error}): cannot resume {target.name}") from error
    changed = sorted(key for key in set(options) | set(recorded) if options.get(key) != recorded.get(key))
    if changed:
        what = ", ".join(f"{key} {recorded.get(key)!r} then, {options.get(key)!r} now" for key in changed)
        raise UsageError(f"{target.name} was made with other options ({what}): resume with the same ones")


def _read_ids(fields: list[bytes]) -> str:
    """The input read a record stands for: a piece's parent, else its name."""
    for item in fields[1:]:
        if item.startswith(PIECE_PARENT_TAG.encode()):
            return item[len(PIECE_PARENT_TAG) :].decode()
    return fields[0].decode()


def _scan_text(path: Path, fmt: str) -> tuple[set[str], int]:
    """(read ids, length of the part to keep) of a FASTQ or SAM file cut
    anywhere: the complete records, and for SAM a complete header."""
    ids: set[str] = set()
    kept = 0
    with open(path, "rb") as file:
        if fmt == "fastq":
            position = 0
            while True:
                lines = [file.readline() for _ in range(4)]
                if not all(line.endswith(b"\n") for line in lines):
                    break
                header, sequence, plus, qualities = lines
                if not header.startswith(b"@") or not plus.startswith(b"+") or len(sequence) != len(qualities):
                    break
                position += sum(map(len, lines))
                kept = position
                ids.add(_read_ids(header[1:].rstrip(b"\n").split(b"\t")))
            return ids, kept
        position = 0
        header_done = False
        for line in file:
            if not line.endswith(b"\n"):
                break
            position += len(line)
            if line.startswith(b"@"):
                header_done = header_done or line.startswith(b"@PG\tID:corvane")
                if header_done:
                    kept = position
                continue
            fields = line.rstrip(b"\n").split(b"\t")
            if not header_done or len(fields) < 11:
                break
            ids.add(_read_ids([fields[0], *fields[11:]]))
            kept = position
    return ids, kept


def earlier_text_records(path: Path) -> Iterator[tuple[str, bytes]]:
    """(read id, record) of the complete FASTQ records of a compressed file,
    up to where it was cut."""
    import gzip
    import zlib

    try:
        with gzip.open(path, "rb") as file:
            while True:
                lines = [file.readline() for _ in range(4)]
                if not all(line.endswith(b"\n") for line in lines) or len(lines[1]) != len(lines[3]):
                    return
                yield _read_ids(lines[0][1:].rstrip(b"\n").split(b"\t")), b"".join(lines)
    except (OSError, EOFError, zlib.error):
        return  # cut inside a block: what came before is kept
