"""The signal file: raw reads and their metadata in one HDF5 file, written
and read in constant memory.

Layout (format version 1)::

    /                      attributes "format" = "corvane-signal",
                           "format_version" = 1
    /signal                int16[total_samples]: every read's samples, one
                           read after the other in file order; chunked,
                           bit-shuffled and LZ4-compressed, with a
                           checksum per chunk (files written before:
                           byte-shuffled and gzip-compressed; HDF5 filters
                           are named in the file, so both read alike)
    /reads/read_id         str[num_reads] (UTF-8), unique, not empty
    /reads/offset          uint64: first sample of the read in /signal
    /reads/length          uint64: number of samples, at least 1
    /reads/channel         int32
    /reads/mux             int32
    /reads/start_time      uint64: samples since the start of the run
    /reads/daq_offset      float64: offset added to a sample before scaling
    /reads/daq_scaling     float64: picoamperes per unit (range / digitisation)
    /reads/sampling_rate   float64: samples per second
    /reads/run_id          str
    /reads/sequencing_kit  str ("" when unknown)
    /reads/end_reason      str ("" when unknown)
    /reads/truth           str: the read's true sequence, "" when not known
                           (simulated reads carry it)

Every /reads column has num_reads rows and is chunked, so a range of reads
is read without touching the others. A reader refuses a file whose format
attribute or version it does not know, or whose read ids repeat, and names
the file and the problem in every error.

The samples' compression is chosen for reading speed: bit shuffling with
LZ4 decompresses several times faster than gzip (the largest cost of a
basecall run once was decompressing its input) for a file a few percent
larger; bench/python/compression_bench.py measures the choices. LZ4 has no
checksum of its own, so the chunks carry HDF5's Fletcher-32 checksum, and
a damaged chunk is refused rather than read as other samples.
"""

from __future__ import annotations

import importlib.util
import os
import re
import stat
import uuid
from collections.abc import Callable, Iterator
from functools import cache
from pathlib import Path
from types import TracebackType
from typing import Any

import h5py
import numpy as np

FORMAT_NAME = "corvane-signal"
FORMAT_VERSION = 1

SIGNAL_CHUNK_SAMPLES = 1 << 18
COLUMN_CHUNK_ROWS = 4096
# The writer flushes to the file once this many reads or samples are held.
FLUSH_READS = 4096
FLUSH_SAMPLES = 1 << 22

_STR = h5py.string_dtype("utf-8")

# Column name, HDF5 type, and the read dict key it comes from (None: kept
# by the file itself).
_COLUMNS: list[tuple[str, Any]] = [
    ("read_id", _STR),
    ("offset", np.uint64),
    ("length", np.uint64),
    ("channel", np.int32),
    ("mux", np.int32),
    ("start_time", np.uint64),
    ("daq_offset", np.float64),
    ("daq_scaling", np.float64),
    ("sampling_rate", np.float64),
    ("run_id", _STR),
    ("sequencing_kit", _STR),
    ("end_reason", _STR),
    ("truth", _STR),
]
_COLUMN_NAMES = [name for name, _ in _COLUMNS]
_REQUIRED_KEYS = ("read_id", "raw_data", "daq_offset", "daq_scaling", "sampling_rate", "start_time")


@cache
def _readable_filters() -> None:
    """Lets HDF5 read hdf5plugin's filters (LZ4, bit shuffling): their
    folder is named to HDF5, which loads a filter the first time a chunk
    needs it. Importing hdf5plugin would load and register all of its dozen
    filters, which costs a short run more than its reading does."""
    spec = importlib.util.find_spec("hdf5plugin")
    folder = Path(spec.origin).parent / "plugins" if spec is not None and spec.origin else None
    if folder is not None and folder.is_dir():
        h5py.h5pl.prepend(os.fsencode(folder))
    else:
        import hdf5plugin  # noqa: F401  (registers its filters on import)


def signal_compression() -> dict[str, Any]:
    """The create_dataset options of the samples: bit shuffling and LZ4."""
    import hdf5plugin

    _writable_filters()
    return dict(hdf5plugin.Bitshuffle(cname="lz4"))


