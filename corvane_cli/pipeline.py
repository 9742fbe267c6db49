"""Streams reads through a pool of clients: passes them with back-pressure,
collects the called reads on the way and hands them on as they arrive,
with a bounded number of reads in flight whatever the input size."""

from __future__ import annotations

import queue
import re
import threading
import time
from collections.abc import Callable, Iterable, Iterator
from dataclasses import dataclass, field
from types import TracebackType
from typing import Any, Generic, TypeVar

import tavrix
from corvane_cli.read_check import read_problem, signal_problem
from corvane_cli.read_types import Group, InputRead, OnResults

Corvane = tavrix.Corvane

PASS_WAIT_MS = 100  # one bounded wait of pass_reads for room
POLL_INTERVAL_S = 0.002  # pause while nothing has come back yet
FINISH_TIMEOUT_S = 10
BATCH_READS = 64
# The library's text for a push the server answered BAD_REQUEST: the server
# refused a read it was given (one too long, say), not the connection.
_REFUSED_PUSH = re.compile(
    r"\[bad_request\] Bad request message: (PASS_READ_BATCH|PASS_FIRST_RAW_BLOCK|"
    r"PASS_NEXT_RAW_BLOCK)\. "
)


class PipelineError(RuntimeError):
    """The clients could not be set up (no server, refused configuration).
    result: the library's result name ("" when parameters were refused);
    address and detail: the server and the library's message."""

    def __init__(self, message: str, result: str = "", address: str = "", detail: str = "") -> None:
        super().__init__(message)
        self.result = result
        self.address = address
        self.detail = detail


@dataclass
class Counts:
    """What became of the reads. Every read taken from the input ends in
    exactly one of with_results, without_results and failed."""

    reads_read: int = 0  # reads taken from the input
    reads_in: int = 0  # reads passed to a client
    with_results: int = 0  # came back with a sequence
    without_results: int = 0  # came back without one
    failed: int = 0  # refused, or never came back
    samples_in: int = 0
    split: int = 0  # came back as pieces
    pieces: int = 0
    failures: list[tuple[str, str]] = field(default_factory=list)  # (read id, reason)

    def fail(self, read_id: str, reason: str) -> None:
        self.failed += 1
        self.failures.append((read_id, reason))

    def fail_returned(self, read_id: str, group: Group, reason: str) -> None:
        """Fails a read already counted as returned (one that cannot be
        written, or is there twice)."""
        if any("sequence" in read["datasets"] for read in group):
            self.with_results -= 1
        else:
            self.without_results -= 1
        self.fail(read_id, reason)


def spread(clients: int, servers: list[str]) -> list[int]:
    """How many library clients go to each server: `clients` in all, at
    least one per server."""
    base, extra = divmod(max(clients, len(servers)), len(servers))
    return [base + (i < extra) for i in range(len(servers))]


