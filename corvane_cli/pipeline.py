"""Streams reads through a pool of clients: passes them with back-pressure,
collects the called reads on the way and hands them on as they arrive,
with a bounded number of reads in flight whatever the input size."""

import queue
import threading
import time
from dataclasses import dataclass, field

import tavrix

Corvane = tavrix.Corvane

PASS_WAIT_MS = 100       # one bounded wait of pass_reads for room
POLL_INTERVAL_S = 0.002  # pause while nothing has come back yet
FINISH_TIMEOUT_S = 10
BATCH_READS = 64


class PipelineError(RuntimeError):
    """The clients could not be set up (no server, refused configuration)."""


@dataclass
class Counts:
    reads_read: int = 0         # reads taken from the input
    reads_in: int = 0           # reads passed to a client
    with_results: int = 0       # came back with a sequence
    without_results: int = 0    # came back without one
    failed: int = 0             # refused, or never came back
    samples_in: int = 0
    failures: list = field(default_factory=list)  # (read id, reason)

    def fail(self, read_id, reason):
        self.failed += 1
        self.failures.append((read_id, reason))


def read_problem(read):
    """Why a read cannot be basecalled at all; '' when it can."""
    read_id = read.get("read_id")
    if not isinstance(read_id, str) or not read_id:
        return "empty read id"
    if any(not ("!" <= c <= "~") for c in read_id) or read_id[0] == "@":
        return "read id holds a character a FASTQ or SAM record cannot carry"
    if len(read.get("raw_data", ())) == 0:
        return "no samples"
    return ""


def spread(clients, servers):
    """How many library clients go to each server: `clients` in all, at
    least one per server."""
    base, extra = divmod(max(clients, len(servers)), len(servers))
    return [base + (i < extra) for i in range(len(servers))]


