"""Writing called reads on a thread of its own, so that forming and writing
the records overlaps the calls of the thread that drives the clients."""

from __future__ import annotations

import threading
import time
from collections import deque
from collections.abc import Callable
from typing import TYPE_CHECKING

from corvane_cli.read_types import Group

if TYPE_CHECKING:
    from corvane_cli.split_outputs import SplitWriter
    from corvane_cli.writers import ReadWriter

# Groups queued and not yet written, at most: the driving thread waits for
# room beyond that, so that a slow output holds the calling back instead of
# filling memory.
MAX_QUEUED_GROUPS = 1024
MAX_QUEUED_BASES = 32 << 20
# Every wait is this long at most, then its condition is looked at again.
WAIT_SLICE_S = 0.1
# What the reads queued behind a failed write fail with.
NOT_WRITTEN = "not written: the output failed"

# (read id, group, reason) of a group that was not written.
Unwritten = tuple[str, Group, str]


def _bases(group: Group) -> int:
    if len(group) == 1:  # most groups: one read, not split
        return len(group[0]["datasets"].get("sequence", "")) + 1
    return sum(len(read["datasets"].get("sequence", "")) for read in group) + 1


class BackgroundWriter:
    """Hands groups to `writer` (a ReadWriter or a SplitWriter) on the
    thread "corvane_writer", in the order they were queued.

    put(read_id, group), settle() and close() are for the driving thread
    alone. A group whose records cannot be formed (the writer's ValueError)
    is handed to on_unwritten(read_id, group, reason) there, at the next of
    those calls. The first OutputError stops the writing: the group it hit
    and every one queued behind it or after it go to on_unwritten with
    NOT_WRITTEN, and the next call raises the error (once).

    A put() costs a deque append and no lock while the thread is busy: the
    deque's own append and popleft are safe across threads, and each count
    below has one writer. The lock is for the waits and the failure."""

    def __init__(self, writer: ReadWriter | SplitWriter, on_unwritten: Callable[[str, Group, str], None]) -> None:
        self.writer = writer
        self._on_unwritten = on_unwritten
        self._queue: deque[tuple[str, Group, int]] = deque()  # (read id, group, bases)
        self._put = 0  # groups queued so far; the driving thread's
        self._put_bases = 0  # the driving thread's
        self._taken = 0  # groups taken off the queue and written (or refused); the writer thread's
        self._taken_bases = 0  # the writer thread's
        self._lock = threading.Lock()
        self._wake = threading.Condition(self._lock)  # a group queued, or closing
        self._room = threading.Condition(self._lock)  # a group written, or a failure
        # Guarded by _lock (read without it only where a stale value costs
        # one WAIT_SLICE_S at most):
        self._idle = False  # the thread waits for a group
        self._waiting = False  # the driving thread waits for room or for the writing
        self._closing = False
        self._failure: BaseException | None = None  # what stopped the writing
        self._reported = False  # the failure was raised to the driving thread
        self._unwritten: list[Unwritten] = []
        self.cpu_s = 0.0  # the thread's CPU time, once it ended
        self._thread = threading.Thread(target=self._run, name="corvane_writer", daemon=True)
        self._thread.start()

    @property
    def records(self) -> int:
        return self.writer.records

    def put(self, read_id: str, group: Group) -> None:
        """Queues a group, waiting while the queue is full; once the writing
        has failed, hands the group back as not written."""
        bases = _bases(group)
        if self._failure is None and self._full(bases):
            self._wait(lambda: not self._full(bases))
        self._queue.append((read_id, group, bases))
        self._put += 1
        self._put_bases += bases
        if self._idle:
            with self._lock:
                self._wake.notify()
        if self._failure is not None or self._unwritten:
            self._hand_back()

    def settle(self) -> None:
        """Waits until every group queued is written."""
        self._wait(lambda: self._taken == self._put)
        self._hand_back()

    def close(self, complete: bool) -> None:
        """Writes what is queued, ends the thread and closes the writer, which
        names the output when complete and the writing did not fail."""
        try:
            self.settle()
        finally:
            with self._lock:
                self._closing = True
                self._wake.notify()
            self._thread.join()
            self.writer.close(complete=complete and self._failure is None)

    def kept(self) -> list[str]:
        """The partial files a SplitWriter leaves (a ReadWriter's output is
        its caller's to name)."""
        from corvane_cli.split_outputs import SplitWriter

        return self.writer.kept() if isinstance(self.writer, SplitWriter) else []

    def _full(self, bases: int) -> bool:
        """Whether a group of `bases` must wait for room (a group alone
        never does, however large)."""
        return self._taken < self._put and (
            len(self._queue) >= MAX_QUEUED_GROUPS or self._put_bases + bases - self._taken_bases > MAX_QUEUED_BASES
        )

    def _wait(self, done: Callable[[], bool]) -> None:
        """Waits, on the driving thread, until done() or a failure."""
        with self._lock:
            self._waiting = True
            try:
                while self._failure is None and not done():
                    self._room.wait(WAIT_SLICE_S)
            finally:
                self._waiting = False

    def _hand_back(self) -> None:
        """Hands the groups that were not written to on_unwritten, then
        raises what stopped the writing, the first time it is seen here."""
        with self._lock:
            if self._failure is not None:
                # Queued after the thread gave up.
                while self._queue:
                    read_id, group, _ = self._queue.popleft()
                    self._unwritten.append((read_id, group, NOT_WRITTEN))
            unwritten, self._unwritten = self._unwritten, []
            failure = None if self._reported else self._failure
            self._reported = self._failure is not None
        for read_id, group, reason in unwritten:
            self._on_unwritten(read_id, group, reason)
        if failure is not None:
            raise failure

    def _run(self) -> None:
        try:
            self._write_queued()
        finally:
            self.cpu_s = time.thread_time()

    def _next(self) -> tuple[str, Group, int] | None:
        """The next group to write, waiting for one; None once closing."""
        while True:
            try:
                return self._queue.popleft()
            except IndexError:
                pass
            with self._lock:
                if self._waiting:
                    self._room.notify()
                # Idle before the queue is looked at: a put() that appends
                # after the look sees the flag and wakes the thread.
                self._idle = True
                if not self._queue and not self._closing:
                    self._wake.wait(WAIT_SLICE_S)
                self._idle = False
                if not self._queue and self._closing:
                    return None

    def _write_queued(self) -> None:
        while True:
            item = self._next()
            if item is None:
                return
            read_id, group, bases = item
            self._taken_bases += bases
            try:
                self.writer.write(group)
            except ValueError as error:  # the records of this read alone
                with self._lock:
                    self._unwritten.append((read_id, group, f"cannot be written: {error}"))
            except BaseException as error:  # raised in the driving thread by _hand_back
                with self._lock:
                    self._failure = error
                    self._unwritten.append((read_id, group, NOT_WRITTEN))
                    while self._queue:
                        queued_id, queued, _ = self._queue.popleft()
                        self._unwritten.append((queued_id, queued, NOT_WRITTEN))
                    self._room.notify()
                return
            finally:
                self._taken += 1
            if self._waiting:
                with self._lock:
                    self._room.notify()
