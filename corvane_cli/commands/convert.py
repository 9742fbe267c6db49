"""`corvane convert`: a signal file from NumPy arrays and a CSV of metadata.

The samples come from an .npz archive, one array per read named by its read
id, or from a folder of .npy files, one per read, named `<read id>.npy`.
Each array is one-dimensional and holds integer samples that fit int16.

The CSV (comma-separated, a header row) has one row per read, in the order
the reads are to be stored:

    read_id        required; the array's name
    daq_offset     required; offset added to a sample before scaling
    daq_scaling    required; picoamperes per unit (range / digitisation)
    sampling_rate  required; samples per second
    start_time     samples since the start of the run (default 0)
    channel, mux   integers (default 0)
    run_id, sequencing_kit, end_reason
                   texts (default empty)
    truth          the read's true sequence, if known (default empty)

Any other column, or one named twice, is refused. Every row needs its array
and every array its row, and each read must be one `corvane basecall` can
call (a read id of printable ASCII without spaces and not starting with
'@', finite numbers, positive scaling and sampling rate, 32-bit channel and
mux). Anything else stops the conversion with a message naming the file,
the line and the column, and leaves no output behind.
"""

from __future__ import annotations

import argparse
import csv
import zipfile
from collections.abc import Sequence
from pathlib import Path
from typing import TYPE_CHECKING

from corvane_cli.errors import EXIT_OK, UsageError

if TYPE_CHECKING:
    import numpy as np

REQUIRED_COLUMNS = ("read_id", "daq_offset", "daq_scaling", "sampling_rate")
FLOAT_COLUMNS = ("daq_offset", "daq_scaling", "sampling_rate")
INT_COLUMNS = ("start_time", "channel", "mux")
TEXT_COLUMNS = ("run_id", "sequencing_kit", "end_reason")
KNOWN_COLUMNS = (*REQUIRED_COLUMNS, *INT_COLUMNS, *TEXT_COLUMNS, "truth")