class Pipeline:
    """One run: connect, feed, drain, finish. Not thread-safe; the caller's
    thread drives everything and every wait in it is bounded."""

    def __init__(self, servers, config, params, clients=1, max_in_flight=2000, max_samples_in_flight=50_000_000,
                 stall_timeout_s=None, should_stop=None):
        if not servers:
            raise ValueError("at least one server address")
        self._pools = []
        self._should_stop = should_stop or (lambda: None)
        self._params = dict(params)
        # Nothing back for longer than the library keeps reconnecting: the
        # server is not coming back.
        reconnect = self._params.get("reconnect_timeout", 300)
        self._stall_timeout_s = stall_timeout_s if stall_timeout_s is not None else reconnect + 10
        self.max_in_flight = max_in_flight
        self.max_samples_in_flight = max_samples_in_flight
        self.counts = Counts()
        self._in_flight = {}   # read tag -> (read id, samples)
        self._samples_in_flight = 0
        self._next = 0
        self._last_progress = time.monotonic()
        self.client_s = 0.0  # time spent in client calls (read conversion included)
        for address, members in zip(servers, spread(clients, servers)):
            self._pools.append(Corvane(address, config, members))
        for client in self._pools:
            if client.set_params(self._params) != Corvane.success:
                raise PipelineError(f"parameters refused: {self._params}")

    def connect(self):
        for client in self._pools:
            result = client.connect()
            if result != Corvane.success:
                message = client.get_error_message()
                self.close()
                raise PipelineError(f"cannot connect to {client.get_address()}: {result.name}"
                                    + (f" ({message})" if message else ""))

    def sam_header(self):
        text, _ = self._pools[0].get_alignment_sam_header()
        return text

    def basecalling_config(self):
        config, _ = self._pools[0].get_basecalling_config()
        return config

    @property
    def in_flight(self):
        return len(self._in_flight)

    def feed(self, reads, on_results):
        """Passes a list of reads (each with a unique read_tag), collecting
        and handing on called reads whenever it must wait."""
        accepted = []
        self.counts.reads_read += len(reads)
        for read in reads:
            problem = read_problem(read)
            if problem:
                self.counts.fail(str(read.get("read_id", "")), problem)
            else:
                accepted.append(read)
        batch_reads = min(BATCH_READS, self.max_in_flight)
        for start in range(0, len(accepted), batch_reads):
            batch = accepted[start:start + batch_reads]
            samples = sum(len(read["raw_data"]) for read in batch)
            while self._in_flight and (len(self._in_flight) + len(batch) > self.max_in_flight
                                       or self._samples_in_flight + samples > self.max_samples_in_flight):
                if not self.drain(on_results):
                    self._wait_or_give_up()
            self._pass(batch, on_results)

    def _pass(self, batch, on_results):
        client = self._pools[self._next]
        self._next = (self._next + 1) % len(self._pools)
        while True:
            called = time.monotonic()
            result = client.pass_reads(batch, PASS_WAIT_MS)
            self.client_s += time.monotonic() - called
            if result == Corvane.read_accepted:
                for read in batch:
                    samples = len(read["raw_data"])
                    self._in_flight[read["read_tag"]] = (read["read_id"], samples)
                    self._samples_in_flight += samples
                    self.counts.reads_in += 1
                    self.counts.samples_in += samples
                return
            if result == Corvane.bad_read:
                # One read spoils the whole list: pass them one by one to
                # find it.
                if len(batch) > 1:
                    for read in batch:
                        self._pass([read], on_results)
                else:
                    self.counts.fail(batch[0]["read_id"], "refused by the client library")
                return
            if result == Corvane.not_accepting_reads:
                raise ServerLost(client.get_error_message() or f"{client.get_address()} stopped taking reads")
            # queue_full: make room by collecting, and give up once the server
            # has not moved for too long.
            if not self.drain(on_results):
                self._wait_or_give_up()

    def drain(self, on_results):
        """Collects every called read so far and hands each group to
        on_results(read_id, group); returns whether any came back. Checks
        for a stop request first, so that none is raised mid-group."""
        self._should_stop()
        any_back = False
        for client in self._pools:
            called = time.monotonic()
            groups = client.get_completed_reads()
            self.client_s += time.monotonic() - called
            for group in groups:
                any_back = True
                tag = group[0]["read_tag"]
                read_id, samples = self._in_flight.pop(tag, (None, 0))
                if read_id is None:
                    continue  # not ours, or already counted
                self._samples_in_flight -= samples
                if any("sequence" in read["datasets"] for read in group):
                    self.counts.with_results += 1
                else:
                    self.counts.without_results += 1
                on_results(read_id, group)
        if any_back:
            self._last_progress = time.monotonic()
        return any_back

    def _wait_or_give_up(self):
        for client in self._pools:
            if client.get_status() == Corvane.error_state:
                raise ServerLost(client.get_error_message())
        if time.monotonic() - self._last_progress > self._stall_timeout_s:
            raise ServerLost(f"no read came back for {self._stall_timeout_s:.0f} s")
        time.sleep(POLL_INTERVAL_S)

    def finish(self, on_results):
        """Waits until every read passed has come back (or the server is
        lost), then ends every client."""
        self.wait_for_results(on_results)
        for client in self._pools:
            client.finish(FINISH_TIMEOUT_S)
        self.drain(on_results)

    def wait_for_results(self, on_results):
        """Collects until every read passed has come back; raises ServerLost
        once nothing has moved for too long. The clients stay connected."""
        while self._in_flight:
            if not self.drain(on_results):
                self._wait_or_give_up()

    def lose_in_flight(self, reason):
        """Counts every read still out as failed."""
        for read_id, _ in self._in_flight.values():
            self.counts.fail(read_id, reason)
        self._in_flight.clear()
        self._samples_in_flight = 0

    def close(self):
        for client in self._pools:
            client.disconnect()


class ServerLost(RuntimeError):
    """A server stopped answering for longer than the reconnect timeout."""


class Prefetcher:
    """Iterates over `chunks` one or two chunks ahead on a thread of its own,
    so that reading and decompressing overlap the waits on the server. An
    exception of the iterator is raised where its chunk would have come."""

    _END = object()

    def __init__(self, chunks, depth=2):
        self._chunks = chunks
        self._queue = queue.Queue(maxsize=depth)
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, name="corvane_reader", daemon=True)

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._stop.set()
        while self._thread.is_alive():
            try:
                self._queue.get(timeout=0.1)  # unblocks a reader waiting for room
            except queue.Empty:
                pass
        self._thread.join()

    def _put(self, item):
        while not self._stop.is_set():
            try:
                self._queue.put(item, timeout=0.1)
                return True
            except queue.Full:
                continue
        return False

    def _run(self):
        try:
            for chunk in self._chunks:
                if not self._put((chunk, None)):
                    return
        except Exception as error:  # handed to the consumer, which raises it
            self._put((None, error))
            return
        self._put((self._END, None))

    def __iter__(self):
        return self

    def __next__(self):
        chunk, error = self._queue.get()
        if error is not None:
            raise error
        if chunk is self._END:
            self._queue.put((self._END, None))
            raise StopIteration
        return chunk