class Pipeline:
    """One run: connect, feed, drain, finish. Not thread-safe; the caller's
    thread drives everything and every wait in it is bounded.

    A read the server refuses (one longer than it takes, say) puts the
    client that pushed it in error; the pipeline then fails that read alone
    with the server's reason, connects the client's pool again and passes
    its other reads still out once more, fetched by read tag with
    refetch(tags) (without refetch they fail too). A refusal that names no
    read of ours ends the run as a lost server does."""

    def __init__(
        self,
        servers: list[str],
        config: str,
        params: dict[str, Any],
        clients: int = 1,
        max_in_flight: int = 2000,
        max_samples_in_flight: int = 50_000_000,
        stall_timeout_s: float | None = None,
        should_stop: Callable[[], None] | None = None,
        refetch: Callable[[list[int]], list[InputRead]] | None = None,
    ) -> None:
        if not servers:
            raise ValueError("at least one server address")
        self._pools: list[tavrix.Corvane] = []
        self._should_stop = should_stop or (lambda: None)
        self._params = dict(params)
        # Nothing back for longer than the library keeps reconnecting: the
        # server is not coming back.
        reconnect = self._params.get("reconnect_timeout", 300)
        self._stall_timeout_s = stall_timeout_s if stall_timeout_s is not None else reconnect + 10
        self.max_in_flight = max_in_flight
        self.max_samples_in_flight = max_samples_in_flight
        self.counts = Counts()
        self.refetch = refetch
        self._in_flight: dict[int, tuple[str, int, int]] = {}  # read tag -> (read id, samples, pool index)
        self._retry: list[InputRead] = []  # reads to pass again after their pool was connected anew
        self._samples_in_flight = 0
        self._next = 0
        self._last_progress = time.monotonic()
        self.client_s = 0.0  # time spent in client calls (read conversion included)
        for address, members in zip(servers, spread(clients, servers)):
            self._pools.append(Corvane(address, config, members))
        for client in self._pools:
            if client.set_params(self._params) != Corvane.success:
                raise PipelineError(f"parameters refused: {self._params}")

    def connect(self) -> None:
        for client in self._pools:
            result = client.connect()
            if result != Corvane.success:
                message = client.get_error_message()
                self.close()
                raise PipelineError(
                    f"cannot connect to {client.get_address()}: {result.name}" + (f" ({message})" if message else ""),
                    result=result.name,
                    address=client.get_address(),
                    detail=message,
                )

    def sam_header(self) -> str:
        text, _ = self._pools[0].get_alignment_sam_header()
        return text

    def basecalling_config(self) -> dict[str, bool | int | float | str]:
        config, _ = self._pools[0].get_basecalling_config()
        return config

    @property
    def in_flight(self) -> int:
        return len(self._in_flight)

    def feed(self, reads: list[InputRead], on_results: OnResults) -> None:
        """Passes a list of reads (each with a unique read_tag), collecting
        and handing on called reads whenever it must wait."""
        accepted = []
        self.counts.reads_read += len(reads)
        for read in reads:
            # The library checks the rest as it takes a batch; a batch it
            # refuses is passed again read by read, and the read it refuses
            # is failed with the reason it gives.
            problem = signal_problem(read)
            if problem:
                self.counts.fail(str(read.get("read_id", "")), problem[1])
            else:
                accepted.append(read)
        self._pass_all(accepted, on_results)

    def _pass_all(self, reads: list[InputRead], on_results: OnResults) -> None:
        batch_reads = min(BATCH_READS, self.max_in_flight)
        for start in range(0, len(reads), batch_reads):
            batch = reads[start : start + batch_reads]
            samples = sum(len(read["raw_data"]) for read in batch)
            while self._in_flight and (
                len(self._in_flight) + len(batch) > self.max_in_flight
                or self._samples_in_flight + samples > self.max_samples_in_flight
            ):
                if not self.drain(on_results):
                    self._wait_or_give_up(on_results)
            self._pass(batch, on_results)
        while self._retry:
            again, self._retry = self._retry, []
            self._pass_all(again, on_results)

    def _pass(self, batch: list[InputRead], on_results: OnResults) -> None:
        index = self._next
        client = self._pools[index]
        self._next = (self._next + 1) % len(self._pools)
        while True:
            called = time.monotonic()
            result = client.pass_reads(batch, PASS_WAIT_MS)
            self.client_s += time.monotonic() - called
            if result == Corvane.read_accepted:
                in_flight = self._in_flight
                total = 0
                for read in batch:
                    samples = len(read["raw_data"])
                    in_flight[read["read_tag"]] = (read["read_id"], samples, index)
                    total += samples
                self._samples_in_flight += total
                self.counts.reads_in += len(batch)
                self.counts.samples_in += total
                return
            if result == Corvane.bad_read:
                # One read spoils the whole list: pass them one by one to
                # find it.
                if len(batch) > 1:
                    for read in batch:
                        self._pass([read], on_results)
                else:
                    problem = read_problem(batch[0], client)
                    reason = problem[1] if problem else "refused by the client library"
                    self.counts.fail(str(batch[0].get("read_id", "")), reason)
                return
            if result == Corvane.not_accepting_reads:
                message = client.get_error_message()
                if not self._recover(index, message, on_results):
                    raise ServerLost(message or f"{client.get_address()} stopped taking reads")
                continue
            # queue_full: make room by collecting, and give up once the server
            # has not moved for too long.
            if not self.drain(on_results):
                self._wait_or_give_up(on_results)

    def drain(self, on_results: OnResults) -> bool:
        """Collects every called read so far and hands each group to
        on_results(read_id, group); returns whether any came back. Checks
        for a stop request first, so that none is raised mid-group."""
        self._should_stop()
        any_back = False
        for client in self._pools:
            called = time.monotonic()
            groups = client.get_completed_reads()
            self.client_s += time.monotonic() - called
            stopped: bool | None = None  # whether this pool's client stopped on an error
            for group in groups:
                any_back = True
                tag = group[0]["read_tag"]
                if tag not in self._in_flight:
                    continue  # not ours, or already counted
                if len(group) == 1:
                    called_read = "sequence" in group[0]["datasets"]
                else:
                    called_read = any("sequence" in read["datasets"] for read in group)
                if not called_read:
                    if stopped is None:
                        stopped = client.get_status() == Corvane.error_state or bool(client.get_error_message())
                    if stopped:
                        # Handed back uncalled by a client that stopped: the
                        # recovery passes it again, or the loss counts it.
                        continue
                read_id, samples, _ = self._in_flight.pop(tag)
                self._samples_in_flight -= samples
                if called_read:
                    self.counts.with_results += 1
                else:
                    self.counts.without_results += 1
                if len(group) > 1:
                    self.counts.split += 1
                    self.counts.pieces += sum(1 for read in group if read.get("sub_tag", 0) != 0)
                on_results(read_id, group)
        if any_back:
            self._last_progress = time.monotonic()
        return any_back

    def _wait_or_give_up(self, on_results: OnResults) -> None:
        for index, client in enumerate(self._pools):
            # A pool reports the status of its first member; any member's
            # error shows in the pool's message.
            message = client.get_error_message()
            if client.get_status() == Corvane.error_state or _REFUSED_PUSH.search(message):
                if self._recover(index, message, on_results):
                    return
                raise ServerLost(message)
        if time.monotonic() - self._last_progress > self._stall_timeout_s:
            raise ServerLost(f"no read came back for {self._stall_timeout_s:.0f} s")
        time.sleep(POLL_INTERVAL_S)

    def _recover(self, index: int, message: str, on_results: OnResults) -> bool:
        """After the server refused reads of pool `index`: fails the refused
        reads with the server's reason, connects the pool again and queues
        its other reads still out to be passed again. False when the message
        is no refusal of reads of ours (the caller gives the run up)."""
        if not _REFUSED_PUSH.search(message or ""):
            return False
        lines = message.split("\n")
        mine = {tag: entry for tag, entry in self._in_flight.items() if entry[2] == index}
        refused: dict[int, str] = {}
        for tag, (read_id, _, _) in mine.items():
            named = re.compile(r"(?<![\w-])" + re.escape(read_id) + r"(?![\w-])")
            line = next((line for line in lines if named.search(line)), None)
            if line is not None:
                refused[tag] = line
        if not refused:
            return False
        self.drain(on_results)  # what came back before the error is kept
        client = self._pools[index]
        client.disconnect()  # drops the pool's other reads, which go again
        result = client.connect()
        if result != Corvane.success:
            raise ServerLost(f"cannot connect to {client.get_address()} again after it refused a read: {result.name}")
        lost = []
        for tag in mine:
            entry = self._in_flight.pop(tag, None)
            if entry is None:
                continue  # came back meanwhile
            self._samples_in_flight -= entry[1]
            self.counts.reads_in -= 1
            self.counts.samples_in -= entry[1]
            if tag in refused:
                self.counts.fail(entry[0], "refused by the server: " + _REFUSED_PUSH.split(refused[tag])[-1].strip())
            else:
                lost.append(tag)
        if lost and self.refetch is not None:
            self._retry += self.refetch(lost)
        else:
            for tag in lost:
                self.counts.fail(mine[tag][0], "dropped with a read the server refused")
        self._last_progress = time.monotonic()
        return True

    def finish(self, on_results: OnResults) -> None:
        """Waits until every read passed has come back (or the server is
        lost), then ends every client."""
        self.wait_for_results(on_results)
        for client in self._pools:
            client.finish(FINISH_TIMEOUT_S)
        self.drain(on_results)

    def wait_for_results(self, on_results: OnResults) -> None:
        """Collects until every read passed has come back; raises ServerLost
        once nothing has moved for too long. The clients stay connected."""
        while self._in_flight or self._retry:
            if self._retry:
                self._pass_all([], on_results)
            elif not self.drain(on_results):
                self._wait_or_give_up(on_results)

    def collect(self, on_results: OnResults) -> bool:
        """One round of collecting between inputs (a watched folder waiting
        for files): what came back is handed on, reads waiting to go again
        are passed, and with reads out and nothing back the servers are
        checked (ServerLost once nothing moved for too long). Returns
        whether any read came back."""
        if self._retry:
            self._pass_all([], on_results)
        if self.drain(on_results):
            return True
        if self._in_flight:
            self._wait_or_give_up(on_results)
        return False

    def lose_in_flight(self, reason: str) -> None:
        """Counts every read still out (or waiting to go again) as failed."""
        for read_id, _, _ in self._in_flight.values():
            self.counts.fail(read_id, reason)
        for read in self._retry:
            self.counts.fail(read["read_id"], reason)
        self._in_flight.clear()
        self._retry = []
        self._samples_in_flight = 0

    def close(self) -> None:
        for client in self._pools:
            client.disconnect()