@cache
def _writable_filters() -> None:
    """Registers the bit shuffling filter through hdf5plugin. Importing it
    registers only filters HDF5 does not have yet, and once a reader has
    named the plugin folder HDF5 has this one, loaded from there: loaded
    that way it reads chunks but fails to set up a new dataset ("error
    during user callback")."""
    import hdf5plugin

    hdf5plugin.register("bshuf", force=True)


def h5_reason(error: Exception) -> str:
    """What an HDF5 error says, without the library's internals (file
    descriptors, buffer addresses, open flags)."""
    text = str(error)
    found = re.search(r"error message = '([^']*)'", text)
    if found:
        return found.group(1)
    found = re.search(r"\(([^()]*)\)\s*$", text)
    return found.group(1) if found else text


class SignalFileError(Exception):
    """A signal file that cannot be read or written; the message names the
    file and the problem."""

    def __init__(self, path: str | os.PathLike, problem: str):
        super().__init__(f"{os.fspath(path)}: {problem}")
        self.path = os.fspath(path)
        self.problem = problem


class SignalFileWriter:
    """Writes reads to a new signal file. The file appears under its name
    only when close() succeeds; until then it is written under a temporary
    name in the same folder, removed if the writer is left by an exception.
    One thread."""

    def __init__(self, path: str | os.PathLike):
        self.path = Path(path)
        if os.fspath(path) == "-":
            raise SignalFileError(path, "a signal file cannot be written to standard output; name a file")
        folder = self.path.absolute().parent
        if not folder.is_dir():
            raise SignalFileError(path, f"cannot create: no such folder {folder}")
        try:
            mode = os.lstat(self.path).st_mode
        except FileNotFoundError:
            mode = stat.S_IFREG
        if not stat.S_ISREG(mode):
            raise SignalFileError(
                path,
                "cannot create: not a regular file (a signal file is written to a file "
                "of its own, which takes its name once complete)",
            )
        # Created by HDF5 itself (exclusively), so that the file gets the
        # permissions of the user's umask like any other output.
        self._temp = self.path.with_name(f".{self.path.name}.{uuid.uuid4().hex[:12]}.partial")
        try:
            self._file = h5py.File(self._temp, "x")
        except OSError as error:
            raise SignalFileError(path, f"cannot create: {h5_reason(error)}") from error
        try:
            self._file.attrs["format"] = FORMAT_NAME
            self._file.attrs["format_version"] = FORMAT_VERSION
            self._signal = self._file.create_dataset(
                "signal",
                shape=(0,),
                maxshape=(None,),
                dtype=np.int16,
                chunks=(SIGNAL_CHUNK_SAMPLES,),
                fletcher32=True,
                **signal_compression(),
            )
            group = self._file.create_group("reads")
            self._columns = {
                name: group.create_dataset(
                    name,
                    shape=(0,),
                    maxshape=(None,),
                    dtype=dtype,
                    chunks=(COLUMN_CHUNK_ROWS,),
                    compression="gzip",
                    compression_opts=1,
                )
                for name, dtype in _COLUMNS
            }
        except (OSError, ValueError) as error:
            self._file.close()
            self._temp.unlink(missing_ok=True)
            raise SignalFileError(path, f"cannot create: {h5_reason(error)}") from error
        self._rows: dict[str, list[Any]] = {name: [] for name in _COLUMN_NAMES}
        self._samples: list[np.ndarray] = []
        self._held_samples = 0
        self._total_samples = 0
        self._read_ids: set[str] = set()
        self._closed = False

    def __enter__(self) -> SignalFileWriter:
        return self

    def __exit__(
        self, kind: type[BaseException] | None, value: BaseException | None, traceback: TracebackType | None
    ) -> None:
        if kind is None:
            self.close()
        else:
            self.abandon()

    @property
    def num_reads(self) -> int:
        return len(self._read_ids)

    def add(self, read: dict, truth: str | None = None) -> None:
        """Appends a read dict (the keys tavrix.Corvane.pass_read takes:
        read_id, raw_data as a 1-D int16 array, daq_offset, daq_scaling,
        sampling_rate, start_time, and optionally channel, mux, run_id,
        sequencing_kit, end_reason), with its true sequence if known.
        Raises ValueError for an invalid read (nothing is added)."""
        if self._closed:
            raise ValueError(f"{self.path}: the writer is closed")
        missing = [key for key in _REQUIRED_KEYS if key not in read]
        if missing:
            raise ValueError(f"read without {', '.join(missing)}")
        read_id = read["read_id"]
        if not isinstance(read_id, str) or not read_id:
            raise ValueError(f"read id {read_id!r} is not a non-empty string")
        if read_id in self._read_ids:
            raise ValueError(f"read id {read_id!r} is added twice")
        samples = read["raw_data"]
        if not isinstance(samples, np.ndarray) or samples.dtype != np.int16 or samples.ndim != 1:
            raise ValueError(f"read {read_id}: raw_data is not a one-dimensional int16 array")
        if samples.size == 0:
            raise ValueError(f"read {read_id}: raw_data holds no samples")
        start_time = int(read["start_time"])
        if start_time < 0:
            raise ValueError(f"read {read_id}: start_time {start_time} is negative")
        row = {
            "read_id": read_id,
            "offset": self._total_samples,
            "length": samples.size,
            "channel": int(read.get("channel", 0)),
            "mux": int(read.get("mux", 0)),
            "start_time": start_time,
            "daq_offset": float(read["daq_offset"]),
            "daq_scaling": float(read["daq_scaling"]),
            "sampling_rate": float(read["sampling_rate"]),
            "run_id": str(read.get("run_id", "")),
            "sequencing_kit": str(read.get("sequencing_kit", "")),
            "end_reason": str(read.get("end_reason", "")),
            "truth": truth or "",
        }
        for name, value in row.items():
            self._rows[name].append(value)
        self._samples.append(np.array(samples, copy=True))
        self._read_ids.add(read_id)
        self._total_samples += samples.size
        self._held_samples += samples.size
        if len(self._samples) >= FLUSH_READS or self._held_samples >= FLUSH_SAMPLES:
            self._flush()

    def close(self) -> None:
        """Writes what is held and gives the file its name."""
        if self._closed:
            return
        try:
            self._flush()
            self._file.close()
            os.replace(self._temp, self.path)
        except OSError as error:
            self.abandon()
            raise SignalFileError(self.path, f"cannot write: {error.strerror or h5_reason(error)}") from error
        except BaseException:
            self.abandon()
            raise
        self._closed = True

    def abandon(self) -> None:
        """Drops the file being written; the target name is left untouched."""
        if self._closed:
            return
        self._closed = True
        try:
            self._file.close()
        finally:
            self._temp.unlink(missing_ok=True)

    def _flush(self) -> None:
        if not self._samples:
            return
        start = self._signal.shape[0]
        self._signal.resize((start + self._held_samples,))
        self._signal[start:] = np.concatenate(self._samples)
        rows = len(self._samples)
        for name, dataset in self._columns.items():
            first = dataset.shape[0]
            dataset.resize((first + rows,))
            dataset[first:] = self._rows[name]
            self._rows[name].clear()
        self._samples.clear()
        self._held_samples = 0