def add_parser(subparsers: argparse._SubParsersAction) -> argparse.ArgumentParser:
    parser = subparsers.add_parser(
        "convert",
        help="write a signal file from NumPy arrays and a CSV of metadata",
        description=__doc__.split("\n\n", 1)[1],
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("input", metavar="INPUT", help="an .npz archive or a folder of .npy files")
    parser.add_argument("--metadata", required=True, metavar="CSV", help="one row of metadata per read")
    parser.add_argument("-o", "--output", required=True, metavar="FILE", help="the signal file to write")
    return parser


class ArraySource:
    """The arrays of an .npz archive or of a folder of .npy files, loaded
    one at a time."""

    def __init__(self, path: Path):
        import numpy as np

        self.path = path
        self._archive = None
        if path.is_dir():
            self._files = {file.stem: file for file in sorted(path.glob("*.npy"))}
            self.names = set(self._files)
        elif path.is_file():
            try:
                self._archive = np.load(path, allow_pickle=False)
            except (OSError, ValueError, EOFError, zipfile.BadZipFile) as error:
                raise UsageError(f"{path}: not a NumPy .npz archive ({error})") from error
            if not hasattr(self._archive, "files"):
                raise UsageError(f"{path}: a single array, not an .npz archive of one array per read")
            self.names = set(self._archive.files)
        else:
            raise UsageError(f"{path}: no such file or folder")

    def samples(self, read_id: str) -> np.ndarray:
        import numpy as np

        where = f"{self.path}: array {read_id!r}"
        try:
            if self._archive is not None:
                array = self._archive[read_id]
            else:
                array = np.load(self._files[read_id], allow_pickle=False)
        except (OSError, ValueError, EOFError, zipfile.BadZipFile) as error:
            raise UsageError(f"{where} unreadable ({error})") from error
        if array.ndim != 1 or array.dtype.kind not in "iu":
            raise UsageError(f"{where} is not a one-dimensional array of integers ({array.dtype}, {array.ndim}-D)")
        if array.size == 0:
            raise UsageError(f"{where} holds no samples")
        if array.dtype != np.int16:
            info = np.iinfo(np.int16)
            if array.min() < info.min or array.max() > info.max:
                raise UsageError(f"{where} holds samples outside the int16 range")
            array = array.astype(np.int16)
        return array

    def close(self) -> None:
        if self._archive is not None:
            self._archive.close()


def check_header(fields: Sequence[str] | None, where: str) -> None:
    """Refuses a header row with a column missing, unknown or named twice."""
    fields = list(fields or [])
    missing = [column for column in REQUIRED_COLUMNS if column not in fields]
    if missing:
        raise UsageError(f"{where} line 1: no column {', '.join(missing)} in the header row")
    unknown = [column for column in fields if column not in KNOWN_COLUMNS]
    if unknown:
        raise UsageError(
            f"{where} line 1: unknown column {', '.join(map(repr, unknown))} "
            f"(the columns are {', '.join(KNOWN_COLUMNS)})"
        )
    twice = sorted({column for column in fields if fields.count(column) > 1})
    if twice:
        raise UsageError(f"{where} line 1: column {', '.join(twice)} named more than once")


def parse_row(row: dict, line: int, where: str) -> tuple[dict, str]:
    import numpy as np

    from corvane_cli.read_check import read_problem

    if None in row or any(value is None for value in row.values()):
        raise UsageError(f"{where} line {line}: not as many fields as the header row has columns")
    read: dict = {"read_id": row["read_id"].strip()}
    label = f"{where} line {line}"
    for column in FLOAT_COLUMNS:
        try:
            read[column] = float(row[column])
        except (TypeError, ValueError):
            raise UsageError(f"{label} column {column}: {row[column]!r} is not a number") from None
    for column in INT_COLUMNS:
        text = (row.get(column) or "").strip()
        try:
            read[column] = int(text) if text else 0
        except ValueError:
            raise UsageError(f"{label} column {column}: {text!r} is not an integer") from None
    for column in TEXT_COLUMNS:
        text = (row.get(column) or "").strip()
        if text:
            read[column] = text
    # The samples are checked on their own: one stands in for them here.
    problem = read_problem({**read, "read_tag": 0, "raw_data": np.zeros(1, dtype=np.int16)})
    if problem:
        column, why = problem
        raise UsageError(f"{label} column {column}: {why}" if column else f"{label}: {why}")
    return read, (row.get("truth") or "").strip()


def run(args: argparse.Namespace) -> int:
    from corvane_cli.output_paths import OutputPath, refuse_overlaps
    from corvane_cli.signal_file import SignalFileError, SignalFileWriter

    metadata = Path(args.metadata)
    refuse_overlaps([(args.input, "input"), (metadata, "metadata")], [OutputPath(args.output)])
    source = ArraySource(Path(args.input))
    try:
        try:
            # A header with a byte-order mark is read as without one.
            csv_file = metadata.open(newline="", encoding="utf-8-sig")
        except OSError as error:
            raise UsageError(f"{metadata}: cannot read ({error.strerror or error})") from error
        with csv_file, SignalFileWriter(args.output) as writer:
            rows = csv.DictReader(csv_file)
            check_header(rows.fieldnames, str(metadata))
            seen = set()
            for row in rows:
                read, truth = parse_row(row, rows.line_num, str(metadata))
                read_id = read["read_id"]
                if read_id in seen:
                    raise UsageError(f"{metadata} line {rows.line_num}: read {read_id} appears twice")
                if read_id not in source.names:
                    raise UsageError(f"{args.input}: no array for read {read_id} ({metadata} line {rows.line_num})")
                seen.add(read_id)
                read["raw_data"] = source.samples(read_id)
                writer.add(read, truth or None)
            unlisted = sorted(source.names - seen)
            if unlisted:
                shown = ", ".join(unlisted[:5]) + (" ..." if len(unlisted) > 5 else "")
                raise UsageError(f"{args.input}: {len(unlisted)} arrays without a row in {metadata}: {shown}")
    except (SignalFileError, ValueError) as error:
        raise UsageError(str(error)) from error
    except UnicodeDecodeError as error:
        raise UsageError(f"{metadata}: not UTF-8 text ({error.reason} at byte {error.start})") from error
    finally:
        source.close()
    print(f"corvane convert: {writer.num_reads} reads written to {args.output}")
    return EXIT_OK
