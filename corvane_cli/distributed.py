"""Basecalling over a Dask cluster: the driver splits the input into read
ranges, each worker of an existing dask.distributed cluster calls its
ranges through its own client pool against its own server, and the driver
hands every range's results to one writer as they arrive.

Workers open the input files themselves, so every worker must see them
under the same path (a shared file system). Each worker keeps one pool per
server between tasks, and one task at a time uses a pool, so read tags
never mix between tasks. Tasks are placed on workers round-robin but may
move (work stealing, a lost worker); a task uses the server of the worker
that runs it. Dask runs a lost worker's tasks again elsewhere, and the
driver takes exactly one result per range, so no read is written twice.
"""

from __future__ import annotations

import itertools
import json
import threading
import uuid
import zlib
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

from corvane_cli.pipeline import Counts, Pipeline, PipelineError, ServerLost
from corvane_cli.read_types import Group, InputRead, OnResults

if TYPE_CHECKING:
    from distributed import Client, Future

    from corvane_cli.signal_file import SignalFileReader

DEFAULT_CLIENTS = 2
TAG_RANGE = 1 << 31
WAIT_SLICE_S = 0.2  # a wait for the next range, between looks at a stop request


class DistributedError(RuntimeError):
    """The cluster or a worker's server cannot do the work; the message
    names which."""


@dataclass
class RangeResult:
    """What a worker sends back for one read range: the result groups (one
    per read, read_tag = the read's index in the file), in the order they
    came back, and the range's counts."""

    start: int
    stop: int
    server: str
    worker: str
    groups: list[tuple[str, Group]]  # read id, group
    counts: Counts


@dataclass(frozen=True)
class RangeCalling:
    """How every range of a run is called: the server of each worker (by
    address), the basecalling configuration, its parameters and the size
    of each worker's client pool."""

    servers_by_worker: dict[str, str]
    config: str
    params: dict[str, Any]
    clients: int

    def server_for(self, worker: str) -> str:
        servers = sorted(set(self.servers_by_worker.values()))
        # A worker that joined after the assignment takes a server by its address.
        return self.servers_by_worker.get(worker) or servers[zlib.crc32(worker.encode()) % len(servers)]


class _WorkerPipeline:
    """A worker's connected pipeline against one server, kept between
    tasks. `lock` gives one task at a time the pipeline; `next_tag` is used
    under it, so that a late result of a task that gave up never passes for
    a read of a later one."""

    def __init__(self, address: str, config: str, params: dict[str, Any], clients: int) -> None:
        self.address = address
        self.lock = threading.Lock()
        self.next_tag = itertools.count()  # guarded by lock
        try:
            self.pipeline = Pipeline([address], config, params, clients=clients)
            self.pipeline.connect()
        except PipelineError as error:
            raise DistributedError(f"server {address}: {error}") from error


_pipelines: dict[tuple, _WorkerPipeline] = {}  # guarded by _pipelines_lock
_pipelines_lock = threading.Lock()


def _worker_pipeline(address: str, config: str, params: dict[str, Any], clients: int) -> _WorkerPipeline:
    key = (address, config, json.dumps(params, sort_keys=True, default=str), clients)
    with _pipelines_lock:
        found = _pipelines.get(key)
    if found is not None:
        return found
    made = _WorkerPipeline(address, config, params, clients)  # connects: outside the lock
    with _pipelines_lock:
        found = _pipelines.setdefault(key, made)
    if found is not made:
        made.pipeline.close()
    return found


def close_pipelines() -> int:
    """Disconnects and forgets this process's pipelines; the driver runs it
    on every worker at the end. Returns how many were closed."""
    with _pipelines_lock:
        held = list(_pipelines.values())
        _pipelines.clear()
    for worker_pipeline in held:
        with worker_pipeline.lock:
            worker_pipeline.pipeline.close()
    return len(held)