class SignalFileReader:
    """Reads a signal file in file order, a chunk of reads at a time. One
    thread per reader; several readers may open the same file."""

    def __init__(self, path: str | os.PathLike):
        self.path = Path(path)
        if not self.path.exists():
            raise SignalFileError(path, "no such file")
        if self.path.is_dir():
            raise SignalFileError(path, "is a folder, not a signal file")
        _readable_filters()
        try:
            self._file = h5py.File(self.path, "r")
        except OSError as error:
            raise SignalFileError(path, f"not a readable signal file ({h5_reason(error)})") from error
        try:
            self._check_layout()
            self.id_hashes = self._check_unique_ids()
        except SignalFileError:
            self._file.close()
            raise

    def _check_layout(self) -> None:
        name = self._file.attrs.get("format")
        if isinstance(name, bytes):
            name = name.decode(errors="replace")
        if name != FORMAT_NAME:
            raise SignalFileError(self.path, f"not a signal file (format attribute {name!r})")
        version = self._file.attrs.get("format_version")
        if version != FORMAT_VERSION:
            shown = version.item() if isinstance(version, np.generic) else version
            raise SignalFileError(self.path, f"signal file format version {shown!r} is not {FORMAT_VERSION}")
        signal = self._file.get("signal")
        if not isinstance(signal, h5py.Dataset) or signal.dtype != np.int16 or signal.ndim != 1:
            raise SignalFileError(self.path, "no one-dimensional int16 dataset 'signal'")
        reads = self._file.get("reads")
        if not isinstance(reads, h5py.Group):
            raise SignalFileError(self.path, "no read table 'reads'")
        missing = [column for column in _COLUMN_NAMES if not isinstance(reads.get(column), h5py.Dataset)]
        if missing:
            raise SignalFileError(self.path, f"read table without {', '.join(missing)}")
        rows = {reads[column].shape for column in _COLUMN_NAMES}
        if len(rows) != 1 or len(next(iter(rows))) != 1:
            raise SignalFileError(self.path, "read table columns differ in length")
        self._signal = signal
        self._columns = {column: reads[column] for column in _COLUMN_NAMES}
        self._num_reads = next(iter(rows))[0]

    def _check_unique_ids(self) -> np.ndarray:
        """Refuses a file (written by other means) whose read ids repeat; returns
        a hash of every read id, in file order, for the caller's checks across
        files. Memory: 8 bytes a read."""
        hashes = np.empty(self._num_reads, dtype=np.int64)
        for start in range(0, self._num_reads, COLUMN_CHUNK_ROWS):
            ids = self._column("read_id", start, min(start + COLUMN_CHUNK_ROWS, self._num_reads))
            hashes[start : start + len(ids)] = [hash(read_id) for read_id in ids]
        repeated = repeated_ids(hashes, self.read_id)
        if repeated:
            first, second = repeated[0]
            raise SignalFileError(
                self.path,
                f"read id {self.read_id(second)!r} appears twice (reads {first} and "
                f"{second}); a signal file holds each read once",
            )
        return hashes

    def read_id(self, index: int) -> str:
        return self._column("read_id", index, index + 1)[0]

    def __enter__(self) -> SignalFileReader:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def close(self) -> None:
        self._file.close()

    @property
    def num_reads(self) -> int:
        return self._num_reads

    @property
    def total_samples(self) -> int:
        return self._signal.shape[0]

    def iter_chunks(self, max_reads: int = 256, max_samples: int = 4_000_000) -> Iterator[list[dict]]:
        """Lists of read dicts in file order: at most max_reads reads and,
        unless a single read is longer, at most max_samples samples each."""
        for start, stop in self.iter_ranges(max_reads, max_samples):
            yield self.read_range(start, stop)

    def iter_ranges(self, max_reads: int = 256, max_samples: int = 4_000_000) -> Iterator[tuple[int, int]]:
        """The (start, stop) read ranges iter_chunks yields, from the read
        table alone."""
        if max_reads < 1 or max_samples < 1:
            raise ValueError("max_reads and max_samples must be positive")
        start = 0
        while start < self._num_reads:
            stop = min(start + max_reads, self._num_reads)
            cumulative = np.cumsum(self._column("length", start, stop))
            # The reads that fit, and always at least one.
            count = max(1, int(np.searchsorted(cumulative, max_samples, side="right")))
            yield start, start + count
            start += count

    def read_range(self, start: int, stop: int) -> list[dict]:
        """The read dicts of reads start..stop-1, in file order. Each carries
        its index in the file as read_tag."""
        if not 0 <= start <= stop <= self._num_reads:
            raise IndexError(f"{self.path}: reads {start}..{stop} outside 0..{self._num_reads}")
        if start == stop:
            return []
        columns = {name: self._column(name, start, stop) for name in _COLUMN_NAMES if name != "truth"}
        offsets = columns["offset"].astype(np.int64)
        lengths = columns["length"].astype(np.int64)
        ends = offsets + lengths
        # A read without samples is handed on empty, for the caller to refuse
        # by itself: it must not cost the reads around it.
        if np.any(lengths < 0) or np.any(ends > self.total_samples):
            raise SignalFileError(self.path, f"reads {start}..{stop - 1}: sample ranges outside the signal")
        first, last = int(offsets.min()), int(ends.max())
        starts, stops = offsets.tolist(), ends.tolist()
        try:
            # Reads are stored back to back, so one slice holds them all.
            if last - first <= 2 * int(lengths.sum()):
                span = self._signal[first:last]
                samples = [span[o - first : e - first] for o, e in zip(starts, stops)]
            else:
                samples = [self._signal[o:e] for o, e in zip(starts, stops)]
        except OSError as error:
            raise SignalFileError(
                self.path, f"reads {start}..{stop - 1}: signal unreadable ({h5_reason(error)})"
            ) from error
        # The columns as Python values first: a list item is several times
        # cheaper to take than a NumPy scalar, and converting it is free.
        reads = []
        for tag, read_id, signal, daq_offset, daq_scaling, rate, start_time, channel, mux, run_id, kit, reason in zip(
            range(start, stop),
            columns["read_id"],
            samples,
            _floats(columns["daq_offset"]),
            _floats(columns["daq_scaling"]),
            _floats(columns["sampling_rate"]),
            _ints(columns["start_time"]),
            _ints(columns["channel"]),
            _ints(columns["mux"]),
            columns["run_id"],
            columns["sequencing_kit"],
            columns["end_reason"],
        ):
            read = {
                "read_tag": tag,
                "read_id": read_id,
                "raw_data": signal,
                "daq_offset": daq_offset,
                "daq_scaling": daq_scaling,
                "sampling_rate": rate,
                "start_time": start_time,
                "channel": channel,
                "mux": mux,
                "run_id": run_id,
            }
            # Passed on only when the file knows them.
            if kit:
                read["sequencing_kit"] = kit
            if reason:
                read["end_reason"] = reason
            reads.append(read)
        return reads

    def run_ids(self) -> set[str]:
        """The run ids the file's reads carry."""
        found = set()
        for start in range(0, self._num_reads, COLUMN_CHUNK_ROWS):
            found.update(self._column("run_id", start, min(start + COLUMN_CHUNK_ROWS, self._num_reads)))
        return found

    def truth_range(self, start: int, stop: int) -> list[str]:
        """The true sequences of reads start..stop-1 ("" where unknown)."""
        return self._column("truth", start, stop)

    def truths(self) -> dict[str, str]:
        """read id -> true sequence, for the reads that carry one."""
        truths = {}
        for start in range(0, self._num_reads, COLUMN_CHUNK_ROWS):
            stop = min(start + COLUMN_CHUNK_ROWS, self._num_reads)
            ids = self._column("read_id", start, stop)
            for read_id, truth in zip(ids, self._column("truth", start, stop)):
                if truth:
                    truths[read_id] = truth
        return truths

    def _column(self, name: str, start: int, stop: int) -> Any:
        dataset = self._columns[name]
        try:
            if dataset.dtype.kind == "O":
                return dataset.asstr()[start:stop].tolist()
            return dataset[start:stop]
        except (OSError, UnicodeDecodeError) as error:
            raise SignalFileError(self.path, f"read table column {name!r} unreadable ({h5_reason(error)})") from error


def _floats(column: np.ndarray) -> list[float]:
    """A numeric column as Python floats."""
    return column.astype(np.float64, copy=False).tolist()


def _ints(column: np.ndarray) -> list[int]:
    """A column as Python ints; a column of another kind than integers
    (a file written by other means) is truncated value by value."""
    return column.tolist() if column.dtype.kind in "iu" else [int(value) for value in column]


def repeated_ids(hashes: np.ndarray, read_id: Callable[[int], str]) -> list[tuple[int, int]]:
    """(first, later) index pairs of the reads whose ids repeat, from their
    hashes (equal hashes are confirmed by the ids, read_id(index))."""
    order = np.argsort(hashes, kind="stable")
    ordered = hashes[order]
    candidates = np.flatnonzero(ordered[1:] == ordered[:-1])
    pairs: list[tuple[int, int]] = []
    first_of: dict[str, int] = {}
    for position in candidates:
        for index in (int(order[position]), int(order[position + 1])):
            text = read_id(index)
            first = first_of.setdefault(text, index)
            if first != index and (first, index) not in pairs:
                pairs.append((first, index))
    return sorted(pairs, key=lambda pair: pair[1])
