"""Called reads into FASTQ, SAM or BAM. Output goes to OUTPUT.partial and
takes its name only once complete, so an interrupted or failed run never
leaves a file that looks finished."""

import os
import stat
import time
from pathlib import Path

from corvane_cli.read_text import fastq_header, sam_records

FORMATS = ("fastq", "sam", "bam")
PARTIAL_SUFFIX = ".partial"
# Written records reach the file at least this often, so that what an
# interrupted run leaves is close to what it had called.
FLUSH_INTERVAL_S = 0.5


class OutputError(RuntimeError):
    """The output could not be written; the message names the file."""


def format_of(path, given=None):
    """The output format: as given, else by the file's extension; None when
    neither tells."""
    if given:
        return given
    suffix = Path(path).suffix.lower().lstrip(".")
    return suffix if suffix in FORMATS else None


def program_line(command_line):
    import tavrix
    version = ".".join(map(str, tavrix.Corvane.get_software_version()))
    text = " ".join(command_line).replace("\t", " ").replace("\n", " ")
    return f"@PG\tID:corvane\tPN:corvane\tVN:{version}\tCL:{text}"


def sam_header_text(library_header, command_line):
    """The library's alignment header (or a bare @HD line without one) plus
    this program's @PG line."""
    lines = [line for line in library_header.split("\n") if line]
    if not lines or not lines[0].startswith("@HD"):
        lines.insert(0, "@HD\tVN:1.6\tSO:unknown")
    lines.append(program_line(command_line))
    return "\n".join(lines) + "\n"


class ReadWriter:
    """Writes groups of called reads. Errors raise OutputError; close(True)
    gives the file its final name, close(False) leaves OUTPUT.partial."""

    def __init__(self, path, fmt, sam_header="", command_line=(), include_moves=False, sort=False):
        self.path = Path(path)
        self.format = fmt
        self.records = 0
        self._include_moves = include_moves
        self._sort = sort and fmt == "bam"
        # A device or pipe (/dev/stdout, /dev/full) is written in place.
        self._in_place = self.path.exists() and not stat.S_ISREG(self.path.stat().st_mode)
        self.partial_path = self.path if self._in_place else self.path.with_name(self.path.name + PARTIAL_SUFFIX)
        self._bam = None
        self._text = None
        self._flushed = time.monotonic()
        try:
            if fmt == "bam":
                import pysam
                self._header_text = sam_header_text(sam_header, command_line)
                self._bam = pysam.AlignmentFile(str(self.partial_path), "wb",
                                                header=pysam.AlignmentHeader.from_text(self._header_text))
            else:
                self._text = open(self.partial_path, "w", encoding="ascii", buffering=1 << 20)
                if fmt == "sam":
                    self._text.write(sam_header_text(sam_header, command_line))
        except (OSError, ValueError) as error:
            raise OutputError(f"cannot open {self.partial_path}: {_reason(error)}") from error

    def write(self, group):
        """Writes the called reads of one group; returns how many records
        went out. A read whose text cannot be formed raises ValueError; the
        file is then unchanged."""
        texts = []
        for read in group:
            if "sequence" not in read["datasets"]:
                continue
            if self.format == "fastq":
                texts.append(f"{fastq_header(read, self._include_moves)}\n{read['datasets']['sequence']}\n+\n"
                             f"{read['datasets']['qstring']}\n")
            else:
                texts.extend(sam_records(read))
        try:
            if self._bam is not None:
                import pysam
                header = self._bam.header
                records = [pysam.AlignedSegment.fromstring(line, header) for line in texts]
                for record in records:
                    self._bam.write(record)
            elif self.format == "sam":
                self._text.write("".join(line + "\n" for line in texts))
            else:
                self._text.write("".join(texts))
            if self._text is not None and time.monotonic() - self._flushed > FLUSH_INTERVAL_S:
                self._text.flush()
                self._flushed = time.monotonic()
        except OSError as error:
            raise OutputError(f"cannot write {self.partial_path}: {_reason(error)}") from error
        self.records += len(texts)
        return len(texts)

    def close(self, complete):
        """Closes the file; when complete, flushes it to disk, sorts and
        indexes a BAM if asked, and renames it to its final name."""
        try:
            if self._bam is not None:
                bam, self._bam = self._bam, None
                bam.close()
            if self._text is not None:
                text, self._text = self._text, None
                try:
                    text.flush()
                    if complete and not self._in_place:
                        os.fsync(text.fileno())
                finally:
                    text.close()
        except OSError as error:
            raise OutputError(f"cannot write {self.partial_path}: {_reason(error)}") from error
        if not complete or self._in_place:
            return
        if self._sort:
            import pysam
            sorted_path = self.path.with_name(self.path.name + ".sorting")
            try:
                pysam.sort("--no-PG", "-o", str(sorted_path), str(self.partial_path))
            except pysam.SamtoolsError as error:
                sorted_path.unlink(missing_ok=True)
                raise OutputError(f"cannot sort {self.partial_path}: {error}") from error
            os.replace(sorted_path, self.path)
            self.partial_path.unlink()
            pysam.index(str(self.path))
        else:
            os.replace(self.partial_path, self.path)


def _reason(error):
    return error.strerror if isinstance(error, OSError) and error.strerror else str(error)