def call_range(
    worker_pipeline: _WorkerPipeline, reads: list[InputRead]
) -> tuple[list[tuple[str, Group]], Counts, bool]:
    """Passes the reads through the pipeline (which the caller holds) and
    collects them all, or counts those still out as failed once the server
    stops answering. The flag says whether the server was lost."""
    pipeline = worker_pipeline.pipeline
    pipeline.counts = Counts()
    index_of: dict[str, int] = {}
    for read in reads:
        index_of[read["read_id"]] = read["read_tag"]
        read["read_tag"] = next(worker_pipeline.next_tag) % TAG_RANGE
    by_tag = {read["read_tag"]: read for read in reads}
    pipeline.refetch = lambda tags: [by_tag[tag] for tag in tags]
    groups: list[tuple[str, Group]] = []

    def on_results(read_id: str, group: Group) -> None:
        for called in group:
            called["read_tag"] = index_of[read_id]
        groups.append((read_id, group))

    try:
        pipeline.feed(reads, on_results)
        pipeline.wait_for_results(on_results)
    except ServerLost as error:
        pipeline.lose_in_flight(f"did not return from {worker_pipeline.address} ({error})")
        # Reads of this range not passed yet are failed too.
        passed = {read_id for read_id, _ in pipeline.counts.failures} | {read_id for read_id, _ in groups}
        for read in reads:
            if read["read_id"] not in passed:
                pipeline.counts.fail(read["read_id"], f"not passed: {worker_pipeline.address} was lost")
        return groups, pipeline.counts, True
    return groups, pipeline.counts, False


def basecall_range(path: str, start: int, stop: int, calling: RangeCalling) -> RangeResult:
    """The task: reads start..stop-1 of the signal file at `path`, called
    through this worker's pipeline against its server."""
    from distributed import get_worker

    from corvane_cli.signal_file import SignalFileReader

    worker = get_worker().address
    address = calling.server_for(worker)
    with SignalFileReader(path) as reader:
        reads = reader.read_range(start, stop)
    worker_pipeline = _worker_pipeline(address, calling.config, calling.params, calling.clients)
    with worker_pipeline.lock:
        groups, counts, lost = call_range(worker_pipeline, reads)
    if lost:
        # The next range connects afresh, and fails at once if the server
        # is still gone, rather than waiting out another stall.
        _forget(worker_pipeline)
    return RangeResult(start, stop, address, worker, groups, counts)


def _forget(worker_pipeline: _WorkerPipeline) -> None:
    with _pipelines_lock:
        for key, held in list(_pipelines.items()):
            if held is worker_pipeline:
                del _pipelines[key]
    with worker_pipeline.lock:
        worker_pipeline.pipeline.close()


def add_counts(total: Counts, part: Counts) -> None:
    for name in ("reads_read", "reads_in", "with_results", "without_results", "failed", "samples_in"):
        setattr(total, name, getattr(total, name) + getattr(part, name))
    total.failures += part.failures


@dataclass
class DistributedSummary:
    counts: Counts
    reads_per_server: dict[str, int] = field(default_factory=dict)  # server -> reads of its ranges


def connect_scheduler(address: str, timeout_s: float = 30.0) -> Client:
    """A distributed.Client of the scheduler at `address`; raises
    DistributedError naming it when it cannot be reached."""
    from distributed import Client

    try:
        return Client(address, timeout=f"{timeout_s}s")
    except (OSError, TimeoutError, ValueError) as error:
        raise DistributedError(f"cannot reach the Dask scheduler at {address}: {error}") from error


def assign_servers(workers: list[str], servers: list[str]) -> dict[str, str]:
    """Worker address -> server address, round-robin in address order."""
    return {worker: servers[i % len(servers)] for i, worker in enumerate(sorted(workers))}


