"""The input files of a basecall run and the read tags that span them.

Files may be added while the run goes on (a watched folder): each new file
takes the tags after the last file's. Only a few files are held open at a
time, so a run over thousands of files does not run out of descriptors."""

from __future__ import annotations

import bisect
from collections import OrderedDict
from contextlib import ExitStack
from typing import TYPE_CHECKING

from corvane_cli.errors import UsageError
from corvane_cli.read_types import InputRead

if TYPE_CHECKING:
    import numpy as np

    from corvane_cli.signal_file import SignalFileReader

# Readers kept open at once; the file being called is always one of them.
MAX_OPEN_READERS = 8


class _SortedHashes:
    """The read id hashes of the files so far, as a few sorted runs (each
    at most half the size of the one before it), so that a new file is
    checked against every earlier read at a cost that grows with the log of
    their number. Memory: 16 bytes a read."""

    def __init__(self) -> None:
        self._runs: list[tuple[np.ndarray, np.ndarray]] = []  # (sorted hashes, their read tags)

    def matches(self, hashes: np.ndarray) -> list[tuple[int, int]]:
        """(position in `hashes`, earlier read tag) of every equal hash."""
        import numpy as np

        found = []
        for ordered, tags in self._runs:
            places = np.searchsorted(ordered, hashes)
            inside = places < len(ordered)
            equal = np.flatnonzero(inside & (ordered[np.minimum(places, len(ordered) - 1)] == hashes))
            for position in equal:
                place = int(places[position])
                while place < len(ordered) and ordered[place] == hashes[position]:
                    found.append((int(position), int(tags[place])))
                    place += 1
        return found

    def add(self, hashes: np.ndarray, first_tag: int) -> None:
        import numpy as np

        order = np.argsort(hashes, kind="stable")
        self._runs.append((hashes[order], order.astype(np.int64) + first_tag))
        while len(self._runs) > 1 and len(self._runs[-1][0]) * 2 > len(self._runs[-2][0]):
            (later, later_tags), (earlier, earlier_tags) = self._runs.pop(), self._runs.pop()
            merged = np.concatenate([earlier, later])
            order = np.argsort(merged, kind="stable")
            self._runs.append((merged[order], np.concatenate([earlier_tags, later_tags])[order]))


class RunInputs:
    """The input files. Reads are tagged across the run: file after file, a
    read's tag is its file's offset plus its index there. A read id that an
    earlier input already gave is failed, not called again."""

    def __init__(self, paths: list[str], stack: ExitStack) -> None:
        self.paths: list[str] = []
        self.offsets: list[int] = []
        self.total = 0
        self.repeats: dict[int, str] = {}  # read tag -> why it is not called
        self._identities: dict[tuple[int, int], str] = {}
        self._hashes = _SortedHashes()
        self._open: OrderedDict[int, SignalFileReader] = OrderedDict()
        stack.callback(self.close)
        for path in paths:
            self.add(path)

    @property
    def count(self) -> int:
        return len(self.paths)

    def add(self, path: str) -> None:
        """Takes one more file, its reads tagged after the last file's.
        Raises UsageError naming the file when it cannot be read or is one
        already taken."""
        from corvane_cli.output_paths import file_identity
        from corvane_cli.signal_file import SignalFileError, SignalFileReader

        key = file_identity(path)
        if key is not None and key in self._identities:
            raise UsageError(f"{path}: given twice (also as {self._identities[key]})")
        try:
            reader = SignalFileReader(path)
        except SignalFileError as error:
            raise UsageError(str(error)) from error
        number = len(self.paths)
        if key is not None:
            self._identities[key] = path
        self.paths.append(path)
        self.offsets.append(self.total)
        self._keep_open(number, reader)
        offset = self.total
        for position, earlier in self._hashes.matches(reader.id_hashes):
            read_id = reader.read_id(position)
            if self._read_id(earlier) == read_id and offset + position not in self.repeats:
                first_file = self.paths[self._locate(earlier)[0]]
                self.repeats[offset + position] = f"read id given again (first in {first_file})"
        self._hashes.add(reader.id_hashes, offset)
        self.total += reader.num_reads

    def reader(self, number: int) -> SignalFileReader:
        """The open reader of input `number`."""
        from corvane_cli.signal_file import SignalFileReader

        found = self._open.get(number)
        if found is None:
            found = SignalFileReader(self.paths[number])
            self._keep_open(number, found)
        else:
            self._open.move_to_end(number)
        return found

    def _keep_open(self, number: int, reader: SignalFileReader) -> None:
        self._open[number] = reader
        while len(self._open) > MAX_OPEN_READERS:
            _, oldest = self._open.popitem(last=False)
            oldest.close()

    def close(self) -> None:
        while self._open:
            self._open.popitem()[1].close()

    def _read_id(self, tag: int) -> str:
        number, index = self._locate(tag)
        return self.reader(number).read_id(index)

    def _locate(self, tag: int) -> tuple[int, int]:
        """(input number, index in that file) of a read tag."""
        number = bisect.bisect_right(self.offsets, tag) - 1
        return number, tag - self.offsets[number]

    def refetch(self, tags: list[int]) -> list[InputRead]:
        """The reads of these tags, read again from their files."""
        reads = []
        for tag in tags:
            number, index = self._locate(tag)
            [read] = self.reader(number).read_range(index, index + 1)
            read["read_tag"] = tag
            reads.append(read)
        return reads

    def run_ids(self) -> set[str]:
        """The run ids the inputs' reads carry, read from the files when
        asked: only a SAM header names them, and reading a file's whole
        column costs a large input's run a wait before its first read.
        Raises UsageError naming a file whose run ids cannot be read."""
        from corvane_cli.signal_file import SignalFileError

        found: set[str] = set()
        for number in range(len(self.paths)):
            try:
                found |= self.reader(number).run_ids()
            except SignalFileError as error:
                raise UsageError(str(error)) from error
        return found
