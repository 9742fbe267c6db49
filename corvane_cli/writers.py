"""Called reads into FASTQ (plain or BGZF-compressed), SAM, BAM or CRAM.
Output goes where its OutputPath says: NAME.partial, renamed once
complete, or in place (standard output, a device, a link)."""

from __future__ import annotations

import os
import time
from collections.abc import Sequence
from typing import IO, TYPE_CHECKING, Any

import tavrix
from corvane_cli.errors import UsageError
from corvane_cli.output_paths import STDOUT
from corvane_cli.read_groups import read_group_tags
from corvane_cli.read_types import CalledRead, Group

if TYPE_CHECKING:
    from corvane_cli.output_paths import OutputPath
    from corvane_cli.resume import Resumption

FORMATS = ("fastq", "sam", "bam", "cram")
# Name endings and the format (and compression) they stand for.
EXTENSIONS = {
    ".fastq": ("fastq", False),
    ".fq": ("fastq", False),
    ".fastq.gz": ("fastq", True),
    ".fq.gz": ("fastq", True),
    ".sam": ("sam", False),
    ".bam": ("bam", False),
    ".cram": ("cram", False),
}
# Written records reach the file at least this often, so that what an
# interrupted run leaves is close to what it had called.
FLUSH_INTERVAL_S = 0.5


class OutputError(RuntimeError):
    """The output could not be written; the message names the file."""


def format_of(name: str, given: str | None = None) -> tuple[str, bool]:
    """(format, gzip-compressed) of an output: by its name's ending, which
    --format may repeat but not contradict; by --format alone for other
    names; SAM on standard output unless --format says otherwise. Raises
    UsageError when neither tells or they disagree."""
    if str(name) == STDOUT:
        return given or "sam", False
    lower = str(name).lower()
    found = next((EXTENSIONS[end] for end in sorted(EXTENSIONS, key=len, reverse=True) if lower.endswith(end)), None)
    if found is None:
        if given is None:
            raise UsageError(
                f"{name}: cannot tell the output format from its name; use .fastq, .fq, .fastq.gz, "
                ".fq.gz, .sam, .bam or .cram, or --format"
            )
        return given, False
    if given is not None and given != found[0]:
        raise UsageError(f"{name}: --format {given} contradicts the name, which says {found[0]}")
    return found


def program_line(command_line: Sequence[str]) -> str:
    version = ".".join(map(str, tavrix.Corvane.get_software_version()))
    text = " ".join(command_line).replace("\t", " ").replace("\n", " ")
    return f"@PG\tID:corvane\tPN:corvane\tVN:{version}\tCL:{text}"


def sam_header_text(library_header: str, command_line: Sequence[str], read_groups: Sequence[str] = ()) -> str:
    """The library's alignment header (or a bare @HD line without one), the
    read groups' @RG lines and this program's @PG line."""
    lines = [line for line in library_header.split("\n") if line]
    if not lines or not lines[0].startswith("@HD"):
        lines.insert(0, "@HD\tVN:1.6\tSO:unknown")
    lines += list(read_groups)
    lines.append(program_line(command_line))
    return "\n".join(lines) + "\n"