def run_distributed(
    scheduler: str | Client,
    servers: list[str],
    reader: SignalFileReader,
    config: str,
    params: dict[str, Any],
    on_results: OnResults,
    *,
    counts: Counts | None = None,
    clients: int = DEFAULT_CLIENTS,
    max_reads: int = 256,
    max_samples: int = 4_000_000,
    max_pending: int | None = None,
    should_stop: Callable[[], None] | None = None,
    on_range: Callable[[int, int], None] | None = None,
) -> DistributedSummary:
    """Calls every read of `reader` on the workers of the Dask cluster at
    `scheduler` (an address, or a distributed.Client), each worker against
    one of `servers`. on_results(read_id, group) runs in the calling thread
    for each read's result group (read_tag = the read's index in the file),
    range after range as they finish; the ranges' counts are added to
    `counts`. At most max_pending ranges (default: twice the workers) are
    out at once, so the driver's memory stays bounded. should_stop() runs at
    least every WAIT_SLICE_S and may raise to end the run early;
    on_range(start, stop) runs before a range's groups are handed on."""
    from distributed import Client, wait

    if not servers:
        raise DistributedError("no server given for the cluster's workers")
    summary = DistributedSummary(counts if counts is not None else Counts())
    outstanding: set[Future] = set()
    own_client = not isinstance(scheduler, Client)
    client = connect_scheduler(scheduler) if isinstance(scheduler, str) else scheduler
    try:
        workers = list(client.scheduler_info()["workers"])
        if not workers:
            where = client.scheduler.address if client.scheduler is not None else scheduler
            raise DistributedError(f"the Dask cluster at {where} has no workers")
        ranges = reader.iter_ranges(max_reads, max_samples)
        calling = RangeCalling(assign_servers(workers, servers), config, params, clients)
        submit = _submitter(client, reader, calling, outstanding)
        for r in itertools.islice(ranges, max_pending or 2 * len(workers)):
            submit(*r)
        while outstanding:
            if should_stop is not None:
                should_stop()
            try:
                done = wait(list(outstanding), timeout=WAIT_SLICE_S, return_when="FIRST_COMPLETED").done
            except TimeoutError:
                continue
            for future in sorted(done, key=lambda f: f.key):
                _take_result(future, outstanding, summary, on_range, on_results)
                following = next(ranges, None)
                if following is not None:
                    submit(*following)
        return summary
    finally:
        try:
            # Ranges not started are dropped; a running one ends by itself
            # (its waits are bounded) before its worker's pipeline closes.
            if outstanding:
                client.cancel(list(outstanding))
            client.run(close_pipelines)
        finally:
            if own_client:
                client.close()


def _submitter(
    client: Client, reader: SignalFileReader, calling: RangeCalling, outstanding: set[Future]
) -> Callable[[int, int], Future]:
    """What submits one read range as a task, placed on the workers in
    turn, and notes it in `outstanding`."""
    path = str(reader.path.resolve())
    order = itertools.cycle(sorted(calling.servers_by_worker))
    run_token = uuid.uuid4().hex

    def submit(start: int, stop: int) -> Future:
        future = client.submit(
            basecall_range,
            path,
            start,
            stop,
            calling,
            key=f"corvane-range-{run_token}-{start}",
            workers=[next(order)],
            allow_other_workers=True,
            pure=False,
        )
        outstanding.add(future)
        return future

    return submit


def _take_result(
    future: Future,
    outstanding: set[Future],
    summary: DistributedSummary,
    on_range: Callable[[int, int], None] | None,
    on_results: OnResults,
) -> None:
    """Hands a finished range on: its counts to the summary, then its
    groups. A task that failed ends the run."""
    try:
        result: RangeResult = future.result()
    except DistributedError:
        raise
    except Exception as error:
        raise DistributedError(f"a worker failed on its reads: {error}") from error
    finally:
        outstanding.discard(future)
        future.release()
    add_counts(summary.counts, result.counts)
    summary.reads_per_server[result.server] = (
        summary.reads_per_server.get(result.server, 0) + result.stop - result.start
    )
    if on_range is not None:
        on_range(result.start, result.stop)
    for read_id, group in result.groups:
        on_results(read_id, group)
