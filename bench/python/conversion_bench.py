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
  the difference, which is what the module adds.
* throughput: reads/s through one client and through a pool of 4.
"""

import json
import os
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
    return [{"read_tag": start + i, "raw_data": rng.integers(-1000, 1000, SAMPLES, dtype=np.int16),
             "read_id": f"r{start + i}", "daq_offset": 0.0, "daq_scaling": 1.0, "sampling_rate": 4000.0,
             "start_time": 0} for i in range(count)]


def to_library_us():
    client = C("ipc:///nonexistent/socket", "ref_dna_fast")
    batch = reads(BATCH)
    times = []
    for _ in range(REPEATS):
        begin = time.perf_counter()
        assert client.pass_reads(batch) == C.not_accepting_reads
        times.append((time.perf_counter() - begin) / BATCH * 1e6)
    return statistics.median(times)


def queued_out(client):
    decoder = json.JSONDecoder()
    report, _ = decoder.raw_decode(client.get_internal_state().lstrip())
    return report["Client"]["ReadBuffer"][OUTPUT_QUEUE]


def pass_and_collect_us(address):
    """(pass_reads, get_completed_reads) per read, through one client."""
    client = C(address, "ref_dna_fast")
    client.set_params({"max_reads_queued": BATCH})
    assert client.connect() == C.success
    passing, collecting = [], []
    for r in range(REPEATS):
        batch = reads(BATCH, r * BATCH)
        begin = time.perf_counter()
        assert client.pass_reads(batch, 10000) == C.read_accepted
        passing.append((time.perf_counter() - begin) / BATCH * 1e6)
        deadline = time.monotonic() + 60
        while queued_out(client) < BATCH and time.monotonic() < deadline:
            time.sleep(0.002)  # polling interval
        begin = time.perf_counter()
        got = client.get_completed_reads()
        collecting.append((time.perf_counter() - begin) / BATCH * 1e6)
        assert sum(len(g) for g in got) == BATCH
    client.finish(10)
    return statistics.median(passing), statistics.median(collecting)


def facade_us(build):
    out = subprocess.run([os.path.join(build, "bench", "facade_read_cost"), str(BATCH), str(REPEATS)],
                         check=True, capture_output=True, text=True).stdout
    figures = dict(line.split() for line in out.splitlines())
    return float(figures["pass"]), float(figures["collect"])


def run(address, num_threads, count):
    """Passes `count` reads and collects them; returns reads/s."""
    client = C(address, "ref_dna_fast", num_threads)
    client.set_params({"max_reads_queued": 1000})
    assert client.connect() == C.success
    batch = reads(count)
    collected = 0
    begin = time.perf_counter()
    for i in range(0, count, 50):
        while client.pass_reads(batch[i:i + 50], 1000) != C.read_accepted:
            pass
    deadline = time.monotonic() + 120
    while collected < count and time.monotonic() < deadline:
        got = client.get_completed_reads()
        collected += sum(len(g) for g in got)
        if not got:
            time.sleep(0.001)  # polling interval
    elapsed = time.perf_counter() - begin
    assert collected == count
    client.finish(10)
    return count / elapsed


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else "build"
    print(f"load {os.getloadavg()[0]:.2f}")
    print(f"to_library   {to_library_us():8.2f} us/read (dict to library read, {SAMPLES} samples)")
    facade_pass, facade_collect = facade_us(build)
    with tempfile.TemporaryDirectory() as folder:
        server = subprocess.Popen([os.path.join(build, "reference_server", "reference_server"), "--listen",
                                   f"ipc://{folder}/bench.sock", "--verbosity", "0"],
                                  stdout=subprocess.PIPE, text=True)
        address = server.stdout.readline().rsplit(" ", 1)[1].strip()
        try:
            py_pass, py_collect = pass_and_collect_us(address)
            results = {n: [run(address, n, 2000) for _ in range(3)] for n in (1, 4)}
        finally:
            server.terminate()
            server.wait()
    print(f"pass         {py_pass:8.2f} us/read, C++ facade {facade_pass:8.2f}, module adds {py_pass - facade_pass:6.2f}")
    print(f"collect      {py_collect:8.2f} us/read, C++ facade {facade_collect:8.2f}, "
          f"module adds {py_collect - facade_collect:6.2f}")
    one = statistics.median(results[1])
    four = statistics.median(results[4])
    print(f"throughput   1 client {one:10.0f} reads/s, pool of 4 {four:10.0f} reads/s, ratio {four / one:.2f}")


if __name__ == "__main__":
    main()
