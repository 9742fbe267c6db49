"""The input files of a basecall run, open, and the read tags that span
them."""

from __future__ import annotations

import bisect
from contextlib import ExitStack
from typing import TYPE_CHECKING

from corvane_cli.errors import UsageError
from corvane_cli.read_types import InputRead

if TYPE_CHECKING:
    from corvane_cli.signal_file import SignalFileReader


class RunInputs:
    """The input files, open. Reads are tagged across the run: file after
    file, a read's tag is its file's offset plus its index there. A read id
    that an earlier input already gave is failed, not called again."""

    def __init__(self, paths: list[str], stack: ExitStack) -> None:
        import numpy as np

        from corvane_cli.output_paths import file_identity
        from corvane_cli.signal_file import SignalFileError, SignalFileReader, repeated_ids

        seen: dict[tuple[int, int] | None, str] = {}
        for path in paths:
            key = file_identity(path)
            if key is not None and key in seen:
                raise UsageError(f"{path}: given twice (also as {seen[key]})")
            seen[key] = path
        self.readers: list[SignalFileReader] = []
        for path in paths:
            try:
                self.readers.append(stack.enter_context(SignalFileReader(path)))
            except SignalFileError as error:
                raise UsageError(str(error)) from error
        self.offsets = [0]
        for reader in self.readers:
            self.offsets.append(self.offsets[-1] + reader.num_reads)
        self.total = self.offsets.pop()
        self.repeats: dict[int, str] = {}  # read tag -> why it is not called
        if len(self.readers) > 1:
            hashes = np.concatenate([reader.id_hashes for reader in self.readers])
            for first, later in repeated_ids(hashes, self._read_id):
                self.repeats[later] = f"read id given again (first in {self._locate(first)[0].path})"

    def _read_id(self, tag: int) -> str:
        reader, index = self._locate(tag)
        return reader.read_id(index)

    def _locate(self, tag: int) -> tuple[SignalFileReader, int]:
        number = bisect.bisect_right(self.offsets, tag) - 1
        return self.readers[number], tag - self.offsets[number]

    def refetch(self, tags: list[int]) -> list[InputRead]:
        """The reads of these tags, read again from their files."""
        reads = []
        for tag in tags:
            reader, index = self._locate(tag)
            [read] = reader.read_range(index, index + 1)
            read["read_tag"] = tag
            reads.append(read)
        return reads

    def run_ids(self) -> set[str]:
        return set().union(*(reader.run_ids() for reader in self.readers))