class ServerLost(RuntimeError):
    """A server stopped answering for longer than the reconnect timeout."""


T = TypeVar("T")


class Prefetcher(Generic[T]):
    """Iterates over `chunks` one or two chunks ahead on a thread of its own,
    so that reading and decompressing overlap the waits on the server. An
    exception of the iterator is raised where its chunk would have come.
    cpu_s: the thread's CPU time, once left."""

    _END = object()

    def __init__(self, chunks: Iterable[T], depth: int = 2) -> None:
        self._chunks = chunks
        self._queue: queue.Queue[tuple[Any, BaseException | None]] = queue.Queue(maxsize=depth)
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, name="corvane_reader", daemon=True)
        self.cpu_s = 0.0

    def __enter__(self) -> Prefetcher[T]:
        self._thread.start()
        return self

    def __exit__(
        self, kind: type[BaseException] | None, value: BaseException | None, traceback: TracebackType | None
    ) -> None:
        self._stop.set()
        while self._thread.is_alive():
            try:
                self._queue.get(timeout=0.1)  # unblocks a reader waiting for room
            except queue.Empty:
                pass
        self._thread.join()

    def _put(self, item: tuple[Any, BaseException | None]) -> bool:
        while not self._stop.is_set():
            try:
                self._queue.put(item, timeout=0.1)
                return True
            except queue.Full:
                continue
        return False

    def _run(self) -> None:
        try:
            for chunk in self._chunks:
                if not self._put((chunk, None)):
                    return
        except Exception as error:  # handed to the consumer, which raises it
            self._put((None, error))
            return
        finally:
            self.cpu_s = time.thread_time()
        self._put((self._END, None))

    def __iter__(self) -> Iterator[T]:
        return self

    def __next__(self) -> T:
        chunk, error = self._queue.get()
        if error is not None:
            raise error
        if chunk is self._END:
            self._queue.put((self._END, None))
            raise StopIteration
        return chunk
