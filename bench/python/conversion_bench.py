"""Per-read cost of the tavrix read conversions and pool throughput.

    .venv/bin/python bench/python/conversion_bench.py [build_folder]

Plain Python with time.perf_counter; every figure is the median of several
repetitions. Against a reference server with zero calling latency (started
here on an ipc:// path), with 4,000-sample reads whose samples stay below
the open-pore level, so that each read comes back as one read:

* to_library: pass_reads on an unconnected client converts every dict and is
  then refused at once, so its time is the dict-to-read conversion.
* pass / collect: pass_reads of a batch on a connected client, and one
  get_completed_reads once the whole batch is back in the client's output
  queue, per read; beside them the same two calls of the C++ facade on the
  same kind of reads, measured in this run by bench/facade_read_cost, and
  the difference, which is what the module adds. Each is given as wall
  time and as CPU time of the calling thread (time.thread_time), which a
  loaded machine disturbs far less.
* throughput: reads/s through one client and through a pool of 4, the
  share of the time the calling thread was busy on the CPU, and the CPU
  time per read of the server process and of this process (the calling
  thread and the clients' workers). Their sum per read, against the cores
  the machine has, bounds what any pool can reach.

Under callgrind it counts instructions instead of timing:

    valgrind --tool=callgrind --collect-atstart=no .venv/bin/python \
        bench/python/conversion_bench.py [build_folder]

prints the calling thread's instructions per read in pass_reads and in
get_completed_reads, beside the C++ facade's own for the same calls
(bench/facade_read_cost, run here under callgrind too; its collect
includes freeing the reads, as the module frees them inside its call), the
difference, which is what the module adds, and the cost of freeing the
returned dicts afterwards. Only the calling
thread is counted (the clients' workers and ZeroMQ's threads are not), and
the counts hardly move from run to run or with the machine's load. The
counts come from the numbered callgrind.out.PID.N files callgrind writes
in the current folder (removed once read; callgrind's own end-of-run file
stays); --collect-atstart=no is needed, and checked.
"""

import ctypes
import functools
import glob
import json
import os
import re
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

import tavrix

C = tavrix.Corvane
SAMPLES = 4000
BATCH = 200
REPEATS = 7
OUTPUT_QUEUE = "m_reads_out (output queue of reads from server)"


def reads(count, start=0):
    rng = np.random.default_rng(start + 1)
    return [
        {
            "read_tag": start + i,
            "raw_data": rng.integers(-1000, 1000, SAMPLES, dtype=np.int16),
            "read_id": f"r{start + i}",
            "daq_offset": 0.0,
            "daq_scaling": 1.0,
            "sampling_rate": 4000.0,
            "start_time": 0,
        }
        for i in range(count)
    ]


class Timer:
    """Wall and calling-thread CPU time of a block, per read, kept for medians."""

    def __init__(self):
        self.wall, self.cpu = [], []

    def __enter__(self):
        self.begin = time.perf_counter(), time.thread_time()

    def __exit__(self, *_):
        self.wall.append((time.perf_counter() - self.begin[0]) / BATCH * 1e6)
        self.cpu.append((time.thread_time() - self.begin[1]) / BATCH * 1e6)

    def medians(self):
        return statistics.median(self.wall), statistics.median(self.cpu)


def to_library_us():
    client = C("ipc:///nonexistent/socket", "ref_dna_fast")
    batch = reads(BATCH)
    timer = Timer()
    for _ in range(REPEATS):
        with timer:
            assert client.pass_reads(batch) == C.not_accepting_reads
    return timer.medians()


def queued_out(client):
    decoder = json.JSONDecoder()
    report, _ = decoder.raw_decode(client.get_internal_state().lstrip())
    return report["Client"]["ReadBuffer"][OUTPUT_QUEUE]


def pass_and_collect_us(address):
    """(pass_reads, get_completed_reads) per read, through one client."""
    client = C(address, "ref_dna_fast")
    client.set_params({"max_reads_queued": BATCH})
    assert client.connect() == C.success
    passing, collecting = Timer(), Timer()
    for r in range(REPEATS):
        batch = reads(BATCH, r * BATCH)
        with passing:
            assert client.pass_reads(batch, 10000) == C.read_accepted
        deadline = time.monotonic() + 60
        while queued_out(client) < BATCH and time.monotonic() < deadline:
            time.sleep(0.002)  # polling interval
        with collecting:
            got = client.get_completed_reads()
        assert sum(len(g) for g in got) == BATCH
    client.finish(10)
    return passing.medians(), collecting.medians()