class ReadWriter:
    """Writes groups of called reads to `target` (an OutputPath). Errors
    raise OutputError; close(True) gives the file its final name (sorted and
    indexed first when asked), close(False) leaves OUTPUT.partial."""

    def __init__(
        self,
        target: OutputPath,
        fmt: str,
        compressed: bool = False,
        sam_header: str = "",
        command_line: Sequence[str] = (),
        include_moves: bool = False,
        sort: bool = False,
        reference: str | None = None,
        read_groups: Sequence[str] = (),
        resume: Resumption | None = None,
    ) -> None:
        """With `resume`, the output goes on from what an earlier run wrote:
        appended to, or the earlier file's records copied first (their read
        ids then noted in resume.ids)."""
        self.target = target
        self.format = fmt
        self.records = 0
        self._include_moves = include_moves
        self._sort = sort and fmt in ("bam", "cram") and not target.in_place
        self._reference = reference
        self._bam: Any = None  # a pysam.AlignmentFile
        self._text: IO[str] | None = None
        self._bgzf: Any = None  # a pysam.BGZFile
        self._flushed = time.monotonic()
        where = STDOUT if target.stdout else str(target.partial_path)
        try:
            if fmt in ("bam", "cram"):
                import pysam

                header = pysam.AlignmentHeader.from_text(sam_header_text(sam_header, command_line, read_groups))
                extra: dict[str, Any] = {} if fmt == "bam" else {"reference_filename": reference}
                mode = "wb" if fmt == "bam" else "wc"
                self._bam = pysam.AlignmentFile(where, mode, header=header, **extra)
            elif compressed:
                import pysam

                self._bgzf = pysam.BGZFile(where, "wb", index=None)
            else:
                append = resume is not None and resume.append
                self._text = target.open_text(encoding="ascii", buffering=1 << 20, append=append)
                if fmt == "sam" and not append:
                    self._text.write(sam_header_text(sam_header, command_line, read_groups))
        except (OSError, ValueError) as error:
            raise OutputError(f"cannot open {target.shown}: {_reason(error)}") from error
        if resume is not None and resume.earlier is not None:
            self._copy_earlier(resume)

    def _copy_earlier(self, resume: Resumption) -> None:
        """Writes the records an earlier run left in resume.earlier (up to
        where it was cut) first, then drops that file."""
        from corvane_cli.resume import PIECE_PARENT_TAG, earlier_text_records

        assert resume.earlier is not None
        try:
            if self._bgzf is not None:
                for read_id, record in earlier_text_records(resume.earlier):
                    self._bgzf.write(record)
                    resume.ids.add(read_id)
                    self.records += 1
            elif self._bam is not None:
                import pysam

                header = self._bam.header
                try:
                    earlier = pysam.AlignmentFile(
                        str(resume.earlier), check_sq=False, reference_filename=self._reference
                    )
                except (OSError, ValueError):
                    earlier = None  # cut inside its header: nothing to take over
                if earlier is not None:
                    with earlier:
                        try:
                            for segment in earlier.fetch(until_eof=True):
                                self._bam.write(pysam.AlignedSegment.fromstring(segment.to_string(), header))
                                tag = PIECE_PARENT_TAG[:2]
                                parent = segment.get_tag(tag) if segment.has_tag(tag) else None
                                resume.ids.add(str(parent or segment.query_name))
                                self.records += 1
                        except (OSError, ValueError):
                            pass  # cut inside a block: what came before is kept
            resume.earlier.unlink()
        except OSError as error:
            raise OutputError(f"cannot write {self.target.shown}: {_reason(error)}") from error

    def write(self, group: Group) -> int:
        """Writes the records of one group (each molecule once); returns how
        many went out. A read whose text cannot be formed raises ValueError;
        the file is then unchanged."""
        try:
            texts = [text for read in records_to_write(group) for text in self._texts(read)]
        except (RuntimeError, TypeError) as error:  # the library's refusal
            raise ValueError(str(error)) from error
        try:
            if self._bam is not None:
                import pysam

                header = self._bam.header
                records = [pysam.AlignedSegment.fromstring(line, header) for line in texts]
                for record in records:
                    self._bam.write(record)
            elif self._bgzf is not None:
                self._bgzf.write("".join(texts).encode("ascii"))
            elif self._text is not None and self.format == "sam":
                self._text.write("".join(line + "\n" for line in texts))
            elif self._text is not None:
                self._text.write("".join(texts))
            if self._text is not None and time.monotonic() - self._flushed > FLUSH_INTERVAL_S:
                self._text.flush()
                self._flushed = time.monotonic()
        except OSError as error:
            raise OutputError(f"cannot write {self.target.shown}: {_reason(error)}") from error
        self.records += len(texts)
        return len(texts)

    def _texts(self, read: CalledRead) -> list[str]:
        """The records of one read: the library's text, and the read group
        on SAM records."""
        if self.format == "fastq":
            datasets = read["datasets"]
            header = tavrix.fastq_header_line(read, self._include_moves)
            return [f"{header}\n{datasets['sequence']}\n+\n{datasets['qstring']}\n"]
        tags = read_group_tags(read["metadata"])
        return [line + tags for line in tavrix.sam_records(read)]

    def close(self, complete: bool) -> None:
        """Closes the file; when complete, flushes it to disk, sorts and
        indexes it if asked, and gives it its final name."""
        try:
            for name in ("_bam", "_bgzf"):
                handle = getattr(self, name)
                if handle is not None:
                    setattr(self, name, None)
                    handle.close()
            if self._text is not None:
                text, self._text = self._text, None
                try:
                    text.flush()
                    if complete and not self.target.in_place:
                        os.fsync(text.fileno())
                finally:
                    text.close()
        except OSError as error:
            raise OutputError(f"cannot write {self.target.shown}: {_reason(error)}") from error
        if not complete or self.target.in_place:
            return
        if self._sort:
            self._sort_and_index()
        else:
            self.target.commit()

    def _sort_and_index(self) -> None:
        import pysam

        path, partial = self.target.path, self.target.partial_path
        sorted_path = path.with_name(path.name + ".sorting")
        options = ["-O", "cram", "--reference", str(self._reference)] if self.format == "cram" else []
        try:
            pysam.sort("--no-PG", *options, "-o", str(sorted_path), str(partial))
        except pysam.SamtoolsError as error:
            sorted_path.unlink(missing_ok=True)
            raise OutputError(f"cannot sort {partial}: {error}") from error
        os.replace(sorted_path, path)
        partial.unlink()
        pysam.index(str(path))


def records_to_write(group: Group) -> Group:
    """The reads of a result group that make records: each molecule once, so
    the pieces of a split read (which name their parent in pi:Z:) and not
    the whole read they came from."""
    called = [read for read in group if "sequence" in read["datasets"]]
    pieces = [read for read in called if read.get("sub_tag", 0) != 0]
    return pieces or called


def _reason(error: BaseException) -> str:
    return error.strerror if isinstance(error, OSError) and error.strerror else str(error)