def facade_us(build):
    out = subprocess.run(
        [os.path.join(build, "bench", "facade_read_cost"), str(BATCH), str(REPEATS)],
        check=True,
        capture_output=True,
        text=True,
    ).stdout
    figures = {name: float(value) for name, value in (line.split() for line in out.splitlines())}
    return (figures["pass"], figures["pass_cpu"]), (figures["collect"], figures["collect_cpu"])


def process_cpu_s(pid):
    """User and system CPU seconds of a process so far (Linux)."""
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def run(address, server_pid, num_threads, count):
    """Passes `count` reads and collects them; returns reads/s, the share of
    the wall time the calling (Python) thread spent on the CPU, and the CPU
    microseconds per read of the server and of this process."""
    client = C(address, "ref_dna_fast", num_threads)
    client.set_params({"max_reads_queued": 1000})
    assert client.connect() == C.success
    batch = reads(count)
    collected = 0
    begin = time.perf_counter()
    cpu_begin = time.thread_time()
    server_begin, process_begin = process_cpu_s(server_pid), time.process_time()
    for i in range(0, count, 50):
        while client.pass_reads(batch[i : i + 50], 1000) != C.read_accepted:
            pass
    deadline = time.monotonic() + 120
    while collected < count and time.monotonic() < deadline:
        got = client.get_completed_reads()
        collected += sum(len(g) for g in got)
        if not got:
            time.sleep(0.001)  # polling interval
    elapsed = time.perf_counter() - begin
    busy = (time.thread_time() - cpu_begin) / elapsed
    server_us = (process_cpu_s(server_pid) - server_begin) / count * 1e6
    process_us = (time.process_time() - process_begin) / count * 1e6
    assert collected == count
    client.finish(10)
    return count / elapsed, busy, server_us, process_us


def start_server(build, folder):
    """A reference server listening in folder: the process and its address."""
    server = subprocess.Popen(
        [
            os.path.join(build, "reference_server", "reference_server"),
            "--listen",
            f"ipc://{folder}/bench.sock",
            "--verbosity",
            "0",
        ],
        stdout=subprocess.PIPE,
        text=True,
    )
    return server, server.stdout.readline().rsplit(" ", 1)[1].strip()


class Callgrind:
    """The calling thread's instruction counts under callgrind, through the
    marks of build/bench/libcallgrind_marks.so; inactive elsewhere."""

    def __init__(self, build):
        path = os.path.join(build, "bench", "libcallgrind_marks.so")
        self.marks = ctypes.CDLL(path) if os.path.exists(path) else None
        self.active = bool(self.marks and self.marks.corvane_callgrind_running())
        self.prefix = f"callgrind.out.{os.getpid()}"

    def count(self, label, work):
        """Runs work() with the calling thread counted; returns its result."""
        self.marks.corvane_callgrind_count_on()
        try:
            return work()
        finally:
            self.marks.corvane_callgrind_count_off()
            self.marks.corvane_callgrind_dump(label.encode())

    def totals(self):
        """{label: [instructions, ...]} of the dumps so far, in order; the
        files are removed."""
        return dump_totals(self.prefix)


def dump_totals(prefix):
    found = {}

    def part(path):
        return int(path.rsplit(".", 1)[1])

    for path in sorted(glob.glob(glob.escape(prefix) + ".*"), key=part):
        with open(path) as dump:
            text = dump.read()
        os.unlink(path)
        trigger = re.search(r"^desc: Trigger: Client Request: (.*)$", text, re.M)
        totals = re.search(r"^totals: (\d+)", text, re.M)
        if trigger and totals:
            found.setdefault(trigger.group(1), []).append(int(totals.group(1)))
    return found


def run_traced(command, **kwargs):
    """subprocess.run, removing the file callgrind writes for the forked child."""
    done = subprocess.Popen(command, **kwargs)
    out, err = done.communicate()
    forked = f"callgrind.out.{done.pid}"
    if os.path.exists(forked):
        os.unlink(forked)
    if done.returncode != 0:
        raise subprocess.CalledProcessError(done.returncode, command, out, err)


def facade_instructions(build):
    """The facade's instructions per read: {"pass", "collect", "free"}."""
    with tempfile.TemporaryDirectory() as folder:
        prefix = os.path.join(folder, "facade")
        run_traced(
            [
                "valgrind",
                "--tool=callgrind",
                "--collect-atstart=no",
                f"--callgrind-out-file={prefix}",
                os.path.join(build, "bench", "facade_read_cost"),
                str(BATCH),
                str(REPEATS),
            ],
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
        )
        counts = dump_totals(prefix)
    return {name: statistics.median(values) / BATCH for name, values in counts.items()}


def instructions(build, callgrind):
    """Per read instruction counts of the module's pass_reads and
    get_completed_reads against the facade's."""
    # What a count of nothing costs (the marks' own calls), taken off each.
    for _ in range(3):
        callgrind.count("calibrate", lambda: None)
    overhead = min(callgrind.totals()["calibrate"])
    if overhead > 100000:
        sys.exit("conversion_bench: run under valgrind with --collect-atstart=no")
    with tempfile.TemporaryDirectory() as folder:
        server, address = start_server(build, folder)
        try:
            client = C(address, "ref_dna_fast")
            client.set_params({"max_reads_queued": BATCH})
            assert client.connect() == C.success
            for r in range(REPEATS):
                batch = reads(BATCH, r * BATCH)
                assert callgrind.count("pass", functools.partial(client.pass_reads, batch, 10000)) == C.read_accepted
                deadline = time.monotonic() + 300
                while queued_out(client) < BATCH and time.monotonic() < deadline:
                    time.sleep(0.002)  # polling interval
                got = callgrind.count("collect", client.get_completed_reads)
                assert sum(len(group) for group in got) == BATCH
                callgrind.count("free", got.clear)
            client.finish(10)
        finally:
            server.terminate()
            server.wait()
            forked = f"callgrind.out.{server.pid}"
            if os.path.exists(forked):
                os.unlink(forked)
    python = {name: (statistics.median(values) - overhead) / BATCH for name, values in callgrind.totals().items()}
    facade = facade_instructions(build)
    # The module frees the library's reads inside its call: the difference is
    # given over the facade's call alone and over the call and that freeing.
    facade_collect = facade["collect"] + facade["free"]
    print(
        f"instructions per read of the calling thread (callgrind, median of {REPEATS} batches of {BATCH} "
        f"{SAMPLES}-sample reads):"
    )
    print(
        f"pass_reads           {python['pass']:8.0f}, C++ facade {facade['pass']:8.0f}, "
        f"module adds {python['pass'] - facade['pass']:8.0f}"
    )
    print(
        f"get_completed_reads  {python['collect']:8.0f}, C++ facade {facade['collect']:8.0f} "
        f"(+ {facade['free']:.0f} freeing its reads), module adds {python['collect'] - facade['collect']:8.0f} "
        f"({python['collect'] - facade_collect:.0f} over the call and the freeing)"
    )
    print(f"freeing the dicts    {python['free']:8.0f} (Python's own, after the call)")


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else "build"
    print(f"load {os.getloadavg()[0]:.2f}")
    callgrind = Callgrind(build)
    if callgrind.active:
        instructions(build, callgrind)
        return
    wall, cpu = to_library_us()
    print(f"to_library   {wall:8.2f} us/read wall, {cpu:8.2f} cpu (dict to library read, {SAMPLES} samples)")
    facade_pass, facade_collect = facade_us(build)
    with tempfile.TemporaryDirectory() as folder:
        server, address = start_server(build, folder)
        try:
            py_pass, py_collect = pass_and_collect_us(address)
            results = {n: [run(address, server.pid, n, 2000) for _ in range(3)] for n in (1, 4)}
        finally:
            server.terminate()
            server.wait()
    for name, python, facade in (("pass", py_pass, facade_pass), ("collect", py_collect, facade_collect)):
        for kind, i in (("wall", 0), ("cpu", 1)):
            print(
                f"{name:8} {kind:4} {python[i]:8.2f} us/read, C++ facade {facade[i]:8.2f}, "
                f"module adds {python[i] - facade[i]:7.2f}"
            )
    one = statistics.median(r[0] for r in results[1])
    four = statistics.median(r[0] for r in results[4])
    print(f"throughput   1 client {one:10.0f} reads/s, pool of 4 {four:10.0f} reads/s, ratio {four / one:.2f}")
    print(
        f"python thread on the CPU: 1 client {statistics.median(r[1] for r in results[1]):.0%} "
        f"of the time, pool of 4 {statistics.median(r[1] for r in results[4]):.0%}"
    )
    cores = len(os.sched_getaffinity(0))
    for n in (1, 4):
        server_us = statistics.median(r[2] for r in results[n])
        process_us = statistics.median(r[3] for r in results[n])
        print(
            f"cpu per read ({n} client{'s' if n > 1 else ''}): server {server_us:6.1f} us, this process "
            f"{process_us:6.1f} us; {cores} cores cap any pool near "
            f"{cores / (server_us + process_us) * 1e6:7.0f} reads/s"
        )


if __name__ == "__main__":
    main()
